// Counting the aligned pixels of a rectangle and scoring the count.
#include "detector/nfa.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "sample/sample.hpp"

namespace vantrell::detector {
namespace {

// The rectangle's centre, half extents and clamped bounding box.
struct Frame {
    double half_len, half_w, mx, my;
    std::uint32_t row0, row1, col0, col1;
    bool empty;
};

Frame frame_of(const Rect& rect, std::uint32_t width, std::uint32_t height) {
    Frame f;
    f.half_len = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1) * 0.5;
    f.half_w = rect.width * 0.5;
    f.mx = (rect.x1 + rect.x2) * 0.5;
    f.my = (rect.y1 + rect.y2) * 0.5;
    const double adx = std::fabs(rect.dx), ady = std::fabs(rect.dy);
    const double ex = f.half_w * ady + f.half_len * adx;
    const double ey = f.half_len * ady + f.half_w * adx;
    // Negative and NaN first indices become 0; last indices saturate, then are
    // lowered onto the image.
    f.row0 = saturating_cast<std::uint32_t>(std::floor(f.my - ey));
    f.col0 = saturating_cast<std::uint32_t>(std::floor(f.mx - ex));
    f.row1 = std::min(saturating_cast<std::uint32_t>(std::ceil(f.my + ey)), height - 1);
    f.col1 = std::min(saturating_cast<std::uint32_t>(std::ceil(f.mx + ex)), width - 1);
    f.empty = f.row0 > f.row1 || f.col0 > f.col1;
    return f;
}

// Smallest x in [lo, end) for which `pred` holds, `end` if none; `pred` must be
// false then true along x. Gallops from `guess` and then bisects, so a guess near
// the answer costs a few evaluations.
template <class Pred>
std::int64_t first_true(std::int64_t lo, std::int64_t end, std::int64_t guess, Pred pred) {
    guess = std::clamp(guess, lo, end);
    std::int64_t a, b;  // the answer lies in [a, b]
    if (guess == end || pred(guess)) {
        b = guess;
        a = lo;
        for (std::int64_t step = 1;; step *= 2) {
            const std::int64_t t = b - step;
            if (t < lo) break;
            if (!pred(t)) {
                a = t + 1;
                break;
            }
            b = t;
        }
    } else {
        a = guess + 1;
        b = end;
        for (std::int64_t step = 1;; step *= 2) {
            const std::int64_t t = guess + step;
            if (t >= end) break;
            if (pred(t)) {
                b = t;
                break;
            }
            a = t + 1;
        }
    }
    while (a < b) {
        const std::int64_t m = a + (b - a) / 2;
        if (pred(m)) {
            b = m;
        } else {
            a = m + 1;
        }
    }
    return a;
}

std::int64_t guess_column(double x) {
    return saturating_cast<std::int64_t>(std::floor(x));
}

// n, and k for each of the N tolerances whose cosines (in 32 bits) are `c`.
template <std::size_t N>
void count_in_rect(const Rect& rect, std::span<const Px> field, std::uint32_t width,
                   std::uint32_t height, float threshold, const std::array<float, N>& c,
                   std::uint32_t& n, std::array<std::uint32_t, N>& k) {
    n = 0;
    k.fill(0);
    const Frame f = frame_of(rect, width, height);
    if (f.empty) return;
    const double dx = rect.dx, dy = rect.dy;
    const double hl = f.half_len, hw = f.half_w, mx = f.mx, my = f.my;
    const float dx32 = static_cast<float>(dx);
    const float dy32 = static_cast<float>(dy);

    auto count_run = [&](const Px* cells, std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t x = from; x <= to; ++x) {
            const Px& cell = cells[x];
            if (!(cell.norm > threshold)) continue;
            const float dot = cell.cos_angle * dx32 + cell.sin_angle * dy32;
            for (std::size_t j = 0; j < N; ++j) k[j] += static_cast<std::uint32_t>(c[j] <= dot);
        }
        n += to - from + 1;
    };

    // along(x) = dy (y - my) + dx (x - mx) and across(x) = dx (y - my) - dy (x - mx):
    // with finite operands each is monotone in x (rounding is monotone), so the
    // pixels of a row that pass both tests form one run, found by searching for
    // its ends with the very same expressions. Otherwise every pixel is tested.
    const bool finite = std::isfinite(hl) && std::isfinite(hw) && std::isfinite(mx) &&
                        std::isfinite(my) && std::isfinite(dx) && std::isfinite(dy);
    const bool search = finite && f.col1 - f.col0 >= 8;

    for (std::uint32_t y = f.row0; y <= f.row1; ++y) {
        const double t = static_cast<double>(y) - my;
        const double a = dy * t;  // row part of along
        const double b = dx * t;  // row part of across
        const Px* cells = field.data() + static_cast<std::size_t>(y) * width;
        if (!search) {
            std::uint32_t run_start = 0;
            bool in_run = false;
            for (std::uint32_t x = f.col0;; ++x) {
                const double s = static_cast<double>(x) - mx;
                const double along = a + dx * s;
                const double across = b - dy * s;
                const bool inside = !(std::fabs(along) > hl) && !(std::fabs(across) > hw);
                if (inside && !in_run) run_start = x;
                if (!inside && in_run) count_run(cells, run_start, x - 1);
                in_run = inside;
                if (x == f.col1) break;
            }
            if (in_run) count_run(cells, run_start, f.col1);
            continue;
        }

        auto along = [&](std::int64_t x) { return a + dx * (static_cast<double>(x) - mx); };
        auto across = [&](std::int64_t x) { return b - dy * (static_cast<double>(x) - mx); };
        const std::int64_t lo = f.col0, end = static_cast<std::int64_t>(f.col1) + 1;
        std::int64_t start_l, stop_l, start_w, stop_w;  // runs [start, stop)
        if (dx >= 0.0) {  // along grows with x (or is constant)
            start_l = first_true(lo, end, guess_column(mx + (-hl - a) / dx),
                                 [&](std::int64_t x) { return along(x) >= -hl; });
            stop_l = first_true(lo, end, guess_column(mx + (hl - a) / dx),
                                [&](std::int64_t x) { return along(x) > hl; });
        } else {
            start_l = first_true(lo, end, guess_column(mx + (hl - a) / dx),
                                 [&](std::int64_t x) { return along(x) <= hl; });
            stop_l = first_true(lo, end, guess_column(mx + (-hl - a) / dx),
                                [&](std::int64_t x) { return along(x) < -hl; });
        }
        if (dy <= 0.0) {  // across grows with x (or is constant)
            start_w = first_true(lo, end, guess_column(mx + (b + hw) / dy),
                                 [&](std::int64_t x) { return across(x) >= -hw; });
            stop_w = first_true(lo, end, guess_column(mx + (b - hw) / dy),
                                [&](std::int64_t x) { return across(x) > hw; });
        } else {
            start_w = first_true(lo, end, guess_column(mx + (b - hw) / dy),
                                 [&](std::int64_t x) { return across(x) <= hw; });
            stop_w = first_true(lo, end, guess_column(mx + (b + hw) / dy),
                                [&](std::int64_t x) { return across(x) < -hw; });
        }
        const std::int64_t from = std::max(start_l, start_w);
        const std::int64_t to = std::min(stop_l, stop_w);
        if (from < to) {
            count_run(cells, static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to - 1));
        }
    }
}

}  // namespace

AlignedCount count_aligned(const Rect& rect, std::span<const Px> field, std::uint32_t width,
                           std::uint32_t height, float threshold) {
    const std::array<float, 1> c = {static_cast<float>(std::cos(rect.prec))};
    std::array<std::uint32_t, 1> k;
    std::uint32_t n;
    count_in_rect(rect, field, width, height, threshold, c, n, k);
    return AlignedCount{n, k[0]};
}

AlignedCounts count_aligned_at(const Rect& rect, std::span<const Px> field, std::uint32_t width,
                               std::uint32_t height, float threshold,
                               const std::array<double, PRECISION_STEPS>& precs) {
    std::array<float, PRECISION_STEPS> c;
    for (std::size_t j = 0; j < PRECISION_STEPS; ++j) c[j] = static_cast<float>(std::cos(precs[j]));
    AlignedCounts counts;
    count_in_rect(rect, field, width, height, threshold, c, counts.n, counts.k);
    return counts;
}

double log_nfa(std::uint32_t n_count, std::uint32_t k_count, double p, double log_nt) {
    if (k_count == 0 || n_count == 0) return -log_nt;
    const double n = static_cast<double>(n_count);
    const double k = static_cast<double>(k_count);
    if (k_count == n_count) return -log_nt - n * std::log10(p);

    const double log_term = log_gamma(n + 1.0) - log_gamma(k + 1.0) - log_gamma(n - k + 1.0) +
                            k * std::log(p) + (n - k) * std::log(1.0 - p);
    double term = std::exp(log_term);
    if (term == 0.0) {
        // The binomial term underflows: only the order of magnitude is left.
        if (n * p < k) return -log_term / 2.302585092994046 - log_nt;
        return -log_nt;
    }

    // Tail of the binomial from k on. Once the terms shrink (b < 1) the rest is
    // bounded by a geometric series; stop when that bound is small next to the
    // value being computed.
    double tail = term;
    const double ratio = p / (1.0 - p);
    for (std::uint32_t j = k_count + 1; j <= n_count; ++j) {
        const double i = static_cast<double>(j);
        const double b = (n - i + 1.0) / i;
        const double m = b * ratio;
        term = term * m;
        tail = tail + term;
        if (b < 1.0) {
            if (j == n_count) break;
            // m^(n - i + 1) by squaring.
            double power = 1.0, base = m;
            for (std::uint32_t e = n_count - j + 1;;) {
                if (e & 1u) power *= base;
                e >>= 1;
                if (e == 0) break;
                base *= base;
            }
            const double err = term * ((1.0 - power) / (1.0 - m) - 1.0);
            if (err < tail * (std::fabs(-std::log10(tail) - log_nt) * 0.1)) break;
        }
    }
    return -std::log10(tail) - log_nt;
}

double rect_log_nfa(const Rect& rect, std::span<const Px> field, std::uint32_t width,
                    std::uint32_t height, float threshold, double log_nt) {
    const AlignedCount count = count_aligned(rect, field, width, height, threshold);
    return log_nfa(count.n, count.k, rect.p, log_nt);
}

double log_gamma(double x) {
    if (x >= 15.0) {
        // Windschitl's formula.
        const double x2 = x * x;
        const double x6 = x2 * (x2 * x2);
        return 0.918938533204673 + (x - 0.5) * std::log(x) - x +
               (x * 0.5) * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * x6));
    }
    // Lanczos' series.
    const double a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5) - std::log(x) - std::log(x + 1.0) -
                     std::log(x + 2.0) - std::log(x + 3.0) - std::log(x + 4.0) -
                     std::log(x + 5.0) - std::log(x + 6.0);
    const double x2 = x * x;
    const double x3 = x * x2;
    const double x4 = x2 * x2;
    const double x5 = x * x4;
    const double x6 = x2 * x4;
    const double s = 75122.633153 + 80916.6278952 * x + 36308.2951477 * x2 + 8687.24529705 * x3 +
                     1168.92649479 * x4 + 83.8676043424 * x5 + 2.50662827511 * x6;
    return std::log(s) + a;
}

}  // namespace vantrell::detector
