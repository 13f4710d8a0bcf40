#include "picture.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <numbers>
#include <vector>

#include "colours.h"
#include "failure.h"
#include "statistic.h"

namespace scalesum {

namespace {

constexpr double kRowHeight = 14.0;   // a tip's row, as long as the picture has room
constexpr double kMinLabelRow = 8.0;  // thinner rows leave their labels out (below 6.3 px type)
constexpr double kFontSize = 11.0;    // of tip labels in full-height rows
constexpr double kTreeWidth = 600.0;
constexpr double kMargin = 16.0;
constexpr double kTreeTop = 140.0;
constexpr double kLabelGap = 5.0;
constexpr double kRingGap = 8.0;  // from the farthest tip to the ring of labels, past its marker
constexpr double kIdFontSize = 8.0;
constexpr double kMaxDottedLength = 3e6;  // of leaders, in pixels: a million dots
constexpr double kBarLeft = 40.0;         // room for half of the widest tick label left of the bar
constexpr double kBarWidth = 240.0;
constexpr double kHeaderWidth = 600.0;     // the header's longest line
constexpr double kMaxLabelWidth = 2000.0;  // a longer name runs off a circular picture

void appendFixed(std::string& out, double value, int decimals) {
  char text[400];  // room for the largest double in fixed notation
  const auto result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  out.append(text, result.ptr);
}

void appendHex(std::string& out, uint32_t colour) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", colour);
  out += text;
}

// A tick label: three significant digits are plenty for reading a colour.
void appendTickLabel(std::string& out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  out += text;
}

// The labels of `count` ticks evenly along the scale (one: its middle), with three significant
// digits, or as many more as it takes to tell neighbours apart.
std::vector<std::string> tickLabels(const ColourScale& scale, int count) {
  std::vector<std::string> labels(static_cast<size_t>(count));
  for (int digits = 3; digits <= 17; ++digits) {
    for (int k = 0; k < count; ++k) {
      const double t = count == 1 ? 0.5 : k / static_cast<double>(count - 1);
      const double value = scale.low + t * (scale.high - scale.low);
      char text[40];
      std::snprintf(text, sizeof text, "%.*g", digits, scale.log2Scale ? std::exp2(value) : value);
      labels[static_cast<size_t>(k)] = text;
    }
    if (std::adjacent_find(labels.begin(), labels.end()) == labels.end()) break;
  }
  return labels;
}

// The fills of the markers of credible increases and decreases: the scale's ends.
constexpr uint32_t kShiftUpColour = 0xa80719;
constexpr uint32_t kShiftDownColour = 0x0044a3;

// Where the picture puts things: tips in rows (rectangular) or around a circle.
struct Geometry {
  bool circular = false;
  double minDepth = 0.0;
  double pixelsPerUnit = 0.0;
  double rowHeight = kRowHeight;  // the distance between neighbouring tips
  double fontSize = kFontSize;    // of tip labels; 0: no labels
  double width = 0.0;
  double height = 0.0;
  double centreX = 0.0;  // of the circle
  double centreY = 0.0;
  int32_t tipCount = 1;
};

// The distance from the root, or from the centre, in pixels.
double reach(const Geometry& g, double depth) {
  return (depth - g.minDepth) * g.pixelsPerUnit;
}

// A tip row's angle on the circle, clockwise from the top.
double angleOf(const Geometry& g, double row) {
  return 2.0 * std::numbers::pi * (row + 0.5) / static_cast<double>(g.tipCount) -
         std::numbers::pi / 2.0;
}

struct Point {
  double x;
  double y;
};

Point pointOf(const Geometry& g, double depth, double row) {
  if (!g.circular) return {kMargin + reach(g, depth), kTreeTop + (row + 0.5) * g.rowHeight};
  const double r = reach(g, depth);
  const double angle = angleOf(g, row);
  return {g.centreX + r * std::cos(angle), g.centreY + r * std::sin(angle)};
}

// Fits the tree into the picture: full rows while they fit within kMaxPictureSide, thinner
// ones beyond, and labels only while rows are tall enough to read them. `labelWidth` is the
// widest label's width at kFontSize. The canvas's size and the circle's centre are left to
// frameCanvas, which knows where the labels end.
Geometry fitGeometry(const TreeLayout& layout, bool circular, double labelWidth) {
  Geometry g;
  g.circular = circular;
  g.tipCount = std::max(layout.tipCount, 1);
  double maxDepth = 0.0;
  for (const TreeItem& item : layout.items) {
    g.minDepth = std::min(g.minDepth, item.depth);
    maxDepth = std::max(maxDepth, item.depth);
  }
  const double extent = maxDepth - g.minDepth;
  const auto tips = static_cast<double>(g.tipCount);
  if (!circular) {
    g.rowHeight = std::min(kRowHeight, (kMaxPictureSide - kTreeTop - kMargin) / tips);
    g.fontSize = g.rowHeight >= kMinLabelRow ? kFontSize * g.rowHeight / kRowHeight : 0.0;
    g.pixelsPerUnit = extent > 0.0 ? kTreeWidth / extent : 0.0;
    g.height = kTreeTop + tips * g.rowHeight + kMargin;
    return g;
  }
  // The tips stand on a circle whose circumference gives each its row; the labels stand on a
  // ring outside it. Where the circle would not fit, it shrinks, and then the labels go.
  const double room = (kMaxPictureSide - kTreeTop) / 2.0 - kMargin;
  double labels = kRingGap + std::min(labelWidth, kMaxLabelWidth);
  double radius = std::max(kTreeWidth / 2.0, tips * kRowHeight / (2.0 * std::numbers::pi));
  if (radius + labels > room) {
    radius = room - labels;
    g.rowHeight = 2.0 * std::numbers::pi * radius / tips;
    if (g.rowHeight < kMinLabelRow) {
      labels = 0.0;
      radius = room;
      g.rowHeight = 2.0 * std::numbers::pi * radius / tips;
    }
  }
  g.fontSize = labels > 0.0 ? kFontSize * g.rowHeight / kRowHeight : 0.0;
  g.pixelsPerUnit = extent > 0.0 ? radius / extent : 0.0;
  return g;
}

// The distance from a marker's centre to its tip.
double markerHalf(const Geometry& g) {
  return std::clamp(g.rowHeight * 0.4, 1.5, 4.0);
}

// The box of a marker centred on (x, y): see appendMarker.
Box markerBox(double x, double y, double half, int shift) {
  const double tip = shift > 0 ? -half : half;
  return {x, y + 0.2 * tip, half, 0.8 * half, 0.0, BoxKind::kMarker};
}

// The markers of credible shifts: a triangle pointing up (an increase) or down, centred on
// (x, y), `half` pixels from its centre to its tip.
void appendMarker(std::string& out, double x, double y, double half, int shift) {
  const double tip = shift > 0 ? -half : half;
  out += "<path d=\"M";
  appendFixed(out, x - half, 1);
  out += ' ';
  appendFixed(out, y - tip * 0.6, 1);
  out += 'L';
  appendFixed(out, x + half, 1);
  out += ' ';
  appendFixed(out, y - tip * 0.6, 1);
  out += 'L';
  appendFixed(out, x, 1);
  out += ' ';
  appendFixed(out, y + tip, 1);
  out += "Z\" fill=\"";
  appendHex(out, shift > 0 ? kShiftUpColour : kShiftDownColour);
  out += "\" stroke=\"#000000\" stroke-width=\"0.75\"/>\n";
}

// A log's name as the title shows it.
std::string displayName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  // A log from a pipe has no name of its own: its descriptor's base name ("63") would read as
  // one, so such a path is shown whole.
  if (path == "-") return "standard input";
  if (slash == std::string::npos || path.starts_with("/dev/") || path.starts_with("/proc/")) {
    return path;
  }
  return path.substr(slash + 1);
}

// The title: every chain's log by name, and how many samples they kept.
std::string titleOf(const Tree& tree, const Results& results,
                    const std::vector<std::string>& chainPaths) {
  std::string title = displayName(tree.path);
  for (const std::string& path : chainPaths) title += ", " + displayName(path);
  return title + ": " + std::to_string(results.sampleCount) + " retained samples";
}

// The colour bar: the statistic's name, its scale as a gradient, and five ticks along it.
void appendColourBar(std::string& out, const ColourScale& scale, const std::string& idPrefix) {
  out += "<text x=\"16\" y=\"45\" font-size=\"11\">" + xmlText(scale.statistic);
  out += scale.log2Scale ? " (log2 scale)</text>\n" : "</text>\n";
  out += "<defs><linearGradient id=\"" + idPrefix + "scale\">";
  const size_t steps = gradientSteps(scale);
  for (size_t k = 0; k <= steps; ++k) {
    const double t = static_cast<double>(k) / static_cast<double>(steps);
    out += "<stop offset=\"";
    appendFixed(out, t, 4);
    out += "\" stop-color=\"";
    appendHex(out, colourAt(scale, t));
    out += "\"/>";
  }
  out += "</linearGradient></defs>\n<rect x=\"";
  appendFixed(out, kBarLeft, 1);
  out += "\" y=\"50\" width=\"";
  appendFixed(out, kBarWidth, 1);
  out += "\" height=\"12\" fill=\"url(#" + idPrefix + "scale)\" stroke=\"#999999\"/>\n";
  // Tick labels are centred on their ticks; the bar stands far enough right for the first.
  // A scale of one value has one tick, in the middle where its colour is.
  const bool flat = !(scale.high > scale.low);
  out += "<g font-size=\"10\" text-anchor=\"middle\">\n";
  const std::vector<std::string> labels = tickLabels(scale, flat ? 1 : 5);
  for (size_t k = 0; k < labels.size(); ++k) {
    const double t = flat ? 0.5 : static_cast<double>(k) / 4.0;
    const double x = kBarLeft + t * kBarWidth;
    out += "<path d=\"M";
    appendFixed(out, x, 1);
    out += " 62V66\" stroke=\"#000000\"/><text x=\"";
    appendFixed(out, x, 1);
    out += "\" y=\"77\">" + labels[k] + "</text>\n";
  }
  out += "</g>\n";
}

// The key to what is not colour: line widths, dashes and the markers of credible shifts.
void appendKey(std::string& out, double crediblePercent) {
  out +=
      "<g font-size=\"10\">\n<text x=\"16\" y=\"94\">Line width: how often the samples "
      "changed a branch (1 px never, 4 px always)</text>\n"
      "<path d=\"M16 108H40\" stroke=\"#000000\" stroke-dasharray=\"3 2\"/>"
      "<text x=\"46\" y=\"112\">never changed, the root, or no value</text>\n";
  appendMarker(out, 22.0, 125.0, 4.0, 1);
  appendMarker(out, 34.0, 125.0, 4.0, -1);
  char shifts[200];
  std::snprintf(shifts, sizeof shifts,
                "<text x=\"46\" y=\"129\">credible increase, decrease: Scalar above, below 1 "
                "in at least %g%% of the samples</text>\n</g>\n",
                crediblePercent);
  out += shifts;
}

// The scale bar: the largest 1, 2 or 5 times a power of ten within a quarter of the tree. In
// a circular picture it measures distances from the centre. A tree without extent has none.
void appendLengthBar(std::string& out, const Geometry& g) {
  if (!(g.pixelsPerUnit > 0.0) || !std::isfinite(g.pixelsPerUnit)) return;
  const double quarter = kTreeWidth / 4.0 / g.pixelsPerUnit;
  double unit = std::pow(10.0, std::floor(std::log10(quarter)));
  for (double factor : {5.0, 2.0}) {
    if (unit * factor <= quarter) {
      unit *= factor;
      break;
    }
  }
  const double x0 = kBarLeft + kBarWidth + 40.0;
  out += "<text x=\"";
  appendFixed(out, x0, 1);
  out += g.circular
             ? "\" y=\"45\" font-size=\"11\">branch length (outward from the centre)</text>\n"
             : "\" y=\"45\" font-size=\"11\">branch length</text>\n";
  out += "<path d=\"M";
  appendFixed(out, x0, 1);
  out += " 56h";
  appendFixed(out, unit * g.pixelsPerUnit, 1);
  out += "\" stroke=\"#000000\" stroke-width=\"2\"/>\n<text x=\"";
  appendFixed(out, x0, 1);
  out += "\" y=\"77\" font-size=\"10\">";
  appendTickLabel(out, unit);
  out += "</text>\n";
}

// The widest tip label at kFontSize, in pixels.
double widestLabel(const Tree& tree, const TreeLayout& layout) {
  double labelWidth = 0.0;
  for (const TreeItem& item : layout.items) {
    if (item.taxon < 0) continue;
    const std::string& name = tree.taxa[static_cast<size_t>(item.taxon)].name;
    labelWidth = std::max(labelWidth, textWidth(name, kFontSize));
  }
  return labelWidth;
}

// Where a text stands: its anchor, the text turned by `degrees` about it and ending there
// where `anchorEnd`; x is NaN for a text left out.
struct TextPlace {
  double x = NAN;
  double y = 0.0;
  double degrees = 0.0;
  bool anchorEnd = false;
};

// Everything the picture places, in the canvas's pixels.
struct Plan {
  Geometry g;
  std::string title;
  double headerRight = 0.0;       // where the header's longest line ends
  double ring = 0.0;              // circular: the radius at which the tip labels start
  double leaderLength = 0.0;      // of all the leaders together, in pixels
  std::vector<TextPlace> labels;  // per item: its tip label
  std::vector<TextPlace> ids;     // per item: its node id
  std::vector<int8_t> shifts;     // per item: its credible shift, +1 up, -1 down, 0 none
  BoxIndex placed;                // the boxes of everything drawn below the header
};

// The first and the last row of each item's children (NaN for a tip).
void childRows(const TreeLayout& layout, std::vector<double>& firstRow,
               std::vector<double>& lastRow) {
  firstRow.assign(layout.items.size(), NAN);
  lastRow.assign(layout.items.size(), NAN);
  for (const TreeItem& item : layout.items) {
    if (item.parent < 0) continue;
    const auto parent = static_cast<size_t>(item.parent);
    if (std::isnan(firstRow[parent])) firstRow[parent] = item.row;
    lastRow[parent] = item.row;
  }
}

// The boxes of the branches, of the joins of each clade's children (arcs as chords of at most
// 8 pixels) and of the markers.
void addTreeBoxes(Plan& plan, const Tree& tree, const Results& results, const TreeLayout& layout,
                  std::vector<Box>& boxes) {
  const Geometry& g = plan.g;
  for (size_t i = 0; i < layout.items.size(); ++i) {
    const TreeItem& item = layout.items[i];
    if (item.parent < 0) continue;
    const TreeItem& parent = layout.items[static_cast<size_t>(item.parent)];
    const Point from = pointOf(g, parent.depth, item.row);
    const Point to = pointOf(g, item.depth, item.row);
    boxes.push_back(segmentBox(from.x, from.y, to.x, to.y,
                               branchWidth(tree, results, item.position) / 2.0, BoxKind::kBranch));
    if (plan.shifts[i] != 0) {
      boxes.push_back(
          markerBox((from.x + to.x) / 2.0, (from.y + to.y) / 2.0, markerHalf(g), plan.shifts[i]));
    }
  }
  std::vector<double> firstRow, lastRow;
  childRows(layout, firstRow, lastRow);
  for (size_t i = 0; i < layout.items.size(); ++i) {
    if (std::isnan(firstRow[i]) || firstRow[i] == lastRow[i]) continue;
    const double depth = layout.items[i].depth;
    const double r = reach(g, depth);
    const double turn = g.circular ? angleOf(g, lastRow[i]) - angleOf(g, firstRow[i]) : 0.0;
    const double steps = g.circular ? std::max(1.0, std::ceil(r * turn / 8.0)) : 1.0;
    Point from = pointOf(g, depth, firstRow[i]);
    for (double k = 1.0; k <= steps; ++k) {
      const Point to = pointOf(g, depth, firstRow[i] + (lastRow[i] - firstRow[i]) * k / steps);
      // The chord's sagitta widens its box to cover the arc.
      const double chord = std::hypot(to.x - from.x, to.y - from.y);
      const double sagitta = g.circular && r > 0.0 ? chord * chord / (8.0 * r) : 0.0;
      boxes.push_back(segmentBox(from.x, from.y, to.x, to.y, 0.5 + sagitta, BoxKind::kBranch));
      from = to;
    }
  }
}

// Places the tip labels and the leaders up to them: right of the tips and clear of their
// markers, or on one ring outside the tree, turned over on the left so that they read left
// to right.
void addLabelBoxes(Plan& plan, const Tree& tree, const TreeLayout& layout,
                   std::vector<Box>& boxes) {
  const Geometry& g = plan.g;
  plan.labels.assign(layout.items.size(), TextPlace{});
  if (!(g.fontSize > 0.0)) return;
  double farthest = 0.0;
  for (const TreeItem& item : layout.items) farthest = std::max(farthest, reach(g, item.depth));
  plan.ring = farthest + std::max(kLabelGap, 1.5 * markerHalf(g) + 2.0);
  const double half = markerHalf(g);
  for (size_t i = 0; i < layout.items.size(); ++i) {
    const TreeItem& item = layout.items[i];
    if (item.taxon < 0) continue;
    const double width = textWidth(tree.taxa[static_cast<size_t>(item.taxon)].name, g.fontSize);
    // The type from 0.8 em above its baseline to 0.2 em below, the baseline 0.36 em below the
    // row's middle.
    const double below = 0.06 * g.fontSize;
    TextPlace& place = plan.labels[i];
    if (!g.circular) {
      const Point at = pointOf(g, item.depth, item.row);
      double x = at.x + kLabelGap;
      if (plan.shifts[i] != 0 && item.parent >= 0) {
        const double start = pointOf(g, layout.items[static_cast<size_t>(item.parent)].depth, 0).x;
        x = std::max(x, (start + at.x) / 2.0 + half + 3.0);
      }
      place = {x, at.y, 0.0, false};
      boxes.push_back(
          {x + width / 2.0, at.y + below, width / 2.0, g.fontSize / 2.0, 0.0, BoxKind::kTipLabel});
      continue;
    }
    const double angle = angleOf(g, item.row);
    const bool left = std::cos(angle) < 0.0;
    const double turn = angle + (left ? std::numbers::pi : 0.0);
    const double c = std::cos(angle), s = std::sin(angle);
    place = {g.centreX + plan.ring * c, g.centreY + plan.ring * s, turn * 180.0 / std::numbers::pi,
             left};
    // Either way the text runs outward from the ring along the radius.
    const double mid = plan.ring + width / 2.0;
    boxes.push_back({g.centreX + mid * c - below * std::sin(turn),
                     g.centreY + mid * s + below * std::cos(turn), width / 2.0, g.fontSize / 2.0,
                     turn, BoxKind::kTipLabel});
    const double tip = reach(g, item.depth);
    if (plan.ring - tip > 4.0) {
      plan.leaderLength += plan.ring - tip - 3.0;
      boxes.push_back(segmentBox(g.centreX + (tip + 1.5) * c, g.centreY + (tip + 1.5) * s,
                                 g.centreX + (plan.ring - 1.5) * c,
                                 g.centreY + (plan.ring - 1.5) * s, 0.25, BoxKind::kLeader));
    }
  }
}

// Sizes the canvas to what is drawn and moves a circular tree to fill it below the header.
void frameCanvas(Plan& plan, std::vector<Box>& boxes) {
  Geometry& g = plan.g;
  Extent all{INFINITY, INFINITY, -INFINITY, -INFINITY};
  for (const Box& box : boxes) {
    const Extent e = extentOf(box);
    all = {std::min(all.left, e.left), std::min(all.top, e.top), std::max(all.right, e.right),
           std::max(all.bottom, e.bottom)};
  }
  if (boxes.empty()) all = {0.0, kTreeTop, 0.0, kTreeTop};
  const double headerSide = plan.headerRight + kMargin;
  if (!g.circular) {
    g.width = std::min(kMaxPictureSide, std::max(headerSide, all.right + kMargin));
    g.height = std::max(g.height, all.bottom + kMargin);
    return;
  }
  g.width = std::max(headerSide, all.right - all.left + 2.0 * kMargin);
  g.height = kTreeTop + all.bottom - all.top + kMargin;
  const double dx = (g.width - (all.right - all.left)) / 2.0 - all.left;
  const double dy = kTreeTop - all.top;
  g.centreX += dx;
  g.centreY += dy;
  for (Box& box : boxes) {
    box.x += dx;
    box.y += dy;
  }
  for (TextPlace& place : plan.labels) {
    place.x += dx;
    place.y += dy;
  }
}

// Places each internal node's id beside the end of its branch, above or below it, left or
// right of the node, wherever it overlaps nothing drawn; an id with no room is left out.
void placeNodeIds(Plan& plan, const TreeLayout& layout) {
  const Geometry& g = plan.g;
  plan.ids.assign(layout.items.size(), TextPlace{});
  constexpr double kAscent = 0.75 * kIdFontSize;  // digits have no descent
  for (size_t i = 0; i < layout.items.size(); ++i) {
    const TreeItem& item = layout.items[i];
    if (item.taxon >= 0 || item.node == nullptr) continue;
    const Point at = pointOf(g, item.depth, item.row);
    const double width = textWidth(std::to_string(item.node->id), kIdFontSize);
    for (const auto& [side, baseline] : {std::pair{-1.0, -2.5}, std::pair{-1.0, 2.5 + kAscent},
                                         std::pair{1.0, -2.5}, std::pair{1.0, 2.5 + kAscent}}) {
      const double x = at.x + side * 1.5;
      const double y = at.y + baseline;
      const Box box{x + side * width / 2.0, y - kAscent / 2.0, width / 2.0, kAscent / 2.0, 0.0,
                    BoxKind::kNodeId};
      const Extent e = extentOf(box);
      if (e.left < 0.0 || e.right > g.width || e.bottom > g.height || collides(plan.placed, box)) {
        continue;
      }
      plan.ids[i] = {x, y, 0.0, side < 0.0};
      addBox(plan.placed, box);
      break;
    }
  }
}

// Lays out the whole picture: the header, the tree, its labels and, if asked, the node ids.
Plan planPicture(const Tree& tree, const Results& results, const TreeLayout& layout,
                 const PictureSettings& settings) {
  Plan plan;
  plan.g =
      fitGeometry(layout, settings.layout == PictureLayout::kCircular, widestLabel(tree, layout));
  plan.title = titleOf(tree, results, settings.chainPaths);
  // The title's bold type is about a tenth wider than the estimate of regular type.
  plan.headerRight = kMargin + std::max(kHeaderWidth, 1.1 * textWidth(plan.title, 14.0));
  plan.shifts.assign(layout.items.size(), 0);
  for (size_t i = 0; i < layout.items.size(); ++i) {
    const TreeItem& item = layout.items[i];
    if (item.parent < 0 || item.position < 0) continue;
    plan.shifts[i] = static_cast<int8_t>(
        credibleShift(results, static_cast<size_t>(item.position), settings.crediblePercent));
  }
  std::vector<Box> boxes;
  addTreeBoxes(plan, tree, results, layout, boxes);
  addLabelBoxes(plan, tree, layout, boxes);
  frameCanvas(plan, boxes);
  // The header is in the way of the node ids too.
  addBox(plan.placed, {(kMargin + plan.headerRight) / 2.0, 70.0, (plan.headerRight - kMargin) / 2.0,
                       62.0, 0.0, BoxKind::kHeader});
  for (const Box& box : boxes) addBox(plan.placed, box);
  if (settings.nodeIds) placeNodeIds(plan, layout);
  return plan;
}

// The joins of each clade's children in one neutral path: vertical lines, or arcs around the
// centre.
void appendJoins(std::string& svg, const TreeLayout& layout, const Geometry& g) {
  svg += "<path stroke=\"#666666\" d=\"";
  std::vector<double> firstRow, lastRow;
  childRows(layout, firstRow, lastRow);
  for (size_t i = 0; i < layout.items.size(); ++i) {
    if (std::isnan(firstRow[i]) || firstRow[i] == lastRow[i]) continue;
    const double depth = layout.items[i].depth;
    const Point from = pointOf(g, depth, firstRow[i]);
    const Point to = pointOf(g, depth, lastRow[i]);
    svg += 'M';
    appendFixed(svg, from.x, 1);
    svg += ' ';
    appendFixed(svg, from.y, 1);
    if (!g.circular) {
      svg += 'V';
      appendFixed(svg, to.y, 1);
      continue;
    }
    const double r = reach(g, depth);
    if (!(r > 0.0)) continue;  // the root at the centre joins nothing
    svg += 'A';
    appendFixed(svg, r, 1);
    svg += ' ';
    appendFixed(svg, r, 1);
    svg +=
        angleOf(g, lastRow[i]) - angleOf(g, firstRow[i]) > std::numbers::pi ? " 0 1 1 " : " 0 0 1 ";
    appendFixed(svg, to.x, 1);
    svg += ' ';
    appendFixed(svg, to.y, 1);
  }
  svg += "\"/>\n";
}

// The colour of the branch above `position` by the given values, as branchColour colours.
uint32_t valueColour(const ColourScale& scale, const std::vector<double>& values,
                     int64_t position) {
  if (position < 0 || std::isnan(values[static_cast<size_t>(position)])) return kUnscaledColour;
  const double value = values[static_cast<size_t>(position)];
  if (!(scale.high > scale.low)) return colourAt(scale, 0.5);
  return colourAt(scale, std::clamp((value - scale.low) / (scale.high - scale.low), 0.0, 1.0));
}

// Each branch in its own colour and width, dashed where it has no colour.
void appendBranches(std::string& svg, const Tree& tree, const Results& results,
                    const TreeLayout& layout, const Geometry& g, const ColourScale& scale,
                    const PictureSettings& settings) {
  for (const TreeItem& item : layout.items) {
    if (item.parent < 0) continue;
    const uint32_t colour = settings.branchValues != nullptr
                                ? valueColour(scale, *settings.branchValues, item.position)
                                : branchColour(tree, results, scale, item.position);
    const TreeItem& parent = layout.items[static_cast<size_t>(item.parent)];
    const Point from = pointOf(g, parent.depth, item.row);
    const Point to = pointOf(g, item.depth, item.row);
    svg += "<path d=\"M";
    appendFixed(svg, from.x, 1);
    svg += ' ';
    appendFixed(svg, from.y, 1);
    svg += 'L';
    appendFixed(svg, to.x, 1);
    svg += ' ';
    appendFixed(svg, to.y, 1);
    svg += "\" stroke=\"";
    appendHex(svg, colour);
    svg += "\" stroke-width=\"";
    appendFixed(svg, branchWidth(tree, results, item.position), 2);
    svg += colour != kUnscaledColour ? "\"" : "\" stroke-dasharray=\"3 2\"";
    if (settings.branchTitles != nullptr && item.position >= 0) {
      svg += "><title>" + xmlText((*settings.branchTitles)[static_cast<size_t>(item.position)]) +
             "</title></path>\n";
    } else {
      svg += "/>\n";
    }
  }
}

// A marker halfway along each branch that is a credible shift, drawn over every branch.
void appendMarkers(std::string& svg, const Plan& plan, const TreeLayout& layout) {
  for (size_t i = 0; i < layout.items.size(); ++i) {
    if (plan.shifts[i] == 0) continue;
    const TreeItem& item = layout.items[i];
    const TreeItem& parent = layout.items[static_cast<size_t>(item.parent)];
    const Point from = pointOf(plan.g, parent.depth, item.row);
    const Point to = pointOf(plan.g, item.depth, item.row);
    appendMarker(svg, (from.x + to.x) / 2.0, (from.y + to.y) / 2.0, markerHalf(plan.g),
                 plan.shifts[i]);
  }
}

// A text where the plan put it: `attributes` go into its element.
void appendText(std::string& svg, const TextPlace& place, double baseline,
                const std::string& text) {
  if (place.degrees == 0.0) {
    svg += "<text x=\"";
    appendFixed(svg, place.x, 1);
    svg += "\" y=\"";
    appendFixed(svg, place.y + baseline, 1);
  } else {
    svg += "<text transform=\"translate(";
    appendFixed(svg, place.x, 1);
    svg += ' ';
    appendFixed(svg, place.y, 1);
    svg += ") rotate(";
    appendFixed(svg, place.degrees, 2);
    svg += ")\" y=\"";
    appendFixed(svg, baseline, 1);
  }
  svg += place.anchorEnd ? "\" text-anchor=\"end\">" : "\">";
  svg += text + "</text>\n";
}

// The node ids that found room, in small grey type.
void appendNodeIds(std::string& svg, const Plan& plan, const TreeLayout& layout) {
  svg += "<g font-size=\"8\" fill=\"#666666\">\n";
  for (size_t i = 0; i < layout.items.size(); ++i) {
    if (std::isnan(plan.ids[i].x)) continue;
    appendText(svg, plan.ids[i], 0.0, std::to_string(layout.items[i].node->id));
  }
  svg += "</g>\n";
}

// The dotted leaders from the tips that end short of the ring of labels, and the labels.
void appendLabels(std::string& svg, const Tree& tree, const TreeLayout& layout, const Plan& plan) {
  const Geometry& g = plan.g;
  if (g.circular) {
    // Millions of dots exhaust a renderer's memory: beyond that, the leaders are solid.
    svg += plan.leaderLength <= kMaxDottedLength
               ? "<path stroke=\"#999999\" stroke-width=\"0.5\" stroke-dasharray=\"1 2\" d=\""
               : "<path stroke=\"#cccccc\" stroke-width=\"0.5\" d=\"";
    for (const TreeItem& item : layout.items) {
      const double tip = reach(g, item.depth);
      if (item.taxon < 0 || !(plan.ring - tip > 4.0)) continue;
      const double angle = angleOf(g, item.row);
      svg += 'M';
      appendFixed(svg, g.centreX + (tip + 1.5) * std::cos(angle), 1);
      svg += ' ';
      appendFixed(svg, g.centreY + (tip + 1.5) * std::sin(angle), 1);
      svg += 'L';
      appendFixed(svg, g.centreX + (plan.ring - 1.5) * std::cos(angle), 1);
      svg += ' ';
      appendFixed(svg, g.centreY + (plan.ring - 1.5) * std::sin(angle), 1);
    }
    svg += "\" fill=\"none\"/>\n";
  }
  svg += "<g font-size=\"";
  appendFixed(svg, g.fontSize, 1);
  svg += "\">\n";
  for (size_t i = 0; i < layout.items.size(); ++i) {
    const TreeItem& item = layout.items[i];
    if (item.taxon < 0) continue;
    appendText(svg, plan.labels[i], g.fontSize * 0.36,  // centres the type on its row
               xmlText(tree.taxa[static_cast<size_t>(item.taxon)].name));
  }
  svg += "</g>\n";
}

}  // namespace

std::string xmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        default:
          // XML 1.0 admits no control characters but tab, line feed and carriage return.
          if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            out += "\xEF\xBF\xBD";
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, or 0: no overlong forms, no
    // surrogates, nothing beyond U+10FFFF, and not the noncharacters U+FFFE and U+FFFF.
    size_t length = c >= 0xc2 && c <= 0xdf   ? 2
                    : c >= 0xe0 && c <= 0xef ? 3
                    : c >= 0xf0 && c <= 0xf4 ? 4
                                             : 0;
    if (i + length > n) length = 0;
    for (size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xc0) != 0x80) length = 0;
    }
    if (length > 0) {
      const unsigned char second = bytes[i + 1];
      if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) ||
          (c == 0xf0 && second < 0x90) || (c == 0xf4 && second > 0x8f) ||
          (c == 0xef && second == 0xbf && bytes[i + 2] >= 0xbe)) {
        length = 0;
      }
    }
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

void writePicture(FILE* out, const Tree& tree, const Results& results, const TreeLayout& layout,
                  const PictureSettings& settings) {
  try {
    const ColourScale scale = settings.branchValues != nullptr
                                  ? settings.valueScale
                                  : colourScale(tree, results, settings.colorBy);
    const Plan plan = planPicture(tree, results, layout, settings);
    const Geometry& g = plan.g;
    std::string svg;
    svg.reserve(layout.items.size() * 160 + 16384);
    if (!settings.inlined) svg += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"";
    appendFixed(svg, std::ceil(g.width), 0);
    svg += "\" height=\"";
    appendFixed(svg, std::ceil(g.height), 0);
    svg += "\" font-family=\"sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg += "<text x=\"16\" y=\"24\" font-size=\"14\" font-weight=\"bold\">" + xmlText(plan.title) +
           "</text>\n";
    appendColourBar(svg, scale, settings.idPrefix);
    appendKey(svg, settings.crediblePercent);
    appendLengthBar(svg, g);
    // Layer over layer: joins, branches, markers, node ids, leaders and tip labels.
    svg += "<g fill=\"none\">\n";
    appendJoins(svg, layout, g);
    appendBranches(svg, tree, results, layout, g, scale, settings);
    svg += "</g>\n";
    appendMarkers(svg, plan, layout);
    if (settings.nodeIds) appendNodeIds(svg, plan, layout);
    if (g.fontSize > 0.0) appendLabels(svg, tree, layout, plan);
    svg += "</svg>\n";
    std::fwrite(svg.data(), 1, svg.size(), out);
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 30);
  }
}

PictureFrame pictureFrame(const Tree& tree, const Results& results, const TreeLayout& layout,
                          const PictureSettings& settings) {
  Plan plan = planPicture(tree, results, layout, settings);
  return {std::ceil(plan.g.width), std::ceil(plan.g.height), std::move(plan.placed.boxes)};
}

}  // namespace scalesum
