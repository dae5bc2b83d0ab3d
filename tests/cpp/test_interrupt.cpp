// Tests of cooperative interruption: the poll stride, nested scopes, long loops stopping with
// Interrupted, and the pool's stop and fork handling. (Every module call polls, so the Python
// suite's exact results are those of a poller that never stops.)
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/support/interrupt.hpp"
#include "core/support/panic.hpp"
#include "core/pool/pool.hpp"
#include "metrics/rf/rf_distance.hpp"
#include "test_util.hpp"
#include "core/tree/binary_rmq.hpp"
#include "core/tree/newick.hpp"
#include "metrics/triplets/ultra_fast_triplets.hpp"

namespace veltrane {
namespace {

// Pollers are plain function pointers, so their state lives in globals.
std::atomic<int> polls{0};
bool count_polls() noexcept {
    ++polls;
    return false;
}
bool always_stop() noexcept {
    ++polls;
    return true;
}
bool never_stop() noexcept { return false; }

using test_util::caterpillar;
using test_util::HangGuard;

// ---- The check itself ----

TEST(CheckInterrupt, PollsOncePerStrideOfWorkAndThrowsWhenTold) {
    for (int i = 0; i < 100000; ++i) check_interrupt();  // without a poller nothing stops
    {
        const InterruptScope scope(count_polls);
        polls = 0;
        for (std::int64_t i = 0; i < 5 * detail::interrupt_stride; ++i) check_interrupt();
        EXPECT_EQ(polls.load(), 5);
        // A heavier unit of work uses up the stride sooner.
        polls = 0;
        for (int i = 0; i < 8; ++i) check_interrupt(detail::interrupt_stride / 2);
        EXPECT_EQ(polls.load(), 4);
    }
    const InterruptScope scope(always_stop);
    std::int64_t done = 0;
    try {
        for (;; ++done) check_interrupt();
    } catch (const Interrupted&) {
    }
    EXPECT_EQ(done, detail::interrupt_stride - 1);
}

TEST(InterruptScope, NestedScopesRestoreThePreviousPoller) {
    polls = 0;
    {
        const InterruptScope outer(count_polls);
        {
            const InterruptScope inner(never_stop);
            for (std::int64_t i = 0; i < 3 * detail::interrupt_stride; ++i) check_interrupt();
        }
        EXPECT_EQ(polls.load(), 0);
        for (std::int64_t i = 0; i < 2 * detail::interrupt_stride; ++i) check_interrupt();
        EXPECT_EQ(polls.load(), 2);
    }
    EXPECT_FALSE(detail::interrupt_requested_now());
}

// ---- Every long loop stops ----

// The long loops the module's own interrupt tests do not reach one by one. Each call is far
// longer than one poll stride.
struct LongCall {
    const char* name;
    std::function<void()> run;
};

class LongLoops : public ::testing::TestWithParam<LongCall> {};

TEST_P(LongLoops, StopWithInterruptedAtTheFirstPoll) {
    HangGuard guard;
    polls = 0;
    const InterruptScope scope(always_stop);
    EXPECT_THROW(GetParam().run(), Interrupted);
    EXPECT_EQ(polls.load(), 1);
}

using Trees = SimpleRootedTree;
const LongCall long_calls[] = {
    {"UltraExhaustive",
     [] {
         Trees t1 = from_newick(caterpillar(5000)), t2 = from_newick(caterpillar(5000));
         calculate_triplets_correct_ultra(t1, t2, 1u << 30, std::nullopt);
     }},
    {"RobinsonFoulds",
     [] { calculate_rf_distance(from_newick(caterpillar(3000)), from_newick(caterpillar(3000))); }},
    {"RangeMinimumTable",
     [] {
         std::vector<std::uint64_t> values(1 << 16);
         for (std::size_t i = 0; i < values.size(); ++i) values[i] = (i * 7919) % 1000;
         BinaryRmq::from_vec(std::move(values));
     }},
};

INSTANTIATE_TEST_SUITE_P(Calls, LongLoops, ::testing::ValuesIn(long_calls),
                         [](const auto& call_info) { return std::string(call_info.param.name); });

// ---- The pool ----

// A chunk that checks for a stop until one comes; one that is never stopped gives up after a
// minute and counts itself.
std::atomic<int> ran_out_of_time{0};
void spin_until_stopped() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < give_up) check_interrupt();
    ++ran_out_of_time;
}

TEST(RunChunksInterrupt, StopsRunningAndNestedChunksSkipsTheRestAndWinsOverFailures) {
    HangGuard guard;
    ran_out_of_time = 0;
    {
        const InterruptScope scope(always_stop);
        const std::size_t count = pool_size() * 4;
        std::atomic<std::size_t> started{0};
        polls = 0;
        EXPECT_THROW(run_chunks(count,
                                [&](std::size_t) {
                                    ++started;
                                    spin_until_stopped();
                                }),
                     Interrupted);
        EXPECT_GE(polls.load(), 1);
        // Each worker took one chunk before the stop; none was started afterwards.
        EXPECT_LE(started.load(), pool_size());
        EXPECT_THROW(run_chunks(pool_size(),
                                [](std::size_t) {
                                    run_chunks(4, [](std::size_t) { spin_until_stopped(); });
                                }),
                     Interrupted);
        EXPECT_THROW(run_chunks(pool_size() + 1,
                                [](std::size_t i) {
                                    if (i == 0) throw Panic("chunk 0");
                                    spin_until_stopped();
                                }),
                     Interrupted);
    }
    EXPECT_EQ(ran_out_of_time.load(), 0);
    // The pool still works, and a call that is not interrupted completes.
    const InterruptScope calm(never_stop);
    std::atomic<std::size_t> sum{0};
    run_chunks(100, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 4950u);
}

// A poller that forks: the child finds itself waiting for workers it does not have.
pid_t forked_child = -1;
bool fork_once() noexcept {
    if (forked_child == -1) {
        forked_child = fork();
        if (forked_child == 0) alarm(60);
    }
    return false;
}

TEST(RunChunksInterrupt, AChildForkedByThePollerFailsCleanly) {
    HangGuard guard;
    forked_child = -1;
    std::vector<std::uint64_t> slots(pool_size() + 1, 0);
    const auto body = [&](std::size_t i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        slots[i] = i + 1;
    };
    {
        const InterruptScope scope(fork_once);
        try {
            run_chunks(slots.size(), body);
        } catch (const Panic& e) {
            // Only the child gets here.
            const bool ok = forked_child == 0 &&
                            std::string(e.what()) ==
                                "the process forked while a parallel computation was running";
            // The child's own pool works.
            std::atomic<std::uint64_t> sum{0};
            run_chunks(100, [&](std::size_t i) { sum += i; });
            _exit(ok && sum.load() == 4950 ? 0 : 1);
        }
    }
    ASSERT_GT(forked_child, 0);
    for (std::size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slots[i], i + 1);
    int status = 0;
    ASSERT_EQ(waitpid(forked_child, &status, 0), forked_child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace veltrane
