#include "warnings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

#include "failure.h"

namespace scalesum {

namespace {

// What an end-of-run warning says of the figures it examined: how many of them it counts, and
// the most extreme of those and where it is.
struct FigureCount {
  int count = 0;
  int total = 0;  // the figures examined: those that exist (NA is no figure)
  double extreme = 0.0;
  std::string where;
};

// Returns the warning line "<count> of <total> <items> have <measure>, the <extremeName>
// <extreme> (<where>); the chain[s] <closing>", the extreme with `decimals` decimals and
// "chains" for a run of several `chains`; or an empty text when the count is 0.
std::string figureWarning(const FigureCount& figures, const char* items, const char* measure,
                          const char* extremeName, int decimals, size_t chains,
                          const char* closing) {
  if (figures.count == 0) return {};
  return warningText("%d of %d %s %s %s, the %s %.*f (%s); the %s %s", figures.count, figures.total,
                     items, figures.count == 1 ? "has" : "have", measure, extremeName, decimals,
                     figures.extreme, figures.where.c_str(), chains > 1 ? "chains" : "chain",
                     closing);
}

// Counts `figure`, which is worse than the extreme so far when `worse`; `at` tells where it is.
template <typename Where>
void offer(FigureCount& figures, double figure, bool worse, const Where& at) {
  if (figures.count++ == 0 || worse) {
    figures.extreme = figure;
    figures.where = at();
  }
}

}  // namespace

std::string unequalChainsWarning(const Results& results) {
  const std::vector<int32_t>& counts = results.chainSampleCounts;
  if (counts.size() < 2 ||
      std::adjacent_find(counts.begin(), counts.end(), std::not_equal_to<>()) == counts.end()) {
    return {};
  }
  std::string line = "the chains keep ";
  for (size_t c = 0; c < counts.size(); ++c) {
    if (c > 0) line += c + 1 < counts.size() ? ", " : " and ";
    line += std::to_string(counts[c]);
  }
  line +=
      " samples after the burn-in; R-hat and the bulk and tail effective sample sizes use "
      "the first " +
      std::to_string(*std::min_element(counts.begin(), counts.end())) + " of each";
  return warningText("%s", line.c_str());
}

std::string highRhatWarning(const Tree& tree, const Results& results,
                            const std::vector<ParamsRow>& paramRows,
                            const std::vector<std::string>& fieldNames,
                            const Thresholds& thresholds) {
  const size_t chains = results.chainSampleCounts.size();
  FigureCount high;
  visitConvergenceFigures(
      tree, results, paramRows, fieldNames,
      [&](const FigureSite& site, const std::optional<double>(&figures)[kMeasureCount]) {
        const std::optional<double>& rhat = figures[static_cast<int>(Measure::kRhat)];
        if (!rhat) return;
        ++high.total;
        if (breaksThreshold(Measure::kRhat, *rhat, thresholds, chains)) {
          offer(high, *rhat, *rhat > high.extreme, [&] { return describeSite(site); });
        }
      });
  char measure[80];
  std::snprintf(measure, sizeof measure, "an R-hat of %g or more", thresholds.rhatMax);
  // One chain's R-hat compares its halves: it says the chain moved on, not that runs disagree.
  return figureWarning(high, "series or columns", measure, "worst", 3, chains,
                       chains > 1 ? "may not have converged" : "may need to run longer");
}

std::string lowSampleSizeWarning(const Tree& tree, const Results& results,
                                 const Thresholds& thresholds) {
  const size_t chains = results.chainSampleCounts.size();
  FigureCount low;
  visitConvergenceFigures(
      tree, results, {}, {},
      [&](const FigureSite& site, const std::optional<double>(&figures)[kMeasureCount]) {
        const std::optional<double>& ess = figures[static_cast<int>(Measure::kTracerEss)];
        if (!ess) return;
        ++low.total;
        if (breaksThreshold(Measure::kTracerEss, *ess, thresholds, chains)) {
          offer(low, *ess, *ess < low.extreme, [&] { return describeSite(site); });
        }
      });
  char measure[80];
  std::snprintf(measure, sizeof measure, "an effective sample size below %g",
                thresholds.tracerEssMin);
  return figureWarning(low, "series", measure, "lowest", 1, chains, "may need to run longer");
}

std::string infiniteBayesFactorWarning(const Tree& tree, const Results& results) {
  int count = 0;
  int total = 0;                         // the branches with a Bayes factor (NA is none)
  std::unordered_set<const Node*> seen;  // a node at two positions counts once
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    if (!seen.insert(tree.nodes[i]).second) continue;
    bool any = false;
    bool infinite = false;
    for (const char* name : {"bf_changed", "bf_up", "bf_down"}) {
      const std::optional<double> factor = statisticByName(tree, results, i, name);
      any = any || factor.has_value();
      infinite = infinite || (factor && std::isinf(*factor));
    }
    total += any;
    count += infinite;
  }
  if (count == 0) return {};
  return warningText(
      "%d of %d branches %s an infinite Bayes factor, a share of 0 or 100%% in the samples or "
      "the prior's; more samples of either would bound %s",
      count, total, count == 1 ? "has" : "have", count == 1 ? "it" : "them");
}

std::string lowBulkOrTailWarning(const Tree& tree, const Results& results,
                                 const std::vector<ParamsRow>& paramRows,
                                 const std::vector<std::string>& fieldNames,
                                 const Thresholds& thresholds) {
  const size_t chains = results.chainSampleCounts.size();
  if (!judgesMeasure(Measure::kEssBulk, chains)) return {};
  FigureCount low;
  visitConvergenceFigures(
      tree, results, paramRows, fieldNames,
      [&](const FigureSite& site, const std::optional<double>(&figures)[kMeasureCount]) {
        const std::optional<double>& bulk = figures[static_cast<int>(Measure::kEssBulk)];
        const std::optional<double>& tail = figures[static_cast<int>(Measure::kEssTail)];
        if (!bulk && !tail) return;
        ++low.total;
        const bool lowBulk = bulk && breaksThreshold(Measure::kEssBulk, *bulk, thresholds, chains);
        const bool lowTail = tail && breaksThreshold(Measure::kEssTail, *tail, thresholds, chains);
        if (!lowBulk && !lowTail) return;
        const double lowest = !lowTail ? *bulk : !lowBulk ? *tail : std::min(*bulk, *tail);
        offer(low, lowest, lowest < low.extreme, [&] { return describeSite(site); });
      });
  char measure[120];
  std::snprintf(measure, sizeof measure,
                "a bulk or tail effective sample size below %g (%g per chain)",
                thresholdOf(Measure::kEssBulk, thresholds, chains), thresholds.essMin);
  return figureWarning(low, "series or columns", measure, "lowest", 1, chains,
                       "may need to run longer");
}

}  // namespace scalesum
