// Resampling through per-pixel coordinate maps.
#include "warp/remap.hpp"

#include <algorithm>
#include <optional>

#include "pool/pool.hpp"
#include "warp/kernels.hpp"
#include "warp/sample_run.hpp"

namespace vantrell::warp {

template <class T, int C>
std::optional<SizeMismatch> remap(std::span<const T> source, std::size_t w, std::size_t h,
                                  std::span<const float> map_x, std::span<const float> map_y,
                                  std::size_t out_w, std::size_t out_h, Filter filter,
                                  std::span<T> out) {
    SizeMismatch error;
    const std::size_t pixels = size_product(out_w, out_h);
    if (!size_matches(size_product(size_product(w, h), C), source.size(), &error) ||
        !size_matches(pixels, map_x.size(), &error) ||
        !size_matches(pixels, map_y.size(), &error) ||
        !size_matches(size_product(pixels, C), out.size(), &error)) {
        return error;
    }
    // Nothing to fill, or nothing to read: every position of an empty source
    // is outside, so the whole output is 0.
    if (w == 0 || h == 0) std::fill(out.begin(), out.end(), T(0));
    if (pixels == 0 || w == 0 || h == 0) return std::nullopt;

    const Lanczos3Table* weights = filter == Filter::Lanczos3 ? &lanczos3_weights() : nullptr;
    const SourceImage<T> image{source, w, h};

    pool::parallel_rows(out_h, [&](std::size_t begin, std::size_t end) {
        double xs[RUN_LENGTH];
        double ys[RUN_LENGTH];
        for (std::size_t y = begin; y < end; ++y) {
            for (std::size_t x = 0; x < out_w; x += RUN_LENGTH) {
                const std::size_t n = std::min(RUN_LENGTH, out_w - x);
                const std::size_t i = y * out_w + x;
                for (std::size_t k = 0; k < n; ++k) {
                    xs[k] = map_x[i + k];
                    ys[k] = map_y[i + k];
                }
                sample_run<T, C>(image, filter, weights, xs, ys, n, out.data() + i * C);
            }
        }
    });
    return std::nullopt;
}

#define VANTRELL_REMAP_INSTANCE(T, C)                                                         \
    template std::optional<SizeMismatch> remap<T, C>(                                         \
        std::span<const T>, std::size_t, std::size_t, std::span<const float>,                 \
        std::span<const float>, std::size_t, std::size_t, Filter, std::span<T>);
VANTRELL_FOR_EACH_LAYOUT(VANTRELL_REMAP_INSTANCE)
#undef VANTRELL_REMAP_INSTANCE

}  // namespace vantrell::warp
