// Several chains of one analysis, end to end.
#include "chains.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::runInProcess;
using testing::TempDir;

// Sample lines first..last-1 (iteration 10*i) whose sigma and two scalars drift, wobble and
// repeat, for ties; `shift` moves every scalar, to make a chain that disagrees with the others.
std::string sampleLines(int first, int last, double shift = 0.0) {
  std::string lines;
  for (int i = first; i < last; ++i) {
    const double drift = 0.001 * (i % 97);
    lines += std::to_string(10 * i) + "\t-" + std::to_string(100 + i % 7) + ".5\t-" +
             std::to_string(110 + i % 5) + "\t2\t0.5\t" + std::to_string(0.5 + 0.01 * (i % 13)) +
             "\t1\t" + std::to_string(2 + i % 2) + "\t" + std::to_string(shift + 0.7 + drift) +
             "\t0\tNode\t" + std::to_string(4 + i % 3) + "\t" +
             std::to_string(shift + 1.1 + 0.2 * (i % 4)) + "\t0\tBranch\n";
  }
  return lines;
}

// The statistics file without its convergence, Monte Carlo error and prior columns.
std::string withoutConvergence(const std::string& stats) {
  std::string kept;
  std::istringstream lines(stats);
  for (std::string line; std::getline(lines, line); kept += line + '\n') {
    for (int k = 0; k < 14; ++k) line.erase(line.rfind('\t'));
  }
  return kept;
}

TEST(Chains, TheBurnInIsTheFlagsShareElseItsIterationElseTheOptionsFiles) {
  struct Case {
    std::vector<std::string> flags;
    int32_t fileIteration, iteration, readingCut;
    std::string warning;
  };
  const std::string replaces = " replaces the options file's IT 1500\n",
                    flag = "Scalesum: warning: --burnin ";
  const Case cases[] = {
      {{"-b", "1500"}, 1500, 1500, 1500, ""},
      {{"-b", "1000"}, 1500, 1000, 1000, flag + "1000" + replaces},
      {{"-b", "50%"}, 1500, 1500, INT32_MIN, flag + "50%" + replaces},
      {{"-b", "50%"}, 0, 0, INT32_MIN, ""},
      // The last of the flags wins.
      {{"--burnin", "25%", "--burnin", "10"}, 0, 10, 10, ""},
      {{"--burnin", "10", "--burnin", "25%"}, 0, 0, INT32_MIN, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"run.log"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    const BurnIn burnIn = decideBurnIn(testing::parseArgs(args), c.fileIteration);
    EXPECT_EQ(burnIn.iteration, c.iteration) << c.flags.size();
    EXPECT_EQ(burnIn.readingCut, c.readingCut) << c.iteration;
    EXPECT_EQ(burnIn.share.has_value(), c.readingCut == INT32_MIN) << c.iteration;
    EXPECT_EQ(burnIn.warning, c.warning);
  }
}

TEST(Chains, ThreeCutsOfOneLogGiveItsReportAndStatistics) {
  TempDir dir;
  const std::string whole = dir.write("whole.log", testing::smallLog(sampleLines(0, 300)));
  const std::string options = dir.write("it.options", "IT 200\n");
  std::vector<std::string> cut;
  for (const auto& [first, last] : {std::pair{0, 90}, {90, 200}, {200, 300}}) {
    cut.push_back(dir.write("cut" + std::to_string(first) + ".log",
                            testing::smallLog(sampleLines(first, last))));
  }
  // The burn-in as an iteration applies to each chain; the first chain loses 20 lines to it.
  for (const std::vector<std::string>& burnIn :
       {std::vector<std::string>{}, {options}, {"--burnin", "400"}}) {
    std::vector<std::string> one{whole, "-q", "-s", dir.path("one.tsv")};
    std::vector<std::string> three{cut[0],    "-q",   "-c",      cut[1],
                                   "--chain", cut[2], "--stats", dir.path("three.tsv")};
    one.insert(one.end(), burnIn.begin(), burnIn.end());
    three.insert(three.end(), burnIn.begin(), burnIn.end());
    const auto single = runInProcess(one);
    const auto pooled = runInProcess(three);
    ASSERT_EQ(single.status, 0) << single.out;
    EXPECT_EQ(pooled.out, single.out);
    const std::string oneStats = readFile(dir.path("one.tsv"));
    const std::string threeStats = readFile(dir.path("three.tsv"));
    EXPECT_EQ(withoutConvergence(threeStats), withoutConvergence(oneStats));
    EXPECT_NE(threeStats.find("\tscalar\t"), std::string::npos);
    EXPECT_NE(threeStats.find("\t3\t"), std::string::npos);  // the chains column
  }
}

TEST(Chains, AShareAsBurnInDropsItsFloorOfEachChainsSampleLines) {
  TempDir dir;
  // 11 sample lines, the second too short, and a line of one field, which is no sample line:
  // 25% drops 2 of them, and with them the short line's fault.
  std::string lines =
      sampleLines(0, 1) + "5 0 0 0 0 1\n" + sampleLines(1, 3) + "junk\n" + sampleLines(3, 10);
  const std::string log = dir.write("a.log", testing::smallLog(lines));
  const std::string second = dir.write("b.log", testing::smallLog(sampleLines(50, 57)));
  // By hand: the first chain keeps iterations 10 on, the second (7 lines, 1 dropped) 510 on.
  const std::string kept = dir.write("kept.log", testing::smallLog(sampleLines(1, 10)));
  const std::string keptSecond = dir.write("kept2.log", testing::smallLog(sampleLines(51, 57)));
  const auto byShare = runInProcess({log, "-q", "-b", "25%", "-c", second});
  ASSERT_EQ(byShare.status, 0) << byShare.out;
  EXPECT_EQ(byShare.out, runInProcess({kept, "-q", "-c", keptSecond}).out);
  // At the smallest cap the records go to temporary files, and their replays skip the share.
  const std::string refused =
      runInProcess({log, "-b", "25%", "-c", second, "--max-memory", "1"}).out;
  const std::string cap = refused.substr(refused.find(" needs ") + 7);
  EXPECT_EQ(runInProcess({log, "-q", "-b", "25%", "-c", second, "--max-memory",
                          cap.substr(0, cap.find(' ')), "--temp-dir", dir.path("")})
                .out,
            byShare.out);
  const auto verbose = runInProcess({log, "-v", "-b", "25%", "-c", second});
  EXPECT_NE(verbose.err.find("2 chains, 18 sample lines read, 15 samples retained (burn-in 25%)"),
            std::string::npos)
      << verbose.err;
}

TEST(Chains, TheGlobalColumnsAreTracedPerChainUnderTheFirstChainsNames) {
  TempDir dir;
  const std::string first = dir.write(
      "a.log", testing::smallLog("1\t-10\t-20\t0\t0.5\t1.5\t1\n2\t-12\t-21\t0\t0.5\t2.5\t0\n"
                                 "3\t-11\t-22\t1\t0.5\t3.5\t1\t2\t2\t0\tNode\n"));
  // The second chain's header line names only some columns; words in its last two are no numbers.
  std::string unnamed = testing::smallLog("5\t-14\t-23\t0\t0.5\tno\tyes\n");
  unnamed.replace(unnamed.find("Iter\tLh\tPrior\tNo\tAlpha\tSigma\tX"), 30, "Iter\tLh");
  const std::string second = dir.write("b.log", unnamed);
  const auto run = runInProcess({first, "-q", "-c", second, "--traces", dir.path("t.tsv")});
  ASSERT_EQ(run.status, 0) << run.out;
  // Named by the first chain's header line.
  EXPECT_EQ(readFile(dir.path("t.tsv")),
            "chain\tsample\titeration\tLh\tPrior\tNo\tAlpha\tSigma\tX\n"
            "1\t0\t1\t-10\t-20\t0\t0.5\t1.5\t1\n"
            "1\t1\t2\t-12\t-21\t0\t0.5\t2.5\t0\n"
            "1\t2\t3\t-11\t-22\t1\t0.5\t3.5\t1\n"
            "2\t0\t5\t-14\t-23\t0\t0.5\tnan\tnan\n");
}

TEST(Chains, WarningsAreOneLineEachOnStandardErrorUnlessQuiet) {
  TempDir dir;
  const std::string first = dir.write("a.log", testing::smallLog(sampleLines(0, 200)));
  const std::string shifted = dir.write("b.log", testing::smallLog(sampleLines(0, 150, 3.0)));
  const std::string third = dir.write("c.log", testing::smallLog(sampleLines(300, 500)));
  // One chain's R-hat compares its halves, which disagree here.
  const std::string jump =
      dir.write("jump.log", testing::smallLog(sampleLines(0, 100) + sampleLines(100, 200, 3.0)));
  // Branch 2 is doubled in 9 of 10 samples, branch 3 halved in all: at 90% both are credible.
  std::string samples;
  for (int i = 0; i < 10; ++i) {
    samples +=
        std::to_string(i) + " 0 0 2 0 1 0 2 " + (i == 0 ? "1" : "2") + " 0 Branch 3 0.5 0 Branch\n";
  }
  std::string text = testing::smallLog(samples);
  text.replace(text.find("2\tB"), 3, "2\ta");
  const std::string cased = dir.write("case.log", text);
  // Chain 1 begins above the burn-ins asked for; chain 2 begins above 500 too, but drops a line.
  const std::string late =
      dir.write("late.log", testing::smallLog("1000 0 0 0 0 1 0\n2000 0 0 0 0 2 0\n"));
  const std::string other = dir.write(
      "late2.log", testing::smallLog("2000 0 0 0 0 1 0\n5 0 0 0 0 2 0\n3000 0 0 0 0 1 0\n"));
  const std::string options = dir.write("it.options", "IT 1500\n");
  const std::string mistyped = dir.write("typo.options", "It=61000\nIT 1500\n");
  const std::string warning = "Scalesum: warning: ", idle = warning + "burn-in ";
  const std::string below = " is below the first sample's iteration (1000) in " + late +
                            ", so no sample is dropped; --burnin ";
  const std::string share = "% drops a share of the sample lines\n";
  const std::string replaces = warning + "--burnin 10 replaces the options file's IT 1500\n";
  const std::string shifts = " (Scalar above or below 1 in at least ";
  // Of every count its total: the 6 nodes besides the root have 4 series each, and 3 of the 6
  // columns are not constant; a figure that is NA is not counted.
  const std::string unequal =
      warning +
      "the chains keep 200, 150 and 200 samples after the burn-in; R-hat and the bulk "
      "and tail effective sample sizes use the first 150 of each\n";
  const std::string disagree =
      warning +
      "18 of 27 series or columns have an R-hat of 1.01 or more, the worst 1.343 (node 3, "
      "scalar); the chains may not have converged\n" +
      warning +
      "18 of 24 series have an effective sample size below 200, the lowest 11.0 (node 3, "
      "scalar); the chains may need to run longer\n" +
      warning +
      "25 of 27 series or columns have a bulk or tail effective sample size below 300 "
      "(100 per chain), the lowest 7.2 (node 3, scalar); the chains may need to run "
      "longer\n" +
      "Scalesum: 0 credible increases and 0 credible decreases" + shifts + "95% of the samples)\n";
  const std::string halves =
      warning +
      "18 of 24 series or columns have an R-hat of 1.01 or more, the worst 1.592 (node 2, "
      "scalar); the chain may need to run longer\n" +
      warning +
      "24 of 24 series have an effective sample size below 200, the lowest 6.9 (node 3, "
      "scalar); the chain may need to run longer\nScalesum: 0 credible increases and 0 credible "
      "decreases" +
      shifts + "95% of the samples)\n";
  const std::string tenSamples =
      warning +
      "3 of 3 series have an effective sample size below 200, the lowest "
      "10.0 (node 2, scalar); the chain may need to run longer\n";
  const std::string stats = dir.path("s.tsv"), params = dir.path("p.tsv");
  const std::string tree = dir.path("t.nex"), svg = dir.path("p.svg");
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::string> inTree = {};
  };
  const Case cases[] = {
      {{first, "-c", shifted, "-c", third, "-s", stats, "-p", params}, unequal + disagree},
      {{first, "-c", shifted, "-c", third, "-p", params},
       unequal + warning +
           "1 of 3 series or columns has a bulk or tail effective sample size below 300 (100 per "
           "chain), the lowest 235.6 (column Sigma); the chains may need to run longer\n"},
      {{first, "-c", shifted, "-c", third, "-q", "-s", stats}, ""},
      // Without statistics nothing is computed, and nothing is warned of.
      {{first, "-c", shifted, "-c", third}, ""},
      // Whatever asks for the sample sizes has the warnings, and the count of credible shifts.
      {{jump, "-s", stats}, halves},
      {{jump, "--scaled-tree", tree}, halves},
      // The names stay as they are; the shifts follow the share asked for.
      {{cased, "--credible", "90", "--tree", tree},
       tenSamples + "Scalesum: 1 credible increase and 1 credible decrease" + shifts +
           "90% of the samples)\n" + warning +
           "taxa A and a differ only in case, which NEXUS readers may fold, taking them for one "
           "taxon\n",
       {"\t\t1 A,\n\t\t2 a,\n", ",shift=\"down\",", ",shift=\"up\","}},
      // At the default 95% only the decrease is credible; a picture warns of no names.
      {{cased, "--svg", svg},
       tenSamples + "Scalesum: 0 credible increases and 1 credible decrease" + shifts +
           "95% of the samples)\n"},
      {{late, "-b", "500", "-c", other}, idle + "500" + below + "PCT" + share},
      {{late, "-b", "10", options}, replaces + idle + "10" + below + "10" + share},
      {{late, "-b", "0"}, ""},
      {{late, "-b", "1000"}, ""},  // at the first sample's iteration: nothing to drop anyway
      // A prior that never scales: every branch but the root has an infinite factor.
      {{jump, "-s", stats, "--prior", late},
       halves + warning +
           "6 of 6 branches have an infinite Bayes factor, a "
           "share of 0 or 100% in the samples or the prior's; "
           "more samples of either would bound them\n"},
      {{late, "-q", "-b", "10", options}, ""},
      {{late, mistyped},
       warning + mistyped +
           " line 1: It=61000 is not a keyword, the line is ignored (the keywords: IT, NOCATS, "
           "RATES, SLICE, NODERATIO, RATIONODE, NORMALISE)\n"},
      {{late, "-q", mistyped}, ""},
  };
  for (const Case& c : cases) {
    const auto result = runInProcess(c.args);
    EXPECT_EQ(result.status, 0) << c.args[1];
    EXPECT_EQ(result.err, c.err) << c.args[1];
    for (const std::string& piece : c.inTree) {
      EXPECT_NE(readFile(tree).find(piece), std::string::npos) << piece;
    }
  }
}

}  // namespace
}  // namespace scalesum
