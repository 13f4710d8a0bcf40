#include "colours.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "layout.h"
#include "picture.h"
#include "statistic.h"
#include "test_util.h"
#include "treefile.h"

namespace scalesum {
namespace {

using testing::written;

// Every stroke and fill colour the picture names, and every colour of a tree file.
std::vector<uint32_t> coloursIn(const std::string& svg) {
  std::vector<uint32_t> colours;
  for (const std::string key : {"stroke=\"#", "fill=\"#", "stop-color=\"#", "!color=#"}) {
    for (size_t at = svg.find(key); at != std::string::npos; at = svg.find(key, at + 1)) {
      colours.push_back(
          static_cast<uint32_t>(std::stoul(svg.substr(at + key.size(), 6), nullptr, 16)));
    }
  }
  return colours;
}

TEST(Colours, EveryColourStandsOutOnWhite) {
  // Spread values: the tips' Scalars run from 1/64 to 64 over the samples.
  std::string samples;
  for (int i = 0; i < 40; ++i) {
    const double scalar = std::exp2((i % 13) - 6);
    samples += std::to_string(i) + " 0 0 2 0 " + std::to_string(1 + i % 5) + " 0 " +
               std::to_string(4 + i % 4) + " " + std::to_string(scalar) + " 0 Branch " +
               std::to_string(2 + i % 2) + " " + std::to_string(1 / scalar) + " 0 Branch\n";
  }
  const auto a = testing::summarised(testing::smallLog(samples));
  const TreeLayout layout = layoutTree(a->tree);
  // The colour bar's stops cover each scale from end to end.
  std::vector<std::string> names{"pct_changed", "pct_up", "pct_down"};
  for (const char* series : {"scalar", "sigv", "deltab", "deltav"}) {
    for (const char* statistic :
         {"n", "mean", "sd", "median", "mode", "hpd_lower", "hpd_upper", "ess", "min", "max"}) {
      names.push_back(std::string(series) + "_" + statistic);
    }
  }
  for (const std::string& name : names) {
    ASSERT_TRUE(isStatisticName(name)) << name;
    std::vector<std::string> texts{written([&](FILE* out) {
      writeTreeFile(out, a->tree, a->results, layout, {name, 60.0, BranchLengths::kLogged});
    })};
    for (PictureLayout shape : {PictureLayout::kRectangular, PictureLayout::kCircular}) {
      texts.push_back(written([&](FILE* out) {
        writePicture(out, a->tree, a->results, layout, {name, shape, true, 60.0, {}});
      }));
    }
    for (const std::string& text : texts) {
      for (uint32_t colour : coloursIn(text)) {
        if (colour == 0xffffff) continue;  // the background
        EXPECT_GE(contrastOnWhite(colour), 2.0) << name << std::hex << " #" << colour;
      }
    }
  }
  EXPECT_DOUBLE_EQ(contrastOnWhite(0xffffff), 1.0);
  EXPECT_NEAR(contrastOnWhite(0x000000), 21.0, 1e-12);
}

}  // namespace
}  // namespace scalesum
