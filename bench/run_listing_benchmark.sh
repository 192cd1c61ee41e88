#!/usr/bin/env bash
# The listing benchmark: how far menu 2 ("Print the Store File contents")
# stays from the I/O it cannot avoid, and whether its memory stays flat as the
# store file grows.
#
# usage: bench/run_listing_benchmark.sh [BUILD_DIR]     (default: build/)
#   VARNO_BENCH_RECORDS   records of the large store file (default 1000000)
#   VARNO_BENCH_SMALL     records of the small one, for memory (default 100000)
#   VARNO_BENCH_REPEATS   runs of each timing; the best is kept (default 3)
#   TMPDIR                where the scratch files go (about 1 GB at the peak)
#
# Timings (wall clock, best of the repeats; the store file is in the page
# cache, having just been written and read):
#   (a) menu 2 to an output file (F), standard output to /dev/null
#   (b) menu 2 on the screen (S), standard output to a file
#   (c) floor of (a): the 2 writes per record that the per-block flush
#       demands, of the same sizes, and nothing else
#   (d) floor of (b): reading the store file and writing as many bytes as (b)
#       produced, in 64 KiB chunks
#   (e) varno-inspect verify, output to /dev/null
#   (f) floor of (e): reading the store file once in 64 KiB chunks
#   (g) varno-inspect list --json, standard output to a file
# Targets: (a)/(c) <= 1.3, (b)/(d) <= 2.0, (e)/(f) <= 3.0, (g)/(b) <= 1.5;
# peak RSS of menu 2, verify and list --json for the large file within 10 %
# of that for the small one.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
records=${VARNO_BENCH_RECORDS:-1000000}
small=${VARNO_BENCH_SMALL:-100000}
repeats=${VARNO_BENCH_REPEATS:-3}

storegen=$build/varno-storegen
analyze=$build/varno-analyze
inspect=$build/varno-inspect
measure=$build/bench/varno-bench-measure
write_floor=$build/bench/varno-bench-listing_write_floor
copy_floor=$build/bench/varno-bench-copy_floor
for program in "$storegen" "$analyze" "$inspect" "$measure" "$write_floor" "$copy_floor"; do
  if [[ ! -x $program ]]; then
    echo "missing $program: build the project first (cmake --workflow --preset default)" >&2
    exit 1
  fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/varno-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
# The utility and storegen keep their logs and locks here, not in the user's.
export VARNO_HOME=$tmp/home/
store=$tmp/large.store
small_store=$tmp/small.store

# Runs `measure IN OUT PROGRAM...` and sets $seconds, $rss_kib; fails on a
# non-zero exit of the program.
run_measured() {
  local result code
  result=$("$measure" "$@")
  read -r seconds rss_kib code <<<"$result"
  if [[ $code != 0 ]]; then
    echo "benchmark step failed (exit $code): ${*:3}" >&2
    exit 1
  fi
}

# Best time of $repeats runs of `measure IN OUT PROGRAM...`; sets $best and
# $best_rss (the RSS of that run). The output is removed before each run.
best_of() {
  local out=$2
  best=""
  for ((i = 0; i < repeats; i++)); do
    [[ $out == /dev/null ]] || rm -f "$out"
    run_measured "$@"
    if [[ -z $best ]] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
      best_rss=$rss_kib
    fi
  done
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo "Building store files: $records and $small records, 1 tag each..."
start=$(date +%s.%N)
"$storegen" "$store" --messages "$records" --tags 1
"$storegen" "$small_store" --messages "$small" --tags 1
echo "  done in $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s;" \
  "large file $(stat -c %s "$store") bytes"
cat "$store" "$small_store" >/dev/null  # into the page cache for every run alike

listing_out=$tmp/listing.txt
screen_out=$tmp/screen.txt
printf '5000\n2\n%s\nF\n%s\n\nx\n' "$store" "$listing_out" >"$tmp/input_file"
printf '5000\n2\n%s\nS\n\nx\n' "$store" >"$tmp/input_screen"

echo "Timing (best of $repeats)..."
best_of "$tmp/input_file" /dev/null "$analyze"
t_a=$best
rss_large=$best_rss
listed=$(grep -c '^--------------Message # ' "$listing_out" || true)
if [[ $listed != "$records" ]]; then
  echo "menu 2 listed $listed records instead of $records" >&2
  exit 1
fi
listing_bytes=$(stat -c %s "$listing_out")
rm -f "$listing_out"

best_of "$tmp/input_screen" "$screen_out" "$analyze"
t_b=$best
screen_bytes=$(stat -c %s "$screen_out")
rm -f "$screen_out"

best_of /dev/null /dev/null "$write_floor" "$tmp/floor_c.txt" "$records"
t_c=$best
floor_bytes=$(stat -c %s "$tmp/floor_c.txt")
rm -f "$tmp/floor_c.txt"

best_of /dev/null /dev/null "$copy_floor" "$store" "$tmp/floor_d.txt" "$screen_bytes"
t_d=$best
rm -f "$tmp/floor_d.txt"

sed "s|$store|$small_store|" "$tmp/input_file" >"$tmp/input_small"
run_measured "$tmp/input_small" /dev/null "$analyze"
rss_small=$rss_kib
rm -f "$listing_out"

best_of /dev/null /dev/null "$inspect" verify "$store"
t_e=$best
rss_verify_large=$best_rss
best_of /dev/null /dev/null "$copy_floor" "$store" /dev/null 0
t_f=$best
run_measured /dev/null /dev/null "$inspect" verify "$small_store"
rss_verify_small=$rss_kib

json_out=$tmp/listing.jsonl
best_of /dev/null "$json_out" "$inspect" list --json "$store"
t_g=$best
rss_json_large=$best_rss
json_lines=$(wc -l <"$json_out")
json_bytes=$(stat -c %s "$json_out")
if [[ $json_lines != "$records" ]]; then
  echo "list --json wrote $json_lines lines instead of $records" >&2
  exit 1
fi
rm -f "$json_out"
run_measured /dev/null "$json_out" "$inspect" list --json "$small_store"
rss_json_small=$rss_kib
rm -f "$json_out"

echo
echo "Listing benchmark, $records records ($(stat -c %s "$store") bytes of store file)"
printf '  (a) menu 2 to a file              %8.3f s   (%s bytes listed)\n' "$t_a" "$listing_bytes"
printf '  (b) menu 2 on the screen          %8.3f s   (%s bytes on standard output)\n' \
  "$t_b" "$screen_bytes"
printf '  (c) floor: 2 writes per record    %8.3f s   (%s bytes)\n' "$t_c" "$floor_bytes"
printf '  (d) floor: read store, copy (b)   %8.3f s\n' "$t_d"
printf '  (a)/(c) = %s   (target 1.3)\n' "$(ratio "$t_a" "$t_c")"
printf '  (b)/(d) = %s   (target 2.0)\n' "$(ratio "$t_b" "$t_d")"
printf '  (e) varno-inspect verify          %8.3f s\n' "$t_e"
printf '  (f) floor: read the store once    %8.3f s\n' "$t_f"
printf '  (g) varno-inspect list --json     %8.3f s   (%s bytes)\n' "$t_g" "$json_bytes"
printf '  (e)/(f) = %s   (target 3.0)\n' "$(ratio "$t_e" "$t_f")"
printf '  (g)/(b) = %s   (target 1.5)\n' "$(ratio "$t_g" "$t_b")"
echo "Peak RSS (KiB)         $(printf '%10s %10s %8s' "$small" "$records" ratio)"
for row in "menu 2 to a file:$rss_small:$rss_large" "verify:$rss_verify_small:$rss_verify_large" \
  "list --json:$rss_json_small:$rss_json_large"; do
  IFS=: read -r name a b <<<"$row"
  printf '  %-20s %10s %10s %8s   (target within 10 %%)\n' "$name" "$a" "$b" "$(ratio "$b" "$a")"
done
