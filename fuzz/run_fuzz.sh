#!/usr/bin/env bash
# Runs the libFuzzer targets for a bounded time each.
#
#   bash fuzz/run_fuzz.sh SECONDS [TARGET...]
#
# TARGET is a name such as store_header (default: every target). Builds the
# fuzz preset first (configuring it when needed), then runs each target for
# SECONDS on a scratch copy of its seed corpus (fuzz/corpus/TARGET is never
# written), after running it once on each saved finding in
# fuzz/regressions/TARGET. Prints per target the executions and libFuzzer's final coverage
# (cov: edges, ft: features) and corpus size. Fails (exit 1) when a target
# crashes, leaks, times out, runs out of memory or exits non-zero; the input
# and the log are kept and their paths printed.
#
# Environment: VARNO_FUZZ_BUILD_DIR (default build/fuzz) builds elsewhere;
# VARNO_FUZZ_JOBS (default 2) is the build's parallelism; VARNO_FUZZ_KEEP=1
# keeps every scratch directory (with the grown corpus).
set -uo pipefail

usage() {
  echo "usage: run_fuzz.sh SECONDS [TARGET...]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
seconds=$1
shift
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNO_FUZZ_BUILD_DIR:-$root/build/fuzz}
all=(store_header listing salvage find_record message_parse scanner_config snf_period snf_size registry_value)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do
  [ -d "$root/fuzz/corpus/$t" ] || { echo "run_fuzz.sh: unknown target '$t'" >&2; exit 2; }
done

cd "$root"
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset fuzz -B "$build" >/dev/null || { echo "run_fuzz.sh: configure failed" >&2; exit 1; }
fi
cmake --build "$build" --target varno_fuzz -j "${VARNO_FUZZ_JOBS:-2}" >/dev/null ||
  { echo "run_fuzz.sh: build failed" >&2; exit 1; }

# libFuzzer reports leaks itself; UBSan findings already abort (the preset
# builds with -fno-sanitize-recover=all).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
replay_log=$(mktemp "${TMPDIR:-/tmp}/varno-fuzz-regression-XXXXXX")
for t in "${targets[@]}"; do
  [ -d "$root/fuzz/regressions/$t" ] || continue
  for input in "$root/fuzz/regressions/$t"/*; do
    if ! "$build/fuzz/fuzz_$t" "$input" >"$replay_log" 2>&1; then
      echo "regression $t/$(basename "$input"): FAILED"
      grep -E 'ERROR: |check failed|runtime error' "$replay_log" | head -5 | sed 's/^/    /'
      failed+=("$t")
    fi
  done
done
rm -f "$replay_log"

printf '%-15s %12s %8s %8s %8s  %s\n' target executions cov ft corpus result
for t in "${targets[@]}"; do
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/varno-fuzz-$t-XXXXXX")
  mkdir "$scratch/corpus"
  cp "$root/fuzz/corpus/$t/"* "$scratch/corpus/" 2>/dev/null
  log=$scratch/log
  # -timeout: one input; the outer timeout only guards against a hung driver.
  timeout --kill-after=30 $((seconds + 120)) \
    "$build/fuzz/fuzz_$t" "$scratch/corpus" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$scratch/" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
  artifacts=$(find "$scratch" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o \
    -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort)
  # Slow units are reported, not failures: a loaded machine makes them.
  bad=$(grep -v '/slow-unit-' <<<"$artifacts" | grep . || true)
  if [ $rc -ne 0 ] || [ -n "$bad" ]; then
    result="FAILED (exit $rc)"
    failed+=("$t")
  else
    result=ok
  fi
  printf '%-15s %12s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" \
    "$result"
  if [ "$result" != ok ]; then
    grep -E 'ERROR: |check failed|runtime error|SUMMARY' "$log" | head -5 | sed 's/^/    /'
    for a in $artifacts; do echo "    input: $a"; done
    echo "    log:   $log"
  elif [ "${VARNO_FUZZ_KEEP:-0}" = 1 ]; then
    echo "    kept:  $scratch"
  else
    rm -rf "$scratch"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run_fuzz.sh: failed: ${failed[*]}" >&2
  exit 1
fi
