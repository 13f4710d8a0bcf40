#include "verdict.h"

#include <cstdio>

namespace scalesum {

std::string describeSite(const FigureSite& site) {
  if (site.series < 0) return "column " + site.column;
  return "node " + std::to_string(site.nodeId) + ", " + kSeriesNames[site.series];
}

bool judgesMeasure(Measure measure, size_t chains) {
  return chains > 1 || (measure != Measure::kEssBulk && measure != Measure::kEssTail);
}

double thresholdOf(Measure measure, const Thresholds& thresholds, size_t chains) {
  switch (measure) {
    case Measure::kRhat:
      return thresholds.rhatMax;
    case Measure::kTracerEss:
      return thresholds.tracerEssMin;
    default:
      return thresholds.essMin * static_cast<double>(chains);
  }
}

bool breaksThreshold(Measure measure, double figure, const Thresholds& thresholds, size_t chains) {
  if (!judgesMeasure(measure, chains)) return false;
  const double threshold = thresholdOf(measure, thresholds, chains);
  return measure == Measure::kRhat ? figure >= threshold : figure < threshold;
}

Verdict judgeRun(const Tree& tree, const Results& results, const std::vector<ParamsRow>& paramRows,
                 const std::vector<std::string>& fieldNames, const Thresholds& thresholds) {
  const size_t chains = results.chainSampleCounts.size();
  Verdict verdict;
  visitConvergenceFigures(
      tree, results, paramRows, fieldNames,
      [&](const FigureSite& site, const std::optional<double>(&figures)[kMeasureCount]) {
        for (int m = 0; m < kMeasureCount; ++m) {
          if (!figures[m]) continue;
          const Measure measure = static_cast<Measure>(m);
          const double figure = *figures[m];
          MeasureTally& tally = verdict.tallies[m];
          ++tally.examined;
          const bool worse =
              measure == Measure::kRhat ? figure > *tally.worst : figure < *tally.worst;
          if (!tally.worst || worse) {
            tally.worst = figure;
            tally.worstSite = site;
          }
          if (!breaksThreshold(measure, figure, thresholds, chains)) continue;
          ++tally.breaking;
          verdict.reasons.push_back(
              {measure, figure, thresholdOf(measure, thresholds, chains), site});
        }
      });
  for (int m = 0; m < kMeasureCount; ++m) {
    MeasureTally& tally = verdict.tallies[m];
    tally.judged = tally.examined > 0 && judgesMeasure(static_cast<Measure>(m), chains);
    verdict.judged = verdict.judged || tally.judged;
  }
  verdict.converged = verdict.judged && verdict.reasons.empty();
  return verdict;
}

std::string verdictWords(const Verdict& verdict) {
  if (!verdict.judged) return "not judged";
  if (verdict.converged) return "converged";
  const size_t count = verdict.reasons.size();
  return "not converged (" + std::to_string(count) + (count == 1 ? " reason)" : " reasons)");
}

std::string verdictReasonLines(const Verdict& verdict, const Thresholds& thresholds,
                               size_t chains) {
  if (!verdict.judged) {
    return "Scalesum: not judged: " + verdictReasons(verdict, thresholds, chains).front() + "\n";
  }
  std::string lines;
  for (const std::string& reason : verdictReasons(verdict, thresholds, chains)) {
    lines += "Scalesum: not converged: " + reason + "\n";
  }
  return lines;
}

std::vector<std::string> verdictReasons(const Verdict& verdict, const Thresholds& thresholds,
                                        size_t chains) {
  if (!verdict.judged) return {"no R-hat or effective sample size could be computed"};
  std::vector<std::string> reasons;
  for (int m = 0; m < kMeasureCount; ++m) {
    const MeasureTally& tally = verdict.tallies[m];
    if (tally.breaking == 0) continue;
    const Measure measure = static_cast<Measure>(m);
    char line[256];
    std::snprintf(line, sizeof line, "%d of %d %s have %s %s %g, the %s %.*f (", tally.breaking,
                  tally.examined, measure == Measure::kTracerEss ? "series" : "series or columns",
                  kMeasureLabels[m], measure == Measure::kRhat ? "at or above" : "below",
                  thresholdOf(measure, thresholds, chains),
                  measure == Measure::kRhat ? "worst" : "lowest", measure == Measure::kRhat ? 3 : 1,
                  *tally.worst);
    // The site goes after the buffer: a column's name may be of any length.
    reasons.push_back(line + describeSite(tally.worstSite) + ")");
  }
  return reasons;
}

}  // namespace scalesum
