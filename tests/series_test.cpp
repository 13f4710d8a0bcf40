#include "series.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

#include "samples.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::loadTree;
using testing::smallLog;
using testing::TempDir;

std::unique_ptr<Analysis> applied(const TempDir& dir, const std::string& samples) {
  auto analysis = loadTree(dir, smallLog(samples));
  countRetainedSamples(*analysis);
  applyRetainedSamples(*analysis);
  return analysis;
}

// Random samples scaling random non-root nodes.
std::string randomSamples(int count, unsigned seed) {
  std::mt19937 random(seed);
  std::lognormal_distribution<double> scalar(0, 1);
  std::ostringstream text;
  text.precision(17);
  for (int i = 0; i < count; ++i) {
    const int groups = static_cast<int>(random() % 4);
    text << i << " 0 0 " << groups << " 0 " << scalar(random) << " 0";
    for (int g = 0; g < groups; ++g) {
      text << " " << 2 + random() % 6 << " " << scalar(random) << " 0 "
           << (random() % 2 ? "Node" : "Branch");
    }
    text << "\n";
  }
  return text.str();
}

TEST(Series, ValuesFollowTheirOperationOrder) {
  TempDir dir;
  auto analysis = applied(dir, randomSamples(2000, 3));
  const NodeResult& node = analysis->results[6];  // length 0.75: products round
  const double length = analysis->nodes[6]->length;
  std::vector<double> scalar, sigV, deltaB, deltaV;
  computeSeries(node, length, *analysis, Series::kScalar, scalar);
  computeSeries(node, length, *analysis, Series::kSigV, sigV);
  computeSeries(node, length, *analysis, Series::kDeltaB, deltaB);
  computeSeries(node, length, *analysis, Series::kDeltaV, deltaV);
  int reassociated = 0;
  for (size_t i = 0; i < 2000; ++i) {
    const double sigma = analysis->sampleSigma[i];
    const double s = node.lengthHistory[i] / length;
    EXPECT_EQ(scalar[i], s);
    EXPECT_EQ(sigV[i], s * sigma);
    EXPECT_EQ(deltaB[i], sigma * length);
    EXPECT_EQ(deltaV[i], (s * sigma) * length);
    reassociated += deltaV[i] != s * (sigma * length);
  }
  EXPECT_GT(reassociated, 0);  // the data tell the two groupings apart
}

TEST(Series, UnchangedBranchHasUnitScalar) {
  TempDir dir;
  auto analysis =
      applied(dir, "1 0 0 0 0 0.5 0\n2 0 0 0 0 0.25 0\n3 0 0 1 0 0.125 0 4 2 0 Branch\n");
  summariseAllNodes(*analysis);
  const auto& node = analysis->results[2].series;  // id 3, never scaled
  EXPECT_EQ(node[0].summary.mean, 1.0);
  EXPECT_EQ(node[0].summary.median, 1.0);
  EXPECT_EQ(node[0].summary.stdDev, 0.0);
  EXPECT_EQ(node[0].mode, 1.0);
  EXPECT_EQ(node[2].summary.mean, node[3].summary.mean);
  EXPECT_EQ(node[2].mode, node[3].mode);
}

TEST(Series, OneSampleHasNoSpread) {
  TempDir dir;
  auto analysis = applied(dir, "1 0 0 0 0 0.5 0\n");
  summariseAllNodes(*analysis);
  const SeriesResult& sigV = analysis->results[3].series[1];
  EXPECT_EQ(sigV.summary.mean, 0.5);
  EXPECT_TRUE(std::isnan(sigV.summary.stdDev));
  EXPECT_TRUE(std::isnan(sigV.mode));
}

TEST(Series, ResultsDoNotDependOnTheNumberOfThreads) {
  TempDir dir;
  auto one = applied(dir, randomSamples(3000, 5));
  auto many = applied(dir, randomSamples(3000, 5));
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  summariseAllNodes(*one);
  omp_set_num_threads(5);
  summariseAllNodes(*many);
  omp_set_num_threads(threads);
  auto same = [](const DensitySummary& a, const DensitySummary& b) {
    const double x[] = {a.mean, a.median, a.stdDev, a.bandwidth, a.gridLow, a.gridHigh};
    const double y[] = {b.mean, b.median, b.stdDev, b.bandwidth, b.gridLow, b.gridHigh};
    return std::memcmp(x, y, sizeof x) == 0;
  };
  for (size_t j = 0; j < one->nodes.size(); ++j) {
    for (int s = 0; s < kSeriesCount; ++s) {
      const SeriesResult& a = one->results[j].series[s];
      const SeriesResult& b = many->results[j].series[s];
      EXPECT_TRUE(same(a.summary, b.summary)) << "node " << j;
      EXPECT_EQ(std::memcmp(&a.mode, &b.mode, sizeof a.mode), 0) << "node " << j;
    }
  }
}

}  // namespace
}  // namespace scalesum
