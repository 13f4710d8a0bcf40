#pragma once

#include <string_view>
#include <vector>

namespace scalesum {

// What a box of a picture holds; labels must keep clear of every other box.
enum class BoxKind { kBranch, kLeader, kMarker, kTipLabel, kNodeId, kHeader };

// A rectangle of the picture, turned by `angle` radians about its centre (x, y).
struct Box {
  double x = 0.0;
  double y = 0.0;
  double halfWidth = 0.0;  // along the turned x axis
  double halfHeight = 0.0;
  double angle = 0.0;
  BoxKind kind = BoxKind::kBranch;
};

// Returns whether the two boxes share more than a hair's breadth of area.
bool boxesOverlap(const Box& a, const Box& b);

// The upright rectangle that holds a box.
struct Extent {
  double left = 0.0;
  double top = 0.0;
  double right = 0.0;
  double bottom = 0.0;
};

// Returns the smallest upright rectangle that holds `box`.
Extent extentOf(const Box& box);

// Returns the box around the line from (x1, y1) to (x2, y2), `halfThickness` to either side.
Box segmentBox(double x1, double y1, double x2, double y2, double halfThickness, BoxKind kind);

// Returns the width in pixels of `text` (UTF-8) in sans-serif type of `fontSize` pixels: a
// per-character estimate of DejaVu Sans, generous for the characters it does not list.
double textWidth(std::string_view text, double fontSize);

// The boxes placed so far, found by the horizontal bands of `bandHeight` pixels they cross.
struct BoxIndex {
  double bandHeight = 16.0;
  std::vector<Box> boxes;
  std::vector<std::vector<int>> bands;
};

// Adds `box` to the index.
void addBox(BoxIndex& index, const Box& box);

// Returns whether `box` overlaps any box of the index.
bool collides(const BoxIndex& index, const Box& box);

}  // namespace scalesum
