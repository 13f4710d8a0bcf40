#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed program and manual page,
# and that the manual, --help and the README agree with the program on version and keywords.
set -euo pipefail
build=$1 version=$2 source_dir=$3 prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cmake --install "$build" --prefix "$prefix" > /dev/null
program="$prefix/bin/Scalesum" page="$prefix/share/man/man1/Scalesum.1.gz"
[ "$("$program" --version)" = "Scalesum $version" ] || fail "--version is not $version"
MANWIDTH=80 man -l "$page" > "$prefix/page.txt" 2> "$prefix/man.err" || fail "man -l failed"
[ -s "$prefix/man.err" ] && fail "man -l complained: $(cat "$prefix/man.err")"
grep -q "Scalesum $version" "$prefix/page.txt" || fail "the manual does not give version $version"
grep -q "describes Scalesum $version\." "$source_dir/README.md" || fail "README is not for $version"
help_keywords=$("$program" --help | sed -n 's/^  \([A-Z][A-Z]*\)\( .*\)\{0,1\}$/\1/p' | sort -u)
manual_keywords=$(gzip -dc "$page" | sed -n '/^\.SH OPTIONS FILE/,/^\.SH EXIT/p' |
                  sed -n 's/^\.BI\{0,1\} \([A-Z][A-Z]*\)\( .*\)\{0,1\}$/\1/p' | sort -u)
[ -n "$help_keywords" ] && [ "$help_keywords" = "$manual_keywords" ] ||
  fail "keywords differ: --help: $(echo $help_keywords) manual: $(echo $manual_keywords)"
echo "installed program and manual agree on version $version and keywords: $(echo $help_keywords)"
