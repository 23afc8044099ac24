// The perspective warp.
#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "images.hpp"
#include "warp/perspective.hpp"

namespace vantrell::warp {
namespace {

using testing::Image;

constexpr std::array<double, 9> IDENTITY = {1, 0, 0, 0, 1, 0, 0, 0, 1};

struct View {
    std::array<double, 9> inverse = IDENTITY;
    double scale = 1.0;
    double off_x = 0.0;
    double off_y = 0.0;
};

// The output of one warp over a buffer that holds `fill` in every sample
// beforehand (0 unless a test says otherwise).
template <class T>
Image warp_typed(const Image& src, std::size_t out_w, std::size_t out_h, const View& v, Filter filter,
                 std::uint32_t fill) {
    const std::vector<T> source = testing::as<T>(src.samples);
    std::vector<T> out(out_w * out_h * 3, static_cast<T>(fill));
    EXPECT_FALSE(warp_rgb<T>(source, src.w, src.h, out_w, out_h, v.inverse, v.scale, v.off_x, v.off_y,
                             filter, out)
                     .has_value());
    return Image{src.bits, 3, out_w, out_h, std::vector<std::uint32_t>(out.begin(), out.end())};
}

Image run_warp(const Image& src, std::size_t out_w, std::size_t out_h, const View& v, Filter filter,
               std::uint32_t fill = 0) {
    return src.bits == 8 ? warp_typed<std::uint8_t>(src, out_w, out_h, v, filter, fill)
                         : warp_typed<std::uint16_t>(src, out_w, out_h, v, filter, fill);
}

struct Case {
    int bits;
    Filter filter;
};

class Warp : public ::testing::TestWithParam<Case> {
protected:
    Image image(std::size_t w, std::size_t h) const { return testing::pattern_image(GetParam().bits, 3, w, h, 5); }
    Image run(const Image& src, std::size_t out_w, std::size_t out_h, const View& v) const {
        return run_warp(src, out_w, out_h, v, GetParam().filter);
    }
};

TEST_P(Warp, IdentityReproducesTheSource) {
    const Image src = image(131, 29);
    EXPECT_EQ(run(src, src.w, src.h, View{}).samples, src.samples);
}

TEST_P(Warp, WideRowsReproduceTheSource) {
    // Rows wider than a worker keeps plane columns for.
    const Image src = image(4200, 2);
    EXPECT_EQ(run(src, src.w, src.h, View{}).samples, src.samples);
}

TEST_P(Warp, NegatedMatrixWithNegativeWeightEqualsIdentity) {
    // (-X, -Y, -1) divides to (X, Y): negative denominators are used as they are.
    const Image src = image(23, 17);
    View negated;
    negated.inverse = {-1, 0, 0, 0, -1, 0, 0, 0, -1};
    negated.scale = 1.25;
    negated.off_x = 1.5;
    View plain = negated;
    plain.inverse = IDENTITY;
    EXPECT_EQ(run(src, 20, 15, negated).samples, run(src, 20, 15, plain).samples);
}

TEST_P(Warp, ZeroBottomRowLeavesEverythingZero) {
    // Every denominator is exactly 0: every pixel is skipped, whatever the
    // filter would make of the (infinite or NaN) quotients.
    const Image src = image(12, 9);
    View v;
    v.inverse = {1, 0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(run(src, 12, 9, v).samples, std::vector<std::uint32_t>(12 * 9 * 3, 0));
}

TEST_P(Warp, OffsetShiftsColumns) {
    // Output column x samples source column x + 10 exactly; columns that land
    // beyond w - 0.5 stay 0.
    const Image src = image(25, 6);
    View v;
    v.off_x = 10;
    const Image out = run(src, src.w, src.h, v);
    for (std::size_t y = 0; y < src.h; ++y)
        for (std::size_t x = 0; x < src.w; ++x)
            EXPECT_EQ(testing::pixel(out, x, y),
                      x + 10 < src.w ? testing::pixel(src, x + 10, y) : std::vector<std::uint32_t>(3, 0))
                << x << ", " << y;
}

TEST_P(Warp, ScaleTwoHitsEverySourcePixelAtEvenOutputs) {
    const Image src = image(15, 11);
    View v;
    v.scale = 2.0;
    const Image out = run(src, 2 * src.w, 2 * src.h, v);
    for (std::size_t y = 0; y < src.h; ++y)
        for (std::size_t x = 0; x < src.w; ++x)
            ASSERT_EQ(testing::pixel(out, 2 * x, 2 * y), testing::pixel(src, x, y)) << x << ", " << y;
}

TEST_P(Warp, EveryOutputSampleIsWritten) {
    // The output buffer may hold anything on entry: a garbage-filled one comes
    // back exactly as a zero-filled one does, for views that put part of the
    // output beyond the source, that make every denominator 0, that tilt the
    // plane so that one side's denominators change sign, and for an empty
    // source.
    const std::uint32_t garbage = testing::sample_max(GetParam().bits) - 17;
    View shifted;
    shifted.off_x = 10.5;
    shifted.off_y = -3.25;
    shifted.scale = 0.8;
    View skipped;
    skipped.inverse = {1, 0, 0, 0, 1, 0, 0, 0, 0};
    View tilted;
    tilted.inverse = {1, 0.1, 0, -0.05, 1, 0, 0.04, 0.01, -0.5};
    for (const Image& src : {image(23, 17), image(0, 3), image(1, 1)}) {
        for (const View& v : {shifted, skipped, tilted}) {
            const Image zeroed = run(src, 70, 9, v);
            const Image dirty = run_warp(src, 70, 9, v, GetParam().filter, garbage);
            EXPECT_EQ(dirty.samples, zeroed.samples) << "source " << src.w << "x" << src.h;
        }
    }
}

TEST_P(Warp, EmptyOutputOrSourceIsFine) {
    EXPECT_TRUE(run(image(5, 5), 7, 0, View{}).samples.empty());
    EXPECT_TRUE(run(image(5, 5), 0, 7, View{}).samples.empty());
    EXPECT_EQ(run(image(0, 5), 4, 4, View{}).samples, std::vector<std::uint32_t>(4 * 4 * 3, 0));
}

INSTANTIATE_TEST_SUITE_P(AllInstances, Warp,
                         ::testing::Values(Case{8, Filter::Bilinear}, Case{16, Filter::Bilinear},
                                           Case{8, Filter::Lanczos3}, Case{16, Filter::Lanczos3}),
                         [](const auto& info) {
                             return std::string(info.param.filter == Filter::Bilinear ? "Bilinear" : "Lanczos3") +
                                    "_u" + std::to_string(info.param.bits);
                         });

TEST(WarpBilinear, ScaleTwoAveragesNeighbours) {
    // Output (1, 0) samples (0.5, 0): the rounded-half-up mean of source
    // pixels (0, 0) and (1, 0); output (1, 1) the quarter-weighted four.
    for (int bits : {8, 16}) {
        const Image src = testing::pattern_image(bits, 3, 6, 5, 8);
        View v;
        v.scale = 2.0;
        const Image out = run_warp(src, 12, 10, v, Filter::Bilinear);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(out.at(1, 0, c), (src.at(0, 0, c) + src.at(1, 0, c) + 1) / 2);
            // 0.25 * (a + b + d + e), each product exact: (sum + 2) / 4.
            const std::uint32_t sum = src.at(0, 0, c) + src.at(1, 0, c) + src.at(0, 1, c) + src.at(1, 1, c);
            EXPECT_EQ(out.at(1, 1, c), (sum + 2) / 4);
        }
    }
}

TEST(WarpSizes, SourceThenOutput) {
    const std::vector<std::uint8_t> good(4 * 3 * 3, 0);
    const std::vector<std::uint8_t> short_source(4 * 3 * 3 - 1, 0);
    std::vector<std::uint8_t> out(2 * 2 * 3, 9);
    std::vector<std::uint8_t> long_out(2 * 2 * 3 + 1, 9);
    EXPECT_EQ(warp_rgb<std::uint8_t>(short_source, 4, 3, 2, 2, IDENTITY, 1, 0, 0, Filter::Bilinear, long_out),
              (SizeMismatch{36, 35}));
    EXPECT_EQ(warp_rgb<std::uint8_t>(good, 4, 3, 2, 2, IDENTITY, 1, 0, 0, Filter::Bilinear, long_out),
              (SizeMismatch{12, 13}));
    EXPECT_EQ(long_out, std::vector<std::uint8_t>(13, 9));
    EXPECT_EQ(warp_rgb<std::uint8_t>(good, 4, 3, 2, 2, IDENTITY, 1, 0, 0, Filter::Lanczos3, out), std::nullopt);
}

}  // namespace
}  // namespace vantrell::warp
