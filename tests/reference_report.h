#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scalesum::testing {

// The clade placement as first written: every candidate's taxa scanned for every taxon. Clade j
// lists taxa[j]; build() sets root, parent (-1 for none) and children, as indices.
struct ReferenceTree {
  std::vector<std::vector<int32_t>> taxa;
  int root = -1;
  std::vector<int> parent;
  std::vector<std::vector<int>> children;

  // Offers `clade` to `candidate` and below; returns whether it was attached there.
  bool insert(int clade, int candidate);
  // Takes the first clade of `taxonCount` taxa as the root (one must exist) and offers it every
  // other clade, largest first and in order among equals.
  void build(int taxonCount);
};

// Returns the report that the log text `log` calls for with burn-in `burnIn`, read as the README
// describes the format and worked out without the program's readers, or nothing when the log
// breaks a rule of the format. Only the mode search is left to the density module's reference
// loop.
std::optional<std::string> referenceReport(const std::string& log, int32_t burnIn);

// Returns the burn-in that the options text sets (its last IT line), or nothing when an IT line
// lacks its value; the other keywords are not checked.
std::optional<int32_t> referenceBurnIn(const std::string& options);

// Returns the whitespace-separated words of `line`.
std::vector<std::string> referenceWords(const std::string& line);

}  // namespace scalesum::testing
