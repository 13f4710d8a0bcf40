#include "samples.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>
#include <unordered_map>

#include "failure.h"
#include "series.h"

namespace scalesum {

namespace {

// Where each node position stands in the tree's pre-order, in which every subtree is one
// range, and the length that a sample starts it from.
struct TreeOrder {
  std::vector<uint32_t> pre;         // per position: its node's pre-order index
  std::vector<uint32_t> subtreeEnd;  // per position: one past the last index below its node
  std::vector<double> startLength;   // per position: its node's length before any scalar
};

TreeOrder orderTree(const Tree& tree) {
  TreeOrder order;
  std::unordered_map<const Node*, uint32_t> index;
  std::vector<const Node*> preorder;
  std::vector<const Node*> pending{tree.root};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    index.emplace(node, static_cast<uint32_t>(preorder.size()));
    preorder.push_back(node);
    pending.insert(pending.end(), node->children.rbegin(), node->children.rend());
  }
  std::vector<uint32_t> size(preorder.size(), 1);
  for (size_t i = preorder.size(); i-- > 0;) {
    for (const Node* child : preorder[i]->children) size[i] += size[index.at(child)];
  }
  // A node at several positions starts each sample from the logged length of its last one,
  // which is what resetting every position in turn leaves it.
  std::unordered_map<const Node*, double> lastLogged;
  for (size_t j = 0; j < tree.nodes.size(); ++j) {
    lastLogged[tree.nodes[j]] = tree.originalLengths[j];
  }
  for (const Node* node : tree.nodes) {
    const uint32_t at = index.at(node);
    order.pre.push_back(at);
    order.subtreeEnd.push_back(at + size[at]);
    order.startLength.push_back(lastLogged.at(node));
  }
  return order;
}

// Which of a block's slots a group on some node reaches: [first, branchEnd) on its own branch,
// [first, subtreeEnd) with its subtree.
struct SlotRange {
  uint32_t first = 0;
  uint32_t branchEnd = 0;
  uint32_t subtreeEnd = 0;
};

// The positions of one block, by pre-order, with their lengths in the sample being applied, and
// for every node position the slots that a group on it reaches.
struct BlockLengths {
  std::vector<uint32_t> positions;
  std::vector<double> start;
  std::vector<double> current;
  std::vector<SlotRange> reach;  // per node position, of all positions
};

BlockLengths blockLengths(const TreeOrder& order, size_t begin, size_t end) {
  BlockLengths block;
  block.positions.resize(end - begin);
  std::iota(block.positions.begin(), block.positions.end(), static_cast<uint32_t>(begin));
  std::stable_sort(block.positions.begin(), block.positions.end(),
                   [&](uint32_t a, uint32_t b) { return order.pre[a] < order.pre[b]; });
  std::vector<uint32_t> pre;
  for (uint32_t j : block.positions) {
    pre.push_back(order.pre[j]);
    block.start.push_back(order.startLength[j]);
  }
  block.current.resize(block.positions.size());
  // Looked up once per block, not once per group of every sample.
  auto slot = [&](uint32_t index) {
    return static_cast<uint32_t>(std::lower_bound(pre.begin(), pre.end(), index) - pre.begin());
  };
  block.reach.resize(order.pre.size());
  for (size_t j = 0; j < order.pre.size(); ++j) {
    block.reach[j] = {slot(order.pre[j]), slot(order.pre[j] + 1), slot(order.subtreeEnd[j])};
  }
  return block;
}

// Sets the block's lengths to those of one sample: every length starts from its logged one,
// and each group multiplies in its scalar, in group order, on its node and, for a subtree
// group, every node below it.
void scaleBlock(const TreeOrder& order, BlockLengths& block, const SampleEntry& sample) {
  std::copy(block.start.begin(), block.start.end(), block.current.begin());
  for (int32_t g = 0; g < sample.groupCount; ++g) {
    const SampleGroup group = groupAt(sample, g);
    // The root is the one node first in pre-order.
    if (order.pre[group.position] == 0) fail(1, Stream::kStdout, "Root is being scaled.\n");
    const SlotRange& reach = block.reach[group.position];
    const uint32_t last = group.subtree ? reach.subtreeEnd : reach.branchEnd;
    double* lengths = block.current.data();
    for (uint32_t k = reach.first; k < last; ++k) lengths[k] *= group.scalar;
  }
}

// Whether a sample that leaves a node position at `length` changed it from its `logged` one.
bool changes(double length, double logged) {
  return length != logged;
}

// Applies one sample to the block's lengths and records them as sample `sampleIndex`.
void applySample(const Tree& tree, Results& results, const TreeOrder& order, BlockLengths& block,
                 int32_t sampleIndex, const SampleEntry& sample) {
  scaleBlock(order, block, sample);
  results.sampleSigma[static_cast<size_t>(sampleIndex)] = sample.sigma;
  const std::vector<double>& logged = tree.originalLengths;
  for (size_t k = 0; k < block.positions.size(); ++k) {
    const uint32_t j = block.positions[k];
    const double length = block.current[k];
    NodeResult& result = results.nodes[j];
    result.lengthHistory[static_cast<size_t>(sampleIndex)] = length;
    if (changes(length, logged[j])) ++result.changedCount;
  }
  ++results.samplesSeen;
}

}  // namespace

void countRetainedSamples(const Tree& tree, Results& results,
                          const std::vector<SampleRecord>& records, int32_t burnIn) {
  int64_t retained = 0;
  for (const SampleRecord& record : records) {
    if (record.tooManySamples || retained + record.sampleCount > INT32_MAX) {
      failAtLine(record.path.c_str(), record.lastRetainedLine, "more than %d retained sample lines",
                 INT32_MAX);
    }
    retained += record.sampleCount;
  }
  if (retained == 0) {
    fail(1, Stream::kStdout, "Error in %s: no sample line at or after iteration %d (the burn-in)\n",
         tree.path.c_str(), burnIn);
  }
  results.sampleCount = static_cast<int32_t>(retained);
  try {
    results.sampleSigma.resize(static_cast<size_t>(retained));
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 3);
  }
}

void validateSampleNodes(const std::vector<SampleRecord>& records) {
  for (const SampleRecord& record : records) {
    if (!record.faults.empty())
      fail(1, Stream::kStdout, "%s", record.faults.front().message.c_str());
  }
}

void applyRetainedSamples(const Tree& tree, Results& results,
                          const std::vector<SampleRecord>& records) {
  validateSampleNodes(records);
  applySamplesToPositions(tree, results, records, 0, tree.nodes.size());
}

void applySamplesToPositions(const Tree& tree, Results& results,
                             const std::vector<SampleRecord>& records, size_t begin, size_t end) {
  try {
    for (size_t j = begin; j < end; ++j) {
      results.nodes[j].lengthHistory.resize(static_cast<size_t>(results.sampleCount));
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 5);
  }
  const TreeOrder order = orderTree(tree);
  BlockLengths block = blockLengths(order, begin, end);
  results.samplesSeen = 0;
  int32_t sampleIndex = 0;
  SampleEntry sample;
  for (const SampleRecord& record : records) {
    RecordCursor cursor = startReplay(record);
    while (nextSample(record, cursor, sample))
      applySample(tree, results, order, block, sampleIndex++, sample);
  }
  // Every position holds its logged length again, a node at several positions that of its
  // last one.
  for (size_t j = 0; j < tree.nodes.size(); ++j) {
    tree.nodes[j]->length = tree.originalLengths[j];
  }
}

size_t log2ScalarBin(double scalar) {
  const double at = (std::log2(scalar) + kLog2ScalarReach) / kLog2ScalarStep;
  if (!(at > 0.0)) return 0;  // below the reach, and a scalar of 0
  return at >= static_cast<double>(kLog2ScalarBins) ? kLog2ScalarBins - 1 : static_cast<size_t>(at);
}

std::vector<ShiftCounts> countShifts(const Tree& tree, const std::vector<SampleRecord>& records,
                                     std::vector<uint32_t>* log2Bins) {
  validateSampleNodes(records);
  const size_t positions = tree.nodes.size();
  std::vector<ShiftCounts> counts(positions);
  const TreeOrder order = orderTree(tree);
  BlockLengths block = blockLengths(order, 0, positions);
  const std::vector<double>& logged = tree.originalLengths;
  SampleEntry sample;
  for (const SampleRecord& record : records) {
    RecordCursor cursor = startReplay(record);
    while (nextSample(record, cursor, sample)) {
      scaleBlock(order, block, sample);
      for (size_t k = 0; k < positions; ++k) {
        const uint32_t j = block.positions[k];
        const double length = block.current[k];
        const double scalar = scalarOf(length, tree.nodes[j]->length);
        const int direction = scalarDirection(scalar);
        counts[j].changed += changes(length, logged[j]);
        counts[j].above += direction > 0;
        counts[j].below += direction < 0;
        if (log2Bins != nullptr && !std::isnan(scalar))
          ++(*log2Bins)[j * kLog2ScalarBins + log2ScalarBin(scalar)];
      }
    }
  }
  return counts;
}

}  // namespace scalesum
