#include "output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::runCommand;
using testing::TempDir;

const std::string kLog = testing::kSourceDir + "examples/example.log";
const std::string kOptions = testing::kSourceDir + "examples/example.options";

// The environment of a run whose folders cannot hold files without a name.
const std::vector<std::string> kNamedOnly = {"SCALESUM_TEST_NO_TMPFILE=1"};

std::set<std::string> listing(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path(""))) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

mode_t modeOf(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(Outputs, AFileIsReplacedWholeThroughItsLinkWithItsModeOrLeftAsItWas) {
  for (const std::vector<std::string>& way : {std::vector<std::string>{}, kNamedOnly}) {
    const std::string what = way.empty() ? "unnamed" : "named";
    TempDir dir;
    dir.write("old.tsv", "old\n");
    ::chmod(dir.path("old.tsv").c_str(), 0604);
    std::filesystem::create_symlink("old.tsv", dir.path("link.tsv"));
    const std::string run = "exec '" SCALESUM_BINARY "' -q -o '" + dir.path("link.tsv") + "' -s '" +
                            dir.path("new.tsv") + "' '" + kLog + "' '" + kOptions + "'";
    ASSERT_EQ(runCommand("/bin/sh", {"-c", "umask 027 && " + run}, way).status, 0) << what;
    const std::string report = readFile(dir.path("old.tsv")), stats = readFile(dir.path("new.tsv"));
    EXPECT_EQ(report, readFile(testing::kSourceDir + "examples/example.report")) << what;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("link.tsv"))) << what;
    EXPECT_EQ(modeOf(dir.path("old.tsv")), 0604u) << what;
    EXPECT_EQ(modeOf(dir.path("new.tsv")), 0640u) << what;
    // Past the size limit (512 bytes) the run fails, and the files stay as they were.
    const testing::RunResult limited = runCommand("/bin/sh", {"-c", "ulimit -f 1 && " + run}, way);
    EXPECT_EQ(limited.status, 1) << what;
    EXPECT_EQ(limited.err,
              "Error writing the statistics to " + dir.path("new.tsv") + ": File too large\n");
    EXPECT_TRUE(readFile(dir.path("old.tsv")) == report && readFile(dir.path("new.tsv")) == stats);
    EXPECT_EQ(listing(dir), (std::set<std::string>{"link.tsv", "new.tsv", "old.tsv"})) << what;
  }
}

TEST(Outputs, ARunEndedByASignalLeavesNoFileBehind) {
  // Killed while it waits for its log, after it has made its three files: a kill that no handler
  // sees takes unnamed files with it; named ones go on a signal that can be caught.
  for (const auto& [way, signal] :
       {std::pair{std::vector<std::string>{}, SIGKILL}, std::pair{kNamedOnly, SIGTERM}}) {
    TempDir dir;
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::set<std::string> before = listing(dir);
    const pid_t child = ::fork();
    if (child == 0) {
      for (const std::string& entry : way) ::putenv(const_cast<char*>(entry.c_str()));
      ::execl(SCALESUM_BINARY, SCALESUM_BINARY, "-o", dir.path("r").c_str(), "--stats",
              dir.path("s").c_str(), "--tree", dir.path("t").c_str(), fifo.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // The pipe opens once the run opens it too, which it does after making its files.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    const size_t made = listing(dir).size() - before.size();
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(writer);
    EXPECT_EQ(made, way.empty() ? 0u : 3u);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(listing(dir), before) << signal;
  }
}

}  // namespace
}  // namespace scalesum
