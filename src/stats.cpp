#include "stats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "report.h"

namespace scalesum {

namespace {

// One column of the statistics file, after node_id, taxa and series: the name of its header
// cell and its value on the row of one node and series (empty: NA). A per-node column repeats
// on the node's four rows and colours branches by its bare name; a per-series one by
// "<series>_<name>".
struct Column {
  const char* name;
  bool perNode;
  bool count;  // written as a whole number, never in exponent form
  std::optional<double> (*value)(const Analysis& analysis, size_t position,
                                 const SeriesStatistics& s);
};

// The columns in file order.
constexpr Column kColumns[] = {
    {"n", false, true,
     [](const Analysis&, size_t, const SeriesStatistics& s) -> std::optional<double> {
       return s.n;
     }},
    {"mean", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.mean; }},
    {"sd", false, false, [](const Analysis&, size_t, const SeriesStatistics& s) { return s.sd; }},
    {"median", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.median; }},
    {"mode", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.mode; }},
    {"hpd_lower", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.hpdLower; }},
    {"hpd_upper", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.hpdUpper; }},
    {"ess", false, false, [](const Analysis&, size_t, const SeriesStatistics& s) { return s.ess; }},
    {"min", false, false, [](const Analysis&, size_t, const SeriesStatistics& s) { return s.min; }},
    {"max", false, false, [](const Analysis&, size_t, const SeriesStatistics& s) { return s.max; }},
    {"changed", true, true,
     [](const Analysis& a, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return a.results[at].changedCount;
     }},
    {"pct_changed", true, false,
     [](const Analysis& a, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return percentChanged(a, at);
     }},
    {"pct_up", true, false,
     [](const Analysis& a, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return percentUp(a, at);
     }},
    {"pct_down", true, false,
     [](const Analysis& a, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return percentDown(a, at);
     }},
    // Whether the chains agree; at the end, so that readers of the earlier columns by
    // position read on as before.
    {"chains", true, true,
     [](const Analysis& a, size_t, const SeriesStatistics&) -> std::optional<double> {
       return a.chainSampleCounts.empty() ? 1.0 : static_cast<double>(a.chainSampleCounts.size());
     }},
    {"rhat", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.rhat; }},
    {"ess_bulk", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.essBulk; }},
    {"ess_tail", false, false,
     [](const Analysis&, size_t, const SeriesStatistics& s) { return s.essTail; }},
};

// Finds the column and series of the statistic `name`; false when it names none.
bool parseStatisticName(std::string_view name, Series* series, const Column** column) {
  for (const Column& c : kColumns) {
    if (c.perNode && name == c.name) {
      *series = Series::kScalar;
      *column = &c;
      return true;
    }
  }
  for (int s = 0; s < kSeriesCount; ++s) {
    const std::string_view prefix = kSeriesNames[s];
    if (name.size() <= prefix.size() + 1 || name.substr(0, prefix.size()) != prefix ||
        name[prefix.size()] != '_') {
      continue;
    }
    const std::string_view rest = name.substr(prefix.size() + 1);
    for (const Column& c : kColumns) {
      if (!c.perNode && rest == c.name) {
        *series = static_cast<Series>(s);
        *column = &c;
        return true;
      }
    }
  }
  return false;
}

// Sets `cell` to the node's sorted, comma-joined taxon names; a name holding a double quote
// makes the cell a quoted one, so that table readers take the quote as text.
void taxaCell(std::string& cell, const Node& node,
              const std::unordered_map<int32_t, const char*>& names,
              std::vector<const char*>& sorted) {
  sortTaxonNames(node, names, sorted);
  cell.clear();
  for (size_t k = 0; k < sorted.size(); ++k) {
    if (k > 0) cell += ',';
    cell += sorted[k];
  }
  if (cell.find('"') == std::string::npos) return;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  cell = quoted + '"';
}

}  // namespace

void appendStatisticNumber(std::string& line, double value) {
  // The sign of a not-a-number carries no meaning, and "-nan" is the one spelling that not
  // every reader of tables accepts.
  if (std::isnan(value)) {
    line += "nan";
    return;
  }
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  line.append(text, end);
}

void appendStatisticCell(std::string& line, const std::optional<double>& value) {
  line += '\t';
  if (value) {
    appendStatisticNumber(line, *value);
  } else {
    line += "NA";
  }
}

SeriesStatistics reportedStatistics(const SeriesResult& r, int32_t n) {
  SeriesStatistics s;
  s.n = n;
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
  auto unlessNA = [](double v) { return std::isnan(v) ? std::nullopt : std::optional<double>(v); };
  s.rhat = unlessNA(r.convergence.rhat);
  s.essBulk = unlessNA(r.convergence.essBulk);
  s.essTail = unlessNA(r.convergence.essTail);
  return s;
}

double percentUp(const Analysis& analysis, size_t position) {
  const int32_t count = analysis.results[position].series[0].aboveOne;
  return static_cast<double>(count) / static_cast<double>(analysis.tally.samplesSeen) * 100.0;
}

double percentDown(const Analysis& analysis, size_t position) {
  const int32_t count = analysis.results[position].series[0].belowOne;
  return static_cast<double>(count) / static_cast<double>(analysis.tally.samplesSeen) * 100.0;
}

int credibleShift(const Analysis& analysis, size_t position, double percent) {
  if (percentUp(analysis, position) >= percent) return 1;
  if (percentDown(analysis, position) >= percent) return -1;
  return 0;
}

std::string credibleShiftsLine(const Analysis& analysis, double percent) {
  int up = 0;
  int down = 0;
  std::unordered_set<const Node*> seen;  // a node at two positions (duplicate ids) counts once
  for (size_t i = 0; i < analysis.nodes.size(); ++i) {
    if (!seen.insert(analysis.nodes[i]).second) continue;
    const int shift = credibleShift(analysis, i, percent);
    up += shift > 0;
    down += shift < 0;
  }
  char line[256];
  std::snprintf(line, sizeof line,
                "Scalesum: %d credible %s and %d credible %s (Scalar above or below 1 in at "
                "least %g%% of the samples)\n",
                up, up == 1 ? "increase" : "increases", down, down == 1 ? "decrease" : "decreases",
                percent);
  return line;
}

SeriesStatistics seriesStatistics(const Analysis& analysis, size_t position, Series series) {
  // The report prints placeholders for these nodes: their series are divisions by zero.
  if (analysis.nodes[position]->length == 0.0) {
    SeriesStatistics s;
    s.n = analysis.sampleCount;
    return s;
  }
  return reportedStatistics(analysis.results[position].series[static_cast<int>(series)],
                            analysis.sampleCount);
}

bool isStatisticName(std::string_view name) {
  Series series;
  const Column* column;
  // The counts are columns but not colourings: pct_changed shows the same, and every branch
  // has the run's number of chains.
  return name != "changed" && name != "chains" && parseStatisticName(name, &series, &column);
}

std::optional<double> statisticByName(const Analysis& analysis, size_t position,
                                      std::string_view name) {
  Series series;
  const Column* column;
  if (!parseStatisticName(name, &series, &column)) return std::nullopt;
  return column->value(analysis, position, seriesStatistics(analysis, position, series));
}

void writeStatistics(FILE* out, const Analysis& analysis) {
  std::string line;
  std::string taxa;
  std::vector<const char*> sorted;
  try {
    line = "node_id\ttaxa\tseries";
    for (const Column& column : kColumns) {
      line += '\t';
      line += column.name;
    }
    line += '\n';
    std::fputs(line.c_str(), out);
    const std::unordered_map<int32_t, const char*> names = namesById(analysis);
    for (size_t i = 0; i < analysis.nodes.size(); ++i) {
      const Node& node = *analysis.nodes[i];
      taxaCell(taxa, node, names, sorted);
      for (int s = 0; s < kSeriesCount; ++s) {
        const SeriesStatistics stats = seriesStatistics(analysis, i, static_cast<Series>(s));
        line = std::to_string(node.id);
        line += '\t';
        line += taxa;
        line += '\t';
        line += kSeriesNames[s];
        for (const Column& column : kColumns) {
          const std::optional<double> value = column.value(analysis, i, stats);
          if (column.count && value) {
            line += '\t';
            line += std::to_string(static_cast<int64_t>(*value));
          } else {
            appendStatisticCell(line, value);
          }
        }
        line += '\n';
        std::fputs(line.c_str(), out);
      }
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 20);
  }
}

std::string figureWarning(const FigureCount& figures, const char* items, const char* measure,
                          const char* extremeName, int decimals, size_t chains,
                          const char* closing) {
  if (figures.count == 0) return {};
  char line[512];
  std::snprintf(line, sizeof line,
                "Scalesum: warning: %d of %d %s %s %s, the %s %.*f (%s); the %s %s\n",
                figures.count, figures.total, items, figures.count == 1 ? "has" : "have", measure,
                extremeName, decimals, figures.extreme, figures.where.c_str(),
                chains > 1 ? "chains" : "chain", closing);
  return line;
}

std::string lowSampleSizeWarning(const Analysis& analysis) {
  FigureCount low;
  std::unordered_set<const Node*> seen;  // a node at two positions counts once
  for (size_t i = 0; i < analysis.nodes.size(); ++i) {
    if (!seen.insert(analysis.nodes[i]).second) continue;
    for (int s = 0; s < kSeriesCount; ++s) {
      const std::optional<double> ess = seriesStatistics(analysis, i, static_cast<Series>(s)).ess;
      if (!ess) continue;
      ++low.total;
      if (!(*ess < kLowSampleSize)) continue;
      if (low.count++ == 0 || *ess < low.extreme) {
        low.extreme = *ess;
        low.where = "node " + std::to_string(analysis.nodes[i]->id) + ", " + kSeriesNames[s];
      }
    }
  }
  char measure[80];
  std::snprintf(measure, sizeof measure, "an effective sample size below %g", kLowSampleSize);
  return figureWarning(low, "series", measure, "lowest", 1, analysis.chainSampleCounts.size(),
                       "may need to run longer");
}

}  // namespace scalesum
