#include "warnings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace scalesum {
namespace {

TEST(Warnings, AWarningOfAColumnWithALongNameIsOneWholeLine) {
  // A header line may name a column with any number of bytes; the warning must still end its line.
  const std::string name(600, 'L');
  ParamsRow row;
  row.convergence.rhat = 1.5;
  const std::string line = highRhatWarning(Tree{}, Results{}, {row}, {"Iter", name});
  EXPECT_EQ(line,
            "Scalesum: warning: 1 of 1 series or columns has an R-hat of 1.01 or more, the "
            "worst 1.500 (column " +
                name + "); the chain may need to run longer\n");
}

}  // namespace
}  // namespace scalesum
