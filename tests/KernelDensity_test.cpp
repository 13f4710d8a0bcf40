#include "KernelDensity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace scalesum {
namespace {

// Series that come in runs of equal values, as the Scalars of rarely scaled branches do, and
// series that do not, on both sides of the share of runs that picks sorting the runs alone and
// of the size below which a comparison sort serves: every bit as a comparison sort orders them,
// -0 before +0 and the not-a-numbers last in the order given.
TEST(SortReals, RunsOrNotEveryBitInTotalOrder) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double nan = std::nan(""), otherNan = -std::nan("1");
  const std::vector<double> kinds = {1.0,    -0.0,    0.0,           0.5, -2.5,     kInf,  -kInf,
                                     4e-320, -4e-320, 1.0 + 0x1p-52, nan, otherNan, 1e300, -1e-300};
  std::mt19937_64 random(3);
  for (int32_t n : {255, 256, 257, 1000, 5000}) {
    for (int32_t runLength : {1, 3, 4, 5, 50}) {
      std::vector<double> values;
      while (static_cast<int32_t>(values.size()) < n) {
        const double v = random() % 3 == 0 ? kinds[random() % kinds.size()]
                                           : std::ldexp(static_cast<double>(random() % 1000), -5);
        for (int32_t k = 0; k < runLength && static_cast<int32_t>(values.size()) < n; ++k)
          values.push_back(v);
      }
      std::vector<double> want = values;
      const auto numbersEnd =
          std::stable_partition(want.begin(), want.end(), [](double v) { return !std::isnan(v); });
      std::sort(want.begin(), numbersEnd, [](double a, double b) {
        return a < b || (a == b && std::signbit(a) && !std::signbit(b));
      });
      sortReals(values.data(), n);
      for (int32_t i = 0; i < n; ++i) {
        ASSERT_EQ(std::bit_cast<uint64_t>(values[i]), std::bit_cast<uint64_t>(want[i]))
            << n << " values in runs of " << runLength << ", at " << i;
      }
    }
  }
}

}  // namespace
}  // namespace scalesum
