#include "convergence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "KernelDensity.h"

namespace scalesum {
namespace {

// The diagnostics of chains given as vectors of one length.
Convergence diagnose(const std::vector<std::vector<double>>& chains, ConvergenceScratch& scratch) {
  std::vector<const double*> starts;
  for (const auto& chain : chains) starts.push_back(chain.data());
  return convergence(starts, chains.empty() ? 0 : chains[0].size(), scratch);
}

Convergence diagnose(const std::vector<std::vector<double>>& chains) {
  ConvergenceScratch scratch;
  return diagnose(chains, scratch);
}

std::vector<double> range(double first, double last) {
  std::vector<double> values;
  for (double x = first; x <= last; ++x) values.push_back(x);
  return values;
}

// Whether a diagnosis gives none of the three figures.
bool undefined(const Convergence& d) {
  return std::isnan(d.rhat) && std::isnan(d.essBulk) && std::isnan(d.essTail);
}

// The summary takes the ranked draws in their order for its own, so it must be the order of the
// summary's sort, bit for bit: -0 before +0, whichever way the draws are sorted, and values that
// share their leading bits, too many for the radix sort to finish. (The reference table holds
// the scores of close values.)
TEST(Convergence, DrawsAreRankedInTheOrderOfTheSummarysSort) {
  std::vector<double> values;
  for (int i = 0; i < 3000; ++i) values.push_back(1.0 + ((i * 7919) % 3000) * 0x1p-50);
  for (int i = 0; i < 500; ++i) values.push_back(((i * 37) % 500 - 250) * 1e-3);
  values.push_back(-0.0);
  ConvergenceScratch scratch;
  std::vector<double> scores;
  for (const std::vector<double>& draws : {values, {0.5, 0.0, -1.0, -0.0, 2.0, 0.0, -0.0}}) {
    rankNormalScores(draws, scores, scratch);
    std::vector<double> sorted = draws;
    sortReals(sorted.data(), static_cast<int32_t>(sorted.size()));
    for (size_t i = 0; i < sorted.size(); ++i) {
      ASSERT_EQ(std::bit_cast<uint64_t>(scratch.ascending[i].value),
                std::bit_cast<uint64_t>(sorted[i]))
          << i;
    }
  }
}

TEST(Convergence, RareValuesHaveTheTailSizeOfTheirIndicator) {
  // Draws of 0, 1 and 2, flickering under a slowly switching regime, are read to well past lag
  // 128 before their indicators' pairs are counted by runs; their tail size is that of the
  // indicator of the zeros (the rare 2s mix fast), which the bulk size of 0/1 draws gives too.
  std::mt19937_64 random(5);
  std::vector<std::vector<double>> draws(2), zeros(2);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0, regime = 0; i < 4000; ++i) {
      if (random() % 500 == 0) regime = 1 - regime;
      const bool zero = random() % 10 < (regime ? 8u : 2u);
      draws[c].push_back(zero ? 0 : random() % 50 == 0 ? 2 : 1);
      zeros[c].push_back(zero);
    }
  }
  EXPECT_NEAR(diagnose(draws).essTail, diagnose(zeros).essBulk, 1e-9);
}

// (The reference table holds the other cases without figures.)
TEST(Convergence, UndefinedFiguresAreNotANumber) {
  EXPECT_TRUE(undefined(diagnose({})));
  // Chains constant apart from each other have no spread within them: R-hat is out of all
  // bounds (the reference's figure is rounding noise, 9e15).
  EXPECT_GT(diagnose({std::vector<double>(20, 1.0), std::vector<double>(20, 2.0),
                      std::vector<double>(20, 3.0)})
                .rhat,
            1e6);
  // An infinite draw, which the reference ranks as any other.
  std::vector<double> chain = range(1, 20);
  chain[7] = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(undefined(diagnose({range(1, 20), chain})));
}

// Users compare R-hat and the bulk size across versions: a slowly mixing series read to
// hundreds of lags keeps the very figures an earlier build gave, on every machine.
TEST(Convergence, BulkFiguresStayBitForBit) {
  std::mt19937_64 random(7);
  std::vector<std::vector<double>> chains(4);
  for (auto& chain : chains) {
    double x = 0.0;
    for (int i = 0; i < 3001; ++i) {
      x = 0.995 * x + (static_cast<double>(random() >> 11) * 0x1p-53 - 0.5);
      chain.push_back(x);
    }
  }
  const Convergence d = diagnose(chains);
  EXPECT_EQ(d.rhat, 1.0435635518999442);
  EXPECT_EQ(d.essBulk, 50.652063492320046);
  EXPECT_NEAR(d.essTail, 148.93964447329816, 1e-12 * 148.9);
}

// A node's DeltaB is the sigmas times its length, and its DeltaV its SigV times it, so their
// diagnostics come from those of the draws scaled, wherever scaling leaves them as they were.
// Whenever figures come that way, they are those of the scaled draws diagnosed afresh, bit for
// bit. A scale that makes new ties, shrinks the draws' range to nothing or moves a draw across
// a tail's quantile gives none.
TEST(Convergence, ScaledDrawsGiveTheFiguresOfTheirOwnDiagnosis) {
  std::mt19937_64 random(11);
  std::normal_distribution<double> noise;
  auto same = [](double a, double b) { return std::isnan(a) ? std::isnan(b) : a == b; };
  int given = 0;
  for (size_t chainCount : {1, 4}) {
    for (size_t length : {9, 400, 1001}) {
      std::vector<std::vector<double>> x(chainCount);
      for (auto& chain : x) {
        double v = 0.0;
        for (size_t i = 0; i < length; ++i) {
          v = 0.99 * v + noise(random);
          chain.push_back(std::round(v * 64.0) / 64.0);  // ties as well
        }
      }
      ConvergenceScratch last;
      diagnose(x, last);
      for (double scale : {1.0, 0.0123, 3.7, 1.0 / 3.0, 1e-322}) {
        std::vector<std::vector<double>> y = x;
        std::vector<double> all;
        for (auto& chain : y) {
          for (double& v : chain) all.push_back(v *= scale);
        }
        std::vector<double> ascending;
        const std::optional<Convergence> scaled = scaledConvergence(last, scale, last, ascending);
        if (scale == 1e-322) {
          EXPECT_FALSE(scaled.has_value());
        }
        if (!scaled) continue;
        ++given;
        const Convergence fresh = diagnose(y);
        EXPECT_TRUE(same(scaled->rhat, fresh.rhat)) << length << " x " << scale;
        EXPECT_TRUE(same(scaled->essBulk, fresh.essBulk)) << length << " x " << scale;
        EXPECT_TRUE(same(scaled->essTail, fresh.essTail)) << length << " x " << scale;
        std::sort(all.begin(), all.end());
        EXPECT_EQ(ascending, all);
      }
    }
  }
  EXPECT_GE(given, 20);
  // Draws a few units of rounding apart, which a scale below 1 rounds together here and there.
  std::vector<std::vector<double>> close(2);
  for (auto& chain : close) {
    for (int i = 0; i < 200; ++i) chain.push_back(1.25 + (i * 7919 % 61) * 0x1p-52);
  }
  ConvergenceScratch last;
  diagnose(close, last);
  std::vector<double> ascending;
  EXPECT_FALSE(scaledConvergence(last, 0.9, last, ascending).has_value());
  // Two draws a unit of rounding apart about the 95% quantile of 22: it falls below the upper
  // one, but scaled by this factor it rounds onto it, so one draw more counts as at or below.
  std::vector<double> edge = {1.9014274576114836, 3.0, 1.901427457611484};
  for (int k = 1; k <= 19; ++k) edge.push_back(0.1 * k);
  diagnose({edge}, last);
  EXPECT_FALSE(scaledConvergence(last, 0.35191402383526194, last, ascending).has_value());
  EXPECT_TRUE(scaledConvergence(last, 0.5, last, ascending).has_value());
}

// A diagnosis of another length in between leaves nothing behind.
TEST(Convergence, ReusedScratchGivesTheFiguresOfAFreshOne) {
  std::vector<double> wide;
  for (int i = 0; i < 301; ++i) wide.push_back(std::sin(i * 0.05) * 3 + (i % 7));
  ConvergenceScratch shared;
  for (const std::vector<std::vector<double>>& chains :
       {std::vector<std::vector<double>>{wide, wide, wide}, {range(1, 13)}, {wide, wide}}) {
    const Convergence fresh = diagnose(chains), reused = diagnose(chains, shared);
    EXPECT_TRUE(fresh.rhat == reused.rhat && fresh.essBulk == reused.essBulk &&
                fresh.essTail == reused.essTail)
        << chains.size();
  }
}

}  // namespace
}  // namespace scalesum
