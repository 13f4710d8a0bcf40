// Several chains of one analysis, end to end: the pooled results, the per-chain burn-in, the
// tables of the global columns and the refusals.
#include "chains.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "convergence.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::runInProcess;
using testing::TempDir;

// Sample lines first..last-1: iteration 10*i, sigma and two scalars that vary along the chain
// (a slow drift plus a wobble) and repeat, so that the series have ties too. `shift` moves
// every scalar, to make a chain that disagrees with the others.
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

// The statistics file without its last 14 columns: the convergence ones, the Monte Carlo
// errors and those against a prior.
std::string withoutConvergence(const std::string& stats) {
  std::string kept;
  size_t at = 0;
  while (at < stats.size()) {
    const size_t end = stats.find('\n', at);
    std::string line = stats.substr(at, end - at);
    for (int k = 0; k < 14; ++k) line.erase(line.rfind('\t'));
    kept += line + '\n';
    at = end + 1;
  }
  return kept;
}

TEST(Chains, TheBurnInIsTheFlagsShareElseItsIterationElseTheOptionsFiles) {
  struct Case {
    std::vector<std::string> flags;
    int32_t fileIteration, iteration, readingCut;
    std::string warning;
  };
  const std::string replaces = "Scalesum: warning: --burnin ";
  const Case cases[] = {
      {{}, 1500, 1500, 1500, ""},
      {{"-b", "1500"}, 1500, 1500, 1500, ""},
      {{"-b", "0"}, 0, 0, 0, ""},
      {{"-b", "1000"}, 1500, 1000, 1000, replaces + "1000 replaces the options file's IT 1500\n"},
      {{"-b", "50%"},
       1500,
       1500,
       INT32_MIN,
       replaces + "50% replaces the options file's IT 1500\n"},
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

TEST(Chains, ConvergenceTakesEachChainsFirstSamplesUpToTheShortest) {
  TempDir dir;
  const std::string first = dir.write("a.log", testing::smallLog(sampleLines(0, 50)));
  const std::string second = dir.write("b.log", testing::smallLog(sampleLines(60, 90)));
  ASSERT_EQ(runInProcess({first, "-q", "-c", second, "-s", dir.path("s.tsv")}).status, 0);
  // Node 4 has length 1, so its DeltaB is sigma itself: field 5 of the sample lines.
  auto sigmas = [](int from, int to) {
    std::vector<double> values;
    for (int i = from; i < to; ++i)
      values.push_back(std::stod(std::to_string(0.5 + 0.01 * (i % 13))));
    return values;
  };
  const std::vector<double> a = sigmas(0, 30), b = sigmas(60, 90);
  const double* chains[] = {a.data(), b.data()};
  ConvergenceScratch scratch;
  const Convergence expected = convergence(chains, 30, scratch);
  const std::string stats = readFile(dir.path("s.tsv"));
  const size_t row = stats.find("\n4\tA\tdeltab\t");
  ASSERT_NE(row, std::string::npos);
  std::vector<std::string> cells;
  for (size_t at = row + 1, end; cells.size() < 21; at = end + 1) {
    end = stats.find_first_of("\t\n", at);
    cells.push_back(stats.substr(at, end - at));
  }
  EXPECT_EQ(cells[17], "2");
  // Not-a-number where the file has NA; bit for bit otherwise.
  auto same = [](const std::string& cell, double value) {
    return cell == "NA" ? std::isnan(value) : std::stod(cell) == value;
  };
  EXPECT_TRUE(same(cells[18], expected.rhat)) << cells[18];
  EXPECT_TRUE(same(cells[19], expected.essBulk)) << cells[19];
  EXPECT_TRUE(same(cells[20], expected.essTail)) << cells[20];
  EXPECT_FALSE(std::isnan(expected.rhat));
}

TEST(Chains, AShareAsBurnInDropsItsFloorOfEachChainsSampleLines) {
  TempDir dir;
  // 10 sample lines and a line of one field, which is no sample line: 25% drops 2 of them.
  std::string lines = sampleLines(0, 3) + "junk\n" + sampleLines(3, 10);
  const std::string log = dir.write("a.log", testing::smallLog(lines));
  const std::string second = dir.write("b.log", testing::smallLog(sampleLines(50, 57)));
  // By hand: the first chain keeps iterations 20 on, the second (7 lines, 1 dropped) 510 on.
  const std::string kept = dir.write("kept.log", testing::smallLog(sampleLines(2, 10)));
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
  EXPECT_NE(verbose.err.find("2 chains, 17 sample lines read, 14 samples retained (burn-in 25%)"),
            std::string::npos)
      << verbose.err;
}

TEST(Chains, EveryBadUseIsOneLineAndLeavesNoFile) {
  TempDir dir;
  const std::string log = dir.write("a.log", testing::smallLog(sampleLines(0, 40)));
  const std::string other = dir.write("b.log", testing::smallLog(sampleLines(40, 80)));
  std::string renamed = testing::smallLog(sampleLines(0, 40));
  renamed.replace(renamed.find("3\tC"), 3, "3\tE");
  std::string longer = testing::smallLog(sampleLines(0, 40));
  longer.replace(longer.find("5\t2.0"), 5, "5\t2.00000000000000044");  // one ulp more
  dir.write("renamed.log", renamed);
  dir.write("longer.log", longer);
  // Copies under other names: of chain 1 byte for byte, and of chain 1 and of chain 2 after
  // their first 10 lines, which differ (the burn-in of an iteration and of a share).
  const std::string copy = dir.write("copy.log", readFile(log));
  const std::string newStart =
      dir.write("new-start.log", testing::smallLog(sampleLines(0, 10, 3.0) + sampleLines(10, 40)));
  const std::string otherNewStart = dir.write(
      "other-new-start.log", testing::smallLog(sampleLines(40, 50, 3.0) + sampleLines(50, 80)));
  const std::string stats = dir.path("s.tsv");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-c", dir.path("renamed.log")},
       "Error in " + dir.path("renamed.log") + ": not the tree of " + log +
           ": taxon line 3 is 3 E, not 3 C\n"},
      {{"-c", dir.path("longer.log")},
       "Error in " + dir.path("longer.log") + ": not the tree of " + log +
           ": node line 5 (node 5) has length 2.0000000000000004, not 2\n"},
      {{"-c", dir.path("missing.log")}, ""},
      {{"-c", other, "-c", dir.path("./b.log")},
       "Error in " + dir.path("./b.log") + ": the same file as " + other +
           "; each chain is a run of its own\n"},
      {{"-c", log},
       "Error in " + log + ": the same file as " + log + "; each chain is a run of its own\n"},
      {{"-c", copy},
       "Error in " + copy + ": the same samples as " + log + "; each chain is a run of its own\n"},
      {{"-c", other, "-c", newStart, "-b", "100"},
       "Error in " + newStart + ": the same samples as " + log +
           "; each chain is a run of its own\n"},
      {{"-c", other, "-c", otherNewStart, "-b", "25%"},
       "Error in " + otherNewStart + ": the same samples as " + other +
           "; each chain is a run of its own\n"},
      {{"-c", other, "-b", "100%"},
       "Error in " + log +
           ": no sample line after the burn-in (100% of each chain's sample "
           "lines)\n"},
      {{"-b", "150%"},
       "Scalesum: --burnin: 150% is more than 100%\nTry 'Scalesum --help' for more "
       "information.\n"},
      {{"-c", other, "-p", other},
       "Scalesum: --params: " + other +
           " is the log file of a chain\nTry 'Scalesum --help' for more information.\n"},
  };
  for (const auto& [flags, message] : cases) {
    std::vector<std::string> args{log, "-s", stats, "-p", dir.path("p.tsv")};
    args.insert(args.end(), flags.begin(), flags.end());
    const auto result = runInProcess(args);
    EXPECT_EQ(result.status, 1) << message;
    EXPECT_EQ(result.out, message);
    // The opener's message goes to standard error alone.
    if (message.empty()) {
      EXPECT_EQ(result.err, "Could not open file " + flags[1] + " for reading\n");
    }
    for (const char* name : {"s.tsv", "p.tsv"}) {
      EXPECT_FALSE(std::filesystem::exists(dir.path(name))) << message;
    }
  }
  // Standard input, given as two chains.
  const auto twice =
      testing::runCommand("/bin/sh", {"-c", std::string(SCALESUM_BINARY) + " - -c - < " + log});
  EXPECT_TRUE(twice.status == 1 &&
              twice.out == "Error in -: standard input can be read only once\n")
      << twice.out;
}

TEST(Chains, TheGlobalColumnsAreTabledPerChainAndPooled) {
  TempDir dir;
  const std::string first = dir.write(
      "a.log", testing::smallLog("1\t-10\t-20\t0\t0.5\t1.5\t1\n2\t-12\t-21\t0\t0.5\t2.5\t0\n"
                                 "3\t-11\t-22\t1\t0.5\t3.5\t1\t2\t2\t0\tNode\n"));
  // The second chain's header line names only some columns; a word in its sixth is no number.
  std::string unnamed = testing::smallLog("5\t-14\t-23\t0\t0.5\t1.5\tyes\n");
  unnamed.replace(unnamed.find("Iter\tLh\tPrior\tNo\tAlpha\tSigma\tX"), 30, "Iter\tLh");
  const std::string second = dir.write("b.log", unnamed);
  const auto run = runInProcess(
      {first, "-q", "-c", second, "--params", dir.path("p.tsv"), "--traces", dir.path("t.tsv")});
  ASSERT_EQ(run.status, 0) << run.out;
  // Named by the first chain's header line.
  EXPECT_EQ(readFile(dir.path("t.tsv")),
            "chain\tsample\titeration\tLh\tPrior\tNo\tAlpha\tSigma\tX\n"
            "1\t0\t1\t-10\t-20\t0\t0.5\t1.5\t1\n"
            "1\t1\t2\t-12\t-21\t0\t0.5\t2.5\t0\n"
            "1\t2\t3\t-11\t-22\t1\t0.5\t3.5\t1\n"
            "2\t0\t5\t-14\t-23\t0\t0.5\t1.5\tnan\n");
  const std::string params = readFile(dir.path("p.tsv"));
  EXPECT_EQ(params.substr(0, params.find('\n', params.find('\n') + 1) + 1),
            "name\tfield\tchain\tn\tmean\tsd\tmedian\thpd_lower\thpd_upper\tess\trhat\tess_bulk\t"
            "ess_tail\tmin\tmax\tmcse_mean\tmcse_sd\tmcse_median\n"
            "Lh\t1\t1\t3\t-11\t1\t-11\t-12\t-10\t3\tNA\tNA\tNA\t-12\t-10\tNA\tNA\tNA\n");
}

TEST(Chains, ChainsThatDisagreeAreWarnedOfUnlessQuiet) {
  TempDir dir;
  const std::string first = dir.write("a.log", testing::smallLog(sampleLines(0, 200)));
  const std::string shifted = dir.write("b.log", testing::smallLog(sampleLines(0, 150, 3.0)));
  const std::string third = dir.write("c.log", testing::smallLog(sampleLines(300, 500)));
  const std::vector<std::string> chains{first, "-c", shifted, "-c", third};
  auto run = [&](std::vector<std::string> flags) {
    flags.insert(flags.begin(), chains.begin(), chains.end());
    return runInProcess(flags);
  };
  // Of every count its total: the 6 nodes besides the root have 4 series each, and 3 of the 6
  // columns are not constant; a figure that is NA is not counted.
  const std::string unequal =
      "Scalesum: warning: the chains keep 200, 150 and 200 samples after the burn-in; R-hat and "
      "the bulk and tail effective sample sizes use the first 150 of each\n";
  const auto warned = run({"-s", dir.path("s.tsv"), "-p", dir.path("p.tsv")});
  ASSERT_EQ(warned.status, 0) << warned.out;
  EXPECT_EQ(warned.err,
            unequal +
                "Scalesum: warning: 18 of 27 series or columns have an R-hat of 1.01 or more, the "
                "worst 1.343 (node 3, scalar); the chains may not have converged\n"
                "Scalesum: warning: 18 of 24 series have an effective sample size below 200, the "
                "lowest 11.0 (node 3, scalar); the chains may need to run longer\n"
                "Scalesum: warning: 25 of 27 series or columns have a bulk or tail effective "
                "sample size below 300 (100 per chain), the lowest 7.2 (node 3, scalar); the "
                "chains may need to run longer\n"
                "Scalesum: 0 credible increases and 0 credible decreases (Scalar above or below 1 "
                "in at least 95% of the samples)\n");
  EXPECT_EQ(run({"-p", dir.path("p.tsv")}).err.rfind(unequal, 0), 0u);
  EXPECT_EQ(run({"-q", "-s", dir.path("s.tsv")}).err, "");
  // Without statistics nothing is computed, and nothing is warned of.
  EXPECT_EQ(run({}).err, "");
  // One chain's R-hat compares its halves, which disagree here.
  const std::string jump =
      dir.write("jump.log", testing::smallLog(sampleLines(0, 100) + sampleLines(100, 200, 3.0)));
  const auto one = runInProcess({jump, "-s", dir.path("s.tsv")});
  EXPECT_EQ(one.err.rfind("Scalesum: warning: 18 of 24 series or columns have an R-hat of 1.01 "
                          "or more, the worst 1.592 (node 2, scalar); the chain may need to run "
                          "longer\nScalesum: warning: 24 of 24 series have",
                          0),
            0u)
      << one.err;
}

}  // namespace
}  // namespace scalesum
