// The process-wide worker pool: size rule, workers started as jobs need them, fork handling and
// run_chunks.
#include "core/pool/pool.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"

namespace veltrane {

namespace {

constexpr std::uint64_t max_pool_size = 65535;

// The waiting caller wakes this often even when no chunk finished, to ask its interrupt
// poller whether to stop; two slices stay within 100 ms.
constexpr std::chrono::milliseconds wait_slice{50};

// Set on the pool's own threads: a chunk that itself calls run_chunks runs that inner loop
// inline, since waiting for the pool from inside the pool could deadlock.
thread_local bool on_worker_thread = false;

// Set while this thread waits for a job of the pool. The interrupt poller runs there and may
// run arbitrary code (a Python signal handler), which may start another computation: that one
// runs inline, since the pool is busy with the waiting job.
thread_local bool waiting_for_pool = false;

// Bumped in every child process forked while the pool exists: a caller whose poller forked
// can tell that it now lives in a child without the workers it was waiting for.
std::atomic<std::uint64_t> forks_seen{0};

// A decimal count: ASCII digits with an optional single leading '+', nothing else. A number
// too long for 64 bits saturates instead of wrapping: it is just a huge count, and the 65535
// cap turns it into 65535 like any other huge count.
std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    return value;
}

// One run_chunks call as the workers see it. It lives on the caller's stack; the caller
// returns only when no worker is inside it any more.
struct Job {
    const std::function<void(std::size_t)>* body = nullptr;
    std::size_t count = 0;
    std::exception_ptr* errors = nullptr;  // one slot per chunk
    std::atomic<std::size_t> next{0};      // next unclaimed chunk index
    std::size_t active = 0;                // workers inside the job, guarded by Pool::mutex_
    // Set once the caller is interrupted: running chunks stop at their next check_interrupt()
    // and chunks not yet started are skipped.
    std::atomic<bool> stop{false};
};

// Claims chunk indices until none is left. No exception leaves this function.
void run_claimed_chunks(Job& job) noexcept {
    const detail::StopFlagScope stop_scope(&job.stop);
    for (;;) {
        const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.count) return;
        if (job.stop.load(std::memory_order_relaxed)) continue;
        try {
            (*job.body)(i);
        } catch (const Interrupted&) {
            job.stop.store(true, std::memory_order_relaxed);
        } catch (...) {
            job.errors[i] = std::current_exception();
        }
    }
}

// After a job: an interruption wins over chunk failures, else the first failure in chunk
// order is rethrown.
void finish_job(const Job& job, const std::vector<std::exception_ptr>& errors) {
    if (job.stop.load(std::memory_order_relaxed)) throw Interrupted();
    for (const auto& error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

// Runs every chunk on the calling thread, which keeps its own interrupt poller.
void run_inline(std::size_t count, const std::function<void(std::size_t)>& body) {
    std::vector<std::exception_ptr> errors(count);
    Job job;
    job.body = &body;
    job.count = count;
    job.errors = errors.data();
    run_claimed_chunks(job);
    finish_job(job, errors);
}

class WaitingForPool {
 public:
    WaitingForPool() noexcept { waiting_for_pool = true; }
    ~WaitingForPool() { waiting_for_pool = false; }
    WaitingForPool(const WaitingForPool&) = delete;
    WaitingForPool& operator=(const WaitingForPool&) = delete;
};

class Pool {
 public:
    explicit Pool(std::size_t size) noexcept : size_(size) {}

    std::size_t size() const noexcept { return size_; }

    std::size_t threads() {
        std::lock_guard lock(mutex_);
        return started_;
    }

    // Runs the job on the workers and returns true, or returns false at once, running
    // nothing, when another thread's job holds the pool.
    bool try_run(std::size_t count, const std::function<void(std::size_t)>& body) {
        // The workers serve one job at a time. A second caller does not queue up behind the
        // first: it may hold a lock the first one's poller needs (the interpreter lock).
        std::unique_lock run_lock(run_mutex_, std::try_to_lock);
        if (!run_lock.owns_lock()) return false;
        std::vector<std::exception_ptr> errors(count);
        Job job;
        job.body = &body;
        job.count = count;
        job.errors = errors.data();
        const WaitingForPool waiting;
        const std::uint64_t forks_at_start = forks_seen.load(std::memory_order_relaxed);
        // A job never needs more workers than it has chunks.
        const std::size_t wanted = std::min(count, size_);
        {
            std::unique_lock lock(mutex_);
            job_ = &job;
            ++generation_;
            joining_ = idle_;
            work_cv_.notify_all();
            bool stopping = false;
            bool may_grow = true;
            const auto done = [&] {
                return job.active == 0 && job.next.load(std::memory_order_relaxed) >= count;
            };
            // Threads start one at a time, only while every worker is busy and chunks are
            // left, so the pool grows to what its jobs actually run at once.
            const auto grow_now = [&] {
                return may_grow && !stopping && started_ < wanted && joining_ == 0 &&
                       job.next.load(std::memory_order_relaxed) < count;
            };
            while (!done()) {
                if (grow_now()) {
                    lock.unlock();
                    may_grow = start_worker();
                    lock.lock();
                    continue;
                }
                if (started_ == 0 && job.next.load(std::memory_order_relaxed) < count) {
                    // The system refused the first worker: this thread runs the chunks, with
                    // its own poller, as a worker would.
                    lock.unlock();
                    run_claimed_chunks(job);
                    lock.lock();
                    continue;
                }
                done_cv_.wait_for(lock, wait_slice);
                if (stopping || done()) continue;
                // The poller may run arbitrary code; never hold the pool's lock meanwhile.
                lock.unlock();
                const bool stop = detail::interrupt_requested_now();
                if (forks_seen.load(std::memory_order_relaxed) != forks_at_start) {
                    // The poller forked and this is the child: the workers that hold the
                    // remaining chunks exist only in the parent. The child's pool is new.
                    throw Panic("the process forked while a parallel computation was running");
                }
                lock.lock();
                if (stop) {
                    stopping = true;
                    job.stop.store(true, std::memory_order_relaxed);
                }
            }
            job_ = nullptr;
        }
        run_lock.unlock();
        finish_job(job, errors);
        return true;
    }

 private:
    // Starts one more worker, which joins the running job. False when the system refuses a
    // thread: the job goes on with the workers it has.
    bool start_worker() noexcept {
        {
            std::lock_guard lock(mutex_);
            ++joining_;
        }
        bool started = false;
        try {
            if (const auto hook = detail::before_thread_start.load(std::memory_order_relaxed)) {
                hook();
            }
            // Never joined: like the pool itself, a worker lives as long as the process.
            std::thread([this] { work_loop(); }).detach();
            started = true;
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
        std::lock_guard lock(mutex_);
        if (started) {
            ++started_;
        } else {
            --joining_;
        }
        return started;
    }

    void work_loop() {
        on_worker_thread = true;
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            work_cv_.wait(lock, [&] { return job_ != nullptr && generation_ != seen; });
            --idle_;
            seen = generation_;
            // The last worker on its way in wakes the caller, which may start another.
            if (joining_ > 0 && --joining_ == 0) done_cv_.notify_all();
            Job& job = *job_;
            ++job.active;
            lock.unlock();
            run_claimed_chunks(job);
            lock.lock();
            // Every index is claimed once a worker leaves; the last one out wakes the caller.
            if (--job.active == 0) done_cv_.notify_all();
        }
    }

    const std::size_t size_;
    std::mutex run_mutex_;
    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    Job* job_ = nullptr;            // guarded by mutex_
    std::uint64_t generation_ = 0;  // guarded by mutex_; bumped for every job
    std::size_t started_ = 0;       // guarded by mutex_; workers started, never fewer
    std::size_t idle_ = 0;          // guarded by mutex_; workers waiting for a job
    std::size_t joining_ = 0;       // guarded by mutex_; workers woken for the job, not in yet
};

// The pool is created on first use and never destroyed, so no thread is joined while the
// process shuts down. After fork() the child has none of the pool's threads: the child
// handler forgets (leaks) the parent's pool, and the child's first use builds its own.
std::mutex pool_creation_mutex;
std::atomic<Pool*> process_pool{nullptr};

#if !defined(_WIN32)
// Holding the creation mutex across fork() keeps a half-created pool out of the child and
// hands the child an unlocked mutex. The child never touches the old pool's own mutexes.
void before_fork() noexcept { pool_creation_mutex.lock(); }
void after_fork_in_parent() noexcept { pool_creation_mutex.unlock(); }
void after_fork_in_child() noexcept {
    forks_seen.fetch_add(1, std::memory_order_relaxed);
    process_pool.store(nullptr, std::memory_order_relaxed);
    pool_creation_mutex.unlock();
}

// Registered when the library loads, before any thread can take the creation mutex: handlers
// registered by the first pool's creator, under that mutex, left a window in which another
// thread's fork() gave the child a mutex locked for ever. pthread_atfork fails only for lack
// of memory, which the first use of the pool then reports.
const bool fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
#endif

std::optional<std::string_view> env_value(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

Pool& process_wide_pool() {
    if (Pool* pool = process_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(pool_creation_mutex);
    Pool* pool = process_pool.load(std::memory_order_relaxed);
    if (pool != nullptr) return *pool;
#if !defined(_WIN32)  // Windows has no fork()
    if (!fork_handlers_registered) throw std::bad_alloc();
#endif
    const std::size_t size =
        detail::pool_size_from(env_value("RAYON_NUM_THREADS"), env_value("RAYON_RS_NUM_CPUS"),
                               std::thread::hardware_concurrency());
    // No thread starts here: jobs start the workers they need.
    pool = new Pool(size);
    process_pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace

namespace detail {

std::size_t pool_size_from(std::optional<std::string_view> rayon_num_threads,
                           std::optional<std::string_view> rayon_rs_num_cpus,
                           std::size_t cpu_count) {
    const std::uint64_t processors = cpu_count == 0 ? 1 : cpu_count;
    std::uint64_t size = processors;
    const auto threads = rayon_num_threads ? parse_count(*rayon_num_threads) : std::nullopt;
    const auto cpus = rayon_rs_num_cpus ? parse_count(*rayon_rs_num_cpus) : std::nullopt;
    if (threads) {
        // 0 asks for the processor count.
        size = *threads > 0 ? *threads : processors;
    } else if (cpus && *cpus > 0) {
        // Here 0 is not a positive count, so it falls through to the processor count.
        size = *cpus;
    }
    return static_cast<std::size_t>(std::min(size, max_pool_size));
}

}  // namespace detail

namespace detail {

constinit std::atomic<void (*)()> before_thread_start{nullptr};

std::size_t pool_thread_count() {
    Pool* pool = process_pool.load(std::memory_order_acquire);
    return pool != nullptr ? pool->threads() : 0;
}

}  // namespace detail

std::size_t pool_size() { return process_wide_pool().size(); }

void run_chunks(std::size_t count, const std::function<void(std::size_t)>& body) {
    if (count == 0) return;
    if (on_worker_thread || waiting_for_pool || !process_wide_pool().try_run(count, body)) {
        run_inline(count, body);
    }
}

}  // namespace veltrane
