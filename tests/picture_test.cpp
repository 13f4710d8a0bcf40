#include "picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "boxes.h"
#include "colours.h"
#include "samples.h"
#include "series.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::written;

// Node 2 is doubled in all 4 samples, node 3 halved in 3, tip 4 quadrupled in 1; 5 to 7 never.
constexpr const char* kFourSamples =
    "1 0 0 3 0 1 0 2 2 0 Branch 3 0.5 0 Branch 4 4 0 Branch\n"
    "2 0 0 2 0 1 0 2 2 0 Branch 3 0.5 0 Branch\n"
    "3 0 0 2 0 1 0 2 2 0 Branch 3 0.5 0 Branch\n"
    "4 0 0 1 0 1 0 2 2 0 Branch\n";

std::string pictureOf(const testing::LoadedLog& analysis, const std::string& colorBy,
                      PictureLayout layout = PictureLayout::kRectangular, double percent = 95.0) {
  return written([&](FILE* out) {
    writePicture(out, analysis.tree, analysis.results, layoutTree(analysis.tree),
                 {colorBy, layout, true, percent, {}});
  });
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(Picture, RatiosOnASymmetricLog2ScaleWidthsByHowOftenShiftsMarked) {
  const auto a = testing::summarised(testing::smallLog(kFourSamples));
  const ColourScale scale = colourScale(a->tree, a->results, "scalar_median");
  // log2 medians 1, -1 and 0; the 2nd and 98th percentiles are -0.96 and 0.96.
  EXPECT_DOUBLE_EQ(scale.high, 0.96);
  const std::string svg = pictureOf(*a, "scalar_median");
  // x = 16 + 266.7 * depth, y = 147 + 14 * row.
  for (const char* part :
       {"<path d=\"M16.0 154.0L82.7 154.0\" stroke=\"#a80719\" stroke-width=\"4.00\"/>",   // red
        "<path d=\"M16.0 182.0L49.3 182.0\" stroke=\"#0044a3\" stroke-width=\"3.25\"/>",   // blue
        "<path d=\"M82.7 147.0L349.3 147.0\" stroke=\"#919191\" stroke-width=\"1.75\"/>",  // 1
        ">scalar_median (log2 scale)<", ">tree.log: 4 retained samples<",
        "<path d=\"M320.0 56h133.3\"",  // a scale bar of 0.5
        // Node 2, scaled up in every sample, is marked halfway along its branch.
        "<path d=\"M45.3 156.4L53.3 156.4L49.3 150.0Z\" fill=\"#a80719\"",
        // Node ids beside the internal nodes.
        "<text x=\"81.2\" y=\"151.5\" text-anchor=\"end\">2</text>"}) {
    EXPECT_NE(svg.find(part), std::string::npos) << part;
  }
  // Unchanged tips and the legend's sample: dashed, black; one marker besides the legend's two.
  EXPECT_EQ(occurrences(svg, "stroke=\"#000000\" stroke-width=\"1.00\" stroke-dasharray"), 3u);
  EXPECT_EQ(occurrences(svg, "Z\" fill="), 3u);
  // Node 2, constant, has no sample size: drawn as never changed, as wide as how often it was.
  EXPECT_NE(pictureOf(*a, "scalar_ess")
                .find("stroke=\"#000000\" stroke-width=\"4.00\" stroke-dasharray=\"3 2\""),
            std::string::npos);
  // The colour bar's tick labels are centred on their ticks and lie whole on the canvas, at
  // a generous 0.6 em a character of 10-pixel type, also when they are long (0.000369).
  const auto small = testing::summarised(
      testing::smallLog("1 0 0 1 0 0.00123 0 2 2 0 Branch\n2 0 0 1 0 0.00456 0 3 2 0 Branch\n"));
  for (const std::string& picture : {svg, pictureOf(*small, "deltab_median")}) {
    int ticks = 0;
    const std::string key = "\" y=\"77\">";
    for (size_t at = picture.find(key); at != std::string::npos; at = picture.find(key, at + 1)) {
      const double x = std::atof(picture.c_str() + picture.rfind("x=\"", at) + 3);
      const size_t start = at + key.size();
      const double halfWidth = 3.0 * static_cast<double>(picture.find('<', start) - start);
      EXPECT_GE(x - halfWidth, 0.0) << picture.substr(start, 12);
      ++ticks;
    }
    EXPECT_EQ(ticks, 5);
  }

  // Anything else runs between its percentiles, but a share from 0 to 100: 25% is not "high".
  const ColourScale changed = colourScale(a->tree, a->results, "pct_changed");
  EXPECT_TRUE(changed.low == 0.0 && changed.high == 100.0);
  EXPECT_EQ(branchColour(a->tree, a->results, changed, 1),
            0x69cd5bu);  // viridis' ends, cut before the light
  EXPECT_EQ(branchColour(a->tree, a->results, changed, 3), 0x424186u);
  EXPECT_NE(pictureOf(*a, "pct_up").find(">0</text>"), std::string::npos);
  // A scale of one value has one tick, not five equal ones.
  const auto flat = testing::summarised(testing::smallLog("1 0 0 1 0 1 0 2 2 0 Branch\n"));
  EXPECT_EQ(occurrences(pictureOf(*flat, "deltab_median"), "\" y=\"77\">"), 1u);
}

TEST(Picture, CircularBranchesRunOutwardFromTheCentre) {
  constexpr double kDepths[] = {0, 0.25, 0.125, 1.25, 2.25, 0.625, 0.875};
  const auto a = testing::summarised(testing::smallLog(kFourSamples));
  const std::string svg = pictureOf(*a, "scalar_median", PictureLayout::kCircular);
  // The centre, where the first branch drawn starts; the farthest tip (2.25) is 300 pixels out.
  const size_t first = svg.find("<path d=\"M", svg.find("<g fill=\"none\">"));
  double cx = 0, cy = 0;
  ASSERT_EQ(std::sscanf(svg.c_str() + first + 10, "%lf %lf", &cx, &cy), 2);
  // Every end lies on the circle of a node's depth.
  const auto onACircle = [&](double x, double y) {
    return std::any_of(std::begin(kDepths), std::end(kDepths), [&](double depth) {
      return std::fabs(std::hypot(x - cx, y - cy) - depth * (300 / 2.25)) < 1.0;
    });
  };
  int branches = 0;
  double x1, y1, x2, y2;
  char end;
  for (size_t at = svg.find("<path d=\"M"); at != std::string::npos;
       at = svg.find("<path d=\"M", at + 1)) {
    // Not a branch: a marker, the joins, the legend and its sample above the header's foot.
    if (std::sscanf(svg.c_str() + at + 10, "%lf %lfL%lf %lf%c", &x1, &y1, &x2, &y2, &end) != 5 ||
        end != '"' || y1 < 140) {
      continue;
    }
    ++branches;
    // Along a radius: the centre and both ends on one line.
    const double offLine =
        ((x1 - cx) * (y2 - cy) - (y1 - cy) * (x2 - cx)) / std::hypot(x2 - cx, y2 - cy);
    EXPECT_TRUE(std::fabs(offLine) < 1.0 && onACircle(x1, y1) && onACircle(x2, y2))
        << x1 << ' ' << y1 << ' ' << x2 << ' ' << y2;
  }
  EXPECT_EQ(branches, 6);
  EXPECT_EQ(svg.find("nan"), std::string::npos);
}

TEST(Picture, LabelsAreEscapedAndTheDocumentReads) {
  // A stray byte, a cut-short sequence, a surrogate, a control character, and code points
  // beyond U+10FFFF cannot be XML; a blank, U+00B5, U+FF01 and U+1F600 can.
  EXPECT_EQ(
      xmlText("\xFF x\xC3\xED\xA0\x80\x01\xF4\x90\x80\x80\xC2\xB5\xEF\xBC\x81\xF0\x9F\x98\x80"),
      "\xEF\xBF\xBD x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
      "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xC2\xB5\xEF\xBC\x81\xF0\x9F\x98\x80");

  std::string log = testing::smallLog(kFourSamples);
  std::string longName;  // 100 characters in 200 bytes: the picture widens for characters
  for (int i = 0; i < 100; ++i) longName += "\xC3\xA9";
  log.replace(log.find("3\tC"), 3, "3\t" + longName);
  const auto a = testing::summarised(log);
  const std::string svg = pictureOf(*a, "deltav_ess");
  const double width = std::atof(svg.c_str() + svg.find(" width=\"") + 8);
  EXPECT_TRUE(width > 8.8 * 100 + 16 && width < 8.8 * 200) << width;
  // A log from a pipe is titled by what it is, not by a descriptor's number.
  for (const auto& [path, title] :
       {std::pair{"-", ">standard input: "}, std::pair{"/dev/fd/63", ">/dev/fd/63: "},
        std::pair{"runs/a&b.log", ">a&amp;b.log: "}}) {
    a->tree.path = path;
    EXPECT_NE(pictureOf(*a, "scalar_mean").find(title), std::string::npos) << path;
  }
  // Several chains are all named.
  const std::string chains = written([&](FILE* out) {
    writePicture(out, a->tree, a->results, layoutTree(a->tree),
                 {"scalar_mean", PictureLayout::kRectangular, false, 95.0, {"b/c2.log", "c3.log"}});
  });
  EXPECT_NE(chains.find(">a&amp;b.log, c2.log, c3.log: 4 retained samples<"), std::string::npos);
}

// The number of pairs of boxes that overlap where one of them is a label.
int labelOverlaps(const std::vector<Box>& boxes) {
  std::vector<Extent> e;
  for (const Box& box : boxes) e.push_back(extentOf(box));
  const auto isLabel = [&](size_t i) {
    return boxes[i].kind == BoxKind::kTipLabel || boxes[i].kind == BoxKind::kNodeId;
  };
  int overlaps = 0;
  for (size_t i = 0; i < boxes.size(); ++i) {
    for (size_t j = i + 1; j < boxes.size(); ++j) {
      overlaps += (isLabel(i) || isLabel(j)) && e[j].left < e[i].right && e[i].left < e[j].right &&
                  e[j].top < e[i].bottom && e[i].top < e[j].bottom &&
                  boxesOverlap(boxes[i], boxes[j]);
    }
  }
  return overlaps;
}

TEST(Picture, NoLabelOverlapsAnythingAndTheTreeFillsTheCanvas) {
  testing::TempDir dir;
  std::vector<std::pair<std::string, std::string>> logs{
      {"example", testing::readFile(testing::kSourceDir + "examples/example.log")}};
  for (const char* taxa : {"100", "1000"}) {
    const testing::RunResult made = testing::runCommand(
        "/usr/bin/env", {"python3", testing::kSourceDir + "tools/simulate_log.py", "--taxa", taxa,
                         "--samples", "40", "--seed", "5", "--out", dir.path("sim.log")});
    ASSERT_EQ(made.status, 0) << made.err;
    logs.emplace_back(taxa, testing::readFile(dir.path("sim.log")));
  }
  for (const auto& [name, log] : logs) {
    const auto a = testing::summarised(log);
    const TreeLayout layout = layoutTree(a->tree);
    for (PictureLayout shape : {PictureLayout::kRectangular, PictureLayout::kCircular}) {
      const std::string what = name + (shape == PictureLayout::kCircular ? " circular" : "");
      // Markers on a quarter of the branches.
      const PictureFrame frame =
          pictureFrame(a->tree, a->results, layout, {"scalar_median", shape, true, 60.0, {}});
      EXPECT_EQ(labelOverlaps(frame.boxes), 0) << what;
      Extent drawn{INFINITY, INFINITY, -INFINITY, -INFINITY};
      int tips = 0, ids = 0, markers = 0;
      for (const Box& box : frame.boxes) {
        const Extent e = extentOf(box);
        drawn = {std::min(drawn.left, e.left), std::min(drawn.top, e.top),
                 std::max(drawn.right, e.right), std::max(drawn.bottom, e.bottom)};
        tips += box.kind == BoxKind::kTipLabel;
        ids += box.kind == BoxKind::kNodeId;
        markers += box.kind == BoxKind::kMarker;
      }
      EXPECT_TRUE(drawn.left >= 0 && drawn.top >= 0 && drawn.right <= frame.width &&
                  drawn.bottom <= frame.height)
          << what;
      const double filled =
          (drawn.right - drawn.left) * (drawn.bottom - drawn.top) / (frame.width * frame.height);
      EXPECT_GE(filled, 0.75) << what;
      EXPECT_EQ(tips, layout.tipCount) << what;
      // Some node ids find room, and markers are there to be kept clear of.
      EXPECT_TRUE(ids > layout.tipCount / 5 && markers > 0) << what;
    }
  }
}

}  // namespace
}  // namespace scalesum
