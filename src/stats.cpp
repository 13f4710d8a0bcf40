#include "stats.h"

#include <cstdio>
#include <optional>
#include <string>
#include <unordered_set>

#include "statistic.h"

namespace scalesum {

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
