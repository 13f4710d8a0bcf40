#include "boxes.h"

#include <algorithm>
#include <cmath>

namespace scalesum {

namespace {

// Overlaps thinner than this are rounding, not ink on ink.
constexpr double kTolerance = 0.01;

// The box's half-extent projected on the unit axis (ux, uy), and its centre's projection.
void project(const Box& b, double ux, double uy, double& centre, double& radius) {
  const double c = std::cos(b.angle);
  const double s = std::sin(b.angle);
  centre = b.x * ux + b.y * uy;
  radius = b.halfWidth * std::fabs(c * ux + s * uy) + b.halfHeight * std::fabs(-s * ux + c * uy);
}

// The first and last band of `index` that `box` crosses.
std::pair<size_t, size_t> bandsOf(const BoxIndex& index, const Box& box) {
  const Extent e = extentOf(box);
  return {static_cast<size_t>(std::max(0.0, std::floor(e.top / index.bandHeight))),
          static_cast<size_t>(std::max(0.0, std::floor(e.bottom / index.bandHeight)))};
}

}  // namespace

Extent extentOf(const Box& box) {
  double cx = 0.0, rx = 0.0, cy = 0.0, ry = 0.0;
  project(box, 1.0, 0.0, cx, rx);
  project(box, 0.0, 1.0, cy, ry);
  return {cx - rx, cy - ry, cx + rx, cy + ry};
}

bool boxesOverlap(const Box& a, const Box& b) {
  // Two convex shapes are apart when some edge's axis separates them.
  for (const Box* owner : {&a, &b}) {
    const double c = std::cos(owner->angle);
    const double s = std::sin(owner->angle);
    for (const auto& [ux, uy] : {std::pair{c, s}, std::pair{-s, c}}) {
      double ca = 0.0, ra = 0.0, cb = 0.0, rb = 0.0;
      project(a, ux, uy, ca, ra);
      project(b, ux, uy, cb, rb);
      if (std::fabs(ca - cb) >= ra + rb - kTolerance) return false;
    }
  }
  return true;
}

Box segmentBox(double x1, double y1, double x2, double y2, double halfThickness, BoxKind kind) {
  const double length = std::hypot(x2 - x1, y2 - y1);
  return {(x1 + x2) / 2.0,
          (y1 + y2) / 2.0,
          length / 2.0,
          halfThickness,
          std::atan2(y2 - y1, x2 - x1),
          kind};
}

double textWidth(std::string_view text, double fontSize) {
  double em = 0.0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xc0) == 0x80) continue;  // a continuation byte: its character is counted
    if (c >= 0x80) {
      em += c < 0xe0 ? 0.8 : 1.0;  // accented Latin, Greek, Cyrillic; wider scripts
    } else if (std::string_view("ijl.,:;'|!").find(static_cast<char>(c)) !=
               std::string_view::npos) {
      em += 0.32;
    } else if (std::string_view("frtI -()[]").find(static_cast<char>(c)) !=
               std::string_view::npos) {
      em += 0.42;
    } else if (std::string_view("mwMW@%").find(static_cast<char>(c)) != std::string_view::npos) {
      em += 1.0;
    } else if (c >= 'A' && c <= 'Z') {
      em += 0.79;
    } else {
      em += 0.64;  // other letters, digits, '_' and the remaining signs
    }
  }
  return em * fontSize;
}

void addBox(BoxIndex& index, const Box& box) {
  const int at = static_cast<int>(index.boxes.size());
  index.boxes.push_back(box);
  const auto [first, last] = bandsOf(index, box);
  if (index.bands.size() <= last) index.bands.resize(last + 1);
  for (size_t band = first; band <= last; ++band) index.bands[band].push_back(at);
}

bool collides(const BoxIndex& index, const Box& box) {
  const auto [first, last] = bandsOf(index, box);
  for (size_t band = first; band <= last && band < index.bands.size(); ++band) {
    for (int at : index.bands[band]) {
      if (boxesOverlap(index.boxes[static_cast<size_t>(at)], box)) return true;
    }
  }
  return false;
}

}  // namespace scalesum
