// The worker pool: one per process, started by the first parallel loop.
//
// Every thread either works or sleeps. A caller works on its own loop (its
// rows are cut into contiguous pieces that the caller and the workers that join
// claim one at a time), so it waits only for pieces already running on a
// worker, never for a worker to turn up; a worker runs what it finds in the
// queue and goes back to the queue when that is done, so it never waits for a
// caller. Every row belongs to exactly one piece and rows do not interact, so
// the result never depends on how many threads took part or who ran what.
#include "pool/pool.hpp"

#include <cxxabi.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace vantrell::pool {
namespace {

// A thread claims as a piece of a loop 1 / (SHARE_PER_THREAD x threads) of the
// rows left, but never fewer than 1 / (LEAST_PIECES_PER_THREAD x threads) of
// all its rows: a few large pieces first and small ones at the end, so that
// the last piece to finish is short, and few enough pieces that claiming them
// costs nothing beside the rows (a body may redo some work at the start of
// each piece, as the downscale redoes a few rows).
constexpr std::size_t SHARE_PER_THREAD = 2;
constexpr std::size_t LEAST_PIECES_PER_THREAD = 256;
// Workers run flat row loops; a small stack lets many of them coexist.
constexpr std::size_t WORKER_STACK_BYTES = 512 * 1024;
// Waking a sleeping thread costs far more than a short loop on a virtual
// machine, and a detection posts several loops in quick succession. So a
// worker that runs out of work, and a caller whose last pieces run elsewhere,
// watch a little while before they sleep: but only on a processor that none of
// the pool's working threads needs (see Pool::spin_until).
constexpr auto SPIN_TIME = std::chrono::microseconds(50);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
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

// Sleeping on a word and waking its sleepers, straight through the kernel's
// futex. std::atomic's wait and notify keep a table of waiters that the
// library makes on first use under a one-time guard: a fork while another
// thread makes it would leave that guard held in the child for ever.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// Sleeps until woken, unless `word` no longer holds `seen`; may return early.
void sleep_while(std::atomic<std::uint32_t>& word, std::uint32_t seen) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr,
            nullptr, 0);
}

void wake_all(std::atomic<std::uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

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

}  // namespace

class Pool;

// A worker being started: it readies its exception storage only when its
// maker has given it room (`go`), and the maker waits until it has (`ready`).
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

// Something a worker can take from the queue: a row loop or work beside a call.
class Work {
public:
    virtual ~Work() = default;
    // Runs on a worker until there is nothing more to do here, then returns
    // whether more of the same kind is likely to follow at once (the next loop
    // of a call), so that the worker should watch the queue before it sleeps.
    virtual bool run_on_worker(Pool& pool) = 0;
};

class Pool {
public:
    explicit Pool(std::size_t wanted) : processors_(available_processors()) {
        for (std::size_t i = 0; i < wanted; ++i) {
            if (!start_worker()) break;  // go on with the workers that exist
        }
        // The caller is one of the `wanted` threads of a call.
        helpers_ = std::min(workers_, wanted > 0 ? wanted - 1 : 0);
    }

    std::size_t size() const { return workers_; }
    // How many workers may join one call.
    std::size_t helpers() const { return helpers_; }

    void run(std::size_t rows, RowBody body, void* context);

    // Queues `work` for up to `seats` workers and wakes as many sleeping ones.
    void post(std::shared_ptr<Work> work, std::size_t seats) {
        std::size_t wake;
        {
            std::lock_guard<std::mutex> lock(mu_);
            queue_.push_back(Entry{std::move(work), seats});
            queued_.fetch_add(1, std::memory_order_release);
            wake = std::min(seats, sleepers_);
        }
        for (std::size_t i = 0; i < wake; ++i) cv_.notify_one();
    }

    // Polls `ready` until it holds, SPIN_TIME has passed, or the processor is
    // needed; true if it held. A thread spins only while fewer of the pool's
    // threads work (callers on their loops, workers on their work) or spin
    // than there are processors, so it never keeps one of them off a processor;
    // when callers outnumber processors nothing spins.
    template <class Ready>
    bool spin_until(Ready&& ready) {
        if (active_.load(std::memory_order_relaxed) +
                spinning_.fetch_add(1, std::memory_order_relaxed) >=
            processors_) {
            spinning_.fetch_sub(1, std::memory_order_relaxed);
            return ready();
        }
        const auto deadline = std::chrono::steady_clock::now() + SPIN_TIME;
        bool held = false;
        for (unsigned n = 1;; ++n) {
            if (ready()) {
                held = true;
                break;
            }
            cpu_relax();
            if (n % 64 == 0 &&
                (std::chrono::steady_clock::now() >= deadline ||
                 active_.load(std::memory_order_relaxed) + spinning_.load(std::memory_order_relaxed) >
                     processors_))
                break;
        }
        spinning_.fetch_sub(1, std::memory_order_relaxed);
        return held;
    }

    // Returns once `word` holds `value`: after a short spin, asleep.
    void wait_for(std::atomic<std::uint32_t>& word, std::uint32_t value) {
        auto ready = [&] { return word.load(std::memory_order_acquire) == value; };
        if (spin_until(ready)) return;
        for (;;) {
            const std::uint32_t now = word.load(std::memory_order_acquire);
            if (now == value) return;
            sleep_while(word, now);
        }
    }

    // Whether fewer of the pool's threads work than there are processors. When
    // every processor has one, a worker that joined a call could only take a
    // processor from another call: callers then do their own work.
    bool processor_free() const { return active_.load(std::memory_order_relaxed) < processors_; }

    // Threads of the pool's that are working: callers on their loops (or
    // beside which work is handed out) and workers on what they took.
    void start_working() { active_.fetch_add(1, std::memory_order_relaxed); }
    void stop_working() { active_.fetch_sub(1, std::memory_order_relaxed); }

private:
    struct Entry {
        std::shared_ptr<Work> work;
        std::size_t seats;  // workers that may still take it
    };

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

    // Takes work from the queue and runs it, for ever. The pool is never
    // destroyed, so workers never need to stop.
    void work() {
        bool watch = false;
        for (;;) watch = take(watch)->run_on_worker(*this);
    }

    // The oldest work with a free seat; if there is none, after a short watch
    // when `watch` is set, asleep.
    std::shared_ptr<Work> take(bool watch) {
        if (watch) spin_until([&] { return queued_.load(std::memory_order_acquire) > 0; });
        std::unique_lock<std::mutex> lock(mu_);
        while (queue_.empty()) {
            ++sleepers_;
            cv_.wait(lock);
            --sleepers_;
        }
        Entry& front = queue_.front();
        std::shared_ptr<Work> work = front.work;
        if (--front.seats == 0) {
            queue_.pop_front();
            queued_.fetch_sub(1, std::memory_order_relaxed);
        }
        return work;
    }

    const std::size_t processors_;
    std::size_t workers_ = 0;
    std::size_t helpers_ = 0;
    std::atomic<std::size_t> active_{0};
    std::atomic<std::size_t> spinning_{0};

    std::mutex mu_;  // guards queue_ and sleepers_
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    std::size_t sleepers_ = 0;
    std::atomic<std::size_t> queued_{0};  // queue_.size(), readable without mu_
};

namespace {

// One row loop. Its caller claims pieces like the workers that join it; a
// worker that takes it after every row is claimed finds nothing and leaves.
// Pieces shrink as the loop goes on (each is a share of the rows left), so
// that the threads reach the end of the loop together: with pieces of one
// size, a caller that has run out of them waits for half of one, on average.
class RowJob final : public Work {
public:
    RowJob(RowBody body, void* context, std::size_t rows, std::size_t threads)
        : body_(body), context_(context), rows_(rows), share_(SHARE_PER_THREAD * threads),
          least_rows_(std::max<std::size_t>(1, rows / (LEAST_PIECES_PER_THREAD * threads))) {}

    bool run_on_worker(Pool& pool) override {
        pool.start_working();
        run_pieces();
        pool.stop_working();
        return true;
    }

    // Claims and runs pieces until every row is claimed.
    void run_pieces() {
        std::size_t begin = next_.load(std::memory_order_relaxed);
        for (;;) {
            if (begin >= rows_) return;
            const std::size_t left = rows_ - begin;
            const std::size_t n = std::min(left, std::max(least_rows_, (left + share_ - 1) / share_));
            if (next_.compare_exchange_weak(begin, begin + n, std::memory_order_relaxed)) {
                run_piece(begin, begin + n);
                begin = next_.load(std::memory_order_relaxed);
            }
        }
    }

    // Returns when every row has run, and rethrows the first fault of a piece.
    void finish(Pool& pool) {
        pool.wait_for(finished_, 1);
        if (fault_) std::rethrow_exception(fault_);
    }

private:
    void run_piece(std::size_t begin, std::size_t end) {
        // A fault cancels the pieces that have not started.
        if (!failed_.load(std::memory_order_relaxed)) {
            try {
                body_(context_, begin, end);
            } catch (...) {
                std::lock_guard<std::mutex> lock(fault_mu_);
                if (!fault_) fault_ = std::current_exception();
                failed_.store(true, std::memory_order_relaxed);
            }
        }
        // Counted after any fault is stored, so a caller that sees the loop
        // finished (acquire) sees the fault too. A worker holds the job by a
        // shared pointer, so it outlives a caller that returns at once.
        const std::size_t n = end - begin;
        if (done_.fetch_add(n, std::memory_order_acq_rel) + n == rows_) {
            finished_.store(1, std::memory_order_release);
            wake_all(finished_);
        }
    }

    RowBody body_;
    void* context_;
    const std::size_t rows_;
    const std::size_t share_;
    const std::size_t least_rows_;
    std::atomic<std::size_t> next_{0};  // the first row not yet claimed
    std::atomic<std::size_t> done_{0};  // rows run (or cancelled)
    std::atomic<std::uint32_t> finished_{0};
    std::atomic<bool> failed_{false};
    std::mutex fault_mu_;
    std::exception_ptr fault_;
};

}  // namespace

void Pool::run(std::size_t rows, RowBody body, void* context) {
    const std::size_t helpers = processor_free() ? std::min(helpers_, rows - 1) : 0;
    if (helpers == 0) {
        // Nobody may or should join: the caller runs the loop in one piece.
        start_working();
        struct Done {
            Pool& pool;
            ~Done() { pool.stop_working(); }
        } done{*this};
        body(context, 0, rows);
        return;
    }
    auto job = std::make_shared<RowJob>(body, context, rows, helpers + 1);
    post(job, helpers);
    start_working();
    job->run_pieces();
    stop_working();
    job->finish(*this);
}

// The work beside one call. Its state says who, if anybody, runs steps:
// IDLE     nobody, and it is not queued;
// QUEUED   it is in the queue, for one worker;
// RUNNING  a worker runs steps;
// AGAIN    a worker runs steps and new work was offered since it began to;
// CLOSED   the caller has finished with it; it is never run again.
// Only the worker that took it moves it out of RUNNING or AGAIN, so at most one
// worker runs steps at a time.
class BesideJob final : public Work {
public:
    enum : std::uint32_t { IDLE, QUEUED, RUNNING, AGAIN, CLOSED };

    BesideJob(Pool& pool, Beside::Step step, void* context)
        : pool_(pool), step_(step), context_(context), helps_(pool.helpers() > 0) {
        pool_.start_working();  // the caller, until it closes
    }

    bool step() { return step_(context_); }

    bool offer(const std::shared_ptr<BesideJob>& self) {
        // The caller counts among the working threads already.
        if (!helps_ || failed_.load(std::memory_order_relaxed)) return false;
        if (!pool_.processor_free() && state_.load(std::memory_order_relaxed) == IDLE) return false;
        std::uint32_t s = state_.load(std::memory_order_relaxed);
        for (;;) {
            if (s == IDLE) {
                if (state_.compare_exchange_weak(s, QUEUED, std::memory_order_acq_rel)) {
                    pool_.post(self, 1);
                    return true;
                }
            } else if (s == RUNNING) {
                // The worker looks again before it leaves: the new work was
                // published before this (release), it reads it after (acquire).
                if (state_.compare_exchange_weak(s, AGAIN, std::memory_order_acq_rel)) return true;
            } else {
                return s != CLOSED;
            }
        }
    }

    // The caller offers work in batches worth a wake-up, so a worker that has
    // run out of it sleeps rather than watching for the next batch.
    bool run_on_worker(Pool& pool) override {
        std::uint32_t s = QUEUED;
        if (!state_.compare_exchange_strong(s, RUNNING, std::memory_order_acquire)) return false;
        pool.start_working();
        for (;;) {
            if (!failed_.load(std::memory_order_relaxed)) {
                try {
                    while (step()) {
                    }
                } catch (...) {
                    fault_ = std::current_exception();  // read by the caller once closed
                    failed_.store(true, std::memory_order_relaxed);
                }
            }
            s = RUNNING;
            if (state_.compare_exchange_strong(s, IDLE, std::memory_order_acq_rel)) break;
            state_.store(RUNNING, std::memory_order_relaxed);  // it was AGAIN: look again
        }
        pool.stop_working();
        wake_all(state_);
        return false;
    }

    // Waits until no worker runs steps, and closes: by the caller, idempotent.
    void close() {
        if (closed_) return;
        closed_ = true;
        pool_.stop_working();  // the caller leaves, or waits
        auto idle = [&] {
            const std::uint32_t now = state_.load(std::memory_order_acquire);
            return now != RUNNING && now != AGAIN;
        };
        std::uint32_t s = state_.load(std::memory_order_acquire);
        for (;;) {
            if (s == IDLE || s == QUEUED) {
                // A queued entry stays in the queue; the worker that takes it
                // finds it closed and leaves.
                if (state_.compare_exchange_weak(s, CLOSED, std::memory_order_acq_rel)) return;
                continue;
            }
            // A worker is on its last steps (the caller has run out of work
            // too): at most the one it began.
            if (!pool_.spin_until(idle)) {
                while (!idle()) {
                    sleep_while(state_, s);
                    s = state_.load(std::memory_order_acquire);
                }
            }
            s = state_.load(std::memory_order_acquire);
        }
    }

    void rethrow_fault() {
        if (fault_) std::rethrow_exception(fault_);
    }

private:
    Pool& pool_;
    Beside::Step step_;
    void* context_;
    const bool helps_;
    bool closed_ = false;  // by the caller only
    std::atomic<std::uint32_t> state_{IDLE};
    std::atomic<bool> failed_{false};
    std::exception_ptr fault_;
};

namespace {

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
    (void)fork_handlers_installed;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.pool == nullptr || r.owner != getpid()) {
        r.pool = new Pool(configured_size());
        r.owner = getpid();
    }
    return *r.pool;
}

}  // namespace

Beside::Beside(Step step, void* context)
    : job_(std::make_shared<BesideJob>(the_pool(), step, context)) {}

Beside::~Beside() { job_->close(); }

bool Beside::offer() { return job_->offer(job_); }

void Beside::finish() {
    while (job_->step()) {
    }
    job_->close();
    job_->rethrow_fault();
}

std::size_t configured_size() {
    long n = read_count("RAYON_NUM_THREADS");
    if (n < 0) n = read_count("RAYON_RS_NUM_CPUS");
    if (n > 0) return static_cast<std::size_t>(n);
    return available_processors();
}

std::size_t thread_count() { return the_pool().size(); }

void parallel_rows_erased(std::size_t rows, RowBody body, void* context) {
    if (rows == 0) return;
    the_pool().run(rows, body, context);
}

}  // namespace vantrell::pool
