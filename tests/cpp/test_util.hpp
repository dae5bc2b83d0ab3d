// Shared GoogleTest helpers for the core's unit tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/support/panic.hpp"
#include "core/tree/simple_rooted_tree.hpp"

// Expects stmt to throw veltrane::Panic whose what() is exactly text.
#define EXPECT_PANIC(stmt, text)                                                   \
    EXPECT_THROW(                                                                  \
        {                                                                          \
            try {                                                                  \
                stmt;                                                              \
            } catch (const ::veltrane::Panic& veltrane_panic_) {                   \
                EXPECT_EQ(std::string(veltrane_panic_.what()), std::string(text)); \
                throw;                                                             \
            }                                                                      \
        },                                                                         \
        ::veltrane::Panic)

namespace test_util {

// A deadlock must fail the test binary rather than hang the test run: SIGALRM ends the process.
struct HangGuard {
    HangGuard() { alarm(120); }
    ~HangGuard() { alarm(0); }
};

// Random Newick text over `items` (leaf texts, kept in order): runs of 1 to 4 neighbours are
// joined under a new node named name() until one is left, so unary nodes and multifurcations
// occur. With `cut`, one text in eight ends right after a delimiter, which the reader accepts
// while leaving the unclosed nodes unreachable from the root.
template <typename Name>
std::string random_newick(std::mt19937_64& rng, std::vector<std::string> items, Name name,
                          bool cut = false) {
    if (items.empty()) items.emplace_back();
    while (items.size() > 1 || rng() % 8 == 0) {
        const std::size_t run = std::min<std::size_t>(items.size(), 1 + rng() % 4);
        const std::size_t at = rng() % (items.size() - run + 1);
        std::string joined = "(";
        for (std::size_t m = 0; m < run; ++m) joined += (m ? "," : "") + items[at + m];
        items[at] = joined + ")" + name();
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(at + 1),
                    items.begin() + static_cast<std::ptrdiff_t>(at + run));
    }
    const std::string& s = items[0];
    if (cut && !s.empty() && rng() % 8 == 0) {
        const std::size_t at = s.find_first_of("(),", rng() % s.size());
        if (at != std::string::npos) return s.substr(0, at + 1);
    }
    return s + ";";
}

// Edges from v up to the root, and the common ancestor of a and b, by climbing parent links.
inline std::uint64_t walk_depth(const veltrane::SimpleRootedTree& t, veltrane::NodeId v) {
    std::uint64_t d = 0;
    for (; t.nodes[v].parent; v = *t.nodes[v].parent) ++d;
    return d;
}
inline veltrane::NodeId walk_lca(const veltrane::SimpleRootedTree& t, veltrane::NodeId a,
                                 veltrane::NodeId b) {
    std::uint64_t da = walk_depth(t, a), db = walk_depth(t, b);
    for (; da > db; --da) a = *t.nodes[a].parent;
    for (; db > da; --db) b = *t.nodes[b].parent;
    while (a != b) a = *t.nodes[a].parent, b = *t.nodes[b].parent;
    return a;
}

}  // namespace test_util
