#!/usr/bin/env bash
# The recovery benchmark: how far `varno-inspect verify` and `salvage` over a
# large store file stay from the I/O they cannot avoid, and what memory they
# need (it must not grow with the file: the scan reads in blocks).
#
# usage: bench/run_recovery_benchmark.sh [BUILD_DIR]     (default: build/)
#   VARNO_BENCH_MESSAGES  records in the store file (default 1000000: ~410 MB)
#   VARNO_BENCH_REPEATS   runs of each timing; the best is kept (default 3)
#   VARNO_BENCH_INSPECT   another varno-inspect to time (an older build, to compare)
#   TMPDIR                where the files go (needs twice the file's size)
#
# The store file is a wrapped ring with one damaged record in each part, so
# the scan finds, links and reconciles rather than walking a clean ring.
# Timings (wall clock, best of the repeats, FILE in the page cache):
#   (a) verify FILE                    floor: cat FILE >/dev/null
#   (b) salvage FILE OUT               floor: cp FILE OUT, then sync OUT
# and each one's peak resident set size.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
messages=${VARNO_BENCH_MESSAGES:-1000000}
repeats=${VARNO_BENCH_REPEATS:-3}
storegen=$build/varno-storegen
inspect=${VARNO_BENCH_INSPECT:-$build/varno-inspect}
measure=$build/bench/varno-bench-measure
for program in "$storegen" "$inspect" "$measure"; do
  if [[ ! -x $program ]]; then
    echo "missing $program: build the project first (cmake --workflow --preset default)" >&2
    exit 1
  fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/varno-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
export VARNO_HOME=$tmp/home/
file=$tmp/big.DEV1
out=$tmp/out.DEV1
"$storegen" "$file" --messages "$messages" --wrap --forwarded $((messages / 2)) \
  --damage record-byte:$((messages / 4)) --damage record-byte:$((messages * 3 / 4)) >/dev/null
cat "$file" >/dev/null

# Best of $repeats runs of PROGRAM... (a full path) into $best seconds and
# $best_rss KiB. BEFORE is run (untimed) ahead of each run. Fails on an exit
# status other than EXPECTED.
best_of() {
  local expected=$1 before=$2 seconds rss code
  best=""
  best_rss=""
  shift 2
  for ((i = 0; i < repeats; i++)); do
    eval "$before"
    read -r seconds rss code <<<"$("$measure" /dev/null /dev/null "$@")"
    if [[ $code != "$expected" ]]; then
      echo "benchmark step failed (exit $code, expected $expected): $*" >&2
      exit 1
    fi
    if [[ -z $best ]] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
      best_rss=$rss
    fi
  done
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

size=$(stat -c %s "$file")
echo "Recovery benchmark: $messages records, $size bytes (best of $repeats)"
# Verify finds the two damaged records: exit 1.
best_of 1 : "$inspect" verify "$file"
t_verify=$best rss_verify=$best_rss
best_of 0 : "$(command -v cat)" "$file"
t_cat=$best
printf '  (a) verify  %8.3f s, peak %6s MiB; floor cat      %8.3f s; (a)/floor = %s\n' \
  "$t_verify" "$(mib "$rss_verify")" "$t_cat" "$(ratio "$t_verify" "$t_cat")"
# Salvage drops them and reports the loss: exit 1.
best_of 1 "rm -f '$out'" "$inspect" salvage "$file" "$out"
t_salvage=$best rss_salvage=$best_rss
best_of 0 "rm -f '$out'" "$(command -v sh)" -c 'cp "$1" "$2" && sync "$2"' sh "$file" "$out"
t_copy=$best
printf '  (b) salvage %8.3f s, peak %6s MiB; floor cp+sync  %8.3f s; (b)/floor = %s\n' \
  "$t_salvage" "$(mib "$rss_salvage")" "$t_copy" "$(ratio "$t_salvage" "$t_copy")"
