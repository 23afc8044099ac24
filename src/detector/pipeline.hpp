// The detector's fixed constants and per-image values.
#pragma once

#include <cstdint>

namespace vantrell::detector {

// Gradient magnitudes at or below this never seed, join a region or count as
// aligned: the single-precision value nearest to 2 / sin(pi / 8).
inline constexpr float GRAD_THRESHOLD = 5.22625207901001f;
// Tolerance of region growing: pi / 8, 22.5 degrees.
inline constexpr double ANGLE_TOLERANCE = 0.39269908169872414;
// Chance of a random level line counting as aligned at that tolerance.
inline constexpr double P_ALIGNED = 0.125;
inline constexpr double LOG10_11 = 1.041392685158225;
inline constexpr double LOG10_8 = 0.9030899869919435;

// Base-10 logarithm of the number of tests on a width x height working image.
double log_nt(std::uint32_t width, std::uint32_t height);

// Smallest region worth fitting: ceil(log_nt / log10(8)) pixels.
std::uint32_t min_reg_size(double log_nt_value);

}  // namespace vantrell::detector
