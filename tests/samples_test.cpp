#include "samples.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::catchFailure;
using testing::loadTree;
using testing::smallLog;
using testing::TempDir;

// Runs the counting and application passes over `samples` below the small test tree.
class SamplePasses : public ::testing::Test {
 protected:
  testing::Failure run(const std::string& samples, int32_t burnIn = 0, std::string log = "") {
    if (log.empty()) log = smallLog(samples);
    analysis_ = loadTree(dir_, log);
    path_ = analysis_->log.path;
    analysis_->options.burnIn = burnIn;
    return catchFailure([&] {
      countRetainedSamples(*analysis_);
      applyRetainedSamples(*analysis_);
    });
  }
  // Lengths of the nodes with ids 1..7 in sample `index`.
  std::vector<double> lengths(size_t index) const {
    std::vector<double> result;
    for (const NodeResult& r : analysis_->results) result.push_back(r.lengthHistory.at(index));
    return result;
  }
  std::vector<int32_t> changed() const {
    std::vector<int32_t> counts;
    for (const NodeResult& r : analysis_->results) counts.push_back(r.changedCount);
    return counts;
  }
  // The message for a rejected sample line.
  std::string rejection(int line, const std::string& reason) const {
    return "Error in " + dir_.path("tree.log") + " line " + std::to_string(line) + ": " + reason +
           "\n";
  }

  TempDir dir_;
  std::unique_ptr<Analysis> analysis_;
  std::string path_;
};

using V = std::vector<double>;
using C = std::vector<int32_t>;

TEST_F(SamplePasses, BranchAndSubtreeScalars) {
  ASSERT_EQ(run("10 a b 1 x 0.5 y 2 2.0 z Branch\n"
                "20 a b 1 x 0.7 y 2 2.0 z Node\n"
                "30 a b 2 x 0.9 y 4 3.0 z Node 2 0.5 z Node\n")
                .status,
            -1);
  ASSERT_EQ(analysis_->sampleCount, 3);
  EXPECT_EQ(lengths(0), (V{0, 0.5, 0.125, 1.0, 2.0, 0.5, 0.75}));
  EXPECT_EQ(lengths(1), (V{0, 0.5, 0.125, 2.0, 4.0, 0.5, 0.75}));
  EXPECT_EQ(lengths(2), (V{0, 0.125, 0.125, 1.5, 1.0, 0.5, 0.75}));
  EXPECT_EQ(analysis_->sampleSigma, (V{0.5, 0.7, 0.9}));
  EXPECT_EQ(changed(), (C{0, 3, 0, 2, 2, 0, 0}));
  EXPECT_EQ(analysis_->tally.samplesSeen, 3);
  // The logged lengths are back once the passes end.
  EXPECT_EQ(analysis_->nodes[1]->length, 0.25);
  EXPECT_EQ(analysis_->root->length, 0.0);
}

TEST_F(SamplePasses, ChangesAreCountedByValueNotByReach) {
  ASSERT_EQ(run("1 a b 2 x 1 y 2 2 z Branch 2 0.5 z Branch\n"
                "2 a b 1 x 1 y 3 1 z Node\n"
                "3 a b 0 x 1 y\n"
                "4 a b 1 x 1 y 6 inf z node\n")
                .status,
            -1);
  EXPECT_EQ(changed(), (C{0, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(lengths(3)[5], INFINITY);  // lower-case "node" scales the branch only
  EXPECT_EQ(lengths(3)[6], 0.75);
}

TEST_F(SamplePasses, ZeroAndNotANumberLengths) {
  std::string log = smallLog("1 a b 2 x 1 y 5 inf z Branch 4 2 z Branch\n2 a b 0 x 1 y\n");
  log.replace(log.find("5\t2.0"), 5, "5\t0.0");
  log.replace(log.find("4\t1.0"), 5, "4\tnan");
  ASSERT_EQ(run("", 0, log).status, -1);
  EXPECT_TRUE(std::isnan(lengths(0)[4]));  // 0 x inf
  EXPECT_EQ(changed(), (C{0, 0, 0, 2, 1, 0, 0}));
}

TEST_F(SamplePasses, BurnInBlankAndShortLines) {
  ASSERT_EQ(run("99 a b 0 x 0.1 y\n"
                "\n"
                "   \t\n"
                "500\n"
                "100 a b 0 x 0.2 y\n"
                "50 a b 0 x 0.3 y\n"
                "100 a b 0 x 0.4 y\n",
                100)
                .status,
            -1);
  EXPECT_EQ(analysis_->sampleSigma, (V{0.2, 0.4}));
  // A word as the iteration reads as 0, which the default burn-in keeps.
  ASSERT_EQ(run("iter a b 0 x 0.6 y\n").status, -1);
  EXPECT_EQ(analysis_->sampleSigma, (V{0.6}));
  // Below the burn-in a line is not read any further, whatever it holds.
  ASSERT_EQ(run("Iter Lh Prior No Alpha Sigma X\n5 a b 0 x 0.6 y\n", 1).status, -1);
  EXPECT_EQ(analysis_->sampleSigma, (V{0.6}));
}

TEST_F(SamplePasses, AWordWhereTheCountBelongsIsRejected) {
  // A second copy of the header would otherwise count as a sample with sigma 0.
  EXPECT_EQ(run("1 a b 0 x 0.1 y\nIter Lh Prior No Alpha Sigma X\n").message,
            rejection(16, "the number of scalars (field 4) is not a number: No"));
  EXPECT_EQ(run("1 a b x x 0.1 y\n").message,
            rejection(15, "the number of scalars (field 4) is not a number: x"));
  // Numbers with trailing text still read as far as they go.
  ASSERT_EQ(run("+7abc a b 0e9 x 0.1 y\n").status, -1);
  EXPECT_EQ(analysis_->sampleSigma, (V{0.1}));
}

TEST_F(SamplePasses, NoRetainedLineIsAnError) {
  const auto failure = run("1 a b 0 x 0.1 y\n5\n", 2);
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.message,
            "Error in " + path_ + ": no sample line at or after iteration 2 (the burn-in)\n");
}

TEST_F(SamplePasses, IncompleteLinesAreRejectedWithTheirLineNumber) {
  // The sample section starts at line 15 of the small log.
  EXPECT_EQ(run("1 a b 0 x 0.1 y\n2 a b 0 x 0.1\n").message,
            rejection(16, "a sample line needs at least 7 fields, this one has 6"));
  EXPECT_EQ(run("1 a b -1 x 0.1 y\n").message,
            rejection(15, "the number of scalars (field 4) is negative: -1"));
  EXPECT_EQ(run("1 a b 2 x 0.1 y 2 2 z Node\n").message,
            rejection(15, "2 scalars need 15 fields, the line has 11"));
  EXPECT_EQ(run("1 a b 2147483647 x 0.1 y 2 2 z Node\n").status, 1);
  // The first problem in file order wins: here an unknown id before an incomplete line.
  EXPECT_EQ(run("1 a b 1 x 0.1 y 42 2 z Node\n1 a b 1 x\n").message,
            "Could not find node ID 42 in list.\n");
}

TEST_F(SamplePasses, LastLineWithoutLineFeedIsTakenAsCutShort) {
  EXPECT_EQ(run("1 a b 0 x 0.1 y\n2 a b 0 x 0.12").message,
            rejection(16, "the last line has no line feed; the file looks cut short"));
  EXPECT_EQ(run("1 a b 0 x 0.1 y\n \t").status, -1);
}

TEST_F(SamplePasses, UnknownIdsAreFoundBeforeAnythingIsApplied) {
  const auto failure = run("1 a b 1 x 0.1 y 1 2 z Node\n2 a b 2 x 0.1 y 2 2 z Node 77 1 z Node\n");
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.message, "Could not find node ID 77 in list.\n");
  EXPECT_EQ(analysis_->tally.samplesSeen, 0);
}

TEST_F(SamplePasses, ScalingTheRootIsAnError) {
  const auto failure = run("1 a b 0 x 0.1 y\n2 a b 1 x 0.1 y 1 1 z Branch\n");
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.message, "Root is being scaled.\n");
}

TEST_F(SamplePasses, ALogThatChangesBetweenPassesIsRejected) {
  const std::string samples = "1 a b 0 x 0.1 y\n2 a b 0 x 0.2 y\n";
  analysis_ = loadTree(dir_, smallLog(samples));
  const std::string path = analysis_->log.path;
  const std::string changed = "Error in " + path + ": the file changed while it was being read\n";
  countRetainedSamples(*analysis_);
  // Grown after the counting pass: told by its size.
  testing::TempDir::append(path, "3 a b 0 x 0.3 y\n");
  EXPECT_EQ(catchFailure([&] { applyRetainedSamples(*analysis_); }).message, changed);

  // Rewritten with the same size and modification time but one line fewer to retain: told by the
  // number of retained lines.
  analysis_ = loadTree(dir_, smallLog(samples));
  countRetainedSamples(*analysis_);
  struct stat before {};
  ::stat(path.c_str(), &before);
  dir_.write("tree.log", smallLog("1 a b 0 x 0.1 y\n2\n\n\n\n\n\n\n\n\n\n\n\n\n"));
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  EXPECT_EQ(catchFailure([&] { applyRetainedSamples(*analysis_); }).message, changed);
  EXPECT_EQ(analysis_->tally.samplesSeen, 0);
}

TEST(IsRetained, NeedsTwoFieldsAndAnIterationAtTheBurnIn) {
  EXPECT_TRUE(isRetained("100 x", 100));
  EXPECT_FALSE(isRetained("99 x", 100));
  EXPECT_FALSE(isRetained("100", 100));
  EXPECT_FALSE(isRetained("  100 \t ", 100));
  EXPECT_FALSE(isRetained("", -5));
  EXPECT_TRUE(isRetained("-3abc x", -3));
}

}  // namespace
}  // namespace scalesum
