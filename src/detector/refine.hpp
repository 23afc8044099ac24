// Making a sparse region dense enough for its rectangle, or dropping it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "detector/level_lines.hpp"
#include "detector/region.hpp"

namespace vantrell::detector {

// Smallest number of region pixels per unit of rectangle area.
inline constexpr double DENSITY_THRESHOLD = 0.7;

// True when `region` fills `rect` densely enough. An area that is not a number or
// at most 1 counts as 1.
bool dense_enough(std::size_t pixels, const Rect& rect);

// Drops from `region` every pixel farther than `radius` from the seed (the first
// element), clearing its used byte: the last element moves into the gap, so the
// order changes but the seed stays first.
void shrink_region(std::vector<std::uint32_t>& region, std::span<std::uint8_t> used, double radius,
                   std::uint32_t width);

// Keeps a dense region as it is; otherwise re-grows it from its seed with a
// tolerance from the spread of angles near the seed, then shrinks it around the
// seed until it is dense enough. Returns false when it falls below
// `min_reg_size` pixels; on true, `region` and `rect` hold the refined region.
bool refine(std::vector<std::uint32_t>& region, Rect& rect, std::span<std::uint8_t> used,
            std::span<const Px> field, std::uint32_t min_reg_size, std::uint32_t width,
            std::uint32_t height);

}  // namespace vantrell::detector
