#!/usr/bin/env bash
# Prometheus's own tool on what we give it: `varno-inspect backlog
# --prometheus` on sound, damaged and unreadable store files passes
# `promtool check metrics`, and the example alert rules pass `promtool check
# rules` and their unit tests.
#
# usage: scripts/check_prometheus.sh [BUILD] [RUNNER...]
#   BUILD: where varno-inspect and varno-storegen are (default build).
#   RUNNER: a command that runs them, such as a wine loader for the Windows
#   programs; their output is then read as the Windows exporter reads it,
#   with carriage returns dropped.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
runner=("${@:2}")
exe=
[[ -f $build/varno-inspect.exe ]] && exe=.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export VARNO_HOME="$work/home/"

storegen() { "${runner[@]}" "$build/varno-storegen$exe" "$@" >/dev/null; }
storegen sound.store --messages 5 --forwarded 2
storegen wrapped.store --messages 8 --wrap --forwarded 3
storegen damaged.store --messages 9 --wrap --forwarded 5 --damage record-size:4 --damage record-byte:7
storegen primary.store --messages 3 --damage primary
storegen headless.store --messages 3 --damage both
printf 'too short' >short.store
# A label value must escape a double quote and a backslash; on Windows, where
# a name holds no double quote, the backslash of a path.
odd='odd "name" \ here.store'
if [[ -n $exe ]]; then
  odd='sub\odd name.store'
  mkdir sub
fi
storegen "$odd" --messages 1
# File, varno_store_up.
expected=(
  "sound.store 1"
  "wrapped.store 1"
  "damaged.store 1"
  "primary.store 1"
  "headless.store 0"
  "short.store 0"
  "missing.store 0"
  "$odd 1"
)
files=()
for entry in "${expected[@]}"; do files+=("${entry% *}"); done

status=0
"${runner[@]}" "$build/varno-inspect$exe" backlog --prometheus "${files[@]}" 2>/dev/null |
  tr -d '\r' >varno.prom || status=$?
# An unreadable file is reported as down and makes the exit status 2.
[[ $status == 2 ]] || { echo "FAIL: varno-inspect backlog exited $status, not 2"; exit 1; }

for entry in "${expected[@]}"; do
  file=${entry% *} up=${entry##* }
  label=${file//\\/\\\\}
  label=${label//\"/\\\"}
  grep -qxF "varno_store_up{file=\"$label\"} $up" varno.prom ||
    { echo "FAIL: no varno_store_up $up for $file in:"; cat varno.prom; exit 1; }
done

echo "promtool check metrics ($(grep -vc '^#' varno.prom) samples of ${#files[@]} files):"
if ! out=$(promtool check metrics <varno.prom 2>&1) || [[ -n $out ]]; then
  echo "$out"
  echo "FAIL: promtool check metrics"
  exit 1
fi
echo "  no problem found"
promtool check rules "$root/contrib/prometheus/varno-store.rules.yml"
(cd "$root/contrib/prometheus" && promtool test rules varno-store.rules.test.yml)
