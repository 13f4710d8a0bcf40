#include "params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::written;

// A chain whose column c holds `values` plus 10 * c, its iterations 100 apart.
ChainColumns chainOf(const std::vector<double>& values) {
  ChainColumns chain;
  for (size_t i = 0; i < values.size(); ++i) chain.iterations.push_back(100 * (int32_t)i);
  for (int c = 0; c < kGlobalColumnCount; ++c) {
    for (double v : values) chain.values[c].push_back(v + 10 * c);
  }
  return chain;
}

TEST(Params, AColumnThatIsNotANumberSomewhereHasOnlyItsCount) {
  std::vector<ChainColumns> chains = {chainOf({1, 2, 3, 4, 5, 6}), chainOf({4, 5, 6, 7, 8, 9})};
  chains[1].notANumber[2] = true;
  chains[1].values[2][3] = std::nan("");
  const std::vector<ParamsRow> rows = paramsRows(chains, 0.95);
  for (const ParamsRow& row : rows) {
    const bool touched = row.field == 3 && row.chain != 1;
    EXPECT_EQ(row.stats.n, row.chain == 0 ? 12 : 6);
    EXPECT_EQ(!row.stats.mean, touched) << row.field << " " << row.chain;
    EXPECT_EQ(!row.stats.max, touched);
    EXPECT_EQ(std::isnan(row.convergence.rhat), touched || row.chain != 0);
  }
}

TEST(Params, TableAsWritten) {
  const std::vector<ChainColumns> chains = {chainOf({0.5, 0.25, 1e-7}), chainOf({-3})};
  // Named by the header line where it has a name for the column; an empty name is none.
  const std::vector<std::string> header = {"It", "Lh", "", "K"};
  const std::string params =
      written([&](FILE* f) { writeParams(f, paramsRows(chains, 0.95), header); });
  const std::string expectedStart =
      "name\tfield\tchain\tn\tmean\tsd\tmedian\thpd_lower\thpd_upper\tess\trhat\tess_bulk\t"
      "ess_tail\tmin\tmax\tmcse_mean\tmcse_sd\tmcse_median\n"
      "Lh\t1\t1\t3\t0.25000003333333337\t0.24999995000000166\t0.25\t1e-07\t0.5\t3\tNA\tNA\tNA\t"
      "1e-07\t0.5\tNA\tNA\tNA\n"
      "Lh\t1\t2\t1\t-3\tNA\t-3\t-3\t-3\tNA\tNA\tNA\tNA\t-3\t-3\tNA\tNA\tNA\n"
      // A chain of one draw leaves nothing to diagnose.
      "Lh\t1\tall\t4\t-0.562499975\t1.6377703453679546\t0.12500005\t-3\t0.5\t4\tNA\tNA\tNA\t-3\t"
      "0.5\tNA\tNA\tNA";
  EXPECT_EQ(params.substr(0, params.find("\n", params.find("\tall\t"))), expectedStart);
  EXPECT_EQ(params.substr(params.rfind("\n", params.size() - 2) + 1, 15), "field6\t6\tall\t4\t");
}

}  // namespace
}  // namespace scalesum
