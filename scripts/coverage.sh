#!/usr/bin/env bash
# Line and branch coverage of the product code by the whole test suite,
# unit and end-to-end alike (the executables the tests start write their own
# profiles). Uses clang's source-based coverage: the `coverage` preset.
#
# usage: scripts/coverage.sh [--html DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/coverage
rm -rf "$build/profiles"
mkdir -p "$build/profiles"
cmake --workflow --preset coverage

profdata=$(command -v llvm-profdata || command -v llvm-profdata-14)
cov=$(command -v llvm-cov || command -v llvm-cov-14)
"$profdata" merge -sparse "$build"/profiles/*.profraw -o "$build/coverage.profdata"

# Every executable of the build carries the mapping of the code it contains.
objects=()
for exe in "$build"/varno-analyze "$build"/varno-storegen "$build"/varno-reg "$build"/varno-inspect \
  "$build"/tests/*; do
  [[ -x $exe && -f $exe ]] && objects+=(-object "$exe")
done
# Product code only: not the tests, the test support, the benchmarks or the
# system headers.
ignore='(_test\.cc|/tests/|/bench/|/fuzz/|^/usr/)'

"$cov" report "${objects[@]:1}" -instr-profile="$build/coverage.profdata" \
  -ignore-filename-regex="$ignore" -show-branch-summary | tee "$build/coverage.txt"

if [[ ${1:-} == --html ]]; then
  "$cov" show "${objects[@]:1}" -instr-profile="$build/coverage.profdata" \
    -ignore-filename-regex="$ignore" -format=html -show-branches=count -output-dir="${2:-$build/html}"
  echo "HTML report in ${2:-$build/html}"
fi
