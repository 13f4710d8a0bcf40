#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "provenance.h"
#include "results.h"
#include "tree.h"
#include "verdict.h"

namespace scalesum {

// Appends `text` as a JSON string, quotes included: quote, backslash and control bytes
// escaped, and each byte that is not part of well-formed UTF-8 written as U+FFFD.
void appendJsonString(std::string& out, std::string_view text);

// Appends `value` in its shortest form that reads back to it, or null when it is not finite:
// JSON has no infinity and no not-a-number.
void appendJsonNumber(std::string& out, double value);

// A credible shift, as the summary gives it.
struct CredibleShiftRow {
  int32_t nodeId = 0;
  std::vector<std::string> taxa;  // in the statistics file's order
  int direction = 0;              // +1 an increase, -1 a decrease
  double share = 0.0;             // pct_up or pct_down, in percent
  std::optional<double> bayesFactor;
};

// Returns the nodes of `tree` that are credible shifts at `percent`, each once, in node order.
std::vector<CredibleShiftRow> credibleShiftRows(const Tree& tree, const Results& results,
                                                double percent);

// Writes the summary document of a run: where it came from, its thresholds and verdict, and
// its credible shifts at `crediblePercent`.
void writeSummary(FILE* out, const Provenance& provenance, const Thresholds& thresholds,
                  const Verdict& verdict, const std::vector<CredibleShiftRow>& shifts,
                  double crediblePercent);

}  // namespace scalesum
