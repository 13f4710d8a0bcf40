#include "samplerecord.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace scalesum {
namespace {

TEST(SampleRecord, KnowsTheLineOfTheLastRetainedSample) {
  // Lines 15 and 17 lie below the burn-in; a record too full to hold more names line 16.
  auto analysis =
      testing::loadTree(testing::smallLog("1 0 0 0 0 1 0\n7 0 0 0 0 1 0\n3 0 0 0 0 1 0\n\n"));
  EXPECT_EQ(testing::readSamples(*analysis, 5)[0].lastRetainedLine, 16);
}

}  // namespace
}  // namespace scalesum
