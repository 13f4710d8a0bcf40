#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "layout.h"
#include "results.h"
#include "tree.h"

namespace scalesum {

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
std::pair<double, bool> branchLength(const Tree& tree, const Results& results, const TreeItem& item,
                                     BranchLengths lengths);

// Writes the NEXUS tree file of `layout` (layoutTree of `tree`): the taxa as a translation
// table and the one annotated tree, coloured as the picture is.
void writeTreeFile(FILE* out, const Tree& tree, const Results& results, const TreeLayout& layout,
                   const TreeFileSettings& settings);

// Returns the first two taxon names, in table order, that differ only in the case of ASCII
// letters, which NEXUS readers may take for one name; empty names when there are none.
std::pair<std::string, std::string> namesDifferingInCase(const Tree& tree);

}  // namespace scalesum
