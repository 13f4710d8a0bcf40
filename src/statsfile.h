#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "results.h"
#include "tree.h"

namespace scalesum {

// Appends the shortest text that reads back as `value`, "nan" for any not-a-number.
void appendStatisticNumber(std::string& line, double value);

// Appends a tab and the value as appendStatisticNumber writes it, or a tab and NA when empty.
void appendStatisticCell(std::string& line, const std::optional<double>& value);

// Writes the whole statistics file: a header line, then one line per node and series.
void writeStatistics(FILE* out, const Tree& tree, const Results& results);

}  // namespace scalesum
