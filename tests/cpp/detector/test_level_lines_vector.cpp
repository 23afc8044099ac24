// The AVX2 and AVX-512 row loops of level_lines against the portable ones, bit
// for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "detector/level_lines_rows.hpp"

namespace vantrell::detector {
namespace {

constexpr float THRESHOLD = 5.22625207901001f;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

using FieldRow = float (*)(const double*, const double*, std::size_t, double, Px*);

struct RowCode {
    const char* name;
    FieldRow row;
    bool (*runs)();
};

bool always() { return true; }

void PrintTo(const RowCode& code, std::ostream* os) { *os << code.name; }

const RowCode ROW_CODES[] = {
    {"dispatch", &field_row, &always},
    {"avx2", &field_row_avx2, &have_avx2},
    {"avx512", &field_row_avx512, &have_avx512},
};

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Both image rows of one field row, and the weak square to use.
struct Rows {
    std::vector<double> top, bottom;
};

// Runs `code` and the portable code on the rows and expects the same cells
// and the same largest norm, bit for bit: with no weak cells, with the
// detector's weak square, and with a weak square that the middle cell's
// gx^2 + gy^2 equals exactly.
void expect_same_row(const RowCode& code, const Rows& rows, const std::string& what) {
    const std::size_t w = rows.top.size();
    const std::size_t mid = (w - 1) / 2;
    const double gx = (((rows.top[mid + 1] + rows.bottom[mid + 1]) - rows.top[mid]) - rows.bottom[mid]) * 0.5;
    const double gy = (((rows.bottom[mid] + rows.bottom[mid + 1]) - rows.top[mid]) - rows.top[mid + 1]) * 0.5;
    const double on_mid = gx * gx + gy * gy;
    for (double weak_sq : {0.0, weak_square(THRESHOLD), on_mid}) {
        // Cells start as garbage: every cell must be written.
        std::vector<Px> want(w, Px{-7.0f, -7.0f, -7.0f});
        std::vector<Px> got(w, Px{-9.0f, -9.0f, -9.0f});
        const float want_largest = field_row_portable(rows.top.data(), rows.bottom.data(), w, weak_sq, want.data());
        const float got_largest = code.row(rows.top.data(), rows.bottom.data(), w, weak_sq, got.data());
        ASSERT_EQ(bits(got_largest), bits(want_largest)) << code.name << ", " << what << ", weak_sq " << weak_sq;
        for (std::size_t x = 0; x < w; ++x) {
            const auto where = [&] {
                return std::string(code.name) + ", " + what + ", width " + std::to_string(w) + ", cell " +
                       std::to_string(x) + ", samples " + std::to_string(rows.top[x]) + " " +
                       std::to_string(rows.bottom[x]) + ", weak_sq " + std::to_string(weak_sq);
            };
            ASSERT_EQ(bits(got[x].norm), bits(want[x].norm)) << where();
            ASSERT_EQ(bits(got[x].cos_angle), bits(want[x].cos_angle)) << where();
            ASSERT_EQ(bits(got[x].sin_angle), bits(want[x].sin_angle)) << where();
        }
    }
}

// Rows whose cell 2k has exactly or nearly the gradient gs[k]: the top row is
// zero and the bottom row holds gy - gx, gx + gy at 2k, 2k + 1, so that
// gx = (q[2k + 1] - q[2k]) / 2 and gy = (q[2k] + q[2k + 1]) / 2 up to the
// rounding of the sums.
struct Gradient {
    double gx, gy;
};

Rows rows_with(const std::vector<Gradient>& gs) {
    Rows r{std::vector<double>(2 * gs.size() + 1, 0.0), std::vector<double>(2 * gs.size() + 1, 0.0)};
    for (std::size_t k = 0; k < gs.size(); ++k) {
        r.bottom[2 * k] = gs[k].gy - gs[k].gx;
        r.bottom[2 * k + 1] = gs[k].gx + gs[k].gy;
    }
    return r;
}

// Half-way between a random float in [lo, 2 lo) and the next float up: a
// double exactly on a rounding boundary of double -> float.
double float_midpoint(std::mt19937_64& rng, double lo) {
    std::uniform_real_distribution<double> in(lo, 2 * lo);
    const float f = static_cast<float>(in(rng));
    return (static_cast<double>(f) + static_cast<double>(std::nextafter(f, INFINITY))) / 2;
}

// Gradients whose magnitude or whose cos_angle lies on or within a few units of
// a rounding boundary of double -> float, worked out in long double. There the
// square root of gx^2 + gy^2 and hypot round differently now and then.
std::vector<Gradient> gradients_near_midpoints(std::mt19937_64& rng, std::size_t n) {
    std::uniform_real_distribution<double> turn(0.05, 1.5);
    std::uniform_int_distribution<int> binade(-20, 40);
    std::vector<Gradient> gs;
    for (std::size_t i = 0; i < n; ++i) {
        const double scale = std::ldexp(1.0, binade(rng));
        if (i % 2 == 0) {
            // Magnitude on a boundary, at some angle.
            const long double m = float_midpoint(rng, scale);
            const long double t = turn(rng);
            gs.push_back({static_cast<double>(m * std::cos(t)), static_cast<double>(m * std::sin(t))});
        } else {
            // -gy / magnitude on a boundary: gy = -c gx / sqrt(1 - c^2).
            const long double c = float_midpoint(rng, 0.25);  // in [0.25, 0.5)
            const long double gx = scale * turn(rng);
            gs.push_back({static_cast<double>(gx), static_cast<double>(-c * gx / std::sqrt(1.0L - c * c))});
        }
    }
    return gs;
}

class FieldRowCode : public ::testing::TestWithParam<RowCode> {
protected:
    void SetUp() override {
        if (!GetParam().runs()) GTEST_SKIP() << GetParam().name << " does not run on this processor";
    }
};

TEST_P(FieldRowCode, RandomImagesOfEveryWidthGiveThePortableCells) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_real_distribution<double> real(-1.0, 1.0);
    std::uniform_int_distribution<int> binade(-1070, 1020);
    for (std::size_t w : {2, 3, 4, 5, 8, 9, 10, 15, 16, 17, 31, 64, 100, 409}) {
        Rows bytes{std::vector<double>(w), std::vector<double>(w)};
        Rows reals = bytes, wild = bytes;
        for (std::size_t x = 0; x < w; ++x) {
            bytes.top[x] = byte(rng);
            bytes.bottom[x] = byte(rng);
            reals.top[x] = 255 * real(rng);
            reals.bottom[x] = 255 * real(rng);
            // Any exponent: squares that overflow, underflow or vanish.
            wild.top[x] = std::ldexp(real(rng), binade(rng));
            wild.bottom[x] = std::ldexp(real(rng), binade(rng));
        }
        expect_same_row(GetParam(), bytes, "bytes");
        expect_same_row(GetParam(), reals, "reals");
        expect_same_row(GetParam(), wild, "any exponent");
    }
}

TEST_P(FieldRowCode, ExtremeSamplesGiveThePortableCells) {
    // Each row is random picks from values that make squares overflow,
    // underflow or go subnormal, infinities and NaN, flat runs and steps
    // around the weak threshold.
    const std::vector<double> picks = {0.0,     -0.0,    1.0,     255.0,   1e300,  -1e300, 1e154,  1e-300,
                                       -1e-300, 1e-160,  4.9e-324, 2.2e-308, INF,   -INF,   NaN,    5.2262,
                                       5.2263,  7.3910,  7.3911,  1e38,    3.4e38, 1e-38,  1e-45,  0x1p-125};
    std::mt19937_64 rng(19);
    std::uniform_int_distribution<std::size_t> pick(0, picks.size() - 1);
    for (int round = 0; round < 400; ++round) {
        const std::size_t w = 3 + static_cast<std::size_t>(round % 30);
        Rows r{std::vector<double>(w), std::vector<double>(w)};
        for (std::size_t x = 0; x < w; ++x) {
            r.top[x] = picks[pick(rng)];
            r.bottom[x] = picks[pick(rng)];
        }
        expect_same_row(GetParam(), r, "extreme samples");
    }
}

TEST_P(FieldRowCode, ValuesOnOrNearRoundingBoundariesGiveThePortableCells) {
    std::mt19937_64 rng(23);
    const std::vector<Gradient> gs = gradients_near_midpoints(rng, 20000);
    const Rows r = rows_with(gs);
    // The data must hold cells where sqrt(gx^2 + gy^2) in place of hypot would
    // round a stored value differently; else it proves nothing about them.
    std::size_t differ = 0;
    for (std::size_t k = 0; k < gs.size(); ++k) {
        const double gx = (((r.top[2 * k + 1] + r.bottom[2 * k + 1]) - r.top[2 * k]) - r.bottom[2 * k]) * 0.5;
        const double gy = (((r.bottom[2 * k] + r.bottom[2 * k + 1]) - r.top[2 * k]) - r.top[2 * k + 1]) * 0.5;
        const double h = std::hypot(gx, gy), s = std::sqrt(gx * gx + gy * gy);
        differ += static_cast<float>(h) != static_cast<float>(s) ||
                  static_cast<float>(-gy / h) != static_cast<float>(-gy / s) ||
                  static_cast<float>(gx / h) != static_cast<float>(gx / s);
    }
    EXPECT_GT(differ, 10u);
    expect_same_row(GetParam(), r, "near rounding boundaries");
}

TEST_P(FieldRowCode, TinyAndHugeMagnitudesAroundTheKeptRangeGiveThePortableCells) {
    // Magnitudes across the single-precision range and beyond it on both sides,
    // where quotients and norms turn subnormal or zero as floats.
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<double> turn(0.0, 6.3);
    std::vector<Gradient> gs;
    for (int e = -540; e <= 520; e += 1) {
        const double m = std::ldexp(1.0 + turn(rng) / 8, e);
        const double t = turn(rng);
        gs.push_back({m * std::cos(t), m * std::sin(t)});
        // One component far below the other: a quotient below 2^-126.
        gs.push_back({m, std::ldexp(m, -130 - static_cast<int>(turn(rng) * 5))});
        gs.push_back({std::ldexp(m, -150 - static_cast<int>(turn(rng) * 5)), -m});
    }
    expect_same_row(GetParam(), rows_with(gs), "magnitudes across the range");
}

INSTANTIATE_TEST_SUITE_P(Codes, FieldRowCode, ::testing::ValuesIn(ROW_CODES),
                         [](const ::testing::TestParamInfo<RowCode>& info) { return std::string(info.param.name); });

// The loops over runs of cells.
struct RunCode {
    const char* name;
    void (*bins)(const Px*, std::size_t, float, std::uint16_t*);
    void (*used)(const Px*, std::size_t, float, std::uint8_t*);
    bool (*runs)();
};

const RunCode RUN_CODES[] = {
    {"dispatch", &norm_bins, &mark_used, &always},
    {"avx2", &norm_bins_avx2, &mark_used_avx2, &have_avx2},
};

void PrintTo(const RunCode& code, std::ostream* os) { *os << code.name; }

class CellRunCode : public ::testing::TestWithParam<RunCode> {
protected:
    void SetUp() override {
        if (!GetParam().runs()) GTEST_SKIP() << GetParam().name << " does not run on this processor";
    }
};

TEST_P(CellRunCode, EveryNormGivesThePortableBin) {
    std::mt19937_64 rng(31);
    const float largest_picks[] = {400.0f, 1.0f, 7.5f, 1e-30f, 3e38f, std::numeric_limits<float>::infinity()};
    for (float largest : largest_picks) {
        // Random norms up to the largest, the largest itself, norms just below and
        // on bin edges (k / 1023 of the largest), zero, subnormals, infinity, NaN.
        std::vector<Px> cells;
        std::uniform_real_distribution<float> part(0.0f, 1.0f);
        for (int i = 0; i < 3000; ++i) cells.push_back(Px{largest * part(rng), 0.0f, 0.0f});
        for (int k = 0; k <= 1023; k += 3) {
            const float edge = largest * (static_cast<float>(k) / 1023.0f);
            cells.push_back(Px{edge, 0.0f, 0.0f});
            cells.push_back(Px{std::nextafter(edge, 0.0f), 0.0f, 0.0f});
            cells.push_back(Px{std::nextafter(edge, INFINITY), 0.0f, 0.0f});
        }
        for (float v : {largest, 0.0f, -0.0f, 1e-45f, std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN(), THRESHOLD})
            cells.push_back(Px{v, 0.0f, 0.0f});
        for (std::size_t n : {cells.size(), cells.size() - 1, cells.size() - 5, std::size_t{7}, std::size_t{0}}) {
            std::vector<std::uint16_t> want(n + 1, 0xBEEF), got(n + 1, 0xBEEF);
            norm_bins_portable(cells.data(), n, largest, want.data());
            GetParam().bins(cells.data(), n, largest, got.data());
            for (std::size_t i = 0; i <= n; ++i) {
                ASSERT_EQ(got[i], want[i]) << GetParam().name << ", largest " << largest << ", norm "
                                           << (i < n ? cells[i].norm : 0.0f) << ", cell " << i << " of " << n;
            }
        }
    }
}

TEST_P(CellRunCode, EveryNormGivesThePortableUsedFlag) {
    // Norms on, just around and far from the threshold, zeros, infinity and NaN.
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> picks = {THRESHOLD, std::nextafter(THRESHOLD, 0.0f), std::nextafter(THRESHOLD, inf),
                                      0.0f, -0.0f, 1e-45f, 255.0f, inf, std::numeric_limits<float>::quiet_NaN()};
    std::mt19937_64 rng(37);
    std::uniform_int_distribution<std::size_t> pick(0, picks.size() - 1);
    std::vector<Px> cells(1000);
    for (Px& c : cells) c = Px{picks[pick(rng)], 1.0f, 2.0f};
    for (float threshold : {THRESHOLD, 0.0f, inf}) {
        for (std::size_t n : {cells.size(), std::size_t{999}, std::size_t{13}, std::size_t{3}, std::size_t{0}}) {
            std::vector<std::uint8_t> want(n + 1, 7), got(n + 1, 7);
            mark_used_portable(cells.data(), n, threshold, want.data());
            GetParam().used(cells.data(), n, threshold, got.data());
            for (std::size_t i = 0; i <= n; ++i) {
                ASSERT_EQ(got[i], want[i]) << GetParam().name << ", threshold " << threshold << ", norm "
                                           << (i < n ? cells[i].norm : 0.0f) << ", cell " << i << " of " << n;
            }
        }
    }
}

TEST(NormBins, PortableBinsFollowTheirDefinition) {
    // Largest 20: 20 -> 1023, 15 -> 767.25 -> 767, 10.005 -> 511.76 -> 511;
    // NaN and infinity over a finite largest: 0 and the top bin.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<Px> cells = {{20.0f, 0, 0}, {15.0f, 0, 0}, {10.005f, 0, 0}, {0.0f, 0, 0}, {nan, 0, 0}, {inf, 0, 0}};
    std::vector<std::uint16_t> bins(cells.size());
    norm_bins_portable(cells.data(), cells.size(), 20.0f, bins.data());
    EXPECT_EQ(bins, (std::vector<std::uint16_t>{1023, 767, 511, 0, 0, 1023}));
}

INSTANTIATE_TEST_SUITE_P(Codes, CellRunCode, ::testing::ValuesIn(RUN_CODES),
                         [](const ::testing::TestParamInfo<RunCode>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrell::detector
