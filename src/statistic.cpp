#include "statistic.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_set>

namespace scalesum {

namespace {

// Returns the Bayes factor of `hits` of the run's samples against the prior's count `prior` of
// the node at `position`; empty without prior logs, for a node of length 0, or where it does
// not exist.
std::optional<double> factorAgainstPrior(const Results& r, const SeriesStatistics& s, int64_t hits,
                                         int64_t ShiftCounts::*prior, size_t position) {
  if (r.prior.empty() || s.lengthless) return std::nullopt;
  const double factor =
      bayesFactor(hits, r.samplesSeen, r.prior[position].*prior, r.priorSampleCount);
  if (std::isnan(factor)) return std::nullopt;
  return factor;
}

// The columns in file order.
constexpr StatisticColumn kColumns[] = {
    {"n", false, Cell::kCount,
     [](const Results&, size_t, const SeriesStatistics& s) -> std::optional<double> {
       return s.n;
     }},
    {"mean", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.mean; }},
    {"sd", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.sd; }},
    {"median", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.median; }},
    {"mode", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.mode; }},
    {"hpd_lower", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.hpdLower; }},
    {"hpd_upper", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.hpdUpper; }},
    {"ess", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.ess; }},
    {"min", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.min; }},
    {"max", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.max; }},
    {"changed", true, Cell::kCount,
     [](const Results& r, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return r.nodes[at].changedCount;
     }},
    {"pct_changed", true, Cell::kReal,
     [](const Results& r, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return percentChanged(r, at);
     }},
    {"pct_up", true, Cell::kReal,
     [](const Results& r, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return percentUp(r, at);
     }},
    {"pct_down", true, Cell::kReal,
     [](const Results& r, size_t at, const SeriesStatistics&) -> std::optional<double> {
       return percentDown(r, at);
     }},
    // Whether the chains agree; at the end, so that readers of the earlier columns by
    // position read on as before.
    {"chains", true, Cell::kCount,
     [](const Results& r, size_t, const SeriesStatistics&) -> std::optional<double> {
       return r.chainSampleCounts.empty() ? 1.0 : static_cast<double>(r.chainSampleCounts.size());
     }},
    {"rhat", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.rhat; }},
    {"ess_bulk", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.essBulk; }},
    {"ess_tail", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.essTail; }},
    {"mcse_mean", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.mcseMean; }},
    {"mcse_sd", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.mcseSd; }},
    {"mcse_median", false, Cell::kReal,
     [](const Results&, size_t, const SeriesStatistics& s) { return s.mcseMedian; }},
    // Against the prior logs, last.
    {"prior_n", true, Cell::kCount,
     [](const Results& r, size_t, const SeriesStatistics&) -> std::optional<double> {
       if (r.prior.empty()) return std::nullopt;
       return static_cast<double>(r.priorSampleCount);
     }},
    {"prior_pct_changed", true, Cell::kReal,
     [](const Results& r, size_t at, const SeriesStatistics&) {
       return r.prior.empty() ? std::nullopt : priorPercent(r, r.prior[at].changed);
     }},
    {"prior_pct_up", true, Cell::kReal,
     [](const Results& r, size_t at, const SeriesStatistics&) {
       return r.prior.empty() ? std::nullopt : priorPercent(r, r.prior[at].above);
     }},
    {"prior_pct_down", true, Cell::kReal,
     [](const Results& r, size_t at, const SeriesStatistics&) {
       return r.prior.empty() ? std::nullopt : priorPercent(r, r.prior[at].below);
     }},
    {"bf_changed", true, Cell::kRatio,
     [](const Results& r, size_t at, const SeriesStatistics& s) {
       return factorAgainstPrior(r, s, r.nodes[at].changedCount, &ShiftCounts::changed, at);
     }},
    {"bf_up", true, Cell::kRatio,
     [](const Results& r, size_t at, const SeriesStatistics& s) {
       return factorAgainstPrior(r, s, r.nodes[at].series[0].aboveOne, &ShiftCounts::above, at);
     }},
    {"bf_down", true, Cell::kRatio,
     [](const Results& r, size_t at, const SeriesStatistics& s) {
       return factorAgainstPrior(r, s, r.nodes[at].series[0].belowOne, &ShiftCounts::below, at);
     }},
};

// Finds the column and series of the statistic `name`; false when it names none.
bool parseStatisticName(std::string_view name, Series* series, const StatisticColumn** column) {
  for (const StatisticColumn& c : kColumns) {
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
    for (const StatisticColumn& c : kColumns) {
      if (!c.perNode && rest == c.name) {
        *series = static_cast<Series>(s);
        *column = &c;
        return true;
      }
    }
  }
  return false;
}

}  // namespace

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
  s.mcseMean = unlessNA(r.errors.mean);
  s.mcseSd = unlessNA(r.errors.sd);
  s.mcseMedian = unlessNA(r.errors.median);
  return s;
}

SeriesStatistics seriesStatistics(const Tree& tree, const Results& results, size_t position,
                                  Series series) {
  // The report prints placeholders for these nodes: their series are divisions by zero.
  if (tree.nodes[position]->length == 0.0) {
    SeriesStatistics s;
    s.n = results.sampleCount;
    s.lengthless = true;
    return s;
  }
  return reportedStatistics(results.nodes[position].series[static_cast<int>(series)],
                            results.sampleCount);
}

namespace {

double percentOf(int64_t count, int64_t total) {
  return static_cast<double>(count) / static_cast<double>(total) * 100.0;
}

}  // namespace

double percentChanged(const Results& results, size_t position) {
  return percentOf(results.nodes[position].changedCount, results.samplesSeen);
}

double percentUp(const Results& results, size_t position) {
  return percentOf(results.nodes[position].series[0].aboveOne, results.samplesSeen);
}

double percentDown(const Results& results, size_t position) {
  return percentOf(results.nodes[position].series[0].belowOne, results.samplesSeen);
}

std::optional<double> priorPercent(const Results& results, int64_t count) {
  if (results.prior.empty()) return std::nullopt;
  return percentOf(count, results.priorSampleCount);
}

double bayesFactor(int64_t hits, int64_t count, int64_t priorHits, int64_t priorCount) {
  constexpr double kNA = std::numeric_limits<double>::quiet_NaN();
  if (count <= 0 || priorCount <= 0) return kNA;
  const bool none = hits == 0, all = hits == count;
  const bool priorNone = priorHits == 0, priorAll = priorHits == priorCount;
  if ((none && priorNone) || (all && priorAll)) return kNA;
  if (all || priorNone) return std::numeric_limits<double>::infinity();
  if (none || priorAll) return 0.0;
  const double odds = static_cast<double>(hits) / static_cast<double>(count - hits);
  const double priorOdds =
      static_cast<double>(priorHits) / static_cast<double>(priorCount - priorHits);
  return odds / priorOdds;
}

int credibleShift(const Results& results, size_t position, double percent) {
  if (percentUp(results, position) >= percent) return 1;
  if (percentDown(results, position) >= percent) return -1;
  return 0;
}

std::string credibleShiftsLine(const Tree& tree, const Results& results, double percent) {
  int up = 0;
  int down = 0;
  std::unordered_set<const Node*> seen;  // a node at two positions (duplicate ids) counts once
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    if (!seen.insert(tree.nodes[i]).second) continue;
    const int shift = credibleShift(results, i, percent);
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

std::span<const StatisticColumn> statisticColumns() {
  return kColumns;
}

bool isStatisticName(std::string_view name) {
  Series series;
  const StatisticColumn* column;
  // The counts are columns but not colourings: pct_changed shows the same, and every branch
  // has the run's number of chains and of prior samples.
  return name != "changed" && name != "chains" && name != "prior_n" &&
         parseStatisticName(name, &series, &column);
}

std::optional<double> statisticByName(const Tree& tree, const Results& results, size_t position,
                                      std::string_view name) {
  Series series;
  const StatisticColumn* column;
  if (!parseStatisticName(name, &series, &column)) return std::nullopt;
  return column->value(results, position, seriesStatistics(tree, results, position, series));
}

}  // namespace scalesum
