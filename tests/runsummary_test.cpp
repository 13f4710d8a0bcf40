#include "runsummary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::runProgram;
using testing::TempDir;

const std::string kLog = testing::kSourceDir + "examples/example.log";
const std::string kOptions = testing::kSourceDir + "examples/example.options";
const std::string kReport = readFile(testing::kSourceDir + "examples/example.report");

TEST(Verbose, OneLineCountsTheLinesSamplesNodesAndBlocks) {
  // 90000 bytes hold the record, one thread's scratch and four of the 540-sample histories.
  const testing::RunResult run =
      runProgram({"-v", "-t", "1", "--max-memory", "90000", kLog, kOptions});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kReport);
  // The counts, then the wall time, as "0.13 s" (no <regex>: the sanitizer build rejects it).
  const std::string counts =
      "Scalesum: 1 chain, 600 sample lines read, 540 samples retained (burn-in 61000), 31 nodes, "
      "8 blocks, ";
  ASSERT_EQ(run.err.substr(0, counts.size()), counts);
  const std::string time = run.err.substr(counts.size());
  const size_t point = time.find('.');
  EXPECT_TRUE(point != std::string::npos && point > 0 &&
              time.find_first_not_of("0123456789") == point &&
              time.compare(point + 3, std::string::npos, " s\n") == 0)
      << time;
}

// Runs `command` under a pseudo-terminal and returns what the terminal showed.
std::string onTerminal(const std::string& command) {
  return runCommand("/usr/bin/script", {"-qec", command, "/dev/null"}).out;
}

TEST(Messages, AFailureForStandardOutputShowsOnceOnEachFileOfTheTwoStreams) {
  TempDir dir;
  const std::string report = dir.path("report.tsv"), errors = dir.path("errors");
  // The files swapped: the options file read as the log.
  const std::string binary = SCALESUM_BINARY;
  const std::string swapped = "'" + binary + "' '" + kOptions + "' '" + kLog + "'";
  const testing::RunResult piped = runProgram({kOptions, kLog});
  ASSERT_TRUE(piped.status == 1 && !piped.out.empty());
  const auto inShell = [](const std::string& command) {
    return runCommand("/bin/sh", {"-c", command + "; echo $?"}).out;
  };
  EXPECT_EQ(inShell(swapped + " > '" + report + "' 2> '" + errors + "'"), "1\n");
  EXPECT_EQ(readFile(report), piped.out);
  EXPECT_EQ(readFile(errors), piped.out);
  EXPECT_EQ(inShell(swapped + " > '" + report + "' 2>&1"), "1\n");
  EXPECT_EQ(readFile(report), piped.out);

  if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script (bsdutils) is not installed";
  const std::string shown = onTerminal(swapped + " > '" + report + "'; echo status $?");
  EXPECT_EQ(readFile(report), piped.out);  // standard output keeps its bytes
  std::string expected;
  for (char c : piped.out) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(shown, expected + "status 1\r\n");
  // Both streams on the terminal: once, not twice.
  EXPECT_EQ(onTerminal("'" + binary + "' a b c"),
            "Scalesum takes an options file and a log file. \r\n"
            "Usage: Scalesum <log file> [<options file>] [flags]\r\n"
            "Try 'Scalesum --help' for more information.\r\n"
            "Further chains go with -c: Scalesum run1.log run.options -c run2.log -c "
            "run3.log\r\n");
}

}  // namespace
}  // namespace scalesum
