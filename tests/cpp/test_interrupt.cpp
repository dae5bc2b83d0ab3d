// Tests of cooperative interruption: the poll stride, nested scopes, every long loop stopping
// with Interrupted, unchanged results when nothing stops, and the pool's stop, re-entry and
// fork handling.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "character_data.hpp"
#include "fast_triplets.hpp"
#include "interrupt.hpp"
#include "optimized_triplets.hpp"
#include "panic.hpp"
#include "parallel_triplets.hpp"
#include "phs.hpp"
#include "pool/pool.hpp"
#include "rf_distance.hpp"
#include "tree/binary_rmq.hpp"
#include "tree/newick.hpp"
#include "triplets.hpp"
#include "ultra_fast_triplets.hpp"

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
// Lets the first `polls_allowed` polls pass, then says stop.
int polls_allowed = 0;
bool stop_after_allowed() noexcept { return ++polls > polls_allowed; }

// A deadlock must fail the test binary rather than hang the test run.
class HangGuard {
 public:
    HangGuard() { alarm(120); }
    ~HangGuard() { alarm(0); }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;
};

std::string caterpillar(std::size_t n, const std::string& prefix = "t") {
    std::string s(n - 1, '(');
    s += prefix + "0";
    for (std::size_t i = 1; i < n; ++i) s += "," + prefix + std::to_string(i) + ")";
    return s + ";";
}

std::string star(std::size_t n) {
    std::string s = "(";
    for (std::size_t i = 0; i < n; ++i) s += (i ? ",t" : "t") + std::to_string(i);
    return s + ")R;";
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

void expect_same(const TripletRatios& a, const TripletRatios& b) {
    EXPECT_TRUE(same_bits(a.all_triplets_correct, b.all_triplets_correct));
    EXPECT_TRUE(same_bits(a.resolvable_triplets_correct, b.resolvable_triplets_correct));
    EXPECT_TRUE(same_bits(a.unresolved_triplets_correct, b.unresolved_triplets_correct));
    EXPECT_TRUE(same_bits(a.proportion_unresolvable, b.proportion_unresolvable));
}

// ---- The check itself ----

TEST(CheckInterrupt, WithoutAPollerNothingStops) {
    for (int i = 0; i < 100000; ++i) check_interrupt();
    SUCCEED();
}

TEST(CheckInterrupt, PollsOncePerStrideOfWork) {
    const InterruptScope scope(count_polls);
    polls = 0;
    for (std::int64_t i = 0; i < 5 * detail::interrupt_stride; ++i) check_interrupt();
    EXPECT_EQ(polls.load(), 5);
    // A heavier unit of work uses up the stride sooner.
    polls = 0;
    for (int i = 0; i < 8; ++i) check_interrupt(detail::interrupt_stride / 2);
    EXPECT_EQ(polls.load(), 4);
}

TEST(CheckInterrupt, ThrowsOnceThePollerSaysStop) {
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

// ---- Every long loop stops, and a poller that never stops changes no result ----

struct LongCall {
    const char* name;
    std::function<void()> run;
    // For the pool roads: the preparation on the calling thread before the chunks are handed
    // out, so that the stop can be aimed at the first poll of the waiting caller.
    std::function<void()> preparation = [] {};
};

class LongLoops : public ::testing::TestWithParam<LongCall> {};

TEST_P(LongLoops, StopWithInterruptedAtTheFirstPollOfTheLongLoop) {
    HangGuard guard;
    {
        const InterruptScope counting(count_polls);
        polls = 0;
        GetParam().preparation();
    }
    polls_allowed = polls.load();
    polls = 0;
    const InterruptScope scope(stop_after_allowed);
    EXPECT_THROW(GetParam().run(), Interrupted);
    EXPECT_EQ(polls.load(), polls_allowed + 1);
}

void build_both_trees() {
    SimpleRootedTree t1 = from_newick(caterpillar(20000));
    SimpleRootedTree t2 = from_newick(caterpillar(20000));
    static_cast<void>(ParallelTreeData::build(t1));
    static_cast<void>(ParallelTreeData::build(t2));
}

// Each call is far longer than one poll stride (on the pool: than one 50 ms wait slice).
const LongCall long_calls[] = {
    {"ReferenceSampling",
     [] {
         SimpleRootedTree t1 = from_newick(caterpillar(50));
         SimpleRootedTree t2 = from_newick(caterpillar(50));
         calculate_triplets_correct(t1, t2, 5000, 1);
     }},
    {"FastSampling",
     [] {
         SimpleRootedTree t1 = from_newick(caterpillar(50));
         SimpleRootedTree t2 = from_newick(caterpillar(50));
         calculate_triplets_correct_fast(t1, t2, 5000, 1);
     }},
    {"UltraSampling",
     [] {
         SimpleRootedTree t1 = from_newick(caterpillar(200));
         SimpleRootedTree t2 = from_newick(caterpillar(200));
         calculate_triplets_correct_ultra(t1, t2, 5000, 1);
     }},
    {"UltraExhaustive",
     [] {
         SimpleRootedTree t1 = from_newick(caterpillar(5000));
         SimpleRootedTree t2 = from_newick(caterpillar(5000));
         calculate_triplets_correct_ultra(t1, t2, 1u << 30, std::nullopt);
     }},
    {"ParallelSamplingSequential",
     [] {
         SimpleRootedTree t1 = from_newick(caterpillar(200));
         SimpleRootedTree t2 = from_newick(caterpillar(200));
         calculate_triplets_correct_parallel(t1, t2, 5000, 1, 1);
     }},
    {"OptimizedSamplingOnThePool",
     [] {
         SimpleRootedTree t1 = from_newick(caterpillar(20000));
         SimpleRootedTree t2 = from_newick(caterpillar(20000));
         calculate_triplets_correct_optimized(t1, t2, 200'000'000, 1, 4);
     },
     build_both_trees},
    {"PhsSequential",
     [] {
         const SimpleRootedTree tree = from_newick(star(300));
         CharacterMatrix matrix;
         for (int r = 0; r < 300; ++r) matrix.push_row(std::vector<std::int32_t>(64, 1));
         const StateMap states{{"R", std::vector<std::int32_t>(64, 0)}};
         PhsOptions options;
         options.mutation_rate = 0.5;
         options.max_threads = 1;
         phs_optimized(tree, matrix, states, options);
     }},
    {"PhsOnThePool",
     [] {
         const SimpleRootedTree tree = from_newick(star(40000));
         CharacterMatrix matrix;
         for (int r = 0; r < 40000; ++r) matrix.push_row(std::vector<std::int32_t>(256, 1));
         const StateMap states{{"R", std::vector<std::int32_t>(256, 0)}};
         PhsOptions options;
         options.mutation_rate = 0.5;
         phs_optimized(tree, matrix, states, options);
     }},
    {"RobinsonFoulds",
     [] {
         const SimpleRootedTree t1 = from_newick(caterpillar(3000));
         const SimpleRootedTree t2 = from_newick(caterpillar(3000));
         calculate_rf_distance(t1, t2);
     }},
    {"RangeMinimumTable",
     [] {
         std::vector<std::uint64_t> values(1 << 16);
         for (std::size_t i = 0; i < values.size(); ++i) values[i] = (i * 7919) % 1000;
         BinaryRmq::from_vec(std::move(values));
     }},
};

INSTANTIATE_TEST_SUITE_P(Calls, LongLoops, ::testing::ValuesIn(long_calls),
                         [](const auto& call_info) { return std::string(call_info.param.name); });

TEST(LongLoops, ResultsAreBitIdenticalWithAPollerThatNeverStops) {
    const std::string a = caterpillar(120);
    std::string b = "(" + caterpillar(60).substr(0, caterpillar(60).size() - 1) + "," +
                    caterpillar(60, "t6").substr(0, caterpillar(60, "t6").size() - 1) + ");";
    using Metric = std::function<TripletRatios(SimpleRootedTree&, SimpleRootedTree&)>;
    const Metric metrics[] = {
        [](auto& x, auto& y) { return calculate_triplets_correct(x, y, 30000, 3); },
        [](auto& x, auto& y) { return calculate_triplets_correct_fast(x, y, 30000, 3); },
        [](auto& x, auto& y) { return calculate_triplets_correct_ultra(x, y, 30000, 3).ratios; },
        [](auto& x, auto& y) { return calculate_triplets_correct_ultra(x, y, 1u << 30, 3).ratios; },
        [](auto& x, auto& y) {
            return calculate_triplets_correct_parallel(x, y, 30000, 3, std::nullopt).ratios;
        },
        [](auto& x, auto& y) {
            return calculate_triplets_correct_optimized(x, y, 1u << 30, 3, std::nullopt).ratios;
        },
    };
    for (const Metric& metric : metrics) {
        SimpleRootedTree x1 = from_newick(a), y1 = from_newick(b);
        const TripletRatios plain = metric(x1, y1);
        SimpleRootedTree x2 = from_newick(a), y2 = from_newick(b);
        const InterruptScope scope(never_stop);
        expect_same(metric(x2, y2), plain);
    }
}

// ---- The pool ----

TEST(RunChunksInterrupt, StopsRunningChunksAndSkipsTheRest) {
    HangGuard guard;
    const InterruptScope scope(always_stop);
    const std::size_t count = pool_size() * 4;
    std::vector<std::atomic<int>> started(count);
    std::atomic<int> ran_out_of_time{0};
    polls = 0;
    EXPECT_THROW(run_chunks(count,
                            [&](std::size_t i) {
                                ++started[i];
                                // Spins until stopped; a chunk that is never stopped gives up
                                // after a minute and says so.
                                const auto give_up =
                                    std::chrono::steady_clock::now() + std::chrono::seconds(60);
                                while (std::chrono::steady_clock::now() < give_up) {
                                    check_interrupt();
                                }
                                ++ran_out_of_time;
                            }),
                 Interrupted);
    EXPECT_EQ(ran_out_of_time.load(), 0);
    EXPECT_GE(polls.load(), 1);
    int started_total = 0;
    for (auto& s : started) started_total += s.load();
    // Each worker took one chunk before the stop; none was started afterwards.
    EXPECT_LE(started_total, static_cast<int>(pool_size()));
    // The pool still works, and a call that is not interrupted completes.
    const InterruptScope calm(never_stop);
    std::atomic<std::size_t> sum{0};
    run_chunks(100, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 4950u);
}

TEST(RunChunksInterrupt, AnInterruptWinsOverAChunkFailure) {
    HangGuard guard;
    const InterruptScope scope(always_stop);
    EXPECT_THROW(run_chunks(pool_size() + 1,
                            [&](std::size_t i) {
                                if (i == 0) throw Panic("chunk 0");
                                for (;;) check_interrupt();
                            }),
                 Interrupted);
}

TEST(RunChunksInterrupt, ChunksNestedInAChunkStopToo) {
    HangGuard guard;
    const InterruptScope scope(always_stop);
    std::atomic<int> ran_out_of_time{0};
    EXPECT_THROW(run_chunks(pool_size(),
                            [&](std::size_t) {
                                run_chunks(4, [&](std::size_t) {
                                    const auto give_up =
                                        std::chrono::steady_clock::now() + std::chrono::seconds(60);
                                    while (std::chrono::steady_clock::now() < give_up) {
                                        check_interrupt();
                                    }
                                    ++ran_out_of_time;
                                });
                            }),
                 Interrupted);
    EXPECT_EQ(ran_out_of_time.load(), 0);
}

// A poller that itself starts a chunked computation, as a Python signal handler may.
std::atomic<std::uint64_t> nested_sum{0};
bool nested_pool_call() noexcept {
    std::atomic<std::uint64_t> sum{0};
    run_chunks(1000, [&](std::size_t i) { sum += i; });
    nested_sum = sum.load();
    return false;
}

TEST(RunChunksInterrupt, APollerMayRunChunksItself) {
    HangGuard guard;
    const InterruptScope scope(nested_pool_call);
    nested_sum = 0;
    std::vector<std::uint64_t> slots(pool_size() + 1, 0);
    run_chunks(slots.size(), [&](std::size_t i) {
        // Long enough for the waiting caller to poll at least once.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        slots[i] = i + 1;
    });
    for (std::size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slots[i], i + 1);
    EXPECT_EQ(nested_sum.load(), 499500u);
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
