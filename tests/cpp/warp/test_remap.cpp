// The coordinate-map remap.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "images.hpp"
#include "warp/remap.hpp"

namespace vantrell::warp {
namespace {

using testing::Image;
using testing::Variant;

struct Maps {
    std::size_t w;
    std::size_t h;
    std::vector<float> x;
    std::vector<float> y;
};

Maps identity_maps(std::size_t w, std::size_t h) {
    Maps m{w, h, {}, {}};
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            m.x.push_back(static_cast<float>(x));
            m.y.push_back(static_cast<float>(y));
        }
    return m;
}

Maps constant_maps(std::size_t w, std::size_t h, float x, float y) {
    return Maps{w, h, std::vector<float>(w * h, x), std::vector<float>(w * h, y)};
}

template <class T, int C>
std::optional<SizeMismatch> remap_typed(const Image& src, const Maps& m, Filter filter, std::uint32_t fill,
                                        Image& out) {
    const std::vector<T> source = testing::as<T>(src.samples);
    std::vector<T> result(m.w * m.h * C, static_cast<T>(fill));
    const auto error = remap<T, C>(source, src.w, src.h, m.x, m.y, m.w, m.h, filter, result);
    out = Image{src.bits, C, m.w, m.h, std::vector<std::uint32_t>(result.begin(), result.end())};
    return error;
}

// The output of one remap call over a buffer of the maps' size that holds
// `fill` in every sample beforehand (0 unless a test says otherwise).
Image run_remap(const Image& src, const Maps& m, Filter filter, std::uint32_t fill = 0) {
    Image out;
    std::optional<SizeMismatch> error;
    if (src.bits == 8)
        error = src.channels == 1 ? remap_typed<std::uint8_t, 1>(src, m, filter, fill, out)
                                  : remap_typed<std::uint8_t, 3>(src, m, filter, fill, out);
    else
        error = src.channels == 1 ? remap_typed<std::uint16_t, 1>(src, m, filter, fill, out)
                                  : remap_typed<std::uint16_t, 3>(src, m, filter, fill, out);
    EXPECT_FALSE(error.has_value());
    return out;
}

class Remap : public ::testing::TestWithParam<Variant> {
protected:
    Image image(std::size_t w, std::size_t h) const {
        return testing::pattern_image(GetParam().bits, GetParam().channels, w, h, 3);
    }
    Image run(const Image& src, const Maps& m) const { return run_remap(src, m, GetParam().filter); }
};

TEST_P(Remap, IdentityMapsReproduceTheSource) {
    // Tall enough for several rows per worker, wide enough for several runs
    // of positions per row.
    const Image src = image(150, 37);
    EXPECT_EQ(run(src, identity_maps(src.w, src.h)).samples, src.samples);
}

TEST_P(Remap, OutputTakesTheMapsSize) {
    // A 3 x 2 output picking pixels of a 9 x 8 source; positions beyond the
    // border leave 0, the border itself is inside.
    const Image src = image(9, 8);
    const Maps m{3, 2, {4.0f, 8.5f, 8.6f, -0.5f, -0.6f, 0.0f}, {1.0f, 7.0f, 7.0f, 7.5f, 0.0f, 7.6f}};
    const Image out = run(src, m);
    ASSERT_EQ(out.samples.size(), 3u * 2u * static_cast<std::size_t>(src.channels));
    const std::vector<std::uint32_t> zero(static_cast<std::size_t>(src.channels), 0);
    EXPECT_EQ(testing::pixel(out, 0, 0), testing::pixel(src, 4, 1));
    EXPECT_EQ(testing::pixel(out, 2, 0), zero);
    EXPECT_EQ(testing::pixel(out, 1, 1), zero);
    EXPECT_EQ(testing::pixel(out, 2, 1), zero);
    if (GetParam().filter == Filter::Bilinear) {
        // At the border the edge pixel holds.
        EXPECT_EQ(testing::pixel(out, 1, 0), testing::pixel(src, 8, 7));
        EXPECT_EQ(testing::pixel(out, 0, 1), testing::pixel(src, 0, 7));
    }
}

TEST_P(Remap, EmptySourceLeavesZeros) {
    const Image src = image(0, 5);
    const Maps m = constant_maps(4, 3, -0.5f, -0.5f);
    EXPECT_EQ(run(src, m).samples, std::vector<std::uint32_t>(4 * 3 * static_cast<std::size_t>(src.channels), 0));
    Maps nan = constant_maps(4, 3, std::nanf(""), std::nanf(""));
    EXPECT_EQ(run(src, nan).samples, std::vector<std::uint32_t>(4 * 3 * static_cast<std::size_t>(src.channels), 0));
}

TEST_P(Remap, EveryOutputSampleIsWritten) {
    // The output buffer may hold anything on entry: a garbage-filled one comes
    // back exactly as a zero-filled one does. The maps mix inside positions
    // with positions beyond every border, a hair past them, infinities and
    // NaN, over several rows and runs of positions.
    const float inf = std::numeric_limits<float>::infinity();
    const float odd[] = {-0.6f, 9.6f, -100.0f, 1e30f, -inf, inf, std::nanf(""), -0.5f, 8.5f,
                         std::nextafter(-0.5f, -1.0f)};
    Maps m{70, 5, {}, {}};
    for (std::size_t i = 0; i < m.w * m.h; ++i) {
        const bool x_odd = i % 3 == 0, y_odd = i % 7 == 2;
        m.x.push_back(x_odd ? odd[i % 10] : static_cast<float>(i % 9) + 0.25f);
        m.y.push_back(y_odd ? odd[(i / 7) % 10] : static_cast<float>(i % 8) * 0.9f);
    }
    // Whole rows outside, and a whole run of four outside within a row.
    for (std::size_t x = 0; x < m.w; ++x) m.y[2 * m.w + x] = 50.0f;
    for (std::size_t x = 8; x < 12; ++x) m.x[3 * m.w + x] = -3.0f;
    const std::uint32_t garbage = testing::sample_max(GetParam().bits) - 17;
    for (const Image& src : {image(9, 9), image(0, 4), image(1, 1)}) {
        const Image zeroed = run_remap(src, m, GetParam().filter, 0);
        const Image dirty = run_remap(src, m, GetParam().filter, garbage);
        EXPECT_EQ(dirty.samples, zeroed.samples) << "source " << src.w << "x" << src.h;
    }
}

TEST_P(Remap, EmptyOutputIsFine) {
    const Image src = image(4, 4);
    EXPECT_TRUE(run(src, constant_maps(0, 5, 1.0f, 1.0f)).samples.empty());
    EXPECT_TRUE(run(src, constant_maps(5, 0, 1.0f, 1.0f)).samples.empty());
}

INSTANTIATE_TEST_SUITE_P(AllInstances, Remap, ::testing::ValuesIn(testing::all_variants()),
                         [](const auto& info) { return testing::variant_name(info.param); });

TEST(RemapBilinear, ConstantMapGivesTheMeanOfTwoPixels) {
    // (2.5, 0): weights 0.5 and 0.5 on pixels (2, 0) and (3, 0), exact, then
    // rounded half up: (a + b + 1) / 2 in integers.
    for (int bits : {8, 16})
        for (int channels : {1, 3}) {
            const Image src = testing::pattern_image(bits, channels, 6, 4, 11);
            const Image out = run_remap(src, constant_maps(7, 5, 2.5f, 0.0f), Filter::Bilinear);
            std::vector<std::uint32_t> mean;
            for (int c = 0; c < channels; ++c) mean.push_back((src.at(2, 0, c) + src.at(3, 0, c) + 1) / 2);
            for (std::size_t y = 0; y < out.h; ++y)
                for (std::size_t x = 0; x < out.w; ++x) ASSERT_EQ(testing::pixel(out, x, y), mean);
        }
}

TEST(RemapBilinear, NanMapValuesStoreZero) {
    const Image src = testing::pattern_image(8, 3, 6, 4, 11);
    const Maps m{2, 1, {std::nanf(""), 1.0f}, {1.0f, std::nanf("")}};
    EXPECT_EQ(run_remap(src, m, Filter::Bilinear).samples, std::vector<std::uint32_t>(6, 0));
}

// ---- size checks ----

struct Lengths {
    std::size_t source, map_x, map_y, out;
};

std::optional<SizeMismatch> remap_with_lengths(const Lengths& n) {
    // A 4 x 3 RGB source and 5 x 2 maps when every length is right.
    const std::vector<std::uint8_t> source(n.source, 1);
    const std::vector<float> map_x(n.map_x, 0.0f);
    const std::vector<float> map_y(n.map_y, 0.0f);
    std::vector<std::uint8_t> out(n.out, 0);
    return remap<std::uint8_t, 3>(source, 4, 3, map_x, map_y, 5, 2, Filter::Bilinear, out);
}

struct SizeCase {
    const char* name;
    Lengths lengths;
    std::optional<SizeMismatch> expected;
};

class RemapSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RemapSizes, FirstWrongLengthIsReported) {
    EXPECT_EQ(remap_with_lengths(GetParam().lengths), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemapSizes,
    ::testing::Values(SizeCase{"AllRight", {36, 10, 10, 30}, std::nullopt},
                      SizeCase{"SourceOneShort", {35, 10, 10, 30}, SizeMismatch{36, 35}},
                      SizeCase{"MapXLong", {36, 11, 10, 30}, SizeMismatch{10, 11}},
                      SizeCase{"MapYOneLonger", {36, 10, 11, 30}, SizeMismatch{10, 11}},
                      SizeCase{"OutShort", {36, 10, 10, 29}, SizeMismatch{30, 29}},
                      SizeCase{"SourceBeforeMaps", {37, 9, 8, 0}, SizeMismatch{36, 37}},
                      SizeCase{"MapXBeforeMapY", {36, 9, 8, 0}, SizeMismatch{10, 9}},
                      SizeCase{"MapYBeforeOut", {36, 10, 0, 0}, SizeMismatch{10, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RemapSizes, NothingIsWrittenOnMismatch) {
    const std::vector<std::uint16_t> source(5, 9);  // 2 x 3 gray needs 6
    const std::vector<float> maps(4, 0.0f);
    std::vector<std::uint16_t> out(4, 42);
    EXPECT_EQ((remap<std::uint16_t, 1>(source, 2, 3, maps, maps, 2, 2, Filter::Lanczos3, out)),
              (SizeMismatch{6, 5}));
    EXPECT_EQ(out, std::vector<std::uint16_t>(4, 42));
}

TEST(RemapSizes, OverflowingDimensionsMatchNoBuffer) {
    const std::vector<std::uint8_t> source(3, 0);
    const std::vector<float> maps(1, 0.0f);
    std::vector<std::uint8_t> out(3, 0);
    const std::size_t huge = std::size_t{1} << 62;
    const auto error = remap<std::uint8_t, 3>(source, huge, 8, maps, maps, 1, 1, Filter::Bilinear, out);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->got, 3u);
    EXPECT_NE(error->expected, 3u);
}

}  // namespace
}  // namespace vantrell::warp
