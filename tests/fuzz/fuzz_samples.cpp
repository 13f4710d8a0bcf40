// The sample passes over a whole log: once a log is accepted, every retained sample's lengths,
// sigma and change counts must be what applying its line by hand gives.

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "logfile.h"
#include "samples.h"
#include "tree.h"

using namespace scalesum;
using namespace scalesum::fuzz;

namespace {

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> result;
  std::string word;
  for (char c : line) {
    if (isSpace(static_cast<unsigned char>(c))) {
      if (!word.empty()) result.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) result.push_back(word);
  return result;
}

void scaleBelow(const Node* node, double factor, std::map<const Node*, double>& lengths) {
  for (const Node* child : node->children) {
    lengths[child] *= factor;
    scaleBelow(child, factor, lengths);
  }
}

// Replays the sample section of the accepted log `text` and compares every recorded value.
void checkSamples(const Analysis& analysis, const std::string& text) {
  size_t at = 0;
  for (int64_t line = 0; line < analysis.headerLineCount && at < text.size(); ++line) {
    const size_t end = text.find('\n', at);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  const std::vector<Node*>& nodes = analysis.nodes;
  std::vector<int32_t> changed(nodes.size(), 0);
  int32_t index = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::vector<std::string> fields = words(text.substr(at, end - at));
    at = end + 1;
    if (fields.size() < 2 || referenceInt(fields[0].c_str()) < analysis.options.burnIn) continue;
    FUZZ_CHECK(index < analysis.sampleCount);
    FUZZ_CHECK(
        sameReal(analysis.sampleSigma[static_cast<size_t>(index)], std::atof(fields[5].c_str())));
    // A node at two positions (a repeated id) starts from the logged length of the later one.
    std::map<const Node*, double> lengths;
    for (size_t j = 0; j < nodes.size(); ++j) lengths[nodes[j]] = analysis.tally.originalLengths[j];
    const int32_t groups = referenceInt(fields[3].c_str());
    for (int32_t g = 0; g < groups; ++g) {
      const size_t first = 7 + 4 * static_cast<size_t>(g);
      const int32_t id = referenceInt(fields[first].c_str());
      const Node* node = nullptr;
      for (const Node* candidate : nodes) {
        if (candidate->id == id) {
          node = candidate;
          break;
        }
      }
      FUZZ_CHECK(node != nullptr && node->parent != nullptr);
      const double scalar = std::atof(fields[first + 1].c_str());
      lengths[node] *= scalar;
      if (fields[first + 3] == "Node") scaleBelow(node, scalar, lengths);
    }
    for (size_t j = 0; j < nodes.size(); ++j) {
      const double length = analysis.results[j].lengthHistory[static_cast<size_t>(index)];
      FUZZ_CHECK(sameReal(length, lengths[nodes[j]]));
      if (length != analysis.tally.originalLengths[j]) ++changed[j];
    }
    ++index;
  }
  FUZZ_CHECK(index == analysis.sampleCount);
  FUZZ_CHECK(analysis.tally.samplesSeen == analysis.sampleCount);
  for (size_t j = 0; j < nodes.size(); ++j) {
    FUZZ_CHECK(changed[j] == analysis.results[j].changedCount);
  }
  std::map<const Node*, double> restored;
  for (size_t j = 0; j < nodes.size(); ++j) restored[nodes[j]] = analysis.tally.originalLengths[j];
  for (const Node* node : nodes) FUZZ_CHECK(sameReal(node->length, restored[node]));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFile log(data, size);
  std::unique_ptr<Analysis> analysis;
  try {
    analysis = readLogHeader(log.path());
    buildCladeTree(*analysis);
    // The first byte picks a small burn-in, so that lines on both sides of it occur.
    analysis->options.burnIn = size > 0 ? data[0] % 4 - 1 : 0;
    countRetainedSamples(*analysis);
    applyRetainedSamples(*analysis);
  } catch (const Rejected&) {
    return 0;
  }
  checkSamples(*analysis, std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
