#include "svgplots.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace scalesum {
namespace {

TEST(SvgPlots, TracesKeepAtMostTheirPointsPerChain) {
  const std::pair<size_t, size_t> cases[] = {{1000, 1},   {1001, 2},   {2000, 2},
                                             {20000, 20}, {20001, 21}, {0, 1}};
  for (const auto& [count, stride] : cases) {
    EXPECT_EQ(traceStride(count, 1000), stride) << count;
    EXPECT_LE((count + stride - 1) / stride, 1000u) << count;
  }
}

TEST(SvgPlots, HistogramsCountEveryNumberOnceEndsTakingTheRest) {
  const std::vector<double> values{-5.0, 0.0, 0.49, 0.5, 1.0, 9.0, INFINITY, -INFINITY, NAN};
  const Histogram h = makeHistogram(values, 0.0, 1.0, 2);
  EXPECT_EQ(h.counts, (std::vector<uint32_t>{4, 4}));
}

TEST(SvgPlots, RanksOfChainsThatAgreeSpreadEvenlyTiesShareTheirBin) {
  // Interleaved chains share every rank bin equally.
  std::vector<double> a, b;
  for (int i = 0; i < 40; ++i) (i % 2 == 0 ? a : b).push_back(i);
  auto counts = rankHistograms({a, b}, 4);
  EXPECT_EQ(counts[0], (std::vector<uint32_t>{5, 5, 5, 5}));
  EXPECT_EQ(counts[1], (std::vector<uint32_t>{5, 5, 5, 5}));
  // Chains apart fill opposite ends; all-equal draws share the middle rank.
  counts = rankHistograms({std::vector<double>{1, 2}, std::vector<double>{3, 4}}, 2);
  EXPECT_EQ(counts[0], (std::vector<uint32_t>{2, 0}));
  counts = rankHistograms({std::vector<double>(3, 7.0), std::vector<double>{7.0, NAN}}, 3);
  EXPECT_EQ(counts[0], (std::vector<uint32_t>{0, 3, 0}));
  EXPECT_EQ(counts[1], (std::vector<uint32_t>{0, 1, 0}));
}

TEST(SvgPlots, ColumnsWithoutSpreadOrNumbersStillDrawFiniteShapes) {
  const std::vector<double> constant(50, 3.0), none(5, NAN), one{INFINITY, 2.0};
  for (const std::vector<double>* chain : {&constant, &none, &one}) {
    const std::vector<std::span<const double>> chains{*chain, *chain};
    for (const std::string& svg : {tracePlot(chains), rankPlot(chains), densityPlot(chains)}) {
      EXPECT_EQ(svg.find("nan"), std::string::npos) << svg;
      EXPECT_EQ(svg.find("inf"), std::string::npos) << svg;
    }
  }
  const Histogram empty = makeHistogram(none, -1.0, 1.0, 4);
  EXPECT_EQ(shiftDensityPlot(empty, {}).find("nan"), std::string::npos);
}

}  // namespace
}  // namespace scalesum
