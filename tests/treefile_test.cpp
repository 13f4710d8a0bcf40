#include "treefile.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace scalesum {
namespace {

std::string treeFileOf(const testing::LoadedLog& analysis,
                       BranchLengths lengths = BranchLengths::kLogged) {
  return testing::written([&](FILE* out) {
    writeTreeFile(out, analysis.tree, analysis.results, layoutTree(analysis.tree),
                  {"scalar_median", 95.0, lengths});
  });
}

// The tree line without its node comments.
std::string withoutAnnotations(std::string text) {
  for (size_t at = text.find("[&", text.find("[&R]") + 4); at != std::string::npos;
       at = text.find("[&", at)) {
    text.erase(at, text.find(']', at) + 1 - at);
  }
  return text;
}

TEST(TreeFile, CladeTreeWithUncoveredTaxaAndAnnotations) {
  // Node 2 = {A, B, C} holds only tip A; node 4 lists no taxa and ends up below node 2. Taxon
  // 4's name has only characters that need no quotes, the ends of each range among them.
  auto a = testing::summarised(
      "4\n1 A\n2 B\n3 C\n4 Zz_09.Aa-x\n5\n1 0.5 4 1 2 3 4\n2 0.25 3 1 2 3\n"
      "3 0.125 1 1\n4 0.75 0\n5 1.5 1 4\nheader\n"
      "1 0 0 1 0 2 0 2 3 0 Branch\n2 0 0 0 0 2 0\n",
      0.9);
  const std::string text = treeFileOf(*a);

  EXPECT_EQ(
      text.substr(0, text.find("\tTREE")),
      "#NEXUS\nBEGIN TREES;\n\tTRANSLATE\n\t\t1 A,\n\t\t2 B,\n\t\t3 C,\n\t\t4 Zz_09.Aa-x\n\t;\n");
  const std::string tree = text.substr(text.find("\tTREE"));
  EXPECT_EQ(withoutAnnotations(tree),
            "\tTREE scalesum = [&R] ((1:0.125,2:0,3:0):0.25,4:1.5);\nEND;\n");
  EXPECT_NE(tree.find(",2[&!color=#000000]:0,"), std::string::npos);
  // Node 2's scalar is 3, then 1: n = 2, so the sample size is 2 and the 90% interval [1, 3].
  const size_t node2 = tree.find(")[&id=2,taxa=3,changed=1,pct_changed=50,pct_up=50,pct_down=0,");
  ASSERT_NE(node2, std::string::npos);
  const std::string annotation = tree.substr(node2, tree.find(']', node2) - node2);
  EXPECT_NE(annotation.find(",scalar_90%_HPD={1,3},scalar_ess=2,sigv=4,"), std::string::npos);

  a->results.hpdMass = 0.975;
  EXPECT_NE(treeFileOf(*a).find(",scalar_97.5%_HPD={"), std::string::npos);
}

TEST(TreeFile, ScaledLengthsAreLoggedTimesTheScalarsMeanOrMedian) {
  // Node 2 (0.25) is doubled, doubled and then multiplied by 8: mean 4, median 2. Node 3 meets a
  // not-a-number once; tip 4 (1.0) is scaled by 3 in one of three samples.
  const auto a =
      testing::summarised(testing::smallLog("1 0 0 1 0 1 0 2 2 0 Branch\n"
                                            "2 0 0 2 0 1 0 2 2 0 Branch 3 nan 0 Branch\n"
                                            "3 0 0 2 0 1 0 2 8 0 Branch 4 3 0 Branch\n"));
  const std::string median = withoutAnnotations(treeFileOf(*a, BranchLengths::kScaledByMedian));
  EXPECT_NE(median.find("[&R] ((1:1,2:2):0.5,(3:0.5,4:0.75):0.125);"), std::string::npos) << median;
  // Only the branch that keeps its logged length for want of a finite factor says so.
  const std::string text = treeFileOf(*a, BranchLengths::kScaledByMean);
  const size_t unscaled = text.find("scaled=\"no\"");
  EXPECT_EQ(text.rfind("scaled=\"no\""), unscaled);
  EXPECT_EQ(text.substr(text.find(']', unscaled), 7), "]:0.125");
  EXPECT_EQ(treeFileOf(*a).find("scaled="), std::string::npos);
}

}  // namespace
}  // namespace scalesum
