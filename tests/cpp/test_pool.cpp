// Tests of the pool-size rule, run_chunks (coverage, order, exceptions, reuse) and fork safety.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "panic.hpp"
#include "pool/pool.hpp"

namespace {

using veltrane::pool_size;
using veltrane::run_chunks;
using veltrane::detail::pool_size_from;

// A deadlock must fail the test binary rather than hang the test run: SIGALRM ends the process.
class HangGuard {
 public:
    HangGuard() { alarm(120); }
    ~HangGuard() { alarm(0); }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;
};

// ---- Pool size ----

struct SizeCase {
    const char* name;
    std::optional<std::string_view> num_threads;
    std::optional<std::string_view> rs_num_cpus;
    std::size_t cpu_count;
    std::size_t expected;
};

constexpr auto unset = std::nullopt;

const SizeCase size_cases[] = {
    {"PlainCount", "4", unset, 8, 4},
    {"PlusSign", "+4", unset, 8, 4},
    {"LeadingZeros", "0004", unset, 8, 4},
    {"ZeroMeansProcessors", "0", unset, 8, 8},
    {"PlusZeroMeansProcessors", "+0", unset, 8, 8},
    {"ManyZerosMeanProcessors", "000", unset, 8, 8},
    {"ZeroDoesNotFallThrough", "0", "6", 8, 8},
    {"EmptyFallsThrough", "", "3", 8, 3},
    {"LeadingSpace", " 4", "3", 8, 3},
    {"TrailingSpace", "4 ", "3", 8, 3},
    {"TrailingNewline", "4\n", "3", 8, 3},
    {"Negative", "-1", "3", 8, 3},
    {"NegativeZero", "-0", "3", 8, 3},
    {"Letters", "abc", "3", 8, 3},
    {"Exponent", "1e3", "3", 8, 3},
    {"Hex", "0x10", "3", 8, 3},
    {"PlusAlone", "+", "3", 8, 3},
    {"DoublePlus", "++4", "3", 8, 3},
    {"InvalidWithoutFallback", "abc", unset, 8, 8},
    {"CapExactly", "65535", unset, 8, 65535},
    {"AboveCap", "65536", unset, 8, 65535},
    {"FarAboveCap", "70000", unset, 8, 65535},
    {"LargestU64", "18446744073709551615", unset, 8, 65535},
    {"JustAboveU64", "18446744073709551616", unset, 8, 65535},
    {"HugeDigitString", "99999999999999999999999999999999", "3", 8, 65535},
    {"ThreadsWinOverCpus", "2", "6", 8, 2},
    {"CpusWhenThreadsUnset", unset, "6", 8, 6},
    {"CpusWithPlus", unset, "+6", 8, 6},
    {"CpusZeroFallsToProcessors", unset, "0", 8, 8},
    {"CpusNegative", unset, "-2", 8, 8},
    {"CpusInvalid", unset, "6x", 8, 8},
    {"CpusCapped", unset, "70000", 8, 65535},
    {"CpusHuge", unset, "123456789012345678901234567890", 8, 65535},
    {"BothUnset", unset, unset, 8, 8},
    {"UnknownProcessorCountIsOne", unset, unset, 0, 1},
    {"ZeroWithUnknownProcessorCount", "0", unset, 0, 1},
    {"ProcessorCountCapped", unset, unset, 100000, 65535},
};

class PoolSizeFrom : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PoolSizeFrom, FollowsTheVariableRules) {
    const SizeCase& c = GetParam();
    EXPECT_EQ(pool_size_from(c.num_threads, c.rs_num_cpus, c.cpu_count), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PoolSizeFrom, ::testing::ValuesIn(size_cases),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

// ---- run_chunks ----

TEST(RunChunks, EveryChunkRunsExactlyOnce) {
    HangGuard guard;
    const std::size_t w = pool_size();
    for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{3}, w, w + 1,
                                    std::size_t{1000}, std::size_t{100000}}) {
        std::vector<std::atomic<int>> runs(count);
        run_chunks(count, [&](std::size_t i) { runs[i].fetch_add(1); });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << count << " " << i;
    }
}

TEST(RunChunks, CountZeroNeverCallsTheBody) {
    bool called = false;
    run_chunks(0, [&](std::size_t) { called = true; });
    EXPECT_FALSE(called);
}

TEST(RunChunks, ResultsLandInTheirChunkSlots) {
    HangGuard guard;
    const std::size_t count = 5000;
    std::vector<std::uint64_t> slots(count, 0);
    run_chunks(count, [&](std::size_t i) { slots[i] = i * i + 7; });
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(slots[i], i * i + 7);
}

TEST(RunChunks, FirstExceptionInChunkOrderIsRethrownAfterAllChunks) {
    HangGuard guard;
    const std::size_t count = 200;
    std::vector<std::atomic<int>> finished(count);
    std::atomic<bool> late_chunk_threw{false};
    const bool parallel = pool_size() >= 2;
    try {
        run_chunks(count, [&](std::size_t i) {
            if (i == 7) {
                // With two workers or more, let chunk 150 throw first in time.
                for (int spin = 0; parallel && !late_chunk_threw.load() && spin < 20000; ++spin) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                finished[i] = 1;
                throw std::runtime_error("chunk 7");
            }
            if (i == 150) {
                finished[i] = 1;
                late_chunk_threw = true;
                throw veltrane::Panic("chunk 150");
            }
            finished[i] = 1;
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "chunk 7");
        EXPECT_EQ(dynamic_cast<const veltrane::Panic*>(&e), nullptr);
    }
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(finished[i].load(), 1) << i;
}

TEST(RunChunks, NonStandardExceptionsComeBackUnchanged) {
    HangGuard guard;
    try {
        run_chunks(10, [](std::size_t i) {
            if (i >= 4) throw static_cast<int>(i);
        });
        ADD_FAILURE() << "no exception";
    } catch (int chunk) {
        EXPECT_EQ(chunk, 4);
    }
    // The pool still works after a failing call.
    std::atomic<std::size_t> sum{0};
    run_chunks(100, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 4950u);
}

TEST(RunChunks, ReusesTheSameWorkers) {
    HangGuard guard;
    const std::size_t w = pool_size();
    thread_local bool served_before = false;

    // First call: w chunks that wait for each other, so every worker takes exactly one.
    std::mutex m;
    std::condition_variable cv;
    std::size_t arrived = 0;
    bool all_arrived = true;
    std::set<std::thread::id> ids;
    run_chunks(w, [&](std::size_t) {
        served_before = true;
        std::unique_lock lock(m);
        ids.insert(std::this_thread::get_id());
        ++arrived;
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return arrived == w; })) {
            all_arrived = false;
        }
    });
    ASSERT_TRUE(all_arrived) << "the pool did not run " << w << " chunks at once";
    EXPECT_EQ(ids.size(), w);
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);

    // Later calls run only on threads that served the first one.
    for (int call = 0; call < 20; ++call) {
        std::atomic<int> fresh_threads{0};
        run_chunks(64, [&](std::size_t) {
            if (!served_before) ++fresh_threads;
        });
        ASSERT_EQ(fresh_threads.load(), 0) << "call " << call;
        ASSERT_EQ(pool_size(), w);
    }
}

TEST(RunChunks, NestedCallFromAChunkRunsInline) {
    HangGuard guard;
    const std::size_t outer = std::max<std::size_t>(pool_size() * 2, 4);
    std::vector<std::uint64_t> sums(outer, 0);
    run_chunks(outer, [&](std::size_t i) {
        std::vector<std::uint64_t> parts(10, 0);
        run_chunks(10, [&](std::size_t j) { parts[j] = i * 100 + j; });
        for (const auto p : parts) sums[i] += p;
    });
    for (std::size_t i = 0; i < outer; ++i) EXPECT_EQ(sums[i], i * 1000 + 45);
}

TEST(RunChunks, ConcurrentCallersEachGetTheirOwnResults) {
    HangGuard guard;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int call = 0; call < 50; ++call) {
                const std::size_t count = static_cast<std::size_t>(10 + call + c);
                std::vector<std::size_t> out(count, 0);
                run_chunks(count, [&](std::size_t i) { out[i] = i + static_cast<std::size_t>(c); });
                for (std::size_t i = 0; i < count; ++i) {
                    if (out[i] != i + static_cast<std::size_t>(c)) ++wrong;
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---- fork ----

// In a forked child: run chunks on the child's own pool and exit 0 on success. The alarm turns
// a hang into a SIGALRM death that the parent sees.
[[noreturn]] void child_runs_chunks(std::size_t expected_size) {
    alarm(60);
    std::atomic<std::uint64_t> sum{0};
    run_chunks(1000, [&](std::size_t i) { sum += i; });
    const bool ok = sum.load() == 499500 && pool_size() == expected_size;
    _exit(ok ? 0 : 1);
}

// Exit status of a child: 0..255, or 1000 + signal when it was killed.
int wait_for_child(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return -2;
}

TEST(PoolFork, ChildGetsAWorkingPoolOfItsOwn) {
    const std::size_t w = pool_size();
    run_chunks(10, [](std::size_t) {});
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) child_runs_chunks(w);
    EXPECT_EQ(wait_for_child(pid), 0);
    // The parent's pool is untouched.
    std::atomic<int> runs{0};
    run_chunks(100, [&](std::size_t) { ++runs; });
    EXPECT_EQ(runs.load(), 100);
}

TEST(PoolFork, ForkWhileAnotherThreadRunsChunks) {
    // Forks land at arbitrary points of another thread's run_chunks, including moments when the
    // pool's locks are held; every child must still get a pool of its own.
    HangGuard guard;
    const std::size_t w = pool_size();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> calls{0};
    std::thread busy([&] {
        while (!stop.load()) {
            run_chunks(32, [](std::size_t) {});
            ++calls;
        }
    });
    std::vector<int> statuses;
    for (int k = 0; k < 20; ++k) {
        const pid_t pid = fork();
        if (pid == 0) child_runs_chunks(w);
        if (pid < 0) break;
        statuses.push_back(wait_for_child(pid));
    }
    stop = true;
    busy.join();
    EXPECT_EQ(statuses, std::vector<int>(20, 0));
    EXPECT_GT(calls.load(), 0u);
}

}  // namespace
