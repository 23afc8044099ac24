#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "detector/refine.hpp"
#include "fields.hpp"

namespace vantrell::detector {
namespace {

using testing::cell_at;
using testing::Field;

constexpr double DEG = std::numbers::pi / 180.0;
constexpr float THRESHOLD = 5.22625207901001f;

Rect horizontal(double x1, double x2, double y, double width) {
    return Rect{x1, y, x2, y, width, 1.0, 0.0, 0.39269908169872414, 0.125};
}

struct DensityCase {
    std::size_t pixels;
    Rect rect;
    bool dense;
};

class Density : public ::testing::TestWithParam<DensityCase> {};

TEST_P(Density, ComparesPixelsPerAreaWithSevenTenths) {
    EXPECT_EQ(dense_enough(GetParam().pixels, GetParam().rect), GetParam().dense);
}

const double NaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, Density,
    ::testing::Values(DensityCase{7, horizontal(0, 10, 0, 1.0), true},  // exactly 0.7
                      DensityCase{6, horizontal(0, 10, 0, 1.0), false},
                      DensityCase{7, horizontal(0, 5, 0, 2.0), true},
                      DensityCase{13, horizontal(0, 6, 0, 3.1), false},
                      DensityCase{1, horizontal(0, 0.5, 0, 1.0), true},  // area 0.5 counts as 1
                      DensityCase{1, horizontal(3, 3, 0, 1.0), true},    // area 0
                      DensityCase{1, horizontal(NaN, 3, 0, 1.0), true},
                      DensityCase{1, horizontal(0, 1, 0, 1.0), true}));  // area exactly 1

TEST(ShrinkRegion, MovesTheLastPixelIntoEachGap) {
    // Seed s at (5, 5); a and c far, b and d near, e exactly at the radius 3.
    Field f(12, 12);
    const std::uint32_t s = f.index(5, 5), a = f.index(10, 5), b = f.index(6, 5), c = f.index(5, 0),
                        d = f.index(4, 4), e = f.index(8, 5);
    std::vector<std::uint32_t> region = {s, a, b, c, d, e};
    std::vector<std::uint8_t> used(f.cells.size(), 0);
    for (std::uint32_t i : region) used[i] = 1;
    shrink_region(region, used, 3.0, 12);
    // a goes and e takes its place; then c goes and d takes its place.
    EXPECT_EQ(region, (std::vector<std::uint32_t>{s, e, b, d}));
    EXPECT_EQ(used[a], 0);
    EXPECT_EQ(used[c], 0);
    for (std::uint32_t i : region) EXPECT_EQ(used[i], 1);
}

// The plain statement of shrinking: hypot against the radius for every pixel.
std::vector<std::uint32_t> shrunk_by_hypot(std::vector<std::uint32_t> region, double radius,
                                           std::uint32_t width) {
    const double xs = static_cast<double>(region.front() % width);
    const double ys = static_cast<double>(region.front() / width);
    for (std::size_t i = 0; i < region.size();) {
        const double d = std::hypot(static_cast<double>(region[i] % width) - xs,
                                    static_cast<double>(region[i] / width) - ys);
        if (d > radius) {
            region[i] = region.back();
            region.pop_back();
        } else {
            ++i;
        }
    }
    return region;
}

TEST(ShrinkRegion, KeepsExactlyThePixelsThatHypotKeepsAtEveryRadius) {
    // Radii exactly at whole distances (5 from offsets (3, 4), 13 from (5, 12)),
    // one unit in the last place either side of them and of irrational ones.
    const std::uint32_t w = 40, h = 30;
    std::vector<std::uint32_t> all;
    const std::uint32_t seed = 15 * w + 17;
    all.push_back(seed);
    for (std::uint32_t i = 0; i < w * h; ++i)
        if (i != seed) all.push_back(i);
    std::vector<double> radii;
    for (double r : {0.0, 1.0, std::sqrt(2.0), 5.0, 13.0, std::hypot(7.0, 9.0), 25.0, 1e300,
                     std::numeric_limits<double>::infinity()}) {
        radii.push_back(r);
        radii.push_back(std::nextafter(r, 0.0));
        radii.push_back(std::nextafter(r, 1e308));
    }
    for (double r : radii) {
        std::vector<std::uint32_t> region = all;
        std::vector<std::uint8_t> used(w * h, 1);
        shrink_region(region, used, r, w);
        const std::vector<std::uint32_t> want = shrunk_by_hypot(all, r, w);
        ASSERT_EQ(region, want) << r;
        std::size_t freed = 0;
        for (std::uint8_t u : used) freed += u == 0;
        ASSERT_EQ(freed, all.size() - want.size()) << r;
    }
}

TEST(Refine, DenseRegionIsKeptAsItIs) {
    Field f(10, 5);
    std::vector<std::uint32_t> region;
    for (std::uint32_t x = 1; x <= 8; ++x) {
        f.at(x, 2) = cell_at(0.0);
        region.push_back(f.index(x, 2));
    }
    auto used = f.used();
    const auto used_before = used;
    const auto region_before = region;
    Rect rect = horizontal(1, 8, 2, 1.0);
    EXPECT_TRUE(refine(region, rect, used, f.cells, 4, 10, 5));
    EXPECT_EQ(region, region_before);
    EXPECT_EQ(used, used_before);
    EXPECT_EQ(rect.x2, 8.0);
}

TEST(Refine, UniformAnglesNearTheSeedRegrowTighterAndMayDropTheRegion) {
    // Only the seed is within the unit width of itself, so the spread is 0 and
    // the re-growth takes only directions equal to the seed's: the neighbours at
    // 10 deg (taken at pi / 8 before) stay out, and one pixel is below the
    // minimum. The seed stays taken, the others are freed.
    Field f(9, 9);
    f.at(4, 4) = cell_at(0.0);
    std::vector<std::uint32_t> region = {f.index(4, 4)};
    for (std::uint32_t x : {1u, 2u, 3u, 5u, 6u, 7u}) {
        f.at(x, 4) = cell_at(10 * DEG);
        region.push_back(f.index(x, 4));
    }
    auto used = f.used();
    for (std::uint32_t i : region) used[i] = 1;
    Rect rect = horizontal(0, 40, 4, 1.0);  // sparse
    EXPECT_FALSE(refine(region, rect, used, f.cells, 4, 9, 9));
    EXPECT_EQ(region, std::vector<std::uint32_t>{f.index(4, 4)});
    EXPECT_EQ(used[f.index(4, 4)], 1);
    for (std::uint32_t x : {1u, 2u, 3u, 5u, 6u, 7u}) EXPECT_EQ(used[f.index(x, 4)], 0);
}

TEST(Refine, SpreadAnglesNearTheSeedRegrowLooserThanTheFirstTolerance) {
    // The eight neighbours point +-40 deg off the seed: standard deviation
    // 40 sqrt(8/9) = 37.7 deg, tolerance 75 deg, far above pi / 8, so the
    // re-growth takes the whole 3 x 3 block, which fills its 2 x 2 rectangle.
    Field f(9, 9);
    f.at(4, 4) = cell_at(0.0);
    std::vector<std::uint32_t> region = {f.index(4, 4)};
    int sign = 1;
    for (std::uint32_t y = 3; y <= 5; ++y)
        for (std::uint32_t x = 3; x <= 5; ++x) {
            if (x == 4 && y == 4) continue;
            f.at(x, y) = cell_at(sign * 40 * DEG);
            sign = -sign;
            region.push_back(f.index(x, y));
        }
    auto used = f.used();
    for (std::uint32_t i : region) used[i] = 1;
    Rect rect = horizontal(0, 8, 4, 3.0);  // 9 pixels on 24: sparse
    EXPECT_TRUE(refine(region, rect, used, f.cells, 4, 9, 9));
    EXPECT_EQ(region.size(), 9u);
    EXPECT_EQ(region.front(), f.index(4, 4));
    EXPECT_TRUE(dense_enough(region.size(), rect));
}

class RefineRadius : public ::testing::TestWithParam<double> {};

TEST_P(RefineRadius, AngleSpreadCountsPixelsStrictlyWithinTheWidth) {
    // Seed (5, 5) at 0 deg on a row: 0 deg at distances 1 and 3, +20 and -20
    // deg at distance exactly 2. With the width at most 2 the spread is that
    // of the 0 deg pixels, 0, and the re-growth takes only the seed's own
    // direction: 3 pixels, below the minimum 4. Just above 2 the +-20 deg pair
    // counts too: tolerance 2 sqrt(2 (20 deg)^2 / 5) = 25.3 deg, and the whole
    // row of 7 grows back, dense in its rectangle.
    const double width = GetParam();
    Field f(11, 11);
    const std::uint32_t seed = f.index(5, 5);
    std::vector<std::uint32_t> region = {seed};
    for (auto [x, angle] : {std::pair<std::uint32_t, double>{4, 0.0}, {6, 0.0}, {3, 20 * DEG}, {7, -20 * DEG},
                            {2, 0.0}, {8, 0.0}}) {
        f.at(x, 5) = cell_at(angle);
        region.push_back(f.index(x, 5));
    }
    f.at(5, 5) = cell_at(0.0);
    auto used = f.used();
    for (std::uint32_t i : region) used[i] = 1;
    Rect rect = horizontal(0, 40, 5, width);  // sparse
    const bool within = width > 2.0;
    EXPECT_EQ(refine(region, rect, used, f.cells, 4, 11, 11), within);
    if (within) {
        EXPECT_EQ(region.size(), 7u);
        EXPECT_EQ(rect.x1, 2.0);
        EXPECT_EQ(rect.x2, 8.0);
    } else {
        EXPECT_EQ(region, (std::vector<std::uint32_t>{seed, f.index(4, 5), f.index(6, 5)}));
        for (std::uint32_t x : {2u, 3u, 7u, 8u}) EXPECT_EQ(used[f.index(x, 5)], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(AtTwoAndOneUnitEitherSide, RefineRadius,
                         ::testing::Values(std::nextafter(2.0, 0.0), 2.0, std::nextafter(2.0, 3.0)));

TEST(Refine, AngleDifferenceOfExactlyMinusPiCountsAsPi) {
    // Seed (5, 5) pointing at pi; within the width 3 of it: (5, 7) at 0, whose
    // difference -pi wraps to +pi, (3, 7) at pi (0) and (7, 7) at pi + 0.3
    // (0.3). Mean (pi + 0.3) / 4, variance 1.7496, tolerance 2.645 rad
    // (151.6 deg). (5, 4), next to the seed and 155 deg from it, stays out;
    // had the -pi stayed -pi, the mean would be (0.3 - pi) / 4 and the
    // tolerance 161.5 deg, taking it in.
    Field f(11, 11);
    const std::uint32_t seed = f.index(5, 5);
    f.at(5, 5) = Px{100.0f, -1.0f, 0.0f};
    f.at(5, 7) = Px{100.0f, 1.0f, 0.0f};
    f.at(3, 7) = Px{100.0f, -1.0f, 0.0f};
    f.at(7, 7) = cell_at(std::numbers::pi + 0.3);
    f.at(5, 4) = cell_at(std::numbers::pi - 155 * DEG);
    std::vector<std::uint32_t> region = {seed, f.index(5, 7), f.index(3, 7), f.index(7, 7)};
    auto used = f.used();
    for (std::uint32_t i : region) used[i] = 1;
    Rect rect = horizontal(0, 40, 5, 3.0);  // sparse
    EXPECT_FALSE(refine(region, rect, used, f.cells, 2, 11, 11));
    EXPECT_EQ(region, std::vector<std::uint32_t>{seed});
    EXPECT_EQ(used[f.index(5, 4)], 0);
}

TEST(Refine, SparseRegionShrinksAroundTheSeedByAQuarterOfTheRadiusEachRound) {
    // An L of one direction: row 10, columns 10..15, and columns 10 and 11 of
    // rows 11..25; seed (15, 10). The re-grown L's rectangle puts the far end
    // r = 15.802 from the seed, and four rounds of r x 0.75 leave 4.99985,
    // just short of 5: (10, 10) and (11, 13), exactly 5 away, go with the
    // farther pixels, and the 7 left, row 10 from column 11 and (11, 11),
    // (11, 12), are dense. A radius a hair larger would keep those two.
    Field f(40, 40);
    for (std::uint32_t x = 10; x <= 15; ++x) f.at(x, 10) = cell_at(0.0);
    for (std::uint32_t y = 11; y <= 25; ++y) f.at(10, y) = f.at(11, y) = cell_at(0.0);
    auto used = f.used();
    std::vector<std::uint32_t> region;
    const std::uint32_t seed = f.index(15, 10);
    const double angle = grow_region(seed, f.cells, used, region, 40, 40, 0.39269908169872414);
    ASSERT_EQ(region.size(), 36u);
    Rect rect = region_to_rect(region, f.cells, 40, angle, 0.125);
    ASSERT_FALSE(dense_enough(region.size(), rect));
    EXPECT_TRUE(refine(region, rect, used, f.cells, 4, 40, 40));
    EXPECT_EQ(region.front(), seed);
    EXPECT_TRUE(dense_enough(region.size(), rect));
    std::vector<std::uint32_t> want = {f.index(11, 11), f.index(11, 12)};
    for (std::uint32_t x = 11; x <= 15; ++x) want.push_back(f.index(x, 10));
    std::sort(region.begin(), region.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(region, want);
    // Dropped pixels are free again: among the strong pixels exactly the
    // region's are taken.
    for (std::uint32_t i : region) EXPECT_EQ(used[i], 1);
    std::size_t strong_taken = 0;
    for (std::size_t i = 0; i < used.size(); ++i) strong_taken += used[i] && f.cells[i].norm > THRESHOLD;
    EXPECT_EQ(strong_taken, region.size());
}

}  // namespace
}  // namespace vantrell::detector
