#include "KernelDensity.h"

namespace scalesum {

double findDensityMode(const DensitySummary& summary) {
  return findDensityModeReference(summary);
}

}  // namespace scalesum
