#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "detector/downscale.hpp"
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


// level_lines against its plain restatement: the field of the widened image,
// seeds_by_norm of that field and the used map of the pipeline.
template <class T>
void expect_level_lines_restate_the_parts(const std::vector<T>& samples, std::size_t w,
                                          std::size_t h) {
    std::vector<double> image(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) image[i] = working_value(samples[i]);
    const auto field = level_line_field(image, w, h, THRESHOLD);
    const auto seeds = seeds_by_norm(field, THRESHOLD);
    const LevelLines lines = level_lines(std::span<const T>(samples), w, h, THRESHOLD);
    ASSERT_EQ(lines.field.size(), w * h);
    ASSERT_EQ(lines.used.size(), w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(lines.field[i].norm),
                  std::bit_cast<std::uint32_t>(field[i].norm)) << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(lines.field[i].cos_angle),
                  std::bit_cast<std::uint32_t>(field[i].cos_angle)) << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(lines.field[i].sin_angle),
                  std::bit_cast<std::uint32_t>(field[i].sin_angle)) << i;
        ASSERT_EQ(lines.used[i], field[i].norm <= THRESHOLD ? 1 : 0) << i;
    }
    ASSERT_EQ(std::vector<std::uint32_t>(lines.seeds.begin(), lines.seeds.end()), seeds);
}

struct Size {
    std::size_t w, h;
};

class LevelLinesSized : public ::testing::TestWithParam<Size> {};

TEST_P(LevelLinesSized, EightBitImageGivesTheFieldUsedMapAndSeedsOfItsParts) {
    const Size s = GetParam();
    std::mt19937 rng(static_cast<unsigned>(s.w * 131 + s.h));
    // Smooth ramps with noise: many cells share a bin, many are weak.
    std::vector<std::uint8_t> img(s.w * s.h);
    for (std::size_t y = 0; y < s.h; ++y)
        for (std::size_t x = 0; x < s.w; ++x)
            img[y * s.w + x] = static_cast<std::uint8_t>((x * 3 + y * 2 + rng() % 12) % 256);
    expect_level_lines_restate_the_parts(img, s.w, s.h);
}

TEST_P(LevelLinesSized, OtherSampleTypesGiveTheFieldUsedMapAndSeedsOfItsParts) {
    const Size s = GetParam();
    std::mt19937 rng(static_cast<unsigned>(s.w * 7 + s.h * 3));
    std::vector<std::uint16_t> wide(s.w * s.h);
    std::vector<float> single(s.w * s.h);
    std::vector<double> dbl(s.w * s.h);
    for (std::size_t i = 0; i < s.w * s.h; ++i) {
        wide[i] = static_cast<std::uint16_t>(rng());
        single[i] = static_cast<float>(rng() % 1000) * 0.37f;
        dbl[i] = static_cast<double>(rng() % 100000) * 1e-3;
    }
    // A NaN sample leaves its four blocks zero.
    single[single.size() / 2] = std::numeric_limits<float>::quiet_NaN();
    dbl[s.w + 1] = std::numeric_limits<double>::quiet_NaN();
    expect_level_lines_restate_the_parts(wide, s.w, s.h);
    expect_level_lines_restate_the_parts(single, s.w, s.h);
    expect_level_lines_restate_the_parts(dbl, s.w, s.h);
}

// Small images, one group of rows, several groups with a short last one, and
// more rows than 64 groups of 16.
INSTANTIATE_TEST_SUITE_P(Sizes, LevelLinesSized,
                         ::testing::Values(Size{3, 3}, Size{4, 17}, Size{9, 16}, Size{31, 50},
                                           Size{64, 333}, Size{5, 1100}));

TEST(LevelLinesOf, ConstantImageHasNoSeedsAndEveryPixelUsed) {
    const std::vector<std::uint8_t> img(12 * 10, 42);
    const LevelLines lines = level_lines(std::span<const std::uint8_t>(img), 12, 10, THRESHOLD);
    EXPECT_TRUE(lines.seeds.empty());
    for (std::uint8_t u : lines.used) EXPECT_EQ(u, 1);
}

}  // namespace
}  // namespace vantrell::detector
