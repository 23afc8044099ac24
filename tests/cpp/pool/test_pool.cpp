#include "pool/pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <memory>
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

void pause_briefly() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// The work beside a call: `items` numbered tasks that the caller publishes one
// by one; a step claims the next published one and records that it ran.
struct Tasks {
    explicit Tasks(std::size_t items) : ran(items) {}
    std::vector<std::atomic<int>> ran;
    std::atomic<std::size_t> published{0}, next{0};
    // Runs the next published task and says which in `claimed`; false if none.
    bool step(std::size_t* claimed = nullptr) {
        std::size_t i = next.load();
        while (i < published.load()) {
            if (next.compare_exchange_weak(i, i + 1)) {
                ran[i].fetch_add(1);
                if (claimed) *claimed = i;
                return true;
            }
        }
        return false;
    }
};

TEST(Pool, AFaultReachesItsOwnCallerWhileOthersGoOn) {
    // Caller 0's loops fail on one row and its work beside on one task; the
    // others' loops and tasks, at the same time, are complete and correct.
    constexpr int CALLERS = 5;
    std::vector<int> faults(CALLERS, 0), wrong(CALLERS, 0);
    std::vector<std::thread> callers;
    for (int c = 0; c < CALLERS; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 40; ++round) {
                std::vector<long> out(300, -1);
                try {
                    parallel_rows(out.size(), [&](std::size_t b, std::size_t e) {
                        for (std::size_t r = b; r < e; ++r) {
                            if (c == 0 && r == static_cast<std::size_t>(round * 7)) throw std::range_error("row");
                            out[r] = static_cast<long>(r) + c;
                        }
                    });
                    for (std::size_t r = 0; r < out.size(); ++r) wrong[c] += out[r] != static_cast<long>(r) + c;
                } catch (const std::range_error&) {
                    ++faults[c];
                }
                Tasks tasks(40);
                auto step = [&] {
                    std::size_t claimed = 0;
                    const bool ran = tasks.step(&claimed);
                    if (ran && c == 0 && claimed == static_cast<std::size_t>(round)) throw std::domain_error("task");
                    return ran;
                };
                try {
                    Beside beside(step);
                    for (std::size_t i = 0; i < tasks.ran.size(); ++i) {
                        tasks.published.store(i + 1);
                        if (!beside.offer()) step();
                    }
                    beside.finish();
                    for (auto& n : tasks.ran) wrong[c] += n.load() != 1;
                } catch (const std::domain_error&) {
                    ++faults[c];
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(faults[0], 80);
    for (int c = 1; c < CALLERS; ++c) {
        EXPECT_EQ(faults[c], 0) << "caller " << c;
        EXPECT_EQ(wrong[c], 0) << "caller " << c;
    }
}

TEST(Pool, ALoopFinishesWhileEveryWorkerIsBusyElsewhere) {
    // Each worker is held by long work beside another call (stood in for by a
    // step that waits for a flag set only by this test); a loop that starts
    // then is done by its caller.
    const std::size_t workers = thread_count();
    std::atomic<bool> release{false};
    std::atomic<std::size_t> held{0};
    std::atomic<bool> helps{true};
    std::vector<std::thread> holders;
    for (std::size_t k = 0; k < workers; ++k) {
        holders.emplace_back([&] {
            std::atomic<bool> taken{false};
            auto step = [&] {
                if (taken.exchange(true)) return false;
                held.fetch_add(1);
                while (!release.load()) std::this_thread::yield();
                return true;
            };
            Beside beside(step);
            if (!beside.offer()) helps = false;  // a pool of one: no worker joins a call
            while (helps.load() && held.load() < workers && !release.load()) std::this_thread::yield();
            beside.finish();
        });
    }
    while (helps.load() && held.load() < workers) std::this_thread::yield();
    std::vector<int> out(1000, 0);
    parallel_rows(out.size(), [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r < e; ++r) out[r] = 1;
    });
    release = true;
    for (auto& t : holders) t.join();
    for (std::size_t r = 0; r < out.size(); ++r) ASSERT_EQ(out[r], 1) << "row " << r;
}

TEST(Beside, EveryOfferedTaskRunsExactlyOnce) {
    for (int round = 0; round < 200; ++round) {
        Tasks tasks(1 + round % 37);
        auto step = [&] { return tasks.step(); };
        Beside beside(step);
        for (std::size_t i = 0; i < tasks.ran.size(); ++i) {
            tasks.published.store(i + 1);
            if (!beside.offer()) step();
            if (round % 3 == 0) pause_briefly();  // let a worker catch up and leave
        }
        beside.finish();
        for (std::size_t i = 0; i < tasks.ran.size(); ++i)
            ASSERT_EQ(tasks.ran[i].load(), 1) << "round " << round << " task " << i;
    }
}

TEST(Beside, AFaultOfAStepReachesTheCaller) {
    // Whoever runs the failing step, a worker (finish() rethrows it) or the
    // caller itself, the fault leaves through the caller.
    for (int round = 0; round < 100; ++round) {
        Tasks tasks(20);
        const std::size_t failing = round % 20;
        auto step = [&] {
            std::size_t claimed = 0;
            const bool ran = tasks.step(&claimed);
            if (ran && claimed == failing) throw std::runtime_error("failing task");
            return ran;
        };
        EXPECT_THROW(
            {
                Beside beside(step);
                for (std::size_t i = 0; i < tasks.ran.size(); ++i) {
                    tasks.published.store(i + 1);
                    if (!beside.offer()) step();
                }
                beside.finish();
            },
            std::runtime_error)
            << "round " << round;
    }
}

TEST(Beside, LeavingByAnExceptionWaitsForTheWorker) {
    // The caller's own code throws while a worker may be running steps on its
    // data: the destructor waits, so nothing runs on the data after it is gone.
    for (int round = 0; round < 100; ++round) {
        auto tasks = std::make_unique<Tasks>(64);
        std::atomic<bool> alive{true};
        std::atomic<int> late{0};
        try {
            auto step = [&] {
                if (!alive.load()) {
                    late.fetch_add(1);
                    return false;
                }
                return tasks->step();
            };
            Beside beside(step);
            for (std::size_t i = 0; i < 64; ++i) {
                tasks->published.store(i + 1);
                beside.offer();
            }
            throw std::runtime_error("caller");
        } catch (const std::runtime_error&) {
        }
        alive = false;
        tasks.reset();
        EXPECT_EQ(late.load(), 0);
    }
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
