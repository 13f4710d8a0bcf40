#include "logfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "samples.h"
#include "test_util.h"

namespace scalesum {
namespace {

using namespace testing;

TEST(WalkSampleLines, ALogThatChangesBetweenPassesIsRejected) {
  TempDir dir;
  const std::string samples = "1 a b 0 x 0.1 y\n2 a b 0 x 0.2 y\n";
  // Grown after the counting pass: told by its size. Rewritten with the same size and
  // modification time: told by the number of retained lines, or by a header that ends early.
  const std::string rewrites[] = {"", smallLog("1 a b 0 x 0.1 y\n2\n\n\n\n\n\n\n\n\n\n\n\n\n"),
                                  std::string(smallLog(samples).size() - 1, 'x') + "\n"};
  for (const std::string& rewrite : rewrites) {
    auto analysis = loadTree(dir, smallLog(samples));
    const std::string& path = analysis->log.path;
    countRetainedSamples(*analysis);
    if (rewrite.empty()) {
      TempDir::append(path, "3 a b 0 x 0.3 y\n");
    } else {
      struct stat before {};
      ::stat(path.c_str(), &before);
      dir.write("tree.log", rewrite);
      const timespec times[2] = {before.st_atim, before.st_mtim};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    EXPECT_EQ(catchFailure([&] { applyRetainedSamples(*analysis); }).message,
              "Error in " + path + ": the file changed while it was being read\n");
    EXPECT_EQ(analysis->tally.samplesSeen, 0);
  }
}

}  // namespace
}  // namespace scalesum
