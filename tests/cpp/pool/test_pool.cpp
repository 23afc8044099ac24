#include "pool/pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vantrell::pool {
namespace {

class RowCounts : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RowCounts, EveryRowRunsExactlyOnceInAscendingRanges) {
    const std::size_t rows = GetParam();
    std::vector<std::atomic<int>> seen(rows);
    std::atomic<bool> bad_range{false};
    parallel_rows(rows, [&](std::size_t begin, std::size_t end) {
        if (begin >= end || end > rows) bad_range = true;
        for (std::size_t r = begin; r < end; ++r) seen[r].fetch_add(1);
    });
    EXPECT_FALSE(bad_range);
    for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(seen[r].load(), 1) << "row " << r;
}

INSTANTIATE_TEST_SUITE_P(Pool, RowCounts, ::testing::Values(0, 1, 2, 3, 7, 16, 17, 1000, 100003));

TEST(Pool, AFaultInAWorkerReachesTheCaller) {
    std::atomic<int> ran{0};
    EXPECT_THROW(parallel_rows(1000,
                               [&](std::size_t begin, std::size_t end) {
                                   for (std::size_t r = begin; r < end; ++r) {
                                       ran.fetch_add(1);
                                       if (r == 500) throw std::runtime_error("row 500");
                                   }
                               }),
                 std::runtime_error);
    // The pool is still usable afterwards.
    std::atomic<int> after{0};
    parallel_rows(10, [&](std::size_t b, std::size_t e) { after += static_cast<int>(e - b); });
    EXPECT_EQ(after.load(), 10);
}

TEST(Pool, SeveralCallersShareThePool) {
    constexpr int CALLERS = 6;
    std::vector<long> sums(CALLERS, 0);
    std::vector<std::thread> callers;
    for (int c = 0; c < CALLERS; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 50; ++round) {
                std::vector<long> out(257, 0);
                parallel_rows(out.size(), [&](std::size_t b, std::size_t e) {
                    for (std::size_t r = b; r < e; ++r) out[r] = static_cast<long>(r) * (c + 1);
                });
                long sum = 0;
                for (long v : out) sum += v;
                sums[c] += sum;
            }
        });
    }
    for (auto& t : callers) t.join();
    for (int c = 0; c < CALLERS; ++c) EXPECT_EQ(sums[c], 50L * (256 * 257 / 2) * (c + 1));
}

TEST(Pool, BesideRunsOnceNextToMainOnTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> beside_runs{0};
        std::atomic<bool> main_done{false};
        std::thread::id main_thread;
        run_beside(
            [&] {
                main_thread = std::this_thread::get_id();
                main_done = true;
            },
            [&] { beside_runs.fetch_add(1); });
        EXPECT_EQ(main_thread, caller);
        EXPECT_TRUE(main_done.load());
        ASSERT_EQ(beside_runs.load(), 1) << "round " << round;
    }
}

TEST(Pool, BesideMayWaitForMain) {
    // `beside` waits for a flag that only `main` sets: whoever runs it, it ends.
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> flag{false};
        std::atomic<int> seen{0};
        run_beside([&] { flag = true; },
                   [&] {
                       while (!flag.load()) std::this_thread::yield();
                       seen = 1;
                   });
        EXPECT_EQ(seen.load(), 1);
    }
}

TEST(Pool, FaultsOfMainAndBesideReachTheCaller) {
    EXPECT_THROW(run_beside([] { throw std::runtime_error("main"); }, [] {}), std::runtime_error);
    EXPECT_THROW(run_beside([] {}, [] { throw std::logic_error("beside"); }), std::logic_error);
}

struct SizeCase {
    const char* num_threads;
    const char* rs_num_cpus;
    long expected;  // -1: the processors available
};

class Sizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(Sizes, EnvironmentSetsThePoolSize) {
    const SizeCase& c = GetParam();
    unsetenv("RAYON_NUM_THREADS");
    unsetenv("RAYON_RS_NUM_CPUS");
    const std::size_t processors = configured_size();
    if (c.num_threads) setenv("RAYON_NUM_THREADS", c.num_threads, 1);
    if (c.rs_num_cpus) setenv("RAYON_RS_NUM_CPUS", c.rs_num_cpus, 1);
    EXPECT_EQ(configured_size(), c.expected < 0 ? processors : static_cast<std::size_t>(c.expected));
    unsetenv("RAYON_NUM_THREADS");
    unsetenv("RAYON_RS_NUM_CPUS");
}

INSTANTIATE_TEST_SUITE_P(
    Pool, Sizes,
    ::testing::Values(SizeCase{nullptr, nullptr, -1}, SizeCase{"3", nullptr, 3},
                      SizeCase{"3", "5", 3}, SizeCase{"0", "5", -1}, SizeCase{"x", "5", 5},
                      SizeCase{nullptr, "4", 4}, SizeCase{"-2", nullptr, -1},
                      SizeCase{"", "0", -1}, SizeCase{"2.5", "7", 7}, SizeCase{"12", nullptr, 12}));

}  // namespace
}  // namespace vantrell::pool
