// Tests for the likelihood distance formula on values Python cannot easily produce.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "likelihood.hpp"

namespace veltrane {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(LikelihoodDistance, RelativeExcessOfTheGroundTruth) {
    EXPECT_EQ(likelihood_distance(-8.0, -10.0), 0.25);
    EXPECT_EQ(likelihood_distance(-10.0, -8.0), 0.0);
    EXPECT_EQ(likelihood_distance(-3.0, -3.0), 0.0);
    EXPECT_FALSE(std::signbit(likelihood_distance(-10.0, -8.0)));  // the floor is +0.0
}

TEST(LikelihoodDistance, ZeroReconstructedIsInfiniteWhateverItsSign) {
    for (const double gt : {-1.0, 0.0, -inf, nan}) {
        EXPECT_EQ(likelihood_distance(0.0, gt), inf);
        EXPECT_EQ(likelihood_distance(-0.0, gt), inf);
    }
}

TEST(LikelihoodDistance, InfinitiesAndNaN) {
    EXPECT_EQ(likelihood_distance(-5.0, -inf), inf);
    EXPECT_EQ(likelihood_distance(-inf, -5.0), 0.0);  // d = -1
    EXPECT_EQ(likelihood_distance(-inf, -inf), 0.0);  // d is NaN
    EXPECT_EQ(likelihood_distance(nan, -5.0), 0.0);
    EXPECT_EQ(likelihood_distance(-5.0, nan), 0.0);
}

}  // namespace
}  // namespace veltrane
