// Tests for the likelihood distance formula on values Python cannot easily produce.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "metrics/characters/likelihood.hpp"

namespace veltrane {
namespace {

TEST(LikelihoodDistance, RelativeExcessFlooredAtPositiveZero) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    // {reconstructed, ground truth, distance}: a zero reconstruction of either sign is
    // infinitely far; a NaN quotient or a negative excess gives the floor.
    const double cases[][3] = {{-8, -10, 0.25}, {-10, -8, 0},    {-3, -3, 0},       {0, -1, inf},
                               {-0.0, -1, inf}, {0, nan, inf},   {-0.0, -inf, inf}, {-5, -inf, inf},
                               {-inf, -5, 0},   {-inf, -inf, 0}, {nan, -5, 0},      {-5, nan, 0}};
    for (const auto& c : cases) {
        const double got = likelihood_distance(c[0], c[1]);
        EXPECT_EQ(got, c[2]) << c[0] << " " << c[1];
        EXPECT_FALSE(std::signbit(got)) << c[0] << " " << c[1];
    }
}

}  // namespace
}  // namespace veltrane
