#include "pool/scratch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "pool/pool.hpp"

namespace vantrell::pool {
namespace {

class ScratchRows : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ScratchRows, EveryBodyHasASetOfItsOwnMadeByTheCaller) {
    const std::size_t rows = GetParam();
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> made_elsewhere{0}, made{0}, shared{0};
    ScratchSets sets(rows, [&] {
        made.fetch_add(1);
        if (std::this_thread::get_id() != caller) made_elsewhere.fetch_add(1);
        return std::make_unique<std::atomic<int>>(0);
    });
    const int made_before = made.load();
    parallel_rows(rows, [&](std::size_t begin, std::size_t end) {
        auto lease = sets.borrow();
        // The set's count of bodies using it: another body in it now shows.
        if ((*lease)->fetch_add(1) != 0) shared.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (end - begin)));
        (*lease)->fetch_sub(1);
    });
    EXPECT_EQ(shared.load(), 0);
    EXPECT_EQ(made_elsewhere.load(), 0);
    EXPECT_EQ(made.load(), made_before);  // no body needed a set of its own
    EXPECT_LE(static_cast<std::size_t>(made_before), rows);
}

INSTANTIATE_TEST_SUITE_P(Pool, ScratchRows, ::testing::Values(1, 2, 3, 64, 1000));

}  // namespace
}  // namespace vantrell::pool
