#include "options.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::catchFailure;
using testing::loadTree;
using testing::smallLog;
using testing::TempDir;

class OptionsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    analysis_ = loadTree(dir_, smallLog(""));
    analysis_->options = createDefaultOptions();
  }
  // Reads `text` as the options file; returns the failure, if any.
  testing::Failure read(const std::string& text) {
    path_ = dir_.write("options", text);
    return catchFailure([&] { readOptionsFile(*analysis_, path_.c_str()); });
  }
  const Options& options() const { return analysis_->options; }

  TempDir dir_;
  std::unique_ptr<Analysis> analysis_;
  std::string path_;
};

TEST_F(OptionsFile, DefaultsWithoutAFile) {
  EXPECT_EQ(options().burnIn, 0);
  EXPECT_EQ(options().categoryCount, 1000);
  EXPECT_TRUE(options().rateClades.empty());
}

TEST_F(OptionsFile, KeywordsAreCaseInsensitiveAndTheLastValueWins) {
  ASSERT_EQ(read("it 5000\r\nNOCATS 10\rIt 12abc\n\n  \t\nIT=7\nITER 9\n").status, -1);
  EXPECT_EQ(options().burnIn, 12);
  EXPECT_EQ(options().categoryCount, 10);
  ASSERT_EQ(options().rateClades.size(), 1u);
  EXPECT_EQ(options().rateClades[0].name, "Root");
  EXPECT_EQ(options().rateClades[0].node, analysis_->root);
}

TEST_F(OptionsFile, EveryDeclarationIsKeptInOrder) {
  ASSERT_EQ(read("SLICE s1 0.5\nNODERATIO 2.5 3 extra\nRATIONODE r x y\nRATIONODE q\nNORMALISE\n"
                 "IT abc\nIT 100 200\n")
                .status,
            -1);
  ASSERT_EQ(options().slices.size(), 1u);
  EXPECT_EQ(options().slices[0].value, 0.5);
  EXPECT_EQ(options().nodeRatioSet, 1);
  EXPECT_EQ(options().nodeRatio, 2.5);
  EXPECT_EQ(options().nodeRatioInteger, 3);
  ASSERT_EQ(options().ratioNodes.size(), 2u);
  EXPECT_EQ(options().ratioNodes[0].taxonNames, (std::vector<std::string>{"x", "y"}));
  EXPECT_TRUE(options().ratioNodes[1].taxonNames.empty());
  EXPECT_EQ(options().normalise, 1);
  EXPECT_EQ(options().burnIn, 100);
}

TEST_F(OptionsFile, RatesResolvesTheNodeWithExactlyTheNamedTaxa) {
  ASSERT_EQ(read("RATES cladeA C D\nRATES cladeB D C\nRATES tip B\nRATES twice A A\n").status, -1);
  ASSERT_EQ(options().rateClades.size(), 5u);
  EXPECT_EQ(options().rateClades[1].name, "cladeA");
  EXPECT_EQ(options().rateClades[1].node->id, 3);
  EXPECT_EQ(options().rateClades[2].node->id, 3);
  EXPECT_EQ(options().rateClades[3].node->id, 5);
  EXPECT_EQ(options().rateClades[4].node->id, 2);  // the first two-taxon node holding A
}

TEST_F(OptionsFile, RatesFailuresStopAtTheirLine) {
  auto failure = read("RATES cladeA a B\nIT 5\n");
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.message, "Cannot find matching taxa for a node cladeA\n");
  EXPECT_EQ(options().burnIn, 0);
  failure = read("RATES cladeA A C\n");
  EXPECT_EQ(failure.message, "Count not find valid node for cladeA\n");
  failure = read("RATES empty\n");
  EXPECT_EQ(failure.message, "Count not find valid node for empty\n");
}

TEST_F(OptionsFile, LinesMissingTheirValuesAreRejected) {
  const std::pair<const char*, const char*> cases[] = {
      {"IT 5\nIT\n", "line 2: IT needs an iteration"},
      {"NOCATS\n", "line 1: NOCATS needs a count"},
      {"NOCATS -1\n", "line 1: NOCATS needs a count of 0 or more"},
      {"\nSLICE s\n", "line 2: SLICE needs a name and a value"},
      {"NODERATIO 1.5\n", "line 1: NODERATIO needs a real and an integer"},
      {"RATES\n", "line 1: RATES needs a clade name"},
      {"rationode\n", "line 1: RATIONODE needs a name"},
  };
  for (const auto& [text, reason] : cases) {
    const auto failure = read(text);
    EXPECT_EQ(failure.status, 1) << text;
    EXPECT_EQ(failure.message, "Error in " + path_ + " " + reason + "\n") << text;
  }
}

TEST_F(OptionsFile, MissingFileIsReported) {
  const std::string missing = dir_.path("nothing");
  const auto failure = catchFailure([&] { readOptionsFile(*analysis_, missing.c_str()); });
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.message, "Could not open file " + missing + " for reading\n");
}

}  // namespace
}  // namespace scalesum
