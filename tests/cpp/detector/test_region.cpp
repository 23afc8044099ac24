#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "detector/region.hpp"
#include "fields.hpp"

namespace vantrell::detector {
namespace {

using testing::cell_at;
using testing::Field;

constexpr double TOL = 0.39269908169872414;
constexpr double DEG = std::numbers::pi / 180.0;

TEST(GrowRegion, LoneSeedGivesOnePixelAndItsOwnAngle) {
    Field f(5, 5);
    f.at(2, 2) = cell_at(1.0);
    f.at(1, 2) = cell_at(1.0 + 40 * DEG);  // strong but not aligned
    auto used = f.used();
    std::vector<std::uint32_t> region;
    const double angle = grow_region(f.index(2, 2), f.cells, used, region, 5, 5, TOL);
    EXPECT_EQ(region, std::vector<std::uint32_t>{f.index(2, 2)});
    EXPECT_EQ(angle, std::atan2(double(f.at(2, 2).sin_angle), double(f.at(2, 2).cos_angle)));
    EXPECT_EQ(used[f.index(2, 2)], 1);
    EXPECT_EQ(used[f.index(1, 2)], 0);
}

TEST(GrowRegion, NeighboursJoinInTheFixedOrder) {
    Field f(5, 5);
    for (std::uint32_t y = 0; y < 5; ++y)
        for (std::uint32_t x = 0; x < 5; ++x) f.at(x, y) = cell_at(0.3);
    auto used = f.used();
    std::vector<std::uint32_t> region;
    grow_region(f.index(2, 2), f.cells, used, region, 5, 5, TOL);
    ASSERT_EQ(region.size(), 25u);
    const std::vector<std::uint32_t> first = {f.index(2, 2), f.index(1, 1), f.index(2, 1),
                                              f.index(3, 1), f.index(1, 2), f.index(3, 2),
                                              f.index(1, 3), f.index(2, 3), f.index(3, 3)};
    EXPECT_EQ(std::vector<std::uint32_t>(region.begin(), region.begin() + 9), first);

    // From a corner the clipped window keeps the same order.
    auto used2 = f.used();
    grow_region(f.index(0, 0), f.cells, used2, region, 5, 5, TOL);
    const std::vector<std::uint32_t> corner = {f.index(0, 0), f.index(1, 0), f.index(0, 1),
                                               f.index(1, 1)};
    EXPECT_EQ(std::vector<std::uint32_t>(region.begin(), region.begin() + 4), corner);
}

struct WrapCase {
    std::uint32_t seed_x, seed_y, other_x, other_y;
};

class GrowRegionBorder : public ::testing::TestWithParam<WrapCase> {};

TEST_P(GrowRegionBorder, NeverWrapsIntoTheNextOrPreviousRow) {
    // The other pixel is the seed's index +-1 (or +-W +-1) in the other edge
    // column: adjacent in memory, not in the image.
    const WrapCase c = GetParam();
    Field f(6, 5);
    f.at(c.seed_x, c.seed_y) = cell_at(0.0);
    f.at(c.other_x, c.other_y) = cell_at(0.0);
    auto used = f.used();
    std::vector<std::uint32_t> region;
    grow_region(f.index(c.seed_x, c.seed_y), f.cells, used, region, 6, 5, TOL);
    EXPECT_EQ(region.size(), 1u);
    EXPECT_EQ(used[f.index(c.other_x, c.other_y)], 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, GrowRegionBorder,
                         ::testing::Values(WrapCase{5, 1, 0, 2}, WrapCase{0, 2, 5, 1},
                                           WrapCase{5, 1, 0, 1}, WrapCase{0, 2, 5, 2},
                                           WrapCase{5, 1, 0, 3}, WrapCase{0, 2, 5, 0}));

TEST(GrowRegion, NeighbourIsTestedAgainstTheUpdatedMean) {
    // Seed at 0 deg; (1, 1) at 20 deg joins first and moves the mean to 10 deg;
    // (2, 1) at 31 deg is then 21 deg off the mean (inside 22.5) though 31 deg
    // off the seed.
    for (bool first_taken : {false, true}) {
        Field f(5, 5);
        f.at(2, 2) = cell_at(0.0);
        f.at(1, 1) = cell_at(20 * DEG);
        f.at(2, 1) = cell_at(31 * DEG);
        auto used = f.used();
        if (first_taken) used[f.index(1, 1)] = 1;
        std::vector<std::uint32_t> region;
        grow_region(f.index(2, 2), f.cells, used, region, 5, 5, TOL);
        EXPECT_EQ(region.size(), first_taken ? 1u : 3u);
        EXPECT_EQ(used[f.index(2, 1)], first_taken ? 0 : 1);
    }
}

TEST(GrowRegion, ToleranceBoundIsInclusiveAndDirectional) {
    Field f(7, 3);
    f.at(1, 1) = cell_at(0.0);
    f.at(2, 1) = cell_at(0.0);                      // same direction: at the bound of tolerance 0
    f.at(3, 1) = Px{100.0f, 0.99999994f, 0.0003f};  // a hair off
    f.at(4, 1) = cell_at(0.0);
    auto used = f.used();
    std::vector<std::uint32_t> region;
    grow_region(f.index(1, 1), f.cells, used, region, 7, 3, 0.0);
    EXPECT_EQ(region, (std::vector<std::uint32_t>{f.index(1, 1), f.index(2, 1)}));

    // A direction opposite to the mean never joins, however generous the tolerance
    // below pi.
    Field g(4, 3);
    g.at(1, 1) = cell_at(0.0);
    g.at(2, 1) = cell_at(std::numbers::pi);
    auto used_g = g.used();
    grow_region(g.index(1, 1), g.cells, used_g, region, 4, 3, 3.0);
    EXPECT_EQ(region.size(), 1u);
}

TEST(GrowRegion, ToleranceBoundStaysInclusiveAfterTheMeanMoves) {
    // A tolerance whose cosine is exactly 0.75: once (2, 1) has joined the seed,
    // the sum is (2, 0) and the threshold 0.75 x hypot(2, 0) = 1.5, which a cell
    // with cos_angle 0.75 meets exactly and one a float below it misses.
    double tau = std::acos(0.75);
    for (int i = 0; i < 64 && std::cos(tau) != 0.75; ++i)
        tau = std::nextafter(tau, std::cos(tau) > 0.75 ? 4.0 : 0.0);
    ASSERT_EQ(std::cos(tau), 0.75);
    for (float cos_angle : {0.75f, std::nextafter(0.75f, 0.0f)}) {
        Field f(6, 3);
        f.at(1, 1) = Px{100.0f, 1.0f, 0.0f};
        f.at(2, 1) = Px{100.0f, 1.0f, 0.0f};
        f.at(3, 1) = Px{100.0f, cos_angle, 0.6614378f};
        auto used = f.used();
        std::vector<std::uint32_t> region;
        grow_region(f.index(1, 1), f.cells, used, region, 6, 3, tau);
        EXPECT_EQ(region.size(), cos_angle == 0.75f ? 3u : 2u);
    }
}

TEST(GrowRegion, TakenAndWeakPixelsNeverJoin) {
    Field f(6, 3);
    for (std::uint32_t x = 0; x < 6; ++x) f.at(x, 1) = cell_at(0.2);
    f.at(3, 1).norm = 5.22625207901001f;  // at the threshold: weak
    auto used = f.used();
    used[f.index(1, 1)] = 1;  // an earlier region's
    std::vector<std::uint32_t> region;
    grow_region(f.index(2, 1), f.cells, used, region, 6, 3, TOL);
    EXPECT_EQ(region, std::vector<std::uint32_t>{f.index(2, 1)});
}

TEST(GrowRegionSums, SameRegionAndMarksAndTheSumsOfTheRegionAngle) {
    // A ragged field of directions near 0.3 rad: the sums are those of the
    // taken cells in order, and their atan2 is grow_region's angle.
    Field f(9, 7);
    for (std::uint32_t y = 0; y < 7; ++y)
        for (std::uint32_t x = 0; x < 9; ++x)
            f.at(x, y) = cell_at(0.3 + 0.09 * static_cast<double>((x * 5 + y * 3) % 7) - 0.27);
    f.at(4, 3).norm = 2.0f;  // weak
    for (const double tol : {TOL, 0.1, 2.0}) {
        auto used_a = f.used();
        auto used_b = f.used();
        std::vector<std::uint32_t> region_a, region_b;
        const double angle = grow_region(f.index(2, 2), f.cells, used_a, region_a, 9, 7, tol);
        const RegionSums sums =
            grow_region_sums(f.index(2, 2), f.cells, used_b, region_b, 9, 7, std::cos(tol));
        EXPECT_EQ(region_a, region_b);
        EXPECT_EQ(used_a, used_b);
        double sum_x = 0.0, sum_y = 0.0;
        for (std::uint32_t i : region_b) {
            sum_x += static_cast<double>(f.cells[i].cos_angle);
            sum_y += static_cast<double>(f.cells[i].sin_angle);
        }
        EXPECT_EQ(sums.sum_x, sum_x);
        EXPECT_EQ(sums.sum_y, sum_y);
        EXPECT_EQ(std::atan2(sums.sum_y, sums.sum_x), angle);
    }
}

// The growth rule written out plainly: the queue in order, the eight neighbours
// of each pixel in the fixed order clipped to the image, each tested against
// c x hypot(sum) of the sums at that moment.
std::vector<std::uint32_t> plain_growth(std::uint32_t seed, const std::vector<Px>& cells,
                                        std::vector<std::uint8_t>& used, std::uint32_t w,
                                        std::uint32_t h, double tolerance) {
    const double c = std::cos(tolerance);
    std::vector<std::uint32_t> region = {seed};
    used[seed] = 1;
    double sum_x = cells[seed].cos_angle, sum_y = cells[seed].sin_angle;
    for (std::size_t i = 0; i < region.size(); ++i) {
        const std::int64_t x = region[i] % w, y = region[i] / w;
        for (std::int64_t ny = y - 1; ny <= y + 1; ++ny) {
            for (std::int64_t nx = x - 1; nx <= x + 1; ++nx) {
                if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                const auto q = static_cast<std::uint32_t>(ny * w + nx);
                if (used[q] != 0) continue;
                const double d = sum_y * double(cells[q].sin_angle) + sum_x * double(cells[q].cos_angle);
                if (d < c * std::hypot(sum_x, sum_y)) continue;
                used[q] = 1;
                region.push_back(q);
                sum_x += cells[q].cos_angle;
                sum_y += cells[q].sin_angle;
            }
        }
    }
    return region;
}

TEST(GrowRegion, MatchesThePlainRuleOnRaggedFieldsWithTakenPixels) {
    // Directions scattered about a common one, weak cells and pixels already
    // taken by earlier regions: every free and taken neighbourhood occurs, inside
    // the image and on its border.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> spread(-0.6, 0.6);
    std::uniform_int_distribution<int> pick(0, 9);
    for (int round = 0; round < 40; ++round) {
        const std::uint32_t w = 5 + round % 7, h = 4 + round % 5;
        Field f(w, h);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) f.at(x, y) = cell_at(1.0 + spread(rng), pick(rng) == 0 ? 1.0f : 100.0f);
        auto used = f.used();
        for (std::size_t i = 0; i < used.size(); ++i) {
            if (pick(rng) == 0) used[i] = 1;
        }
        const std::uint32_t seed = f.index(1 + round % (w - 2), 1 + round % (h - 2));
        used[seed] = 0;
        for (const double tol : {TOL, 0.2, 1.0}) {
            auto used_a = used;
            auto used_b = used;
            std::vector<std::uint32_t> region;
            grow_region(seed, f.cells, used_a, region, w, h, tol);
            EXPECT_EQ(region, plain_growth(seed, f.cells, used_b, w, h, tol));
            EXPECT_EQ(used_a, used_b);
        }
    }
}

struct OnePixelCase {
    double region_angle;
    double dx;
};

class OnePixelRect : public ::testing::TestWithParam<OnePixelCase> {};

TEST_P(OnePixelRect, SitsOnThePixelWithUnitWidthAndTheAxisOfTheRegion) {
    Field f(4, 4);
    f.at(2, 1) = cell_at(0.5);
    const std::vector<std::uint32_t> region = {f.index(2, 1)};
    const Rect r = region_to_rect(region, f.cells, 4, GetParam().region_angle, 0.125);
    EXPECT_EQ(r.x1, 2.0);
    EXPECT_EQ(r.y1, 1.0);
    EXPECT_EQ(r.x2, 2.0);
    EXPECT_EQ(r.y2, 1.0);
    EXPECT_EQ(r.width, 1.0);
    EXPECT_EQ(r.dx, GetParam().dx);  // theta = 0, or pi when the region points away
    EXPECT_EQ(r.prec, TOL);
    EXPECT_EQ(r.p, 0.125);
}

// The axis turns only when it lies more than pi / 8 from the region angle:
// exactly pi / 8 either way keeps theta = 0, one unit in the last place
// further turns it.
INSTANTIATE_TEST_SUITE_P(Angles, OnePixelRect,
                         ::testing::Values(OnePixelCase{0.0, 1.0}, OnePixelCase{TOL, 1.0},
                                           OnePixelCase{-TOL, 1.0}, OnePixelCase{std::nextafter(TOL, 1.0), -1.0},
                                           OnePixelCase{std::nextafter(-TOL, -1.0), -1.0},
                                           OnePixelCase{3.0, -1.0}, OnePixelCase{-2.0, -1.0}));

TEST(RegionToRect, ThreePixelRowAtAngleZeroEndsAtTheRowEnds) {
    // Ixy is +0, so the axis first comes out as atan2(+0, -2w) = pi and is turned
    // to 2 pi: dy = sin(2 pi), about -2.4e-16, not 0.
    Field f(4, 3);
    for (std::uint32_t x = 0; x < 3; ++x) f.at(x, 0) = cell_at(0.0, 50.0f);
    const std::vector<std::uint32_t> region = {0, 1, 2};
    const Rect r = region_to_rect(region, f.cells, 4, 0.0, 0.125);
    EXPECT_EQ(r.x1, 0.0);
    EXPECT_EQ(r.x2, 2.0);
    EXPECT_EQ(r.dx, 1.0);
    EXPECT_EQ(r.dy, std::sin(2 * std::numbers::pi));
    EXPECT_NE(r.dy, 0.0);
    EXPECT_NEAR(r.dy, -2.4e-16, 0.1e-16);
    EXPECT_NEAR(r.y1, 0.0, 1e-15);
    EXPECT_NEAR(r.y2, 0.0, 1e-15);
    EXPECT_EQ(r.width, 1.0);
}

TEST(RegionToRect, ThreePixelRowAtAnglePiRunsBackwards) {
    Field f(4, 3);
    for (std::uint32_t x = 0; x < 3; ++x) f.at(x, 0) = cell_at(std::numbers::pi, 50.0f);
    const std::vector<std::uint32_t> region = {0, 1, 2};
    const Rect r = region_to_rect(region, f.cells, 4, std::numbers::pi, 0.125);
    EXPECT_EQ(r.x1, 2.0);
    EXPECT_EQ(r.x2, 0.0);
    EXPECT_EQ(r.dx, -1.0);
    EXPECT_NEAR(r.y1, 0.0, 1e-15);
    EXPECT_EQ(r.width, 1.0);
}

struct BlockCase {
    std::uint32_t length, rows;
    double region_angle;
};

class BlockRect : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockRect, SpansTheBlockAlongAndAcross) {
    // A block of equal weights: centre in its middle, extents from centre to the
    // outermost pixel centres, width rows - 1 (at least 1).
    const BlockCase c = GetParam();
    Field f(c.length + 2, c.rows + 2);
    std::vector<std::uint32_t> region;
    for (std::uint32_t y = 1; y <= c.rows; ++y)
        for (std::uint32_t x = 1; x <= c.length; ++x) {
            f.at(x, y) = cell_at(c.region_angle);
            region.push_back(f.index(x, y));
        }
    const Rect r = region_to_rect(region, f.cells, f.width, c.region_angle, 0.125);
    const double forward = std::cos(c.region_angle) > 0 ? 1.0 : -1.0;
    EXPECT_NEAR(r.dx, forward, 1e-12);
    EXPECT_NEAR(r.x1, forward > 0 ? 1.0 : c.length, 1e-12);
    EXPECT_NEAR(r.x2, forward > 0 ? c.length : 1.0, 1e-12);
    EXPECT_NEAR(r.y1, (c.rows + 1) / 2.0, 1e-12);
    EXPECT_NEAR(r.width, std::max(1.0, c.rows - 1.0), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Blocks, BlockRect,
                         ::testing::Values(BlockCase{10, 1, 0.1}, BlockCase{10, 2, 0.0},
                                           BlockCase{12, 3, -0.2}, BlockCase{9, 4, 3.0},
                                           BlockCase{20, 5, -3.1}));

class DiagonalRect : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(DiagonalRect, GetsADiagonalAxisWhereverTheRunLies) {
    // Five pixels (x0 + k, k) of one weight, 57.3 (not a whole number): the
    // axis is the diagonal and the ends are the first and last pixel. Far
    // from column 0 the weighted sums run to millions, where only double
    // precision keeps the centre, and so the ends, in place.
    const std::uint32_t x0 = GetParam();
    Field f(x0 + 6, 6);
    std::vector<std::uint32_t> region;
    for (std::uint32_t k = 0; k < 5; ++k) {
        f.at(x0 + k, k) = cell_at(std::numbers::pi / 4, 57.3f);
        region.push_back(f.index(x0 + k, k));
    }
    const Rect r = region_to_rect(region, f.cells, f.width, std::numbers::pi / 4, 0.125);
    EXPECT_NEAR(r.dx, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(r.dy, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(r.x1, x0, 1e-9);
    EXPECT_NEAR(r.y1, 0.0, 1e-9);
    EXPECT_NEAR(r.x2, x0 + 4.0, 1e-9);
    EXPECT_NEAR(r.y2, 4.0, 1e-9);
    EXPECT_EQ(r.width, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Offsets, DiagonalRect, ::testing::Values(0u, 20000u));

}  // namespace
}  // namespace vantrell::detector
