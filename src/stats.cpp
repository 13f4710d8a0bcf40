#include "stats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "report.h"

namespace scalesum {

namespace {

// The autocorrelation sums stop at this lag even for a chain that never decorrelates.
constexpr size_t kMaxLag = 2000;

// The per-series columns of the statistics file, in file order.
constexpr const char* kStatisticNames[] = {"n",         "mean",      "sd",  "median", "mode",
                                           "hpd_lower", "hpd_upper", "ess", "min",    "max"};

// Returns the statistic `index` of kStatisticNames.
std::optional<double> statisticAt(const SeriesStatistics& s, size_t index) {
  switch (index) {
    case 0:
      return static_cast<double>(s.n);
    case 1:
      return s.mean;
    case 2:
      return s.sd;
    case 3:
      return s.median;
    case 4:
      return s.mode;
    case 5:
      return s.hpdLower;
    case 6:
      return s.hpdUpper;
    case 7:
      return s.ess;
    case 8:
      return s.min;
    default:
      return s.max;
  }
}

// Splits "<series>_<statistic>" into its series and statistic index; false when it is not one.
bool parseStatisticName(std::string_view name, Series* series, size_t* statistic) {
  for (int s = 0; s < kSeriesCount; ++s) {
    const std::string_view prefix = kSeriesNames[s];
    if (name.size() <= prefix.size() + 1 || name.substr(0, prefix.size()) != prefix ||
        name[prefix.size()] != '_') {
      continue;
    }
    const std::string_view rest = name.substr(prefix.size() + 1);
    for (size_t k = 0; k < std::size(kStatisticNames); ++k) {
      if (rest == kStatisticNames[k]) {
        *series = static_cast<Series>(s);
        *statistic = k;
        return true;
      }
    }
  }
  return false;
}

// Appends the shortest text that reads back as `value`. The sign of a not-a-number carries no
// meaning, and "-nan" is the one spelling that not every reader of tables accepts.
void appendNumber(std::string& line, double value) {
  if (std::isnan(value)) {
    line += "nan";
    return;
  }
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  line.append(text, end);
}

void appendCell(std::string& line, const std::optional<double>& value) {
  line += '\t';
  if (value) {
    appendNumber(line, *value);
  } else {
    line += "NA";
  }
}

// Appends the node's sorted, comma-joined taxon names; a name holding a double quote makes the
// cell a quoted one, so that table readers take the quote as text.
void appendTaxa(std::string& line, const Node& node,
                const std::unordered_map<int32_t, const char*>& names,
                std::vector<const char*>& sorted) {
  sorted.clear();
  for (int32_t id : node.taxonIds) sorted.push_back(names.at(id));
  std::sort(sorted.begin(), sorted.end(),
            [](const char* a, const char* b) { return compareTaxonNames(a, b) < 0; });
  std::string cell;
  for (size_t k = 0; k < sorted.size(); ++k) {
    if (k > 0) cell += ',';
    cell += sorted[k];
  }
  if (cell.find('"') == std::string::npos) {
    line += cell;
    return;
  }
  line += '"';
  for (char c : cell) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

}  // namespace

std::pair<double, double> highestDensityInterval(const double* sorted, size_t n, double mass) {
  const auto wanted = static_cast<size_t>(std::floor(mass * static_cast<double>(n) + 0.5));
  const size_t d = std::clamp<size_t>(wanted, 1, n);
  size_t best = 0;
  double bestWidth = sorted[d - 1] - sorted[0];
  for (size_t i = 1; i + d <= n; ++i) {
    const double width = sorted[i + d - 1] - sorted[i];
    if (width < bestWidth) {
      bestWidth = width;
      best = i;
    }
  }
  return {sorted[best], sorted[best + d - 1]};
}

double effectiveSampleSize(const double* values, size_t n) {
  double sum = 0.0;
  for (size_t j = 0; j < n; ++j) sum += values[j];
  const double mean = sum / static_cast<double>(n);
  std::vector<double> x(n);
  for (size_t j = 0; j < n; ++j) x[j] = values[j] - mean;

  // Returns the autocovariance at lag k.
  const auto gamma = [&](size_t k) {
    double s = 0.0;
    for (size_t j = 0; j + k < n; ++j) s += x[j] * x[j + k];
    return s / static_cast<double>(n - k);
  };
  const size_t maxLag = std::min(n - 1, kMaxLag);
  const double gamma0 = gamma(0);
  double variance = gamma0;
  // Only the lags up to the first non-positive pair are ever computed: most chains stop long
  // before the cap.
  for (size_t k = 2; k < maxLag; k += 2) {
    const double pair = gamma(k - 1) + gamma(k);
    if (!(pair > 0.0)) break;
    variance += 2.0 * pair;
  }
  return static_cast<double>(n) * gamma0 / variance;
}

SeriesStatistics seriesStatistics(const Analysis& analysis, size_t position, Series series) {
  SeriesStatistics s;
  s.n = analysis.sampleCount;
  // The report prints placeholders for these nodes: their series are divisions by zero.
  if (analysis.nodes[position]->length == 0.0) return s;
  const SeriesResult& r = analysis.results[position].series[static_cast<int>(series)];
  s.mean = r.summary.mean;
  s.median = r.summary.median;
  s.min = r.min;
  s.max = r.max;
  if (s.n > 1) {
    s.sd = r.summary.stdDev;
    s.mode = r.mode;
  }
  if (r.allFinite) {
    s.hpdLower = r.hpdLower;
    s.hpdUpper = r.hpdUpper;
    if (r.min != r.max && std::isfinite(r.ess)) s.ess = r.ess;
  }
  return s;
}

bool isStatisticName(std::string_view name) {
  Series series;
  size_t statistic;
  return name == "pct_changed" || parseStatisticName(name, &series, &statistic);
}

std::optional<double> statisticByName(const Analysis& analysis, size_t position,
                                      std::string_view name) {
  if (name == "pct_changed") return percentChanged(analysis, position);
  Series series;
  size_t statistic;
  if (!parseStatisticName(name, &series, &statistic)) return std::nullopt;
  return statisticAt(seriesStatistics(analysis, position, series), statistic);
}

void writeStatistics(FILE* out, const Analysis& analysis) {
  std::fputs(
      "node_id\ttaxa\tseries\tn\tmean\tsd\tmedian\tmode\thpd_lower\thpd_upper\tess\tmin\tmax\t"
      "changed\tpct_changed\n",
      out);
  std::unordered_map<int32_t, const char*> names;
  std::vector<const char*> sorted;
  std::string line;
  try {
    for (const Taxon& taxon : analysis.taxa) names.emplace(taxon.id, taxon.name.c_str());
    for (size_t i = 0; i < analysis.nodes.size(); ++i) {
      const Node& node = *analysis.nodes[i];
      for (int s = 0; s < kSeriesCount; ++s) {
        const SeriesStatistics stats = seriesStatistics(analysis, i, static_cast<Series>(s));
        line = std::to_string(node.id);
        line += '\t';
        appendTaxa(line, node, names, sorted);
        line += '\t';
        line += kSeriesNames[s];
        line += '\t';
        line += std::to_string(stats.n);
        for (size_t k = 1; k < std::size(kStatisticNames); ++k) {
          appendCell(line, statisticAt(stats, k));
        }
        line += '\t';
        line += std::to_string(analysis.results[i].changedCount);
        line += '\t';
        appendNumber(line, percentChanged(analysis, i));
        line += '\n';
        std::fputs(line.c_str(), out);
      }
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 20);
  }
}

}  // namespace scalesum
