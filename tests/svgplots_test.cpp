#include "svgplots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <sstream>
#include <string>
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

// Returns the numbers of every attribute `name`="..." in `svg`, each a list of numbers.
std::vector<std::vector<double>> attributeNumbers(const std::string& svg, const std::string& name) {
  std::vector<std::vector<double>> found;
  const std::string key = " " + name + "=\"";
  for (size_t at = svg.find(key); at != std::string::npos; at = svg.find(key, at + 1)) {
    std::string text =
        svg.substr(at + key.size(), svg.find('"', at + key.size()) - at - key.size());
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream in(text);
    found.emplace_back(std::istream_iterator<double>(in), std::istream_iterator<double>());
  }
  return found;
}

// Every point, bar and label of a plot lies on its canvas, and a prior draws one point per bin.
TEST(SvgPlots, EverythingDrawnStaysOnTheCanvas) {
  std::vector<double> a, b, c;
  for (int i = 0; i < 3000; ++i) {
    a.push_back(std::sin(i * 0.01));
    b.push_back(i % 7 - 3.0);
    c.push_back(i < 10 ? 1e6 : -2.0);
  }
  const std::vector<std::span<const double>> chains{a, b, c};
  std::vector<double> scalars;
  for (int i = 0; i < 100; ++i) scalars.push_back((i % 9) - 4.0);
  const Histogram posterior = makeHistogram(scalars, -4.0, 4.0, 40);
  for (const std::string& svg : {tracePlot(chains), rankPlot(chains), densityPlot(chains),
                                 shiftDensityPlot(posterior, posterior)}) {
    const double width = attributeNumbers(svg, "width")[0][0];
    const double height = attributeNumbers(svg, "height")[0][0];
    for (const auto& xs : attributeNumbers(svg, "x")) EXPECT_LE(xs[0], width) << svg;
    for (const auto& ys : attributeNumbers(svg, "y")) EXPECT_LE(ys[0], height) << svg;
    for (const auto& points : attributeNumbers(svg, "points")) {
      for (size_t k = 0; k + 1 < points.size(); k += 2) {
        EXPECT_TRUE(points[k] >= 0 && points[k] <= width && points[k + 1] >= 0 &&
                    points[k + 1] <= height)
            << points[k] << "," << points[k + 1];
      }
    }
    // Bars: a rect's x and width are its first two numbers after "<rect x=".
    for (size_t at = svg.find("<rect x=\""); at != std::string::npos;
         at = svg.find("<rect x=\"", at + 1)) {
      const std::string tag = svg.substr(at, svg.find('>', at) - at);
      const auto x = attributeNumbers(tag, "x"), w = attributeNumbers(tag, "width");
      EXPECT_LE(x[0][0] + w[0][0], width) << tag;
    }
  }
  EXPECT_EQ(attributeNumbers(shiftDensityPlot(posterior, posterior), "points")[0].size(), 80u);
}

}  // namespace
}  // namespace scalesum
