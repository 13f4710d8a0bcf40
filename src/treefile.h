#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records.h"

namespace scalesum {

// One node of the tree as the tree file and the picture show it.
struct TreeItem {
  const Node* node = nullptr;  // null for a taxon that no child of its clade covers
  int64_t position = -1;       // in Analysis::nodes; -1 where the item has no statistics
  int32_t taxon = -1;          // index in Analysis::taxa for a tip, else -1
  int32_t parent = -1;         // index of the parent item; -1 for the root
  int32_t end = 0;             // one past the last item of this item's subtree
  double length = 0.0;         // the logged branch length (0 for the root)
  double depth = 0.0;          // distance from the root, counting non-finite lengths as 0
  double row = 0.0;            // a tip's row from the top; the middle of its children's rows
};

// The drawable tree in pre-order, children in the order they were attached, each clade's
// uncovered taxa after its children, nodes without taxa left out.
struct TreeLayout {
  std::vector<TreeItem> items;
  int32_t tipCount = 0;
};

// Returns the layout of the analysis's clade tree; ends the process when a taxon would be
// drawn twice, since no tree file could name it at both places.
TreeLayout layoutTree(const Analysis& analysis);

// Returns `name` as a NEXUS word: bare when it is only letters, digits, '_', '.' and '-',
// otherwise single-quoted with its quotes doubled.
std::string nexusName(std::string_view name);

// Which branch lengths a tree file carries: the logged ones, or each multiplied by the mean or
// the median of its node's Scalar.
enum class BranchLengths { kLogged, kScaledByMean, kScaledByMedian };

// How a tree file is written.
struct TreeFileSettings {
  std::string colorBy;          // the statistic that colours branches, as in the picture
  double crediblePercent = 95;  // branches scaled one way in at least this share get shift=
  BranchLengths lengths = BranchLengths::kLogged;
};

// Returns the length that a tree file with `lengths` gives the branch of `item`, and whether
// it is scaled: L * m for a node with a finite m; the logged L where m is not finite; 0 for 0.
std::pair<double, bool> branchLength(const Analysis& analysis, const TreeItem& item,
                                     BranchLengths lengths);

// Writes the NEXUS tree file of `layout` (the analysis's layoutTree): the taxa as a translation
// table and the one annotated tree, coloured as the picture is.
void writeTreeFile(FILE* out, const Analysis& analysis, const TreeLayout& layout,
                   const TreeFileSettings& settings);

// Returns the first two taxon names, in table order, that differ only in the case of ASCII
// letters, which NEXUS readers may take for one name; empty names when there are none.
std::pair<std::string, std::string> namesDifferingInCase(const Analysis& analysis);

}  // namespace scalesum
