// The worker pool and cooperative interruption: the pool-size rule, run_chunks (exceptions,
// nesting, fork safety, threads started as chunks need them, refused thread starts) and the
// poll stride, nested pollers and a stopped run. Ctrl-C on the module's calls is checked end
// to end in the Python suite.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "core/pool/pool.hpp"
#include "core/support/interrupt.hpp"
#include "test_util.hpp"

namespace veltrane {
namespace {

using test_util::HangGuard;

TEST(PoolSizeFrom, FollowsTheVariableRules) {
    constexpr auto unset = std::nullopt;
    const auto size = [](std::optional<std::string_view> threads,
                         std::optional<std::string_view> cpus, std::size_t cpu_count) {
        return detail::pool_size_from(threads, cpus, cpu_count);
    };
    for (const char* t : {"4", "+4", "0004"}) {  // digits with an optional plus sign
        EXPECT_EQ(size(t, "3", 8), 4u) << t;
        EXPECT_EQ(size(unset, t, 8), 4u) << t;
    }
    // Anything else falls through to the next variable, then to the processor count.
    for (const char* t : {"", " 4", "4\n", "-1", "abc", "0x10", "+", "++4"}) {
        EXPECT_EQ(size(t, "3", 8), 3u) << t;
        EXPECT_EQ(size(unset, t, 8), 8u) << t;
    }
    // Zero means the processor count (1 when unknown) and does not fall through, except in
    // the second variable; every result is capped, values beyond 64 bits too.
    EXPECT_EQ(size("0", "6", 8), 8u);
    EXPECT_EQ(size("+0", unset, 0), 1u);
    EXPECT_EQ(size(unset, "0", 8), 8u);
    EXPECT_EQ(size("99999999999999999999999", "3", 8), 65535u);
    EXPECT_EQ(size(unset, "65536", 8), 65535u);
    EXPECT_EQ(size(unset, unset, 100000), 65535u);
}

TEST(RunChunks, FirstExceptionInChunkOrderComesBackAfterEveryChunkAndNestedCallsRunInline) {
    HangGuard guard;
    std::vector<std::atomic<int>> finished(200);
    try {
        run_chunks(finished.size(), [&](std::size_t i) {
            // Chunk 7 throws last in time when there are two workers or more.
            if (i == 7) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished[i] = 1;
            if (i == 7) throw std::runtime_error("chunk 7");
            if (i == 150) throw Panic("chunk 150");
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "chunk 7");
    }
    for (const auto& f : finished) EXPECT_EQ(f.load(), 1);
    std::vector<std::uint64_t> sums(pool_size() * 2 + 2, 0);
    run_chunks(sums.size(), [&](std::size_t i) {
        std::vector<std::uint64_t> parts(10, 0);
        run_chunks(10, [&](std::size_t j) { parts[j] = i * 100 + j; });
        for (const auto p : parts) sums[i] += p;
    });
    for (std::size_t i = 0; i < sums.size(); ++i) EXPECT_EQ(sums[i], i * 1000 + 45);
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

// Runs check in a child process, whose pool is made anew with RAYON_NUM_THREADS set to
// `threads`, and returns what check reported: empty when every expectation held.
std::string in_fresh_pool(const char* threads, std::string (*check)()) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        alarm(60);  // a hang becomes a SIGALRM death the parent sees
        close(pipe_fds[0]);
        setenv("RAYON_NUM_THREADS", threads, 1);
        unsetenv("RAYON_RS_NUM_CPUS");
        const std::string report = check();
        const ssize_t written = write(pipe_fds[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string report;
    char buffer[256];
    for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipe_fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "the child failed (status " + std::to_string(status) + "): " + report;
    }
    return report;
}

// Adds "<what>: <got> != <want>" to a child's report.
template <typename T>
void expect_eq(std::string& report, const char* what, T got, T want) {
    if (got != want) {
        report +=
            std::string(what) + ": " + std::to_string(got) + " != " + std::to_string(want) + "; ";
    }
}

// Runs `count` chunks that each wait until `together` chunks run at the same time, or until
// `patience` has passed; true when every chunk saw them together.
bool run_together(std::size_t count, std::size_t together, std::chrono::milliseconds patience) {
    std::atomic<std::size_t> running{0};
    std::atomic<std::size_t> met{0};
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

std::atomic<int> thread_starts_allowed{0};
std::atomic<int> thread_starts_refused{0};

// The thread-start hook: lets the first thread_starts_allowed starts through, then acts as a
// system out of threads.
void refuse_after_allowed() {
    if (thread_starts_allowed.fetch_sub(1) > 0) return;
    ++thread_starts_refused;
    throw std::system_error(EAGAIN, std::generic_category(), "no more threads");
}

TEST(PoolThreads, StartAsChunksNeedThemNeverMoreThanTheChunksOrTheSize) {
    const std::string report = in_fresh_pool("100000", [] {
        std::string r;
        expect_eq(r, "pool size", pool_size(), std::size_t{65535});
        expect_eq(r, "threads at creation", detail::pool_thread_count(), std::size_t{0});
        // Three chunks that wait for each other need three workers, and get no more.
        expect_eq(r, "three together", run_together(3, 3, std::chrono::seconds(30)), true);
        expect_eq(r, "threads after three", detail::pool_thread_count(), std::size_t{3});
        expect_eq(r, "one chunk", run_together(1, 1, std::chrono::seconds(1)), true);
        expect_eq(r, "threads after one", detail::pool_thread_count(), std::size_t{3});
        return r;
    });
    EXPECT_EQ(report, "");
    const std::string small = in_fresh_pool("2", [] {
        std::string r;
        // Four chunks that would like to run together get the pool's two workers.
        expect_eq(r, "four", run_together(4, 4, std::chrono::milliseconds(300)), false);
        expect_eq(r, "threads", detail::pool_thread_count(), std::size_t{2});
        return r;
    });
    EXPECT_EQ(small, "");
}

TEST(PoolThreads, RefusedThreadStartsLeaveTheWorkToTheThreadsThereAre) {
    const std::string some = in_fresh_pool("8", [] {
        std::string r;
        thread_starts_allowed = 2;
        detail::before_thread_start = refuse_after_allowed;
        // Chunks that would like three workers get the two the system gave, and finish.
        expect_eq(r, "three", run_together(6, 3, std::chrono::milliseconds(200)), false);
        expect_eq(r, "threads", detail::pool_thread_count(), std::size_t{2});
        expect_eq(r, "refused", thread_starts_refused.load() >= 1, true);
        std::atomic<std::uint64_t> sum{0};
        try {
            run_chunks(1000, [&](std::size_t i) {
                sum += i;
                if (i == 4) throw std::runtime_error("chunk 4");
            });
            r += "no exception; ";
        } catch (const std::runtime_error& e) {
            expect_eq(r, "chunk 4", std::string(e.what()) == "chunk 4", true);
        }
        expect_eq(r, "sum", sum.load(), std::uint64_t{499500});
        return r;
    });
    EXPECT_EQ(some, "");
    const std::string none = in_fresh_pool("8", [] {
        std::string r;
        thread_starts_allowed = 0;
        detail::before_thread_start = refuse_after_allowed;
        // Without any worker the calling thread runs every chunk itself.
        std::vector<std::thread::id> ran_on(50);
        run_chunks(ran_on.size(), [&](std::size_t i) { ran_on[i] = std::this_thread::get_id(); });
        for (const auto id : ran_on) {
            expect_eq(r, "on the caller", id == std::this_thread::get_id(), true);
        }
        expect_eq(r, "threads", detail::pool_thread_count(), std::size_t{0});
        // A failure in a chunk still comes back, and so does a stop.
        try {
            run_chunks(3, [](std::size_t i) {
                if (i == 1) throw Panic("chunk 1");
            });
            r += "no panic; ";
        } catch (const Panic&) {
        }
        // Once the system gives threads again, the next job gets its workers.
        detail::before_thread_start = nullptr;
        expect_eq(r, "two", run_together(2, 2, std::chrono::seconds(30)), true);
        expect_eq(r, "threads later", detail::pool_thread_count(), std::size_t{2});
        return r;
    });
    EXPECT_EQ(none, "");
}

// Pollers are plain function pointers, so their state lives in globals.
std::atomic<int> polls{0};
bool count_polls() noexcept { return ++polls, false; }
bool always_stop() noexcept { return ++polls, true; }
bool never_stop() noexcept { return false; }

TEST(CheckInterrupt, PollsOncePerStrideNestsAndThrowsWhenTold) {
    {
        const InterruptScope scope(count_polls);
        polls = 0;
        for (std::int64_t i = 0; i < 5 * detail::interrupt_stride; ++i) check_interrupt();
        EXPECT_EQ(polls.load(), 5);
        for (int i = 0; i < 8; ++i) check_interrupt(detail::interrupt_stride / 2);
        EXPECT_EQ(polls.load(), 9);  // a heavier unit uses up the stride sooner
        {
            const InterruptScope inner(never_stop);
            for (std::int64_t i = 0; i < 3 * detail::interrupt_stride; ++i) check_interrupt();
        }
        EXPECT_EQ(polls.load(), 9);
    }
    const InterruptScope scope(always_stop);
    std::int64_t done = 0;
    try {
        for (;; ++done) check_interrupt();
    } catch (const Interrupted&) {
    }
    EXPECT_EQ(done, detail::interrupt_stride - 1);
}

TEST(CheckInterrupt, StopsRunningChunksSkipsTheRestAndWinsOverFailures) {
    HangGuard guard;
    // A chunk that checks for a stop until one comes; one never stopped runs out of time.
    std::atomic<int> ran_out_of_time{0};
    const auto spin = [&] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < give_up) check_interrupt();
        ++ran_out_of_time;
    };
    {
        const InterruptScope scope(always_stop);
        std::atomic<std::size_t> started{0};
        EXPECT_THROW(run_chunks(pool_size() * 4,
                                [&](std::size_t) {
                                    ++started;
                                    spin();
                                }),
                     Interrupted);
        EXPECT_LE(started.load(), pool_size());  // none started after the stop
        EXPECT_THROW(run_chunks(pool_size() + 1,
                                [&](std::size_t i) {
                                    if (i == 0) throw Panic("chunk 0");
                                    run_chunks(4, [&](std::size_t) { spin(); });
                                }),
                     Interrupted);
    }
    EXPECT_EQ(ran_out_of_time.load(), 0);
    std::atomic<std::size_t> sum{0};
    run_chunks(100, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 4950u);
}

TEST(CheckInterrupt, StopsTheChunksTheCallerRunsWhenNoWorkerCanStart) {
    const std::string report = in_fresh_pool("4", [] {
        std::string r;
        thread_starts_allowed = 0;
        detail::before_thread_start = refuse_after_allowed;
        const InterruptScope scope(always_stop);
        std::atomic<std::size_t> started{0};
        try {
            run_chunks(16, [&](std::size_t) {
                ++started;
                for (;;) check_interrupt();
            });
            r += "not interrupted; ";
        } catch (const Interrupted&) {
        }
        expect_eq(r, "started", started.load(), std::size_t{1});
        return r;
    });
    EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace veltrane
