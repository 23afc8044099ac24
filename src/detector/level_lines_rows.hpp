// The row loops of level_lines: the cells of one field row, and the used map
// and the bins of a run of cells, each in portable code and in vector code that
// gives the same bits. `field_row`, `mark_used` and `norm_bins` pick the widest
// code that the processor runs; the others are here for tests that hold them
// against each other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "detector/level_lines.hpp"

namespace vantrell::detector {

// weak^2 (1 - 1e-9), or 0 when `weak` is 0: a cell whose gx^2 + gy^2 is at most
// this has a magnitude whose single-precision value is at most `weak`.
double weak_square(float weak);

// The cells of one row from image rows `top` and `bottom` (width samples each,
// width at least 2), the last cell zero, cells whose gx^2 + gy^2 is at most
// weak_sq zero when weak_sq > 0. Returns the largest norm of the row (0 if
// none is above 0).
float field_row(const double* top, const double* bottom, std::size_t width, double weak_sq, Px* out);
float field_row_portable(const double* top, const double* bottom, std::size_t width, double weak_sq,
                         Px* out);
float field_row_avx2(const double* top, const double* bottom, std::size_t width, double weak_sq,
                     Px* out);
float field_row_avx512(const double* top, const double* bottom, std::size_t width, double weak_sq,
                       Px* out);

// Cell x < width - 1 of that row, with std::hypot: the portable code, and the
// vector code's answer for lanes it cannot settle. Returns its norm.
float field_cell(const double* top, const double* bottom, std::size_t x, double weak_sq, Px* out);

// used[i] = 1 where cells[i].norm <= threshold, else 0 (also for NaN), i < n.
void mark_used(const Px* cells, std::size_t n, float threshold, std::uint8_t* used);
void mark_used_portable(const Px* cells, std::size_t n, float threshold, std::uint8_t* used);
void mark_used_avx2(const Px* cells, std::size_t n, float threshold, std::uint8_t* used);

// bins[i] = the bin of cells[i].norm for i < n: norm / largest x 1023 in
// single precision, truncated, at most N_BINS - 1 (0 for NaN).
void norm_bins(const Px* cells, std::size_t n, float largest, std::uint16_t* bins);
void norm_bins_portable(const Px* cells, std::size_t n, float largest, std::uint16_t* bins);
void norm_bins_avx2(const Px* cells, std::size_t n, float largest, std::uint16_t* bins);

// Whether this processor runs the AVX2 code, and the AVX-512 (foundation) code.
bool have_avx2();
bool have_avx512();

}  // namespace vantrell::detector
