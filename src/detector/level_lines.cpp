// Gradients from 2 x 2 blocks, and the coarse ordering of seeds by magnitude.
#include "detector/level_lines.hpp"

#include <algorithm>
#include <cmath>

#include "pool/pool.hpp"
#include "sample/sample.hpp"

namespace vantrell::detector {

Buffer<Px> level_line_field(std::span<const double> image, std::size_t width,
                                 std::size_t height, float weak) {
    // gx^2 + gy^2 is within a few units in the last place of the squared
    // magnitude and hypot within one unit of the magnitude, so a sum of squares
    // below weak^2 (1 - 1e-9) means a magnitude below `weak`, whose single-
    // precision value is then at most `weak`. NaN sums fail the test. With
    // `weak` 0 nothing is skipped: a square may underflow to 0 although the
    // magnitude is not 0.
    const double weak_sq = static_cast<double>(weak) * static_cast<double>(weak) * (1.0 - 1e-9);
    Buffer<Px> field(width * height);
    pool::parallel_rows(height, [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) {
            Px* out = field.data() + y * width;
            std::fill(out, out + width, Px{0.0f, 0.0f, 0.0f});
            if (y + 1 == height) continue;  // the last row has no blocks
            const double* top = image.data() + y * width;
            const double* bottom = top + width;
            for (std::size_t x = 0; x + 1 < width; ++x) {
                const double a = top[x], b = top[x + 1];
                const double c = bottom[x], d = bottom[x + 1];
                const double gx = (((b + d) - a) - c) * 0.5;
                const double gy = (((c + d) - a) - b) * 0.5;
                if (weak_sq > 0.0 && gx * gx + gy * gy <= weak_sq) continue;
                const double magnitude = std::hypot(gx, gy);
                // A zero or NaN magnitude has no direction: the cell stays zero.
                if (magnitude > 0.0) {
                    out[x].norm = static_cast<float>(magnitude);
                    out[x].cos_angle = static_cast<float>(-gy / magnitude);
                    out[x].sin_angle = static_cast<float>(gx / magnitude);
                }
            }
        }
    });
    return field;
}

std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold) {
    std::vector<std::uint32_t> seeds;
    if (field.empty()) return seeds;
    float largest = 0.0f;
    for (const Px& p : field) {
        if (p.norm > largest) largest = p.norm;  // NaN never wins
    }
    if (!(largest > 0.0f)) return seeds;

    // A counting sort over the bins: one pass to count, one to place. Placing in
    // increasing index order keeps each bin row-major.
    auto bin_of = [largest](float norm) -> std::size_t {
        const float scaled = (norm / largest) * 1023.0f;
        return std::min<std::uint32_t>(saturating_cast<std::uint32_t>(scaled), N_BINS - 1);
    };
    std::vector<std::uint32_t> count(N_BINS, 0);
    std::size_t total = 0;
    for (const Px& p : field) {
        if (p.norm > threshold) {
            ++count[bin_of(p.norm)];
            ++total;
        }
    }
    // Bin 1023 comes first: start[b] is where bin b begins in the list.
    std::vector<std::uint32_t> start(N_BINS);
    std::uint32_t at = 0;
    for (std::size_t b = N_BINS; b-- > 0;) {
        start[b] = at;
        at += count[b];
    }
    seeds.resize(total);
    for (std::size_t i = 0; i < field.size(); ++i) {
        const float norm = field[i].norm;
        if (norm > threshold) seeds[start[bin_of(norm)]++] = static_cast<std::uint32_t>(i);
    }
    return seeds;
}

}  // namespace vantrell::detector
