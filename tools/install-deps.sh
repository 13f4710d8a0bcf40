#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests (the readers of the tree file
# and the picture among them) and the fuzzers need and the machine lacks. Run as root (or with
# sudo); does nothing when all is there.
set -euo pipefail
packages=(g++ cmake make libgtest-dev libbenchmark-dev zlib1g-dev python3 time
          clang libclang-rt-14-dev libomp-14-dev
          python3-dendropy r-cran-ape r-cran-posterior libxml2-utils librsvg2-bin)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
