#!/bin/bash
# Builds and installs Scalesum into the conda prefix. The compiler flags are conda's own
# (a portable baseline); the vector kernels are chosen at run time, so nothing here may ask for
# the build machine's own instruction set.
set -euxo pipefail
cmake -S . -B build ${CMAKE_ARGS} \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="${PREFIX}" \
  -DSCALESUM_BUILD_TESTS=OFF \
  -DSCALESUM_BUILD_BENCHMARKS=OFF
cmake --build build -j "${CPU_COUNT}"
cmake --install build
