#include "blocks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "failure.h"
#include "progress.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::runProgram;
using testing::TempDir;

constexpr size_t kPositions = 8;
// The caps below are worked out for two summarising threads.
const std::vector<std::string> kTwoThreads = {"OMP_NUM_THREADS=2"};

// Four taxa, with node 5 listed again last: blocks of one position part it from its first
// place. The samples scale branches and subtrees by varied factors under varied sigmas; every
// third sample has no group, every third one group and every third two.
std::string blockLog(int samples) {
  std::string log =
      "4\n1 A\n2 B\n3 C\n4 D\n8\n1 0.5 4 1 2 3 4\n2 0.25 2 1 2\n3 0.203 2 3 4\n"
      "4 1.0 1 1\n5 2.0 1 2\n6 0.5 1 3\n7 0.75 1 4\n5 2.0 1 2\nIter Lh Prior K X Sigma X\n";
  char text[64];
  for (int i = 0; i < samples; ++i) {
    std::snprintf(text, sizeof text, "%d 0 0 %d 0 %g 0", i, i % 3, 0.5 + i % 7 * 0.25);
    log += text;
    for (int g = 0; g < i % 3; ++g) {
      std::snprintf(text, sizeof text, " %d %g x %s", 2 + (i * 5 + g) % 6,
                    0.5 + (i * 7 + g) % 11 / 10.0, i % 2 ? "Node" : "Branch");
      log += text;
    }
    log += "\n";
  }
  return log;
}

// The record of blockLog(samples): 49 bytes a sample and 12 a group.
int64_t recordBytesOf(int samples) {
  return 49 * int64_t{samples} + 12 * int64_t{samples / 3 * 3};
}

// The smallest cap under which blockLog(samples) is summarised in `blocks` blocks, its record
// in memory or, when `spilled`, in a temporary file.
int64_t capFor(size_t blocks, int samples, bool spilled, bool statistics) {
  const BlockPlan unit = planBlocks(INT64_MAX, kPositions, samples, 2, statistics);
  // As the README counts: 8 bytes a sample per history; 8 for the sigmas and 28 per thread,
  // 231 with statistics, which also add 203 for the sigmas' diagnostics; the record whole, or a
  // window of 256 KiB onto its file.
  EXPECT_TRUE(unit.bytesPerPosition == 8 * samples &&
              unit.sharedBytes == 8 * samples + (statistics ? 231 * 2 + 203 : 28 * 2) * samples);
  const int64_t record = spilled ? int64_t{1} << 18 : recordBytesOf(samples);
  const auto perBlock = static_cast<int64_t>((kPositions + blocks - 1) / blocks);
  const int64_t cap = unit.sharedBytes + record + perBlock * unit.bytesPerPosition;
  const BlockPlan plan =
      planBlocks(cap, kPositions, samples, 2, statistics, recordBytesOf(samples));
  EXPECT_EQ(plan.blockCount, blocks);
  EXPECT_EQ(plan.spill, spilled);
  return cap;
}

TEST(Blocks, EveryBlockSizeInMemoryOrSpilledWritesWhatOneBlockDoes) {
  TempDir dir;
  // 6,000 samples make a record larger than the window onto its file: under a cap that would
  // hold fewer histories beside it, it is read back from a file instead.
  for (const int samples : {60, 6000}) {
    const std::string log = blockLog(samples);
    const std::vector<std::string> logs = {dir.write("plain.log", log),
                                           dir.writeGzip("packed.log", log)};
    auto run = [&](const std::string& path, std::vector<std::string> args) {
      // (Node 5 twice makes a tree that cannot be drawn.)
      args.insert(args.end(), {"-q", "--stats", dir.path("stats"), path});
      testing::RunResult result = runProgram(args, kTwoThreads);
      result.out += readFile(dir.path("stats"));
      return result;
    };
    const testing::RunResult whole = run(logs[0], {});
    ASSERT_EQ(whole.status, 0) << whole.out;
    for (const bool spilled : {false, true}) {
      for (const size_t blocks : {size_t{1}, size_t{2}, size_t{3}, kPositions}) {
        // A small record never goes to a file; a large one stays in memory only in one block.
        if (samples == 60 ? spilled : !spilled && blocks > 1) continue;
        const std::string cap = std::to_string(capFor(blocks, samples, spilled, true));
        const std::string what = std::to_string(samples) + " samples in " + std::to_string(blocks) +
                                 (spilled ? " blocks, spilled, " : " ");
        for (const std::string& path : logs) {
          const testing::RunResult capped = run(path, {"--max-memory", cap});
          EXPECT_TRUE(capped.status == 0 && capped.err.empty()) << what << path << capped.out;
          EXPECT_EQ(capped.out, whole.out) << what << path;
        }
        // Only a spilled record needs the folder for temporary files.
        const testing::RunResult nowhere =
            run(logs[0], {"--max-memory", cap, "--temp-dir", dir.path("none")});
        EXPECT_EQ(nowhere.status, spilled ? 1 : 0) << what;
        EXPECT_EQ(nowhere.err, spilled ? "Error creating a temporary file in " + dir.path("none") +
                                             ": No such file or directory\n"
                                       : "")
            << what;
      }
    }
  }
}

TEST(Blocks, TooSmallACapFailsAndProgressCountsTheReadAndEveryBlock) {
  TempDir dir;
  const std::string log = dir.write("plain.log", blockLog(60));
  const int64_t cap = capFor(kPositions, 60, false, false) - 1;
  const testing::RunResult run =
      runProgram({"--max-memory", std::to_string(cap), log}, kTwoThreads);
  EXPECT_TRUE(run.status == 1 && run.err == run.out);
  EXPECT_EQ(run.out, "Error: a memory cap of " + std::to_string(cap) +
                         " bytes is too small for 60 samples: summarising one node at a time "
                         "needs " +
                         std::to_string(cap + 1) + " bytes (see --max-memory)\n");
  // Progress forced on off a terminal writes plain lines and leaves the report alone. A short
  // run ends before the first periodic line; a slow one may show some beforehand.
  const testing::RunResult whole = runProgram({log}, kTwoThreads);
  const testing::RunResult shown =
      runProgram({"--progress", "--max-memory", std::to_string(capFor(3, 60, false, false)), log},
                 kTwoThreads);
  EXPECT_TRUE(shown.status == 0 && shown.out == whole.out);
  const std::string closing = "Scalesum: 8/8 nodes summarised in 4 passes, 0:";
  const size_t last = shown.err.rfind('\n', shown.err.size() - 2) + 1;  // 0 when one line
  EXPECT_EQ(shown.err.compare(last, closing.size(), closing), 0) << shown.err;
  EXPECT_EQ(shown.err.rfind("Scalesum: pass ", 0), last == 0 ? std::string::npos : 0);
  EXPECT_EQ(runProgram({"--progress", "--quiet", log}).err, "");
}

TEST(Blocks, ASpilledRunLeavesNoTemporaryFileWhenItFailsOrIsInterrupted) {
  TempDir dir;
  const std::string tmp = dir.path("tmp");
  std::filesystem::create_directory(tmp);
  const std::string cap = std::to_string(capFor(2, 6000, true, false));
  // The record is in its file when the last sample, which scales the root, is applied.
  const std::string root = dir.write("root.log", blockLog(6000) + "6000 0 0 1 0 1 0 1 2 x Node\n");
  // (The second way stands in for a folder that cannot hold files without a name.)
  for (const std::vector<std::string>& way :
       {kTwoThreads, {kTwoThreads[0], "SCALESUM_TEST_NO_TMPFILE=1"}}) {
    const testing::RunResult failed =
        runProgram({"--max-memory", cap, "--temp-dir", tmp, root}, way);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "Root is being scaled.\n");
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << way.size();
  }
  // Killed while it waits for more of a pipe, its record in a file, the run leaves no file.
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::open("/dev/null", O_WRONLY), 1);
    ::execl(SCALESUM_BINARY, SCALESUM_BINARY, "--max-memory", cap.c_str(), "--temp-dir",
            tmp.c_str(), fifo.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  const std::string log = blockLog(12000);
  ASSERT_EQ(::write(writer, log.data(), log.size()), static_cast<ssize_t>(log.size()));
  bool seen = false;
  for (int wait = 0; wait < 1000 && !seen; ++wait) {
    const std::string fds = "/proc/" + std::to_string(child) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
      const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
      seen = seen || target.rfind(tmp + "/", 0) == 0;
    }
    if (!seen) ::usleep(10000);
  }
  ::kill(child, SIGKILL);
  ::close(writer);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(seen);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
}

TEST(Progress, AFailureStopsTheReporterAndTheLineEstimatesTheTimeLeft) {
  // On a terminal, the line shown is blanked before the message.
  testing::Failure onTerminal;
  const std::string text = testing::written([&](FILE* stream) {
    onTerminal = testing::catchFailure([&] {
      Progress progress;
      startProgress(progress, stream, true, true, false);
      {
        const std::lock_guard<std::mutex> lock(progress.mutex);
        std::fputs("\rScalesum: pass 1", stream);
        progress.shownWidth = 16;
      }
      fail(1, Stream::kStderr, "stop\n");
    });
  });
  EXPECT_EQ(onTerminal.message, "stop\n");
  // (Had the reporter drawn a line of its own in between, the blanks cover that one.)
  const size_t blanks = text.rfind('\r', text.size() - 2) + 1;
  EXPECT_TRUE(text.size() >= 18 && text.back() == '\r' && blanks >= 17 &&
              text.find_first_not_of(' ', blanks) == text.size() - 1 &&
              text.size() - 1 - blanks >= 16)
      << text;
  // The line estimates the time left from the share summarised.
  EXPECT_EQ(describeProgress(1, 0, 0, 10, 3.2),
            "Scalesum: pass 1, 0/10 nodes summarised, 0:03 elapsed");
  EXPECT_EQ(describeProgress(4, 6, 30, 10, 90.0),
            "Scalesum: pass 4/6, 7/10 nodes summarised, 1:30 elapsed, about 0:30 left");
  EXPECT_EQ(describeProgress(9, 9, 16, 8, 7261.0),
            "Scalesum: pass 9/9, 4/8 nodes summarised, 2:01:01 elapsed, about 2:01:01 left");
}

}  // namespace
}  // namespace scalesum
