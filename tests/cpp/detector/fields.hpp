// Hand-built level-line fields for the detector's tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "detector/level_lines.hpp"

namespace vantrell::detector::testing {

// A cell whose level line points at `angle` radians with magnitude `norm`.
inline Px cell_at(double angle, float norm = 100.0f) {
    return Px{norm, static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}

// A width x height field of zero cells with its used map, where weak cells are
// taken as the pipeline marks them.
struct Field {
    std::uint32_t width, height;
    std::vector<Px> cells;

    Field(std::uint32_t w, std::uint32_t h) : width(w), height(h), cells(std::size_t{w} * h, Px{0, 0, 0}) {}
    Px& at(std::uint32_t x, std::uint32_t y) { return cells[std::size_t{y} * width + x]; }
    std::uint32_t index(std::uint32_t x, std::uint32_t y) const { return y * width + x; }
    std::vector<std::uint8_t> used(float threshold = 5.22625207901001f) const {
        std::vector<std::uint8_t> u(cells.size());
        for (std::size_t i = 0; i < cells.size(); ++i) u[i] = cells[i].norm <= threshold;
        return u;
    }
};

}  // namespace vantrell::detector::testing
