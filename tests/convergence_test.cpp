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

// Expects the three figures within 1e-12 relative of the reference's, NaN standing for its NA.
void expectFigures(const Convergence& d, double rhat, double bulk, double tail) {
  const double got[] = {d.rhat, d.essBulk, d.essTail};
  const double want[] = {rhat, bulk, tail};
  for (int k = 0; k < 3; ++k) {
    if (std::isnan(want[k])) {
      EXPECT_TRUE(std::isnan(got[k])) << "figure " << k << " is " << got[k];
    } else {
      EXPECT_NEAR(got[k], want[k], 1e-12 * std::fabs(want[k])) << "figure " << k;
    }
  }
}

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

TEST(Convergence, TiedValuesShareTheScoreOfTheirMeanRank) {
  ConvergenceScratch scratch;
  std::vector<double> scores;
  rankNormalScores(std::vector<double>{3, 1, 2, 1, 4, 3, 1, 2, 3, 3}, scores, scratch);
  const double lowest = -1.0004905456193152, second = -0.24703899073897728,
               third = 0.51042164266321866, top = 1.5466352713992295;
  const std::vector<double> expected = {third, lowest, second, lowest, top,
                                        third, lowest, second, third,  third};
  ASSERT_EQ(scores.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(scores[i], expected[i], 1e-15) << i;
}

TEST(Convergence, ScoresFollowTheOrderOfValuesHoweverCloseTheyAre) {
  // Values that differ only in their last bits, and values far apart, of both signs.
  std::vector<double> values;
  for (int i = 0; i < 3000; ++i) values.push_back(1.0 + ((i * 7919) % 3000) * 0x1p-50);
  for (int i = 0; i < 500; ++i) values.push_back(((i * 37) % 500 - 250) * 1e-3);
  values.push_back(-0.0);
  ConvergenceScratch scratch;
  std::vector<double> scores;
  rankNormalScores(values, scores, scratch);
  for (size_t i = 0; i < values.size(); ++i) {
    for (size_t j = 0; j < values.size(); j += 97) {
      ASSERT_EQ(values[i] < values[j], scores[i] < scores[j]) << values[i] << " " << values[j];
    }
  }
  // The summary takes the draws in this order for its own, so it must be the order of the
  // summary's sort, bit for bit: -0 before +0, whichever way the draws are sorted (the values
  // above, which share their leading bits, are many for the radix sort to finish).
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

// Figures the reference implementation gives for the same draws.
TEST(Convergence, HandCasesMatchTheReference) {
  expectFigures(diagnose({{0.5, 1.5, 0.2, 1.8, 0.9, 1.1, 0.3, 1.7}}), 1.10201111066147, 4, 4);
  expectFigures(diagnose({range(1, 6), range(2, 7)}), 1.83715264024404, 6, 6);
  // An odd length leaves the middle draw out of both halves.
  expectFigures(diagnose({{3, 1, 2, 5, 4, 7, 6, 9, 8, 10}}), 2.0819961747444551, 5, 5);
  expectFigures(diagnose({range(1, 13)}), 2.0957654842152387, 3.4320106961410515,
                12.705882352941179);
  // With halves of three, no pair of lags is read, and the reference then counts the first
  // autocorrelation twice: half the draws.
  expectFigures(diagnose({range(1, 6)}), 2.0194426890617572, 3, 3);

  std::vector<std::vector<double>> waves(3), swings(2);
  for (int i = 0; i < 60; ++i) {
    for (int c = 0; c < 3; ++c) waves[c].push_back(std::sin(0.3 * i + c) + (c == 2 ? 0.01 * i : 0));
    for (int c = 0; c < 2; ++c) swings[c].push_back(std::cos(1.7 * i + 0.5 * c) * i);
  }
  expectFigures(diagnose(waves), 1.0491195986004298, 29.209631923653351, 42.853576596101419);
  // Nearly alternating draws are worth more than their number, up to the cap.
  expectFigures(diagnose(swings), 1.2980805491189327, 179.61124017103612, 129.18586789554527);
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

TEST(Convergence, UndefinedFiguresAreNotANumber) {
  // Too few draws: halves of one have no variance, halves below three no autocorrelation.
  expectFigures(diagnose({{1, 2, 3}}), kNA, kNA, kNA);
  expectFigures(diagnose({range(1, 5)}), 1.9323616817508806, kNA, kNA);
  expectFigures(diagnose({}), kNA, kNA, kNA);
  // Constant draws, and draws whose distances from the median are all equal.
  expectFigures(diagnose({std::vector<double>(8, 2.5), std::vector<double>(8, 2.5)}), kNA, kNA,
                kNA);
  expectFigures(diagnose({{0, 2, 0, 2, 2, 0, 0, 2}}), kNA, 4, kNA);
  // More than 5% of the draws at the largest value: every draw is at or below the 95%
  // quantile, and that indicator is constant.
  std::vector<double> capped(40, 2.0);
  capped[3] = 1.0;
  capped[18] = 1.5;
  capped[25] = 0.5;
  expectFigures(diagnose({capped, std::vector<double>(capped.rbegin(), capped.rend())}),
                0.97685496798524507, 109.46918993973715, kNA);
  // Chains constant apart from each other have no spread within them: R-hat is out of all
  // bounds (the reference's figure is rounding noise, 9e15).
  EXPECT_GT(diagnose({std::vector<double>(20, 1.0), std::vector<double>(20, 2.0),
                      std::vector<double>(20, 3.0)})
                .rhat,
            1e6);
  // Any non-finite draw.
  for (double bad : {kNA, std::numeric_limits<double>::infinity()}) {
    std::vector<double> chain = range(1, 20);
    chain[7] = bad;
    expectFigures(diagnose({range(1, 20), chain}), kNA, kNA, kNA);
  }
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

TEST(Convergence, ReusedScratchGivesTheFiguresOfAFreshOne) {
  std::vector<std::vector<std::vector<double>>> cases = {
      {range(1, 13)}, {range(1, 6), range(2, 7)}, {{0.5, 1.5, 0.2, 1.8, 0.9, 1.1, 0.3, 1.7}}};
  std::vector<double> wide;
  for (int i = 0; i < 301; ++i) wide.push_back(std::sin(i * 0.05) * 3 + (i % 7));
  cases.push_back({wide, wide, wide});
  ConvergenceScratch shared;
  for (int round = 0; round < 2; ++round) {
    for (const auto& chains : cases) {
      const Convergence fresh = diagnose(chains);
      const Convergence reused = diagnose(chains, shared);
      EXPECT_EQ(fresh.rhat, reused.rhat);
      EXPECT_EQ(fresh.essBulk, reused.essBulk);
      EXPECT_EQ(fresh.essTail, reused.essTail);
    }
  }
}

}  // namespace
}  // namespace scalesum
