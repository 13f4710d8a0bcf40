#include "logfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::catchFailure;
using testing::smallLog;
using testing::TempDir;

TEST(ReadLogHeader, ReadsTaxaNodesAndTally) {
  TempDir dir;
  const std::string path =
      dir.write("log",
                "3\r\n1\tMus\r\n2 \t Bos  \r\n3 Apis\r\n4\r\n12 0.035 2 3 5 extra words\r\n"
                "13 1e-3 1 1\r\n14 abc 0\r\n15 0.5 3 1 2 3\r\nheader 1 2 3\r\nsample\r\n");
  auto analysis = readLogHeader(path.c_str());
  ASSERT_EQ(analysis->taxa.size(), 3u);
  EXPECT_EQ(analysis->taxa[1].name, "Bos");
  EXPECT_EQ(analysis->taxa[2].id, 3);
  ASSERT_EQ(analysis->nodeCount, 4);
  const Node& first = *analysis->nodes[0];
  EXPECT_EQ(first.id, 12);
  EXPECT_EQ(first.length, 0.035);
  EXPECT_EQ(first.taxonIds, (std::vector<int32_t>{3, 5}));
  EXPECT_EQ(first.isTip, 0);
  EXPECT_EQ(analysis->nodes[1]->length, 0.001);
  EXPECT_EQ(analysis->nodes[1]->isTip, 1);
  EXPECT_EQ(analysis->nodes[2]->length, 0.0);
  EXPECT_EQ(analysis->nodes[2]->isTip, 0);
  EXPECT_EQ(analysis->nodeIds, (std::vector<int32_t>{12, 13, 14, 15}));
  EXPECT_EQ(analysis->tally.originalLengths, (std::vector<double>{0.035, 0.001, 0.0, 0.5}));
  EXPECT_EQ(analysis->results.size(), 4u);
  EXPECT_EQ(analysis->log.headerLineCount, 10);
}

TEST(WalkSampleLines, StartsAtTheFirstSampleLineEveryPass) {
  TempDir dir;
  // The header line looks like a sample; it is skipped all the same.
  const std::string path = dir.write("log", smallLog("1 2 3 0 0 1 0\nsecond\n"));
  auto analysis = readLogHeader(path.c_str());
  for (int pass = 0; pass < 3; ++pass) {
    std::vector<std::string> seen;
    walkSampleLines(analysis->log, 0, [&](char* line, int64_t) { seen.push_back(line); });
    EXPECT_EQ(seen, (std::vector<std::string>{"1 2 3 0 0 1 0"}));
  }
}

struct HeaderCase {
  const char* log;
  int status;
  const char* message;  // "%s" stands for the log's path
};

TEST(ReadLogHeader, RejectsBrokenHeaders) {
  const HeaderCase cases[] = {
      {"0\n", 1, "%s needs more that one node.\n"},
      {"-3\n1 A\n", 1, "%s needs more that one node.\n"},
      {"taxa\n", 1, "%s needs more that one node.\n"},
      {"", 1,
       "Error in %s line 1: the file ends before the header is complete (the taxon count "
       "expected)\n"},
      {"2\n1 A\n2 B C\n", 1, "Err finding taxa:\n"},
      {"2\n1 A\n\n", 1, "Err finding taxa:\n"},
      {"2\n1 A\n", 1,
       "Error in %s line 3: the file ends before the header is complete (a taxon line expected)\n"},
      {"2147483647\n1 A\n2 B\n", 1,
       "Error in %s line 4: the file ends before the header is complete (a taxon line expected)\n"},
      {"1\n1 A\n", 1,
       "Error in %s line 3: the file ends before the header is complete (the node count "
       "expected)\n"},
      {"1\n1 A\n2\n1 0 1 1\n", 1,
       "Error in %s line 5: the file ends before the header is complete (a node line expected)\n"},
      {"1\n1 A\n1\n1 0 1 1\n", 1,
       "Error in %s line 5: the file ends before the header is complete (the header line "
       "expected)\n"},
      {"1\n1 A\n1\n1 0 2 1\nh\n", 1,
       "Error in %s line 4: a node line needs an id, a branch length, a taxon count n and n taxon "
       "ids\n"},
      {"1\n1 A\n1\n1 0\nh\n", 1,
       "Error in %s line 4: a node line needs an id, a branch length, a taxon count n and n taxon "
       "ids\n"},
      // The header line read as a node line: the node count is one too large.
      {"1\n1 A\n2\n1 0 1 1\nIter Lh Prior No\n1 0 0 0 0 1 0\n", 1,
       "Error in %s line 5: the number of taxa (field 3) of a node line is not a number: Prior\n"},
      {"1\n1 A\n-1\nh\n", 1, "Memory allocation error in file Scalesum line 1\n"},
      {"1\n1 A\n1\n1 0 -2\nh\n", 1, "Memory allocation error in file Scalesum line 2\n"},
  };
  TempDir dir;
  for (const HeaderCase& c : cases) {
    const std::string path = dir.write("log", c.log);
    const auto failure = catchFailure([&] { readLogHeader(path.c_str()); });
    std::string expected = c.message;
    if (const auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path);
    EXPECT_EQ(failure.status, c.status) << c.log;
    EXPECT_EQ(failure.message, expected) << c.log;
  }
}

TEST(ReadLogHeader, RejectsNulBytes) {
  TempDir dir;
  const std::string path = dir.write("log", std::string("1\n1 A\n1\n1 0 1 1\0 2\nh\n", 20));
  const auto failure = catchFailure([&] { readLogHeader(path.c_str()); });
  EXPECT_EQ(failure.message, "Error in " + path + " line 4: the line holds a NUL byte\n");
}

TEST(ReadLogHeader, RejectsCarriageReturnsThatDoNotEndTheLine) {
  TempDir dir;
  // With lone CR line ends the taxa table would read as one line, and a node line could
  // swallow the next one.
  const std::string path = dir.write("log", "1\n1 A\n2\n1 0 1 1\r2 0 1 1\nh\n");
  const auto failure = catchFailure([&] { readLogHeader(path.c_str()); });
  EXPECT_EQ(failure.message, "Error in " + path +
                                 " line 4: a carriage return inside the line; lines must end in "
                                 "LF or CR LF\n");
  // Carriage returns with nothing but whitespace behind them end the line harmlessly.
  const std::string crlf = dir.write("crlf", "1\r\n1 A\r\r\n1\n1 0 1 1 \r \t\nh\r\n");
  EXPECT_EQ(catchFailure([&] { readLogHeader(crlf.c_str()); }).status, -1);
}

TEST(ReadLogHeader, RejectsWhatIsNotARegularFile) {
  TempDir dir;
  auto failure = catchFailure([&] { readLogHeader(dir.path("").c_str()); });
  EXPECT_EQ(failure.status, 1);
  EXPECT_NE(failure.message.find("not a regular file"), std::string::npos);
  // A FIFO without a writer is turned away at once instead of waiting for one.
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  failure = catchFailure([&] { readLogHeader(fifo.c_str()); });
  EXPECT_NE(failure.message.find("not a regular file"), std::string::npos);
  failure = catchFailure([&] { readLogHeader(dir.path("missing").c_str()); });
  EXPECT_EQ(failure.message, "Could not open file " + dir.path("missing") + " for reading\n");
}

}  // namespace
}  // namespace scalesum
