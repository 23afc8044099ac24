#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "detector/downscale.hpp"
#include "sample/sample.hpp"

namespace vantrell::detector {
namespace {

TEST(GaussianKernel, DefaultScaleHasSevenWeightsOfSigmaThreeQuarters) {
    // 0.6 / 0.8 rounds to 0.7499999999999999; r = ceil(0.75 x 3.7169...) = ceil(2.79) = 3.
    EXPECT_EQ(0.6 / 0.8, 0.7499999999999999);
    const std::vector<double> k = gaussian_kernel(0.8);
    ASSERT_EQ(k.size(), 7u);
    // Neighbouring weights of a Gaussian differ by exp((2i + 1) / (2 sigma^2)).
    const double sigma = 0.75;
    EXPECT_NEAR(k[3] / k[2], std::exp(1.0 / (2 * sigma * sigma)), 1e-12);
    EXPECT_NEAR(k[2] / k[1], std::exp(3.0 / (2 * sigma * sigma)), 1e-11);
    // At the radius the Gaussian has fallen below 1e-3 of its peak, one step
    // inside it has not.
    EXPECT_LT(k[0] / k[3], 1e-3);
    EXPECT_GT(k[1] / k[3], 1e-3);
}

struct KernelCase {
    double scale;
    std::size_t taps;
};

class KernelSize : public ::testing::TestWithParam<KernelCase> {};

TEST_P(KernelSize, IsSymmetricNormalisedAndSizedByTheRadiusRule) {
    const auto [scale, taps] = GetParam();
    const std::vector<double> k = gaussian_kernel(scale);
    ASSERT_EQ(k.size(), taps);
    double sum = 0.0;
    for (std::size_t i = 0; i < taps; ++i) {
        EXPECT_EQ(k[i], k[taps - 1 - i]) << i;
        sum += k[i];
    }
    EXPECT_NEAR(sum, 1.0, 1e-14);
    EXPECT_TRUE(std::is_sorted(k.begin(), k.begin() + taps / 2 + 1));
}

// sigma = 0.6 / scale and r = ceil(3.7169 sigma): 0.5 -> 1.2 -> 4.46 -> 5;
// 0.25 -> 2.4 -> 8.92 -> 9; 0.2 -> 2.9999999999999996 -> 11.15 -> 12.
INSTANTIATE_TEST_SUITE_P(Scales, KernelSize,
                         ::testing::Values(KernelCase{0.8, 7}, KernelCase{0.5, 11},
                                           KernelCase{0.25, 19}, KernelCase{0.2, 25},
                                           KernelCase{0.99, 7}));

TEST(GaussianKernel, CannotBeBuiltForZeroOrVanishingScale) {
    EXPECT_TRUE(gaussian_kernel(0.0).empty());    // sigma is infinite
    EXPECT_TRUE(gaussian_kernel(1e-9).empty());   // r = 2.2e9: 2r + 1 exceeds 32 bits
    EXPECT_TRUE(gaussian_kernel(1e-300).empty());
}

struct SizeCase {
    std::size_t width, height;
    double scale;
    std::uint64_t out_width, out_height;
};

class OutputSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(OutputSize, FloorsTheScaledSidesAndNeverGoesBelowTwo) {
    const SizeCase c = GetParam();
    const ImageSize s = downscaled_size(c.width, c.height, c.scale);
    EXPECT_EQ(s.width, c.out_width);
    EXPECT_EQ(s.height, c.out_height);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputSize,
    ::testing::Values(SizeCase{640, 480, 0.8, 512, 384},  // the default request
                      SizeCase{9, 9, 0.8, 7, 7},          // floor(7.2), not round
                      SizeCase{10, 10, 0.2, 2, 2},        // floor(2.0)
                      SizeCase{10, 3, 0.5, 5, 2},         // floor(1.5) -> 1 -> 2
                      SizeCase{100, 100, 0.0, 2, 2}, SizeCase{100, 100, -0.5, 2, 2},
                      SizeCase{100, 100, NAN, 2, 2}));

// The smoothing as written out: full-resolution row pass from 0.0 with clamped
// columns, column pass from 0.0 with clamped rows, then the sampling.
std::vector<double> reference_downscale(const std::vector<double>& img, std::size_t w, std::size_t h,
                                        double scale, const std::vector<double>& k) {
    const long r = static_cast<long>(k.size() - 1) / 2;
    std::vector<double> rows(w * h, 0.0), smooth(w * h, 0.0);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            for (long i = 0; i <= 2 * r; ++i) {
                long sx = std::clamp<long>(static_cast<long>(x) + i - r, 0, static_cast<long>(w) - 1);
                rows[y * w + x] += k[i] * img[y * w + sx];
            }
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            for (long i = 0; i <= 2 * r; ++i) {
                long sy = std::clamp<long>(static_cast<long>(y) + i - r, 0, static_cast<long>(h) - 1);
                smooth[y * w + x] += k[i] * rows[sy * w + x];
            }
    const ImageSize s = downscaled_size(w, h, scale);
    std::vector<double> out;
    for (std::size_t y = 0; y < s.height; ++y) {
        std::size_t sy = std::min<std::size_t>(h - 1, saturating_cast<std::size_t>(y / scale));
        for (std::size_t x = 0; x < s.width; ++x) {
            std::size_t sx = std::min<std::size_t>(w - 1, saturating_cast<std::size_t>(x / scale));
            out.push_back(smooth[sy * w + sx]);
        }
    }
    return out;
}

struct ImageCase {
    std::size_t width, height;
    double scale;
};

class DownscaleImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(DownscaleImage, MatchesTheUnseparatedSumsToTheBit) {
    const auto [w, h, scale] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(w * 131 + h));
    std::uniform_real_distribution<double> value(-50.0, 300.0);
    std::vector<double> img(w * h);
    for (double& v : img) v = value(rng);
    img[0] = -0.0;  // 0.0 + (-0.0) stays +0.0 in a sum started at 0.0
    const std::vector<double> k = gaussian_kernel(scale);
    const Downscaled got = downscale(std::span<const double>(img), w, h, scale, k);
    const std::vector<double> want = reference_downscale(img, w, h, scale, k);
    ASSERT_EQ(got.image.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got.image[i]), std::bit_cast<std::uint64_t>(want[i]))
            << "pixel " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DownscaleImage,
                         ::testing::Values(ImageCase{37, 23, 0.8}, ImageCase{64, 48, 0.5},
                                           ImageCase{50, 41, 0.3}, ImageCase{10, 10, 0.2},
                                           ImageCase{5, 200, 0.9}, ImageCase{203, 31, 0.8}));

TEST(Downscale, KeepsAConstantImageConstant) {
    const std::vector<double> img(30 * 20, 100.0);
    const std::vector<double> k = gaussian_kernel(0.5);
    const Downscaled got = downscale(std::span<const double>(img), 30, 20, 0.5, k);
    EXPECT_EQ(got.width, 15u);
    EXPECT_EQ(got.height, 10u);
    for (double v : got.image) EXPECT_NEAR(v, 100.0, 1e-12);
}

TEST(Downscale, SamplesAreConvertedLikeTheWorkingImage) {
    // 16-bit samples 257 times the 8-bit ones, and floats of the same values,
    // give the same working values and so the same output.
    const std::size_t w = 21, h = 17;
    std::mt19937 rng(7);
    std::vector<std::uint8_t> u8(w * h);
    for (auto& v : u8) v = static_cast<std::uint8_t>(rng() & 0xff);
    std::vector<std::uint16_t> u16(w * h);
    std::vector<float> f32(w * h);
    for (std::size_t i = 0; i < u8.size(); ++i) {
        u16[i] = static_cast<std::uint16_t>(u8[i] * 257);
        f32[i] = static_cast<float>(u8[i]);
    }
    const std::vector<double> k = gaussian_kernel(0.8);
    const Downscaled a = downscale(std::span<const std::uint8_t>(u8), w, h, 0.8, k);
    const Downscaled b = downscale(std::span<const std::uint16_t>(u16), w, h, 0.8, k);
    const Downscaled c = downscale(std::span<const float>(f32), w, h, 0.8, k);
    EXPECT_TRUE(std::equal(a.image.begin(), a.image.end(), b.image.begin(), b.image.end()));
    EXPECT_TRUE(std::equal(a.image.begin(), a.image.end(), c.image.begin(), c.image.end()));
}

}  // namespace
}  // namespace vantrell::detector
