#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "linereader.h"
#include "tree.h"

namespace scalesum {

// A named clade declared by RATES (or the root, always first).
struct RateClade {
  std::string name;
  Node* node = nullptr;
};

// A named value declared by SLICE.
struct SliceEntry {
  std::string name;
  double value = 0.0;
};

// A named list of taxon names declared by RATIONODE; the names are not looked up.
struct RatioNode {
  std::string name;
  std::vector<std::string> taxonNames;
};

// The options of a run. Only burnIn reaches the report; the other declarations are read and
// checked so that an options file shared with other tools is accepted as it is.
struct Options {
  std::string path;
  int32_t burnIn = 0;
  int32_t categoryCount = 1000;
  std::vector<SliceEntry> slices;
  std::vector<RateClade> rateClades;
  int32_t nodeRatioSet = 0;
  double nodeRatio = 0.0;
  int32_t nodeRatioInteger = 0;
  std::vector<RatioNode> ratioNodes;
  int32_t normalise = 0;
};

// Returns the options every run starts from.
Options createDefaultOptions();

// Returns the options of `file` over the defaults, its RATES clades resolved against the built
// `tree`, and writes to `warnings` (unless null) one line for each line whose first word is no
// keyword and each IT value that is not a whole number; fails on any failure.
Options readOptions(const Tree& tree, const TextFile& file, FILE* warnings = nullptr);

// Returns readOptions of the file at `path`; fails when it cannot be read.
Options readOptionsFile(const Tree& tree, const char* path, FILE* warnings = nullptr);

// Returns the first node of tree.nodes that lists exactly `count` taxa, all of `ids` among
// them, or null.
Node* findNodeByTaxonSet(const Tree& tree, int32_t count, const int32_t* ids);

// Returns a rate clade named `name` for `node`.
RateClade createRateClade(const char* name, Node* node);

}  // namespace scalesum
