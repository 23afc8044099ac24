// Gradients from 2 x 2 blocks, and the coarse ordering of seeds by magnitude.
#include "detector/level_lines.hpp"

#include <algorithm>
#include <cmath>

#include "detector/downscale.hpp"
#include "detector/level_lines_rows.hpp"
#include "pool/pool.hpp"
#include "pool/scratch.hpp"
#include "sample/cpu.hpp"
#include "sample/sample.hpp"

namespace vantrell::detector {
namespace {

// The bin of a norm above the threshold: norm / largest x 1023 in single
// precision, truncated, at most N_BINS - 1.
std::size_t bin_of(float norm, float largest) {
    const float scaled = (norm / largest) * 1023.0f;
    return std::min<std::uint32_t>(saturating_cast<std::uint32_t>(scaled), N_BINS - 1);
}

// The cells of a run that are not used, in index order, with their bins.
struct StrongCells {
    Buffer<std::uint16_t> all_bins;  // of every cell of the run
    Buffer<std::uint32_t> cells;
    Buffer<std::uint16_t> bins;

    explicit StrongCells(std::size_t most) : all_bins(most), cells(most), bins(most) {}

    // Lists cells [from, to) (at most `most` of them) whose used flag is 0 and
    // returns how many there are.
    std::size_t list(const Px* field, const std::uint8_t* used, std::size_t from, std::size_t to,
                     float largest) {
        norm_bins(field + from, to - from, largest, all_bins.data());
        std::uint32_t* kept = cells.data();
        std::uint16_t* kept_bins = bins.data();
        std::size_t n = 0;
        for (std::size_t i = from; i < to; ++i) {  // without branches: most are hard to predict
            kept[n] = static_cast<std::uint32_t>(i);
            kept_bins[n] = all_bins[i - from];
            n += used[i] == 0 ? 1 : 0;
        }
        return n;
    }
};

}  // namespace

// gx^2 + gy^2 is within a few units in the last place of the squared magnitude
// and hypot within one unit of the magnitude, so a sum of squares below
// weak^2 (1 - 1e-9) means a magnitude below `weak`, whose single-precision
// value is then at most `weak`. NaN sums fail the test. With `weak` 0 nothing
// is skipped: a square may underflow to 0 although the magnitude is not 0.
double weak_square(float weak) {
    return static_cast<double>(weak) * static_cast<double>(weak) * (1.0 - 1e-9);
}

float field_cell(const double* top, const double* bottom, std::size_t x, double weak_sq, Px* out) {
    out[x] = Px{0.0f, 0.0f, 0.0f};
    const double a = top[x], b = top[x + 1];
    const double c = bottom[x], d = bottom[x + 1];
    const double gx = (((b + d) - a) - c) * 0.5;
    const double gy = (((c + d) - a) - b) * 0.5;
    if (weak_sq > 0.0 && gx * gx + gy * gy <= weak_sq) return 0.0f;
    const double magnitude = std::hypot(gx, gy);
    // A zero or NaN magnitude has no direction: the cell stays zero.
    if (!(magnitude > 0.0)) return 0.0f;
    const float norm = static_cast<float>(magnitude);
    out[x] = Px{norm, static_cast<float>(-gy / magnitude), static_cast<float>(gx / magnitude)};
    return norm;
}

float field_row_portable(const double* top, const double* bottom, std::size_t width, double weak_sq,
                         Px* out) {
    float largest = 0.0f;
    for (std::size_t x = 0; x + 1 < width; ++x) {
        const float norm = field_cell(top, bottom, x, weak_sq, out);
        if (norm > largest) largest = norm;
    }
    out[width - 1] = Px{0.0f, 0.0f, 0.0f};
    return largest;
}

bool have_avx2() { return cpu_has_avx2(); }

bool have_avx512() { return cpu_has_avx512f(); }

// The widest code of this processor.
float field_row(const double* top, const double* bottom, std::size_t width, double weak_sq, Px* out) {
    if (have_avx512()) return field_row_avx512(top, bottom, width, weak_sq, out);
    if (have_avx2()) return field_row_avx2(top, bottom, width, weak_sq, out);
    return field_row_portable(top, bottom, width, weak_sq, out);
}

void mark_used_portable(const Px* cells, std::size_t n, float threshold, std::uint8_t* used) {
    for (std::size_t i = 0; i < n; ++i) used[i] = cells[i].norm <= threshold ? 1 : 0;
}

void mark_used(const Px* cells, std::size_t n, float threshold, std::uint8_t* used) {
    if (have_avx2())
        mark_used_avx2(cells, n, threshold, used);
    else
        mark_used_portable(cells, n, threshold, used);
}

void norm_bins_portable(const Px* cells, std::size_t n, float largest, std::uint16_t* bins) {
    for (std::size_t i = 0; i < n; ++i) bins[i] = static_cast<std::uint16_t>(bin_of(cells[i].norm, largest));
}

void norm_bins(const Px* cells, std::size_t n, float largest, std::uint16_t* bins) {
    if (have_avx2())
        norm_bins_avx2(cells, n, largest, bins);
    else
        norm_bins_portable(cells, n, largest, bins);
}

Buffer<Px> level_line_field(std::span<const double> image, std::size_t width,
                                 std::size_t height, float weak) {
    const double weak_sq = weak_square(weak);
    Buffer<Px> field(width * height);
    pool::parallel_rows(height, [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) {
            Px* out = field.data() + y * width;
            if (y + 1 == height) {  // the last row has no blocks
                std::fill(out, out + width, Px{0.0f, 0.0f, 0.0f});
                continue;
            }
            const double* top = image.data() + y * width;
            field_row(top, top + width, width, weak_sq, out);
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
    std::vector<std::uint32_t> count(N_BINS, 0);
    std::size_t total = 0;
    for (const Px& p : field) {
        if (p.norm > threshold) {
            ++count[bin_of(p.norm, largest)];
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
        if (norm > threshold) seeds[start[bin_of(norm, largest)]++] = static_cast<std::uint32_t>(i);
    }
    return seeds;
}

template <class T>
LevelLines level_lines(std::span<const T> image, std::size_t width, std::size_t height,
                       float threshold) {
    const double weak_sq = weak_square(threshold);
    LevelLines out;
    out.field = Buffer<Px>(width * height);
    out.used = Buffer<std::uint8_t>(width * height);
    std::vector<float> row_largest(height, 0.0f);

    // The field, the used map and the largest norm of each row, per piece of
    // rows. Samples are widened as working_value does, each image row once per
    // piece (twice where pieces meet), into two rows of scratch made before
    // the loop.
    pool::ScratchSets widened_rows(height, [&] {
        return std::vector<double>(std::is_same_v<T, double> ? 0 : 2 * width);
    });
    pool::parallel_rows(height, [&](std::size_t begin, std::size_t end) {
        auto lease = widened_rows.borrow();
        std::vector<double>& rows = *lease;
        auto widened = [&](std::size_t y, std::size_t slot) -> const double* {
            const T* src = image.data() + y * width;
            if constexpr (std::is_same_v<T, double>) {
                (void)slot;
                return src;
            } else {
                double* dst = rows.data() + slot * width;
                for (std::size_t x = 0; x < width; ++x) dst[x] = working_value(src[x]);
                return dst;
            }
        };
        const double* top = begin + 1 < height ? widened(begin, 0) : nullptr;
        for (std::size_t y = begin; y < end; ++y) {
            Px* cells = out.field.data() + y * width;
            if (y + 1 == height) {
                std::fill(cells, cells + width, Px{0.0f, 0.0f, 0.0f});
            } else {
                const double* bottom = widened(y + 1, (y + 1 - begin) % 2);
                row_largest[y] = field_row(top, bottom, width, weak_sq, cells);
                top = bottom;
            }
            mark_used(cells, width, threshold, out.used.data() + y * width);
        }
    });

    float largest = 0.0f;
    for (float v : row_largest) largest = std::max(largest, v);
    if (!(largest > 0.0f)) return out;

    // The counting sort of seeds_by_norm over fixed groups of rows: each group
    // counts its own cells per bin, a group's cells of bin b go after those of
    // every bin above b and after those of bin b in earlier groups, and each
    // group then places its cells in index order. The groups do not depend on
    // the pool, and the list is the one seeds_by_norm makes. Both passes list
    // a group's strong cells and their bins in scratch made before them, one
    // set per body that can run at once, so that nothing of the size of the
    // image is allocated for them.
    const std::size_t group_rows = std::max<std::size_t>(16, (height + 63) / 64);
    const std::size_t groups = (height + group_rows - 1) / group_rows;
    std::vector<std::uint32_t> at(groups * N_BINS);
    pool::ScratchSets strong_cells(groups, [&] { return StrongCells(group_rows * width); });
    pool::parallel_rows(groups, [&](std::size_t begin, std::size_t end) {
        auto lease = strong_cells.borrow();
        StrongCells& strong = *lease;
        for (std::size_t g = begin; g < end; ++g) {
            std::uint32_t* count = at.data() + g * N_BINS;
            std::fill(count, count + N_BINS, 0u);
            const std::size_t from = g * group_rows * width;
            const std::size_t to = std::min(height, (g + 1) * group_rows) * width;
            const std::size_t n = strong.list(out.field.data(), out.used.data(), from, to, largest);
            for (std::size_t k = 0; k < n; ++k) ++count[strong.bins[k]];
        }
    });
    // Bin by bin from the top, group by group: bin_start[b] is where bin b
    // begins, and each group's bin b follows the earlier groups'. Both sums run
    // along a group's row of `at`; a walk down its columns would step N_BINS
    // entries at a time.
    std::vector<std::uint32_t> bin_start(N_BINS, 0);
    for (std::size_t g = 0; g < groups; ++g)
        for (std::size_t b = 0; b < N_BINS; ++b) bin_start[b] += at[g * N_BINS + b];
    std::uint32_t total = 0;
    for (std::size_t b = N_BINS; b-- > 0;) {
        const std::uint32_t n = bin_start[b];
        bin_start[b] = total;
        total += n;
    }
    for (std::size_t g = 0; g < groups; ++g) {
        std::uint32_t* next = at.data() + g * N_BINS;
        for (std::size_t b = 0; b < N_BINS; ++b) {
            const std::uint32_t n = next[b];
            next[b] = bin_start[b];
            bin_start[b] += n;
        }
    }
    out.seeds = Buffer<std::uint32_t>(total);
    pool::parallel_rows(groups, [&](std::size_t begin, std::size_t end) {
        auto lease = strong_cells.borrow();
        StrongCells& strong = *lease;
        for (std::size_t g = begin; g < end; ++g) {
            std::uint32_t* next = at.data() + g * N_BINS;
            const std::size_t from = g * group_rows * width;
            const std::size_t to = std::min(height, (g + 1) * group_rows) * width;
            const std::size_t n = strong.list(out.field.data(), out.used.data(), from, to, largest);
            std::uint32_t* seeds = out.seeds.data();
            for (std::size_t k = 0; k < n; ++k) seeds[next[strong.bins[k]]++] = strong.cells[k];
        }
    });
    return out;
}

template LevelLines level_lines(std::span<const std::uint8_t>, std::size_t, std::size_t, float);
template LevelLines level_lines(std::span<const std::uint16_t>, std::size_t, std::size_t, float);
template LevelLines level_lines(std::span<const float>, std::size_t, std::size_t, float);
template LevelLines level_lines(std::span<const double>, std::size_t, std::size_t, float);

}  // namespace vantrell::detector
