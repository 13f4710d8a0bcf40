#include "layout.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace scalesum {
namespace {

TEST(Layout, ATaxonInCladesThatDoNotNestIsRefused) {
  const auto a = testing::loadTree(
      "3\n1 A\n2 B\n3 C\n6\n1 0 3 1 2 3\n2 0.5 2 1 2\n3 0.5 2 2 3\n"
      "4 1 1 1\n5 1 1 2\n6 1 1 3\nheader\n1 0 0 0 0 2 0\n");
  const testing::Failure failure = testing::catchFailure([&] { layoutTree(a->tree); });
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.message,
            "Error in tree.log"
            ": taxon B lies in clades that do not nest, so the tree "
            "cannot be drawn\n");
}

}  // namespace
}  // namespace scalesum
