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

// A sample line at `iteration` that scales each node's own branch by its scalar.
std::string sampleLine(int iteration, const std::vector<std::pair<int, double>>& groups) {
  std::string line = std::to_string(iteration) + "\t-100.5\t-110\t" +
                     std::to_string(groups.size()) + "\t0.5\t0.25\t1";
  for (const auto& [node, scalar] : groups) {
    line += '\t' + std::to_string(node) + '\t' + std::to_string(scalar) + "\t0\tBranch";
  }
  return line + '\n';
}

// Returns the cells of the statistics file's row of `node` and `series`, by column name.
std::vector<std::string> statsRow(const std::string& stats, int node, const std::string& series,
                                  const std::vector<std::string>& names) {
  std::istringstream lines(stats);
  auto cells = [](const std::string& line) {
    std::vector<std::string> row;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, '\t');) row.push_back(cell);
    return row;
  };
  std::string line;
  std::getline(lines, line);
  const std::vector<std::string> header = cells(line);
  std::vector<std::string> picked;
  while (picked.empty() && std::getline(lines, line)) {
    const std::vector<std::string> row = cells(line);
    if (row[0] != std::to_string(node) || row[2] != series) continue;
    for (const std::string& name : names) {
      picked.push_back(
          row.at(size_t(std::find(header.begin(), header.end(), name) - header.begin())));
    }
  }
  return picked;
}

TEST(Prior, SharesAndFactorsAreTheCountsOfTheRetainedPriorSamples) {
  TempDir dir;
  // Node 5 (tip B): the run scales it up in 3 samples and down in 1; node 6 (tip C) never.
  const std::string run = dir.write(
      "run.log", testing::smallLog(
                     sampleLine(0, {}) + sampleLine(10, {{5, 2.0}}) + sampleLine(20, {{5, 2.0}}) +
                     sampleLine(30, {{5, 0.5}, {6, 1.0}}) + sampleLine(40, {{5, 3.0}})));
  // The prior: node 5 up once and down once in four samples, node 6 up once; its first line,
  // below the burn-in, would scale node 6 down.
  const std::string prior = dir.write(
      "prior.log", testing::smallLog(sampleLine(0, {{6, 0.5}}) + sampleLine(10, {{5, 2.0}}) +
                                     sampleLine(20, {{5, 0.5}, {6, 4.0}}) + sampleLine(30, {}) +
                                     sampleLine(40, {})));
  CommandLine command;
  command.logPath = run;
  command.priorPaths = {prior};
  command.burnIn = 10;
  command.quiet = true;
  command.statsPath = dir.path("s.tsv");
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
  const std::string samples = sampleLine(10, {{5, 2.0}}) + sampleLine(20, {});
  const std::string run = dir.write("run.log", testing::smallLog(samples));
  const std::string chain = dir.write("chain.log", testing::smallLog(samples));
  std::string other = testing::smallLog(samples);
  other.replace(other.find("3\tC"), 3, "3\tE");
  const std::string otherTree = dir.write("other.log", other);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{otherTree},
       "Error in " + otherTree + ": not the tree of " + run + ": taxon line 3 is 3 E, not 3 C\n"},
      {{run},
       "Error in " + run + ": the same file as " + run + "; each chain is a run of its own\n"},
      {{chain},
       "Error in " + chain + ": the same file as " + chain + "; each chain is a run of its own\n"},
  };
  for (const auto& [priors, message] : cases) {
    CommandLine command;
    command.logPath = run;
    command.chainPaths = {chain};
    command.priorPaths = priors;
    command.quiet = true;
    const testing::Failure failure = testing::catchFailure(
        [&] { testing::written([&](FILE* out) { runAnalysis(command, out); }); });
    EXPECT_EQ(failure.status, 1);
    EXPECT_EQ(failure.message, message);
  }
}

}  // namespace
}  // namespace scalesum
