#include "htmlpage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "samples.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::written;

// Node 2 is doubled in all 4 samples; the others keep their lengths.
constexpr const char* kDoubled =
    "1 0 0 1 0 1 0 2 2 0 Branch\n2 0 0 1 0 1 0 2 2 0 Branch\n"
    "3 0 0 1 0 1 0 2 2 0 Branch\n4 0 0 1 0 1 0 2 2 0 Branch\n";

TEST(HtmlPage, WhatTheUserNamedCannotBecomeMarkup) {
  std::string log = testing::smallLog(kDoubled);
  log.replace(log.find("\tA\n"), 3, "\t</title><script>x()</script>\n");
  const auto a = testing::summarised(log);
  PageContent page;
  page.colorBy = "scalar_mean";
  page.provenance.arguments = {"Scalesum", "<u>"};
  page.provenance.chains = {{{"<i>.log", 12, std::nullopt}, 4, 0, 4}};
  page.verdict = {true, false, {"R-hat <2> above 1.01"}};
  const std::string html = written(
      [&](FILE* out) { writeHtmlPage(out, a->tree, a->results, layoutTree(a->tree), {}, page); });
  // The page's one script is its own; the taxon's stays text, in the labels and the tooltips.
  EXPECT_EQ(html.find("<script>x()"), std::string::npos);
  EXPECT_EQ(html.find("<u>"), std::string::npos);
  EXPECT_EQ(html.find("<i>"), std::string::npos);
  EXPECT_NE(html.find("&lt;/title&gt;&lt;script&gt;x()"), std::string::npos);
  EXPECT_NE(html.find("<li>R-hat &lt;2&gt; above 1.01</li>"), std::string::npos);
}

TEST(HtmlPage, CommandLineReadsAsTypedWithoutTheProgramsFolder) {
  EXPECT_EQ(typedCommandLine({"/opt/x/Scalesum", "run 1.log", "--html=p.html", "it's", ""}),
            "Scalesum 'run 1.log' --html=p.html 'it'\\''s' ''");
  EXPECT_NE(verdictBanner({}, 0, false).find("not judged"), std::string::npos);
}

// The prior's histogram beside a shift, rebinned from the counts of its fine bins, is the one
// its values would give on the posterior's bins, at every reach, outside it and at 0.
TEST(HtmlPage, ThePriorsHistogramIsItsValuesOnThePosteriorsBins) {
  const auto a = testing::summarised(testing::smallLog(kDoubled));
  Results results = a->results;
  const std::vector<double> scalars = {1, 1, 2, 0.5, 1.3, 0.7, 3.9, 64, 1e6, 0, 1.0 / 3, 1.04};
  for (const double top : {1.0, 1.9, 4.0, 9.0, 1e9}) {            // reaches 1, 1, 2, 4 and 16
    results.nodes[1].lengthHistory = {0.5 * top, 0.5, 0.5, 0.5};  // node 2's length is 0.5
    results.priorLog2Scalar.assign(a->tree.nodes.size() * kLog2ScalarBins, 0);
    std::vector<double> logs;
    for (const double scalar : scalars) {
      ++results.priorLog2Scalar[kLog2ScalarBins + log2ScalarBin(scalar)];
      logs.push_back(std::log2(scalar));
    }
    const ShiftDensity density = takeShiftDensity(a->tree, results, 1);
    const Histogram expected =
        makeHistogram(logs, density.posterior.low, density.posterior.high, kShiftDensityBins);
    EXPECT_EQ(density.prior.counts, expected.counts) << top;
  }
}

}  // namespace
}  // namespace scalesum
