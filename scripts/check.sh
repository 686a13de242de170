#!/usr/bin/env bash
# The project's layout and lint checks: clang-format over every C++ file, and
# clang-tidy (the root .clang-tidy) over every source file of the build in
# $1 (default build/, configured by scripts/build.sh). Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
mapfile -t files < <(git ls-files '*.cpp' '*.h')
echo "check: clang-format over ${#files[@]} files"
clang-format --dry-run -Werror "${files[@]}"
echo "check: clang-tidy over the sources of $dir"
run-clang-tidy -p "$dir" -quiet -j "$(nproc)" "$PWD/(game|platform|service|scoreboard|protocol|tests|bench|fuzz)/" \
  2>&1 | sed 's/\x1b\[[0-9;]*m//g' >"$dir/clang-tidy.log" || true
if grep -qE "(error|warning):" "$dir/clang-tidy.log"; then
  grep -E "(error|warning):" "$dir/clang-tidy.log" | sort -u
  exit 1
fi
echo "check: clean"
