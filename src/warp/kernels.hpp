// The point samplers of the resamplers and the Lanczos-3 weight table.
//
// A sampler reads an interleaved image of w x h pixels of C channels
// (sample (x, y, c) at index (y * w + x) * C + c), computes every channel at one
// real-valued source position and stores the results into one output pixel of
// C samples. Integer coordinates are pixel centres; the image covers
// [-0.5, w - 0.5] x [-0.5, h - 0.5]. A position outside that rectangle writes
// nothing, so the output keeps what the caller put there (0).
//
// Every value is computed in double precision, every product rounded before it
// is added, and the sums run in the order written here; the vector row
// samplers (sample_run.hpp) reproduce these functions bit for bit.
#pragma once

#include <array>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sample/sample.hpp"

namespace vantrell::warp {

// Six Lanczos-3 weights for one fractional offset t past a pixel centre, for
// the pixels at offsets -2, -1, 0, +1, +2, +3 from that centre.
using Lanczos3Weights = std::array<double, 6>;

// Entry i holds the weights for t = i / LANCZOS3_STEPS, i = 0 .. LANCZOS3_STEPS.
using Lanczos3Table = std::vector<Lanczos3Weights>;

inline constexpr std::size_t LANCZOS3_STEPS = 1024;
inline constexpr std::size_t LANCZOS3_ENTRIES = LANCZOS3_STEPS + 1;

// The Lanczos-3 kernel: sin(pi d) / (pi d) * sin(pi d / 3) / (pi d / 3) for
// 0 < |d| < 3, 1 at 0 and 0 from |d| = 3 on.
double lanczos3(double d);

// The 1025-entry weight table, each entry normalised by its own sum.
Lanczos3Table lanczos3_table();

// lanczos3_table() made on first use and shared by every later call: the same
// values, without 12 300 sines a call. Thread-safe and fork-safe (no lock is
// held while it is built).
const Lanczos3Table& lanczos3_weights();

// The one place where a resampled value becomes a stored sample: v + 0.5
// truncated toward zero and clamped to T, NaN giving 0. For values in range
// this rounds halves upward.
template <class T>
inline T store_sample(double v) {
    return saturating_cast<T>(v + 0.5);
}

// Whether (x, y) lies outside the image. The comparisons are ordered, so both
// bounds are inclusive, an infinite coordinate is outside and a NaN one is not.
inline bool outside(std::size_t w, std::size_t h, double x, double y) {
    return x < -0.5 || x > static_cast<double>(w) - 0.5 || y < -0.5 ||
           y > static_cast<double>(h) - 0.5;
}

// Column (or row) index of a floored coordinate. NaN gives 0.
inline std::int64_t tap_index(double floored) { return saturating_cast<std::int64_t>(floored); }

// A tap index moved into 0 .. n - 1 (n > 0): taps beyond an edge read the
// edge pixel.
inline std::size_t clamp_tap(std::int64_t i, std::size_t n) {
    if (i < 0) return 0;
    const auto u = static_cast<std::size_t>(i);
    return u > n - 1 ? n - 1 : u;
}

// Table entry for a fractional offset f in [0, 1]: f * 1024 rounded to the
// nearest integer, halves away from zero. NaN gives entry 0.
inline std::size_t table_entry(double f) {
    const std::size_t i = saturating_cast<std::size_t>(std::round(f * static_cast<double>(LANCZOS3_STEPS)));
    // f - floor(f) lies in [0, 1] for every finite coordinate (it reaches 1
    // only when a tiny negative coordinate rounds up), so i never passes 1024.
    assert(i < LANCZOS3_ENTRIES);
    return i;
}

// Bilinear interpolation of the four pixels around (x, y). Each tap index is
// clamped into the image on its own; the weights come from the unclamped
// floors, so the edge pixels hold their value out to the image border.
// `out` receives C samples. An empty image has no pixel to read: every
// position counts as outside.
template <class T, int C>
void sample_bilinear(std::span<const T> source, std::size_t w, std::size_t h, double x, double y,
                     T* out) {
    if (w == 0 || h == 0 || outside(w, h, x, y)) return;
    const double fy = std::floor(y);
    const double fx = std::floor(x);
    const std::int64_t ix = tap_index(fx);
    const std::int64_t iy = tap_index(fy);
    const std::size_t x0 = clamp_tap(ix, w);
    const std::size_t x1 = clamp_tap(ix + 1, w);
    const std::size_t y0 = clamp_tap(iy, h);
    const std::size_t y1 = clamp_tap(iy + 1, h);
    const double dx = x - fx;
    const double dy = y - fy;
    const double w00 = (1.0 - dx) * (1.0 - dy);
    const double w10 = dx * (1.0 - dy);
    const double w01 = (1.0 - dx) * dy;
    const double w11 = dx * dy;
    const T* s00 = source.data() + (y0 * w + x0) * C;
    const T* s10 = source.data() + (y0 * w + x1) * C;
    const T* s01 = source.data() + (y1 * w + x0) * C;
    const T* s11 = source.data() + (y1 * w + x1) * C;
    for (int c = 0; c < C; ++c) {
        const double v = ((w00 * static_cast<double>(s00[c]) + w10 * static_cast<double>(s10[c])) +
                          w01 * static_cast<double>(s01[c])) +
                         w11 * static_cast<double>(s11[c]);
        out[c] = store_sample<T>(v);
    }
}

// Whether all 36 Lanczos-3 taps around floor indices (ix, iy) lie inside the
// image, so that they can be read without clamping.
inline bool lanczos3_interior(std::int64_t ix, std::int64_t iy, std::size_t w, std::size_t h) {
    return ix >= 2 && iy >= 2 && static_cast<std::size_t>(ix) + 3 <= w - 1 &&
           static_cast<std::size_t>(iy) + 3 <= h - 1;
}

// Lanczos-3 interpolation over the 6 x 6 pixels around (x, y), with weights
// looked up in `table` at a resolution of 1/1024 pixel. Taps beyond an edge
// read the edge pixel with their full weight (nothing is renormalised); the
// negative lobes can take a value past the sample range, which the store
// clamps. A NaN coordinate samples as 0 on its axis. `out` receives C samples.
template <class T, int C>
void sample_lanczos3(std::span<const T> source, std::size_t w, std::size_t h, double x, double y,
                     const Lanczos3Table& table, T* out) {
    if (w == 0 || h == 0 || outside(w, h, x, y)) return;
    const double fx = std::floor(x);
    const std::size_t tx = table_entry(x - fx);
    const double fy = std::floor(y);
    const std::size_t ty = table_entry(y - fy);
    const std::int64_t ix = tap_index(fx);
    const std::int64_t iy = tap_index(fy);
    const Lanczos3Weights& wx = table[tx];
    const Lanczos3Weights& wy = table[ty];

    // Offsets of the six taps of each axis, in samples.
    std::array<std::size_t, 6> col;
    std::array<std::size_t, 6> row;
    if (lanczos3_interior(ix, iy, w, h)) {
        // Walk the rows directly; the same offsets as the clamped ones below.
        const auto x0 = static_cast<std::size_t>(ix - 2);
        const auto y0 = static_cast<std::size_t>(iy - 2);
        for (std::size_t k = 0; k < 6; ++k) {
            col[k] = (x0 + k) * C;
            row[k] = (y0 + k) * w * C;
        }
    } else {
        for (std::size_t k = 0; k < 6; ++k) {
            col[k] = clamp_tap(ix - 2 + static_cast<std::int64_t>(k), w) * C;
            row[k] = clamp_tap(iy - 2 + static_cast<std::int64_t>(k), h) * w * C;
        }
    }

    std::array<double, C> acc{};
    for (std::size_t j = 0; j < 6; ++j) {
        const T* line = source.data() + row[j];
        for (std::size_t k = 0; k < 6; ++k) {
            const double weight = wy[j] * wx[k];
            const T* s = line + col[k];
            for (int c = 0; c < C; ++c) acc[c] += weight * static_cast<double>(s[c]);
        }
    }
    for (int c = 0; c < C; ++c) out[c] = store_sample<T>(acc[c]);
}

}  // namespace vantrell::warp
