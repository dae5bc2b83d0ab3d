// The worker pool and cooperative interruption: the pool-size rule, run_chunks (exceptions in
// chunk order, nesting, fork safety), workers started as chunks need them up to the pool size,
// refused thread starts, the poll stride and stopped runs. Ctrl-C on the module's calls and the
// lazy start of a huge pool are checked end to end in the Python suite.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/pool/pool.hpp"
#include "core/support/interrupt.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

using test_util::HangGuard;

// Python checks the usual values; here the texts that are no count, zeros and the cap.
TEST(PoolSizeFrom, FollowsTheVariableRules) {
    const auto size = detail::pool_size_from;
    constexpr auto unset = std::nullopt;
    using Sizes = std::vector<std::size_t>;
    // Digits with one optional plus sign count; anything else falls through to the next
    // variable, then to the processor count (1 when unknown). Zero is the processor count,
    // except in the second variable; every result is capped, values beyond 64 bits too.
    for (const char* t : {"", " 4", "4\n", "-1", "abc", "0x10", "+", "++4"}) {
        EXPECT_EQ((Sizes{size(t, "3", 8), size(unset, t, 0)}), (Sizes{3, 1})) << t;
    }
    EXPECT_EQ((Sizes{size("+0004", "3", 8), size("0", "6", 8), size(unset, "0", 8),
                     size("99999999999999999999999", "3", 8), size(unset, unset, 100000)}),
              (Sizes{4, 8, 8, 65535, 65535}));
}

TEST(RunChunks, FirstExceptionInChunkOrderComesBackAfterEveryChunkAndNestedCallsRunInline) {
    HangGuard guard;
    std::atomic<std::size_t> finished{0}, sum{0};
    try {
        run_chunks(200, [&](std::size_t i) {
            // Chunk 7 throws last in time when there are two workers or more.
            if (i == 7) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ++finished;
            if (i == 7) throw std::runtime_error("chunk 7");
            if (i == 150) throw Panic("chunk 150");
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "chunk 7");
    }
    EXPECT_EQ(finished.load(), 200u);
    const std::size_t n = pool_size() * 2 + 2;
    run_chunks(n,
               [&](std::size_t i) { run_chunks(10, [&](std::size_t j) { sum += i * 10 + j; }); });
    EXPECT_EQ(sum.load(), n * (n - 1) / 2 * 100 + n * 45);
}

TEST(RunChunks, ForksWhileAnotherThreadRunsChunksGetAWorkingPool) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator takes no lock around fork(): a child forked while the busy
    // thread allocates can hang at its first allocation, whatever the pool does.
    GTEST_SKIP() << "the sanitizer's allocator is not fork-safe while another thread allocates";
#endif
    HangGuard guard;
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) run_chunks(32, [](std::size_t) {});
    });
    for (int k = 0; k < 20; ++k) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(60);  // a hang becomes a SIGALRM death the parent sees
            std::atomic<std::uint64_t> sum{0};
            run_chunks(1000, [&](std::size_t i) { sum += i; });
            _exit(sum.load() == 499500 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
    }
    stop = true;
    busy.join();
}

// Numbers a child's expectations: the first that fails becomes its exit status.
struct Checks {
    int count = 0, failed = 0;
    void operator()(bool ok) { ++count, failed = failed != 0 || ok ? failed : count; }
};

// Runs check in a child process, whose pool is made anew with RAYON_NUM_THREADS set to
// `threads`; returns the child's exit status (0: every expectation held; 142: SIGALRM).
int in_fresh_pool(const char* threads, int (*check)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);  // a hang becomes a SIGALRM death the parent sees
        setenv("RAYON_NUM_THREADS", threads, 1);
        unsetenv("RAYON_RS_NUM_CPUS");
        _exit(check());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `count` chunks that each wait until `together` chunks run at the same time, or until
// `patience` has passed; true when every chunk saw them together.
bool run_together(std::size_t count, std::size_t together, std::chrono::milliseconds patience) {
    std::atomic<std::size_t> running{0}, met{0};
    run_chunks(count, [&](std::size_t) {
        ++running;
        const auto give_up = std::chrono::steady_clock::now() + patience;
        while (running.load() < together && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::yield();
        }
        if (running.load() >= together) ++met;
    });
    return met.load() == count;
}

// The thread-start hook: lets the next thread_starts_allowed starts through, then acts as a
// system out of threads.
std::atomic<int> thread_starts_allowed{0};
void refuse_after_allowed() {
    if (thread_starts_allowed.fetch_sub(1) > 0) return;
    throw std::system_error(EAGAIN, std::generic_category(), "no more threads");
}

// Pollers are plain function pointers.
bool always_stop() noexcept { return true; }
bool never_stop() noexcept { return false; }

// A pool of two: four chunks that would like to run together get its two workers, no more.
int capped_at_the_pool_size() {
    Checks c;
    c(detail::pool_thread_count() == 0);
    c(!run_together(4, 4, std::chrono::milliseconds(300)));
    c(detail::pool_thread_count() == 2);
    return c.failed;
}

// A pool of eight on a system that refuses every thread, then gives two, then any.
int refused_threads() {
    Checks c;
    detail::before_thread_start = refuse_after_allowed;
    // Without any worker the caller runs every chunk itself, and a stop still stops it.
    std::vector<std::thread::id> ran_on(50);
    run_chunks(ran_on.size(), [&](std::size_t i) { ran_on[i] = std::this_thread::get_id(); });
    for (const auto id : ran_on) c(id == std::this_thread::get_id());
    c(detail::pool_thread_count() == 0);
    {
        const InterruptScope scope(always_stop);
        std::atomic<std::size_t> started{0};
        try {
            run_chunks(16, [&](std::size_t) {
                ++started;
                for (;;) check_interrupt();
            });
            c(false);
        } catch (const Interrupted&) {
        }
        c(started.load() == 1);
    }
    // Chunks that would like three workers get the two the system gives, and finish.
    thread_starts_allowed = 2;
    c(!run_together(6, 3, std::chrono::milliseconds(200)));
    c(detail::pool_thread_count() == 2);
    // Once the system gives threads again, the next job gets its workers.
    detail::before_thread_start = nullptr;
    c(run_together(3, 3, std::chrono::seconds(30)));
    c(detail::pool_thread_count() == 3);
    return c.failed;
}

TEST(PoolThreads, StartAsChunksNeedThemUpToThePoolSizeAndAsTheSystemAllows) {
    EXPECT_EQ(in_fresh_pool("2", capped_at_the_pool_size), 0);
    EXPECT_EQ(in_fresh_pool("8", refused_threads), 0);
}

TEST(CheckInterrupt, PollsOncePerStrideNestsAndThrowsWhenTold) {
    // A unit of cost 1 polls at the end of a stride, a heavier one sooner; an inner scope's
    // poller stands in for the outer one while it lasts.
    for (const std::int64_t cost : {std::int64_t{1}, detail::interrupt_stride / 2}) {
        const InterruptScope scope(always_stop);
        {
            const InterruptScope inner(never_stop);
            for (std::int64_t i = 0; i < 3 * detail::interrupt_stride; ++i) check_interrupt();
        }
        std::int64_t done = 0;
        try {
            for (;; ++done) check_interrupt(cost);
        } catch (const Interrupted&) {
        }
        EXPECT_EQ(done, detail::interrupt_stride / cost - 1) << cost;
    }
}

TEST(CheckInterrupt, StopsRunningChunksSkipsTheRestAndWinsOverFailures) {
    HangGuard guard;  // a chunk that is never stopped spins until the guard ends the test
    const auto spin = [](std::size_t) {
        for (;;) check_interrupt();
    };
    {
        const InterruptScope scope(always_stop);
        std::atomic<std::size_t> started{0};
        EXPECT_THROW(run_chunks(pool_size() * 4, [&](std::size_t i) { ++started, spin(i); }),
                     Interrupted);
        EXPECT_LE(started.load(), pool_size());  // none started after the stop
        EXPECT_THROW(run_chunks(pool_size() + 1,
                                [&](std::size_t i) {
                                    if (i == 0) throw Panic("chunk 0");
                                    run_chunks(4, spin);
                                }),
                     Interrupted);
    }
    std::atomic<std::size_t> sum{0};
    run_chunks(100, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 4950u);
}

}  // namespace
}  // namespace veltrane
