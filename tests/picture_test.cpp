#include "picture.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "samples.h"
#include "series.h"
#include "test_util.h"

namespace scalesum {
namespace {

// Node 2 (position 1) is doubled in all 4 samples, node 3 halved in 3, tip 4 quadrupled in 1;
// tips 5 to 7 are never changed.
constexpr const char* kFourSamples =
    "1 0 0 3 0 1 0 2 2 0 Branch 3 0.5 0 Branch 4 4 0 Branch\n"
    "2 0 0 2 0 1 0 2 2 0 Branch 3 0.5 0 Branch\n"
    "3 0 0 2 0 1 0 2 2 0 Branch 3 0.5 0 Branch\n"
    "4 0 0 1 0 1 0 2 2 0 Branch\n";

std::string pictureOf(const Analysis& analysis, const std::string& path, const char* colorBy) {
  FILE* out = std::fopen(path.c_str(), "w");
  writePicture(out, analysis, layoutTree(analysis), colorBy);
  std::fclose(out);
  return testing::readFile(path);
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(Picture, RatiosOnASymmetricLog2ScaleWidthsByHowOften) {
  testing::TempDir dir;
  const auto a = testing::summarised(dir, testing::smallLog(kFourSamples));
  const ColourScale scale = colourScale(*a, "scalar_median");
  // log2 medians 1, -1 and 0; the 2nd and 98th percentiles are -0.96 and 0.96.
  EXPECT_DOUBLE_EQ(scale.high, 0.96);
  const std::string svg = pictureOf(*a, dir.path("p.svg"), "scalar_median");
  // x = 16 + 266.7 * depth, y = 111 + 14 * row.
  for (const char* part :
       {"<path d=\"M16.0 118.0H82.7\" stroke=\"#a80719\" stroke-width=\"4.00\"/>",   // red end
        "<path d=\"M16.0 146.0H49.3\" stroke=\"#0044a3\" stroke-width=\"3.25\"/>",   // blue end
        "<path d=\"M82.7 111.0H349.3\" stroke=\"#999\" stroke-width=\"3.25\"/>\n"    // 1: white,
        "<path d=\"M82.7 111.0H349.3\" stroke=\"#ffffff\" stroke-width=\"1.75\"/>",  // outlined
        ">scalar_median (log2 scale)<", ">tree.log: 4 retained samples<",
        "<path d=\"M296.0 56h133.3\""}) {  // a scale bar of 0.5
    EXPECT_NE(svg.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(occurrences(svg, "stroke=\"#b4b4b4\" stroke-width=\"1.00\""), 3u);  // unchanged tips
  EXPECT_EQ(occurrences(svg, "<stop "), 11u);

  // Anything else is sequential between its percentiles: pct_changed runs from 25 to 100.
  const ColourScale changed = colourScale(*a, "pct_changed");
  EXPECT_DOUBLE_EQ(changed.low, 27.0);
  EXPECT_EQ(branchColour(*a, changed, 1), 0xfde725u);  // viridis' ends
  EXPECT_EQ(branchColour(*a, changed, 3), 0x440154u);
  EXPECT_FALSE(isRatioStatistic("scalar_ess") || isRatioStatistic("deltab_median"));
}

TEST(Picture, LabelsAreEscapedAndTheDocumentReads) {
  // A stray byte, a cut-short sequence, a surrogate, a control character, and code points
  // beyond U+10FFFF cannot be XML; a blank, U+00B5, U+FF01 and U+1F600 can.
  EXPECT_EQ(
      xmlText("\xFF x\xC3\xED\xA0\x80\x01\xF4\x90\x80\x80\xC2\xB5\xEF\xBC\x81\xF0\x9F\x98\x80"),
      "\xEF\xBF\xBD x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
      "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xC2\xB5\xEF\xBC\x81\xF0\x9F\x98\x80");

  testing::TempDir dir;
  std::string log = testing::smallLog(kFourSamples);
  log.replace(log.find("1\tA"), 3, "1\tx<y&z");
  log.replace(log.find("2\tB"), 3, "2\t'q\"\xC3\xA9\xFF");
  std::string longName;  // 100 characters in 200 bytes: the picture widens for characters
  for (int i = 0; i < 100; ++i) longName += "\xC3\xA9";
  log.replace(log.find("3\tC"), 3, "3\t" + longName);
  const auto a = testing::summarised(dir, log);
  const std::string svg = pictureOf(*a, dir.path("p.svg"), "deltav_ess");
  const double width = std::atof(svg.c_str() + svg.find(" width=\"") + 8);
  EXPECT_TRUE(width > 6.6 * 100 + 16 && width < 6.6 * 200) << width;
  EXPECT_NE(svg.find(">x&lt;y&amp;z</text>"), std::string::npos);
  EXPECT_NE(svg.find(">&apos;q&quot;\xC3\xA9\xEF\xBF\xBD</text>"), std::string::npos);
  if (std::system("command -v xmllint >/dev/null && command -v rsvg-convert >/dev/null") != 0) {
    GTEST_SKIP() << "xmllint or rsvg-convert is not installed";
  }
  EXPECT_EQ(testing::runCommand("/usr/bin/env", {"xmllint", "--noout", dir.path("p.svg")}).status,
            0);
  const testing::RunResult png = testing::runCommand(
      "/usr/bin/env", {"rsvg-convert", "-o", dir.path("p.png"), dir.path("p.svg")});
  EXPECT_EQ(png.status, 0) << png.err;
}

}  // namespace
}  // namespace scalesum
