// The portable run samplers and the choice between them and the vector ones.
#include "warp/sample_run.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "sample/cpu.hpp"

namespace vantrell::warp {

template <class T, int C>
void sample_run_portable(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                         const double* xs, const double* ys, std::size_t n, T* out) {
    // A point sampler leaves an outside pixel as it finds it: clear it first.
    std::fill(out, out + n * C, T(0));
    if (filter == Filter::Lanczos3) {
        for (std::size_t i = 0; i < n; ++i)
            sample_lanczos3<T, C>(source.samples, source.w, source.h, xs[i], ys[i], *table,
                                  out + i * C);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            sample_bilinear<T, C>(source.samples, source.w, source.h, xs[i], ys[i], out + i * C);
    }
}

bool have_avx2() { return cpu_has_avx2(); }

bool have_avx512() { return cpu_has_avx512_vbmi(); }

bool avx2_fits(std::size_t w, std::size_t h) {
    // Floor indices, tap indices and the interior tests run in 32-bit lanes,
    // with room for the +3 of the last Lanczos tap.
    constexpr std::size_t limit = std::numeric_limits<std::int32_t>::max() / 2;
    return w < limit && h < limit;
}

template <class T, int C>
void sample_run(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                const double* xs, const double* ys, std::size_t n, T* out) {
    if (have_avx512() && avx2_fits(source.w, source.h))
        sample_run_avx512<T, C>(source, filter, table, xs, ys, n, out);
    else if (have_avx2() && avx2_fits(source.w, source.h))
        sample_run_avx2<T, C>(source, filter, table, xs, ys, n, out);
    else
        sample_run_portable<T, C>(source, filter, table, xs, ys, n, out);
}

void warp_positions_portable(const WarpRow& row, const double* X, std::size_t n, double* xs,
                             double* ys) {
    for (std::size_t i = 0; i < n; ++i) {
        const double den = row.aw + row.h6 * X[i];
        if (den == 0.0) {
            xs[i] = std::numeric_limits<double>::infinity();
            ys[i] = 0.0;
        } else {
            xs[i] = (row.ax + row.h0 * X[i]) / den;
            ys[i] = (row.ay + row.h3 * X[i]) / den;
        }
    }
}

void warp_positions(const WarpRow& row, const double* X, std::size_t n, double* xs, double* ys) {
    if (have_avx2())
        warp_positions_avx2(row, X, n, xs, ys);
    else
        warp_positions_portable(row, X, n, xs, ys);
}

template <class T>
void warp_run_rgb_portable(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table,
                           const WarpRow& row, const double* X, std::size_t n, T* out) {
    warp_in_runs(
        X, n, out,
        [&](const double* x, std::size_t count, double* xs, double* ys) {
            warp_positions_portable(row, x, count, xs, ys);
        },
        [&](const double* xs, const double* ys, std::size_t count, T* run) {
            sample_run_portable<T, 3>(source, filter, table, xs, ys, count, run);
        });
}

template <class T>
void warp_run_rgb(const SourceImage<T>& source, Filter filter, const Lanczos3Table* table, const WarpRow& row,
                  const double* X, std::size_t n, T* out) {
    if (have_avx512() && avx2_fits(source.w, source.h)) {
        warp_run_rgb_avx512<T>(source, filter, table, row, X, n, out);
        return;
    }
    warp_in_runs(
        X, n, out,
        [&](const double* x, std::size_t count, double* xs, double* ys) { warp_positions(row, x, count, xs, ys); },
        [&](const double* xs, const double* ys, std::size_t count, T* run) {
            sample_run<T, 3>(source, filter, table, xs, ys, count, run);
        });
}

#define VANTRELL_WARP_INSTANCES(T)                                                                         \
    template void warp_run_rgb<T>(const SourceImage<T>&, Filter, const Lanczos3Table*, const WarpRow&,      \
                                  const double*, std::size_t, T*);                                        \
    template void warp_run_rgb_portable<T>(const SourceImage<T>&, Filter, const Lanczos3Table*, const WarpRow&, \
                                           const double*, std::size_t, T*);
VANTRELL_WARP_INSTANCES(std::uint8_t)
VANTRELL_WARP_INSTANCES(std::uint16_t)
#undef VANTRELL_WARP_INSTANCES

#define VANTRELL_RUN_INSTANCES(T, C)                                                              \
    template void sample_run<T, C>(const SourceImage<T>&, Filter, const Lanczos3Table*,          \
                                   const double*, const double*, std::size_t, T*);               \
    template void sample_run_portable<T, C>(const SourceImage<T>&, Filter, const Lanczos3Table*, \
                                            const double*, const double*, std::size_t, T*);
VANTRELL_FOR_EACH_LAYOUT(VANTRELL_RUN_INSTANCES)
#undef VANTRELL_RUN_INSTANCES

}  // namespace vantrell::warp
