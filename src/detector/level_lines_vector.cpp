// The AVX2 and AVX-512 row loops of level_lines.
//
// Field rows go eight cells at a time, one cell per lane of a vector of
// doubles (two vectors of four with AVX2): gx, gy and the weak test are the
// portable code's own operations in the same order. The portable code then
// takes the magnitude from std::hypot; a lane here takes
// m' = sqrt(gx * gx + gy * gy) instead, and keeps it only where that cannot
// change a stored bit:
//
// - When gx^2 + gy^2 (as computed) lies in [2^-250, 2^254), each square and
//   the sum carry at most one rounding each (an underflowed square is off by
//   at most 2^-1075, nothing beside the sum), and the square root one more,
//   so m' is within a relative 2^-52 (and a hair) of the magnitude. Any hypot worth the
//   name is within one unit in the last place, another 2^-52: m' and
//   hypot(gx, gy) differ by a relative 2^-51 at most, and the quotients -gy / m
//   and gx / m, one rounding each, by 2^-50 at most. Two positive doubles that
//   close are at most 16 apart as integers (their bit patterns), 32 where a
//   power of two lies between them.
// - A double rounds to the nearest float, so two doubles of the same sign round
//   to the same float unless a rounding boundary lies between them, and within
//   the normal floats every boundary (a midpoint of two neighbouring floats) is
//   a double whose low 29 bits are 1 followed by 28 zeros. A lane is kept when
//   m' and both quotients lie further than CLEAR_UNITS (far more than 32) from
//   that pattern, counted in low bits, and at least 2^-125 in size: the double
//   of the portable code then lies between the same two boundaries and gives
//   the same float. A quotient at most 2^-152 in size is kept as well: both
//   give a zero of the same sign, as the quotient of the portable code is
//   below 2^-150. The range of the sum keeps m' inside [2^-125, 2^127).
// - Lanes that are weak, or whose gx and gy are both zero (the magnitude is
//   then 0, which leaves the cell zero), store a zero cell.
//
// Every other lane (a sum outside the range or NaN, a value near a boundary or
// between 2^-152 and 2^-125: about one lane in 90 000 on ordinary images) is
// redone by field_cell with std::hypot, as are the cells after the last whole
// group of eight. The largest norm is a maximum of floats none of which is NaN
// or -0, the same whatever the order. This file is built without FMA and with
// contraction off; only code reached after have_avx2() or have_avx512() runs
// here.
//
// The used map and the bins go eight cells at a time in single precision: the
// comparison, the division and the product are the portable code's IEEE
// operations.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#include "detector/level_lines_rows.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace vantrell::detector {
namespace {

static_assert(sizeof(Px) == 3 * sizeof(float));

// The rounding boundaries of double -> float in the low 29 bits, and how far
// from them a kept value must be.
constexpr std::int64_t LOW_BITS = (std::int64_t{1} << 29) - 1;
constexpr std::int64_t MIDPOINT = std::int64_t{1} << 28;
constexpr std::int64_t CLEAR_UNITS = 1024;
// The range of gx^2 + gy^2 where m' is kept, and of quotients.
constexpr double SUM_LOW = 0x1p-250;
constexpr double SUM_HIGH = 0x1p254;
constexpr double NORMAL_LOW = 0x1p-125;
constexpr double ZERO_HIGH = 0x1p-152;
constexpr std::int64_t SIGN_BIT = std::bit_cast<std::int64_t>(-0.0);

// Eight cells worked out side by side: their three values (zero in lanes not
// settled) and the lanes that field_cell must redo.
struct Cells8 {
    __m256 norm, cos, sin;
    unsigned redo;
};

// Whether each lane's low 29 bits lie more than CLEAR_UNITS from MIDPOINT:
// (low + CLEAR_UNITS - MIDPOINT) mod 2^29 is at most 2 CLEAR_UNITS exactly
// for the lanes that are not.
__attribute__((always_inline)) inline __m256d far_from_midpoint(__m256d v) {
    const __m256i low = _mm256_and_si256(
        _mm256_add_epi64(_mm256_castpd_si256(v), _mm256_set1_epi64x(CLEAR_UNITS - MIDPOINT)),
        _mm256_set1_epi64x(LOW_BITS));
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(low, _mm256_set1_epi64x(2 * CLEAR_UNITS)));
}

// Whether each quotient gives the portable code's float (see the top).
__attribute__((always_inline)) inline __m256d clear_quotient(__m256d q) {
    const __m256d size = _mm256_andnot_pd(_mm256_set1_pd(-0.0), q);
    const __m256d normal = _mm256_cmp_pd(size, _mm256_set1_pd(NORMAL_LOW), _CMP_GE_OQ);
    const __m256d flushed = _mm256_cmp_pd(size, _mm256_set1_pd(ZERO_HIGH), _CMP_LE_OQ);
    return _mm256_or_pd(_mm256_and_pd(normal, far_from_midpoint(q)), flushed);
}

// The four cells whose blocks start at top[0 .. 3] and bottom[0 .. 3]; bit l
// of `redo` is set when cell l is to be redone.
struct Cells4 {
    __m128 norm, cos, sin;
    unsigned redo;
};

__attribute__((always_inline)) inline Cells4 cells4(const double* top, const double* bottom, double weak_sq) {
    const __m256d a = _mm256_loadu_pd(top), b = _mm256_loadu_pd(top + 1);
    const __m256d c = _mm256_loadu_pd(bottom), d = _mm256_loadu_pd(bottom + 1);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d gx = _mm256_mul_pd(_mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(b, d), a), c), half);
    const __m256d gy = _mm256_mul_pd(_mm256_sub_pd(_mm256_sub_pd(_mm256_add_pd(c, d), a), b), half);
    const __m256d sq = _mm256_add_pd(_mm256_mul_pd(gx, gx), _mm256_mul_pd(gy, gy));

    const __m256d zero = _mm256_setzero_pd();
    __m256d none = _mm256_and_pd(_mm256_cmp_pd(gx, zero, _CMP_EQ_OQ), _mm256_cmp_pd(gy, zero, _CMP_EQ_OQ));
    if (weak_sq > 0.0) none = _mm256_or_pd(none, _mm256_cmp_pd(sq, _mm256_set1_pd(weak_sq), _CMP_LE_OQ));
    const __m256d in_range = _mm256_and_pd(_mm256_cmp_pd(sq, _mm256_set1_pd(SUM_LOW), _CMP_GE_OQ),
                                           _mm256_cmp_pd(sq, _mm256_set1_pd(SUM_HIGH), _CMP_LT_OQ));
    // Open lanes are the ones not left zero: each is kept or redone.
    const __m256d open = _mm256_andnot_pd(none, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)));
    __m256d keep = _mm256_and_pd(open, in_range);
    const __m128 nothing = _mm_setzero_ps();
    if (_mm256_movemask_pd(keep) == 0)
        return Cells4{nothing, nothing, nothing, static_cast<unsigned>(_mm256_movemask_pd(open))};

    const __m256d m = _mm256_sqrt_pd(sq);
    const __m256d minus_gy = _mm256_xor_pd(gy, _mm256_set1_pd(-0.0));
    const __m256d cos = _mm256_div_pd(minus_gy, m);
    const __m256d sin = _mm256_div_pd(gx, m);
    keep = _mm256_and_pd(keep, far_from_midpoint(m));
    keep = _mm256_and_pd(keep, _mm256_and_pd(clear_quotient(cos), clear_quotient(sin)));
    const unsigned redo = static_cast<unsigned>(_mm256_movemask_pd(_mm256_andnot_pd(keep, open)));
    return Cells4{_mm256_cvtpd_ps(_mm256_and_pd(m, keep)), _mm256_cvtpd_ps(_mm256_and_pd(cos, keep)),
                  _mm256_cvtpd_ps(_mm256_and_pd(sin, keep)), redo};
}

// Interleaves eight cells into out[0 .. 7]. Cell i's norm goes to float 3 i,
// which is lane 3 i mod 8 of one of the three stores: each plane is first
// permuted so that its values sit in the lanes where they are stored, then
// three blends pick, lane by lane, the plane whose value belongs there.
__attribute__((always_inline)) inline void put_cells(Px* out, const Cells8& cells) {
    const __m256 n = _mm256_permutevar8x32_ps(cells.norm, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
    const __m256 c = _mm256_permutevar8x32_ps(cells.cos, _mm256_setr_epi32(5, 0, 3, 6, 1, 4, 7, 2));
    const __m256 s = _mm256_permutevar8x32_ps(cells.sin, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
    float* p = &out->norm;
    // Lanes 1, 4, 7 (0x92) and 2, 5 (0x24); the rest keep the first operand.
    _mm256_storeu_ps(p, _mm256_blend_ps(_mm256_blend_ps(n, c, 0x92), s, 0x24));
    _mm256_storeu_ps(p + 8, _mm256_blend_ps(_mm256_blend_ps(s, n, 0x92), c, 0x24));
    _mm256_storeu_ps(p + 16, _mm256_blend_ps(_mm256_blend_ps(c, s, 0x92), n, 0x24));
}

// Stores the eight cells from x, redoes the lanes that need it and keeps the
// largest norms: lane by lane in `most`, of redone cells in `most_redone`.
__attribute__((always_inline)) inline void place_cells(const double* top, const double* bottom, std::size_t x,
                                                       double weak_sq, const Cells8& c, Px* out, __m256& most,
                                                       float& most_redone) {
    put_cells(out + x, c);
    most = _mm256_max_ps(most, c.norm);
    for (unsigned r = c.redo; r != 0; r &= r - 1) {
        const std::size_t at = x + static_cast<std::size_t>(std::countr_zero(r));
        most_redone = std::max(most_redone, field_cell(top, bottom, at, weak_sq, out));
    }
}

// The cells from x to the end of the row, and the row's largest norm.
__attribute__((always_inline)) inline float finish_row(const double* top, const double* bottom, std::size_t x,
                                                       std::size_t width, double weak_sq, Px* out, __m256 most,
                                                       float most_redone) {
    for (; x + 1 < width; ++x) most_redone = std::max(most_redone, field_cell(top, bottom, x, weak_sq, out));
    out[width - 1] = Px{0.0f, 0.0f, 0.0f};
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, most);
    for (float v : lanes) most_redone = std::max(most_redone, v);
    return most_redone;
}

// The norms of cells[0 .. 7]. They lie in lanes 0, 3, 6 of the first eight
// floats, 1, 4, 7 of the next eight and 2, 5 of the last: the reverse of
// put_cells.
__attribute__((always_inline)) inline __m256 norms8(const Px* cells) {
    const float* p = &cells->norm;
    const __m256 mixed = _mm256_blend_ps(_mm256_blend_ps(_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8), 0x92),
                                         _mm256_loadu_ps(p + 16), 0x24);
    return _mm256_permutevar8x32_ps(mixed, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
}

}  // namespace

float field_row_avx2(const double* top, const double* bottom, std::size_t width, double weak_sq, Px* out) {
    __m256 most = _mm256_setzero_ps();
    float most_redone = 0.0f;
    std::size_t x = 0;
    for (; x + 8 < width; x += 8) {
        const Cells4 lo = cells4(top + x, bottom + x, weak_sq);
        const Cells4 hi = cells4(top + x + 4, bottom + x + 4, weak_sq);
        const Cells8 c{_mm256_set_m128(hi.norm, lo.norm), _mm256_set_m128(hi.cos, lo.cos),
                       _mm256_set_m128(hi.sin, lo.sin), lo.redo | hi.redo << 4};
        place_cells(top, bottom, x, weak_sq, c, out, most, most_redone);
    }
    return finish_row(top, bottom, x, width, weak_sq, out, most, most_redone);
}

// The bin of eight norms. max(v, 0) gives 0 for NaN (the second operand) and
// the clamp to [0, N_BINS - 1] leaves the truncating conversion in range: the
// bin is saturating_cast's and min's of the portable code.
void norm_bins_avx2(const Px* cells, std::size_t n, float largest, std::uint16_t* bins) {
    const __m256 divisor = _mm256_set1_ps(largest);
    const __m256 scale = _mm256_set1_ps(1023.0f);
    const __m256 top_bin = _mm256_set1_ps(static_cast<float>(N_BINS - 1));
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 norm = norms8(cells + i);
        const __m256 scaled = _mm256_mul_ps(_mm256_div_ps(norm, divisor), scale);
        const __m256 clamped = _mm256_min_ps(_mm256_max_ps(scaled, _mm256_setzero_ps()), top_bin);
        const __m256i bin = _mm256_cvttps_epi32(clamped);
        const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(bin), _mm256_extracti128_si256(bin, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bins + i), packed);
    }
    norm_bins_portable(cells + i, n - i, largest, bins + i);
}

// norm <= threshold is false for NaN in both codes.
void mark_used_avx2(const Px* cells, std::size_t n, float threshold, std::uint8_t* used) {
    const __m256 limit = _mm256_set1_ps(threshold);
    const __m256i one = _mm256_set1_epi32(1);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 at_most = _mm256_cmp_ps(norms8(cells + i), limit, _CMP_LE_OQ);
        const __m256i flag = _mm256_and_si256(_mm256_castps_si256(at_most), one);
        const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(flag), _mm256_extracti128_si256(flag, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(used + i), _mm_packus_epi16(words, words));
    }
    mark_used_portable(cells + i, n - i, threshold, used + i);
}

}  // namespace vantrell::detector

#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,avx512f")

namespace vantrell::detector {
namespace {

__attribute__((always_inline)) inline __mmask8 far_from_midpoint8(__m512d v) {
    const __m512i low = _mm512_and_si512(
        _mm512_add_epi64(_mm512_castpd_si512(v), _mm512_set1_epi64(CLEAR_UNITS - MIDPOINT)),
        _mm512_set1_epi64(LOW_BITS));
    return _mm512_cmpgt_epi64_mask(low, _mm512_set1_epi64(2 * CLEAR_UNITS));
}

__attribute__((always_inline)) inline __mmask8 clear_quotient8(__m512d q) {
    const __m512d size = _mm512_abs_pd(q);
    const __mmask8 normal = _mm512_cmp_pd_mask(size, _mm512_set1_pd(NORMAL_LOW), _CMP_GE_OQ);
    const __mmask8 flushed = _mm512_cmp_pd_mask(size, _mm512_set1_pd(ZERO_HIGH), _CMP_LE_OQ);
    return (normal & far_from_midpoint8(q)) | flushed;
}

// The eight cells whose blocks start at top[0 .. 7] and bottom[0 .. 7], as
// cells4 does four.
__attribute__((always_inline)) inline Cells8 cells8(const double* top, const double* bottom, double weak_sq) {
    const __m512d a = _mm512_loadu_pd(top), b = _mm512_loadu_pd(top + 1);
    const __m512d c = _mm512_loadu_pd(bottom), d = _mm512_loadu_pd(bottom + 1);
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d gx = _mm512_mul_pd(_mm512_sub_pd(_mm512_sub_pd(_mm512_add_pd(b, d), a), c), half);
    const __m512d gy = _mm512_mul_pd(_mm512_sub_pd(_mm512_sub_pd(_mm512_add_pd(c, d), a), b), half);
    const __m512d sq = _mm512_add_pd(_mm512_mul_pd(gx, gx), _mm512_mul_pd(gy, gy));

    const __m512d zero = _mm512_setzero_pd();
    __mmask8 none = _mm512_cmp_pd_mask(gx, zero, _CMP_EQ_OQ) & _mm512_cmp_pd_mask(gy, zero, _CMP_EQ_OQ);
    if (weak_sq > 0.0) none |= _mm512_cmp_pd_mask(sq, _mm512_set1_pd(weak_sq), _CMP_LE_OQ);
    const __mmask8 in_range = _mm512_cmp_pd_mask(sq, _mm512_set1_pd(SUM_LOW), _CMP_GE_OQ) &
                              _mm512_cmp_pd_mask(sq, _mm512_set1_pd(SUM_HIGH), _CMP_LT_OQ);
    const __mmask8 open = static_cast<__mmask8>(~none);
    __mmask8 keep = open & in_range;
    const __m256 nothing = _mm256_setzero_ps();
    if (keep == 0) return Cells8{nothing, nothing, nothing, open};

    const __m512d m = _mm512_maskz_sqrt_pd(keep, sq);
    const __m512d minus_gy =
        _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(gy), _mm512_set1_epi64(SIGN_BIT)));
    const __m512d cos = _mm512_div_pd(minus_gy, m);
    const __m512d sin = _mm512_div_pd(gx, m);
    keep &= far_from_midpoint8(m) & clear_quotient8(cos) & clear_quotient8(sin);
    return Cells8{_mm512_maskz_cvtpd_ps(keep, m), _mm512_maskz_cvtpd_ps(keep, cos),
                  _mm512_maskz_cvtpd_ps(keep, sin), static_cast<unsigned>(open & ~keep) & 0xFFu};
}

}  // namespace

float field_row_avx512(const double* top, const double* bottom, std::size_t width, double weak_sq, Px* out) {
    __m256 most = _mm256_setzero_ps();
    float most_redone = 0.0f;
    std::size_t x = 0;
    for (; x + 8 < width; x += 8) {
        place_cells(top, bottom, x, weak_sq, cells8(top + x, bottom + x, weak_sq), out, most, most_redone);
    }
    return finish_row(top, bottom, x, width, weak_sq, out, most, most_redone);
}

}  // namespace vantrell::detector

#pragma GCC pop_options
