#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "samples.h"
#include "series.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::loadTree;
using testing::TempDir;

const char* kHeader =
    "Node ID\tNo Taxa\tOriginal BL\tNo different from original\tPct time scaled\t"
    "Mean Scalar\tMode Scalar\tMedian Scalar\tSD Scalar\tMean SigV\tMode SigV\tMedian SigV\t"
    "SD SigV\tMean DeltaB\tMode DeltaB\tMedian DeltaB\tSD DeltaB\tMean DeltaV\tMode DeltaV\t"
    "Median DeltaV\tSD DeltaV\tTaxa List\t\n";

std::string report(const TempDir& dir, const std::string& log) {
  auto analysis = loadTree(dir, log);
  countRetainedSamples(*analysis);
  applyRetainedSamples(*analysis);
  summariseAllNodes(*analysis);
  const std::string path = dir.path("report");
  FILE* out = std::fopen(path.c_str(), "w");
  writeNodeReport(out, *analysis);
  std::fclose(out);
  return testing::readFile(path);
}

std::vector<std::string> rows(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start + 1));
  }
  return lines;
}

std::vector<std::string> cellsOf(const std::string& row) {
  std::vector<std::string> cells;
  size_t start = 0;
  for (size_t end; (end = row.find('\t', start)) != std::string::npos; start = end + 1) {
    cells.push_back(row.substr(start, end - start));
  }
  cells.push_back(row.substr(start));
  return cells;
}

TEST(NodeReport, RowsCanBeDerivedByHand) {
  TempDir dir;
  // Taxa named C, b, A, B; node 12 = {C, A, b} of length 0.25 is changed in 1 of 4 samples.
  const std::string text = report(dir,
                                  "4\n1 C\n2 b\n3 A\n4 B\n3\n1 0.9 4 1 2 3 4\n12 0.25 3 1 3 2\n"
                                  "7 -0.0 1 4\nh\n"
                                  "1 0 0 0 0 1 0\n2 0 0 0 0 1 0\n3 0 0 1 0 1 0 12 2 0 Branch\n"
                                  "4 0 0 0 0 1 0\n");
  const auto lines = rows(text);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], kHeader);
  std::string placeholders;
  for (int i = 0; i < 16; ++i) placeholders += "0.0\t";
  EXPECT_EQ(lines[1], "1\t4\t0.000000\t0\t0.000000\t" + placeholders + "A,B,C,b\t\n");
  const auto cells = cellsOf(lines[2]);
  ASSERT_EQ(cells.size(), 23u);  // 22 cells, each ended by a tab, then the line feed
  EXPECT_EQ(std::vector<std::string>(cells.begin(), cells.begin() + 6),
            (std::vector<std::string>{"12", "3", "0.250000", "1", "25.000000", "1.250000"}));
  // Median and SD of the Scalar series 1, 1, 2, 1; the mode is a grid point near 1.
  EXPECT_EQ(cells[7], "1.000000");
  EXPECT_EQ(cells[8], "0.500000");
  EXPECT_NEAR(std::stod(cells[6]), 1.0, 0.01);
  EXPECT_EQ(cells[21], "A,C,b");
  EXPECT_EQ(cells[22], "\n");
  EXPECT_EQ(lines[3], "7\t1\t-0.000000\t0\t0.000000\t" + placeholders + "B\t\n");
  for (size_t k = 4; k < 8; ++k) EXPECT_EQ(lines[k], "\n");
}

TEST(NodeReport, TaxaSortByUnsignedBytesAndKeepDuplicates) {
  EXPECT_LT(compareTaxonNames("Ab", "Abc"), 0);
  EXPECT_LT(compareTaxonNames("Z", "a"), 0);
  EXPECT_GT(compareTaxonNames("\xc3\xa9", "z"), 0);
  EXPECT_EQ(compareTaxonNames("x", "x"), 0);
  TempDir dir;
  const std::string text = report(dir,
                                  "3\n1 same\n2 same\n3 \xc3\xa9t\xc3\xa9\n2\n1 0 3 1 2 3\n"
                                  "2 0.5 2 3 1\nh\n1 0 0 0 0 1 0\n");
  EXPECT_NE(text.find("\tsame,same,\xc3\xa9t\xc3\xa9\t\n"), std::string::npos);
  EXPECT_NE(text.find("\tsame,\xc3\xa9t\xc3\xa9\t\n"), std::string::npos);
}

}  // namespace
}  // namespace scalesum
