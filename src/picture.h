#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "records.h"
#include "treefile.h"

namespace scalesum {

// The grey of branches that no sample changed, of the root, and of those without a value.
inline constexpr uint32_t kUnchangedGrey = 0xb4b4b4;

// How branches are coloured: by which statistic, whether on a log2 scale centred on 1, and
// the scale's ends (log2 values on such a scale).
struct ColourScale {
  std::string statistic;
  bool log2Scale = false;
  double low = 0.0;
  double high = 0.0;
};

// Returns whether the statistic `name` is a ratio to the logged length, which a diverging
// scale on log2 shows.
bool isRatioStatistic(std::string_view name);

// Returns the scale of statistic `name` over the branches that samples changed, its ends at
// the 2nd and 98th percentiles (for a ratio, symmetric about 1).
ColourScale colourScale(const Analysis& analysis, std::string_view name);

// Returns the colour 0xrrggbb of the branch above the node at `position` (-1: a node without
// statistics), grey where no sample changed it or the statistic has no value.
uint32_t branchColour(const Analysis& analysis, const ColourScale& scale, int64_t position);

// Returns the stroke width in pixels of the branch above the node at `position` (-1: a node
// without statistics), from 1 for a branch never changed to 4 for one changed in every sample.
double branchWidth(const Analysis& analysis, int64_t position);

// Returns `text` with the characters that XML reserves escaped and each byte that is not
// part of valid UTF-8, or a character XML forbids, replaced by U+FFFD.
std::string xmlText(std::string_view text);

// Writes the tree of `layout` (the analysis's layoutTree) as a standalone SVG phylogram,
// branches coloured by the statistic `colorBy` and as wide as they were often changed.
void writePicture(FILE* out, const Analysis& analysis, const TreeLayout& layout,
                  std::string_view colorBy);

}  // namespace scalesum
