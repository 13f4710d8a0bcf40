#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "boxes.h"
#include "colours.h"
#include "layout.h"
#include "results.h"
#include "tree.h"

namespace scalesum {

// No picture is wider or taller than this many pixels, which renderers of SVG accept.
inline constexpr double kMaxPictureSide = 32000.0;

// How the picture lays out the tree.
enum class PictureLayout { kRectangular, kCircular };

// What the picture shows besides the tree.
struct PictureSettings {
  std::string colorBy;
  PictureLayout layout = PictureLayout::kRectangular;
  bool nodeIds = false;         // each internal node's id beside its branch
  double crediblePercent = 95;  // branches scaled one way in at least this share get a marker
  std::vector<std::string> chainPaths;  // the logs of the chains after the tree's own, by title
  // For a picture inside a page: no XML prologue, and, when given, the branches coloured by
  // these values (one per position in Tree::nodes, not-a-number: no colour) on this scale
  // instead of by colorBy, and each branch with this tooltip (one per position). `idPrefix`
  // keeps the ids of several pictures on one page apart.
  bool inlined = false;
  std::string idPrefix{};
  const std::vector<double>* branchValues = nullptr;
  ColourScale valueScale{};
  const std::vector<std::string>* branchTitles = nullptr;
};

// A picture's canvas and the boxes of what it draws: the header, branches, markers, leaders,
// tip labels and node ids, none of the labels overlapping another box.
struct PictureFrame {
  double width = 0.0;
  double height = 0.0;
  std::vector<Box> boxes;
};

// Returns `text` with the characters that XML reserves escaped and each byte that is not
// part of valid UTF-8, or a character XML forbids, replaced by U+FFFD.
std::string xmlText(std::string_view text);

// Writes the tree of `layout` (layoutTree of `tree`) as a standalone SVG phylogram in the
// settings' layout, no side above kMaxPictureSide, branches coloured by the settings' statistic,
// as wide as they were often changed, and marked where they are credible shifts.
void writePicture(FILE* out, const Tree& tree, const Results& results, const TreeLayout& layout,
                  const PictureSettings& settings);

// Returns the frame of the picture that writePicture draws from the same arguments.
PictureFrame pictureFrame(const Tree& tree, const Results& results, const TreeLayout& layout,
                          const PictureSettings& settings);

}  // namespace scalesum
