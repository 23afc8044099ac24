// Separable Gaussian smoothing at full resolution, then one smoothed sample per
// output pixel.
//
// Only the smoothed samples that the subsampling picks are ever read, so the row
// pass keeps just the sampled columns of each row and the column pass produces
// just the sampled rows: every kept value is summed exactly as in the full
// smoothing (same weights, same order, same start at 0.0), the others are never
// formed. Both passes run per piece of output rows, so the row-smoothed image
// never exists as a whole.
#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pool/pool.hpp"
#include "pool/scratch.hpp"
#include "sample/cpu.hpp"
#include "sample/sample.hpp"

namespace vantrell::detector {
namespace {

std::uint64_t output_side(std::size_t side, double scale) {
    std::uint32_t n = saturating_cast<std::uint32_t>(std::floor(scale * static_cast<double>(side)));
    return std::max<std::uint64_t>(2, n);
}

// Input index min(side - 1, trunc(i / scale)) for every output index i.
std::vector<std::size_t> source_indices(std::size_t out_side, std::size_t side, double scale) {
    std::vector<std::size_t> table(out_side);
    for (std::size_t i = 0; i < out_side; ++i) {
        std::uint64_t s = saturating_cast<std::uint64_t>(static_cast<double>(i) / scale);
        table[i] = static_cast<std::size_t>(std::min<std::uint64_t>(side - 1, s));
    }
    return table;
}

// acc[x] += k x src[x] for every x < n: one multiply and one add per element,
// each rounded, so every vector width gives the same bits.
__attribute__((always_inline)) inline void add_scaled_loop(double* __restrict acc,
                                                           const double* __restrict src, double k,
                                                           std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) acc[x] += k * src[x];
}

__attribute__((target("avx512f"))) void add_scaled_avx512(double* __restrict acc,
                                                          const double* __restrict src, double k,
                                                          std::size_t n) {
    add_scaled_loop(acc, src, k, n);
}

__attribute__((target("avx2"))) void add_scaled_avx2(double* __restrict acc,
                                                     const double* __restrict src, double k,
                                                     std::size_t n) {
    add_scaled_loop(acc, src, k, n);
}

void add_scaled_plain(double* __restrict acc, const double* __restrict src, double k,
                      std::size_t n) {
    add_scaled_loop(acc, src, k, n);
}

// The widest vector unit of this processor.
void add_scaled(double* __restrict acc, const double* __restrict src, double k, std::size_t n) {
    if (cpu_has_avx512f())
        add_scaled_avx512(acc, src, k, n);
    else if (cpu_has_avx2())
        add_scaled_avx2(acc, src, k, n);
    else
        add_scaled_plain(acc, src, k, n);
}

}  // namespace

ImageSize downscaled_size(std::size_t width, std::size_t height, double scale) {
    return ImageSize{output_side(width, scale), output_side(height, scale)};
}

std::vector<double> gaussian_kernel(double scale) {
    const double sigma = SIGMA_SCALE / scale;
    const std::uint32_t r = saturating_cast<std::uint32_t>(std::ceil(sigma * KERNEL_RADIUS_FACTOR));
    // 2r + 1 weights must be countable in 32 bits.
    if (r > (UINT32_MAX - 1) / 2) return {};
    const std::size_t taps = 2 * static_cast<std::size_t>(r) + 1;
    std::vector<double> k(taps);
    const double rd = static_cast<double>(r);
    for (std::size_t i = 0; i < taps; ++i) {
        const double t = (static_cast<double>(i) - rd) / sigma;
        k[i] = std::exp(-0.5 * (t * t));
    }
    double sum = -0.0;
    for (double v : k) sum += v;
    for (double& v : k) v /= sum;
    return k;
}

template <class T>
Downscaled downscale(std::span<const T> image, std::size_t width, std::size_t height, double scale,
                     std::span<const double> kernel) {
    const ImageSize size = downscaled_size(width, height, scale);
    const std::size_t out_w = static_cast<std::size_t>(size.width);
    const std::size_t out_h = static_cast<std::size_t>(size.height);
    const std::size_t taps = kernel.size();
    const std::size_t r = (taps - 1) / 2;
    const std::vector<std::size_t> cols = source_indices(out_w, width, scale);
    const std::vector<std::size_t> rows = source_indices(out_h, height, scale);

    // Each piece of output rows runs both passes itself: the rows of the row
    // pass that its output rows need are made in increasing order into a ring
    // of 2r + 1 rows (input row q in slot q mod (2r + 1)), and each output row
    // then adds whole ring rows. A piece may redo up to 2r rows that the piece
    // before it made too; nothing else is shared between pieces.
    Downscaled result;
    result.width = out_w;
    result.height = out_h;
    result.image = Buffer<double>(out_w * out_h);
    const std::int64_t last_row = static_cast<std::int64_t>(height) - 1;
    const std::int64_t radius = static_cast<std::int64_t>(r);
    // Per body: the input row with r replicated samples on either side, so
    // that the whole row is one contiguous multiply-add loop per weight, the
    // row being smoothed, and the ring.
    struct Scratch {
        std::vector<double> padded, acc, ring;
    };
    pool::ScratchSets scratch(out_h, [&] {
        return Scratch{std::vector<double>(width + 2 * r), std::vector<double>(width),
                       std::vector<double>(taps * out_w)};
    });
    pool::parallel_rows(out_h, [&](std::size_t begin, std::size_t end) {
        auto lease = scratch.borrow();
        std::vector<double>& padded = lease->padded;
        std::vector<double>& acc = lease->acc;
        std::vector<double>& ring = lease->ring;
        auto row_pass = [&](std::int64_t q) {
            const T* src = image.data() + static_cast<std::size_t>(q) * width;
            const double first = working_value(src[0]);
            const double last = working_value(src[width - 1]);
            double* __restrict p = padded.data();
            for (std::size_t j = 0; j < r; ++j) p[j] = first;
            for (std::size_t x = 0; x < width; ++x) p[r + x] = working_value(src[x]);
            for (std::size_t j = 0; j < r; ++j) p[r + width + j] = last;

            double* __restrict a = acc.data();
            std::fill(acc.begin(), acc.end(), 0.0);
            for (std::size_t i = 0; i < taps; ++i) add_scaled(a, p + i, kernel[i], width);
            double* out = ring.data() + static_cast<std::size_t>(q) % taps * out_w;
            for (std::size_t x = 0; x < out_w; ++x) out[x] = a[cols[x]];
        };

        std::int64_t made_to = -1;  // the ring holds the rows made last, up to this one
        for (std::size_t y = begin; y < end; ++y) {
            const std::int64_t centre = static_cast<std::int64_t>(rows[y]);
            const std::int64_t lo = std::max<std::int64_t>(0, centre - radius);
            const std::int64_t hi = std::min(last_row, centre + radius);
            for (std::int64_t q = std::max(lo, made_to + 1); q <= hi; ++q) row_pass(q);
            made_to = std::max(made_to, hi);

            double* __restrict out = result.image.data() + y * out_w;
            std::fill(out, out + out_w, 0.0);
            for (std::size_t i = 0; i < taps; ++i) {
                const std::int64_t q =
                    std::clamp<std::int64_t>(centre + static_cast<std::int64_t>(i) - radius, 0, last_row);
                const double* s = ring.data() + static_cast<std::size_t>(q) % taps * out_w;
                add_scaled(out, s, kernel[i], out_w);
            }
        }
    });
    return result;
}

template Downscaled downscale(std::span<const std::uint8_t>, std::size_t, std::size_t, double,
                              std::span<const double>);
template Downscaled downscale(std::span<const std::uint16_t>, std::size_t, std::size_t, double,
                              std::span<const double>);
template Downscaled downscale(std::span<const float>, std::size_t, std::size_t, double,
                              std::span<const double>);
template Downscaled downscale(std::span<const double>, std::size_t, std::size_t, double,
                              std::span<const double>);

}  // namespace vantrell::detector
