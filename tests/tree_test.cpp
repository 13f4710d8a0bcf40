#include "tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "reference_report.h"
#include "test_util.h"

namespace scalesum {
namespace {

// A log of taxa 1..taxonCount and the given clades, some of them sharing an id.
std::string logOf(int taxonCount, const std::vector<std::vector<int32_t>>& clades) {
  std::ostringstream log;
  log << taxonCount << "\n";
  for (int t = 1; t <= taxonCount; ++t) log << t << " t\n";
  log << clades.size() << "\n";
  for (size_t j = 0; j < clades.size(); ++j) {
    log << 100 + j % 40 << " 0.5 " << clades[j].size();
    for (int32_t id : clades[j]) log << " " << id;
    log << "\n";
  }
  return log.str() + "header\n";
}

TEST(BuildCladeTree, PlacesEveryCladeAsTheStraightforwardInsertionDoesAtAnyDepth) {
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    // The nested clades of a random binary tree, then duplicates, arbitrary overlapping subsets,
    // clades listing a taxon twice and empty ones, all shuffled.
    std::vector<int32_t> all(2 + random() % 30);
    for (size_t t = 0; t < all.size(); ++t) all[t] = int32_t(t + 1);
    std::shuffle(all.begin(), all.end(), random);
    std::vector<std::vector<int32_t>> clades;
    for (std::vector<std::pair<long, long>> ranges{{0, long(all.size())}}; !ranges.empty();) {
      const auto [begin, end] = ranges.back();
      ranges.pop_back();
      clades.emplace_back(all.begin() + begin, all.begin() + end);
      const long cut = begin + 1 + long(random() % size_t(end - begin));
      if (cut < end) ranges.insert(ranges.end(), {{begin, cut}, {cut, end}});
    }
    for (size_t extras = random() % 6, nested = clades.size(); extras > 0; --extras) {
      std::vector<int32_t> clade = clades[random() % nested];
      if (const auto kind = random() % 4; kind == 0) {
        std::erase_if(clade, [&](int32_t) { return random() % 3 == 0; });
      } else if (kind == 1) {
        clade.push_back(clade[0]);
      } else if (kind == 2) {
        clade.clear();
      }
      // Only the root's duplicates may list as many taxa as there are.
      if (clade.size() < all.size() || clade == clades[0]) clades.push_back(clade);
    }
    std::shuffle(clades.begin(), clades.end(), random);
    for (auto& clade : clades) std::shuffle(clade.begin(), clade.end(), random);
    auto analysis = testing::loadTree(logOf(int(all.size()), clades));
    ASSERT_EQ(testing::treeMismatch(analysis->tree), "") << logOf(int(all.size()), clades);
    EXPECT_EQ(analysis->tree.root->length, 0.0);
  }
  // A tree as deep as it is wide builds.
  std::vector<std::vector<int32_t>> caterpillar(3000);
  for (int32_t t = 1; t <= 3000; ++t) {
    for (int32_t k = 0; k < t; ++k) caterpillar[size_t(k)].push_back(t);
    caterpillar.push_back({t});
  }
  auto analysis = testing::loadTree(logOf(3000, caterpillar));
  int depth = 0;
  const Node* node = analysis->tree.nodeStore[2999].get();
  for (; node->parent; node = node->parent) ++depth;
  EXPECT_EQ(depth, 2999);
}

}  // namespace
}  // namespace scalesum
