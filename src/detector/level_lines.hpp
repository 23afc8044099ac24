// The level-line field of the working image and the order of the seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "detector/buffer.hpp"

namespace vantrell::detector {

// One cell of the level-line field: the gradient magnitude and the unit vector of
// the level-line direction (perpendicular to the gradient). A cell without a
// defined direction is all zeros.
struct Px {
    float norm;
    float cos_angle;  // -gy / magnitude, along the row
    float sin_angle;  //  gx / magnitude, down the column
};

inline constexpr std::size_t N_BINS = 1024;

// The width x height field of the width x height image (both at least 3). Cell
// (x, y) belongs to the 2 x 2 block whose top-left pixel is (x, y); the last row
// and column have no such block and stay zero.
//
// Cells whose magnitude is certainly at most `weak` are left zero as well: the
// detector reads nothing of a cell at or below its threshold but that it is
// weak, and a zero cell is weak. With the default 0 every cell is exact.
Buffer<Px> level_line_field(std::span<const double> image, std::size_t width,
                                 std::size_t height, float weak = 0.0f);

// Indices of the cells whose norm is above `threshold`, strongest first by
// N_BINS bins of norm / largest norm, row-major within a bin.
std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold);

// What the seed loop starts from, all made in parallel passes.
struct LevelLines {
    Buffer<Px> field;              // level_line_field(image, width, height, threshold)
    Buffer<std::uint8_t> used;     // 1 where the norm is at most threshold, else 0
    Buffer<std::uint32_t> seeds;   // seeds_by_norm(field, threshold)
};

// The field of a width x height image (both at least 3) whose samples become
// working values as the detector widens them, with its used map and seeds.
// Instantiated for std::uint8_t, std::uint16_t, float and double.
template <class T>
LevelLines level_lines(std::span<const T> image, std::size_t width, std::size_t height,
                       float threshold);

}  // namespace vantrell::detector
