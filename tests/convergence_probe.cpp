// Prints what the convergence diagnostics make of draws stored in a file, so that a test can
// hold them against another implementation.
//
//   convergence_probe chains FILE M   FILE holds M chains of equal length, one after the
//                                     other; prints rhat, ess_bulk, ess_tail, mcse_mean,
//                                     mcse_sd and the median's mcse
//   convergence_probe quantiles FILE  prints the standard normal quantile of each value
//
// FILE holds little-endian binary doubles, so that both sides read the very same values.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "convergence.h"

using namespace scalesum;

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  FILE* in = std::fopen(argv[2], "rb");
  if (in == nullptr) return 2;
  std::vector<double> values;
  double value;
  while (std::fread(&value, sizeof value, 1, in) == 1) values.push_back(value);
  std::fclose(in);
  if (std::strcmp(argv[1], "quantiles") == 0) {
    for (double p : values) std::printf("%.17g\n", normalQuantile(p));
    return 0;
  }
  if (std::strcmp(argv[1], "chains") != 0 || argc != 4) return 2;
  const size_t m = std::strtoul(argv[3], nullptr, 10);
  if (m == 0 || values.size() % m != 0) return 2;
  const size_t length = values.size() / m;
  std::vector<const double*> chains;
  for (size_t c = 0; c < m; ++c) chains.push_back(values.data() + c * length);
  ConvergenceScratch scratch;
  const Convergence d = convergence(chains, length, scratch);
  ConvergenceScratch own;
  const MonteCarloErrors e = monteCarloErrors(chains, length, own);
  std::printf("%.17g %.17g %.17g %.17g %.17g %.17g\n", d.rhat, d.essBulk, d.essTail, e.mean, e.sd,
              e.median);
  return 0;
}
