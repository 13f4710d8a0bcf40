#include "samplerecord.h"

#include <gtest/gtest.h>

#include "logfile.h"
#include "test_util.h"

namespace scalesum {
namespace {

using namespace testing;

// Replays the whole record and returns its samples with their groups, as text.
std::vector<std::string> replay(const SampleRecord& record) {
  std::vector<std::string> samples;
  SampleEntry entry;
  RecordCursor cursor = startReplay(record);
  while (nextSample(record, cursor, entry)) {  // (to_string writes a double as %f does)
    std::string text = std::to_string(entry.iteration) + " " + std::to_string(entry.sigma) + " " +
                       std::to_string(entry.notANumber);
    for (double global : entry.globals) text.append(" ").append(std::to_string(global));
    for (int32_t g = 0; g < entry.groupCount; ++g) {
      const SampleGroup group = groupAt(entry, g);
      text += " [" + std::to_string(group.position) + (group.subtree ? " subtree " : " branch ") +
              std::to_string(group.scalar) + "]";
    }
    samples.push_back(text);
  }
  return samples;
}

TEST(SampleRecord, HoldsEachRetainedLineOnceAndItsFaultsInFileOrder) {
  // Below the burn-in, blank, a single field, retained with words for numbers, a line of too
  // few fields, a node id the tree lacks, and a line of two groups.
  auto analysis =
      loadTree(smallLog("1 0 0 1 0 1 0 9 2 0 Node\n\n7\n"
                        "5 lh -2.5 0 nan x y\n6 0 0 2 0 1\n"
                        "7 1 2 1 4 0.5 6 9 2 0 Node\n"
                        "8 1e3 .5 2 -inf 2 +6 2 0.5 x Node 6 3 x Branch\n"));
  std::vector<SampleRecord> records = readSamples(*analysis, 5);
  SampleRecord& record = records[0];
  EXPECT_EQ(record.fieldNames,
            (std::vector<std::string>{"Iter", "Lh", "Prior", "No", "Alpha", "Sigma", "X"}));
  EXPECT_TRUE(record.sampleLineCount == 5 && record.sampleCount == 4 &&
              analysis->results.sampleCount == 4 && record.lastRetainedLine == 21);
  // 49 bytes a sample, 12 a group; a rejected line keeps no group.
  EXPECT_EQ(recordBytes(record), 4 * 49 + 2 * 12);
  ASSERT_EQ(record.faults.size(), 2u);
  EXPECT_EQ(record.faults[0].message,
            "Error in tree.log"
            " line 19: a sample line needs at least 7 fields, "
            "this one has 6\n");
  EXPECT_TRUE(record.faults[0].sampleIndex == 1 && record.faults[1].sampleIndex == 2);
  EXPECT_EQ(record.faults[1].message, "Could not find node ID 9 in list.\n");
  // Words where fields 1 (lh), 5 (x) and 6 (y) belong are flagged; nan and -inf are numbers.
  const std::vector<std::string> expected = {
      "5 0.000000 25 0.000000 -2.500000 nan 0.000000",
      "6 1.000000 0 0.000000 0.000000 0.000000 0.000000",
      "7 0.500000 0 1.000000 2.000000 4.000000 6.000000",
      "8 2.000000 0 1000.000000 0.500000 -inf 6.000000 [1 subtree 0.500000] [5 branch "
      "3.000000]"};
  EXPECT_EQ(replay(record), expected);
}

}  // namespace
}  // namespace scalesum
