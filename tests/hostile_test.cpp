// Runs of the real executable on damaged and hostile inputs. Every run must end in one of two
// ways: exit 0, nothing on standard error, and exactly the report that the input calls for
// when read as the README describes it (referenceReport); or exit 1 with one message line and
// no part of the report.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "reference_report.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::referenceBurnIn;
using testing::referenceReport;
using testing::runProgram;
using testing::TempDir;

// A small simulated log (6 taxa, 14 samples, nested subtree scalars) and its options file,
// written by: tools/simulate_log.py --taxa 6 --samples 14 --seed 5 --burnin 3000
const std::string kLog = readFile(std::string(SCALESUM_SOURCE_DIR) + "/tests/data/six_taxa.log");
const std::string kOptions =
    readFile(std::string(SCALESUM_SOURCE_DIR) + "/tests/data/six_taxa.options");

bool blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

class Hostile : public ::testing::Test {
 protected:
  // Runs the program on `log` (and `options`, unless null) and holds the outcome against what
  // the input calls for.
  void expectSound(const std::string& log, const std::optional<std::string>& options,
                   const std::string& what) {
    std::vector<std::string> args{dir_.write("log", log)};
    std::optional<int32_t> burnIn = 0;
    if (options) {
      args.push_back(dir_.write("options", *options));
      burnIn = referenceBurnIn(*options);
    }
    const auto expected = burnIn ? referenceReport(log, *burnIn) : std::nullopt;
    expectOutcome(runProgram(args), expected, what);
  }

  static void expectOutcome(const testing::RunResult& result,
                            const std::optional<std::string>& expected, const std::string& what) {
    if (expected) {
      EXPECT_EQ(result.status, 0) << what << "\n" << result.out;
      EXPECT_EQ(result.err, "") << what;
      EXPECT_EQ(result.out, *expected) << what;
      return;
    }
    EXPECT_EQ(result.status, 1) << what << "\n" << result.out;
    // One message line, on either stream or the same on both, and nothing of the report.
    const std::string& message = result.out.empty() ? result.err : result.out;
    EXPECT_TRUE(result.err.empty() || result.out.empty() || result.err == result.out) << what;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << what << "\n" << message;
    EXPECT_TRUE(!message.empty() && message.back() == '\n') << what;
    EXPECT_EQ(message.find("Node ID\t"), std::string::npos) << what;
  }

  // The log split into its lines, each with its line feed.
  static std::vector<std::string> logLines() {
    std::vector<std::string> lines;
    for (size_t at = 0; at < kLog.size();) {
      const size_t end = kLog.find('\n', at) + 1;
      lines.push_back(kLog.substr(at, end - at));
      at = end;
    }
    return lines;
  }

  static std::string join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line;
    return text;
  }

  // The log with field `field` of line `line` (both from 0) replaced by `text`.
  static std::string withField(size_t line, size_t field, const std::string& text) {
    std::vector<std::string> lines = logLines();
    size_t at = 0;
    for (size_t f = 0;; ++f) {
      while (blank(lines[line][at])) ++at;
      const size_t end = std::find_if(lines[line].begin() + long(at), lines[line].end(), blank) -
                         lines[line].begin();
      if (f == field) {
        lines[line].replace(at, end - at, text);
        return join(lines);
      }
      at = end;
    }
  }

  TempDir dir_;
};

// Lines of the log: 0 taxon count, 1-6 taxa, 7 node count, 8 root, 9-18 other nodes,
// 19 header, 20-33 samples (27: three subtree scalars).
constexpr size_t kTaxa = 1, kNodeCount = 7, kRoot = 8, kNode = 12, kHeader = 19, kSample = 27;

TEST_F(Hostile, TheIndependentReadingAgreesOnTheIntactFiles) {
  ASSERT_EQ(logLines().size(), 34u);
  ASSERT_TRUE(referenceReport(kLog, 0).has_value());
  expectSound(kLog, std::nullopt, "intact log");
  expectSound(kLog, kOptions, "intact log and options");
  EXPECT_NE(*referenceReport(kLog, 0), *referenceReport(kLog, 3000));
}

TEST_F(Hostile, CutAtEveryLineBoundaryAndAtRandomBytes) {
  // At a line boundary in the sample section, the report is that of the samples left; anywhere
  // else the log is rejected.
  for (size_t at = 0; at <= kLog.size(); at = kLog.find('\n', at) + 1) {
    expectSound(kLog.substr(0, at), std::nullopt, "cut at byte " + std::to_string(at));
    if (at == kLog.size()) break;
  }
  std::mt19937 random(17);
  for (int i = 0; i < 20; ++i) {
    const size_t at = random() % kLog.size();
    expectSound(kLog.substr(0, at), std::nullopt, "cut at byte " + std::to_string(at));
  }
}

TEST_F(Hostile, LinesDroppedDuplicatedAndSwapped) {
  const std::vector<std::string> lines = logLines();
  for (size_t i = 0; i < lines.size(); ++i) {
    auto changed = lines;
    changed.erase(changed.begin() + long(i));
    expectSound(join(changed), std::nullopt, "line " + std::to_string(i) + " dropped");
    changed = lines;
    changed.insert(changed.begin() + long(i), lines[i]);
    expectSound(join(changed), std::nullopt, "line " + std::to_string(i) + " twice");
    if (i + 1 < lines.size()) {
      changed = lines;
      std::swap(changed[i], changed[i + 1]);
      expectSound(join(changed), std::nullopt, "lines " + std::to_string(i) + " swapped");
    }
  }
  // A second copy of the header, as a restarted run appends it.
  auto twice = lines;
  twice.insert(twice.begin() + kSample, lines[kHeader]);
  expectSound(join(twice), std::nullopt, "header repeated among the samples");
  expectSound(join(twice), "IT 1000\n", "header repeated among the samples, with a burn-in");
}

TEST_F(Hostile, JunkTokensInEveryKindOfField) {
  const std::vector<std::string> junk = {
      "",    "Node",  "+",        "-",          "1e",          "0x1p3",      "nan",
      "inf", "1e308", "4.9e-324", "2147483647", "99999999999", "-2147483648"};
  // Line and field: a taxon's name, a node's id, length, taxon count and a taxon id, and a
  // sample's iteration, count, sigma, an unread field, and a group's node id, scalar and type.
  const std::pair<size_t, size_t> fields[] = {
      {kTaxa, 1},   {kNode, 0},   {kNode, 1},   {kNode, 2},   {kNode, 3},   {kSample, 0},
      {kSample, 3}, {kSample, 5}, {kSample, 6}, {kSample, 7}, {kSample, 8}, {kSample, 10}};
  for (const auto& [line, field] : fields) {
    for (const std::string& token : junk) {
      expectSound(
          withField(line, field, token), std::nullopt,
          "line " + std::to_string(line) + " field " + std::to_string(field) + ": '" + token + "'");
    }
  }
  // Junk in the unread fields leaves the report as it was.
  const std::string report = *referenceReport(kLog, 0);
  EXPECT_EQ(*referenceReport(withField(kSample, 6, "nan"), 0), report);
  EXPECT_EQ(*referenceReport(withField(kHeader, 2, ""), 0), report);
  // The burn-in read from junk, as far as it reads as a number.
  for (const char* token : {"nan", "1e", "+", "99999999999", "-2147483648", "5000x"}) {
    expectSound(kLog, std::string("IT ") + token + "\n" + kOptions.substr(kOptions.find('\n') + 1),
                std::string("IT ") + token);
  }
}

TEST_F(Hostile, NulCarriageReturnAndHighBytes) {
  const std::vector<std::string> lines = logLines();
  for (size_t line : {size_t{0}, kTaxa, kNode, kHeader, kSample, lines.size() - 1}) {
    auto changed = lines;
    changed[line].insert(changed[line].size() / 2, 1, '\0');
    expectSound(join(changed), std::nullopt, "NUL in line " + std::to_string(line));
    // A lone CR as the line end joins the line to the next.
    changed = lines;
    changed[line].back() = '\r';
    expectSound(join(changed), std::nullopt, "lone CR ending line " + std::to_string(line));
    changed = lines;
    changed[line].insert(changed[line].size() - 1, "\r");
    expectSound(join(changed), std::nullopt, "CR LF ending line " + std::to_string(line));
    changed = lines;
    changed[line].insert(changed[line].size() - 1, "\xc3\xa9\xff");
    expectSound(join(changed), std::nullopt, "high bytes ending line " + std::to_string(line));
  }
  std::string crOnly = kLog;
  std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');
  expectSound(crOnly, std::nullopt, "CR line ends throughout");
  std::string crlf;
  for (char c : kLog) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  expectSound(crlf, std::nullopt, "CR LF line ends throughout");
  expectSound(kLog + std::string(40, '\xff') + "\n", std::nullopt, "a line of 0xff bytes");
  const char options[] = "IT 3000\rNOCATS 5\r\nRATES x Venunyx_montior\0IT 4000";
  expectSound(kLog, std::string(options, sizeof options - 1), "options with CR and NUL");
}

TEST_F(Hostile, CountsThatLieInBothDirections) {
  const std::pair<std::pair<size_t, size_t>, std::vector<std::string>> counts[] = {
      {{0, 0}, {"5", "7", "2147483647", "99999999999"}},  // taxa (6)
      {{kNodeCount, 0}, {"10", "12", "2147483647"}},      // nodes (11)
      {{kRoot, 2}, {"5", "7"}},                           // the root's taxa (6)
      {{kNode, 2}, {"3", "5"}},                           // a clade's taxa (4)
      {{kSample, 3}, {"2", "4", "2147483647"}},           // a sample's scalars (3)
  };
  for (const auto& [at, values] : counts) {
    for (const std::string& value : values) {
      expectSound(withField(at.first, at.second, value), std::nullopt,
                  "line " + std::to_string(at.first) + " says " + value);
    }
  }
}

TEST_F(Hostile, FilesThatAreNotRegularFiles) {
  const std::string log = dir_.write("real.log", kLog);
  const std::string fifo = dir_.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A log can only be read several times from a regular file; a FIFO is turned away without
  // waiting for a writer.
  for (const std::string& path : {dir_.write("empty", ""), dir_.path(""), std::string("/dev/null"),
                                  fifo, dir_.path("missing")}) {
    expectOutcome(runProgram({path}), std::nullopt, "log " + path);
  }
  expectOutcome(runProgram({log, dir_.path("")}), std::nullopt, "options: a directory");
  expectOutcome(runProgram({log, dir_.path("missing")}), std::nullopt, "options: missing");
  const std::string report = *referenceReport(kLog, 0);
  expectOutcome(runProgram({log, dir_.write("empty", "")}), report, "options: empty");
  expectOutcome(runProgram({log, "/dev/null"}), report, "options: /dev/null");

  // An options file is read once, so it may come through a FIFO; the writer waits for the
  // program to open it.
  std::atomic<bool> done{false};
  std::thread writer([&] {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    int fd = -1;
    while (fd < 0 && !done) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    [[maybe_unused]] const ssize_t wrote = ::write(fd, kOptions.data(), kOptions.size());
    ::close(fd);
  });
  const auto result = runProgram({log, fifo});
  done = true;
  writer.join();
  expectOutcome(result, *referenceReport(kLog, 3000), "options through a FIFO");
}

// Runs Scalesum on the small test log with its standard output a pipe that nobody reads.
testing::RunResult runIntoClosedPipe(const std::string& log) {
  int ends[2];
  if (::pipe(ends) != 0) return {};
  TempDir dir;
  const std::string errPath = dir.path("stderr");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(ends[1], 1);
    ::dup2(err, 2);
    ::execl(SCALESUM_BINARY, SCALESUM_BINARY, log.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ends[0]);
  ::close(ends[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  testing::RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.err = readFile(errPath);
  return result;
}

TEST(Output, AReaderThatGoesAwayMakesTheRunFail) {
  TempDir dir;
  const auto result = runIntoClosedPipe(dir.write("log", kLog));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error writing the report to standard output\n");
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(MemoryExhaustion, EveryLimitGivesTheReportOrTheMessage) {
  if (kAddressSanitizer) GTEST_SKIP() << "an address-space limit does not work under ASan";
  // Two taxa and many samples: the length histories and the series of the worker threads are
  // what needs the memory.
  TempDir dir;
  std::string log = "2\n1 A\n2 B\n3\n1 0 2 1 2\n2 0.5 1 1\n3 0.25 1 2\nIter a b K x Sigma y\n";
  for (int i = 1; i <= 200000; ++i) {
    log += std::to_string(i) + " 0 0 1 0 " + std::to_string(1 + i % 7) + " 0 2 " +
           std::to_string(1 + i % 5) + " x Node\n";
  }
  const std::string path = dir.write("big.log", log);
  const std::vector<std::string> twoThreads{"OMP_NUM_THREADS=2"};
  const auto full = runProgram({path}, twoThreads);
  ASSERT_EQ(full.status, 0);
  // From too little memory to start the program up to enough for a run on two threads; in
  // between, a second thread may not start and the run makes do with one.
  std::set<std::string> messages;
  int successes = 0;
  for (int megabytes = 8, inARow = 0; megabytes <= 256 && inARow < 3; megabytes += 2) {
    const std::string command =
        "ulimit -v " + std::to_string(megabytes * 1024) + " && exec " SCALESUM_BINARY " " + path;
    const auto result = testing::runCommand("/bin/sh", {"-c", command}, twoThreads);
    inARow = result.status == 0 ? inARow + 1 : 0;
    if (result.status == 0) {
      ++successes;
      EXPECT_EQ(result.out, full.out) << megabytes << " MB";
      EXPECT_EQ(result.err, "") << megabytes << " MB";
      continue;
    }
    EXPECT_EQ(result.status, 1) << megabytes << " MB: " << result.err;
    EXPECT_EQ(result.out, result.err) << megabytes << " MB";
    EXPECT_EQ(result.out.rfind("Memory allocation error in file ", 0), 0u)
        << megabytes << " MB: " << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << megabytes << " MB";
    messages.insert(result.out);
  }
  EXPECT_GT(successes, 0);
  // The memory runs out at several places, among them the worker threads' series.
  EXPECT_GE(messages.size(), 2u);
}

}  // namespace
}  // namespace scalesum
