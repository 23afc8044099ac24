// The Lanczos-3 kernel and its weight table.
#include "warp/kernels.hpp"

#include <atomic>
#include <cmath>
#include <memory>

namespace vantrell::warp {

double lanczos3(double d) {
    if (d == 0.0) return 1.0;
    if (std::fabs(d) >= 3.0) return 0.0;
    const double a = d * 3.141592653589793;
    const double b = a / 3.0;
    // At whole multiples of pi the sines are tiny but not zero; they are used
    // as they come.
    return (std::sin(a) / a) * (std::sin(b) / b);
}

Lanczos3Table lanczos3_table() {
    Lanczos3Table table(LANCZOS3_ENTRIES);
    for (std::size_t i = 0; i < LANCZOS3_ENTRIES; ++i) {
        const double t = static_cast<double>(i) * (1.0 / static_cast<double>(LANCZOS3_STEPS));
        // Distances t + 2, t + 1, t, t - 1, t - 2, t - 3 of the six taps.
        Lanczos3Weights raw;
        for (std::size_t k = 0; k < 6; ++k) raw[k] = lanczos3(t + (2.0 - static_cast<double>(k)));
        double sum = 0.0;
        for (std::size_t k = 0; k < 6; ++k) sum += raw[k];
        for (std::size_t k = 0; k < 6; ++k) table[i][k] = raw[k] / sum;
    }
    return table;
}

namespace {

// The shared table, installed by whichever call built it first; never freed.
constinit std::atomic<const Lanczos3Table*> shared_table{nullptr};

}  // namespace

const Lanczos3Table& lanczos3_weights() {
    // No lock and no one-time guard: a call that finds no table builds one and
    // installs it unless another call got there first, in which case it frees
    // its own and uses that one (both hold the same values). A fork while a
    // table is being built thus leaves nothing held in the child, which builds
    // its own.
    const Lanczos3Table* table = shared_table.load(std::memory_order_acquire);
    if (table != nullptr) return *table;
    auto made = std::make_unique<const Lanczos3Table>(lanczos3_table());
    if (shared_table.compare_exchange_strong(table, made.get(), std::memory_order_acq_rel,
                                             std::memory_order_acquire))
        return *made.release();
    return *table;
}

}  // namespace vantrell::warp
