// The process-wide worker pool and its two operations: a parallel for-each over
// the rows of an output image, and work handed out beside the caller's own.
#pragma once

#include <cstddef>
#include <memory>

namespace vantrell::pool {

// Body of a row loop: processes rows [begin, end) in order. Each row is given to
// exactly one call, so a body that writes only its own rows needs no lock.
using RowBody = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs `body` over rows [0, rows) and returns when every row is done. The
// calling thread works on the loop itself, next to at most N - 1 pool workers
// for a pool of N, so that one call keeps at most N processors busy; with one
// worker (or none that could be made), or when every processor already has a
// working thread of the pool's, the caller runs the whole loop. The first
// exception thrown by a body is rethrown here, in the caller.
void parallel_rows_erased(std::size_t rows, RowBody body, void* context);

template <class F>
void parallel_rows(std::size_t rows, const F& body) {
    parallel_rows_erased(
        rows,
        [](void* context, std::size_t begin, std::size_t end) {
            (*static_cast<const F*>(context))(begin, end);
        },
        const_cast<void*>(static_cast<const void*>(&body)));
}

class BesideJob;

// Work that the calling thread brings about while it goes on with its own,
// and that one free pool worker may take on meanwhile. `step(context)` does one
// piece of the work and returns true, or returns false when there is none at
// the moment; it may run on the caller and on a worker at once, and it must
// never wait for the caller. A worker runs steps while they find work and then
// goes back to the pool, so it is never parked on a call.
class Beside {
public:
    using Step = bool (*)(void* context);

    Beside(Step step, void* context);
    template <class F>
    explicit Beside(F& step)
        : Beside([](void* c) -> bool { return (*static_cast<F*>(c))(); }, &step) {}
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;
    // Waits until no worker runs a step (a fault of theirs is dropped: the
    // caller is leaving by an exception of its own).
    ~Beside();

    // Says that there is new work. True if a worker is on it or will be; false
    // if none may or should help this call (a pool of one, every processor
    // taken by the pool's working threads, or a step that failed), and the
    // caller should do the work itself.
    bool offer();

    // Runs steps on the calling thread until none finds work, waits until no
    // worker runs one, and rethrows the first exception a worker's step threw.
    void finish();

private:
    std::shared_ptr<BesideJob> job_;
};

// Number of worker threads of the pool, starting it if need be.
std::size_t thread_count();

// The size the pool is (or would be) created with, from the environment and the
// processors available to the process.
std::size_t configured_size();

}  // namespace vantrell::pool
