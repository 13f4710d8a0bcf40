#!/usr/bin/env bash
# Installs, from Debian's packages, what the machine lacks of what Scalesum needs. With --build,
# only what building the program and running the simulator take; without it, also what the
# tests (the readers and the viewer of the tree file and the picture, the package checks and the
# workflow and the page in a browser among them), the fuzzers and the guide's examples need. Run as root (or with sudo);
# does nothing when all is there.
set -euo pipefail
packages=(g++ cmake make zlib1g-dev python3)
case "${1-}" in
  --build) ;;
  '') packages+=(libgtest-dev libbenchmark-dev time
                 clang libclang-rt-14-dev libomp-14-dev
                 python3-dendropy r-cran-ape r-cran-posterior libxml2-utils librsvg2-bin figtree
                 dpkg-dev lintian bsdutils snakemake python3-jinja2 python3-yaml
                 python3-matplotlib python3-pandas python3-jsonschema r-base-core
                 chromium chromium-driver python3-selenium python3-pil) ;;
  *) echo "usage: $0 [--build]" >&2; exit 1 ;;
esac
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
