#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tree.h"

namespace scalesum::testing {

// Returns where `built` differs from the one the straightforward clade
// insertion makes of its node table, or from the rule that each position shows the first node
// with its id in pre-order; empty when it does not.
std::string treeMismatch(const Tree& built);

// A log read as the README describes it, without the program's readers: per position of the
// node table the node shown there, its length in every retained sample and its change count.
struct ReferenceRun {
  struct Row {
    int32_t id = 0;
    size_t taxonCount = 0;
    double length = 0.0;  // as the report gives it: the root's is 0
    std::string taxa;     // sorted, comma-joined names
    std::vector<double> history;
    int32_t changed = 0;
  };
  std::vector<Row> rows;
  std::vector<double> sigma;
};

// Returns the run that the log text calls for with `burnIn`, or nothing when the log breaks a
// rule of the format.
std::optional<ReferenceRun> referenceRun(const std::string& log, int32_t burnIn);

// Returns the report of referenceRun, or nothing. Only the mode search is left to the density
// module's reference loop.
std::optional<std::string> referenceReport(const std::string& log, int32_t burnIn);

// Returns the burn-in that the options text sets (its last IT line), or nothing when an IT line
// lacks its value; the other keywords are not checked.
std::optional<int32_t> referenceBurnIn(const std::string& options);

}  // namespace scalesum::testing
