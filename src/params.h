#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "convergence.h"
#include "statistic.h"

namespace scalesum {

// How many global columns a sample line has: fields 1 to 6, K (field 3) among them.
inline constexpr int kGlobalColumnCount = 6;

// The global columns of one chain's retained sample lines, in sample order: every column holds
// one value per iteration.
struct ChainColumns {
  std::vector<int32_t> iterations;  // field 0
  // Column c is field c + 1; a field that is not a number in a line is not-a-number there.
  std::array<std::vector<double>, kGlobalColumnCount> values;
  // Whether the column was not a number in some retained line.
  std::array<bool, kGlobalColumnCount> notANumber{};
};

// One row of the parameter table: a column of one chain, or of all of them (chain 0).
struct ParamsRow {
  int field = 1;
  int chain = 0;
  SeriesStatistics stats;
  Convergence convergence;  // not-a-number except in the rows of all chains
  MonteCarloErrors errors;  // the same
};

// Returns the name of field `field` (1 to 6): the header line's field at that position when it
// has one, else "field<field>".
std::string columnName(const std::vector<std::string>& headerFields, int field);

// Returns the rows of the parameter table: for each column in field order, one row per chain,
// then the row of all chains' values concatenated, whose convergence figures come from the
// chains cut to the shortest one. A column that is not a number in some line of a chain has
// only its count in that chain's rows and in the row of all chains.
std::vector<ParamsRow> paramsRows(const std::vector<ChainColumns>& chains, double hpdMass);

// Writes the parameter table: a header line, then the rows.
void writeParams(FILE* out, const std::vector<ParamsRow>& rows,
                 const std::vector<std::string>& headerFields);

// Writes the traces table: a header line, then one line per retained sample of each chain in
// turn, its sample index within the chain counted from 0.
void writeTraces(FILE* out, const std::vector<ChainColumns>& chains,
                 const std::vector<std::string>& headerFields);

}  // namespace scalesum
