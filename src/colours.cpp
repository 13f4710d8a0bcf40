#include "colours.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "statistic.h"

namespace scalesum {

namespace {

#include "colourTables.inc"

// The value on the scale's axis: log2 for a ratio; NaN where there is none.
double scaleValue(const Tree& tree, const Results& results, const ColourScale& scale,
                  size_t position) {
  const std::optional<double> value = statisticByName(tree, results, position, scale.statistic);
  if (!value) return NAN;
  return scale.log2Scale ? std::log2(*value) : *value;
}

// Whether the branch above the node at `position` is coloured at all.
bool isColoured(const Tree& tree, const Results& results, int64_t position) {
  if (position < 0) return false;
  const auto at = static_cast<size_t>(position);
  return tree.nodes[at] != tree.root && results.nodes[at].changedCount > 0;
}

// The p-th quantile (0 <= p <= 1) of the ascending values by R's type-7 rule, interpolated
// between neighbours as low + h (high - low). The tail diagnostics (convergence.cpp) follow the
// same rule rounded as R rounds it, which changes the last bits of about one result in four; the
// scale ends keep their own rounding.
double type7Quantile(const std::vector<double>& sorted, double p) {
  const double h = p * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<size_t>(std::floor(h));
  const size_t above = std::min(below + 1, sorted.size() - 1);
  return sorted[below] + (h - static_cast<double>(below)) * (sorted[above] - sorted[below]);
}

uint32_t rgb(const unsigned char (&entry)[3]) {
  return static_cast<uint32_t>(entry[0]) << 16 | static_cast<uint32_t>(entry[1]) << 8 | entry[2];
}

}  // namespace

bool isRatioStatistic(std::string_view name) {
  // Bayes factors are ratios of odds: 1 is no evidence either way.
  if (name == "bf_changed" || name == "bf_up" || name == "bf_down") return true;
  for (std::string_view series : {"scalar_", "sigv_"}) {
    if (name.substr(0, series.size()) != series) continue;
    const std::string_view rest = name.substr(series.size());
    for (std::string_view statistic :
         {"mean", "median", "mode", "hpd_lower", "hpd_upper", "min", "max"}) {
      if (rest == statistic) return true;
    }
  }
  return false;
}

ColourScale colourScale(const Tree& tree, const Results& results, std::string_view name) {
  ColourScale scale;
  scale.statistic = std::string(name);
  scale.log2Scale = isRatioStatistic(name);
  // A share of the samples reads against its whole range: auto-ranged, a branch changed in a
  // third of them would look high.
  if (name.starts_with("pct_")) {
    scale.high = 100.0;
    return scale;
  }
  std::vector<double> values;
  for (size_t j = 0; j < tree.nodes.size(); ++j) {
    if (!isColoured(tree, results, static_cast<int64_t>(j))) continue;
    const double value = scaleValue(tree, results, scale, j);
    if (std::isfinite(value)) values.push_back(value);
  }
  if (values.empty()) return scale;
  std::sort(values.begin(), values.end());
  scale.low = type7Quantile(values, 0.02);
  scale.high = type7Quantile(values, 0.98);
  if (scale.log2Scale) {
    scale.high = std::max(std::fabs(scale.low), std::fabs(scale.high));
    scale.low = -scale.high;
  }
  return scale;
}

uint32_t colourAt(const ColourScale& scale, double t) {
  // Viridis ends in colours too light to see on white; the scale stops before them.
  if (!scale.log2Scale) {
    return rgb(kViridis[static_cast<size_t>(std::lround(t * (kViridisReadable - 1)))]);
  }
  const double at = t * 10.0;
  const auto below = std::min<size_t>(static_cast<size_t>(at), 9);
  const double f = at - static_cast<double>(below);
  uint32_t colour = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const double a = kBlueGreyRed[below][2 - shift / 8];
    const double b = kBlueGreyRed[below + 1][2 - shift / 8];
    colour |= static_cast<uint32_t>(std::lround(a + f * (b - a))) << shift;
  }
  return colour;
}

size_t gradientSteps(const ColourScale& scale) {
  return scale.log2Scale ? 10 : kViridisReadable - 1;
}

uint32_t branchColour(const Tree& tree, const Results& results, const ColourScale& scale,
                      int64_t position) {
  if (!isColoured(tree, results, position)) return kUnscaledColour;
  const double value = scaleValue(tree, results, scale, static_cast<size_t>(position));
  if (std::isnan(value)) return kUnscaledColour;
  // A scale of one value has no extent: its colour is the middle one. Values beyond the ends,
  // infinities among them, take the end colours.
  if (!(scale.high > scale.low)) return colourAt(scale, 0.5);
  if (value <= scale.low) return colourAt(scale, 0.0);
  if (value >= scale.high) return colourAt(scale, 1.0);
  return colourAt(scale, (value - scale.low) / (scale.high - scale.low));
}

double branchWidth(const Tree& tree, const Results& results, int64_t position) {
  if (!isColoured(tree, results, position)) return 1.0;
  return 1.0 + 3.0 * percentChanged(results, static_cast<size_t>(position)) / 100.0;
}

double contrastOnWhite(uint32_t colour) {
  const auto linear = [](uint32_t channel) {
    const double c = static_cast<double>(channel & 0xff) / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double luminance =
      0.2126 * linear(colour >> 16) + 0.7152 * linear(colour >> 8) + 0.0722 * linear(colour);
  return 1.05 / (luminance + 0.05);
}

}  // namespace scalesum
