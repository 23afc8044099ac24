// Scratch space for the bodies of one parallel loop, made before the loop on
// the calling thread: running out of memory is then met there, before any row
// is done, and a worker allocates nothing.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "pool/pool.hpp"

namespace vantrell::pool {

// One set per body that can run at once (one per thread of the pool and one
// for the caller, never more than there are rows), each made by `make`. A
// body borrows a set that no other body is using for as long as it runs; a set
// keeps what the body before left in it.
template <class Make>
class ScratchSets {
public:
    using Set = std::invoke_result_t<Make&>;

    // May throw std::bad_alloc.
    ScratchSets(std::size_t rows, Make make) : make_(std::move(make)) {
        const std::size_t count = std::min(rows, thread_count() + 1);
        sets_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) sets_.push_back(make_());
        busy_ = std::make_unique<std::atomic<bool>[]>(count);
    }

    // A set that no other body is using, until the lease goes.
    class Lease {
    public:
        Set& operator*() { return own_ ? *own_ : *set_; }
        Set* operator->() { return &**this; }
        ~Lease() {
            if (busy_ != nullptr) busy_->store(false, std::memory_order_release);
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

    private:
        friend class ScratchSets;
        Lease(Set* set, std::atomic<bool>* busy) : set_(set), busy_(busy) {}
        explicit Lease(Set own) : own_(std::move(own)) {}

        Set* set_ = nullptr;
        std::atomic<bool>* busy_ = nullptr;
        std::optional<Set> own_;
    };

    Lease borrow() {
        for (std::size_t i = 0; i < sets_.size(); ++i) {
            if (!busy_[i].exchange(true, std::memory_order_acquire)) return Lease(&sets_[i], &busy_[i]);
        }
        // More bodies at once than the pool has threads: not with this pool,
        // but then the body makes a set of its own.
        return Lease(make_());
    }

private:
    Make make_;
    std::vector<Set> sets_;
    std::unique_ptr<std::atomic<bool>[]> busy_;
};

}  // namespace vantrell::pool
