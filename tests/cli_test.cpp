#include "cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::runInProcess;
using testing::TempDir;

// A log of 40 samples, iterations 0 to 39, that scale two branches by turns: a short chain.
std::string shortChain(const TempDir& dir) {
  std::string samples;
  for (int i = 0; i < 40; ++i) {
    samples += std::to_string(i) + " 0 0 1 0 " + std::to_string(1 + i % 3) + " 0 " +
               std::to_string(2 + i % 2) + " " + std::to_string(0.5 + i % 5) + " 0 Branch\n";
  }
  return dir.write("chain.log", testing::smallLog(samples));
}

size_t fileCount(const TempDir& dir) {
  return std::distance(std::filesystem::directory_iterator(dir.path("")), {});
}

TEST(CommandLine, BadUseNamesTheFlagAndTouchesNoFile) {
  TempDir dir;
  const std::string log = shortChain(dir);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--hpd", "1.5"}, "--hpd: 1.5 is not between 0 and 1"},
      {{"--hpd", "0.9x"}, "--hpd: 0.9x is not a number"},
      {{"-t", "0"}, "--threads: 0 is not 1 or more"},
      {{"--threads=two"}, "--threads: two is not a whole number"},
      {{"--burnin", "3000000000"}, "--burnin: 3000000000 is out of range"},
      {{"-b", "100.000001%"}, "--burnin: 100.000001% is more than 100%"},
      {{"--burnin=12.5"}, "--burnin: 12.5 is not a whole number"},
      {{"--burnin", "-5%"}, "--burnin: -5% is not a percentage such as 25%"},
      {{"--burnin", "2.0000001%"}, "--burnin: 2.0000001% is not a percentage such as 25%"},
      {{"--max-memory", "0k"}, "--max-memory: 0k is not above 0"},
      {{"--max-memory", "512iB"}, "--max-memory: 512iB is not a size such as 512M"},
      {{"--max-memory", "1.G"}, "--max-memory: 1.G is not a size such as 512M"},
      {{"--max-memory", ".5G"}, "--max-memory: .5G is not a size such as 512M"},
      {{"--max-memory=1.5Kb"}, "--max-memory: 1.5Kb is not a size such as 512M"},
      {{"--max-memory", "0.0000000000000000001G"},
       "--max-memory: 0.0000000000000000001G is not a size such as 512M"},
      {{"--color-by", "sd"}, "--color-by: sd is not a statistic such as scalar_median"},
      {{"--quiet=yes"}, "--quiet takes no value"},
      {{"--colour-by=x"}, "unknown flag --colour-by"},
      {{"-qz"}, "unknown flag -z"},
      {{"--svg="}, "--svg: the file name is empty"},
      {{"-s", log}, "--stats: " + log + " is the log file"},
      {{"--tree", dir.path("./out.tsv")},
       "--tree: " + dir.path("./out.tsv") + " is also the file of --output"},
      {{"--stats"}, "--stats: the value is missing"},
      {{"--credible", "50"}, "--credible: 50 is not above 50 and at most 100"},
      {{"--credible=100.5"}, "--credible: 100.5 is not above 50 and at most 100"},
      {{"--credible", "95%"}, "--credible: 95% is not a number"},
      {{"--scale-by", "Mean"}, "--scale-by: Mean is not mean or median"},
      {{"--layout", "radial"}, "--layout: radial is not rectangular or circular"},
      {{"--rhat-max", "1"}, "--rhat-max: 1 is not above 1"},
      {{"--ess-min", "-1"}, "--ess-min: -1 is not 0 or more"},
      {{"--tracer-ess-min", "nan"}, "--tracer-ess-min: nan is not a number"},
      {{"--summary", log}, "--summary: " + log + " is the log file"},
  };
  for (const auto& [flags, message] : cases) {
    std::vector<std::string> args{"-o", dir.path("out.tsv"), log};
    args.insert(args.end(), flags.begin(), flags.end());
    const testing::Failure failure = testing::catchFailure([&] { testing::parseArgs(args); });
    EXPECT_EQ(failure.status, 1) << message;
    EXPECT_EQ(failure.message,
              "Scalesum: " + message + "\nTry 'Scalesum --help' for more information.\n");
  }
}

TEST(CommandLine, FlagsNeverChangeTheReportAndAFailedRunLeavesTheFiles) {
  TempDir dir;
  const std::string log = shortChain(dir);
  const std::string options = dir.write("it.options", "IT 10\n");
  const auto plain = runInProcess({log, options});
  ASSERT_TRUE(plain.status == 0 && plain.err.empty());
  const auto flagged = runInProcess({"-t", "1", log, "--hpd", "0.5", "-s", dir.path("s.tsv"),
                                     "--quiet", options, "--max-memory=1M"});
  EXPECT_TRUE(flagged.out == plain.out && flagged.err.empty());
  EXPECT_EQ(runInProcess({"--output", dir.path("r.tsv"), "--", log, options}).out, "");
  EXPECT_EQ(readFile(dir.path("r.tsv")), plain.out);
  // The flag wins over the options file's IT.
  EXPECT_EQ(runInProcess({"-b0", log, options}).out, runInProcess({log}).out);
  // The burn-in drops every sample: the run fails after its files were opened.
  const size_t files = fileCount(dir);
  EXPECT_EQ(
      runInProcess({log, "--burnin=40", "-o", dir.path("r.tsv"), "-s", dir.path("s2.tsv")}).status,
      1);
  EXPECT_EQ(readFile(dir.path("r.tsv")), plain.out);
  EXPECT_EQ(fileCount(dir), files);  // no statistics file, no temporary file
  // A tree file that cannot be written fails the run before any other file is written.
  const std::string tree = dir.path("missing/t.nex");
  const auto unwritable = runInProcess({log, "--svg", dir.path("p.svg"), "--tree", tree});
  EXPECT_TRUE(unwritable.status == 1 && unwritable.out.empty()) << unwritable.out;
  EXPECT_EQ(unwritable.err, "Error writing the tree to " + tree + ": No such file or directory\n");
  EXPECT_EQ(fileCount(dir), files);
}

TEST(CommandLine, MemorySizesAreBinaryUnitsWithAnyFractionOfAByteDropped) {
  const std::pair<const char*, int64_t> cases[] = {
      {"512B", 512},
      {"8MB", 8 << 20},
      {"1.5GiB", int64_t{3} << 29},
      {"2t", int64_t{2} << 40},
      {"0.3KiB", 307},
      {"1.999", 1},
      {"0.999999999999999999T", (int64_t{1} << 40) - 1},
      {"1.000000000000000001T", int64_t{1} << 40},
  };
  for (const auto& [size, bytes] : cases) {
    EXPECT_EQ(testing::parseArgs({"--max-memory", size, "run.log"}).maxMemory, bytes) << size;
  }
}

TEST(CommandLine, BurnInSharesDropExactlyTheFloorOfTheirPercentage) {
  struct Case {
    const char* text;
    int64_t lines, dropped;
  };
  // Where a binary fraction would land a hair below the whole number and floor past it.
  const Case cases[] = {
      {"12.5%", 8, 1},
      {"29%", 100, 29},
      {"0%", 1000, 0},
      {"100%", 7, 7},
      {"100.000000%", 7, 7},
      {"33.333333%", 3, 0},
      {"33.333334%", 3, 1},
      {"0.000001%", 99999999, 0},
      {"0.000001%", 100000000, 1},
      {"99.999999%", INT64_MAX, INT64_MAX - INT64_MAX / 100000000 - 1},
      {"007.50%", 40, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(burnInLines(parseBurnInShare(c.text), c.lines), c.dropped) << c.text;
  }
}

}  // namespace
}  // namespace scalesum
