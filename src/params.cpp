#include "params.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>

#include "KernelDensity.h"
#include "failure.h"
#include "series.h"
#include "statsfile.h"

namespace scalesum {

namespace {

// Returns the statistics of the n values of a column in sample order, as the statistics file
// gives those of a series; only the count when the column is not a number somewhere.
SeriesStatistics columnStatistics(const double* values, size_t n, bool notANumber, double hpdMass,
                                  std::vector<double>& inOrder) {
  SeriesStatistics s;
  s.n = static_cast<int32_t>(n);
  if (n == 0 || notANumber) return s;
  inOrder.assign(values, values + n);
  SeriesResult r;
  r.summary = createDensitySummary(static_cast<int32_t>(n), values);
  SampleSizeScratch scratch;
  addStatistics(hpdMass, inOrder, r.summary, r, scratch);
  s = reportedStatistics(r, s.n);
  s.mode.reset();  // the table has no mode: the run never estimates these densities
  return s;
}

// Returns `value` unless it is not-a-number, the convergence module's NA.
std::optional<double> unlessNA(double value) {
  return std::isnan(value) ? std::nullopt : std::optional<double>(value);
}

}  // namespace

std::string columnName(const std::vector<std::string>& headerFields, int field) {
  const auto at = static_cast<size_t>(field);
  if (at < headerFields.size() && !headerFields[at].empty()) return headerFields[at];
  return "field" + std::to_string(field);
}

std::vector<ParamsRow> paramsRows(const std::vector<ChainColumns>& chains, double hpdMass) {
  constexpr double kNA = std::numeric_limits<double>::quiet_NaN();
  std::vector<ParamsRow> rows;
  std::vector<double> pooled, inOrder;
  std::vector<const double*> starts;
  ConvergenceScratch scratch;
  try {
    for (int column = 0; column < kGlobalColumnCount; ++column) {
      const int field = column + 1;
      bool anyNotANumber = false;
      size_t shortest = chains.empty() ? 0 : SIZE_MAX;
      pooled.clear();
      starts.clear();
      for (size_t j = 0; j < chains.size(); ++j) {
        const std::vector<double>& values = chains[j].values[column];
        const bool notANumber = chains[j].notANumber[column];
        rows.push_back(
            {field,
             static_cast<int>(j + 1),
             columnStatistics(values.data(), values.size(), notANumber, hpdMass, inOrder),
             {kNA, kNA, kNA},
             {}});
        anyNotANumber |= notANumber;
        shortest = std::min(shortest, values.size());
        pooled.insert(pooled.end(), values.begin(), values.end());
        starts.push_back(values.data());
      }
      ParamsRow all{field,
                    0,
                    columnStatistics(pooled.data(), pooled.size(), anyNotANumber, hpdMass, inOrder),
                    {kNA, kNA, kNA},
                    {}};
      if (!anyNotANumber) {
        all.convergence = convergence(starts, shortest, scratch);
        all.errors = monteCarloErrors(starts, shortest, scratch, &scratch);
      }
      rows.push_back(all);
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("params", 1);
  }
  return rows;
}

void writeParams(FILE* out, const std::vector<ParamsRow>& rows,
                 const std::vector<std::string>& headerFields) {
  std::fputs(
      "name\tfield\tchain\tn\tmean\tsd\tmedian\thpd_lower\thpd_upper\tess\trhat\tess_bulk\t"
      "ess_tail\tmin\tmax\tmcse_mean\tmcse_sd\tmcse_median\n",
      out);
  std::string line;
  try {
    for (const ParamsRow& row : rows) {
      const SeriesStatistics& s = row.stats;
      line = columnName(headerFields, row.field);
      line += '\t';
      line += std::to_string(row.field);
      line += '\t';
      line += row.chain == 0 ? "all" : std::to_string(row.chain);
      line += '\t';
      line += std::to_string(s.n);
      for (const std::optional<double>& cell :
           {s.mean, s.sd, s.median, s.hpdLower, s.hpdUpper, s.ess, unlessNA(row.convergence.rhat),
            unlessNA(row.convergence.essBulk), unlessNA(row.convergence.essTail), s.min, s.max,
            unlessNA(row.errors.mean), unlessNA(row.errors.sd), unlessNA(row.errors.median)}) {
        appendStatisticCell(line, cell);
      }
      line += '\n';
      std::fputs(line.c_str(), out);
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("params", 2);
  }
}

void writeTraces(FILE* out, const std::vector<ChainColumns>& chains,
                 const std::vector<std::string>& headerFields) {
  std::string line = "chain\tsample\titeration";
  try {
    for (int field = 1; field <= kGlobalColumnCount; ++field) {
      line += '\t';
      line += columnName(headerFields, field);
    }
    line += '\n';
    std::fputs(line.c_str(), out);
    for (size_t j = 0; j < chains.size(); ++j) {
      const ChainColumns& chain = chains[j];
      for (size_t i = 0; i < chain.iterations.size(); ++i) {
        line = std::to_string(j + 1);
        line += '\t';
        line += std::to_string(i);
        line += '\t';
        line += std::to_string(chain.iterations[i]);
        for (const std::vector<double>& column : chain.values) {
          line += '\t';
          appendStatisticNumber(line, column[i]);
        }
        line += '\n';
        std::fputs(line.c_str(), out);
      }
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("params", 3);
  }
}

}  // namespace scalesum
