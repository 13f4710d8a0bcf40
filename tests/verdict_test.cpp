#include "verdict.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "warnings.h"

namespace scalesum {
namespace {

constexpr double kNA = std::nan("");

// A run of global columns alone, each one row of all chains with the given figures.
struct Case {
  int chains;
  Thresholds thresholds;
  std::vector<Convergence> columns;
  const char* words;         // what the verdict says
  std::vector<Measure> why;  // the measures of its reasons, in order
};

TEST(Verdict, JudgesEveryColumnByTheOneRuleThatTheWarningsApply) {
  const std::vector<Case> cases = {
      {1, {}, {{1.0099, 50, 50}}, "converged", {}},
      // An R-hat at the threshold breaks it; one chain's bulk and tail are not judged.
      {1, {}, {{1.01, 50, 50}}, "not converged (1 reason)", {Measure::kRhat}},
      // Bulk and tail ESS count all chains' draws: 100 per chain is 200 for two.
      {2, {}, {{1.0, 199.9, 200}}, "not converged (1 reason)", {Measure::kEssBulk}},
      {2,
       {},
       {{1.2, 150, 120}, {1.0, 250, 300}},
       "not converged (3 reasons)",
       {Measure::kRhat, Measure::kEssBulk, Measure::kEssTail}},
      // A figure that does not exist breaks nothing; with none at all there is no verdict.
      {3, {}, {{kNA, kNA, 400}}, "converged", {}},
      {3, {}, {{kNA, kNA, kNA}}, "not judged", {}},
  };
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    Results results;
    results.chainSampleCounts.assign(c.chains, 500);
    std::vector<ParamsRow> rows;
    for (const Convergence& figures : c.columns) {
      rows.push_back({static_cast<int>(rows.size()) + 1, 0, {}, figures, {}});
    }
    const std::vector<std::string> names{"Iter", "Lh", "Sigma"};
    const Verdict verdict = judgeRun(Tree{}, results, rows, names, c.thresholds);
    EXPECT_EQ(verdictWords(verdict), c.words) << k;
    std::vector<Measure> why;
    for (const VerdictReason& reason : verdict.reasons) why.push_back(reason.measure);
    EXPECT_EQ(why, c.why) << k;
    // The warnings speak exactly when the verdict finds a figure past their threshold.
    const int rhat = verdict.tallies[static_cast<int>(Measure::kRhat)].breaking;
    const int bulkOrTail = verdict.tallies[static_cast<int>(Measure::kEssBulk)].breaking +
                           verdict.tallies[static_cast<int>(Measure::kEssTail)].breaking;
    EXPECT_EQ(highRhatWarning(Tree{}, results, rows, names, c.thresholds).empty(), rhat == 0) << k;
    EXPECT_EQ(lowBulkOrTailWarning(Tree{}, results, rows, names, c.thresholds).empty(),
              bulkOrTail == 0)
        << k;
  }
}

TEST(Verdict, ReasonsNameTheFigureItsThresholdAndTheWorstSite) {
  Results results;
  results.chainSampleCounts.assign(4, 500);
  const std::vector<ParamsRow> rows = {{1, 0, {}, {1.02, 900, 900}, {}},
                                       {2, 0, {}, {1.3, 380, 900}, {}}};
  const Thresholds thresholds;
  const Verdict verdict = judgeRun(Tree{}, results, rows, {"Iter", "Lh", "Sigma"}, thresholds);
  ASSERT_EQ(verdict.reasons.size(), 3u);
  EXPECT_EQ(verdict.reasons[2].threshold, 400);
  EXPECT_EQ(describeSite(verdict.reasons[2].site), "column Sigma");
  EXPECT_EQ(verdictReasonLines(verdict, thresholds, 4),
            "Scalesum: not converged: 2 of 2 series or columns have R-hat at or above 1.01, the "
            "worst 1.300 (column Sigma)\n"
            "Scalesum: not converged: 1 of 2 series or columns have bulk ESS below 400, the "
            "lowest 380.0 (column Sigma)\n");
}

}  // namespace
}  // namespace scalesum
