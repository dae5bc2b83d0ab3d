// The worker pool and cooperative interruption: the pool-size rule, run_chunks (exceptions,
// nesting, fork safety) and the poll stride, nested pollers and a stopped run. Ctrl-C on the
// module's calls is checked end to end in the Python suite.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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

}  // namespace
}  // namespace veltrane
