#include "svgplots.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <numeric>

namespace scalesum {

namespace {

// Chains are told apart by colours that readers with the common colour deficiencies see as
// distinct (Okabe and Ito's set, black left for the axes).
constexpr const char* kChainColours[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7",
                                         "#e69f00", "#56b4e9", "#f0e442", "#666666"};

const char* chainColour(size_t chain) {
  return kChainColours[chain % std::size(kChainColours)];
}

constexpr double kPlotWidth = 320.0;
constexpr double kPlotHeight = 150.0;
constexpr double kLeft = 64.0;  // room for the value axis' labels
constexpr double kRight = 8.0;
constexpr double kTop = 8.0;
constexpr double kBottom = 22.0;  // room for the sample axis' labels

// A coordinate to a tenth of a pixel, whole pixels without their ".0".
void appendPixel(std::string& out, double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  const bool whole = end.ptr[-1] == '0' && end.ptr[-2] == '.';
  out.append(text, whole ? end.ptr - 2 : end.ptr);
}

// Where a plot's data go: [x0, x1] × [y0, y1] on the page, from [low, high] of the data.
struct Axis {
  double low;
  double high;
  double from;  // pixel of `low`
  double to;    // pixel of `high`
};

// An axis over the data's finite range; a range without extent is widened to one, so that
// every value has a place.
Axis axisOver(double low, double high, double from, double to) {
  if (!(high > low)) {
    const double pad = low == 0.0 || !std::isfinite(low) ? 0.5 : std::fabs(low) * 0.05;
    low = std::isfinite(low) ? low - pad : -0.5;
    high = std::isfinite(high) ? high + pad : 0.5;
  }
  return {low, high, from, to};
}

double pixelOf(const Axis& axis, double value) {
  return axis.from + (value - axis.low) / (axis.high - axis.low) * (axis.to - axis.from);
}

// The finite range of all chains' values: {+inf, -inf} when there is none.
std::pair<double, double> finiteRange(const std::vector<std::span<const double>>& chains) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (const auto chain : chains) {
    for (double v : chain) {
      if (!std::isfinite(v)) continue;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  return {low, high};
}

void openSvg(std::string& out, double width, double height) {
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"";
  appendPixel(out, width);
  out += "\" height=\"";
  appendPixel(out, height);
  out += "\" font-family=\"sans-serif\" font-size=\"10\">";
}

// A text at (x, y) anchored as `anchor` says ("start", "middle", "end").
void appendText(std::string& out, double x, double y, const char* anchor, const std::string& text) {
  out += "<text x=\"";
  appendPixel(out, x);
  out += "\" y=\"";
  appendPixel(out, y);
  out += "\" text-anchor=\"";
  out += anchor;
  out += "\">" + text + "</text>";
}

// The frame of a plot, the value axis labelled at its ends and the sample axis' ends.
void appendFrame(std::string& out, const Axis& x, const Axis& y, const std::string& xLow,
                 const std::string& xHigh) {
  out += "<rect x=\"";
  appendPixel(out, x.from);
  out += "\" y=\"";
  appendPixel(out, y.to);
  out += "\" width=\"";
  appendPixel(out, x.to - x.from);
  out += "\" height=\"";
  appendPixel(out, y.from - y.to);
  out += "\" fill=\"none\" stroke=\"#999999\"/>";
  appendText(out, x.from - 3.0, y.to + 8.0, "end", shortNumber(y.high));
  appendText(out, x.from - 3.0, y.from, "end", shortNumber(y.low));
  appendText(out, x.from, y.from + 13.0, "start", xLow);
  appendText(out, x.to, y.from + 13.0, "end", xHigh);
}

// One polyline through (x, y) pairs, or nothing for fewer than two.
void appendPolyline(std::string& out, const std::vector<double>& xy, const char* colour,
                    const char* extra) {
  if (xy.size() < 4) return;
  out += "<polyline fill=\"none\" stroke=\"";
  out += colour;
  out += "\" stroke-width=\"1\"";
  out += extra;
  out += " points=\"";
  for (size_t k = 0; k < xy.size(); k += 2) {
    if (k > 0) out += ' ';
    appendPixel(out, xy[k]);
    out += ',';
    appendPixel(out, xy[k + 1]);
  }
  out += "\"/>";
}

// The density at each bin's centre of the histogram smoothed by a Gaussian kernel whose
// bandwidth is Scott's rule on the values' spread, and no narrower than a bin.
std::vector<double> smoothedDensity(const Histogram& h, double sd, size_t n) {
  const size_t bins = h.counts.size();
  const double width = (h.high - h.low) / static_cast<double>(bins);
  double bandwidth = 1.06 * sd * std::pow(static_cast<double>(n), -0.2);
  if (!(bandwidth >= width)) bandwidth = width;
  std::vector<double> density(bins, 0.0);
  for (size_t i = 0; i < bins; ++i) {
    double sum = 0.0;
    for (size_t j = 0; j < bins; ++j) {
      if (h.counts[j] == 0) continue;
      const double z = (static_cast<double>(i) - static_cast<double>(j)) * width / bandwidth;
      sum += h.counts[j] * std::exp(-0.5 * z * z);
    }
    density[i] = sum / (static_cast<double>(n) * bandwidth * std::sqrt(2.0 * std::numbers::pi));
  }
  return density;
}

}  // namespace

Histogram makeHistogram(std::span<const double> values, double low, double high, size_t bins) {
  Histogram h{low, high, std::vector<uint32_t>(bins, 0)};
  const double scale = static_cast<double>(bins) / (high - low);
  for (double v : values) {
    if (std::isnan(v)) continue;
    const double at = (v - low) * scale;
    size_t bin = 0;
    if (at >= static_cast<double>(bins)) {
      bin = bins - 1;
    } else if (at > 0.0) {
      bin = static_cast<size_t>(at);
    }
    ++h.counts[bin];
  }
  return h;
}

size_t traceStride(size_t count, size_t maxPoints) {
  return count <= maxPoints ? 1 : (count + maxPoints - 1) / maxPoints;
}

std::vector<std::vector<uint32_t>> rankHistograms(
    const std::vector<std::span<const double>>& chains, size_t bins) {
  struct Draw {
    double value;
    uint32_t chain;
  };
  std::vector<Draw> pooled;
  for (size_t c = 0; c < chains.size(); ++c) {
    for (double v : chains[c]) {
      if (!std::isnan(v)) pooled.push_back({v, static_cast<uint32_t>(c)});
    }
  }
  std::sort(pooled.begin(), pooled.end(),
            [](const Draw& a, const Draw& b) { return a.value < b.value; });
  std::vector<std::vector<uint32_t>> counts(chains.size(), std::vector<uint32_t>(bins, 0));
  const double n = static_cast<double>(pooled.size());
  for (size_t first = 0; first < pooled.size();) {
    size_t last = first;
    while (last + 1 < pooled.size() && pooled[last + 1].value == pooled[first].value) ++last;
    // Tied draws share the average of the ranks first + 1 to last + 1, counted from 0 here.
    const double rank = (static_cast<double>(first) + static_cast<double>(last)) / 2.0;
    const auto bin = std::min(bins - 1, static_cast<size_t>(rank * static_cast<double>(bins) / n));
    for (size_t k = first; k <= last; ++k) ++counts[pooled[k].chain][bin];
    first = last + 1;
  }
  return counts;
}

std::string shortNumber(double value) {
  if (std::isnan(value)) return "NA";
  if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

std::string tracePlot(const std::vector<std::span<const double>>& chains) {
  const auto [low, high] = finiteRange(chains);
  size_t longest = 1;
  for (const auto chain : chains) longest = std::max(longest, chain.size());
  const Axis x = axisOver(0.0, static_cast<double>(longest - 1), kLeft, kPlotWidth - kRight);
  const Axis y = axisOver(low, high, kPlotHeight - kBottom, kTop);
  std::string out;
  openSvg(out, kPlotWidth, kPlotHeight);
  appendFrame(out, x, y, "0", std::to_string(longest - 1));
  std::vector<double> xy;
  for (size_t c = 0; c < chains.size(); ++c) {
    const size_t stride = traceStride(chains[c].size(), kMaxTracePoints);
    xy.clear();
    // On whole pixels, as fine as a line one pixel wide shows; a point on the pixel of the one
    // before it adds nothing.
    for (size_t i = 0; i < chains[c].size(); i += stride) {
      if (!std::isfinite(chains[c][i])) continue;
      const double px = std::round(pixelOf(x, static_cast<double>(i)));
      const double py = std::round(pixelOf(y, chains[c][i]));
      if (xy.size() >= 2 && xy[xy.size() - 2] == px && xy.back() == py) continue;
      xy.push_back(px);
      xy.push_back(py);
    }
    appendPolyline(out, xy, chainColour(c), " stroke-opacity=\"0.8\"");
  }
  return out + "</svg>";
}

std::string rankPlot(const std::vector<std::span<const double>>& chains) {
  constexpr size_t kBins = 20;
  constexpr double kRow = 36.0;
  const auto counts = rankHistograms(chains, kBins);
  const double height = kTop + kRow * static_cast<double>(chains.size()) + kBottom;
  std::string out;
  openSvg(out, kPlotWidth, height);
  const double binWidth = (kPlotWidth - kRight - kLeft) / kBins;
  for (size_t c = 0; c < chains.size(); ++c) {
    const double base = kTop + kRow * static_cast<double>(c + 1) - 4.0;
    uint32_t most = 1;
    for (uint32_t k : counts[c]) most = std::max(most, k);
    // The count of a bin when every chain spreads its draws evenly over the ranks.
    uint32_t drawn = 0;
    for (uint32_t k : counts[c]) drawn += k;
    const double even = static_cast<double>(drawn) / kBins;
    const double top = std::max(static_cast<double>(most), even);
    out += "<g fill=\"";
    out += chainColour(c);
    out += "\">";
    for (size_t b = 0; b < kBins; ++b) {
      const double h = (kRow - 8.0) * counts[c][b] / top;
      out += "<rect x=\"";
      appendPixel(out, kLeft + binWidth * static_cast<double>(b));
      out += "\" y=\"";
      appendPixel(out, base - h);
      out += "\" width=\"";
      appendPixel(out, binWidth - 1.0);
      out += "\" height=\"";
      appendPixel(out, h);
      out += "\"/>";
    }
    out += "</g><path d=\"M";
    appendPixel(out, kLeft);
    out += ' ';
    appendPixel(out, base - (kRow - 8.0) * even / top);
    out += "H";
    appendPixel(out, kPlotWidth - kRight);
    out += "\" stroke=\"#000000\" stroke-dasharray=\"3 2\"/>";
    appendText(out, kLeft - 3.0, base, "end", "chain " + std::to_string(c + 1));
  }
  appendText(out, kLeft, height - 6.0, "start", "lowest rank");
  appendText(out, kPlotWidth - kRight, height - 6.0, "end", "highest rank");
  return out + "</svg>";
}

std::string densityPlot(const std::vector<std::span<const double>>& chains) {
  constexpr size_t kBins = 100;
  const auto [low, high] = finiteRange(chains);
  const Axis x = axisOver(low, high, kLeft, kPlotWidth - kRight);
  std::vector<std::vector<double>> densities;
  double most = 0.0;
  for (const auto chain : chains) {
    double sum = 0.0, squares = 0.0;
    size_t n = 0;
    for (double v : chain) {
      if (!std::isfinite(v)) continue;
      sum += v;
      ++n;
    }
    const double mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
    for (double v : chain) {
      if (std::isfinite(v)) squares += (v - mean) * (v - mean);
    }
    const Histogram h = makeHistogram(chain, x.low, x.high, kBins);
    const double sd = n > 1 ? std::sqrt(squares / static_cast<double>(n - 1)) : 0.0;
    densities.push_back(n > 0 ? smoothedDensity(h, sd, n) : std::vector<double>(kBins, 0.0));
    for (double d : densities.back()) most = std::max(most, d);
  }
  const Axis y = axisOver(0.0, most, kPlotHeight - kBottom, kTop);
  std::string out;
  openSvg(out, kPlotWidth, kPlotHeight);
  appendFrame(out, x, y, shortNumber(x.low), shortNumber(x.high));
  std::vector<double> xy;
  for (size_t c = 0; c < densities.size(); ++c) {
    xy.clear();
    for (size_t b = 0; b < kBins; ++b) {
      xy.push_back(pixelOf(x, x.low + (static_cast<double>(b) + 0.5) * (x.high - x.low) / kBins));
      xy.push_back(pixelOf(y, densities[c][b]));
    }
    appendPolyline(out, xy, chainColour(c), " stroke-width=\"1.5\"");
  }
  return out + "</svg>";
}

std::string shiftDensityPlot(const Histogram& posterior, const Histogram& prior) {
  constexpr double kWidth = 220.0;
  constexpr double kHeight = 64.0;
  const size_t bins = posterior.counts.size();
  const Axis x = axisOver(posterior.low, posterior.high, 4.0, kWidth - 4.0);
  // Each histogram is scaled to its own total, so that a prior of another length compares.
  auto shares = [](const Histogram& h) {
    const double total = std::accumulate(h.counts.begin(), h.counts.end(), 0.0);
    std::vector<double> s(h.counts.size(), 0.0);
    for (size_t b = 0; b < s.size() && total > 0.0; ++b) s[b] = h.counts[b] / total;
    return s;
  };
  const std::vector<double> post = shares(posterior);
  const std::vector<double> before = shares(prior);
  double most = 0.0;
  for (double s : post) most = std::max(most, s);
  for (double s : before) most = std::max(most, s);
  const Axis y = axisOver(0.0, most, kHeight - 14.0, 4.0);
  std::string out;
  openSvg(out, kWidth, kHeight);
  const double binWidth = (x.to - x.from) / static_cast<double>(bins);
  out += "<path fill=\"#7f7f7f\" d=\"";
  for (size_t b = 0; b < bins; ++b) {
    if (post[b] <= 0.0) continue;
    out += 'M';
    appendPixel(out, x.from + binWidth * static_cast<double>(b));
    out += ' ';
    appendPixel(out, y.from);
    out += 'h';
    appendPixel(out, binWidth);
    out += 'V';
    appendPixel(out, pixelOf(y, post[b]));
    out += 'h';
    appendPixel(out, -binWidth);
    out += 'Z';
  }
  out += "\"/>";
  if (before.size() == bins) {
    std::vector<double> xy;
    for (size_t b = 0; b < bins; ++b) {
      xy.push_back(x.from + binWidth * (static_cast<double>(b) + 0.5));
      xy.push_back(pixelOf(y, before[b]));
    }
    appendPolyline(out, xy, "#000000", " stroke-dasharray=\"3 2\"");
  }
  if (x.low < 0.0 && x.high > 0.0) {
    out += "<path d=\"M";
    appendPixel(out, pixelOf(x, 0.0));
    out += " 4V";
    appendPixel(out, y.from);
    out += "\" stroke=\"#a80719\"/>";
  }
  appendText(out, x.from, kHeight - 3.0, "start", shortNumber(std::exp2(x.low)));
  appendText(out, x.to, kHeight - 3.0, "end", shortNumber(std::exp2(x.high)));
  return out + "</svg>";
}

}  // namespace scalesum
