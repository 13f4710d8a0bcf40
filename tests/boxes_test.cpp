#include "boxes.h"

#include <gtest/gtest.h>

#include <numbers>

namespace scalesum {
namespace {

TEST(Boxes, TurnedBoxesOverlapOnlyWhereNoAxisSeparatesThem) {
  constexpr double kQuarter = std::numbers::pi / 4.0;
  const Box square{0, 0, 1, 1, 0, BoxKind::kTipLabel};
  struct Case {
    Box other;
    bool overlaps;
  };
  for (const auto& [other, overlaps] : {
           Case{{1.5, 0, 1, 1, 0, BoxKind::kBranch}, true},
           Case{{2.0, 0, 1, 1, 0, BoxKind::kBranch}, false},  // touching is not overlapping
           Case{{0, 2.5, 1, 1, 0, BoxKind::kBranch}, false},
           // Upright boxes around these would overlap; the boxes themselves do not.
           Case{{2.3, 2.3, 2, 0.2, -kQuarter, BoxKind::kBranch}, false},
           Case{{2.0, 2.0, 2, 0.2, -kQuarter, BoxKind::kBranch}, false},
           Case{{1.0, 1.0, 2, 0.2, -kQuarter, BoxKind::kBranch}, true},
           // A long thin line through the middle, turned any way.
           Case{{0, 0, 10, 0.1, 1.0, BoxKind::kBranch}, true},
       }) {
    EXPECT_EQ(boxesOverlap(square, other), overlaps) << other.x << ' ' << other.y;
    EXPECT_EQ(boxesOverlap(other, square), overlaps) << other.x << ' ' << other.y;
  }
}

TEST(Boxes, WideLettersAndOtherScriptsCountWiderThanNarrowOnes) {
  EXPECT_LT(textWidth("iiii", 10), textWidth("aaaa", 10));
  EXPECT_LT(textWidth("aaaa", 10), textWidth("WWWW", 10));
  // One character each, whatever its bytes.
  EXPECT_DOUBLE_EQ(textWidth("\xC3\xA9", 10), 8.0);
  EXPECT_DOUBLE_EQ(textWidth("\xE4\xB8\xAD\xF0\x9F\x98\x80", 10), 20.0);
}

}  // namespace
}  // namespace scalesum
