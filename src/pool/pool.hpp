// The process-wide worker pool and its one operation: a parallel for-each over
// the rows of an output image.
#pragma once

#include <cstddef>

namespace vantrell::pool {

// Body of a row loop: processes rows [begin, end) in order. Each row is given to
// exactly one call, so a body that writes only its own rows needs no lock.
using RowBody = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs `body` over rows [0, rows) on the pool and blocks until every row is done.
// The calling thread is not a worker (unless no worker thread could be made).
// The first exception thrown by a body is rethrown here, in the caller.
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

// Runs `main(context)` on the calling thread while one pool worker, if one is
// free, runs `beside(context)`; returns when both have run. If no worker has
// taken `beside` by the time `main` returns, the caller runs it itself, so
// `beside` must not wait for anything that `main` does not bring about. The
// first exception of either is rethrown here.
using Task = void (*)(void* context);
void run_beside_erased(Task main, Task beside, void* context);

template <class Main, class Beside>
void run_beside(const Main& main, const Beside& beside) {
    struct Both {
        const Main& main;
        const Beside& beside;
    } both{main, beside};
    run_beside_erased([](void* c) { static_cast<Both*>(c)->main(); },
                      [](void* c) { static_cast<Both*>(c)->beside(); }, &both);
}

// Number of worker threads of the pool, starting it if need be.
std::size_t thread_count();

// The size the pool is (or would be) created with, from the environment and the
// processors available to the process.
std::size_t configured_size();

}  // namespace vantrell::pool
