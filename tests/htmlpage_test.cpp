#include "htmlpage.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::written;

// Node 2 is doubled in all 4 samples (a credible increase); the others keep their lengths.
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
  EXPECT_NE(html.find("Not converged."), std::string::npos);
  // One tooltip per branch but the root's, and node 2 as the one shift.
  size_t titles = 0;
  for (size_t at = html.find("</title></path>"); at != std::string::npos;
       at = html.find("</title></path>", at + 1)) {
    ++titles;
  }
  EXPECT_EQ(titles, 6u);
  EXPECT_NE(html.find("1 credible shift,"), std::string::npos);
}

TEST(HtmlPage, CommandLineReadsAsTypedWithoutTheProgramsFolder) {
  EXPECT_EQ(typedCommandLine({"/opt/x/Scalesum", "run 1.log", "--html=p.html", "it's", ""}),
            "Scalesum 'run 1.log' --html=p.html 'it'\\''s' ''");
  EXPECT_NE(verdictBanner({}, 0, false).find("not judged"), std::string::npos);
}

}  // namespace
}  // namespace scalesum
