#include "samples.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "logfile.h"

namespace scalesum {

namespace {

constexpr size_t kFirstGroupField = 7;
constexpr size_t kGroupFields = 4;

// Ends the process unless the line's fields hold everything its scalar count promises.
void checkSampleFields(const Analysis& analysis, const std::vector<char*>& fields, int64_t line) {
  const char* path = analysis.log.path.c_str();
  if (fields.size() < kFirstGroupField) {
    failAtLine(path, line, "a sample line needs at least 7 fields, this one has %zu",
               fields.size());
  }
  // A word where the scalar count belongs is no sample: it is how a second header line, or the
  // header line after a node count that is too small, shows up. (A word as the iteration reads
  // as iteration 0, as it always has.)
  if (!beginsWithInteger(fields[3])) {
    failAtLine(path, line, "the number of scalars (field 4) is not a number: %.40s", fields[3]);
  }
  const int32_t groups = parseInt(fields[3]);
  if (groups < 0) failAtLine(path, line, "the number of scalars (field 4) is negative: %d", groups);
  const uint64_t needed = kFirstGroupField + kGroupFields * static_cast<uint64_t>(groups);
  if (fields.size() < needed) {
    failAtLine(path, line, "%d scalars need %llu fields, the line has %zu", groups,
               static_cast<unsigned long long>(needed), fields.size());
  }
}

}  // namespace

void countRetainedSamples(Analysis& analysis) {
  const int32_t burnIn = analysis.options.burnIn;
  int64_t lastLine = 0;
  const int64_t retained =
      walkSampleLines(analysis.log, burnIn, [&](char*, int64_t line) { lastLine = line; });
  if (retained == 0) {
    fail(1, Stream::kStdout, "Error in %s: no sample line at or after iteration %d (the burn-in)\n",
         analysis.log.path.c_str(), burnIn);
  }
  if (retained > INT32_MAX) {
    failAtLine(analysis.log.path.c_str(), lastLine, "more than %d retained sample lines",
               INT32_MAX);
  }
  analysis.sampleCount = static_cast<int32_t>(retained);
  try {
    analysis.sampleSigma.resize(static_cast<size_t>(retained));
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 3);
  }
}

void validateSampleNodes(Analysis& analysis) {
  std::vector<char*> fields;
  const int64_t retained =
      walkSampleLines(analysis.log, analysis.options.burnIn, [&](char* line, int64_t number) {
        tokenizeAll(line, fields);
        checkSampleFields(analysis, fields, number);
        const int32_t groups = parseInt(fields[3]);
        for (int32_t g = 0; g < groups; ++g) {
          const int32_t id =
              parseInt(fields[kFirstGroupField + kGroupFields * static_cast<size_t>(g)]);
          if (findNodeById(analysis, id) == nullptr) {
            fail(1, Stream::kStdout, "Could not find node ID %d in list.\n", id);
          }
        }
      });
  if (retained != analysis.sampleCount) failLogChanged(analysis.log);
}

void applyRetainedSamples(Analysis& analysis) {
  validateSampleNodes(analysis);
  applySamplesToPositions(analysis, 0, analysis.nodes.size());
}

void applySamplesToPositions(Analysis& analysis, size_t begin, size_t end) {
  try {
    for (size_t j = begin; j < end; ++j) {
      analysis.results[j].lengthHistory.resize(static_cast<size_t>(analysis.sampleCount));
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 3);
  }
  std::vector<char*> fields;
  int32_t sampleIndex = 0;
  analysis.tally.samplesSeen = 0;
  walkSampleLines(analysis.log, analysis.options.burnIn, [&](char* line, int64_t number) {
    // Never write past the slots the counting pass made, whatever the file does meanwhile.
    if (sampleIndex == analysis.sampleCount) failLogChanged(analysis.log);
    tokenizeAll(line, fields);
    checkSampleFields(analysis, fields, number);
    applySample(analysis, sampleIndex, fields, begin, end);
    ++sampleIndex;
  });
  if (sampleIndex != analysis.sampleCount) failLogChanged(analysis.log);
  for (size_t j = 0; j < analysis.nodes.size(); ++j) {
    analysis.nodes[j]->length = analysis.tally.originalLengths[j];
  }
}

void scaleSubtree(Node* node, double factor) {
  // Explicit stack, kept between calls: a subtree may be thousands of nodes deep.
  thread_local std::vector<Node*> pending;
  pending.assign(1, node);
  while (!pending.empty()) {
    Node* next = pending.back();
    pending.pop_back();
    next->length *= factor;
    pending.insert(pending.end(), next->children.begin(), next->children.end());
  }
}

void applySample(Analysis& analysis, int32_t sampleIndex, const std::vector<char*>& fields,
                 size_t begin, size_t end) {
  std::vector<Node*>& nodes = analysis.nodes;
  BranchTally& tally = analysis.tally;
  const size_t count = nodes.size();
  for (size_t j = 0; j < count; ++j) nodes[j]->length = tally.originalLengths[j];

  const int32_t groups = parseInt(fields[3]);
  analysis.sampleSigma[static_cast<size_t>(sampleIndex)] = parseReal(fields[5]);
  for (int32_t g = 0; g < groups; ++g) {
    const size_t at = kFirstGroupField + kGroupFields * static_cast<size_t>(g);
    const int32_t id = parseInt(fields[at]);
    const double scalar = parseReal(fields[at + 1]);
    Node* node = findNodeById(analysis, id);
    if (node == nullptr) fail(1, Stream::kStdout, "error getting node %d\n", id);
    if (node->parent == nullptr) fail(1, Stream::kStdout, "Root is being scaled.\n");
    node->length *= scalar;
    if (std::strcmp(fields[at + 3], "Node") == 0) {
      for (Node* child : node->children) scaleSubtree(child, scalar);
    }
  }

  for (size_t j = begin; j < std::min(end, count); ++j) {
    const double length = nodes[j]->length;
    NodeResult& result = analysis.results[j];
    result.lengthHistory[static_cast<size_t>(sampleIndex)] = length;
    if (length != tally.originalLengths[j]) ++result.changedCount;
  }
  ++tally.samplesSeen;
}

}  // namespace scalesum
