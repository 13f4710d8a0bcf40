#include "report.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

#include "failure.h"
#include "statistic.h"

namespace scalesum {

namespace {

constexpr const char* kHeaderCells[] = {
    "Node ID\t",         "No Taxa\t",     "Original BL\t", "No different from original\t",
    "Pct time scaled\t", "Mean Scalar\t", "Mode Scalar\t", "Median Scalar\t",
    "SD Scalar\t",       "Mean SigV\t",   "Mode SigV\t",   "Median SigV\t",
    "SD SigV\t",         "Mean DeltaB\t", "Mode DeltaB\t", "Median DeltaB\t",
    "SD DeltaB\t",       "Mean DeltaV\t", "Mode DeltaV\t", "Median DeltaV\t",
    "SD DeltaV\t",       "Taxa List\t",
};

// Writes the sorted, comma-joined names of the node's taxa; `sorted` has room for them all.
void writeTaxaList(FILE* out, const Node& node,
                   const std::unordered_map<int32_t, const char*>& names,
                   std::vector<const char*>& sorted) {
  sortTaxonNames(node, names, sorted);
  for (size_t k = 0; k < sorted.size(); ++k) {
    if (k > 0) std::fputc(',', out);
    std::fputs(sorted[k], out);
  }
}

}  // namespace

std::unordered_map<int32_t, const char*> namesById(const Tree& tree) {
  std::unordered_map<int32_t, const char*> names;
  for (const Taxon& taxon : tree.taxa) names.emplace(taxon.id, taxon.name.c_str());
  return names;
}

void sortTaxonNames(const Node& node, const std::unordered_map<int32_t, const char*>& names,
                    std::vector<const char*>& sorted) {
  sorted.clear();
  for (int32_t id : node.taxonIds) sorted.push_back(names.at(id));
  std::sort(sorted.begin(), sorted.end(),
            [](const char* a, const char* b) { return compareTaxonNames(a, b) < 0; });
}

int compareTaxonNames(const char* a, const char* b) {
  const int order = std::strcmp(a, b);  // compares bytes as unsigned char
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

void writeSeriesStatistics(FILE* out, const Node& node, const SeriesResult& result) {
  if (node.length == 0.0) {
    std::fputs("0.0\t0.0\t0.0\t0.0\t", out);
    return;
  }
  const DensitySummary& summary = result.summary;
  std::fprintf(out, "%f\t%f\t%f\t%f\t", summary.mean, result.mode, summary.median, summary.stdDev);
}

void writeNodeReport(FILE* out, const Tree& tree, const Results& results) {
  // Everything the rows need is allocated before the first byte is written: memory that runs
  // out must not leave part of a report behind its message.
  std::unordered_map<int32_t, const char*> names;
  std::vector<const char*> sorted;
  try {
    names = namesById(tree);
    size_t widest = 0;
    for (const Node* node : tree.nodes) widest = std::max(widest, node->taxonIds.size());
    sorted.reserve(widest);
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 6);
  }
  for (const char* cell : kHeaderCells) std::fputs(cell, out);
  std::fputc('\n', out);
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    const Node& node = *tree.nodes[i];
    const NodeResult& result = results.nodes[i];
    std::fprintf(out, "%d\t%d\t%f\t", node.id, node.taxonCount, node.length);
    std::fprintf(out, "%d\t", result.changedCount);
    std::fprintf(out, "%f\t", percentChanged(results, i));
    for (const SeriesResult& series : result.series) writeSeriesStatistics(out, node, series);
    writeTaxaList(out, node, names, sorted);
    std::fputs("\t\n", out);
  }
  std::fputs("\n\n\n\n", out);
}

}  // namespace scalesum
