#include "statsfile.h"

#include <charconv>
#include <cmath>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "failure.h"
#include "report.h"
#include "statistic.h"

namespace scalesum {

namespace {

// Sets `cell` to the node's sorted, comma-joined taxon names; a name holding a double quote
// makes the cell a quoted one, so that table readers take the quote as text.
void taxaCell(std::string& cell, const Node& node,
              const std::unordered_map<int32_t, const char*>& names,
              std::vector<const char*>& sorted) {
  sortTaxonNames(node, names, sorted);
  cell.clear();
  for (size_t k = 0; k < sorted.size(); ++k) {
    if (k > 0) cell += ',';
    cell += sorted[k];
  }
  if (cell.find('"') == std::string::npos) return;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  cell = quoted + '"';
}

}  // namespace

void appendStatisticNumber(std::string& line, double value) {
  // The sign of a not-a-number carries no meaning, and "-nan" is the one spelling that not
  // every reader of tables accepts.
  if (std::isnan(value)) {
    line += "nan";
    return;
  }
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  line.append(text, end);
}

void appendStatisticCell(std::string& line, const std::optional<double>& value) {
  line += '\t';
  if (value) {
    appendStatisticNumber(line, *value);
  } else {
    line += "NA";
  }
}

void writeStatistics(FILE* out, const Tree& tree, const Results& results) {
  std::string line;
  std::string taxa;
  std::vector<const char*> sorted;
  try {
    line = "node_id\ttaxa\tseries";
    for (const StatisticColumn& column : statisticColumns()) {
      line += '\t';
      line += column.name;
    }
    line += '\n';
    std::fputs(line.c_str(), out);
    const std::unordered_map<int32_t, const char*> names = namesById(tree);
    for (size_t i = 0; i < tree.nodes.size(); ++i) {
      const Node& node = *tree.nodes[i];
      taxaCell(taxa, node, names, sorted);
      for (int s = 0; s < kSeriesCount; ++s) {
        const SeriesStatistics stats = seriesStatistics(tree, results, i, static_cast<Series>(s));
        line = std::to_string(node.id);
        line += '\t';
        line += taxa;
        line += '\t';
        line += kSeriesNames[s];
        for (const StatisticColumn& column : statisticColumns()) {
          const std::optional<double> value = column.value(results, i, stats);
          if (column.form == Cell::kCount && value) {
            line += '\t';
            line += std::to_string(static_cast<int64_t>(*value));
          } else if (column.form == Cell::kRatio && value && std::isinf(*value)) {
            line += *value > 0 ? "\tInf" : "\t-Inf";
          } else {
            appendStatisticCell(line, value);
          }
        }
        line += '\n';
        std::fputs(line.c_str(), out);
      }
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 20);
  }
}

}  // namespace scalesum
