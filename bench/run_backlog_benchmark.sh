#!/usr/bin/env bash
# The backlog benchmark: how far `varno-inspect backlog --prometheus --dir`
# stays from the I/O it cannot avoid, and whether its time per file stays
# flat as the number of files grows.
#
# usage: bench/run_backlog_benchmark.sh [BUILD_DIR]     (default: build/)
#   VARNO_BENCH_FILES     the two folder sizes (default "1000 10000")
#   VARNO_BENCH_REPEATS   runs of each timing; the best is kept (default 5)
#   TMPDIR                where the folders go
#
# Each folder holds copies of one store file of 5 messages, 3 of them
# pending (so backlog also reads the record at the forward offset), named as
# the service names them. Timings (wall clock, best of the repeats, the files
# in the page cache):
#   (a) varno-inspect backlog --prometheus --dir FOLDER, output to /dev/null
#   (b) floor: list the folder, then open, read 192 bytes and close each file
# Targets: (a)/(b) <= 1.5 at the larger folder; (a) per file at the larger
# within 1.2 times (a) per file at the smaller.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
sizes=(${VARNO_BENCH_FILES:-1000 10000})
repeats=${VARNO_BENCH_REPEATS:-5}
storegen=$build/varno-storegen
inspect=$build/varno-inspect
measure=$build/bench/varno-bench-measure
floor=$build/bench/varno-bench-open_read_floor
for program in "$storegen" "$inspect" "$measure" "$floor"; do
  if [[ ! -x $program ]]; then
    echo "missing $program: build the project first (cmake --workflow --preset default)" >&2
    exit 1
  fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/varno-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
export VARNO_HOME=$tmp/home/
"$storegen" "$tmp/template" --messages 5 --forwarded 2 >/dev/null

# Best wall-clock time of $repeats runs of PROGRAM...; fails on a non-zero exit.
best_of() {
  local best="" seconds rss code
  for ((i = 0; i < repeats; i++)); do
    read -r seconds rss code <<<"$("$measure" /dev/null /dev/null "$@")"
    if [[ $code != 0 ]]; then
      echo "benchmark step failed (exit $code): $*" >&2
      exit 1
    fi
    if [[ -z $best ]] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
    fi
  done
  echo "$best"
}
per_file_us() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.1f", t / n * 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo "Backlog benchmark (best of $repeats)"
per_file=()
for n in "${sizes[@]}"; do
  folder=$tmp/files-$n
  mkdir "$folder"
  "$floor" --copy "$tmp/template" "$folder" "$n"
  cat "$folder"/* >/dev/null  # into the page cache for every run alike
  samples=$("$inspect" backlog --prometheus --dir "$folder" | grep -c '^varno_store_up{.*} 1$')
  if [[ $samples != "$n" ]]; then
    echo "backlog read $samples files of $n" >&2
    exit 1
  fi
  t_a=$(best_of "$inspect" backlog --prometheus --dir "$folder")
  t_b=$(best_of "$floor" "$folder")
  per_file+=("$(per_file_us "$t_a" "$n")")
  printf '  %6d files: (a) backlog %8.3f s, %6s us a file; (b) floor %8.3f s, %6s us a file; (a)/(b) = %s\n' \
    "$n" "$t_a" "$(per_file_us "$t_a" "$n")" "$t_b" "$(per_file_us "$t_b" "$n")" "$(ratio "$t_a" "$t_b")"
  rm -rf "$folder"
done
if ((${#per_file[@]} > 1)); then
  printf '  (a) a file at %s files / at %s files = %s   (target 1.2; (a)/(b) target 1.5)\n' \
    "${sizes[-1]}" "${sizes[0]}" "$(ratio "${per_file[-1]}" "${per_file[0]}")"
fi
