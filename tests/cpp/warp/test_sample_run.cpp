// The AVX2 and AVX-512 run samplers and warp positions against the portable
// ones, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>

#include "images.hpp"
#include "warp/sample_run.hpp"

namespace vantrell::warp {
namespace {

using testing::Image;
using testing::Variant;

constexpr double INF = std::numeric_limits<double>::infinity();

// Positions that exercise every rule: random ones across and around the
// image, pixel centres, exact halves, both borders and a hair beyond them,
// NaN, infinities, huge values, tiny negatives (whose fraction rounds to 1)
// and offsets just below a half of a table step.
std::vector<double> positions(std::size_t extent, std::mt19937_64& rng, std::size_t count) {
    const double e = static_cast<double>(extent);
    std::vector<double> special = {-0.5,
                                   e - 0.5,
                                   std::nextafter(-0.5, -INF),
                                   std::nextafter(e - 0.5, INF),
                                   std::nextafter(-0.5, INF),
                                   std::nextafter(e - 0.5, -INF),
                                   std::nan(""),
                                   INF,
                                   -INF,
                                   1e300,
                                   -1e300,
                                   -1e-20,
                                   -0.0,
                                   0.0,
                                   0.5 / 1024 - 0x1p-54,
                                   1.0 + 0.5 / 1024,
                                   std::ldexp(1.0, -11) - std::ldexp(1.0, -64)};
    for (std::size_t i = 0; i < extent; ++i) {
        special.push_back(static_cast<double>(i));
        special.push_back(static_cast<double>(i) + 0.5);
    }
    std::uniform_real_distribution<double> spread(-3.0, e + 2.0);
    std::uniform_int_distribution<std::size_t> pick(0, special.size() - 1);
    // Whole pixels plus an odd number of half table steps: the offset lies
    // exactly halfway between two entries.
    std::uniform_int_distribution<int> whole(-1, static_cast<int>(extent));
    std::uniform_int_distribution<int> odd(0, 1023);
    std::discrete_distribution<int> kind({3, 2, 5});
    std::vector<double> out(count);
    for (double& v : out) {
        switch (kind(rng)) {
            case 0: v = special[pick(rng)]; break;
            case 1: v = whole(rng) + (2 * odd(rng) + 1) / 2048.0; break;
            default: v = spread(rng);
        }
    }
    return out;
}

template <class T, int C>
void expect_same_pixels(const std::vector<T>& portable, const std::vector<T>& vector, const std::vector<double>& xs,
                        const std::vector<double>& ys, const char* code, std::size_t w, std::size_t h) {
    for (std::size_t i = 0; i < xs.size(); ++i) {
        for (int c = 0; c < C; ++c) {
            ASSERT_EQ(portable[i * C + c], vector[i * C + c])
                << code << ", image " << w << "x" << h << ", position (" << xs[i] << ", " << ys[i] << "), channel "
                << c;
        }
    }
}

template <class T, int C>
void expect_same_runs(const Variant& v, std::size_t w, std::size_t h, std::uint64_t seed) {
    const Image img = testing::pattern_image(v.bits, C, w, h, static_cast<std::uint32_t>(seed));
    const std::vector<T> samples = testing::as<T>(img.samples);
    const SourceImage<T> source{samples, w, h};
    const Lanczos3Table table = lanczos3_table();
    std::mt19937_64 rng(seed);
    for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{5}, RUN_LENGTH - 1, RUN_LENGTH}) {
        for (int round = 0; round < 40; ++round) {
            const std::vector<double> xs = positions(w, rng, n);
            const std::vector<double> ys = positions(h, rng, n);
            // Different fills that no sampler stores: both runs must write
            // every pixel, 0 for the outside ones.
            std::vector<T> portable(n * C, T(123));
            std::vector<T> vector(n * C, T(77));
            sample_run_portable<T, C>(source, v.filter, &table, xs.data(), ys.data(), n, portable.data());
            sample_run_avx2<T, C>(source, v.filter, &table, xs.data(), ys.data(), n, vector.data());
            expect_same_pixels<T, C>(portable, vector, xs, ys, "AVX2", w, h);
            if (have_avx512()) {
                std::vector<T> wide(n * C, T(45));
                sample_run_avx512<T, C>(source, v.filter, &table, xs.data(), ys.data(), n, wide.data());
                expect_same_pixels<T, C>(portable, wide, xs, ys, "AVX-512", w, h);
            }
        }
    }
}

class RunsAgree : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    }
    void check(std::size_t w, std::size_t h, std::uint64_t seed) const {
        const Variant& v = GetParam();
        if (v.bits == 8 && v.channels == 1) expect_same_runs<std::uint8_t, 1>(v, w, h, seed);
        if (v.bits == 8 && v.channels == 3) expect_same_runs<std::uint8_t, 3>(v, w, h, seed);
        if (v.bits == 16 && v.channels == 1) expect_same_runs<std::uint16_t, 1>(v, w, h, seed);
        if (v.bits == 16 && v.channels == 3) expect_same_runs<std::uint16_t, 3>(v, w, h, seed);
    }
};

TEST_P(RunsAgree, OnImagesLargeAndSmall) {
    // Small images put most taps beyond an edge; 1-wide ones clamp every tap
    // of an axis; the larger ones have an interior and a final pixel that
    // interior taps can reach.
    std::uint64_t seed = 1;
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{40, 30}, {13, 9}, {6, 6}, {7, 8}, {3, 2},
                        {1, 5}, {5, 1}, {1, 1}, {0, 4}})
        check(w, h, seed++);
}

template <class T>
void expect_same_enlargement(Filter filter) {
    const Image img = testing::pattern_image(sizeof(T) * 8, 3, 20, 12, 9);
    const std::vector<T> samples = testing::as<T>(img.samples);
    const SourceImage<T> source{samples, img.w, img.h};
    const Lanczos3Table table = lanczos3_table();
    for (double y = -0.5; y <= 11.5; y += 0.25) {
        std::vector<double> xs(RUN_LENGTH);
        std::vector<double> ys(RUN_LENGTH, y);
        for (std::size_t i = 0; i < RUN_LENGTH; ++i) xs[i] = 0.75 + 0.25 * static_cast<double>(i);
        std::vector<T> portable(RUN_LENGTH * 3, T(123));
        std::vector<T> vector(RUN_LENGTH * 3, T(123));
        sample_run_portable<T, 3>(source, filter, &table, xs.data(), ys.data(), RUN_LENGTH, portable.data());
        sample_run_avx2<T, 3>(source, filter, &table, xs.data(), ys.data(), RUN_LENGTH, vector.data());
        ASSERT_EQ(portable, vector) << "AVX2, row y = " << y;
        if (have_avx512()) {
            std::vector<T> wide(RUN_LENGTH * 3, T(45));
            sample_run_avx512<T, 3>(source, filter, &table, xs.data(), ys.data(), RUN_LENGTH, wide.data());
            ASSERT_EQ(portable, wide) << "AVX-512, row y = " << y;
        }
    }
}

TEST(SampleRun, OutsidePositionsStoreZero) {
    // Each run writes every one of its pixels, whatever the output held: 0
    // where the position is outside (or the source empty), the sample where
    // it is a pixel centre.
    const Image img = testing::pattern_image(8, 3, 5, 4, 2);
    const std::vector<std::uint8_t> samples = testing::as<std::uint8_t>(img.samples);
    const Lanczos3Table table = lanczos3_table();
    const std::vector<double> xs = {-0.6, 2.0, INF, 4.6, 1.0, -INF, 3.0, 0.0, 1e300};
    const std::vector<double> ys = {1.0, 1.0, 0.0, 2.0, 3.0, 2.0, -7.0, 0.0, 2.0};
    const std::size_t n = xs.size();
    for (Filter filter : {Filter::Bilinear, Filter::Lanczos3}) {
        for (std::size_t w : {std::size_t{5}, std::size_t{0}}) {
            const SourceImage<std::uint8_t> source{w == 0 ? std::span<const std::uint8_t>() : samples, w, 4};
            std::vector<std::uint8_t> expected(n * 3, 0);
            if (w != 0) {
                for (std::size_t i : {std::size_t{1}, std::size_t{4}, std::size_t{7}})
                    for (int c = 0; c < 3; ++c)
                        expected[i * 3 + static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(
                            img.at(static_cast<std::size_t>(xs[i]), static_cast<std::size_t>(ys[i]), c));
            }
            std::vector<std::uint8_t> out(n * 3, 200);
            sample_run_portable<std::uint8_t, 3>(source, filter, &table, xs.data(), ys.data(), n, out.data());
            EXPECT_EQ(out, expected) << "portable, width " << w;
            if (have_avx2()) {
                out.assign(n * 3, 200);
                sample_run_avx2<std::uint8_t, 3>(source, filter, &table, xs.data(), ys.data(), n, out.data());
                EXPECT_EQ(out, expected) << "AVX2, width " << w;
            }
            if (have_avx512()) {
                out.assign(n * 3, 200);
                sample_run_avx512<std::uint8_t, 3>(source, filter, &table, xs.data(), ys.data(), n, out.data());
                EXPECT_EQ(out, expected) << "AVX-512, width " << w;
            }
        }
    }
}

TEST(RunsAgreeRgb, OnRowsOfAnEnlargement) {
    // Runs of adjacent positions, mostly interior (the vector code's blocks of
    // four pixels), with pixel centres and exact halves among them.
    if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    for (Filter filter : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_same_enlargement<std::uint8_t>(filter);
        expect_same_enlargement<std::uint16_t>(filter);
    }
}

template <class T>
void expect_same_strides(Filter filter, std::size_t w, std::size_t h) {
    const Image img = testing::pattern_image(sizeof(T) * 8, 3, w, h, 5);
    const std::vector<T> samples = testing::as<T>(img.samples);
    const SourceImage<T> source{samples, w, h};
    const Lanczos3Table table = lanczos3_table();
    // Steps of up to two pixels, so that four neighbours' taps start from 0
    // to 8 pixels apart, either side of the widest span that they share, and
    // slopes that move some neighbours to another source row.
    for (double step : {0.3, 1.0, 1.25, 1.34, 1.5, 2.0}) {
        for (double slope : {0.0, 0.04, 0.5, -0.3}) {
            for (double y0 : {-0.5, 2.5, 3.7, static_cast<double>(h) * 0.5}) {
                std::vector<double> xs(RUN_LENGTH), ys(RUN_LENGTH);
                for (std::size_t i = 0; i < RUN_LENGTH; ++i) {
                    xs[i] = 1.75 + step * static_cast<double>(i);
                    ys[i] = y0 + slope * static_cast<double>(i);
                }
                std::vector<T> portable(RUN_LENGTH * 3, T(123));
                std::vector<T> vector(RUN_LENGTH * 3, T(77));
                sample_run_portable<T, 3>(source, filter, &table, xs.data(), ys.data(), RUN_LENGTH, portable.data());
                sample_run_avx2<T, 3>(source, filter, &table, xs.data(), ys.data(), RUN_LENGTH, vector.data());
                ASSERT_EQ(portable, vector) << "AVX2, " << w << "x" << h << ", step " << step << ", slope " << slope;
                if (have_avx512()) {
                    std::vector<T> wide(RUN_LENGTH * 3, T(45));
                    sample_run_avx512<T, 3>(source, filter, &table, xs.data(), ys.data(), RUN_LENGTH, wide.data());
                    ASSERT_EQ(portable, wide) << "AVX-512, " << w << "x" << h << ", step " << step << ", slope " << slope;
                }
            }
        }
    }
}

TEST(RunsAgreeRgb, OnRowsOfNeighboursAtManySteps) {
    // Runs whose neighbouring pixels share most of their taps, as in the
    // vector code's blocks of four that widen each shared pixel once.
    if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{140, 30}, {40, 12}, {9, 9}, {7, 7}}) {
        for (Filter filter : {Filter::Bilinear, Filter::Lanczos3}) {
            expect_same_strides<std::uint8_t>(filter, w, h);
            expect_same_strides<std::uint16_t>(filter, w, h);
        }
    }
}

template <class T>
void expect_same_far_corner(std::size_t w, std::size_t h) {
    const Image img = testing::pattern_image(sizeof(T) * 8, 3, w, h, 3);
    const std::vector<T> samples = testing::as<T>(img.samples);
    const SourceImage<T> source{samples, w, h};
    const Lanczos3Table table = lanczos3_table();
    // Eight pixels a step apart whose last taps reach the final column, on
    // rows whose last taps reach the final row: the samples read for them end
    // with the last sample of the image.
    for (double step : {0.5, 1.0, 1.4}) {
        for (double fraction : {0.0, 0.25, 0.999}) {
            std::vector<double> xs(8), ys(8);
            for (std::size_t i = 0; i < 8; ++i) {
                xs[i] = static_cast<double>(w) - 4.0 + fraction - step * static_cast<double>(7 - i);
                ys[i] = static_cast<double>(h) - 4.0 + fraction;
            }
            std::vector<T> portable(8 * 3, T(123));
            std::vector<T> wide(8 * 3, T(45));
            sample_run_portable<T, 3>(source, Filter::Lanczos3, &table, xs.data(), ys.data(), 8, portable.data());
            sample_run_avx512<T, 3>(source, Filter::Lanczos3, &table, xs.data(), ys.data(), 8, wide.data());
            ASSERT_EQ(portable, wide) << w << "x" << h << ", step " << step << ", fraction " << fraction;
        }
    }
}

TEST(RunsAgreeRgb, Lanczos3AtTheFarCorner) {
    if (!have_avx512()) GTEST_SKIP() << "no AVX-512 on this processor";
    // Narrower than a window of sixteen columns, and wider.
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{14, 6}, {9, 7}, {30, 8}}) {
        expect_same_far_corner<std::uint8_t>(w, h);
        expect_same_far_corner<std::uint16_t>(w, h);
    }
}

// Fractional parts that sit on the samplers' decisions: a pixel centre
// (table entry 0; with whole part -1 or the last index, an image edge lies
// half a pixel away), the half pixel (an edge itself, with those whole
// parts), and exact halves between two table steps at both ends and in the
// middle of the table (entry rounding: halves away from zero). Each is also
// taken one unit in the last place below and above.
constexpr double FRACTIONS[] = {0.0, 0.5, 1 / 2048.0, 3 / 2048.0, 1023 / 2048.0, 1025 / 2048.0, 2045 / 2048.0,
                                2047 / 2048.0};
constexpr std::size_t KINDS = std::size(FRACTIONS) * 3;

double adversarial(double whole, std::size_t kind) {
    const double v = whole + FRACTIONS[kind / 3];
    return kind % 3 == 0 ? v : std::nextafter(v, kind % 3 == 1 ? -INF : INF);
}

// Column offsets of the eight lanes of a group: the shapes the vector code
// tells apart. All on one pixel; side by side (blocks of four that share
// their taps, a window of eight spread 7); spread 10 and 11 (the widest
// window, and one column too wide for it; blocks of four 4 and 5 apart);
// every second pixel (neither shared nor a window); right to left.
constexpr int LANE_OFFSETS[][8] = {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7},
                                   {0, 1, 3, 4, 6, 7, 9, 10}, {0, 1, 3, 4, 6, 8, 10, 11},
                                   {0, 2, 4, 6, 8, 10, 12, 14}, {7, 6, 5, 4, 3, 2, 1, 0}};

// Runs of groups of eight whose positions take every adversarial value in
// every lane, around every column and around the rows where an edge, the
// interior of either filter or the image's final pixel begins: whole groups
// on one row (windows and shared blocks), groups spread over two rows, and
// runs of every length modulo a group, down to an odd number of windows.
template <class T, int C>
void expect_same_adversarial_runs(Filter filter, std::size_t w, std::size_t h) {
    const Image img = testing::pattern_image(sizeof(T) * 8, C, w, h, static_cast<std::uint32_t>(w * h));
    const std::vector<T> samples = testing::as<T>(img.samples);
    const SourceImage<T> source{samples, w, h};
    const Lanczos3Table table = lanczos3_table();
    const int wi = static_cast<int>(w), hi = static_cast<int>(h);
    const std::size_t lengths[] = {RUN_LENGTH, RUN_LENGTH - 4, RUN_LENGTH - 3, 24, 8, 3};
    std::size_t q = 0;
    for (int row : {-1, 0, 1, 2, 3, hi / 2, hi - 5, hi - 4, hi - 3, hi - 2, hi - 1}) {
        for (const auto& offsets : LANE_OFFSETS) {
            for (int column = -16; column <= wi; ++column, ++q) {
                std::vector<double> xs(RUN_LENGTH), ys(RUN_LENGTH);
                for (std::size_t g = 0; g < RUN_LENGTH / 8; ++g) {
                    for (std::size_t l = 0; l < 8; ++l) {
                        const std::size_t i = 8 * g + l;
                        xs[i] = adversarial(column + offsets[l], (l + g + q) % KINDS);
                        ys[i] = adversarial(row, (q % 2 == 0 ? g + q : 5 * l + g + q) % KINDS);
                    }
                }
                const std::size_t n = lengths[q % std::size(lengths)];
                xs.resize(n);
                ys.resize(n);
                std::vector<T> portable(n * C, T(123));
                sample_run_portable<T, C>(source, filter, &table, xs.data(), ys.data(), n, portable.data());
                std::vector<T> vector(n * C, T(77));
                sample_run_avx2<T, C>(source, filter, &table, xs.data(), ys.data(), n, vector.data());
                expect_same_pixels<T, C>(portable, vector, xs, ys, "AVX2", w, h);
                if (!have_avx512()) continue;
                std::vector<T> wide(n * C, T(45));
                sample_run_avx512<T, C>(source, filter, &table, xs.data(), ys.data(), n, wide.data());
                expect_same_pixels<T, C>(portable, wide, xs, ys, "AVX-512", w, h);
                if constexpr (C == 3) {
                    // A warp row whose source positions are these x (plane X / 1)
                    // on the row of the run's first pixel.
                    const WarpRow identity{1.0, 0.0, 0.0, 0.0, ys[0], 1.0};
                    std::vector<double> same_y(n, ys[0]);
                    sample_run_portable<T, 3>(source, filter, &table, xs.data(), same_y.data(), n, portable.data());
                    wide.assign(n * 3, T(45));
                    warp_run_rgb_avx512<T>(source, filter, &table, identity, xs.data(), n, wide.data());
                    expect_same_pixels<T, 3>(portable, wide, xs, same_y, "AVX-512 warp", w, h);
                }
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
    }
}

TEST_P(RunsAgree, OnAdversarialPositionsInEveryLaneAndGroupShape) {
    const Variant& v = GetParam();
    // Wider than a window of sixteen columns, narrower, and barely wider
    // than a Lanczos-3 window of taps.
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{30, 12}, {14, 9}, {7, 7}}) {
        if (v.bits == 8 && v.channels == 1) expect_same_adversarial_runs<std::uint8_t, 1>(v.filter, w, h);
        if (v.bits == 8 && v.channels == 3) expect_same_adversarial_runs<std::uint8_t, 3>(v.filter, w, h);
        if (v.bits == 16 && v.channels == 1) expect_same_adversarial_runs<std::uint16_t, 1>(v.filter, w, h);
        if (v.bits == 16 && v.channels == 3) expect_same_adversarial_runs<std::uint16_t, 3>(v.filter, w, h);
    }
}

INSTANTIATE_TEST_SUITE_P(AllInstances, RunsAgree, ::testing::ValuesIn(testing::all_variants()),
                         [](const auto& info) { return testing::variant_name(info.param); });

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(WarpPositions, VectorAndPortableAgree) {
    if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> coef(-2.0, 2.0);
    std::bernoulli_distribution zero(0.2);
    const std::vector<double> odd = {0.0, -0.0, INF, -INF, std::nan(""), 1e-300, -1e308};
    for (int round = 0; round < 400; ++round) {
        auto maybe_zero = [&](double v) { return zero(rng) ? (zero(rng) ? -0.0 : 0.0) : v; };
        const WarpRow row{maybe_zero(coef(rng)), maybe_zero(coef(rng)), maybe_zero(coef(rng)),
                          maybe_zero(coef(rng) * 50), maybe_zero(coef(rng) * 50), maybe_zero(coef(rng))};
        const std::size_t n = 1 + static_cast<std::size_t>(round) % RUN_LENGTH;
        std::vector<double> X(n);
        for (std::size_t i = 0; i < n; ++i)
            X[i] = zero(rng) ? odd[static_cast<std::size_t>(rng() % odd.size())] : coef(rng) * 100;
        // Columns where den = aw + h6 * X is exactly 0 though both terms are not.
        if (row.h6 != 0.0 && n > 2) X[n / 2] = -row.aw / row.h6;
        std::vector<double> px(n), py(n), vx(n), vy(n);
        warp_positions_portable(row, X.data(), n, px.data(), py.data());
        warp_positions_avx2(row, X.data(), n, vx.data(), vy.data());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(same_bits(px[i], vx[i])) << "round " << round << " pixel " << i << ": " << px[i] << " vs " << vx[i];
            ASSERT_TRUE(same_bits(py[i], vy[i])) << "round " << round << " pixel " << i << ": " << py[i] << " vs " << vy[i];
        }
    }
}

// Warp rows sampled by the AVX-512 code and by warp_positions_portable then
// sample_run_portable, over several runs: mild perspectives that keep most
// pixels inside (so whole groups are interior), rows that leave the image
// across a border, columns with a zero denominator, NaN and infinite plane X,
// rows of every length modulo a group and garbage-filled outputs.
template <class T>
void expect_same_warp_rows(Filter filter, std::size_t w, std::size_t h, std::uint64_t seed) {
    const Image img = testing::pattern_image(sizeof(T) * 8, 3, w, h, static_cast<std::uint32_t>(seed));
    const std::vector<T> samples = testing::as<T>(img.samples);
    const SourceImage<T> source{samples, w, h};
    const Lanczos3Table table = lanczos3_table();
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::bernoulli_distribution rare(0.05);
    const std::vector<double> odd = {std::nan(""), INF, -INF, 1e300, -0.0};
    const double wd = static_cast<double>(w);
    const double hd = static_cast<double>(h);
    for (int round = 0; round < 60; ++round) {
        // Scale near 1, small shear and tilt, a start anywhere from a little
        // outside the image to well inside it; every few rows exact halves.
        const double step = 1.0 + 0.1 * unit(rng);
        const bool halves = round % 4 == 0;
        const WarpRow row{halves ? 0.5 : step,
                          halves ? 0.0 : 0.03 * unit(rng),
                          halves ? 0.0 : 1e-4 * unit(rng),
                          halves ? -1.5 : wd * 0.5 * (unit(rng) + 0.3),
                          halves ? std::floor(hd * 0.5 * (unit(rng) + 1.0)) + 0.5 : hd * 0.5 * (unit(rng) + 1.0),
                          1.0 + 0.01 * unit(rng)};
        const std::size_t n = 1 + static_cast<std::size_t>(rng() % (3 * RUN_LENGTH + 5));
        std::vector<double> X(n);
        for (std::size_t i = 0; i < n; ++i)
            X[i] = rare(rng) ? odd[static_cast<std::size_t>(rng() % odd.size())] : static_cast<double>(i);
        // A column whose denominator aw + h6 * X is exactly 0.
        if (row.h6 != 0.0 && n > 3) X[n / 3] = -row.aw / row.h6;
        std::vector<T> portable(n * 3, T(123));
        std::vector<T> wide(n * 3, T(45));
        warp_run_rgb_portable<T>(source, filter, &table, row, X.data(), n, portable.data());
        warp_run_rgb_avx512<T>(source, filter, &table, row, X.data(), n, wide.data());
        for (std::size_t i = 0; i < n * 3; ++i)
            ASSERT_EQ(portable[i], wide[i]) << "image " << w << "x" << h << ", round " << round << ", pixel " << i / 3
                                            << " of " << n << ", X " << X[i / 3] << ", channel " << i % 3;
        std::vector<T> chosen(n * 3, T(77));
        warp_run_rgb<T>(source, filter, &table, row, X.data(), n, chosen.data());
        ASSERT_EQ(portable, chosen) << "image " << w << "x" << h << ", round " << round;
    }
}

TEST(WarpRunsAgree, OnRowsAcrossImagesLargeAndSmall) {
    if (!have_avx512()) GTEST_SKIP() << "no AVX-512 on this processor";
    std::uint64_t seed = 11;
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{300, 40}, {120, 90}, {40, 30}, {7, 5}, {2, 2}, {1, 1}}) {
        for (Filter filter : {Filter::Bilinear, Filter::Lanczos3}) {
            expect_same_warp_rows<std::uint8_t>(filter, w, h, seed++);
            expect_same_warp_rows<std::uint16_t>(filter, w, h, seed++);
        }
    }
}

TEST(WarpRunsAgree, ExtremeSamplesRoundAsThePointSampler) {
    // Every sample at the top of its range, or 0, beside NaN positions: the
    // stored values reach the ends of the range without a clamp.
    if (!have_avx512()) GTEST_SKIP() << "no AVX-512 on this processor";
    const std::size_t w = 64, h = 8;
    for (int fill : {0, 1, 2}) {
        std::vector<std::uint8_t> s8(w * h * 3);
        std::vector<std::uint16_t> s16(w * h * 3);
        for (std::size_t i = 0; i < s8.size(); ++i) {
            const bool top = fill == 1 || (fill == 2 && (i / 3 + i / (3 * w)) % 2 == 0);
            s8[i] = top ? 255 : 0;
            s16[i] = top ? 65535 : 0;
        }
        for (double y0 : {0.25, 3.5, 6.999}) {
            const WarpRow row{0.999, 0.0, 0.0, 0.3, y0, 1.0};
            std::vector<double> X(3 * RUN_LENGTH);
            for (std::size_t i = 0; i < X.size(); ++i) X[i] = static_cast<double>(i % 70) / 1.1;
            X[5] = std::nan("");
            std::vector<std::uint8_t> p8(X.size() * 3, 9), v8(X.size() * 3, 10);
            warp_run_rgb_portable<std::uint8_t>({s8, w, h}, Filter::Bilinear, nullptr, row, X.data(), X.size(), p8.data());
            warp_run_rgb_avx512<std::uint8_t>({s8, w, h}, Filter::Bilinear, nullptr, row, X.data(), X.size(), v8.data());
            ASSERT_EQ(p8, v8) << "8-bit, fill " << fill << ", y " << y0;
            std::vector<std::uint16_t> p16(X.size() * 3, 9), v16(X.size() * 3, 10);
            warp_run_rgb_portable<std::uint16_t>({s16, w, h}, Filter::Bilinear, nullptr, row, X.data(), X.size(), p16.data());
            warp_run_rgb_avx512<std::uint16_t>({s16, w, h}, Filter::Bilinear, nullptr, row, X.data(), X.size(), v16.data());
            ASSERT_EQ(p16, v16) << "16-bit, fill " << fill << ", y " << y0;
        }
    }
}

TEST(WarpPositions, ZeroDenominatorLandsOutside) {
    // aw = 0 and h6 = 0: every denominator is +0 (or -0); the pixel is skipped
    // by sending it to +infinity, which no sampler reads.
    for (double aw : {0.0, -0.0}) {
        const WarpRow row{1.0, 0.0, 0.0, 3.0, 4.0, aw};
        const std::vector<double> X = {0.0, 1.0, -2.5, 7.0, 1e10};
        std::vector<double> xs(X.size()), ys(X.size());
        warp_positions(row, X.data(), X.size(), xs.data(), ys.data());
        for (double x : xs) EXPECT_EQ(x, INF);
    }
}

}  // namespace
}  // namespace vantrell::warp
