#include "treefile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <unordered_map>

#include "colours.h"
#include "failure.h"
#include "statistic.h"

namespace scalesum {

namespace {

void appendNumber(std::string& out, double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// Appends ",key=value" (no comma after the opening "[&"). Values that are NA, or not finite
// and so not numbers to the viewers, are left out.
void appendEntry(std::string& out, std::string_view key, const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) return;
  if (out.back() != '&') out += ',';
  out += key;
  out += '=';
  appendNumber(out, *value);
}

// The interval's name for probability mass `mass`, as "95%": the percentage is the mass's
// shortest decimal with the point moved, so that 0.95 never becomes 95.00000000000001.
std::string hpdName(double mass) {
  char text[400];  // room for the smallest mass in fixed notation
  const auto result = std::to_chars(text, text + sizeof text, mass, std::chars_format::fixed);
  std::string digits(text, result.ptr);  // "0.95", "0.975", "0.5"
  const size_t point = digits.find('.');
  std::string fraction = point == std::string::npos ? "" : digits.substr(point + 1);
  fraction.resize(std::max<size_t>(fraction.size(), 2), '0');
  std::string whole =
      digits.substr(0, point == std::string::npos ? digits.size() : point) + fraction.substr(0, 2);
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size() - 1));
  const std::string rest = fraction.substr(2);
  return whole + (rest.empty() ? "" : "." + rest) + "%_HPD";
}

// The statistics that each series annotates a node with: key suffix and column of the
// statistics file, in file order; the interval, whose key follows --hpd, has no column name.
struct SeriesAnnotation {
  const char* suffix;
  const char* column;
};
constexpr SeriesAnnotation kSeriesAnnotations[] = {
    {"", "mean"},    {"_median", "median"}, {"_mode", "mode"},
    {"_sd", "sd"},   {nullptr, nullptr},  // the interval
    {"_ess", "ess"}, {"_rhat", "rhat"},
};

// The per-node statistics that annotate a node, by their column names.
constexpr const char* kNodeAnnotations[] = {"changed",    "pct_changed", "pct_up", "pct_down",
                                            "bf_changed", "bf_up",       "bf_down"};

void appendInterval(std::string& out, const std::string& key, const SeriesStatistics& stats) {
  if (!stats.hpdLower || !stats.hpdUpper || !std::isfinite(*stats.hpdLower) ||
      !std::isfinite(*stats.hpdUpper)) {
    return;
  }
  if (out.back() != '&') out += ',';
  out += key + "={";
  appendNumber(out, *stats.hpdLower);
  out += ',';
  appendNumber(out, *stats.hpdUpper);
  out += '}';
}

void appendAnnotation(std::string& out, const Tree& tree, const Results& results,
                      const TreeItem& item, const ColourScale& scale, const std::string& hpdKey,
                      const TreeFileSettings& settings) {
  out += "[&";
  if (item.node != nullptr) {
    appendEntry(out, "id", item.node->id);
    appendEntry(out, "taxa", item.node->taxonCount);
  }
  if (item.position >= 0) {
    const auto position = static_cast<size_t>(item.position);
    for (const char* column : kNodeAnnotations) {
      appendEntry(out, column, statisticByName(tree, results, position, column));
    }
    for (int s = 0; s < kSeriesCount; ++s) {
      const SeriesStatistics stats =
          seriesStatistics(tree, results, position, static_cast<Series>(s));
      const std::string name = kSeriesNames[s];
      for (const SeriesAnnotation& entry : kSeriesAnnotations) {
        if (entry.column == nullptr) {
          appendInterval(out, name + '_' + hpdKey, stats);
        } else {
          appendEntry(out, name + entry.suffix,
                      statisticByName(tree, results, position, name + '_' + entry.column));
        }
      }
    }
    const int shift = credibleShift(results, position, settings.crediblePercent);
    if (shift != 0) out += shift > 0 ? ",shift=\"up\"" : ",shift=\"down\"";
  }
  if (settings.lengths != BranchLengths::kLogged && item.parent >= 0 &&
      !branchLength(tree, results, item, settings.lengths).second && item.length != 0.0) {
    if (out.back() != '&') out += ',';
    out += "scaled=\"no\"";
  }
  if (out.back() != '&') out += ',';
  char colour[16];
  std::snprintf(colour, sizeof colour, "!color=#%06x]",
                branchColour(tree, results, scale, item.position));
  out += colour;
}

}  // namespace

std::string nexusName(std::string_view name) {
  const bool bare = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
  });
  if (bare) return std::string(name);
  std::string quoted = "'";
  for (char c : name) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  return quoted + '\'';
}

std::pair<double, bool> branchLength(const Tree& tree, const Results& results, const TreeItem& item,
                                     BranchLengths lengths) {
  if (lengths == BranchLengths::kLogged || item.length == 0.0 || item.position < 0) {
    return {item.length, item.length == 0.0};
  }
  const SeriesStatistics scalar =
      seriesStatistics(tree, results, static_cast<size_t>(item.position), Series::kScalar);
  const std::optional<double>& m =
      lengths == BranchLengths::kScaledByMean ? scalar.mean : scalar.median;
  if (!m || !std::isfinite(*m)) return {item.length, false};
  return {item.length * *m, true};
}

std::pair<std::string, std::string> namesDifferingInCase(const Tree& tree) {
  std::unordered_map<std::string, size_t> firstByFolded;
  std::string folded;
  for (size_t k = 0; k < tree.taxa.size(); ++k) {
    const std::string& name = tree.taxa[k].name;
    folded = name;
    for (char& c : folded) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    const auto [at, isNew] = firstByFolded.emplace(folded, k);
    if (!isNew && tree.taxa[at->second].name != name) {
      return {tree.taxa[at->second].name, name};
    }
  }
  return {};
}

void writeTreeFile(FILE* out, const Tree& tree, const Results& results, const TreeLayout& layout,
                   const TreeFileSettings& settings) {
  try {
    const ColourScale scale = colourScale(tree, results, settings.colorBy);
    const std::string hpdKey = hpdName(results.hpdMass);

    std::string text = "#NEXUS\nBEGIN TREES;\n\tTRANSLATE\n";
    for (size_t k = 0; k < tree.taxa.size(); ++k) {
      text += "\t\t" + std::to_string(k + 1) + ' ' + nexusName(tree.taxa[k].name);
      text += k + 1 < tree.taxa.size() ? ",\n" : "\n";
    }
    text += "\t;\n\tTREE scalesum = [&R] ";

    // Each clade's ")" and annotation are written once the walk has left its subtree.
    const auto close = [&](size_t i) {
      const TreeItem& item = layout.items[i];
      if (item.taxon < 0) text += ')';
      appendAnnotation(text, tree, results, item, scale, hpdKey, settings);
      if (item.parent >= 0) {
        text += ':';
        appendNumber(text, branchLength(tree, results, item, settings.lengths).first);
      }
    };
    std::vector<size_t> open;
    for (size_t i = 0; i < layout.items.size(); ++i) {
      const TreeItem& item = layout.items[i];
      while (!open.empty() && static_cast<size_t>(layout.items[open.back()].end) <= i) {
        close(open.back());
        open.pop_back();
      }
      if (item.parent >= 0 && static_cast<size_t>(item.parent) + 1 != i) text += ',';
      if (item.taxon < 0) {
        text += '(';
        open.push_back(i);
      } else {
        text += std::to_string(item.taxon + 1);
        close(i);
      }
    }
    while (!open.empty()) {
      close(open.back());
      open.pop_back();
    }
    text += ";\nEND;\n";
    std::fwrite(text.data(), 1, text.size(), out);
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 32);
  }
}

}  // namespace scalesum
