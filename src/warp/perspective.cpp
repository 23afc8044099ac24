// Perspective warp through an inverse homography.
#include "warp/perspective.hpp"

#include <algorithm>
#include <optional>

#include "pool/pool.hpp"
#include "warp/kernels.hpp"
#include "warp/sample_run.hpp"

namespace vantrell::warp {
namespace {

// Output columns whose plane X a worker keeps for all of its rows (32 KiB of
// its stack).
constexpr std::size_t PLANE_COLUMNS = 4096;

// X = x / scale + off_x for columns x_begin .. x_begin + n - 1.
void plane_columns(double scale, double off_x, std::size_t x_begin, std::size_t n, double* X) {
    for (std::size_t i = 0; i < n; ++i) X[i] = static_cast<double>(x_begin + i) / scale + off_x;
}

}  // namespace

template <class T>
std::optional<SizeMismatch> warp_rgb(std::span<const T> source, std::size_t w, std::size_t h,
                                     std::size_t out_w, std::size_t out_h,
                                     const std::array<double, 9>& inverse, double scale,
                                     double off_x, double off_y, Filter filter,
                                     std::span<T> out) {
    SizeMismatch error;
    if (!size_matches(size_product(size_product(w, h), 3), source.size(), &error) ||
        !size_matches(size_product(size_product(out_w, out_h), 3), out.size(), &error)) {
        return error;
    }
    // Nothing to fill, or nothing to read: every position of an empty source
    // is outside, so the whole output is 0.
    if (w == 0 || h == 0) std::fill(out.begin(), out.end(), T(0));
    if (out_w == 0 || out_h == 0 || w == 0 || h == 0) return std::nullopt;

    const Lanczos3Table* weights = filter == Filter::Lanczos3 ? &lanczos3_weights() : nullptr;
    const SourceImage<T> image{source, w, h};
    const auto& H = inverse;

    pool::parallel_rows(out_h, [&](std::size_t begin, std::size_t end) {
        // The plane X of each output column is the same on every row; a piece
        // of rows works it out once when the row is narrow enough to keep.
        double columns[PLANE_COLUMNS];
        const bool keep = out_w <= PLANE_COLUMNS;
        if (keep) plane_columns(scale, off_x, 0, out_w, columns);
        for (std::size_t y = begin; y < end; ++y) {
            const double Y = static_cast<double>(y) / scale + off_y;
            // The row terms; each pixel adds its X term to them.
            const WarpRow row{H[0], H[3], H[6], H[1] * Y + H[2], H[4] * Y + H[5], H[7] * Y + H[8]};
            // The whole row at once, or a wide row in parts of PLANE_COLUMNS.
            for (std::size_t x = 0; x < out_w; x += PLANE_COLUMNS) {
                const std::size_t n = std::min(PLANE_COLUMNS, out_w - x);
                if (!keep) plane_columns(scale, off_x, x, n, columns);
                warp_run_rgb<T>(image, filter, weights, row, columns, n, out.data() + (y * out_w + x) * 3);
            }
        }
    });
    return std::nullopt;
}

template std::optional<SizeMismatch> warp_rgb<std::uint8_t>(
    std::span<const std::uint8_t>, std::size_t, std::size_t, std::size_t, std::size_t,
    const std::array<double, 9>&, double, double, double, Filter, std::span<std::uint8_t>);
template std::optional<SizeMismatch> warp_rgb<std::uint16_t>(
    std::span<const std::uint16_t>, std::size_t, std::size_t, std::size_t, std::size_t,
    const std::array<double, 9>&, double, double, double, Filter, std::span<std::uint16_t>);

}  // namespace vantrell::warp
