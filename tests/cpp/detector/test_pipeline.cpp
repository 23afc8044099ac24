#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "detector/detect.hpp"
#include "detector/improve.hpp"
#include "detector/level_lines.hpp"
#include "detector/pipeline.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"

namespace vantrell::detector {
namespace {

struct LogNtCase {
    std::uint32_t width, height;
    double log_nt;
    std::uint32_t min_reg_size;
};

class PerImageValues : public ::testing::TestWithParam<LogNtCase> {};

TEST_P(PerImageValues, FollowFromTheWorkingImageSize) {
    const LogNtCase c = GetParam();
    EXPECT_DOUBLE_EQ(log_nt(c.width, c.height), c.log_nt);
    EXPECT_EQ(min_reg_size(log_nt(c.width, c.height)), c.min_reg_size);
}

// 3 x 3: 5 log10(3) + log10(11) = 3.4270, / log10(8) = 3.79 -> 4. 141 x 135:
// 11.740275 / log10(8) = 13.0001, just past a whole number -> 14.
INSTANTIATE_TEST_SUITE_P(Sizes, PerImageValues,
                         ::testing::Values(LogNtCase{512, 384, 14.27539564851663, 16},
                                           LogNtCase{100, 100, 11.041392685158225, 13},
                                           LogNtCase{141, 135, 11.74027488803419, 14},
                                           LogNtCase{3, 3, 5 * std::log10(3.0) + std::log10(11.0), 4}));

TEST(Constants, ThresholdIsTheFloatNearestTwoOverSinPiOverEight) {
    EXPECT_EQ(GRAD_THRESHOLD, static_cast<float>(2.0 / std::sin(std::acos(-1.0) / 8)));
    EXPECT_EQ(ANGLE_TOLERANCE, std::acos(-1.0) / 8);
}

struct FitCase {
    std::size_t width, height;
    double scale;
    bool fits;
};

class PixelIndices : public ::testing::TestWithParam<FitCase> {};

TEST_P(PixelIndices, FitThirtyTwoBitsOnTheWorkingImage) {
    const FitCase c = GetParam();
    EXPECT_EQ(fits_pixel_indices(c.width, c.height, c.scale), c.fits);
}

constexpr std::size_t K64 = 65536;
INSTANTIATE_TEST_SUITE_P(
    Sizes, PixelIndices,
    ::testing::Values(FitCase{K64, K64 - 1, 1.0, true}, FitCase{K64, K64, 1.0, false},
                      FitCase{std::size_t{1} << 32, 1, 1.0, false},
                      FitCase{std::size_t{1} << 31, 1, 2.0, true},
                      FitCase{2 * K64, K64, 0.5, true},      // 65536 x 32768 after downscaling
                      FitCase{2 * K64, 2 * K64, 0.5, false},  // 65536 x 65536
                      FitCase{K64, K64, NAN, false},          // NaN: full resolution
                      FitCase{std::size_t{1} << 40, 3, 0.0, true}));  // 2 x 2

struct SmallCase {
    std::size_t width, height;
    double scale;
    bool too_small;
};

class NoSegments : public ::testing::TestWithParam<SmallCase> {};

TEST_P(NoSegments, FewerThanThreeColumnsOrRowsBeforeOrAfterDownscaling) {
    const SmallCase c = GetParam();
    EXPECT_EQ(too_small_for_segments(c.width, c.height, c.scale), c.too_small);
}

// Downscaled sides are max(2, floor(scale x side)).
INSTANTIATE_TEST_SUITE_P(
    Sizes, NoSegments,
    ::testing::Values(SmallCase{3, 3, 1.0, false}, SmallCase{2, 3, 1.0, true},
                      SmallCase{3, 2, 1.0, true}, SmallCase{0, std::size_t{1} << 40, 1.0, true},
                      SmallCase{3, std::size_t{1} << 33, 0.5, true},   // 1.5 -> 2 columns
                      SmallCase{6, std::size_t{1} << 33, 0.5, false},  // 3 columns
                      SmallCase{10, 10, 0.2, true},                    // 2 x 2
                      SmallCase{10, 10, 0.3, false},                   // 3 x 3
                      SmallCase{3, 3, NAN, false},                     // NaN: full resolution
                      SmallCase{100, 100, -1.0, true}, SmallCase{100, 100, 0.0, true}));

std::vector<Segment> run(const std::vector<std::uint8_t>& img, std::size_t w, std::size_t h,
                         double scale) {
    auto result = detect(std::span<const std::uint8_t>(img), w, h, scale);
    EXPECT_TRUE(result.ok());
    return result.ok() ? result.value() : std::vector<Segment>{};
}

bool same_bits(const std::vector<Segment>& a, const std::vector<Segment>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Segment)) == 0);
}

TEST(Detect, WrongLengthFailsBeforeAnythingElse) {
    const std::vector<std::uint8_t> five(5);
    auto small = detect(std::span<const std::uint8_t>(five), 2, 3, 0.8);
    ASSERT_FALSE(small.ok());
    EXPECT_EQ(small.error(), (SizeMismatch{6, 5}));
    const std::vector<double> many(101);
    auto big = detect(std::span<const double>(many), 10, 10, 1.0);
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error(), (SizeMismatch{100, 101}));
}

struct TinyCase {
    std::size_t width, height;
    double scale;
};

class TinyImage : public ::testing::TestWithParam<TinyCase> {};

TEST_P(TinyImage, HasNoSegments) {
    // A checkerboard would have plenty of gradient if it were large enough.
    const TinyCase c = GetParam();
    std::vector<std::uint8_t> img(c.width * c.height);
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = ((i % c.width + i / c.width) % 2) * 255;
    EXPECT_TRUE(run(img, c.width, c.height, c.scale).empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, TinyImage,
                         ::testing::Values(TinyCase{2, 100, 1.0}, TinyCase{100, 2, 1.0},
                                           TinyCase{0, 5, 1.0}, TinyCase{10, 10, 0.2},
                                           TinyCase{100, 100, 0.0}, TinyCase{100, 100, -1.0},
                                           TinyCase{100, 100, 1e-300}, TinyCase{4, 100, 0.7}));

TEST(Detect, ConstantImageHasNoSegments) {
    const std::vector<std::uint8_t> img(50 * 40, 77);
    EXPECT_TRUE(run(img, 50, 40, 1.0).empty());
    EXPECT_TRUE(run(img, 50, 40, 0.8).empty());
}

// An image with filled shapes of several contrasts over mild noise.
std::vector<std::uint8_t> shapes_image(std::size_t w, std::size_t h, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> img(w * h);
    for (auto& v : img) v = static_cast<std::uint8_t>(100 + rng() % 9);
    for (int s = 0; s < 12; ++s) {
        const double cx = rng() % w, cy = rng() % h, a = (rng() % 628) / 100.0;
        const double half_l = 5 + rng() % (w / 3), half_w = 2 + rng() % 12;
        const int level = static_cast<int>(rng() % 256);
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x) {
                const double u = (x - cx) * std::cos(a) + (y - cy) * std::sin(a);
                const double v = -(x - cx) * std::sin(a) + (y - cy) * std::cos(a);
                if (std::fabs(u) <= half_l && std::fabs(v) <= half_w) img[y * w + x] = static_cast<std::uint8_t>(level);
            }
    }
    return img;
}

class SampleTypes : public ::testing::TestWithParam<double> {};

TEST_P(SampleTypes, SixteenBitAndFloatImagesOfTheSameValuesGiveTheSameSegments) {
    const double scale = GetParam();
    const std::size_t w = 160, h = 120;
    const auto u8 = shapes_image(w, h, 17);
    std::vector<std::uint16_t> u16(u8.size());
    std::vector<float> f32(u8.size());
    std::vector<double> f64(u8.size());
    for (std::size_t i = 0; i < u8.size(); ++i) {
        u16[i] = static_cast<std::uint16_t>(u8[i] * 257);
        f32[i] = u8[i];
        f64[i] = u8[i];
    }
    const auto a = run(u8, w, h, scale);
    ASSERT_FALSE(a.empty());
    EXPECT_TRUE(same_bits(a, detect(std::span<const std::uint16_t>(u16), w, h, scale).value()));
    EXPECT_TRUE(same_bits(a, detect(std::span<const float>(f32), w, h, scale).value()));
    EXPECT_TRUE(same_bits(a, detect(std::span<const double>(f64), w, h, scale).value()));
}

INSTANTIATE_TEST_SUITE_P(Scales, SampleTypes, ::testing::Values(1.0, 0.8, 0.5));

TEST(Detect, ScaleOfOneOrMoreOrNaNIsFullResolution) {
    const auto img = shapes_image(90, 70, 4);
    const auto full = run(img, 90, 70, 1.0);
    ASSERT_FALSE(full.empty());
    EXPECT_TRUE(same_bits(full, run(img, 90, 70, 3.5)));
    EXPECT_TRUE(same_bits(full, run(img, 90, 70, std::numeric_limits<double>::quiet_NaN())));
}

TEST(Detect, RepeatedRunsAgreeToTheBit) {
    const auto img = shapes_image(300, 200, 8);
    const auto first = run(img, 300, 200, 0.8);
    ASSERT_FALSE(first.empty());
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(same_bits(first, run(img, 300, 200, 0.8)));
}

class SegmentProperties : public ::testing::TestWithParam<double> {};

TEST_P(SegmentProperties, AreValidatedAndLongestFirst) {
    const auto img = shapes_image(240, 180, 99);
    const auto segments = run(img, 240, 180, GetParam());
    ASSERT_GT(segments.size(), 3u);
    const double factor = GetParam() < 1 ? 1 / GetParam() : 1.0;
    double previous = std::numeric_limits<double>::infinity();
    for (const Segment& s : segments) {
        EXPECT_GT(s.log_nfa, 0.0);
        EXPECT_LE(s.precision, 0.125);
        const double halvings = std::log2(0.125 / s.precision);
        EXPECT_EQ(halvings, std::round(halvings));
        EXPECT_GE(s.width, 0.5 * factor);  // no rectangle is narrower than 0.5
        const double length = std::hypot(s.x2 - s.x1, s.y2 - s.y1);
        EXPECT_LE(length, previous);
        previous = length;
        for (double v : {s.x1, s.x2}) EXPECT_TRUE(v >= 0 && v <= 240) << v;
        for (double v : {s.y1, s.y2}) EXPECT_TRUE(v >= 0 && v <= 180) << v;
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, SegmentProperties, ::testing::Values(1.0, 0.8, 0.6));

struct EdgeCase {
    const char* name;
    double scale;
    // The edge is the line through (px, py) along (ux, uy), in input coordinates
    // (pixel centres at +0.5); pixels are shaded by the part of them on its
    // bright side, so a slanted edge is not a staircase.
    double px, py, ux, uy;
    double length;
};

class StraightEdge : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(StraightEdge, YieldsASegmentAlongIt) {
    const EdgeCase c = GetParam();
    const int n = 80;
    const double norm = std::hypot(c.ux, c.uy);
    auto signed_distance = [&](double x, double y) {
        return ((x - c.px) * c.uy - (y - c.py) * c.ux) / norm;
    };
    std::vector<std::uint8_t> img(n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double cover = std::clamp(0.5 + signed_distance(x + 0.5, y + 0.5), 0.0, 1.0);
            img[y * n + x] = static_cast<std::uint8_t>(std::lround(20 + 180 * cover));
        }
    const auto segments = run(img, n, n, c.scale);
    const double slack = c.scale < 1 ? 1.5 : 1.0;
    bool found = false;
    for (const Segment& s : segments) {
        if (std::fabs(signed_distance(s.x1, s.y1)) > slack || std::fabs(signed_distance(s.x2, s.y2)) > slack)
            continue;
        if (std::hypot(s.x2 - s.x1, s.y2 - s.y1) < 0.7 * c.length) continue;
        EXPECT_LE(s.precision, 0.125);
        EXPECT_GT(s.log_nfa, 0.0);
        found = true;
    }
    EXPECT_TRUE(found) << c.name << ": " << segments.size() << " segments";
}

INSTANTIATE_TEST_SUITE_P(
    Edges, StraightEdge,
    ::testing::Values(EdgeCase{"vertical", 1.0, 40, 0, 0, 1, 80},
                      EdgeCase{"horizontal", 1.0, 0, 30, 1, 0, 80},
                      EdgeCase{"diagonal", 1.0, 5.5, 0, 1, 1, 100},
                      EdgeCase{"steep", 1.0, 30.2, 0, 1, 3, 80},
                      EdgeCase{"shallow", 1.0, 0, 17.3, 5, -1, 80},
                      EdgeCase{"vertical scaled", 0.8, 40, 0, 0, 1, 80},
                      EdgeCase{"steep scaled", 0.8, 30.2, 0, 1, 3, 80},
                      EdgeCase{"diagonal scaled", 0.8, 5.5, 0, 1, 1, 100}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (ch == ' ') ch = '_';
        return name;
    });

TEST(Detect, EqualLengthsKeepTheSeedOrder) {
    // Two equal squares 16 columns apart, both inside columns 32..63 so that
    // every coordinate of the right one is the left one's plus 16 exactly. Seeds
    // of equal strength come row-major, left square first, so of two equal
    // segments the left one is found, and listed, first.
    const std::size_t w = 80, h = 40;
    std::vector<std::uint8_t> img(w * h, 10);
    for (std::size_t y = 10; y < 30; ++y)
        for (std::size_t x = 0; x < 12; ++x) {
            img[y * w + 34 + x] = 250;
            img[y * w + 50 + x] = 250;
        }
    const auto segments = run(img, w, h, 1.0);
    int pairs = 0;
    for (std::size_t i = 0; i < segments.size(); ++i)
        for (std::size_t j = 0; j < segments.size(); ++j) {
            const Segment& a = segments[i];
            const Segment& b = segments[j];
            if (b.x1 == a.x1 + 16 && b.x2 == a.x2 + 16 && b.y1 == a.y1 && b.y2 == a.y2) {
                ++pairs;
                EXPECT_LT(i, j);
            }
        }
    EXPECT_GE(pairs, 2);
}

// The stages one after another on one thread: the seed loop to its end, then
// each rectangle improved in turn, the validated ones longest first.
std::vector<Segment> stage_by_stage(const std::vector<std::uint8_t>& img, std::uint32_t w,
                                    std::uint32_t h) {
    LevelLines lines = level_lines(std::span<const std::uint8_t>(img), w, h, GRAD_THRESHOLD);
    std::span<std::uint8_t> used(lines.used.data(), lines.used.size());
    const double nt = log_nt(w, h);
    const std::uint32_t min_size = min_reg_size(nt);
    std::vector<Rect> found;
    std::vector<std::uint32_t> region;
    for (std::uint32_t seed : lines.seeds) {
        if (used[seed] != 0) continue;
        const double angle = grow_region(seed, lines.field, used, region, w, h, ANGLE_TOLERANCE);
        if (region.size() < min_size) continue;
        Rect rect = region_to_rect(region, lines.field, w, angle, P_ALIGNED);
        if (refine(region, rect, used, lines.field, min_size, w, h)) found.push_back(rect);
    }
    std::vector<Segment> segments;
    for (Rect& rect : found) {
        const double value = improve_rect(rect, lines.field, w, h, GRAD_THRESHOLD, nt);
        if (value > 0.0)
            segments.push_back(Segment{rect.x1 + 0.5, rect.y1 + 0.5, rect.x2 + 0.5, rect.y2 + 0.5,
                                       rect.width, rect.p, value});
    }
    std::stable_sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
        return std::hypot(a.x2 - a.x1, a.y2 - a.y1) > std::hypot(b.x2 - b.x1, b.y2 - b.y1);
    });
    return segments;
}

TEST(Detect, EqualsTheStagesRunOneAfterAnother) {
    // A tile of 24 x 24 pixels per square of random grey on a slightly noisy ground:
    // hundreds of short edges, so that rectangles are improved while the seed
    // loop is still finding more.
    const std::size_t w = 480, h = 360;
    std::mt19937 rng(5);
    std::vector<std::uint8_t> img(w * h);
    for (auto& v : img) v = static_cast<std::uint8_t>(100 + rng() % 9);
    for (std::size_t ty = 0; ty < h / 24; ++ty)
        for (std::size_t tx = 0; tx < w / 24; ++tx) {
            const auto level = static_cast<std::uint8_t>(rng() % 256);
            for (std::size_t y = 4; y < 20; ++y)
                for (std::size_t x = 4; x < 20; ++x) img[(ty * 24 + y) * w + tx * 24 + x] = level;
        }
    const auto expected = stage_by_stage(img, w, h);
    ASSERT_GT(expected.size(), 200u);
    EXPECT_TRUE(same_bits(expected, run(img, w, h, 1.0)));

    const auto shapes = shapes_image(200, 150, 3);
    const auto shape_segments = stage_by_stage(shapes, 200, 150);
    ASSERT_FALSE(shape_segments.empty());
    EXPECT_TRUE(same_bits(shape_segments, run(shapes, 200, 150, 1.0)));
}

}  // namespace
}  // namespace vantrell::detector
