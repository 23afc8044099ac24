#pragma once

namespace vantrell::warp {

// The resampling filter.
enum class Filter { Bilinear = 0, Lanczos3 = 1 };

}  // namespace vantrell::warp

// Expands M(T, C) for every sample type and channel count the resamplers serve:
// the one list behind every explicit instantiation.
#define VANTRELL_FOR_EACH_LAYOUT(M) \
    M(std::uint8_t, 1) M(std::uint8_t, 3) M(std::uint16_t, 1) M(std::uint16_t, 3)
