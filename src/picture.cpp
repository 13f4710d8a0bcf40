#include "picture.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <vector>

#include "report.h"
#include "stats.h"
#include "treefile.h"

namespace scalesum {

namespace {

#include "colourTables.inc"

constexpr double kRowHeight = 14.0;
constexpr double kTreeWidth = 600.0;
constexpr double kMargin = 16.0;
constexpr double kTreeTop = 104.0;
constexpr double kLabelGap = 5.0;
constexpr double kCharWidth = 6.6;  // a generous average advance of 11-pixel sans-serif
constexpr double kBarWidth = 240.0;

// The value on the scale's axis: log2 for a ratio; NaN where there is none.
double scaleValue(const Analysis& analysis, const ColourScale& scale, size_t position) {
  const std::optional<double> value = statisticByName(analysis, position, scale.statistic);
  if (!value) return NAN;
  return scale.log2Scale ? std::log2(*value) : *value;
}

// Whether the branch above the node at `position` is coloured at all.
bool isColoured(const Analysis& analysis, int64_t position) {
  if (position < 0) return false;
  const auto at = static_cast<size_t>(position);
  return analysis.nodes[at] != analysis.root && analysis.results[at].changedCount > 0;
}

// The p-th quantile (0 <= p <= 1) of the ascending values, interpolated between neighbours.
double quantile(const std::vector<double>& sorted, double p) {
  const double h = p * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<size_t>(std::floor(h));
  const size_t above = std::min(below + 1, sorted.size() - 1);
  return sorted[below] + (h - static_cast<double>(below)) * (sorted[above] - sorted[below]);
}

uint32_t rgb(const unsigned char (&entry)[3]) {
  return static_cast<uint32_t>(entry[0]) << 16 | static_cast<uint32_t>(entry[1]) << 8 | entry[2];
}

// The colour at t in [0, 1] along the scale's table.
uint32_t colourAt(const ColourScale& scale, double t) {
  if (!scale.log2Scale) return rgb(kViridis[static_cast<size_t>(std::lround(t * 255.0))]);
  const double at = t * 10.0;
  const auto below = std::min<size_t>(static_cast<size_t>(at), 9);
  const double f = at - static_cast<double>(below);
  uint32_t colour = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const double a = kBlueWhiteRed[below][2 - shift / 8];
    const double b = kBlueWhiteRed[below + 1][2 - shift / 8];
    colour |= static_cast<uint32_t>(std::lround(a + f * (b - a))) << shift;
  }
  return colour;
}

bool isNearWhite(uint32_t colour) {
  return (colour >> 16) >= 0xd8 && ((colour >> 8) & 0xff) >= 0xd8 && (colour & 0xff) >= 0xd8;
}

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

// The number of characters of a label, for its width.
size_t characterCount(std::string_view text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xc0) != 0x80;
  return count;
}

void appendHeader(std::string& out, const Analysis& analysis, const ColourScale& scale,
                  double pixelsPerUnit) {
  const std::string& path = analysis.log.path;
  const size_t slash = path.find_last_of('/');
  out += "<text x=\"16\" y=\"24\" font-size=\"14\" font-weight=\"bold\">";
  out += xmlText(slash == std::string::npos ? path : path.substr(slash + 1));
  out += ": " + std::to_string(analysis.sampleCount) + " retained samples</text>\n";

  out += "<text x=\"16\" y=\"45\" font-size=\"11\">" + xmlText(scale.statistic);
  out += scale.log2Scale ? " (log2 scale)</text>\n" : "</text>\n";
  out += "<defs><linearGradient id=\"scale\">";
  const size_t steps = scale.log2Scale ? 10 : 255;
  for (size_t k = 0; k <= steps; ++k) {
    const double t = static_cast<double>(k) / static_cast<double>(steps);
    out += "<stop offset=\"";
    appendFixed(out, t, 4);
    out += "\" stop-color=\"";
    appendHex(out, colourAt(scale, t));
    out += "\"/>";
  }
  out += "</linearGradient></defs>\n";
  out +=
      "<rect x=\"16\" y=\"50\" width=\"240\" height=\"12\" fill=\"url(#scale)\" "
      "stroke=\"#999\"/>\n";
  out += "<g font-size=\"10\" text-anchor=\"middle\">\n";
  for (int k = 0; k <= 4; ++k) {
    const double t = k / 4.0;
    const double x = kMargin + t * kBarWidth;
    const double value = scale.low + t * (scale.high - scale.low);
    out += "<path d=\"M";
    appendFixed(out, x, 1);
    out += " 62V66\" stroke=\"#000\"/><text x=\"";
    appendFixed(out, x, 1);
    out += "\" y=\"77\">";
    appendTickLabel(out, scale.log2Scale ? std::exp2(value) : value);
    out += "</text>\n";
  }
  out +=
      "</g>\n<text x=\"16\" y=\"94\" font-size=\"10\">Line width: how often the samples "
      "changed a branch (1 px never, 4 px always); grey: never changed</text>\n";

  // The scale bar: the largest 1, 2 or 5 times a power of ten within a quarter of the tree.
  if (!(pixelsPerUnit > 0.0) || !std::isfinite(pixelsPerUnit)) return;
  const double quarter = kTreeWidth / 4.0 / pixelsPerUnit;
  double unit = std::pow(10.0, std::floor(std::log10(quarter)));
  for (double factor : {5.0, 2.0}) {
    if (unit * factor <= quarter) {
      unit *= factor;
      break;
    }
  }
  const double x0 = kMargin + kBarWidth + 40.0;
  out += "<text x=\"";
  appendFixed(out, x0, 1);
  out += "\" y=\"45\" font-size=\"11\">branch length</text>\n<path d=\"M";
  appendFixed(out, x0, 1);
  out += " 56h";
  appendFixed(out, unit * pixelsPerUnit, 1);
  out += "\" stroke=\"#000\" stroke-width=\"2\"/>\n<text x=\"";
  appendFixed(out, x0, 1);
  out += "\" y=\"77\" font-size=\"10\">";
  appendTickLabel(out, unit);
  out += "</text>\n";
}

}  // namespace

bool isRatioStatistic(std::string_view name) {
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

ColourScale colourScale(const Analysis& analysis, std::string_view name) {
  ColourScale scale;
  scale.statistic = std::string(name);
  scale.log2Scale = isRatioStatistic(name);
  std::vector<double> values;
  for (size_t j = 0; j < analysis.nodes.size(); ++j) {
    if (!isColoured(analysis, static_cast<int64_t>(j))) continue;
    const double value = scaleValue(analysis, scale, j);
    if (std::isfinite(value)) values.push_back(value);
  }
  if (values.empty()) return scale;
  std::sort(values.begin(), values.end());
  scale.low = quantile(values, 0.02);
  scale.high = quantile(values, 0.98);
  if (scale.log2Scale) {
    scale.high = std::max(std::fabs(scale.low), std::fabs(scale.high));
    scale.low = -scale.high;
  }
  return scale;
}

uint32_t branchColour(const Analysis& analysis, const ColourScale& scale, int64_t position) {
  if (!isColoured(analysis, position)) return kUnchangedGrey;
  const double value = scaleValue(analysis, scale, static_cast<size_t>(position));
  if (std::isnan(value)) return kUnchangedGrey;
  // A scale of one value has no extent: its colour is the middle one. Values beyond the ends,
  // infinities among them, take the end colours.
  if (!(scale.high > scale.low)) return colourAt(scale, 0.5);
  if (value <= scale.low) return colourAt(scale, 0.0);
  if (value >= scale.high) return colourAt(scale, 1.0);
  return colourAt(scale, (value - scale.low) / (scale.high - scale.low));
}

double branchWidth(const Analysis& analysis, int64_t position) {
  if (!isColoured(analysis, position)) return 1.0;
  return 1.0 + 3.0 * percentChanged(analysis, static_cast<size_t>(position)) / 100.0;
}

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

void writePicture(FILE* out, const Analysis& analysis, const TreeLayout& layout,
                  std::string_view colorBy) {
  try {
    const ColourScale scale = colourScale(analysis, colorBy);

    double minDepth = 0.0;
    double maxDepth = 0.0;
    for (const TreeItem& item : layout.items) {
      minDepth = std::min(minDepth, item.depth);
      maxDepth = std::max(maxDepth, item.depth);
    }
    const double pixelsPerUnit = maxDepth > minDepth ? kTreeWidth / (maxDepth - minDepth) : 0.0;
    const auto xOf = [&](double depth) { return kMargin + (depth - minDepth) * pixelsPerUnit; };
    const auto yOf = [&](double row) { return kTreeTop + (row + 0.5) * kRowHeight; };

    double width = kMargin + 500.0;  // the header's longest line
    for (const TreeItem& item : layout.items) {
      if (item.taxon < 0) continue;
      const std::string& name = analysis.taxa[static_cast<size_t>(item.taxon)].name;
      width = std::max(width, xOf(item.depth) + kLabelGap +
                                  kCharWidth * static_cast<double>(characterCount(name)) + kMargin);
    }
    const double height = yOf(layout.tipCount) + kMargin;

    std::string svg;
    svg.reserve(layout.items.size() * 120 + 16384);
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"";
    appendFixed(svg, std::ceil(width), 0);
    svg += "\" height=\"";
    appendFixed(svg, std::ceil(height), 0);
    svg += "\" font-family=\"sans-serif\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    appendHeader(svg, analysis, scale, pixelsPerUnit);

    // The elbows in one neutral path; then each branch in its own colour and width.
    svg += "<g fill=\"none\">\n<path stroke=\"#666\" d=\"";
    std::vector<double> firstRow(layout.items.size(), NAN), lastRow(layout.items.size(), NAN);
    for (const TreeItem& item : layout.items) {
      if (item.parent < 0) continue;
      const auto parent = static_cast<size_t>(item.parent);
      if (std::isnan(firstRow[parent])) firstRow[parent] = item.row;
      lastRow[parent] = item.row;
    }
    for (size_t i = 0; i < layout.items.size(); ++i) {
      if (std::isnan(firstRow[i]) || firstRow[i] == lastRow[i]) continue;
      svg += 'M';
      appendFixed(svg, xOf(layout.items[i].depth), 1);
      svg += ' ';
      appendFixed(svg, yOf(firstRow[i]), 1);
      svg += 'V';
      appendFixed(svg, yOf(lastRow[i]), 1);
    }
    svg += "\"/>\n";
    for (const TreeItem& item : layout.items) {
      if (item.parent < 0) continue;
      const uint32_t colour = branchColour(analysis, scale, item.position);
      const double strokeWidth = branchWidth(analysis, item.position);
      std::string path = "<path d=\"M";
      appendFixed(path, xOf(layout.items[static_cast<size_t>(item.parent)].depth), 1);
      path += ' ';
      appendFixed(path, yOf(item.row), 1);
      path += 'H';
      appendFixed(path, xOf(item.depth), 1);
      path += "\" stroke=\"";
      // A branch near the scale's white would vanish on the background: it gets an outline.
      if (isNearWhite(colour)) {
        svg += path + "#999\" stroke-width=\"";
        appendFixed(svg, strokeWidth + 1.5, 2);
        svg += "\"/>\n";
      }
      svg += path;
      appendHex(svg, colour);
      svg += "\" stroke-width=\"";
      appendFixed(svg, strokeWidth, 2);
      svg += "\"/>\n";
    }
    svg += "</g>\n<g font-size=\"11\">\n";
    for (const TreeItem& item : layout.items) {
      if (item.taxon < 0) continue;
      svg += "<text x=\"";
      appendFixed(svg, xOf(item.depth) + kLabelGap, 1);
      svg += "\" y=\"";
      appendFixed(svg, yOf(item.row) + 4.0, 1);
      svg += "\">";
      svg += xmlText(analysis.taxa[static_cast<size_t>(item.taxon)].name);
      svg += "</text>\n";
    }
    svg += "</g>\n</svg>\n";
    std::fwrite(svg.data(), 1, svg.size(), out);
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 30);
  }
}

}  // namespace scalesum
