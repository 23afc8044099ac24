// The worker pool: one per process, started by the first parallel loop.
//
// A loop is a job: its rows are cut into contiguous pieces that idle workers
// claim one at a time, so a worker that finishes early takes the next piece
// instead of waiting (the pieces are small enough for this to balance uneven
// rows). Every row belongs to exactly one piece and rows do not interact, so
// the result never depends on how many workers there are or who ran what.
#include "pool/pool.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace vantrell::pool {
namespace {

// Pieces per worker: enough for an idle worker to find work when rows cost
// unequal amounts, few enough that claiming a piece costs nothing noticeable.
constexpr std::size_t PIECES_PER_WORKER = 8;
// Workers run flat row loops; a small stack lets many of them coexist.
constexpr std::size_t WORKER_STACK_BYTES = 512 * 1024;
// A detection runs several loops in quick succession. Waking a sleeping thread
// costs far more than a short loop on a virtual machine, so an idle worker
// (and a caller waiting for its loop) watches for work a little while before
// it sleeps.
constexpr auto SPIN_TIME = std::chrono::microseconds(200);

// Polls `ready` until it holds or SPIN_TIME has passed; true if it held.
// Between polls the thread yields its processor: with the caller and every
// worker awake there is one thread more than processors, and a watcher that
// merely paused would keep the thread with work off a processor (the caller
// working alone between loops, or the workers of a loop). Yielding keeps
// those running at once; the watcher still sees work within a system call.
template <class Ready>
bool spin_until(Ready&& ready) {
    const auto deadline = std::chrono::steady_clock::now() + SPIN_TIME;
    for (unsigned n = 0;; ++n) {
        if (ready()) return true;
        if ((n & 7) == 7 && std::chrono::steady_clock::now() >= deadline) return false;
        sched_yield();
    }
}

// Readies the calling thread's exception storage. The first exception that a
// thread throws needs libstdc++'s per-thread storage, which the C library
// allocates on first use and, if it cannot, ends the process ("cannot
// allocate memory for thread-local data"). A worker asks for that storage as
// it starts (no other part of an exception's way is per-thread), so that
// running out of memory later in a loop is a std::bad_alloc like any other,
// carried back to the caller.
//
// Not with AddressSanitizer: its leak checker, walking the threads at exit,
// cannot follow that storage of a library loaded after the process started,
// and its interceptor of __cxa_throw cannot throw from such a library at all.
void ready_to_throw() {
#ifndef __SANITIZE_ADDRESS__
    // Declared without side effects, so the call is kept by using its result.
    abi::__cxa_eh_globals* globals = abi::__cxa_get_globals();
    asm volatile("" : : "r"(globals));
#endif
}

// Address space kept free for a starting worker until its exception storage
// is ready: that needs a few pages, and the pool's stacks would otherwise take
// the last of the address space when it is capped.
constexpr std::size_t START_ROOM_BYTES = 1 << 20;

// A worker being started: it readies its exception storage only when its
// maker has given it room (`go`), and the maker waits until it has (`ready`).
class Pool;

struct WorkerStart {
    Pool* pool;
    std::mutex mu;
    std::condition_variable cv;
    bool go = false;
    bool ready = false;

    void signal(bool WorkerStart::*flag) {
        std::lock_guard<std::mutex> lock(mu);
        this->*flag = true;
        cv.notify_all();
    }
    void wait(bool WorkerStart::*flag) {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return this->*flag; });
    }
};

struct Job {
    RowBody body;
    void* context;
    std::size_t rows;
    std::size_t piece_rows;
    std::size_t pieces;
    std::size_t next_piece = 0;  // guarded by the pool's mutex

    std::mutex mu;  // guards everything below
    std::condition_variable finished_cv;
    // Counted under mu after any fault is stored, so a caller that reads the
    // final count (acquire) sees the fault too. Workers hold the job by a
    // shared pointer, so it outlives a caller that returns at once.
    std::atomic<std::size_t> finished{0};
    std::exception_ptr fault;
};

class Pool {
public:
    explicit Pool(std::size_t wanted) {
        for (std::size_t i = 0; i < wanted; ++i) {
            if (!start_worker()) break;  // go on with the workers that exist
        }
    }

    std::size_t size() const { return workers_; }

    void run(std::size_t rows, RowBody body, void* context) {
        auto job = std::make_shared<Job>();
        job->body = body;
        job->context = context;
        job->rows = rows;
        std::size_t wanted = std::max<std::size_t>(1, workers_) * PIECES_PER_WORKER;
        job->piece_rows = std::max<std::size_t>(1, (rows + wanted - 1) / wanted);
        job->pieces = (rows + job->piece_rows - 1) / job->piece_rows;

        if (workers_ == 0) {
            // No thread could be made: the caller does the work itself.
            while (run_piece(*job, job->next_piece++)) {
            }
        } else {
            {
                std::lock_guard<std::mutex> lock(mu_);
                queue_.push_back(job);
                queued_.fetch_add(1, std::memory_order_release);
            }
            cv_.notify_all();
            auto done = [&] { return job->finished.load(std::memory_order_acquire) == job->pieces; };
            if (!spin_until(done)) {
                std::unique_lock<std::mutex> lock(job->mu);
                job->finished_cv.wait(lock, done);
            }
        }
        if (job->fault) std::rethrow_exception(job->fault);
    }

    void run_beside(Task main, Task beside, void* context) {
        // `beside` is a job of one piece; the piece's body ignores its range.
        struct Adapter {
            Task beside;
            void* context;
        } adapter{beside, context};
        auto job = std::make_shared<Job>();
        job->body = [](void* c, std::size_t, std::size_t) {
            auto* a = static_cast<Adapter*>(c);
            a->beside(a->context);
        };
        job->context = &adapter;
        job->rows = 1;
        job->piece_rows = 1;
        job->pieces = 1;
        if (workers_ > 0) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                queue_.push_back(job);
                queued_.fetch_add(1, std::memory_order_release);
            }
            cv_.notify_one();
        }
        std::exception_ptr main_fault;
        try {
            main(context);
        } catch (...) {
            main_fault = std::current_exception();
        }
        // Take `beside` back if no worker has claimed it.
        bool mine = workers_ == 0;
        if (!mine) {
            std::lock_guard<std::mutex> lock(mu_);
            if (job->next_piece == 0) {
                job->next_piece = 1;
                queue_.erase(std::find(queue_.begin(), queue_.end(), job));
                queued_.fetch_sub(1, std::memory_order_relaxed);
                mine = true;
            }
        }
        if (mine) {
            run_piece(*job, 0);
        } else {
            auto done = [&] { return job->finished.load(std::memory_order_acquire) == 1; };
            if (!spin_until(done)) {
                std::unique_lock<std::mutex> lock(job->mu);
                job->finished_cv.wait(lock, done);
            }
        }
        if (main_fault) std::rethrow_exception(main_fault);
        if (job->fault) std::rethrow_exception(job->fault);
    }

private:
    // Starts one worker, ready to throw, and waits until it is; false if no
    // thread (or no room for it to start in) could be had.
    bool start_worker() {
        void* room = mmap(nullptr, START_ROOM_BYTES, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                          -1, 0);
        if (room == MAP_FAILED) return false;
        pthread_attr_t attr;
        int rc = pthread_attr_init(&attr);
        WorkerStart start{this};
        if (rc == 0) {
            pthread_attr_setstacksize(&attr, WORKER_STACK_BYTES);
            pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
            pthread_t thread;
            rc = pthread_create(&thread, &attr, &Pool::worker_main, &start);
            pthread_attr_destroy(&attr);
        }
        munmap(room, START_ROOM_BYTES);
        if (rc != 0) return false;
        start.signal(&WorkerStart::go);
        start.wait(&WorkerStart::ready);
        ++workers_;
        return true;
    }

    static void* worker_main(void* arg) {
        auto* start = static_cast<WorkerStart*>(arg);
        Pool* pool = start->pool;
        start->wait(&WorkerStart::go);
        ready_to_throw();
        start->signal(&WorkerStart::ready);  // `start` is gone from here on
        pool->work();
        return nullptr;
    }

    // Claims pieces of the oldest unfinished job, for ever. The pool is never
    // destroyed, so workers never need to stop.
    void work() {
        for (;;) {
            std::shared_ptr<Job> job;
            std::size_t piece;
            spin_until([&] { return queued_.load(std::memory_order_acquire) > 0; });
            {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [&] { return !queue_.empty(); });
                job = queue_.front();
                piece = job->next_piece++;
                if (job->next_piece == job->pieces) {
                    queue_.pop_front();
                    queued_.fetch_sub(1, std::memory_order_relaxed);
                }
            }
            run_piece(*job, piece);
        }
    }

    // Runs one piece; false when `piece` is past the last one.
    static bool run_piece(Job& job, std::size_t piece) {
        if (piece >= job.pieces) return false;
        std::size_t begin = piece * job.piece_rows;
        std::size_t end = std::min(job.rows, begin + job.piece_rows);
        bool skip;
        {
            std::lock_guard<std::mutex> lock(job.mu);
            skip = static_cast<bool>(job.fault);  // a fault cancels what is left
        }
        std::exception_ptr fault;
        if (!skip) {
            try {
                job.body(job.context, begin, end);
            } catch (...) {
                fault = std::current_exception();
            }
        }
        std::lock_guard<std::mutex> lock(job.mu);
        if (fault && !job.fault) job.fault = fault;
        if (job.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == job.pieces)
            job.finished_cv.notify_all();
        return true;
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::atomic<std::size_t> queued_{0};  // queue_.size(), readable without mu_
    std::size_t workers_ = 0;
};

// A positive decimal integer, 0 for "keep the default", -1 for unset or not a number.
long read_count(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return -1;
    long value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return -1;
        if (value > 1'000'000'000) return -1;  // far beyond any machine: not a count
        value = value * 10 + (*c - '0');
    }
    return value;
}

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// The pool of this process. After fork() the child has none of the parent's
// worker threads, so a pool made by another process is abandoned (never
// touched again: its locks may have been held at the fork) and rebuilt.
struct Registry {
    std::mutex mu;
    Pool* pool = nullptr;
    pid_t owner = 0;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: workers outlive exit
    return *r;
}

void before_fork() { registry().mu.lock(); }
void after_fork_parent() { registry().mu.unlock(); }
void after_fork_child() {
    registry().mu.unlock();
    registry().pool = nullptr;
}

const int fork_handlers_installed = [] {
    registry();
    return pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}();

Pool& the_pool() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.pool == nullptr || r.owner != getpid()) {
        r.pool = new Pool(configured_size());
        r.owner = getpid();
    }
    return *r.pool;
}

}  // namespace

std::size_t configured_size() {
    long n = read_count("RAYON_NUM_THREADS");
    if (n < 0) n = read_count("RAYON_RS_NUM_CPUS");
    if (n > 0) return static_cast<std::size_t>(n);
    return available_processors();
}

std::size_t thread_count() { return the_pool().size(); }

void run_beside_erased(Task main, Task beside, void* context) {
    the_pool().run_beside(main, beside, context);
}

void parallel_rows_erased(std::size_t rows, RowBody body, void* context) {
    (void)fork_handlers_installed;
    if (rows == 0) return;
    the_pool().run(rows, body, context);
}

}  // namespace vantrell::pool
