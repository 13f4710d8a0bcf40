#include "prior.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "run.h"
#include "test_util.h"

namespace scalesum {
namespace {

using testing::TempDir;

// Returns the cells `names` of the statistics file's row of `node` and `series`.
std::vector<std::string> statsRow(const std::string& stats, int node, const std::string& series,
                                  const std::vector<std::string>& names) {
  std::vector<std::vector<std::string>> table;
  std::istringstream lines(stats);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    table.emplace_back();
    for (std::string cell; std::getline(in, cell, '\t');) table.back().push_back(cell);
  }
  std::vector<std::string> picked;
  for (const auto& row : table) {
    if (row[0] != std::to_string(node) || row[2] != series) continue;
    for (const std::string& name : names) {
      picked.push_back(
          row.at(std::find(table[0].begin(), table[0].end(), name) - table[0].begin()));
    }
  }
  return picked;
}

TEST(Prior, SharesAndFactorsAreTheCountsOfTheRetainedPriorSamples) {
  TempDir dir;
  // Node 5 (tip B): the run scales it up in 3 samples and down in 1; node 6 (tip C) never.
  const std::string run =
      dir.write("run.log", testing::smallLog("0 0 0 0 0 1 0\n10 0 0 1 0 1 0 5 2 0 Branch\n"
                                             "20 0 0 1 0 1 0 5 2 0 Branch\n"
                                             "30 0 0 2 0 1 0 5 0.5 0 Branch 6 1 0 Branch\n"
                                             "40 0 0 1 0 1 0 5 3 0 Branch\n"));
  // The prior: node 5 up once and down once in four samples, node 6 up once; its first line,
  // below the burn-in, would scale node 6 down.
  const std::string prior = dir.write(
      "prior.log", testing::smallLog("0 0 0 1 0 1 0 6 0.5 0 Branch\n10 0 0 1 0 1 0 5 2 0 Branch\n"
                                     "20 0 0 2 0 1 0 5 0.5 0 Branch 6 4 0 Branch\n"
                                     "30 0 0 0 0 1 0\n40 0 0 0 0 1 0\n"));
  CommandLine command =
      testing::parseArgs({run, "-q", "--prior", prior, "-b", "10", "-s", dir.path("s.tsv")});
  testing::written([&](FILE* out) { runAnalysis(command, out); });
  const std::string stats = testing::readFile(command.statsPath);
  const std::vector<std::string> names = {"pct_changed",  "prior_n",        "prior_pct_changed",
                                          "prior_pct_up", "prior_pct_down", "bf_changed",
                                          "bf_up",        "bf_down"};
  // Node 5: p = 1, 3/4, 1/4 against q = 1/2, 1/4, 1/4.
  EXPECT_EQ(statsRow(stats, 5, "scalar", names),
            (std::vector<std::string>{"100", "4", "50", "25", "25", "Inf", "9", "1"}));
  // Node 6: never changed by the run (a scalar of 1 leaves it) against 1 of 4.
  EXPECT_EQ(statsRow(stats, 6, "deltav", names),
            (std::vector<std::string>{"0", "4", "25", "25", "0", "0", "0", "NA"}));
  // Node 4: neither changed it.
  EXPECT_EQ(statsRow(stats, 4, "sigv", names),
            (std::vector<std::string>{"0", "4", "0", "0", "0", "NA", "NA", "NA"}));
  // Without a prior log, the columns are there and NA.
  command.priorPaths.clear();
  testing::written([&](FILE* out) { runAnalysis(command, out); });
  EXPECT_EQ(statsRow(testing::readFile(command.statsPath), 5, "scalar", names),
            (std::vector<std::string>{"100", "NA", "NA", "NA", "NA", "NA", "NA", "NA"}));
}

TEST(Prior, APriorLogOfAnotherTreeOrAlsoGivenAsAChainIsRefused) {
  TempDir dir;
  const std::string samples = "10 0 0 1 0 1 0 5 2 0 Branch\n20 0 0 0 0 1 0\n";
  const std::string run = dir.write("run.log", testing::smallLog(samples));
  const std::string chain = dir.write("chain.log", testing::smallLog(samples));
  std::string other = testing::smallLog(samples);
  other.replace(other.find("3\tC"), 3, "3\tE");
  const std::string otherTree = dir.write("other.log", other);
  const std::pair<std::string, std::string> cases[] = {
      {otherTree,
       "Error in " + otherTree + ": not the tree of " + run + ": taxon line 3 is 3 E, not 3 C\n"},
      {run, "Error in " + run + ": the same file as " + run + "; each chain is a run of its own\n"},
      {chain,
       "Error in " + chain + ": the same file as " + chain + "; each chain is a run of its own\n"},
  };
  for (const auto& [prior, message] : cases) {
    const CommandLine command = testing::parseArgs({run, "-q", "-c", chain, "--prior", prior});
    const testing::Failure failure = testing::catchFailure(
        [&] { testing::written([&](FILE* out) { runAnalysis(command, out); }); });
    EXPECT_EQ(failure.status, 1);
    EXPECT_EQ(failure.message, message);
  }
}

}  // namespace
}  // namespace scalesum
