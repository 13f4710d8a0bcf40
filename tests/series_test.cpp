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
  const Node& node = *analysis->nodes[6];  // length 0.75: products round
  std::vector<double> scalar, sigV, deltaB, deltaV;
  computeSeries(node, *analysis, Series::kScalar, scalar);
  computeSeries(node, *analysis, Series::kSigV, sigV);
  computeSeries(node, *analysis, Series::kDeltaB, deltaB);
  computeSeries(node, *analysis, Series::kDeltaV, deltaV);
  const double length = node.length;
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
  const Node& node = *analysis->nodes[2];  // id 3, never scaled
  EXPECT_EQ(node.scalarDensity.mean, 1.0);
  EXPECT_EQ(node.scalarDensity.median, 1.0);
  EXPECT_EQ(node.scalarDensity.stdDev, 0.0);
  EXPECT_EQ(node.scalarMode, 1.0);
  EXPECT_EQ(node.deltaBDensity.mean, node.deltaVDensity.mean);
  EXPECT_EQ(node.deltaBMode, node.deltaVMode);
}

TEST(Series, OneSampleHasNoSpread) {
  TempDir dir;
  auto analysis = applied(dir, "1 0 0 0 0 0.5 0\n");
  summariseAllNodes(*analysis);
  const Node& node = *analysis->nodes[3];
  EXPECT_EQ(node.sigVDensity.mean, 0.5);
  EXPECT_TRUE(std::isnan(node.sigVDensity.stdDev));
  EXPECT_TRUE(std::isnan(node.sigVMode));
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
    const Node& a = *one->nodes[j];
    const Node& b = *many->nodes[j];
    EXPECT_TRUE(same(a.scalarDensity, b.scalarDensity) && same(a.sigVDensity, b.sigVDensity) &&
                same(a.deltaBDensity, b.deltaBDensity) && same(a.deltaVDensity, b.deltaVDensity));
    const double x[] = {a.scalarMode, a.sigVMode, a.deltaBMode, a.deltaVMode};
    const double y[] = {b.scalarMode, b.sigVMode, b.deltaBMode, b.deltaVMode};
    EXPECT_EQ(std::memcmp(x, y, sizeof x), 0) << "node " << j;
  }
}

}  // namespace
}  // namespace scalesum
