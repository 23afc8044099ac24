#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "detector/improve.hpp"
#include "detector/nfa.hpp"
#include "fields.hpp"

namespace vantrell::detector {
namespace {

using testing::cell_at;
using testing::Field;

constexpr float THRESHOLD = 5.22625207901001f;
constexpr double DEG = std::numbers::pi / 180.0;

Rect make_rect(double x1, double y1, double x2, double y2, double width) {
    const double len = std::hypot(x2 - x1, y2 - y1);
    return Rect{x1, y1, x2, y2, width, (x2 - x1) / len, (y2 - y1) / len, 0.39269908169872414, 0.125};
}

void expect_same_geometry(const Rect& a, const Rect& b) {
    EXPECT_EQ(a.x1, b.x1);
    EXPECT_EQ(a.y1, b.y1);
    EXPECT_EQ(a.x2, b.x2);
    EXPECT_EQ(a.y2, b.y2);
    EXPECT_EQ(a.dx, b.dx);
    EXPECT_EQ(a.dy, b.dy);
}

// A noisy field with a band of aligned level lines along row 20 and a weaker,
// looser one along the diagonal.
Field noisy_field() {
    Field f(64, 48);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (Px& p : f.cells) p = cell_at(unit(rng) * 2 * std::numbers::pi, static_cast<float>(unit(rng) * 30));
    for (std::uint32_t x = 8; x < 56; ++x) {
        f.at(x, 20) = cell_at((unit(rng) - 0.5) * 30 * DEG, 60.0f);
        if (unit(rng) < 0.5) f.at(x, 21) = cell_at((unit(rng) - 0.5) * 30 * DEG, 60.0f);
    }
    for (std::uint32_t k = 5; k < 40; ++k)
        if (unit(rng) < 0.4) f.at(k, k) = cell_at(45 * DEG + (unit(rng) - 0.5) * 40 * DEG, 40.0f);
    return f;
}

struct Candidate {
    Rect rect;
    double log_nt;
};

class ImproveRect : public ::testing::TestWithParam<Candidate> {};

TEST_P(ImproveRect, ReturnsTheScoreOfTheRectItLeaves) {
    const Field f = noisy_field();
    Rect rect = GetParam().rect;
    const double log_nt = GetParam().log_nt;
    const double before = rect_log_nfa(rect, f.cells, f.width, f.height, THRESHOLD, log_nt);
    const double value = improve_rect(rect, f.cells, f.width, f.height, THRESHOLD, log_nt);
    EXPECT_EQ(value, rect_log_nfa(rect, f.cells, f.width, f.height, THRESHOLD, log_nt));
    EXPECT_GE(value, before);
    EXPECT_GE(rect.width, 0.5);
    // p only ever halves, at most ten times, and prec follows it.
    const double halvings = std::log2(0.125 / rect.p);
    EXPECT_EQ(halvings, std::round(halvings));
    EXPECT_LE(halvings, 10.0);
    EXPECT_EQ(rect.prec, rect.p == 0.125 ? 0.39269908169872414 : rect.p * std::numbers::pi);
}

INSTANTIATE_TEST_SUITE_P(
    Rects, ImproveRect,
    ::testing::Values(Candidate{make_rect(8, 20, 55, 20, 1.0), 10.0},
                      Candidate{make_rect(8, 20.5, 55, 20.5, 3.0), 10.0},
                      Candidate{make_rect(8, 20.5, 55, 20.5, 4.5), 40.0},
                      Candidate{make_rect(55, 21, 8, 19, 6.0), 40.0},
                      Candidate{make_rect(5, 5, 39, 39, 2.0), 12.0},
                      Candidate{make_rect(5, 5, 39, 39, 5.0), 30.0},
                      Candidate{make_rect(10, 40, 50, 30, 3.0), 12.0},
                      Candidate{make_rect(30, 1, 31, 44, 2.5), 12.0}));

TEST(ImproveRect, MeaningfulRectIsReturnedUnchanged) {
    Field f(40, 12);
    for (std::uint32_t x = 2; x <= 30; ++x) f.at(x, 5) = cell_at(0.0);
    Rect rect = make_rect(2, 5, 30, 5, 1.0);
    const Rect given = rect;
    const double value = improve_rect(rect, f.cells, 40, 12, THRESHOLD, 5.0);
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(value, log_nfa(29, 29, 0.125, 5.0));
    expect_same_geometry(rect, given);
    EXPECT_EQ(rect.width, given.width);
    EXPECT_EQ(rect.p, given.p);
}

TEST(ImproveRect, EqualScoresAreNotTakenAndTheSecondPrecisionStageStartsFromTheFirst) {
    // Row 5, columns 2..30: three cells along +x, the rest across. Any width from
    // 0.5 to 1 and the trims keep exactly row 5, so they score the same and are
    // not taken; each halving of p keeps k = 3 and scores better, so p ends at
    // 0.125 / 2^10 with the value still below 0.
    Field f(40, 12);
    for (std::uint32_t x = 2; x <= 30; ++x) f.at(x, 5) = cell_at(90 * DEG);
    for (std::uint32_t x : {7u, 15u, 26u}) f.at(x, 5) = cell_at(0.0);
    Rect rect = make_rect(2, 5, 30, 5, 1.0);
    const Rect given = rect;
    const double value = improve_rect(rect, f.cells, 40, 12, THRESHOLD, 14.0);
    expect_same_geometry(rect, given);
    EXPECT_EQ(rect.width, 1.0);
    EXPECT_EQ(rect.p, 0.125 / 1024);
    EXPECT_EQ(value, log_nfa(29, 3, 0.125 / 1024, 14.0));
    EXPECT_LT(value, 0.0);
}

TEST(ImproveRect, UnitWidthIsTriedOnceAtHalfWidth) {
    // Centre line y = x + 0.32 at 45 deg: cells (k, k) lie 0.226 from it and
    // (k, k + 1) lie 0.481 from it, so width 1 holds both families (15 each) and
    // width 0.5 only the first. The first family points 20 deg off the rectangle
    // (aligned at pi / 8, not at pi / 16), the second across it. Finer precision
    // aligns nothing; width 0.5 gives k = n = 15 and is kept; nothing narrower
    // is tried, and the trims have no room left.
    Field f(20, 20);
    for (std::uint32_t k = 0; k < 16; ++k) {
        f.at(k, k) = cell_at(65 * DEG);
        f.at(k, k + 1) = cell_at(135 * DEG);
    }
    Rect rect = make_rect(0, 0.32, 15, 15.32, 1.0);
    const Rect given = rect;
    ASSERT_EQ(count_aligned(rect, f.cells, 20, 20, THRESHOLD).n, 30u);
    const double value = improve_rect(rect, f.cells, 20, 20, THRESHOLD, 14.0);
    expect_same_geometry(rect, given);
    EXPECT_EQ(rect.width, 0.5);
    EXPECT_EQ(rect.p, 0.125);
    EXPECT_EQ(value, -14.0 + 15 * 0.9030899869919435);
}

class TrimSide : public ::testing::TestWithParam<bool> {};

TEST_P(TrimSide, FirstTrimTakesTheSideTowardsDyMinusDx) {
    // A rectangle down column 10 (rows 5..25, width 3: columns 9..11), from
    // top to bottom or the reverse. One outer column is aligned with it, the
    // other points across; log_nt is so large that no stage ends the search.
    // Finer precision takes p to 1/256, and narrowing alone cannot drop the
    // crossing column without an aligned one; the trim of that column's side
    // keeps the two aligned columns at width 2, and the last stage halves p
    // five more times. The crossing column lies towards (dy, -dx): (1, 0),
    // column 11, going down; (-1, 0), column 9, going up. The first trim takes
    // it; trimming the other side first would cut an aligned column.
    const bool down = GetParam();
    Field f(20, 30);
    const std::uint32_t crossing = down ? 11 : 9;
    for (std::uint32_t y = 5; y <= 25; ++y)
        for (std::uint32_t x = 9; x <= 11; ++x) f.at(x, y) = cell_at(x == crossing ? 0.0 : (down ? 90 : -90) * DEG);
    Rect rect = down ? make_rect(10, 5, 10, 25, 3.0) : make_rect(10, 25, 10, 5, 3.0);
    ASSERT_EQ(rect.dx, 0.0);
    improve_rect(rect, f.cells, 20, 30, THRESHOLD, 1000.0);
    const double kept = down ? 9.5 : 10.5;  // the two aligned columns' middle
    EXPECT_EQ(rect.x1, kept);
    EXPECT_EQ(rect.x2, kept);
    EXPECT_EQ(rect.width, 2.0);
    EXPECT_EQ(rect.p, 0.125 / 1024);
}

INSTANTIATE_TEST_SUITE_P(Directions, TrimSide, ::testing::Values(true, false));

}  // namespace
}  // namespace vantrell::detector
