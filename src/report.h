#pragma once

#include <cstdio>
#include <unordered_map>
#include <vector>

#include "results.h"
#include "tree.h"

namespace scalesum {

// Returns -1, 0 or 1 as name a sorts before, with or after name b, byte by byte as unsigned values.
int compareTaxonNames(const char* a, const char* b);

// Returns the name of the first taxon with each id, as every look-up by id finds it.
std::unordered_map<int32_t, const char*> namesById(const Tree& tree);

// Fills `sorted` with the names of the node's taxa in the report's order (byte order).
void sortTaxonNames(const Node& node, const std::unordered_map<int32_t, const char*>& names,
                    std::vector<const char*>& sorted);

// Writes the four cells of one series: mean, mode, median and standard deviation, or four
// placeholders for a node of length zero.
void writeSeriesStatistics(FILE* out, const Node& node, const SeriesResult& result);

// Writes the whole report table.
void writeNodeReport(FILE* out, const Tree& tree, const Results& results);

}  // namespace scalesum
