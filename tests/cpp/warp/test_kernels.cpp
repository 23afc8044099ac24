// The Lanczos-3 table and the two point samplers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "images.hpp"
#include "warp/kernels.hpp"

namespace vantrell::warp {
namespace {

using testing::Image;
using testing::pattern_image;
using testing::pixel;
using testing::sample;
using testing::Variant;

const Lanczos3Table& table() {
    static const Lanczos3Table t = lanczos3_table();
    return t;
}

// ---- Lanczos-3 table ----

TEST(Lanczos3Table, HasOneEntryPer1024thAndEnds) {
    EXPECT_EQ(table().size(), 1025u);
}

TEST(Lanczos3Table, SharedTableIsAFreshTableAndStaysPut) {
    // The process-wide table holds the same bits as one built on the spot,
    // and every call hands out the same one.
    const Lanczos3Table fresh = lanczos3_table();
    const Lanczos3Table& shared = lanczos3_weights();
    ASSERT_EQ(shared.size(), fresh.size());
    EXPECT_EQ(std::memcmp(shared.data(), fresh.data(), fresh.size() * sizeof(Lanczos3Weights)), 0);
    EXPECT_EQ(&lanczos3_weights(), &shared);
}

TEST(Lanczos3Table, EntryZeroIsThePixelItself) {
    const Lanczos3Weights& e = table()[0];
    EXPECT_EQ(e[2], 1.0);
    EXPECT_EQ(e[5], 0.0);  // distance 3: the kernel is exactly 0 there
    for (int k : {0, 1, 3, 4}) EXPECT_LT(std::fabs(e[k]), 1e-15) << "weight " << k;
}

TEST(Lanczos3Table, HalfwayEntryIsSymmetric) {
    const Lanczos3Weights& e = table()[512];
    for (int k = 0; k < 3; ++k) EXPECT_EQ(e[k], e[5 - k]) << "weight " << k;
    EXPECT_GT(e[2], 0.6);
    EXPECT_LT(e[2], 0.7);
    EXPECT_LT(e[1], 0.0);
    EXPECT_GT(e[0], 0.0);
    EXPECT_LT(e[0], std::fabs(e[1]));
}

TEST(Lanczos3Table, LastEntryIsEntryZeroOneTapLater) {
    const Lanczos3Weights& first = table()[0];
    const Lanczos3Weights& last = table()[1024];
    EXPECT_EQ(last[0], 0.0);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(last[k + 1], first[k]) << "weight " << k;
}

TEST(Lanczos3Table, MirrorEntriesAgreeUpToRounding) {
    // Offsets t and 1 - t see the same distances in reverse order; only the
    // normalising sums run in opposite orders.
    for (std::size_t i = 0; i <= 1024; ++i) {
        for (int k = 0; k < 6; ++k) {
            const double a = table()[i][k];
            const double b = table()[1024 - i][5 - k];
            EXPECT_NEAR(a, b, 4e-16) << "entry " << i << " weight " << k;
        }
    }
}

TEST(Lanczos3Table, EveryEntrySumsToOne) {
    for (std::size_t i = 0; i <= 1024; ++i) {
        double sum = 0.0;
        for (double v : table()[i]) sum += v;
        EXPECT_NEAR(sum, 1.0, 1e-15) << "entry " << i;
    }
}

TEST(Lanczos3Kernel, IsEvenOneAtZeroAndZeroFromThreeOn) {
    EXPECT_EQ(lanczos3(0.0), 1.0);
    for (double d : {3.0, 3.5, 100.0, std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(lanczos3(d), 0.0) << d;
        EXPECT_EQ(lanczos3(-d), 0.0) << d;
    }
    for (double d : {0.25, 0.5, 1.0, 1.7, 2.0, 2.999})
        EXPECT_EQ(lanczos3(d), lanczos3(-d)) << d;
    // Zeros of sin(pi d) at whole d are only nearly zero in floating point.
    EXPECT_LT(std::fabs(lanczos3(1.0)), 1e-15);
    EXPECT_LT(std::fabs(lanczos3(2.0)), 1e-15);
    // sinc(1/2) * sinc(1/6) = (2 / pi) * (sin(pi / 6) * 6 / pi) = 6 / pi^2.
    EXPECT_NEAR(lanczos3(0.5), 6.0 / (M_PI * M_PI), 1e-15);
}

// ---- samplers, every instance ----

class Samplers : public ::testing::TestWithParam<Variant> {
protected:
    Image image(std::size_t w, std::size_t h, std::uint32_t seed = 1) const {
        return pattern_image(GetParam().bits, GetParam().channels, w, h, seed);
    }
    std::vector<std::uint32_t> at(const Image& img, double x, double y, std::uint32_t fill = 0) const {
        return sample(img, GetParam().filter, table(), x, y, fill);
    }
    std::uint32_t max() const { return testing::sample_max(GetParam().bits); }
};

constexpr std::uint32_t UNTOUCHED = 77;

std::vector<std::uint32_t> untouched(int channels) {
    return std::vector<std::uint32_t>(static_cast<std::size_t>(channels), UNTOUCHED);
}

TEST_P(Samplers, PixelCentreReturnsThePixel) {
    const Image img = image(8, 7);
    for (std::size_t y = 0; y < img.h; ++y)
        for (std::size_t x = 0; x < img.w; ++x)
            EXPECT_EQ(at(img, double(x), double(y)), pixel(img, x, y)) << x << ", " << y;
}

TEST_P(Samplers, BordersAreInsideAHairBeyondIsNot) {
    const Image img = image(5, 4);
    const double right = 5 - 0.5;
    const double bottom = 4 - 0.5;
    for (auto [x, y] : {std::pair{-0.5, 1.0}, {right, 1.0}, {2.0, -0.5}, {2.0, bottom}, {-0.5, -0.5},
                        {right, bottom}})
        EXPECT_NE(at(img, x, y, UNTOUCHED), untouched(img.channels)) << x << ", " << y;
    const double inf = std::numeric_limits<double>::infinity();
    for (auto [x, y] : {std::pair{std::nextafter(-0.5, -inf), 1.0}, {std::nextafter(right, inf), 1.0},
                        {2.0, std::nextafter(-0.5, -inf)}, {2.0, std::nextafter(bottom, inf)}})
        EXPECT_EQ(at(img, x, y, UNTOUCHED), untouched(img.channels)) << x << ", " << y;
}

TEST_P(Samplers, InfinitiesAreOutside) {
    const Image img = image(5, 4);
    const double inf = std::numeric_limits<double>::infinity();
    for (auto [x, y] : {std::pair{inf, 1.0}, {-inf, 1.0}, {1.0, inf}, {1.0, -inf}, {inf, inf},
                        {std::nan(""), inf}})
        EXPECT_EQ(at(img, x, y, UNTOUCHED), untouched(img.channels)) << x << ", " << y;
}

TEST_P(Samplers, EmptyImageHasNothingInside) {
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{0, 3}, {3, 0}, {0, 0}}) {
        const Image img = image(w, h);
        for (auto [x, y] : {std::pair{-0.5, -0.5}, {0.0, 0.0}, {std::nan(""), std::nan("")}})
            EXPECT_EQ(at(img, x, y, UNTOUCHED), untouched(img.channels)) << w << "x" << h;
    }
}

TEST_P(Samplers, SinglePixelWideImageReadsColumnZero) {
    // Every tap of a one-column (one-row) image is column (row) 0, and the
    // weights of an axis sum to 1, so whole positions on the other axis
    // return the pixel itself.
    const Image column = image(1, 6);
    const Image row = image(6, 1);
    for (double t : {-0.5, -0.2, 0.0, 0.3, 0.5}) {
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(at(column, t, double(i)), pixel(column, 0, i)) << t << ", " << i;
            EXPECT_EQ(at(row, double(i), t), pixel(row, i, 0)) << i << ", " << t;
        }
    }
}

TEST_P(Samplers, ClampedTapsReadTheEdgePixel) {
    // Taps beyond an edge read the edge pixel: sampling near the border equals
    // sampling the same spot of a copy whose edges are replicated three pixels
    // outward, where all taps are inside and are read without clamping.
    const Image img = image(9, 7, 5);
    const std::size_t pad = 3;
    Image wide{img.bits, img.channels, img.w + 2 * pad, img.h + 2 * pad, {}};
    wide.samples.resize(wide.w * wide.h * static_cast<std::size_t>(img.channels));
    for (std::size_t y = 0; y < wide.h; ++y)
        for (std::size_t x = 0; x < wide.w; ++x)
            for (int c = 0; c < img.channels; ++c) {
                const std::size_t sx = std::min(std::max(x, pad) - pad, img.w - 1);
                const std::size_t sy = std::min(std::max(y, pad) - pad, img.h - 1);
                wide.at(x, y, c) = img.at(sx, sy, c);
            }
    // Dyadic fractions, so that adding the padding leaves them exact.
    for (double y : {-0.5, -0.3125, 0.0, 0.4375, 1.6875, 3.25, 5.5, 5.875, 6.5})
        for (double x : {-0.5, -0.125, 0.25, 1.5, 2.984375, 4.0, 7.1875, 7.75, 8.5})
            EXPECT_EQ(at(img, x, y), at(wide, x + pad, y + pad)) << x << ", " << y;
}

TEST_P(Samplers, NanCoordinate) {
    const Image img = image(8, 6);
    const double nan = std::nan("");
    const auto zeros = std::vector<std::uint32_t>(static_cast<std::size_t>(img.channels), 0);
    for (double v : {0.0, 2.3, 4.5}) {
        if (GetParam().filter == Filter::Bilinear) {
            // Every weight is NaN, and NaN stores 0.
            EXPECT_EQ(at(img, nan, v, UNTOUCHED), zeros) << v;
            EXPECT_EQ(at(img, v, nan, UNTOUCHED), zeros) << v;
        } else {
            // The NaN axis samples as coordinate 0.
            EXPECT_EQ(at(img, nan, v), at(img, 0.0, v)) << v;
            EXPECT_EQ(at(img, v, nan), at(img, v, 0.0)) << v;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllInstances, Samplers, ::testing::ValuesIn(testing::all_variants()),
                         [](const auto& info) { return testing::variant_name(info.param); });

// ---- filter-specific behaviour ----

TEST(SampleBilinear, HalfwayBetweenTenAndElevenStoresEleven) {
    // 0.5 * 10 + 0.5 * 11 = 10.5 exactly; the store rounds halves up.
    for (int bits : {8, 16}) {
        Image img{bits, 1, 2, 2, {10, 11, 10, 11}};
        EXPECT_EQ(sample(img, Filter::Bilinear, table(), 0.5, 0.0), std::vector<std::uint32_t>{11});
        Image col{bits, 1, 2, 2, {10, 10, 11, 11}};
        EXPECT_EQ(sample(col, Filter::Bilinear, table(), 1.0, 0.5), std::vector<std::uint32_t>{11});
    }
}

TEST(SampleBilinear, EdgePixelsHoldOutToTheBorder) {
    // Both taps of the axis clamp to the same pixel, whose weights sum to 1.
    const Image img = pattern_image(8, 3, 4, 3);
    for (double x : {-0.5, -0.37, -0.01, 0.0})
        EXPECT_EQ(sample(img, Filter::Bilinear, table(), x, 1.0), pixel(img, 0, 1)) << x;
    for (double x : {3.0, 3.1, 3.49, 3.5})
        EXPECT_EQ(sample(img, Filter::Bilinear, table(), x, 1.0), pixel(img, 3, 1)) << x;
    for (double y : {-0.5, -0.2, 2.25, 2.5})
        EXPECT_EQ(sample(img, Filter::Bilinear, table(), 2.0, y), pixel(img, 2, y < 0 ? 0 : 2)) << y;
}

TEST(SampleBilinear, QuarterWeightsOfFourPixels) {
    // At (0.5, 0.5) each weight is 0.25 exactly: the rounded-half-up mean.
    const Image img{16, 1, 2, 2, {1000, 2001, 3000, 4002}};
    // (1000 + 2001 + 3000 + 4002) / 4 = 2500.75 -> 2501.
    EXPECT_EQ(sample(img, Filter::Bilinear, table(), 0.5, 0.5), std::vector<std::uint32_t>{2501});
}

TEST(SampleLanczos3, RingingBesideAStepIsClamped) {
    // Columns 0..4 dark, 5..9 at the maximum. At x = 3.5 the taps are columns
    // 1..6 with the halfway weights; only the last two (one negative, one
    // small positive) see the bright side, so the unclamped value is
    // max * (w4 + w5) < 0. At x = 5.5 the taps are columns 3..8 and the value
    // is max * (1 - w0 - w1) > max up to rounding.
    const Lanczos3Weights& half = table()[512];
    ASSERT_LT(half[4] + half[5], 0.0);
    ASSERT_GT(-(half[0] + half[1]), 1e-3);
    for (int bits : {8, 16}) {
        const std::uint32_t max = testing::sample_max(bits);
        Image img{bits, 3, 10, 8, {}};
        for (std::size_t y = 0; y < img.h; ++y)
            for (std::size_t x = 0; x < img.w; ++x)
                for (int c = 0; c < 3; ++c) img.samples.push_back(x >= 5 ? max : 0);
        for (double y : {0.0, 3.0, 7.0}) {
            EXPECT_EQ(sample(img, Filter::Lanczos3, table(), 3.5, y, UNTOUCHED),
                      (std::vector<std::uint32_t>{0, 0, 0}));
            EXPECT_EQ(sample(img, Filter::Lanczos3, table(), 5.5, y), (std::vector<std::uint32_t>{max, max, max}));
        }
    }
}

TEST(SampleLanczos3, OffsetsRoundToTheNearestEntry) {
    // x = 2 + 0.3 / 1024 uses entry 0 (the pixel itself); 2 + 0.5 / 1024 is a
    // half, which rounds away from zero to entry 1: still within rounding of
    // the pixel here, so compare against a constant image instead, where
    // every entry gives the constant.
    const Image img = pattern_image(8, 3, 8, 8);
    EXPECT_EQ(sample(img, Filter::Lanczos3, table(), 3.0 + 0.3 / 1024, 4.0), pixel(img, 3, 4));
    Image flat{16, 1, 8, 8, std::vector<std::uint32_t>(64, 40000)};
    for (double f : {0.0, 0.5 / 1024, 0.25, 0.5, 1023.5 / 1024})
        EXPECT_EQ(sample(flat, Filter::Lanczos3, table(), 3.0 + f, 4.0 - f), std::vector<std::uint32_t>{40000}) << f;
}

struct EntryCase {
    double offset;
    std::size_t entry;
};

class TableEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(TableEntry, RoundsOffsetTimes1024HalvesAwayFromZero) {
    EXPECT_EQ(table_entry(GetParam().offset), GetParam().entry);
}

// Exact halves between steps go up; the largest double below the first half,
// 2^-11 - 2^-64 (0.5 - 2^-54 steps, whose sum with 0.5 rounds to 1), stays at
// entry 0; NaN gives 0.
INSTANTIATE_TEST_SUITE_P(
    Offsets, TableEntry,
    ::testing::Values(EntryCase{0.0, 0}, EntryCase{0.5 / 1024, 1}, EntryCase{0x1p-11 - 0x1p-64, 0},
                      EntryCase{1.5 / 1024, 2}, EntryCase{std::nextafter(1.5 / 1024, 0.0), 1},
                      EntryCase{1023.5 / 1024, 1024}, EntryCase{std::nextafter(1023.5 / 1024, 0.0), 1023},
                      EntryCase{1.0, 1024}, EntryCase{std::nan(""), 0}));

TEST(SampleLanczos3, TinyNegativeOffsetUsesTheLastEntry) {
    // -1e-20 floors to -1, and -1e-20 - (-1) rounds to 1: entry 1024, which is
    // entry 0 one tap later, so the position samples pixel 0 exactly.
    const Image img = pattern_image(16, 3, 6, 6);
    EXPECT_EQ(sample(img, Filter::Lanczos3, table(), -1e-20, 2.0), pixel(img, 0, 2));
    EXPECT_EQ(sample(img, Filter::Lanczos3, table(), 4.0, -1e-20), pixel(img, 4, 0));
}

}  // namespace
}  // namespace vantrell::warp
