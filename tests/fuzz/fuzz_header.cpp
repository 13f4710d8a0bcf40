// The log header and the clade tree built from it: whatever the input, either a rejection or a
// tree that keeps every promise of buildCladeTree.

#include <algorithm>
#include <set>

#include "fuzz_util.h"
#include "logfile.h"
#include "tree.h"

using namespace scalesum;
using namespace scalesum::fuzz;

namespace {

void checkTree(const Analysis& analysis) {
  const Node* root = analysis.root;
  FUZZ_CHECK(root != nullptr && root->parent == nullptr && root->length == 0.0);
  FUZZ_CHECK(root->taxonCount == analysis.taxonCount);
  FUZZ_CHECK(analysis.nodes.size() == analysis.nodeIds.size());
  FUZZ_CHECK(static_cast<int32_t>(analysis.nodes.size()) == analysis.nodeCount);
  std::set<int32_t> taxa;
  for (const Taxon& taxon : analysis.taxa) taxa.insert(taxon.id);
  for (size_t j = 0; j < analysis.nodes.size(); ++j) {
    const Node* node = analysis.nodes[j];
    FUZZ_CHECK(node->id == analysis.nodeIds[j]);
    FUZZ_CHECK(findNodeById(analysis, node->id) == node);
    FUZZ_CHECK(findNodeInSubtree(analysis.root, node->id) == node);
    for (int32_t id : node->taxonIds) FUZZ_CHECK(taxa.count(id) == 1);
  }
  for (const auto& owned : analysis.nodeStore) {
    const Node* node = owned.get();
    if (node == root) continue;
    const Node* parent = node->parent;
    FUZZ_CHECK(parent != nullptr && !parent->isTip && parent->taxonCount >= node->taxonCount);
    for (int32_t id : node->taxonIds) {
      FUZZ_CHECK(std::find(parent->taxonIds.begin(), parent->taxonIds.end(), id) !=
                 parent->taxonIds.end());
    }
    FUZZ_CHECK(std::count(parent->children.begin(), parent->children.end(), node) == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFile log(data, size);
  try {
    std::unique_ptr<Analysis> analysis = readLogHeader(log.path());
    buildCladeTree(*analysis);
    checkTree(*analysis);
  } catch (const Rejected&) {
  }
  return 0;
}
