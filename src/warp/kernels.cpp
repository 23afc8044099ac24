// The Lanczos-3 kernel and its weight table.
#include "warp/kernels.hpp"

#include <cmath>

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

const Lanczos3Table& lanczos3_weights() {
    static const Lanczos3Table table = lanczos3_table();
    return table;
}

}  // namespace vantrell::warp
