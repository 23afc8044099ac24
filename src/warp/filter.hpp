#pragma once

namespace vantrell::warp {

// The resampling filter.
enum class Filter { Bilinear = 0, Lanczos3 = 1 };

}  // namespace vantrell::warp
