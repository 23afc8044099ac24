#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "detector/nfa.hpp"
#include "fields.hpp"
#include "sample/sample.hpp"

namespace vantrell::detector {
namespace {

using testing::cell_at;
using testing::Field;

constexpr float THRESHOLD = 5.22625207901001f;
constexpr double PREC = 0.39269908169872414;

Rect make_rect(double x1, double y1, double x2, double y2, double width, double p = 0.125) {
    const double len = std::hypot(x2 - x1, y2 - y1);
    return Rect{x1, y1, x2, y2, width, (x2 - x1) / len, (y2 - y1) / len, p * std::numbers::pi, p};
}

TEST(LogGamma, VanishesAtOneAndTwo) {
    EXPECT_NEAR(log_gamma(1.0), 0.0, 1e-9);
    EXPECT_NEAR(log_gamma(2.0), 0.0, 1e-9);
}

class LogGammaValue : public ::testing::TestWithParam<double> {};

TEST_P(LogGammaValue, AgreesWithTheLibraryGammaOnBothSidesOf15) {
    const double x = GetParam();
    EXPECT_NEAR(log_gamma(x), std::lgamma(x), 1e-9 * std::max(1.0, std::fabs(std::lgamma(x))));
}

INSTANTIATE_TEST_SUITE_P(Points, LogGammaValue,
                         ::testing::Values(0.5, 1.5, 3.0, 7.25, 11.0, 14.999999, 15.0, 15.5, 40.0,
                                           1001.0, 123457.0));

TEST(LogGamma, FifteenTakesWindschitlsFormula) {
    // ln Gamma(x) ~ ln(2 pi) / 2 + (x - 1/2) ln x - x + (x / 2) ln(x sinh(1/x) + 1 / (810 x^6)).
    const double x = 15.0;
    const double windschitl = 0.918938533204673 + (x - 0.5) * std::log(x) - x +
                              (x * 0.5) * std::log(x * std::sinh(1 / x) + 1 / (810 * std::pow(x, 6)));
    EXPECT_NEAR(log_gamma(x), windschitl, 1e-14);
}

TEST(LogNfa, AllAlignedIsMinusLogNtPlusNTimesLog8) {
    // -3 - 10 log10(1/8) = -3 + 9.030899869919435.
    EXPECT_DOUBLE_EQ(log_nfa(10, 10, 0.125, 3.0), -3.0 + 10 * 0.9030899869919435);
    EXPECT_NEAR(log_nfa(10, 10, 0.125, 3.0), 6.0309, 5e-5);
}

TEST(LogNfa, TailStopsAfterItsFirstAddedTerm) {
    // n = 10, k = 5: the bound on the rest is small after i = 6, so the tail is
    // C(10,5) p^5 q^5 + C(10,6) p^6 q^4 (2.3552), not the complete tail (2.3512).
    const double p = 0.125, q = 0.875;
    const double two_terms = 252 * std::pow(p, 5) * std::pow(q, 5) + 210 * std::pow(p, 6) * std::pow(q, 4);
    double complete = 0.0;
    const double binom[] = {252, 210, 120, 45, 10, 1};
    for (int i = 5; i <= 10; ++i) complete += binom[i - 5] * std::pow(p, i) * std::pow(q, 10 - i);
    const double value = log_nfa(10, 5, p, 0.0);
    EXPECT_NEAR(value, -std::log10(two_terms), 1e-9);
    EXPECT_NEAR(value, 2.3552, 5e-5);
    EXPECT_GT(std::fabs(value + std::log10(complete)), 3e-3);
}

TEST(LogNfa, NothingCountedOrNothingAlignedIsMinusLogNt) {
    EXPECT_EQ(log_nfa(0, 0, 0.125, 7.5), -7.5);
    EXPECT_EQ(log_nfa(25, 0, 0.125, 7.5), -7.5);
}

TEST(LogNfa, UnderflowingTermFallsBackOnItsLogarithm) {
    // With n = 100000 the binomial term underflows. Far above the expected count
    // n p the value is -ln(term) / ln 10 - log_nt; below it, -log_nt.
    const double n = 100000, k = 50000, p = 0.125;
    const double log_term = std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1) +
                            k * std::log(p) + (n - k) * std::log(1 - p);
    ASSERT_EQ(std::exp(log_term), 0.0);
    EXPECT_NEAR(log_nfa(100000, 50000, p, 12.0), -log_term / std::log(10.0) - 12.0,
                1e-9 * std::fabs(log_term));
    EXPECT_EQ(log_nfa(100000, 1, p, 12.0), -12.0);
}

class LogNfaTail : public ::testing::TestWithParam<int> {};

TEST_P(LogNfaTail, NeverBelowTheCompleteTailAndWithinItsStoppingBound) {
    // Stopping early drops positive terms, so the value is at least that of the
    // complete tail, and the dropped part is below a tenth of the value's
    // magnitude relative to the tail.
    const int n = 60, k = GetParam();
    const double p = 0.125;
    long double tail = 0;
    for (int i = k; i <= n; ++i)
        tail += std::exp(std::lgamma(n + 1.0L) - std::lgamma(i + 1.0L) - std::lgamma(n - i + 1.0L) +
                         i * std::log(static_cast<long double>(p)) +
                         (n - i) * std::log(1.0L - static_cast<long double>(p)));
    const double exact = -std::log10(static_cast<double>(tail)) - 2.0;
    const double value = log_nfa(n, k, p, 2.0);
    EXPECT_GE(value, exact - 1e-8);
    EXPECT_LE(value, exact + std::log10(1 + 0.1 * std::fabs(value)) + 1e-8);
}

INSTANTIATE_TEST_SUITE_P(Counts, LogNfaTail, ::testing::Values(1, 5, 8, 12, 20, 31, 45, 59));

// The pixel count as written out: every pixel of the clamped bounding box,
// tested one by one.
AlignedCount reference_count(const Rect& r, const std::vector<Px>& field, std::uint32_t w,
                             std::uint32_t h) {
    const double hl = std::hypot(r.x2 - r.x1, r.y2 - r.y1) * 0.5, hw = r.width * 0.5;
    const double mx = (r.x1 + r.x2) * 0.5, my = (r.y1 + r.y2) * 0.5;
    const double ex = hw * std::fabs(r.dy) + hl * std::fabs(r.dx);
    const double ey = hl * std::fabs(r.dy) + hw * std::fabs(r.dx);
    const double row0 = std::max(0.0, std::floor(my - ey)), col0 = std::max(0.0, std::floor(mx - ex));
    const double row1 = std::min<double>(h - 1, std::ceil(my + ey));
    const double col1 = std::min<double>(w - 1, std::ceil(mx + ex));
    const float c = static_cast<float>(std::cos(r.prec));
    const float dx32 = static_cast<float>(r.dx), dy32 = static_cast<float>(r.dy);
    AlignedCount n{0, 0};
    for (double y = row0; y <= row1; ++y)
        for (double x = col0; x <= col1; ++x) {
            const double along = r.dy * (y - my) + r.dx * (x - mx);
            const double across = r.dx * (y - my) - r.dy * (x - mx);
            if (std::fabs(along) > hl || std::fabs(across) > hw) continue;
            ++n.n;
            const Px& p = field[saturating_cast<std::size_t>(y * w + x)];
            if (p.norm > THRESHOLD && c <= p.cos_angle * dx32 + p.sin_angle * dy32) ++n.k;
        }
    return n;
}

TEST(CountAligned, MatchesThePixelByPixelTestOnRandomRectangles) {
    const std::uint32_t w = 120, h = 90;
    std::mt19937 rng(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Field f(w, h);
    for (Px& p : f.cells) p = cell_at(unit(rng) * 2 * std::numbers::pi, static_cast<float>(unit(rng) * 20));
    for (int trial = 0; trial < 3000; ++trial) {
        Rect r;
        // Angles include the axis directions and their cos/sin round-off; end
        // points and widths are often on the pixel grid, so edges pass through
        // pixel centres.
        const double angles[] = {0.0, std::numbers::pi / 2, std::numbers::pi, -std::numbers::pi / 2,
                                 std::numbers::pi / 4, unit(rng) * 2 * std::numbers::pi};
        const double theta = angles[trial % 6];
        const bool grid = trial % 3 != 0;
        const double cx = grid ? std::floor(unit(rng) * 140 - 10) : unit(rng) * 140 - 10;
        const double cy = grid ? std::floor(unit(rng) * 110 - 10) : unit(rng) * 110 - 10;
        const double len = grid ? std::floor(unit(rng) * 80) : unit(rng) * 80;
        r.dx = std::cos(theta);
        r.dy = std::sin(theta);
        r.x1 = cx - r.dx * len * 0.5;
        r.y1 = cy - r.dy * len * 0.5;
        r.x2 = cx + r.dx * len * 0.5;
        r.y2 = cy + r.dy * len * 0.5;
        r.width = grid ? 0.5 * std::floor(unit(rng) * 12) : unit(rng) * 8;
        r.p = 0.125;
        r.prec = PREC;
        const AlignedCount want = reference_count(r, f.cells, w, h);
        const AlignedCount got = count_aligned(r, f.cells, w, h, THRESHOLD);
        ASSERT_EQ(got.n, want.n) << "trial " << trial;
        ASSERT_EQ(got.k, want.k) << "trial " << trial;
        // Several tolerances counted in one pass agree with one pass each.
        std::array<double, PRECISION_STEPS> precs;
        for (std::size_t j = 0; j < PRECISION_STEPS; ++j) precs[j] = unit(rng) * 0.8;
        const AlignedCounts all = count_aligned_at(r, f.cells, w, h, THRESHOLD, precs);
        for (std::size_t j = 0; j < PRECISION_STEPS; ++j) {
            Rect at = r;
            at.prec = precs[j];
            const AlignedCount one = reference_count(at, f.cells, w, h);
            ASSERT_EQ(all.n, one.n);
            ASSERT_EQ(all.k[j], one.k) << "trial " << trial << " tolerance " << j;
        }
    }
}

TEST(CountAligned, CentresOnTheEdgesAreCounted) {
    // From (1, 2) to (5, 2), width 2: rows 1 and 3 lie on the long edges and
    // columns 1 and 5 on the short ones, all inside: 5 x 3 pixels.
    Field f(8, 6);
    const Rect r = make_rect(1, 2, 5, 2, 2.0);
    EXPECT_EQ(count_aligned(r, f.cells, 8, 6, THRESHOLD).n, 15u);
    EXPECT_EQ(rect_log_nfa(r, f.cells, 8, 6, THRESHOLD, 4.0), -4.0);  // nothing aligned
}

TEST(CountAligned, RectanglesWithoutPixelCentresCountNothing) {
    Field f(8, 6);
    for (Px& p : f.cells) p = cell_at(0.0);
    const Rect between = make_rect(0.2, 0.5, 0.8, 0.5, 0.2);
    const Rect outside = make_rect(-10, -5, -4, -5, 2.0);
    const Rect beyond = make_rect(20, 3, 30, 3, 2.0);
    for (const Rect& r : {between, outside, beyond}) {
        EXPECT_EQ(count_aligned(r, f.cells, 8, 6, THRESHOLD).n, 0u);
        EXPECT_EQ(rect_log_nfa(r, f.cells, 8, 6, THRESHOLD, 2.5), -2.5);
    }
}

TEST(CountAligned, AlignmentNeedsNormAboveThresholdAndTheSameSense) {
    // Along row 1 from (0, 1) to (7, 1): eight pixels, pointing along +x, -x,
    // +x at the threshold, +x, 20 deg (within pi / 8), 30 deg (not), and two
    // whose dot product with +x is exactly the tolerance's 32-bit cosine c
    // (aligned: the bound is inclusive) or one unit in the last place below
    // it (not).
    Field f(8, 3);
    f.at(0, 1) = cell_at(0.0);
    f.at(1, 1) = cell_at(std::numbers::pi);
    f.at(2, 1) = cell_at(0.0, THRESHOLD);
    f.at(3, 1) = cell_at(0.0);
    f.at(4, 1) = cell_at(20 * std::numbers::pi / 180);
    f.at(5, 1) = cell_at(30 * std::numbers::pi / 180);
    const float c = static_cast<float>(std::cos(0.125 * std::numbers::pi));
    const float s = std::sqrt(1.0f - c * c);
    f.at(6, 1) = Px{100.0f, c, s};
    f.at(7, 1) = Px{100.0f, std::nextafter(c, 0.0f), s};
    const Rect r = make_rect(0, 1, 7, 1, 1.0);
    ASSERT_EQ(r.dx, 1.0);
    ASSERT_EQ(r.dy, 0.0);
    const AlignedCount counted = count_aligned(r, f.cells, 8, 3, THRESHOLD);
    EXPECT_EQ(counted.n, 8u);
    EXPECT_EQ(counted.k, 4u);
    EXPECT_EQ(rect_log_nfa(r, f.cells, 8, 3, THRESHOLD, 1.0), log_nfa(8, 4, 0.125, 1.0));
}

}  // namespace
}  // namespace vantrell::detector
