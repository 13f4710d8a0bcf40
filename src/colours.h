#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "results.h"
#include "tree.h"

namespace scalesum {

// The colour of branches that no sample changed, of the root, and of those without a value:
// one that neither colour scale produces, since a tree viewer may show only the colour.
inline constexpr uint32_t kUnscaledColour = 0x000000;

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
// the 2nd and 98th percentiles (for a ratio, symmetric about 1; for a percentage, 0 and 100).
ColourScale colourScale(const Tree& tree, const Results& results, std::string_view name);

// Returns the colour 0xrrggbb at t in [0, 1] along the scale, from its low end to its high end.
uint32_t colourAt(const ColourScale& scale, double t);

// Returns in how many equal steps a gradient passes through every colour of the scale.
size_t gradientSteps(const ColourScale& scale);

// Returns the colour 0xrrggbb of the branch above the node at `position` (-1: a node without
// statistics), kUnscaledColour where no sample changed it or the statistic has no value; every
// other colour has a contrast of at least 2 against white.
uint32_t branchColour(const Tree& tree, const Results& results, const ColourScale& scale,
                      int64_t position);

// Returns the stroke width in pixels of the branch above the node at `position` (-1: a node
// without statistics), from 1 for a branch never changed to 4 for one changed in every sample.
double branchWidth(const Tree& tree, const Results& results, int64_t position);

// Returns the contrast ratio of the colour 0xrrggbb against white (WCAG 2 relative luminance).
double contrastOnWhite(uint32_t colour);

}  // namespace scalesum
