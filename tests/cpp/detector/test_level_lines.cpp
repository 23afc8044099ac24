#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "detector/level_lines.hpp"
#include "sample/sample.hpp"

namespace vantrell::detector {
namespace {

constexpr float THRESHOLD = 5.22625207901001f;

std::vector<double> step_image(std::size_t w, std::size_t h, bool vertical, std::size_t at) {
    std::vector<double> img(w * h, 0.0);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            if ((vertical ? x : y) >= at) img[y * w + x] = 255.0;
    return img;
}

TEST(LevelLineField, HorizontalStepRunsAlongTheRow) {
    // Upper rows 0, lower rows 255: on the row above the edge gx = 0 and
    // gy = (255 + 255) / 2 = 255, so the level line points along -x.
    const std::size_t w = 6, h = 5;
    const auto field = level_line_field(step_image(w, h, false, 3), w, h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const Px& c = field[y * w + x];
            if (y == 2 && x + 1 < w) {
                EXPECT_EQ(c.norm, 255.0f);
                EXPECT_EQ(c.cos_angle, -1.0f);
                EXPECT_EQ(c.sin_angle, 0.0f);
            } else {
                EXPECT_EQ(c.norm, 0.0f) << x << "," << y;
            }
        }
}

TEST(LevelLineField, VerticalStepRunsDownTheColumnWithNegativeZeroCosine) {
    const std::size_t w = 5, h = 6;
    const auto field = level_line_field(step_image(w, h, true, 2), w, h);
    for (std::size_t y = 0; y + 1 < h; ++y) {
        const Px& c = field[y * w + 1];
        EXPECT_EQ(c.norm, 255.0f);
        EXPECT_EQ(c.cos_angle, 0.0f);
        EXPECT_TRUE(std::signbit(c.cos_angle));  // -(0) / 255
        EXPECT_EQ(c.sin_angle, 1.0f);
    }
}

TEST(LevelLineField, OnlyTheTopLeftBlocksOfAThreeByThreeImageAreDefined) {
    const std::vector<double> img = {3, 90, 17, 250, 4, 66, 31, 200, 8};
    const auto field = level_line_field(img, 3, 3);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 3; ++x) {
            const Px& c = field[y * 3 + x];
            if (x < 2 && y < 2) {
                // Unit direction perpendicular to the gradient of the block.
                const double a = img[y * 3 + x], b = img[y * 3 + x + 1];
                const double cc = img[(y + 1) * 3 + x], d = img[(y + 1) * 3 + x + 1];
                const double gx = (b + d - a - cc) / 2, gy = (cc + d - a - b) / 2;
                EXPECT_NEAR(c.norm, std::sqrt(gx * gx + gy * gy), 1e-4);
                EXPECT_NEAR(c.cos_angle * gx + c.sin_angle * gy, 0.0, 1e-5);
                EXPECT_NEAR(c.cos_angle * c.cos_angle + c.sin_angle * c.sin_angle, 1.0, 1e-6);
            } else {
                EXPECT_EQ(c.norm, 0.0f);
                EXPECT_EQ(c.cos_angle, 0.0f);
                EXPECT_EQ(c.sin_angle, 0.0f);
            }
        }
}

TEST(LevelLineField, NaNSampleLeavesItsBlocksZeroAndUnseeded) {
    std::mt19937 rng(3);
    std::vector<double> img(8 * 8);
    for (double& v : img) v = static_cast<double>(rng() % 256);
    img[3 * 8 + 4] = std::numeric_limits<double>::quiet_NaN();
    const auto field = level_line_field(img, 8, 8);
    const std::vector<std::uint32_t> nan_cells = {2 * 8 + 3, 2 * 8 + 4, 3 * 8 + 3, 3 * 8 + 4};
    for (std::uint32_t i : nan_cells) {
        EXPECT_EQ(field[i].norm, 0.0f);
        EXPECT_EQ(field[i].cos_angle, 0.0f);
    }
    for (std::uint32_t s : seeds_by_norm(field, THRESHOLD)) {
        for (std::uint32_t i : nan_cells) EXPECT_NE(s, i);
    }
}

TEST(LevelLineField, ConstantImageHasNoSeeds) {
    const std::vector<double> img(7 * 9, 42.0);
    const auto field = level_line_field(img, 7, 9);
    for (const Px& c : field) EXPECT_EQ(c.norm, 0.0f);
    EXPECT_TRUE(seeds_by_norm(field, THRESHOLD).empty());
}

std::vector<Px> field_of_norms(const std::vector<float>& norms) {
    std::vector<Px> f;
    for (float n : norms) f.push_back(Px{n, 1.0f, 0.0f});
    return f;
}

TEST(SeedsByNorm, StrongestBinFirstAndRowMajorWithinABin) {
    // Largest 20: 20 -> bin 1023, 15 -> 767, 10 -> 511 and 10.005 -> 511.76 -> 511,
    // so 10.005 follows 10.0 in index order although it is larger. The cell at
    // exactly the threshold, the weak and the NaN cell are not seeds.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto field =
        field_of_norms({10.0f, THRESHOLD, 20.0f, 15.0f, 0.0f, 20.0f, 10.005f, nan, 3.0f, 15.0f});
    const std::vector<std::uint32_t> want = {2, 5, 3, 9, 0, 6};
    EXPECT_EQ(seeds_by_norm(field, THRESHOLD), want);
}

TEST(SeedsByNorm, NothingAboveTheThresholdGivesNoSeeds) {
    EXPECT_TRUE(seeds_by_norm({}, THRESHOLD).empty());
    EXPECT_TRUE(seeds_by_norm(field_of_norms({0.0f, 0.0f}), THRESHOLD).empty());
    EXPECT_TRUE(seeds_by_norm(field_of_norms({1.0f, THRESHOLD, 2.0f}), THRESHOLD).empty());
}

TEST(SeedsByNorm, EveryStrongCellIsListedOnceInOrderOfBins) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> norm(0.0f, 400.0f);
    std::vector<float> norms(5000);
    for (float& n : norms) n = norm(rng);
    const auto field = field_of_norms(norms);
    const auto seeds = seeds_by_norm(field, THRESHOLD);
    const float largest = *std::max_element(norms.begin(), norms.end());
    std::size_t strong = 0;
    for (float n : norms) strong += n > THRESHOLD;
    ASSERT_EQ(seeds.size(), strong);
    for (std::size_t i = 1; i < seeds.size(); ++i) {
        const float a = norms[seeds[i - 1]] / largest * 1023.0f, b = norms[seeds[i]] / largest * 1023.0f;
        const int bin_a = saturating_cast<int>(a), bin_b = saturating_cast<int>(b);
        ASSERT_GE(bin_a, bin_b);
        if (bin_a == bin_b) {
            ASSERT_LT(seeds[i - 1], seeds[i]);
        }
    }
}

}  // namespace
}  // namespace vantrell::detector
