#include "tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "reference_report.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::catchFailure;
using testing::loadTree;
using testing::ReferenceTree;
using testing::smallLog;
using testing::TempDir;

std::string logOf(int taxonCount, const std::vector<std::vector<int32_t>>& clades) {
  std::ostringstream log;
  log << taxonCount << "\n";
  for (int t = 1; t <= taxonCount; ++t) log << t << " t" << t << "\n";
  log << clades.size() << "\n";
  for (size_t j = 0; j < clades.size(); ++j) {
    log << 100 + j << " 0.5 " << clades[j].size();
    for (int32_t id : clades[j]) log << " " << id;
    log << "\n";
  }
  log << "header\n";
  return log.str();
}

// Random nested clades of a random binary tree, plus duplicates, overlapping and empty clades.
std::vector<std::vector<int32_t>> randomClades(std::mt19937& random, int taxonCount) {
  std::vector<int32_t> all(static_cast<size_t>(taxonCount));
  for (int t = 0; t < taxonCount; ++t) all[static_cast<size_t>(t)] = t + 1;
  std::shuffle(all.begin(), all.end(), random);
  std::vector<std::vector<int32_t>> clades;
  std::vector<std::pair<size_t, size_t>> ranges{{0, all.size()}};
  while (!ranges.empty()) {
    auto [begin, end] = ranges.back();
    ranges.pop_back();
    clades.emplace_back(all.begin() + static_cast<long>(begin),
                        all.begin() + static_cast<long>(end));
    if (end - begin > 1) {
      const size_t cut = begin + 1 + random() % (end - begin - 1);
      ranges.push_back({begin, cut});
      ranges.push_back({cut, end});
    }
  }
  const size_t nested = clades.size();
  const int extras = static_cast<int>(random() % 6);
  for (int e = 0; e < extras; ++e) {
    switch (random() % 4) {
      case 0:  // a duplicate clade
        clades.push_back(clades[random() % nested]);
        break;
      case 1: {  // an arbitrary subset, overlapping others
        std::vector<int32_t> subset;
        for (int32_t id : all) {
          if (random() % 3 == 0) subset.push_back(id);
        }
        if (subset.size() < all.size()) clades.push_back(subset);
        break;
      }
      case 2:  // no taxa at all
        clades.push_back({});
        break;
      default: {  // a clade listing one of its taxa twice
        auto twice = clades[random() % nested];
        if (twice.size() > 1 && twice.size() + 1 < all.size()) {
          twice.push_back(twice[0]);
          clades.push_back(twice);
        }
      }
    }
  }
  std::shuffle(clades.begin() + 1, clades.end(), random);
  std::shuffle(clades.begin(), clades.end(), random);
  for (auto& clade : clades) std::shuffle(clade.begin(), clade.end(), random);
  return clades;
}

TEST(BuildCladeTree, PlacesEveryCladeAsTheStraightforwardInsertionDoes) {
  std::mt19937 random(11);
  TempDir dir;
  for (int round = 0; round < 300; ++round) {
    const int taxonCount = 2 + static_cast<int>(random() % 30);
    const auto clades = randomClades(random, taxonCount);
    ReferenceTree reference{clades, -1, {}, {}};
    reference.build(taxonCount);
    auto analysis = loadTree(dir, logOf(taxonCount, clades));
    const auto& store = analysis->nodeStore;
    auto indexOf = [&](const Node* node) {
      for (size_t j = 0; j < store.size(); ++j) {
        if (store[j].get() == node) return static_cast<int>(j);
      }
      return -1;
    };
    for (size_t j = 0; j < store.size(); ++j) {
      ASSERT_EQ(indexOf(store[j]->parent), reference.parent[j])
          << "round " << round << " node " << j;
      std::vector<int> children;
      for (const Node* child : store[j]->children) children.push_back(indexOf(child));
      ASSERT_EQ(children, reference.children[j]) << "round " << round << " node " << j;
    }
  }
}

TEST(BuildCladeTree, RootIsFirstNodeListingAllTaxaAndHasLengthZero) {
  TempDir dir;
  // Node 9 lists four taxa first, though not the taxa of the table: only the count matters.
  auto analysis = loadTree(dir,
                           "4\n1 A\n2 B\n3 C\n4 D\n3\n5 0.1 2 1 2\n9 0.7 4 1 2 3 4\n"
                           "8 0.2 4 1 2 3 4\nh\n");
  EXPECT_EQ(analysis->root->id, 9);
  EXPECT_EQ(analysis->root->length, 0.0);
  EXPECT_EQ(analysis->tally.originalLengths, (std::vector<double>{0.1, 0.0, 0.2}));
  // The second node with the root's taxa hangs below it, and the small clade below that.
  EXPECT_EQ(analysis->nodes[2]->parent, analysis->root);
  EXPECT_EQ(analysis->nodes[0]->parent, analysis->nodes[2]);
  EXPECT_EQ(analysis->nodeIds, (std::vector<int32_t>{5, 9, 8}));
  EXPECT_EQ(analysis->nodes[1], analysis->root);
}

TEST(BuildCladeTree, SingleTaxonTreeIsItsOwnRoot) {
  TempDir dir;
  auto analysis = loadTree(dir, "1\n1 A\n1\n3 0.4 1 1\nh\n");
  EXPECT_EQ(analysis->root->id, 3);
  EXPECT_TRUE(analysis->root->children.empty());
}

TEST(BuildCladeTree, DuplicateIdsResolveToTheFirstInPreorder) {
  TempDir dir;
  // Two nodes carry id 2: the clade {A,B} (first in pre-order) and the tip C.
  auto analysis = loadTree(dir,
                           "3\n1 A\n2 B\n3 C\n4\n1 0 3 1 2 3\n2 0.3 1 3\n2 0.2 2 1 2\n"
                           "4 0.1 1 1\nh\n");
  EXPECT_EQ(analysis->nodes[1], analysis->nodes[2]);
  EXPECT_EQ(analysis->nodes[1]->taxonCount, 2);
  EXPECT_EQ(findNodeById(*analysis, 2), analysis->nodes[1]);
}

TEST(BuildCladeTree, RejectsLogsWithoutRootOrWithNodesOutsideIt) {
  TempDir dir;
  struct Case {
    std::string log;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"2\n1 A\n2 B\n0\nh\n", "Error cannot find root.\n"},
      {"2\n1 A\n2 B\n1\n1 0 1 1\nh\n", "Error cannot find root.\n"},
      {"2\n1 A\n2 B\n2\n1 0 2 1 2\n2 0 1 3\nh\n",
       "Error in $: node 2 lists taxon id 3, which no taxon has\n"},
      {"3\n1 A\n2 B\n3 C\n2\n1 0 3 1 2 2\n2 0 1 3\nh\n",
       "Error in $: node 2 does not fit inside the root's clade, so it has no place in the tree\n"},
      {"1\n1 A\n2\n1 0 1 1\n2 0 1 1\nh\n",
       "Error in $: node 2 does not fit inside the root's clade, so it has no place in the tree\n"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.write("tree.log", c.log);
    const auto failure = catchFailure([&] { loadTree(dir, c.log); });
    std::string expected = c.message;
    if (const auto at = expected.find('$'); at != std::string::npos) expected.replace(at, 1, path);
    EXPECT_EQ(failure.status, 1) << c.log;
    EXPECT_EQ(failure.message, expected) << c.log;
  }
}

TEST(BuildCladeTree, EmptyCladeFollowsFirstNonTipChildren) {
  TempDir dir;
  auto withEmpty = loadTree(dir,
                            "4\n1 A\n2 B\n3 C\n4 D\n4\n1 0 4 1 2 3 4\n2 0 2 1 2\n"
                            "3 0 2 3 4\n9 0 0\nh\n");
  EXPECT_EQ(withEmpty->nodes[3]->parent, withEmpty->nodes[1]);
}

TEST(BuildCladeTree, DeepAndWideTreesBuild) {
  TempDir dir;
  const int taxa = 3000;
  std::vector<std::vector<int32_t>> caterpillar;
  for (int size = taxa; size >= 2; --size) {
    std::vector<int32_t> clade;
    for (int t = taxa - size + 1; t <= taxa; ++t) clade.push_back(t);
    caterpillar.push_back(clade);
  }
  for (int t = 1; t <= taxa; ++t) caterpillar.push_back({t});
  auto analysis = loadTree(dir, logOf(taxa, caterpillar));
  const Node* deepest = analysis->nodes[static_cast<size_t>(taxa - 2)];
  int depth = 0;
  for (const Node* node = deepest; node->parent != nullptr; node = node->parent) ++depth;
  EXPECT_EQ(depth, taxa - 2);
}

}  // namespace
}  // namespace scalesum
