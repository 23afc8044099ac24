// How meaningful a rectangle is: log10(1 / NFA) under the binomial model.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "detector/level_lines.hpp"
#include "detector/region.hpp"

namespace vantrell::detector {

// Pixels whose centres lie in a rectangle (n) and those of them whose level line
// agrees with the rectangle's direction within its tolerance (k).
struct AlignedCount {
    std::uint32_t n;
    std::uint32_t k;
};

// Counts over the rectangle's bounding box clamped to the width x height field.
// A cell counts as aligned only when its norm is above `threshold`.
AlignedCount count_aligned(const Rect& rect, std::span<const Px> field, std::uint32_t width,
                           std::uint32_t height, float threshold);

// The counts of one rectangle geometry at PRECISION_STEPS tolerances: k[j] is
// count_aligned's k for the rectangle with prec = precs[j].
inline constexpr std::size_t PRECISION_STEPS = 5;
struct AlignedCounts {
    std::uint32_t n;
    std::array<std::uint32_t, PRECISION_STEPS> k;
};
AlignedCounts count_aligned_at(const Rect& rect, std::span<const Px> field, std::uint32_t width,
                               std::uint32_t height, float threshold,
                               const std::array<double, PRECISION_STEPS>& precs);

// log10(1 / NFA) for k aligned pixels among n, each aligned by chance with
// probability p, among 10^log_nt tests.
double log_nfa(std::uint32_t n, std::uint32_t k, double p, double log_nt);

// count_aligned then log_nfa with the rectangle's p.
double rect_log_nfa(const Rect& rect, std::span<const Px> field, std::uint32_t width,
                    std::uint32_t height, float threshold, double log_nt);

// ln Gamma(x) for x > 0: Windschitl's formula from 15 on, Lanczos' series below.
double log_gamma(double x);

}  // namespace vantrell::detector
