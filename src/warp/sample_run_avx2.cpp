// The AVX2 run samplers and warp positions.
//
// A run is sampled in two passes. The first works four pixels at a time, one
// per lane of a vector of doubles: the inside test, the floors, the tap
// indices, the bilinear weights or the Lanczos table entries, and whether all
// taps of the pixel lie inside the image. The second goes pixel by pixel and,
// for three channels, accumulates the channels side by side in the lanes of
// one vector (the fourth lane carries a neighbouring sample and is dropped at
// the store). Every lane computes exactly what the portable code computes for
// its pixel or channel: the same IEEE operations in the same order, products
// rounded before they are added (this file is built without FMA and with
// contraction off). Pixels with a tap beyond an edge, and one-channel images,
// go through the point samplers of kernels.hpp.
//
// Only code reached after have_avx2() runs here.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "warp/sample_run.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace vantrell::warp {
namespace {

constexpr std::size_t LANES = 4;
constexpr std::size_t GROUPS = RUN_LENGTH / LANES;
static_assert(RUN_LENGTH % LANES == 0);

// Per-group lane masks (bit l for pixel 4 g + l) of the first pass: which
// pixels are inside the image, and which of those have every tap inside it.
// Pixels inside but not interior go through the point samplers, which clamp.
struct Lanes {
    std::uint8_t inside[GROUPS];
    std::uint8_t interior[GROUPS];
};

struct BilinearTaps : Lanes {
    alignas(32) double w00[RUN_LENGTH];
    alignas(32) double w10[RUN_LENGTH];
    alignas(32) double w01[RUN_LENGTH];
    alignas(32) double w11[RUN_LENGTH];
    alignas(32) std::int64_t offset[RUN_LENGTH];  // first sample of tap (x0, y0)
};

struct Lanczos3Taps : Lanes {
    alignas(32) std::int64_t offset[RUN_LENGTH];  // first sample of tap (ix - 2, iy - 2)
    alignas(16) std::int32_t tx[RUN_LENGTH];
    alignas(16) std::int32_t ty[RUN_LENGTH];
};

// Positions of one group of four pixels; a short last group is padded with
// +infinity, which is outside.
struct Group {
    __m256d x;
    __m256d y;
};

Group load_group(const double* xs, const double* ys, std::size_t i, std::size_t n) {
    if (i + LANES <= n) return {_mm256_loadu_pd(xs + i), _mm256_loadu_pd(ys + i)};
    alignas(32) double gx[LANES];
    alignas(32) double gy[LANES];
    for (std::size_t l = 0; l < LANES; ++l) {
        const bool real = i + l < n;
        gx[l] = real ? xs[i + l] : std::numeric_limits<double>::infinity();
        gy[l] = real ? ys[i + l] : 0.0;
    }
    return {_mm256_load_pd(gx), _mm256_load_pd(gy)};
}

// kernels.hpp `outside`, per lane: bit l set when pixel l is inside.
unsigned inside_bits(const Group& g, double w, double h) {
    const __m256d lo = _mm256_set1_pd(-0.5);
    const __m256d x_hi = _mm256_set1_pd(w - 0.5);
    const __m256d y_hi = _mm256_set1_pd(h - 0.5);
    const __m256d out = _mm256_or_pd(
        _mm256_or_pd(_mm256_cmp_pd(g.x, lo, _CMP_LT_OQ), _mm256_cmp_pd(g.x, x_hi, _CMP_GT_OQ)),
        _mm256_or_pd(_mm256_cmp_pd(g.y, lo, _CMP_LT_OQ), _mm256_cmp_pd(g.y, y_hi, _CMP_GT_OQ)));
    return ~static_cast<unsigned>(_mm256_movemask_pd(out)) & 0xFu;
}

// kernels.hpp `tap_index` for a floor of an inside coordinate: such a floor
// lies in -1 .. w - 1 and converts exactly; NaN gives 0. (Lanes outside the
// image give meaningless indices, which the second pass never uses.)
__m128i floor_index(__m256d coord, __m256d floored) {
    const __m256d ordered = _mm256_cmp_pd(coord, coord, _CMP_ORD_Q);
    return _mm256_cvttpd_epi32(_mm256_and_pd(floored, ordered));
}

// Bit l set when the taps from -before to +after around (ix, iy) of lane l
// all lie inside the image and the last of them is not the image's final
// pixel: the second pass reads four samples from each three-sample tap, which
// must not run past the buffer.
unsigned interior_bits(__m128i ix, __m128i iy, std::size_t w, std::size_t h, int before, int after) {
    const __m128i x_last = _mm_set1_epi32(static_cast<std::int32_t>(w) - 1 - after);
    const __m128i y_last = _mm_set1_epi32(static_cast<std::int32_t>(h) - 1 - after);
    const __m128i low = _mm_set1_epi32(before - 1);
    // ix >= before, iy >= before, ix + after <= w - 1, iy + after <= h - 1.
    const __m128i inside = _mm_andnot_si128(
        _mm_or_si128(_mm_cmpgt_epi32(ix, x_last), _mm_cmpgt_epi32(iy, y_last)),
        _mm_and_si128(_mm_cmpgt_epi32(ix, low), _mm_cmpgt_epi32(iy, low)));
    // ix + after < w - 1 or iy + after < h - 1.
    const __m128i not_final = _mm_or_si128(_mm_cmpgt_epi32(x_last, ix), _mm_cmpgt_epi32(y_last, iy));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_and_si128(inside, not_final))));
}

// (row * w + column) * 3 in 64 bits, for lanes whose row and column are not
// negative; other lanes get values that are never used.
void store_offsets(std::int64_t* out, __m128i column, __m128i row, std::size_t w) {
    const __m256i r = _mm256_mul_epu32(_mm256_cvtepu32_epi64(row), _mm256_set1_epi64x(static_cast<std::int64_t>(w)));
    const __m256i pixel = _mm256_add_epi64(r, _mm256_cvtepu32_epi64(column));
    _mm256_store_si256(reinterpret_cast<__m256i*>(out), _mm256_add_epi64(_mm256_add_epi64(pixel, pixel), pixel));
}

void bilinear_taps(const double* xs, const double* ys, std::size_t n, std::size_t w, std::size_t h,
                   BilinearTaps& taps) {
    const __m256d one = _mm256_set1_pd(1.0);
    const double wd = static_cast<double>(w);
    const double hd = static_cast<double>(h);
    for (std::size_t i = 0; i < n; i += LANES) {
        const Group g = load_group(xs, ys, i, n);
        const __m256d fy = _mm256_floor_pd(g.y);
        const __m256d fx = _mm256_floor_pd(g.x);
        const __m128i ix = floor_index(g.x, fx);
        const __m128i iy = floor_index(g.y, fy);
        const __m256d dx = _mm256_sub_pd(g.x, fx);
        const __m256d dy = _mm256_sub_pd(g.y, fy);
        const __m256d ex = _mm256_sub_pd(one, dx);
        const __m256d ey = _mm256_sub_pd(one, dy);
        _mm256_store_pd(taps.w00 + i, _mm256_mul_pd(ex, ey));
        _mm256_store_pd(taps.w10 + i, _mm256_mul_pd(dx, ey));
        _mm256_store_pd(taps.w01 + i, _mm256_mul_pd(ex, dy));
        _mm256_store_pd(taps.w11 + i, _mm256_mul_pd(dx, dy));
        store_offsets(taps.offset + i, ix, iy, w);
        taps.inside[i / LANES] = static_cast<std::uint8_t>(inside_bits(g, wd, hd));
        taps.interior[i / LANES] = static_cast<std::uint8_t>(interior_bits(ix, iy, w, h, 0, 1));
    }
}

// std::round for a non-negative t: floor(t), plus one when the exact
// remainder t - floor(t) is at least one half (halves away from zero).
__m256d round_half_away(__m256d t) {
    const __m256d r = _mm256_floor_pd(t);
    const __m256d up = _mm256_cmp_pd(_mm256_sub_pd(t, r), _mm256_set1_pd(0.5), _CMP_GE_OQ);
    return _mm256_add_pd(r, _mm256_and_pd(up, _mm256_set1_pd(1.0)));
}

// kernels.hpp `table_entry` of coord - floored: the offset lies in [0, 1] for
// an inside coordinate, so the rounded index lies in 0 .. 1024 and converts
// exactly; NaN gives 0.
__m128i entry_index(__m256d coord, __m256d floored) {
    const __m256d ordered = _mm256_cmp_pd(coord, coord, _CMP_ORD_Q);
    const __m256d t = _mm256_mul_pd(_mm256_sub_pd(coord, floored),
                                    _mm256_set1_pd(static_cast<double>(LANCZOS3_STEPS)));
    return _mm256_cvttpd_epi32(round_half_away(_mm256_and_pd(t, ordered)));
}

void lanczos3_taps(const double* xs, const double* ys, std::size_t n, std::size_t w, std::size_t h,
                   Lanczos3Taps& taps) {
    const double wd = static_cast<double>(w);
    const double hd = static_cast<double>(h);
    const __m128i two = _mm_set1_epi32(2);
    for (std::size_t i = 0; i < n; i += LANES) {
        const Group g = load_group(xs, ys, i, n);
        const __m256d fx = _mm256_floor_pd(g.x);
        const __m256d fy = _mm256_floor_pd(g.y);
        const __m128i ix = floor_index(g.x, fx);
        const __m128i iy = floor_index(g.y, fy);
        _mm_store_si128(reinterpret_cast<__m128i*>(taps.tx + i), entry_index(g.x, fx));
        _mm_store_si128(reinterpret_cast<__m128i*>(taps.ty + i), entry_index(g.y, fy));
        store_offsets(taps.offset + i, _mm_sub_epi32(ix, two), _mm_sub_epi32(iy, two), w);
        taps.inside[i / LANES] = static_cast<std::uint8_t>(inside_bits(g, wd, hd));
        taps.interior[i / LANES] = static_cast<std::uint8_t>(interior_bits(ix, iy, w, h, 2, 3));
    }
}

// The three samples of a pixel, widened exactly to double in lanes 0 .. 2;
// lane 3 holds the next sample, which must exist. Each sample s goes into the
// low mantissa bits of 2^52, giving the double 2^52 + s exactly, and 2^52 is
// subtracted exactly: cheaper than an integer-to-double conversion.
__m256d widen(__m256i q) {
    const __m256i magic_bits = _mm256_set1_epi64x(0x4330000000000000);
    return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(q, magic_bits)),
                         _mm256_castsi256_pd(magic_bits));
}
__m256d load_pixel(const std::uint8_t* p) {
    std::int32_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return widen(_mm256_cvtepu8_epi64(_mm_cvtsi32_si128(bits)));
}
__m256d load_pixel(const std::uint16_t* p) {
    return widen(_mm256_cvtepu16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

// kernels.hpp `store_sample` for lanes 0 .. 2: v + 0.5 clamped to [0, max]
// (NaN to 0, since MAXPD returns its second operand when either is NaN) and
// truncated; inside that range truncation and saturation agree.
__m128i stored_samples(__m256d v, double max) {
    const __m256d r = _mm256_add_pd(v, _mm256_set1_pd(0.5));
    const __m256d clamped = _mm256_min_pd(_mm256_max_pd(r, _mm256_setzero_pd()), _mm256_set1_pd(max));
    return _mm256_cvttpd_epi32(clamped);
}
void store_pixel(std::uint8_t* out, __m256d v) {
    const __m128i i32 = stored_samples(v, 255.0);
    const __m128i i8 = _mm_packus_epi16(_mm_packus_epi32(i32, i32), _mm_setzero_si128());
    const std::uint32_t bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(i8));
    std::memcpy(out, &bits, 3);
}
void store_pixel(std::uint16_t* out, __m256d v) {
    const __m128i i32 = stored_samples(v, 65535.0);
    const __m128i i16 = _mm_packus_epi32(i32, i32);
    const std::uint64_t bits = static_cast<std::uint64_t>(_mm_cvtsi128_si64(i16));
    std::memcpy(out, &bits, 6);
}

// Four pixels' stored samples (lanes 0 .. 2 of each) as twelve consecutive samples.
void store_pixels(std::uint8_t* out, __m128i s0, __m128i s1, __m128i s2, __m128i s3) {
    const __m128i bytes = _mm_shuffle_epi8(_mm_packus_epi16(_mm_packus_epi32(s0, s1), _mm_packus_epi32(s2, s3)),
                                           _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    const std::uint32_t tail = static_cast<std::uint32_t>(_mm_extract_epi32(bytes, 2));
    std::memcpy(out + 8, &tail, sizeof tail);
}
void store_pixels(std::uint16_t* out, __m128i s0, __m128i s1, __m128i s2, __m128i s3) {
    const __m128i pick = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
    const __m128i a = _mm_shuffle_epi8(_mm_packus_epi32(s0, s1), pick);
    const __m128i b = _mm_shuffle_epi8(_mm_packus_epi32(s2, s3), pick);
    // a holds pixels 0 and 1 in its low 12 bytes, b pixels 2 and 3.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(a, _mm_slli_si128(b, 12)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), _mm_srli_si128(b, 4));
}

// An outside pixel stores 0 in its three channels.
template <class T>
void clear_pixel(T* out) {
    out[0] = T(0);
    out[1] = T(0);
    out[2] = T(0);
}

// Asks for the source row `rows` rows below the sample at `offset`: the next
// output row most likely reads it, and the hardware cannot guess it when the
// rows step across the source. A hint, never a fault, wherever it points.
template <class T>
void prefetch_below(const T* samples, std::int64_t offset, std::size_t rows, std::size_t stride) {
    const auto at = reinterpret_cast<std::uintptr_t>(samples) +
                    sizeof(T) * (static_cast<std::uintptr_t>(offset) + rows * stride);
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
}

template <class T>
constexpr double max_sample() {
    return sizeof(T) == 1 ? 255.0 : 65535.0;
}

// Bilinear value of pixel i of the run, all four taps inside the image.
template <class T>
[[gnu::always_inline]] inline __m256d bilinear_interior(const T* samples, std::size_t stride, const BilinearTaps& taps, std::size_t i) {
    const T* p0 = samples + taps.offset[i];
    const T* p1 = p0 + stride;
    __m256d v = _mm256_mul_pd(_mm256_broadcast_sd(taps.w00 + i), load_pixel(p0));
    v = _mm256_add_pd(v, _mm256_mul_pd(_mm256_broadcast_sd(taps.w10 + i), load_pixel(p0 + 3)));
    v = _mm256_add_pd(v, _mm256_mul_pd(_mm256_broadcast_sd(taps.w01 + i), load_pixel(p1)));
    return _mm256_add_pd(v, _mm256_mul_pd(_mm256_broadcast_sd(taps.w11 + i), load_pixel(p1 + 3)));
}

template <class T>
void bilinear_run_rgb(const SourceImage<T>& source, const double* xs, const double* ys, std::size_t n,
                      T* out) {
    BilinearTaps taps;
    bilinear_taps(xs, ys, n, source.w, source.h, taps);
    const T* samples = source.samples.data();
    const std::size_t stride = source.w * 3;
    constexpr double max = max_sample<T>();
    for (std::size_t i = 0; i < n; i += LANES) {
        const unsigned inside = taps.inside[i / LANES];
        const unsigned interior = taps.interior[i / LANES];
        if ((interior & inside) == 0xF) {
            prefetch_below(samples, taps.offset[i], 2, stride);
            const __m128i s0 = stored_samples(bilinear_interior(samples, stride, taps, i), max);
            const __m128i s1 = stored_samples(bilinear_interior(samples, stride, taps, i + 1), max);
            const __m128i s2 = stored_samples(bilinear_interior(samples, stride, taps, i + 2), max);
            const __m128i s3 = stored_samples(bilinear_interior(samples, stride, taps, i + 3), max);
            store_pixels(out + i * 3, s0, s1, s2, s3);
            continue;
        }
        for (std::size_t l = 0; l < LANES && i + l < n; ++l) {
            if (!(inside >> l & 1)) {
                clear_pixel(out + (i + l) * 3);
                continue;
            }
            if (interior >> l & 1)
                store_pixel(out + (i + l) * 3, bilinear_interior(samples, stride, taps, i + l));
            else
                sample_bilinear<T, 3>(source.samples, source.w, source.h, xs[i + l], ys[i + l], out + (i + l) * 3);
        }
    }
}

// The 36 tap weights wy[j] * wx[k] of one pixel, row j at [8 j .. 8 j + 5].
struct TapWeights {
    alignas(32) double w[6 * 8];
};

void tap_weights(const Lanczos3Weights& wx, const Lanczos3Weights& wy, TapWeights& out) {
    const __m256d lo = _mm256_loadu_pd(wx.data());
    const __m256d hi = _mm256_castpd128_pd256(_mm_loadu_pd(wx.data() + 4));
    for (std::size_t j = 0; j < 6; ++j) {
        const __m256d wyj = _mm256_broadcast_sd(wy.data() + j);
        _mm256_store_pd(out.w + 8 * j, _mm256_mul_pd(wyj, lo));
        _mm256_store_pd(out.w + 8 * j + 4, _mm256_mul_pd(wyj, hi));
    }
}

template <class T>
class Lanczos3Rgb {
public:
    Lanczos3Rgb(const SourceImage<T>& source, const Lanczos3Table& table, const Lanczos3Taps& taps)
        : samples_(source.samples.data()), stride_(source.w * 3), table_(table), taps_(taps) {}

    void weights(std::size_t i, TapWeights& out) const {
        tap_weights(table_[static_cast<std::size_t>(taps_.tx[i])], table_[static_cast<std::size_t>(taps_.ty[i])], out);
    }

    // Four interior pixels at once, from a shared block of widened pixels
    // when their windows overlap, else each tap widened where it is read.
    void interior4(std::size_t i, T* out) const {
        TapWeights wt[LANES];
        for (std::size_t l = 0; l < LANES; ++l) weights(i + l, wt[l]);
        prefetch_below(samples_, taps_.offset[i], 6, stride_);
        if (interior4_shared(i, wt, out)) return;
        const T* first[LANES];
        for (std::size_t l = 0; l < LANES; ++l) first[l] = samples_ + taps_.offset[i + l];
        sum4(wt, out, [&](std::size_t l, std::size_t j, std::size_t k) {
            return load_pixel(first[l] + j * stride_ + 3 * k);
        });
    }

    // The four sums of interior4, each over the 36 taps in row order, top to
    // bottom and left to right: tap(l, j, k) gives pixel l's samples at tap row
    // j and column k, widened.
    template <class Tap>
    [[gnu::always_inline]] void sum4(const TapWeights* wt, T* out, Tap tap) const {
        __m256d acc0 = _mm256_setzero_pd();
        __m256d acc1 = _mm256_setzero_pd();
        __m256d acc2 = _mm256_setzero_pd();
        __m256d acc3 = _mm256_setzero_pd();
        // Kept rolled: unrolled, the compiler hoists the loads of many taps
        // ahead of the sums and spills them.
#pragma GCC unroll 1
        for (std::size_t j = 0; j < 6; ++j) {
#pragma GCC unroll 1
            for (std::size_t k = 0; k < 6; ++k) {
                const std::size_t t = 8 * j + k;
                acc0 = _mm256_add_pd(acc0, _mm256_mul_pd(_mm256_broadcast_sd(wt[0].w + t), tap(0, j, k)));
                acc1 = _mm256_add_pd(acc1, _mm256_mul_pd(_mm256_broadcast_sd(wt[1].w + t), tap(1, j, k)));
                acc2 = _mm256_add_pd(acc2, _mm256_mul_pd(_mm256_broadcast_sd(wt[2].w + t), tap(2, j, k)));
                acc3 = _mm256_add_pd(acc3, _mm256_mul_pd(_mm256_broadcast_sd(wt[3].w + t), tap(3, j, k)));
            }
        }
        constexpr double max = max_sample<T>();
        store_pixels(out, stored_samples(acc0, max), stored_samples(acc1, max), stored_samples(acc2, max),
                     stored_samples(acc3, max));
    }

    // interior4 when the four pixels' taps start at most SHARED_SHIFT pixels
    // apart, left to right, as along most rows of a resampling: the 6 x 6
    // windows then overlap, and each pixel of their union is widened once
    // into `block` rather than once per window that holds it. The sums are
    // the same, term by term. False, with nothing done, otherwise.
    static constexpr std::size_t SHARED_SHIFT = 4;
    bool interior4_shared(std::size_t i, const TapWeights* wt, T* out) const {
        std::size_t shift[LANES];
        std::size_t widest = 0;
        for (std::size_t l = 0; l < LANES; ++l) {
            const std::int64_t d = taps_.offset[i + l] - taps_.offset[i];
            if (d < 0 || d > static_cast<std::int64_t>(3 * SHARED_SHIFT) || d % 3 != 0) return false;
            shift[l] = static_cast<std::size_t>(d / 3);
            widest = std::max(widest, shift[l]);
        }
        // Every pixel of the block lies between taps that the four windows
        // read, so it can be read too.
        const std::size_t columns = widest + 6;
        alignas(32) double block[6][SHARED_SHIFT + 6][4];
        const T* line = samples_ + taps_.offset[i];
        for (std::size_t j = 0; j < 6; ++j, line += stride_) {
            for (std::size_t k = 0; k < columns; ++k) _mm256_store_pd(block[j][k], load_pixel(line + 3 * k));
        }
        sum4(wt, out, [&](std::size_t l, std::size_t j, std::size_t k) {
            return _mm256_load_pd(block[j][shift[l] + k]);
        });
        return true;
    }

    void interior(std::size_t i, T* out) const {
        TapWeights wt;
        weights(i, wt);
        const T* line = samples_ + taps_.offset[i];
        __m256d acc = _mm256_setzero_pd();
        for (std::size_t j = 0; j < 6; ++j, line += stride_) {
            for (std::size_t k = 0; k < 6; ++k)
                acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_broadcast_sd(wt.w + 8 * j + k), load_pixel(line + 3 * k)));
        }
        store_pixel(out, acc);
    }

private:
    const T* samples_;
    std::size_t stride_;
    const Lanczos3Table& table_;
    const Lanczos3Taps& taps_;
};

template <class T>
void lanczos3_run_rgb(const SourceImage<T>& source, const Lanczos3Table& table, const double* xs,
                      const double* ys, std::size_t n, T* out) {
    Lanczos3Taps taps;
    lanczos3_taps(xs, ys, n, source.w, source.h, taps);
    const Lanczos3Rgb<T> sampler(source, table, taps);
    for (std::size_t i = 0; i < n; i += LANES) {
        const unsigned inside = taps.inside[i / LANES];
        const unsigned interior = taps.interior[i / LANES];
        if ((interior & inside) == 0xF) {
            sampler.interior4(i, out + i * 3);
            continue;
        }
        for (std::size_t l = 0; l < LANES && i + l < n; ++l) {
            if (!(inside >> l & 1)) {
                clear_pixel(out + (i + l) * 3);
                continue;
            }
            if (interior >> l & 1)
                sampler.interior(i + l, out + (i + l) * 3);
            else
                sample_lanczos3<T, 3>(source.samples, source.w, source.h, xs[i + l], ys[i + l], table,
                                      out + (i + l) * 3);
        }
    }
}

}  // namespace

template <class T, int C>
void sample_run_avx2(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                     const double* xs, const double* ys, std::size_t n, T* out) {
    if (source.w == 0 || source.h == 0) {
        std::fill(out, out + n * C, T(0));  // nothing to read: every position is outside
        return;
    }
    if constexpr (C == 3) {
        if (filter == Filter::Lanczos3)
            lanczos3_run_rgb(source, *table, xs, ys, n, out);
        else
            bilinear_run_rgb(source, xs, ys, n, out);
    } else {
        // One channel leaves three lanes idle; the point samplers, built here
        // with AVX2's rounding instructions, do as well. They leave an outside
        // pixel as they find it: clear the run first.
        std::fill(out, out + n * C, T(0));
        if (filter == Filter::Lanczos3) {
            for (std::size_t i = 0; i < n; ++i)
                sample_lanczos3<T, C>(source.samples, source.w, source.h, xs[i], ys[i], *table, out + i * C);
        } else {
            for (std::size_t i = 0; i < n; ++i)
                sample_bilinear<T, C>(source.samples, source.w, source.h, xs[i], ys[i], out + i * C);
        }
    }
}

void warp_positions_avx2(const WarpRow& row, const double* X, std::size_t n, double* xs, double* ys) {
    const __m256d h0 = _mm256_set1_pd(row.h0);
    const __m256d h3 = _mm256_set1_pd(row.h3);
    const __m256d h6 = _mm256_set1_pd(row.h6);
    const __m256d ax = _mm256_set1_pd(row.ax);
    const __m256d ay = _mm256_set1_pd(row.ay);
    const __m256d aw = _mm256_set1_pd(row.aw);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < n; i += LANES) {
        const bool full = i + LANES <= n;
        alignas(32) double part[LANES] = {0.0, 0.0, 0.0, 0.0};
        if (!full)
            for (std::size_t l = 0; i + l < n; ++l) part[l] = X[i + l];
        const __m256d x = full ? _mm256_loadu_pd(X + i) : _mm256_load_pd(part);
        const __m256d den = _mm256_add_pd(aw, _mm256_mul_pd(h6, x));
        const __m256d sx = _mm256_div_pd(_mm256_add_pd(ax, _mm256_mul_pd(h0, x)), den);
        const __m256d sy = _mm256_div_pd(_mm256_add_pd(ay, _mm256_mul_pd(h3, x)), den);
        const __m256d skip = _mm256_cmp_pd(den, zero, _CMP_EQ_OQ);
        const __m256d gx = _mm256_blendv_pd(sx, inf, skip);
        const __m256d gy = _mm256_blendv_pd(sy, zero, skip);
        if (full) {
            _mm256_storeu_pd(xs + i, gx);
            _mm256_storeu_pd(ys + i, gy);
        } else {
            alignas(32) double tx[LANES];
            alignas(32) double ty[LANES];
            _mm256_store_pd(tx, gx);
            _mm256_store_pd(ty, gy);
            for (std::size_t l = 0; i + l < n; ++l) {
                xs[i + l] = tx[l];
                ys[i + l] = ty[l];
            }
        }
    }
}

#define VANTRELL_RUN_INSTANCES(T, C)                                                         \
    template void sample_run_avx2<T, C>(const SourceImage<T>&, Filter, const Lanczos3Table*, \
                                        const double*, const double*, std::size_t, T*);
VANTRELL_FOR_EACH_LAYOUT(VANTRELL_RUN_INSTANCES)
#undef VANTRELL_RUN_INSTANCES

}  // namespace vantrell::warp

#pragma GCC pop_options
