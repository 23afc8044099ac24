// Sampling a run of source positions into consecutive output pixels: the inner
// loop of the remap and the perspective warp.
//
// Three implementations give the same bits: a portable one that calls the
// point samplers of kernels.hpp pixel by pixel; an AVX2 one that works out
// positions, taps and weights four pixels at a time and accumulates the
// channels of a pixel side by side in one vector; and an AVX-512 one that
// samples eight three-channel pixels at a time, one per lane, a channel per
// vector. Each lane of a vector holds its own sum, formed with the same
// operations in the same order as the portable code; no product is fused into
// an add. `sample_run` picks the widest code that the processor runs.
#pragma once

#include <cstddef>
#include <span>

#include "sample/sample.hpp"
#include "warp/filter.hpp"
#include "warp/kernels.hpp"

namespace vantrell::warp {

// The read-only source image of a resampling call.
template <class T>
struct SourceImage {
    std::span<const T> samples;  // w * h * C samples
    std::size_t w;
    std::size_t h;
};

// Output pixels per run: the row loops hand positions over in runs of this many.
inline constexpr std::size_t RUN_LENGTH = 64;

// Samples positions (xs[i], ys[i]), i < n <= RUN_LENGTH, into the C samples at
// out + i * C. Every one of the n pixels is written: a position outside the
// source (or any position, when the source is empty) stores 0 in all C
// channels, so `out` need not be cleared beforehand. `table` is needed for
// Lanczos3 only.
template <class T, int C>
void sample_run(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                const double* xs, const double* ys, std::size_t n, T* out);

// Every implementation, for tests that hold them against each other. The
// AVX-512 one has its own code for three-channel runs and hands one-channel
// runs, and the Lanczos-3 groups that its code does not take, to the AVX2 one.
template <class T, int C>
void sample_run_portable(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                         const double* xs, const double* ys, std::size_t n, T* out);
template <class T, int C>
void sample_run_avx2(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                     const double* xs, const double* ys, std::size_t n, T* out);

template <class T, int C>
void sample_run_avx512(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                       const double* xs, const double* ys, std::size_t n, T* out);

// Whether this processor runs the AVX2 code.
bool have_avx2();

// Whether this processor runs the AVX-512 code (foundation, byte and word,
// doubleword and quadword, vector length and byte permute extensions).
bool have_avx512();

// Whether the AVX2 and AVX-512 code takes images of this size (their indices
// are 32-bit).
bool avx2_fits(std::size_t w, std::size_t h);

// Source positions of n <= RUN_LENGTH output pixels of one warp row, from
// their plane X: den = aw + h6 * X and (sx, sy) = ((ax + h0 * X) / den,
// (ay + h3 * X) / den). A pixel whose denominator is exactly 0 is skipped; it
// gets sx = +infinity, which every sampler treats as outside.
struct WarpRow {
    double h0, h3, h6;  // the X column of the inverse homography
    double ax, ay, aw;  // row terms h1 * Y + h2, h4 * Y + h5, h7 * Y + h8
};
void warp_positions(const WarpRow& row, const double* X, std::size_t n, double* xs, double* ys);
void warp_positions_portable(const WarpRow& row, const double* X, std::size_t n, double* xs, double* ys);
void warp_positions_avx2(const WarpRow& row, const double* X, std::size_t n, double* xs, double* ys);

// The n pixels of a warp row (or of a part of it) whose plane X are
// X[0 .. n - 1], sampled into out[0 .. 3 n - 1]: warp_positions then
// sample_run, run by run, with the same bits. The AVX-512 code works out the
// positions of one bilinear run beside the sampling of the run before it.
template <class T>
void warp_run_rgb(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table, const WarpRow& row,
                  const double* X, std::size_t n, T* out);
template <class T>
void warp_run_rgb_portable(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                           const WarpRow& row, const double* X, std::size_t n, T* out);
template <class T>
void warp_run_rgb_avx512(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table, const WarpRow& row,
                         const double* X, std::size_t n, T* out);

// A warp row of n pixels with plane X, run by run of at most RUN_LENGTH:
// positions(X, count, xs, ys) works out a run's source positions, then
// sample(xs, ys, count, out) samples them into its 3 count samples.
template <class T, class Positions, class Sample>
void warp_in_runs(const double* X, std::size_t n, T* out, Positions&& positions, Sample&& sample) {
    double xs[RUN_LENGTH];
    double ys[RUN_LENGTH];
    for (std::size_t start = 0; start < n; start += RUN_LENGTH) {
        const std::size_t count = n - start < RUN_LENGTH ? n - start : RUN_LENGTH;
        positions(X + start, count, xs, ys);
        sample(xs, ys, count, out + start * 3);
    }
}

// a * b, or the largest size when the product does not fit (no buffer can
// have that length, so a comparison with a real length still fails).
inline std::size_t size_product(std::size_t a, std::size_t b) {
    std::size_t p;
    return checked_mul(a, b, &p) ? p : static_cast<std::size_t>(-1);
}

}  // namespace vantrell::warp
