// The AVX-512 run samplers for three-channel runs.
//
// Eight pixels go side by side, one per lane of a vector of doubles, and a
// vector holds one channel of one tap of the eight pixels: each lane computes
// exactly what the portable code computes for its pixel and channel, the same
// IEEE operations in the same order, products rounded before they are added
// (this file is built without FMA and with contraction off).
//
// Bilinear: a pixel's two taps on a source row lie side by side, so one read
// per pixel and row brings in both, and byte shuffles or word permutes split
// eight pixels' reads into channels. Pixels with a tap beyond an edge go
// through the point sampler of kernels.hpp. Bilinear warp rows work out their
// positions in the first pass over each run, eight at a time.
//
// Lanczos-3: eight pixels whose 6 x 6 taps share source rows and lie within
// sixteen columns are sampled from that window of the source, widened once;
// other groups go to the AVX2 code, as do one-channel runs.
//
// Only code reached after have_avx512() runs here.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "warp/sample_run.hpp"

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi")
// GCC 12's AVX-512 headers start many intrinsics from an undefined vector,
// which its flow analysis reports as "maybe uninitialized"; nothing here is.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace vantrell::warp {
namespace {

constexpr std::size_t LANES = 8;

constexpr std::size_t GROUPS = RUN_LENGTH / LANES;
static_assert(RUN_LENGTH % LANES == 0);

// The first pass over a run, eight pixels at a time: which pixels are inside
// the image and which of those have all four taps inside it (bit l of group g
// for pixel 8 g + l), the first sample of each pixel's top-left tap and the
// four weights. Pixels inside but not interior go through the point sampler,
// which clamps.
struct BilinearTaps {
    alignas(64) std::int64_t offset[RUN_LENGTH];
    alignas(64) double w00[RUN_LENGTH];
    alignas(64) double w10[RUN_LENGTH];
    alignas(64) double w01[RUN_LENGTH];
    alignas(64) double w11[RUN_LENGTH];
    __mmask8 inside[GROUPS];
    __mmask8 interior[GROUPS];
};

// kernels.hpp `tap_index` for a floor of an inside coordinate: such a floor
// lies in -1 .. w - 1 and converts exactly; NaN gives 0. (Lanes outside the
// image give meaningless indices, which are never used.)
__m256i floor_index(__m512d coord, __m512d floored) {
    const __mmask8 ordered = _mm512_cmp_pd_mask(coord, coord, _CMP_ORD_Q);
    return _mm512_maskz_cvttpd_epi32(ordered, floored);
}

// Positions of a group of eight pixels, one per lane.
struct Positions {
    __m512d x;
    __m512d y;
};

// The first pass for the group of pixels i .. i + 7 of a run at `p`.
[[gnu::always_inline]] inline void group_taps(const Positions& p, std::size_t w, std::size_t h, std::size_t i,
                                              BilinearTaps& taps) {
    const __m512d lo = _mm512_set1_pd(-0.5);
    const __m512d x_hi = _mm512_set1_pd(static_cast<double>(w) - 0.5);
    const __m512d y_hi = _mm512_set1_pd(static_cast<double>(h) - 0.5);
    const __m512d one = _mm512_set1_pd(1.0);
    // Both taps inside on an axis: 0 <= ix and ix + 1 <= w - 1.
    const __m256i zero = _mm256_setzero_si256();
    const __m256i x_last = _mm256_set1_epi32(static_cast<std::int32_t>(w) - 2);
    const __m256i y_last = _mm256_set1_epi32(static_cast<std::int32_t>(h) - 2);
    const __m512i width = _mm512_set1_epi64(static_cast<std::int64_t>(w));
    const __m512d x = p.x;
    const __m512d y = p.y;
    // kernels.hpp `outside`: ordered comparisons, so NaN is inside.
    const __mmask8 outside = _mm512_cmp_pd_mask(x, lo, _CMP_LT_OQ) | _mm512_cmp_pd_mask(x, x_hi, _CMP_GT_OQ) |
                             _mm512_cmp_pd_mask(y, lo, _CMP_LT_OQ) | _mm512_cmp_pd_mask(y, y_hi, _CMP_GT_OQ);
    const auto inside = static_cast<__mmask8>(~outside);
    const __m512d fy = _mm512_roundscale_pd(y, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512d fx = _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256i ix = floor_index(x, fx);
    const __m256i iy = floor_index(y, fy);
    // All four taps inside the image, and (ix + 1, iy + 1) not its final
    // pixel: the second pass reads samples beyond a row's right tap.
    taps.inside[i / LANES] = inside;
    taps.interior[i / LANES] =
        inside & _mm256_cmpge_epi32_mask(ix, zero) & _mm256_cmpge_epi32_mask(iy, zero) &
        _mm256_cmple_epi32_mask(ix, x_last) & _mm256_cmple_epi32_mask(iy, y_last) &
        (_mm256_cmplt_epi32_mask(ix, x_last) | _mm256_cmplt_epi32_mask(iy, y_last));
    // (iy * w + ix) * 3 in 64 bits, meaningful for the interior lanes.
    const __m512i pixel = _mm512_add_epi64(_mm512_mul_epu32(_mm512_cvtepu32_epi64(iy), width),
                                           _mm512_cvtepu32_epi64(ix));
    _mm512_store_si512(taps.offset + i, _mm512_add_epi64(_mm512_add_epi64(pixel, pixel), pixel));
    const __m512d dx = _mm512_sub_pd(x, fx);
    const __m512d dy = _mm512_sub_pd(y, fy);
    const __m512d ex = _mm512_sub_pd(one, dx);
    const __m512d ey = _mm512_sub_pd(one, dy);
    _mm512_store_pd(taps.w00 + i, _mm512_mul_pd(ex, ey));
    _mm512_store_pd(taps.w10 + i, _mm512_mul_pd(dx, ey));
    _mm512_store_pd(taps.w01 + i, _mm512_mul_pd(ex, dy));
    _mm512_store_pd(taps.w11 + i, _mm512_mul_pd(dx, dy));
}

// One source row's two taps of eight pixels, read pixel by pixel (cheaper
// than a gather): for 8-bit samples a quadword per pixel, for 16-bit samples
// eight samples per pixel, in each case the six samples of the left and the
// right tap followed by samples that the interior test guarantees to exist.
template <class T>
struct RowTaps {
    __m512i lo;  // pixels 0 .. 7 (8-bit) or 0 .. 3 (16-bit)
    __m512i hi;  // pixels 4 .. 7 (16-bit only)

    // Channel c of tap `tap` (0 left, 1 right) of the eight pixels, widened
    // exactly to double.
    __m512d at(int tap, int c) const {
        if constexpr (sizeof(T) == 1) {
            // Byte 3 tap + c of every quadword, zero-extended to the quadword
            // by a shuffle within 128-bit lanes (index bytes with the top bit
            // set give 0): cheaper than a permute across the vector.
            const auto k = static_cast<char>(3 * tap + c);
            const auto z = static_cast<char>(-128);
            const __m512i pick = _mm512_broadcast_i32x4(
                _mm_setr_epi8(k, z, z, z, z, z, z, z, static_cast<char>(8 + k), z, z, z, z, z, z, z));
            return _mm512_cvtepu64_pd(_mm512_shuffle_epi8(lo, pick));
        } else {
            const __m512i index =
                _mm512_add_epi64(_mm512_set_epi64(56, 48, 40, 32, 24, 16, 8, 0), _mm512_set1_epi64(3 * tap + c));
            // Word 3 tap + c of every pixel's eight, zero-extended to a quadword.
            return _mm512_cvtepu64_pd(_mm512_maskz_permutex2var_epi16(0x11111111, lo, index, hi));
        }
    }
};

[[gnu::always_inline]] inline __m128i load_quad(const std::uint8_t* p) {
    std::int64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return _mm_cvtsi64_si128(bits);
}
[[gnu::always_inline]] inline __m128i with_quad(__m128i v, const std::uint8_t* p) {
    std::int64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return _mm_insert_epi64(v, bits, 1);
}
[[gnu::always_inline]] inline __m128i load_octet(const std::uint16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

[[gnu::always_inline]] inline __m512i join(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m256i ab = _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
    const __m256i cd = _mm256_inserti128_si256(_mm256_castsi128_si256(c), d, 1);
    return _mm512_inserti64x4(_mm512_castsi256_si512(ab), cd, 1);
}

// The taps on the row that starts `row` samples after the top-left taps.
template <class T>
[[gnu::always_inline]] inline RowTaps<T> read_row(const T* base, const std::int64_t* offset) {
    if constexpr (sizeof(T) == 1) {
        return {join(with_quad(load_quad(base + offset[0]), base + offset[1]),
                     with_quad(load_quad(base + offset[2]), base + offset[3]),
                     with_quad(load_quad(base + offset[4]), base + offset[5]),
                     with_quad(load_quad(base + offset[6]), base + offset[7])),
                _mm512_setzero_si512()};
    } else {
        return {join(load_octet(base + offset[0]), load_octet(base + offset[1]), load_octet(base + offset[2]),
                     load_octet(base + offset[3])),
                join(load_octet(base + offset[4]), load_octet(base + offset[5]), load_octet(base + offset[6]),
                     load_octet(base + offset[7]))};
    }
}

// kernels.hpp `store_sample` for bilinear values of interior pixels, as 32-bit
// integers of which store_pixels keeps the low 8 or 16 bits. No clamp is
// needed: the four weights are non-negative and sum to 1 up to a few
// rounding errors, so a value v built from samples in [0, max] lies in
// [0, max (1 + 2^-50)] and v + 0.5 truncates to 0 .. max; a NaN v (from a NaN
// coordinate) converts to 0x80000000, whose low bits are 0 as saturation
// wants. Lanes not in `keep` give 0.
template <class T>
[[gnu::always_inline]] inline __m256i stored_samples(__mmask8 keep, __m512d v) {
    return _mm512_maskz_cvttpd_epi32(keep, _mm512_add_pd(v, _mm512_set1_pd(0.5)));
}

// The three channels of m <= 8 pixels, interleaved into 3 m samples.
[[gnu::always_inline]] inline void store_pixels(std::uint8_t* out, std::size_t m, __m256i c0, __m256i c1,
                                                __m256i c2) {
    const __m128i low = _mm_unpacklo_epi64(_mm256_cvtepi32_epi8(c0), _mm256_cvtepi32_epi8(c1));
    const __m256i planes = _mm256_inserti128_si256(_mm256_castsi128_si256(low), _mm256_cvtepi32_epi8(c2), 1);
    const __m256i order = _mm256_setr_epi8(0, 8, 16, 1, 9, 17, 2, 10, 18, 3, 11, 19, 4, 12, 20, 5, 13, 21, 6, 14,
                                           22, 7, 15, 23, 0, 0, 0, 0, 0, 0, 0, 0);
    const __mmask32 bytes = static_cast<__mmask32>((std::uint64_t{1} << (3 * m)) - 1);
    _mm256_mask_storeu_epi8(out, bytes, _mm256_permutexvar_epi8(order, planes));
}
[[gnu::always_inline]] inline void store_pixels(std::uint16_t* out, std::size_t m, __m256i c0, __m256i c1,
                                                __m256i c2) {
    __m512i planes = _mm512_castsi128_si512(_mm256_cvtepi32_epi16(c0));
    planes = _mm512_inserti64x2(planes, _mm256_cvtepi32_epi16(c1), 1);
    planes = _mm512_inserti64x2(planes, _mm256_cvtepi32_epi16(c2), 2);
    const __m512i order = _mm512_set_epi16(0, 0, 0, 0, 0, 0, 0, 0, 23, 15, 7, 22, 14, 6, 21, 13, 5, 20, 12, 4, 19,
                                           11, 3, 18, 10, 2, 17, 9, 1, 16, 8, 0);
    const __mmask32 words = static_cast<__mmask32>((std::uint64_t{1} << (3 * m)) - 1);
    _mm512_mask_storeu_epi16(out, words, _mm512_permutexvar_epi16(order, planes));
}

// Asks for the source row `rows` rows below the sample at `offset`: the next
// output row most likely reads it, and the hardware cannot guess it when the
// rows step across the source. A hint, never a fault, wherever it points.
template <class T>
[[gnu::always_inline]] inline void prefetch_below(const T* samples, std::int64_t offset, std::size_t rows,
                                                  std::size_t stride) {
    const auto at = reinterpret_cast<std::uintptr_t>(samples) +
                    sizeof(T) * (static_cast<std::uintptr_t>(offset) + rows * stride);
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
}

// The lanes of a group of m that are real.
[[gnu::always_inline]] inline __mmask8 real_lanes(std::size_t m) { return static_cast<__mmask8>((1u << m) - 1); }

// The second pass for the m <= 8 pixels i .. i + m - 1 of a run at (xs, ys),
// whose first pass is in `taps`; `out` is the run's first pixel.
template <class T>
[[gnu::always_inline]] inline void sample_group(const SourceImage<T>& source, BilinearTaps& taps, const double* xs,
                                                const double* ys, std::size_t i, std::size_t m, T* out) {
    const T* top = source.samples.data();
    const std::size_t stride = source.w * 3;
    const T* bottom = top + stride;
    const __mmask8 inside = taps.inside[i / LANES];
    const __mmask8 interior = taps.interior[i / LANES];
    const __m256i none = _mm256_setzero_si256();
    if (interior != 0xFF) {
        // Lanes that are not interior read the taps of an interior one
        // (their results are replaced), or the group stores zeros only.
        if (interior == 0) {
            store_pixels(out + i * 3, m, none, none, none);
        } else {
            const std::int64_t spare = taps.offset[i + static_cast<std::size_t>(__builtin_ctz(interior))];
            for (std::size_t l = 0; l < LANES; ++l)
                if (!(interior >> l & 1)) taps.offset[i + l] = spare;
        }
    }
    if (interior != 0) {
        prefetch_below(top, taps.offset[i], 2, stride);
        prefetch_below(top, taps.offset[i + 4], 2, stride);
        const RowTaps<T> row0 = read_row(top, taps.offset + i);
        const RowTaps<T> row1 = read_row(bottom, taps.offset + i);
        const __m512d w00 = _mm512_load_pd(taps.w00 + i);
        const __m512d w10 = _mm512_load_pd(taps.w10 + i);
        const __m512d w01 = _mm512_load_pd(taps.w01 + i);
        const __m512d w11 = _mm512_load_pd(taps.w11 + i);
        __m256i stored[3];
        for (int c = 0; c < 3; ++c) {
            __m512d v = _mm512_add_pd(_mm512_mul_pd(w00, row0.at(0, c)), _mm512_mul_pd(w10, row0.at(1, c)));
            v = _mm512_add_pd(v, _mm512_mul_pd(w01, row1.at(0, c)));
            v = _mm512_add_pd(v, _mm512_mul_pd(w11, row1.at(1, c)));
            // Outside pixels get 0.
            stored[c] = stored_samples<T>(inside, v);
        }
        store_pixels(out + i * 3, m, stored[0], stored[1], stored[2]);
    }
    // Pixels with a tap beyond an edge are redone by the point sampler.
    for (unsigned edge = inside & ~interior; edge != 0; edge &= edge - 1) {
        const std::size_t l = i + static_cast<std::size_t>(__builtin_ctz(edge));
        sample_bilinear<T, 3>(source.samples, source.w, source.h, xs[l], ys[l], out + l * 3);
    }
}

template <class T>
void bilinear_run_rgb(const SourceImage<T>& source, const double* xs, const double* ys, std::size_t n, T* out) {
    const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    BilinearTaps taps;
    for (std::size_t i = 0; i < n; i += LANES) {
        // Missing lanes of a short last group are +infinity, which is outside.
        const __mmask8 real = real_lanes(std::min(LANES, n - i));
        group_taps({_mm512_mask_loadu_pd(inf, real, xs + i), _mm512_mask_loadu_pd(_mm512_setzero_pd(), real, ys + i)},
                   source.w, source.h, i, taps);
    }
    for (std::size_t i = 0; i < n; i += LANES) sample_group(source, taps, xs, ys, i, std::min(LANES, n - i), out);
}

// The first pass of one run of a warp row, with its positions.
struct WarpRun {
    BilinearTaps taps;
    alignas(64) double xs[RUN_LENGTH];
    alignas(64) double ys[RUN_LENGTH];
};

// A warp row of n pixels in runs of RUN_LENGTH. The first pass of a run,
// with sample_run.hpp `warp_positions` eight pixels at a time, goes group by
// group beside the second pass of the run before it: the divisions, slow and
// needed only by the first pass, proceed while the other units sample.
template <class T>
void bilinear_warp_rgb(const SourceImage<T>& source, const WarpRow& row, const double* X, std::size_t n, T* out) {
    const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    const __m512d zero = _mm512_setzero_pd();
    const __m512d h0 = _mm512_set1_pd(row.h0);
    const __m512d h3 = _mm512_set1_pd(row.h3);
    const __m512d h6 = _mm512_set1_pd(row.h6);
    const __m512d ax = _mm512_set1_pd(row.ax);
    const __m512d ay = _mm512_set1_pd(row.ay);
    const __m512d aw = _mm512_set1_pd(row.aw);
    // The first pass of the group at pixels i .. i + m - 1 of the run that
    // starts at `start`.
    auto first_pass = [&](WarpRun& run, std::size_t start, std::size_t i, std::size_t m) {
        const __mmask8 real = real_lanes(m);
        const __m512d plane = _mm512_mask_loadu_pd(zero, real, X + start + i);
        const __m512d den = _mm512_add_pd(aw, _mm512_mul_pd(h6, plane));
        const __m512d sx = _mm512_div_pd(_mm512_add_pd(ax, _mm512_mul_pd(h0, plane)), den);
        const __m512d sy = _mm512_div_pd(_mm512_add_pd(ay, _mm512_mul_pd(h3, plane)), den);
        // A zero denominator gives +infinity and 0; so does a missing lane.
        const auto keep = static_cast<__mmask8>(real & ~_mm512_cmp_pd_mask(den, zero, _CMP_EQ_OQ));
        const Positions p{_mm512_mask_blend_pd(keep, inf, sx), _mm512_mask_blend_pd(keep, zero, sy)};
        _mm512_store_pd(run.xs + i, p.x);
        _mm512_store_pd(run.ys + i, p.y);
        group_taps(p, source.w, source.h, i, run.taps);
    };
    WarpRun run;
    for (std::size_t start = 0; start < n; start += RUN_LENGTH) {
        const std::size_t count = std::min(RUN_LENGTH, n - start);
        for (std::size_t i = 0; i < count; i += LANES) first_pass(run, start, i, std::min(LANES, count - i));
        for (std::size_t i = 0; i < count; i += LANES)
            sample_group(source, run.taps, run.xs, run.ys, i, std::min(LANES, count - i), out + start * 3);
    }
}

// ---- Lanczos-3, three channels ----
//
// Eight pixels again go side by side, one per lane, and a vector holds one
// channel of one tap of the eight. When the eight lie on one source row of
// taps and their leftmost taps lie at most LANCZOS3_SPREAD columns apart, as
// along most rows of a resampling, the 6 x 16 window of source pixels that
// holds all their taps is widened to double once, a channel per vector pair
// per row, and each tap of the eight is picked out of a row by a permute.
// Two such groups run together, so that six independent sums hide the adds'
// latency. Other groups go to the AVX2 code.

// The widest spread of the eight leftmost taps: 10 + 6 taps fit 16 columns.
constexpr std::int32_t LANCZOS3_SPREAD = 10;
constexpr std::size_t WINDOW_COLUMNS = 16;

// A group of eight interior pixels whose taps lie in one window.
struct Lanczos3Window {
    std::size_t first;     // first sample of the window: pixel (min ix - 2, iy - 2)
    std::size_t columns;   // columns of the window inside the image, at most 16
    __m512i shift;         // per lane: its leftmost tap's column in the window
    __m256i tx;            // per lane: the table entries of the two axes
    __m256i ty;
};

// kernels.hpp `table_entry` of coord - floored: the offset lies in [0, 1]
// for an inside coordinate, so the index lies in 0 .. 1024; NaN gives 0. A
// non-negative t rounds halves away from zero as floor(t) plus one when the
// exact remainder t - floor(t) is at least a half.
[[gnu::always_inline]] inline __m256i entry_index(__m512d coord, __m512d floored) {
    const __mmask8 ordered = _mm512_cmp_pd_mask(coord, coord, _CMP_ORD_Q);
    const __m512d t = _mm512_mul_pd(_mm512_sub_pd(coord, floored),
                                    _mm512_set1_pd(static_cast<double>(LANCZOS3_STEPS)));
    const __m512d down = _mm512_roundscale_pd(t, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __mmask8 up = _mm512_cmp_pd_mask(_mm512_sub_pd(t, down), _mm512_set1_pd(0.5), _CMP_GE_OQ);
    return _mm512_maskz_cvttpd_epi32(ordered, _mm512_mask_add_pd(down, up, down, _mm512_set1_pd(1.0)));
}

// The first pass for the eight pixels at (xs, ys): true, with `window`
// filled in, when all eight are inside, have all 36 taps inside the image,
// share their row of taps and spread at most LANCZOS3_SPREAD columns apart.
[[gnu::always_inline]] inline bool lanczos3_window(const double* xs, const double* ys, std::size_t w,
                                                   std::size_t h, Lanczos3Window& window) {
    const __m512d x = _mm512_loadu_pd(xs);
    const __m512d y = _mm512_loadu_pd(ys);
    const __m512d lo = _mm512_set1_pd(-0.5);
    const __mmask8 outside = _mm512_cmp_pd_mask(x, lo, _CMP_LT_OQ) |
                             _mm512_cmp_pd_mask(x, _mm512_set1_pd(static_cast<double>(w) - 0.5), _CMP_GT_OQ) |
                             _mm512_cmp_pd_mask(y, lo, _CMP_LT_OQ) |
                             _mm512_cmp_pd_mask(y, _mm512_set1_pd(static_cast<double>(h) - 0.5), _CMP_GT_OQ);
    if (outside != 0) return false;
    const __m512d fx = _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512d fy = _mm512_roundscale_pd(y, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256i ix = floor_index(x, fx);
    const __m256i iy = floor_index(y, fy);
    // All taps inside: 2 <= ix <= w - 4 and 2 <= iy <= h - 4 (kernels.hpp
    // `lanczos3_interior`); and one row for all eight.
    const __m256i two = _mm256_set1_epi32(2);
    const __m256i row = _mm256_broadcastd_epi32(_mm256_castsi256_si128(iy));
    const __mmask8 fits = _mm256_cmpge_epi32_mask(ix, two) & _mm256_cmpge_epi32_mask(iy, two) &
                          _mm256_cmple_epi32_mask(ix, _mm256_set1_epi32(static_cast<std::int32_t>(w) - 4)) &
                          _mm256_cmple_epi32_mask(iy, _mm256_set1_epi32(static_cast<std::int32_t>(h) - 4)) &
                          _mm256_cmpeq_epi32_mask(iy, row);
    if (fits != 0xFF) return false;
    alignas(32) std::int32_t columns[LANES];
    _mm256_store_si256(reinterpret_cast<__m256i*>(columns), ix);
    const std::int32_t left = *std::min_element(columns, columns + LANES);
    const __m256i shift = _mm256_sub_epi32(ix, _mm256_set1_epi32(left));
    if (_mm256_cmpgt_epi32_mask(shift, _mm256_set1_epi32(LANCZOS3_SPREAD)) != 0) return false;
    const auto x0 = static_cast<std::size_t>(left - 2);
    const auto y0 = static_cast<std::size_t>(_mm256_extract_epi32(iy, 0) - 2);
    window.first = (y0 * w + x0) * 3;
    window.columns = std::min(WINDOW_COLUMNS, w - x0);
    window.shift = _mm512_cvtepu32_epi64(shift);
    window.tx = entry_index(x, fx);
    window.ty = entry_index(y, fy);
    return true;
}

// One source row of a window, widened exactly to double: channel c of
// columns 0 .. 7 in lo[c] and of columns 8 .. 15 in hi[c]. Columns past the
// image are read as 0 (masked loads never touch them) and never picked.
struct WindowRow {
    __m512d lo[3];
    __m512d hi[3];
};

// Sample 3 q + c of column q in quadword q, for columns 0 .. 7 (lo) and
// 8 .. 15 (hi): the indices that split interleaved samples into channel c.
struct ChannelPicks {
    __m512i lo, hi;
};
[[gnu::always_inline]] inline ChannelPicks channel_picks(int c) {
    const __m512i lo = _mm512_add_epi64(_mm512_set_epi64(21, 18, 15, 12, 9, 6, 3, 0), _mm512_set1_epi64(c));
    return {lo, _mm512_add_epi64(lo, _mm512_set1_epi64(24))};
}

[[gnu::always_inline]] inline WindowRow widen_row(const std::uint8_t* p, std::size_t columns) {
    const __m512i bytes = _mm512_maskz_loadu_epi8((std::uint64_t{1} << (3 * columns)) - 1, p);
    WindowRow r;
    for (int c = 0; c < 3; ++c) {
        // Byte 3 q + c of column q to byte 0 of quadword q, the rest 0.
        const ChannelPicks pick = channel_picks(c);
        constexpr __mmask64 low_bytes = 0x0101010101010101;
        r.lo[c] = _mm512_cvtepu64_pd(_mm512_maskz_permutexvar_epi8(low_bytes, pick.lo, bytes));
        r.hi[c] = _mm512_cvtepu64_pd(_mm512_maskz_permutexvar_epi8(low_bytes, pick.hi, bytes));
    }
    return r;
}
[[gnu::always_inline]] inline WindowRow widen_row(const std::uint16_t* p, std::size_t columns) {
    const std::size_t samples = 3 * columns;
    const std::size_t first = std::min<std::size_t>(samples, 32);
    const __m512i a = _mm512_maskz_loadu_epi16(static_cast<__mmask32>((std::uint64_t{1} << first) - 1), p);
    const __m512i b =
        _mm512_maskz_loadu_epi16(static_cast<__mmask32>((std::uint64_t{1} << (samples - first)) - 1), p + 32);
    WindowRow r;
    for (int c = 0; c < 3; ++c) {
        // Word 3 q + c of column q to word 0 of quadword q, the rest 0.
        const ChannelPicks pick = channel_picks(c);
        constexpr __mmask32 low_words = 0x11111111;
        r.lo[c] = _mm512_cvtepu64_pd(_mm512_maskz_permutex2var_epi16(low_words, a, pick.lo, b));
        r.hi[c] = _mm512_cvtepu64_pd(_mm512_maskz_permutex2var_epi16(low_words, a, pick.hi, b));
    }
    return r;
}

// The six weights of one axis of eight pixels: vector k holds weight k of
// each lane's table entry. Copied lane by lane, which costs less here than
// gathering them.
struct AxisWeights {
    __m512d k[6];
};

[[gnu::always_inline]] inline AxisWeights axis_weights(const Lanczos3Table& table, __m256i entry) {
    alignas(32) std::int32_t e[LANES];
    _mm256_store_si256(reinterpret_cast<__m256i*>(e), entry);
    alignas(64) double t[6][LANES];
    for (std::size_t l = 0; l < LANES; ++l) {
        const Lanczos3Weights& row = table[static_cast<std::size_t>(e[l])];
        for (int k = 0; k < 6; ++k) t[k][l] = row[static_cast<std::size_t>(k)];
    }
    AxisWeights a;
    for (int k = 0; k < 6; ++k) a.k[k] = _mm512_load_pd(t[k]);
    return a;
}

// kernels.hpp `store_sample` for Lanczos-3 values, as 32-bit integers: the
// lobes can take a value past the sample range, so it is clamped.
template <class T>
[[gnu::always_inline]] inline __m256i clamped_samples(__m512d v) {
    const __m512d r = _mm512_add_pd(v, _mm512_set1_pd(0.5));
    const __m512d top = _mm512_set1_pd(sizeof(T) == 1 ? 255.0 : 65535.0);
    return _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(r, _mm512_setzero_pd()), top));
}

// Samples G windows of eight pixels each into out[g] (24 samples each): for
// every lane and channel the sum over the 36 taps, row by row and left to
// right, of (wy[j] * wx[k]) * sample, as kernels.hpp `sample_lanczos3`.
template <class T, int G>
[[gnu::always_inline]] inline void lanczos3_windows(const T* samples, std::size_t stride, const Lanczos3Table& table,
                                                    const Lanczos3Window* windows, T* const* out) {
    AxisWeights wx[G];
    AxisWeights wy[G];
    __m512d acc[G][3];
    for (int g = 0; g < G; ++g) {
        wx[g] = axis_weights(table, windows[g].tx);
        wy[g] = axis_weights(table, windows[g].ty);
        for (int c = 0; c < 3; ++c) acc[g][c] = _mm512_setzero_pd();
    }
#pragma GCC unroll 1
    for (int j = 0; j < 6; ++j) {
        WindowRow rows[G];
        for (int g = 0; g < G; ++g)
            rows[g] = widen_row(samples + windows[g].first + static_cast<std::size_t>(j) * stride, windows[g].columns);
        for (int k = 0; k < 6; ++k) {
            for (int g = 0; g < G; ++g) {
                const __m512d weight = _mm512_mul_pd(wy[g].k[j], wx[g].k[k]);
                const __m512i column = _mm512_add_epi64(windows[g].shift, _mm512_set1_epi64(k));
                for (int c = 0; c < 3; ++c) {
                    const __m512d s = _mm512_permutex2var_pd(rows[g].lo[c], column, rows[g].hi[c]);
                    acc[g][c] = _mm512_add_pd(acc[g][c], _mm512_mul_pd(weight, s));
                }
            }
        }
    }
    for (int g = 0; g < G; ++g)
        store_pixels(out[g], LANES, clamped_samples<T>(acc[g][0]), clamped_samples<T>(acc[g][1]),
                     clamped_samples<T>(acc[g][2]));
}

template <class T>
void lanczos3_run_rgb(const SourceImage<T>& source, const Lanczos3Table& table, const double* xs, const double* ys,
                      std::size_t n, T* out) {
    const T* samples = source.samples.data();
    const std::size_t stride = source.w * 3;
    // A window found and waiting for a second one to run beside.
    Lanczos3Window windows[2];
    T* outs[2];
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < n; i += LANES) {
        const std::size_t m = std::min(LANES, n - i);
        if (m == LANES && lanczos3_window(xs + i, ys + i, source.w, source.h, windows[waiting])) {
            outs[waiting++] = out + i * 3;
            if (waiting == 2) {
                lanczos3_windows<T, 2>(samples, stride, table, windows, outs);
                waiting = 0;
            }
        } else {
            sample_run_avx2<T, 3>(source, Filter::Lanczos3, &table, xs + i, ys + i, m, out + i * 3);
        }
    }
    if (waiting == 1) lanczos3_windows<T, 1>(samples, stride, table, windows, outs);
}

}  // namespace

template <class T>
void warp_run_rgb_avx512(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table, const WarpRow& row,
                         const double* X, std::size_t n, T* out) {
    if (filter == Filter::Bilinear && source.w != 0 && source.h != 0) {
        bilinear_warp_rgb(source, row, X, n, out);
        return;
    }
    warp_in_runs(
        X, n, out,
        [&](const double* x, std::size_t count, double* xs, double* ys) {
            warp_positions_avx2(row, x, count, xs, ys);
        },
        [&](const double* xs, const double* ys, std::size_t count, T* run) {
            sample_run_avx512<T, 3>(source, filter, table, xs, ys, count, run);
        });
}

template void warp_run_rgb_avx512<std::uint8_t>(const SourceImage<std::uint8_t>&, Filter, const Lanczos3Table*,
                                                const WarpRow&, const double*, std::size_t, std::uint8_t*);
template void warp_run_rgb_avx512<std::uint16_t>(const SourceImage<std::uint16_t>&, Filter, const Lanczos3Table*,
                                                 const WarpRow&, const double*, std::size_t, std::uint16_t*);

template <class T, int C>
void sample_run_avx512(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                       const double* xs, const double* ys, std::size_t n, T* out) {
    if constexpr (C == 3) {
        if (source.w != 0 && source.h != 0) {
            if (filter == Filter::Bilinear)
                bilinear_run_rgb(source, xs, ys, n, out);
            else
                lanczos3_run_rgb(source, *table, xs, ys, n, out);
            return;
        }
    }
    sample_run_avx2<T, C>(source, filter, table, xs, ys, n, out);
}

#define VANTRELL_RUN_INSTANCES(T, C)                                                           \
    template void sample_run_avx512<T, C>(const SourceImage<T>&, Filter, const Lanczos3Table*, \
                                          const double*, const double*, std::size_t, T*);
VANTRELL_FOR_EACH_LAYOUT(VANTRELL_RUN_INSTANCES)
#undef VANTRELL_RUN_INSTANCES

}  // namespace vantrell::warp

#pragma GCC pop_options
