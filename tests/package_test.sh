#!/usr/bin/env bash
# Builds the release packages from the configured and built tree in a temporary folder, unpacks
# the Debian package without root, runs its program on the example and holds the package to
# Debian's rules (lintian, where installed). Exits 77 (skipped) without cpack or dpkg-deb.
set -euo pipefail
build=$1 version=$2 source_dir=$3
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" > /dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  fail "cpack -G DEB: $(cat "$work/cpack.log")"
deb="$work/out/scalesum_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work/out")"

dpkg-deb -x "$deb" "$work/root"
program="$work/root/usr/bin/Scalesum"
"$program" "$source_dir/examples/example.log" "$source_dir/examples/example.options" \
  > "$work/report" || fail "the packaged program failed"
cmp -s "$work/report" "$source_dir/examples/example.report" ||
  fail "the packaged program's report differs from examples/example.report"
[ "$("$program" --version)" = "Scalesum $version" ] || fail "--version is not $version"

# Any x86-64 runs it: instructions beyond the baseline (VEX or EVEX encoded, such as any use of
# the ymm or zmm registers) appear only in the objects of the kernels and in the AVX2 and AVX-512
# clones of functions the compiler dispatches itself (`name.avx2`, `name.avx512f`), all entered
# after a check of the CPU.
beyond() {
  objdump -d --no-show-raw-insn "$1" |
    awk '/^[0-9a-f]+ <.*>:$/ { clone = index($0, ".avx2") > 0 || index($0, ".avx512f") > 0 }
         !clone && ($2 ~ /^v/ || /%[yz]mm/)' | head -1
}
if command -v objdump > /dev/null && [ "$(uname -m)" = x86_64 ]; then
  objects=$(find "$build/CMakeFiles/scalesum_core.dir" "$build/CMakeFiles/Scalesum.dir" -name '*.o')
  kernels=0
  for object in $objects; do
    case $object in
      */KernelDensityAvx2.cpp.o | */KernelDensityAvx512.cpp.o)
        [ -n "$(beyond "$object")" ] && kernels=$((kernels + 1)) ;;
      *) [ -z "$(beyond "$object")" ] || fail "$object goes beyond x86-64: $(beyond "$object")" ;;
    esac
  done
  [ "$kernels" = 2 ] || fail "the two vector kernels were not found among the objects"
fi

doc="$work/root/usr/share/doc/scalesum"
cmp -s "$doc/copyright" "$source_dir/packaging/copyright" || fail "no copyright file"
gzip -dc "$doc/changelog.gz" | sed -n 1p | grep -qx "scalesum ($version) unstable; urgency=medium" ||
  fail "the changelog.gz does not begin with $version"
gzip -t "$work/root/usr/share/man/man1/Scalesum.1.gz" || fail "no compressed manual page"
for file in README.md example.log example.options Snakefile chains/README.md chains/planted.tsv \
            chains/run1.log.gz chains/run2.log.gz chains/run3.log.gz chains/prior.log.gz; do
  cmp -s "$doc/examples/$file" "$source_dir/examples/$file" || fail "examples/$file is not installed"
done
"$program" -q "$doc/examples/chains/run1.log.gz" -c "$doc/examples/chains/run2.log.gz" \
  > /dev/null || fail "the packaged program failed on the installed chains"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *"libgomp1 "* && "$depends" == *"zlib1g "* ]] || fail "Depends: $depends"
[ "$(dpkg-deb -f "$deb" Section)" = science ] || fail "the section is not science"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 5 ] || fail "no extended description"

if command -v lintian > /dev/null; then
  lintian --fail-on error,warning "$deb" > "$work/lintian.log" 2>&1 ||
    fail "lintian: $(cat "$work/lintian.log")"
  grep -q '^[EW]:' "$work/lintian.log" && fail "lintian: $(cat "$work/lintian.log")"
else
  echo "lintian is not installed: the package was not checked against Debian's rules"
fi

# The binary tarball holds the installed tree; the source tarball the sources without any
# build or checkout folder.
cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  fail "cpack -G TGZ: $(cat "$work/cpack.log")"
tar -tzf "$work/out"/scalesum-"$version"-*.tar.gz | grep -q '/bin/Scalesum$' ||
  fail "the binary tarball lacks bin/Scalesum"
cpack --config "$build/CPackSourceConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  fail "the source tarball: $(cat "$work/cpack.log")"
tar -tzf "$work/out/scalesum-$version.tar.gz" > "$work/sources"
for file in LICENSE CMakeLists.txt src/run.cpp examples/example.log packaging/conda/meta.yaml; do
  grep -qx "scalesum-$version/$file" "$work/sources" || fail "the source tarball lacks $file"
done
grep -E "^scalesum-$version/(build[^/]*|\.git)/" "$work/sources" | head -1 | grep . &&
  fail "the source tarball holds a build or checkout folder"
echo "scalesum_${version} packages: report identical, Depends: $depends"
