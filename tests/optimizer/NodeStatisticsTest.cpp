#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "optimizer/NodeStatistics.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

std::vector<std::pair<std::string, std::string>> Saved(const NodeStatistics& statistics) {
    ptree tree;
    statistics.Save(tree);
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& child : tree) {
        entries.emplace_back(child.first, child.second.data());
    }
    return entries;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

TEST(NodeStatisticsTest, CountsRequestsBytesAndTimeWithZeroMillisecondsAsOne) {
    NodeStatistics statistics;
    EXPECT_EQ(Saved(statistics),
              (Entries{{"Requests", "0"}, {"Errors", "0"}, {"Bytes", "0"}, {"Average Request Speed", "0"}}));

    statistics.Update(5000, 0, false);
    EXPECT_EQ(statistics.totalTimeMs.Get(), 1u);
    EXPECT_EQ(
        Saved(statistics),
        (Entries{
            {"Requests", "1"}, {"Errors", "0"}, {"Bytes", "5000"}, {"Average Request Speed", "5000000"}}));

    statistics.Update(3000, 1999, true);  // failed bytes count in Bytes, not in the speed
    EXPECT_EQ(statistics.successes.Get(), 1u);
    EXPECT_EQ(statistics.errors.Get(), 1u);
    EXPECT_EQ(statistics.successBytes.Get(), 5000u);
    EXPECT_EQ(
        Saved(statistics),
        (Entries{{"Requests", "2"}, {"Errors", "1"}, {"Bytes", "8000"}, {"Average Request Speed", "2500"}}));
}

TEST(NodeStatisticsTest, TakeDeltaGivesTheGrowthSinceTheLastQuestion) {
    NodeStatistics statistics;
    statistics.Update(1000, 10, false);
    EXPECT_EQ(statistics.totalBytes.TakeDelta(), 1000u);
    EXPECT_EQ(statistics.totalBytes.TakeDelta(), 0u);
    statistics.Update(24, 10, true);
    EXPECT_EQ(statistics.totalBytes.TakeDelta(), 24u);
    EXPECT_EQ(statistics.totalTimeMs.TakeDelta(), 20u);
    EXPECT_EQ(statistics.totalBytes.Get(), 1024u);  // taking a delta does not change the value

    DeltaCounter<std::uint32_t> wrapping;
    wrapping.Add(std::numeric_limits<std::uint32_t>::max());
    wrapping.TakeDelta();
    wrapping.Add(5);
    EXPECT_EQ(wrapping.TakeDelta(), 5u);
}

TEST(NodeStatisticsTest, SummedRequestTimeDoesNotWrapAt32Bits) {
    NodeStatistics statistics;
    for (int i = 0; i < 3; ++i) {
        statistics.Update(std::uint64_t{1} << 40, std::numeric_limits<std::uint32_t>::max(), false);
    }
    EXPECT_EQ(statistics.totalTimeMs.Get(), 3ull * std::numeric_limits<std::uint32_t>::max());
    ptree tree;
    statistics.Save(tree);
    // 3 x 2^40 bytes in 3 x (2^32 - 1) ms: 256 000 bytes per second, not the speed of a wrapped sum.
    EXPECT_EQ(tree.get<std::string>("Average Request Speed"), "256000");
}

TEST(NormalNodeStatisticsTest, FirstSampleHasVarianceOneAndSaveShowsTheDistribution) {
    NormalNodeStatistics statistics;
    statistics.Update(1000000, 2000, false);
    EXPECT_EQ(statistics.GetCount(), 1u);
    EXPECT_EQ(statistics.GetDistribution(), std::make_pair(500000.0, 1.0));
    statistics.Update(0, 0, false);  // a second sample of speed 0
    const auto [mean, variance] = statistics.GetDistribution();
    EXPECT_DOUBLE_EQ(mean, 250000.0);
    EXPECT_DOUBLE_EQ(variance, 2.0 * 250000.0 * 250000.0);
    const Entries saved = Saved(statistics);
    ASSERT_EQ(saved.size(), 5u);
    EXPECT_EQ(saved[3], std::make_pair(std::string("Average Request Speed"), std::string("250000")));
    EXPECT_EQ(saved[4], std::make_pair(std::string("Standard Deviation"), std::string("353553")));
}

TEST(NormalNodeStatisticsTest, FailureAddsATenthOfTheHistoryPlusOneZeroSamples) {
    // Reference: Welford's update applied sample by sample.
    struct Reference {
        std::uint32_t count = 0;
        double mean = 0;
        double m2 = 0;
        void Add(double x) {
            ++count;
            const double delta = x - mean;
            mean += delta / count;
            m2 += (x - mean) * delta;
        }
    };
    NormalNodeStatistics statistics;
    Reference reference;
    statistics.Update(100, 1000, true);
    reference.Add(0);
    EXPECT_EQ(statistics.GetCount(), 1u);
    for (int i = 0; i < 19; ++i) {
        statistics.Update(1000 + 37 * i, 1000, false);
        reference.Add(1000 + 37 * i);
    }
    ASSERT_EQ(statistics.GetCount(), 20u);
    for (const std::uint32_t expected : {23u, 26u, 29u, 32u, 36u}) {
        const std::uint32_t k = reference.count / 10 + 1;
        for (std::uint32_t i = 0; i < k; ++i) {
            reference.Add(0);
        }
        statistics.Update(500, 10, true);
        EXPECT_EQ(statistics.GetCount(), expected);
        const auto [mean, variance] = statistics.GetDistribution();
        EXPECT_NEAR(mean, reference.mean, 1e-9 * reference.mean);
        EXPECT_NEAR(variance, reference.m2 / (reference.count - 1), 1e-9 * variance);
    }
}

TEST(NormalNodeStatisticsTest, EndlessFailuresStayCheapAndTheCountSaturates) {
    NormalNodeStatistics statistics;
    statistics.Update(1000, 1, false);
    for (int i = 0; i < 400; ++i) {  // the count grows by a tenth per failure: 2^32 within about 230
        statistics.Update(0, 1, true);
    }
    EXPECT_EQ(statistics.GetCount(), std::numeric_limits<std::uint32_t>::max());
    const auto [mean, variance] = statistics.GetDistribution();
    EXPECT_GE(mean, 0.0);
    EXPECT_LT(mean, 1e-3);
    EXPECT_TRUE(std::isfinite(variance));
}

TEST(ExponentialNormalNodeStatisticsTest, FollowsTheWeightedFormulas) {
    ExponentialNormalNodeStatistics statistics(0, 0.0, 0.0, 0.3);
    statistics.Update(1000, 1000, false);  // 1000 bytes per second
    EXPECT_EQ(statistics.GetCount(), 1u);
    auto [mean, variance] = statistics.GetDistribution();
    EXPECT_DOUBLE_EQ(mean, 300.0);
    EXPECT_DOUBLE_EQ(variance, 210000.0);
    statistics.Update(1000, 1000, true);  // one zero sample, whatever the history
    std::tie(mean, variance) = statistics.GetDistribution();
    EXPECT_EQ(statistics.GetCount(), 2u);
    EXPECT_DOUBLE_EQ(mean, 210.0);
    EXPECT_DOUBLE_EQ(variance, 165900.0);
    EXPECT_EQ(statistics.errors.Get(), 1u);
    const Entries saved = Saved(statistics);
    ASSERT_EQ(saved.size(), 5u);
    EXPECT_EQ(saved[3].second, "210");
    EXPECT_EQ(saved[4].second, "407");  // sqrt(165900) = 407.3

    ExponentialNormalNodeStatistics seeded(7, 50.0, 4.0, 1.0);  // alpha 1: only the last sample counts
    EXPECT_EQ(seeded.GetCount(), 7u);
    seeded.Update(2000, 1000, false);
    EXPECT_EQ(seeded.GetDistribution(), std::make_pair(2000.0, 0.0));
}

TEST(NodeStatisticsTest, ConvertsOutOfRangeDoublesSafely) {
    EXPECT_EQ(ClampToUint64(-1.0), 0u);
    EXPECT_EQ(ClampToUint64(std::nan("")), 0u);
    EXPECT_EQ(ClampToUint64(1e30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(ClampToUint64(12.9), 12u);
}

}  // namespace
}  // namespace halcyne
