#include <gtest/gtest.h>
#include <zlib.h>

#include "reference_report.h"
#include "test_util.h"
#include "version.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::smallLog;
using testing::TempDir;

const std::string kExamples = std::string(SCALESUM_SOURCE_DIR) + "/examples/";

TEST(Program, WrongArgumentCountPrintsTheUsageLine) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b", "c"}}) {
    const auto result = runProgram(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Scalesum takes an options file and a log file. \n");
    EXPECT_EQ(result.err, "");
  }
}

TEST(Program, HelpAndVersion) {
  auto result = runProgram({"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Usage: Scalesum <log file> [<options file>]"), std::string::npos);
  result = runProgram({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("Scalesum ") + SCALESUM_VERSION + "\n");
}

TEST(Program, ExampleReportIsExactlyAsRecorded) {
  const auto result = runProgram({kExamples + "example.log", kExamples + "example.options"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, readFile(kExamples + "example.report"));
}

TEST(Program, SimulatedLogsGiveTheStraightforwardReport) {
  // Every density of these reports goes through the fast engine; the expected reports are worked
  // out independently, with the straightforward density loop.
  TempDir dir;
  for (const char* seed : {"11", "12"}) {
    const std::string log = dir.path(std::string("sim") + seed + ".log");
    const std::string options = dir.path(std::string("sim") + seed + ".options");
    const auto made = testing::runCommand(
        "/usr/bin/env",
        {"python3", std::string(SCALESUM_SOURCE_DIR) + "/tools/simulate_log.py", "--taxa", "14",
         "--samples", "300", "--seed", seed, "--out", log, "--options", options});
    ASSERT_EQ(made.status, 0) << made.err;
    const auto burnIn = testing::referenceBurnIn(readFile(options));
    ASSERT_TRUE(burnIn.has_value());
    const auto expected = testing::referenceReport(readFile(log), *burnIn);
    ASSERT_TRUE(expected.has_value());
    const auto result = runProgram({log, options});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, *expected) << "seed " << seed;
  }
}

std::string gzipped(const std::string& text) {
  TempDir dir;
  const std::string path = dir.path("z.gz");
  gzFile out = gzopen(path.c_str(), "wb9");
  gzwrite(out, text.data(), static_cast<unsigned>(text.size()));
  gzclose(out);
  return readFile(path);
}

TEST(Program, CompressedLogsGiveTheSameReport) {
  TempDir dir;
  const std::string log = readFile(kExamples + "example.log");
  // Two gzip members one after the other form one stream, as gzip itself reads them.
  const std::string packed = gzipped(log.substr(0, 50000)) + gzipped(log.substr(50000));
  const std::string path = dir.write("example.log.txt", packed);
  const auto result = runProgram({path, kExamples + "example.options"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, readFile(kExamples + "example.report"));

  const std::string cut = dir.write("cut.gz", packed.substr(0, packed.size() / 3));
  auto failed = runProgram({cut});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "Error in " + cut +
                            ": the compressed data are corrupt or cut short (unexpected end of "
                            "file)\n");
  std::string damaged = packed;
  for (size_t k = 2000; k < 2100; ++k) damaged[k] = static_cast<char>(damaged[k] ^ 0x5a);
  failed = runProgram({dir.write("damaged.gz", damaged)});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.out.find(": the compressed data are corrupt or cut short ("), std::string::npos);
}

TEST(Program, MissingFilesAreReportedOnTheirStreams) {
  TempDir dir;
  const std::string options = dir.write("options", "IT 5\n");
  const std::string missing = dir.path("missing");
  auto result = runProgram({missing, options});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Could not open file " + missing + " for reading\n");

  const std::string log = dir.write("log", smallLog("1 0 0 0 0 1 0\n"));
  result = runProgram({log, missing});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Could not open file " + missing + " for reading\n");
  EXPECT_EQ(result.err, result.out);
}

TEST(Program, EveryFailureExitsOneWithOnlyItsMessage) {
  TempDir dir;
  struct Case {
    std::string log;
    std::string options;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"0\n", "", "$ needs more that one node.\n"},
      {"2\n1 A\n2\n", "", "Err finding taxa:\n"},
      {"1\n1 A\n1\n1 0 0\nh\n", "", "Error cannot find root.\n"},
      {smallLog("1 0 0 0 0 1 0\n"), "RATES x A Q\n", "Cannot find matching taxa for Q node x\n"},
      {smallLog("1 0 0 0 0 1 0\n"), "RATES x A C\n", "Count not find valid node for x\n"},
      {smallLog("1 0 0 1 0 1 0 9 2 0 Node\n"), "", "Could not find node ID 9 in list.\n"},
      {smallLog("1 0 0 0 0 1 0\n2 0 0 1 0 1 0 1 2 0 Node\n"), "", "Root is being scaled.\n"},
  };
  for (const Case& c : cases) {
    const std::string log = dir.write("log", c.log);
    std::vector<std::string> args{log};
    if (!c.options.empty()) args.push_back(dir.write("options", c.options));
    const auto result = runProgram(args);
    std::string expected = c.out;
    if (const auto at = expected.find('$'); at != std::string::npos) expected.replace(at, 1, log);
    EXPECT_EQ(result.status, 1) << c.log;
    EXPECT_EQ(result.out, expected) << c.log;
    EXPECT_EQ(result.err, "") << c.log;
  }
}

TEST(Program, ReportThatCannotBeWrittenIsAFailure) {
  TempDir dir;
  const std::string log = dir.write("log", smallLog("1 0 0 0 0 1 0\n"));
  const auto result = testing::runCommand(SCALESUM_BINARY, {log}, {}, "/dev/full");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error writing the report to standard output\n");
}

}  // namespace
}  // namespace scalesum
