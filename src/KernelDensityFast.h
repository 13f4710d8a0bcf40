#pragma once

// The exact fast evaluation behind findDensityMode. Every engine here gives, for every grid
// point, the same bits as kernelDensityAt; they differ only in speed.

#include <cstdint>

#include "KernelDensity.h"

namespace scalesum {

// How many grid points an engine evaluates at once, and with which exp.
enum class DensityLanes {
  kReference,  // kernelDensityAt, point by point
  kScalar,     // one point at a time with the platform's exp
  kAvx2,       // four points at a time with a vector exp
  kAvx512,     // eight points at a time with a vector exp
};

// A way of evaluating the densities of a mode search.
struct DensityEngine {
  DensityLanes lanes = DensityLanes::kReference;
  bool zeroWindow = false;  // leave out the values whose terms are exactly zero
  bool valueRuns = false;   // form the term of a run of identical values once
  bool pruned = false;      // in the mode search, evaluate only the points that bounds leave open
};

// Returns the engine findDensityMode uses: the fastest usable one, chosen on first use.
DensityEngine selectedDensityEngine();

// Returns the name of the selected engine: "avx512", "avx2", "scalar-window" or "reference".
const char* densityEnginePath();

// Returns whether this CPU can execute the instructions of `lanes`.
bool densityLanesSupported(DensityLanes lanes);

// Returns whether `engine` reproduces the reference bit for bit on this machine: its lanes are
// supported and passed the start-up self-check against the platform's exp, and the zero window
// is only asked for where that exp is +0 below the window's bound.
bool densityEngineUsable(DensityEngine engine);

// Stores the points of the summary's search grid in `points` and their densities, evaluated
// with `engine` (or with the reference where the engine is not usable or the summary is
// degenerate), in `densities`; both need room for kMaxGridPoints. Returns the number of points,
// 0 when the search returns gridLow without evaluating any.
int32_t evaluateDensityGrid(const DensitySummary& summary, DensityEngine engine, double* points,
                            double* densities);

// Stores the points of the summary's search grid in `points` and, for each, bounds that enclose
// the density evaluateDensityGrid gives there: lower[k] <= density <= upper[k]. The bounds come
// from the vector `lanes` and hold on a platform whose exp passed their self-check; all arrays
// need room for kMaxGridPoints. Returns the number of points, or 0 when the summary is one the
// bounds do not cover (degenerate, extreme magnitudes, lanes not usable).
int32_t boundDensityGrid(const DensitySummary& summary, DensityLanes lanes, double* points,
                         double* lower, double* upper);

// Returns what findDensityMode returns, with the densities evaluated as evaluateDensityGrid does;
// with engine.pruned, only at the points whose bounds leave them a chance of being greatest.
double findDensityModeWith(const DensitySummary& summary, DensityEngine engine);

// Stores exp(in[i]) in out[i] as `lanes` computes it: the platform's exp for kReference and
// kScalar, the vector exp otherwise (the lanes must be supported).
void evaluateExpWith(DensityLanes lanes, const double* in, double* out, int64_t n);

}  // namespace scalesum
