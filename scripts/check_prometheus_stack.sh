#!/usr/bin/env bash
# The monitoring job against a real Prometheus: the node exporter's textfile
# collector serves what `varno-inspect backlog --dir ... --output ...` writes
# every second, Prometheus scrapes it every second and evaluates a copy of
# contrib/prometheus/varno-store.rules.yml whose `for:` and thresholds are
# made short. Through Prometheus's HTTP API (promtool query) it waits for
# the metrics of a sound, a degraded, a damaged and a missing store file and
# of one whose backlog grows between runs, and for the alerts they raise to
# be pending; then the job stops (its last file stays: VarnoInspectStale)
# and its file is emptied (VarnoInspectMetricsMissing). It stops what it
# started. Skipped, with a message, where the programs are not installed
# (scripts/install-deps --with-ci installs them).
#
# usage: scripts/check_prometheus_stack.sh [BUILD]   (default build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
for program in prometheus prometheus-node-exporter promtool; do
  if ! command -v "$program" >/dev/null; then
    echo "SKIP: $program is not installed (scripts/install-deps --with-ci); no real Prometheus test"
    exit 0
  fi
done

work=$(mktemp -d)
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do
    echo "--- $(basename "$log"), its end:"
    tail -n 15 "$log"
  done
  exit 1
}
export VARNO_HOME="$work/home/"
store=$work/store textfile=$work/textfile
mkdir -p "$store" "$textfile" "$work/data"
storegen() { "$build/varno-storegen" "$@" >/dev/null; }

# Sound with nothing pending; one header copy bad; no header at all; a
# backlog that grows by two messages a run (more than 5 pending from the
# second run); and one named that does not exist.
storegen "$store/VARNO_STORE_sound.DEV1" --messages 5 --forwarded 5
storegen "$store/VARNO_STORE_half.DEV1" --messages 3 --forwarded 3 --damage primary
storegen "$store/VARNO_STORE_damaged.DEV1" --messages 4 --damage both
storegen "$store/VARNO_STORE_grow.DEV1" --messages 3
missing=$store/VARNO_STORE_gone.DEV1

# A port nothing listens on (bash's own connect).
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 20000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
}
# Waits up to 10 s for a listener on `port` while process `pid` lives.
listening() {
  local port=$1 pid=$2
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# Starts "$@" with its port in place of PORT, on another port while the one
# picked turns out taken; sets $port.
start_on_free_port() {
  local name=$1 tries
  shift
  for tries in 1 2 3; do
    port=$(free_port)
    "${@//PORT/$port}" >"$work/$name.log" 2>&1 &
    pids+=($!)
    listening "$port" $! && return 0
  done
  fail "$name did not start"
}

start_on_free_port node-exporter prometheus-node-exporter --web.listen-address=127.0.0.1:PORT \
  --collector.disable-defaults --collector.textfile --collector.textfile.directory="$textfile"
exporter=$port

# The shipped rules, pending after 30 s instead of minutes, the backlog and
# staleness thresholds within reach of this test.
sed -E -e 's/^( +for: ).*/\130s/' \
  -e 's/varno_store_pending > 1000/varno_store_pending > 5/' \
  -e 's/varno_inspect_last_run_timestamp_seconds > 900/varno_inspect_last_run_timestamp_seconds > 4/' \
  "$root/contrib/prometheus/varno-store.rules.yml" >"$work/rules.yml"
grep -q 'varno_store_pending > 5' "$work/rules.yml" && grep -q 'seconds > 4' "$work/rules.yml" ||
  fail "the rules no longer hold the thresholds this test shortens"
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: ["$work/rules.yml"]
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ["127.0.0.1:$exporter"]
EOF
start_on_free_port prometheus prometheus --config.file="$work/prometheus.yml" \
  --storage.tsdb.path="$work/data" --web.listen-address=127.0.0.1:PORT
server=http://127.0.0.1:$port

# The job, every second, as the timer runs it; the grown store rewritten
# with two more messages before each run.
(
  messages=3
  while :; do
    "$build/varno-inspect" backlog --prometheus --dir "$store" "$missing" \
      --output "$textfile/varno.prom" 2>/dev/null || true
    sleep 1
    messages=$((messages + 2))
    storegen "$store/VARNO_STORE_grow.DEV1" --messages "$messages"
  done
) &
job=$!
pids+=("$job")

query() { promtool query instant "$server" "$1" 2>/dev/null; }
# Waits up to `seconds` until query `expr` gives a result in which each of
# the other arguments (extended regular expressions) matches a line; then
# shows it.
await() {
  local seconds=$1 expr=$2
  shift 2
  local deadline=$((SECONDS + seconds)) out pattern missing_one
  while :; do
    out=$(query "$expr" || true)
    missing_one=
    for pattern in "$@"; do
      grep -qE "$pattern" <<<"$out" || { missing_one=$pattern; break; }
    done
    if [[ -z $missing_one ]]; then
      echo "  $expr:"
      sed 's/^/    /' <<<"$out"
      return 0
    fi
    ((SECONDS < deadline)) || fail "after ${seconds} s, $expr gives no line matching $missing_one:
$out"
    sleep 0.5
  done
}

started=$SECONDS
echo "Prometheus $server scrapes the node exporter on 127.0.0.1:$exporter; the job writes every second."
await 20 'varno_store_up' \
  'node="sound".* => 1 ' 'node="half".* => 1 ' 'node="damaged".* => 0 ' 'node="gone".* => 0 '
await 10 'varno_store_down_reason' 'node="damaged", reason="header_bad"} => 1 ' \
  'node="gone", reason="missing"} => 1 '
await 10 'varno_store_pending{node="grow"} > 5' 'node="grow".* => ([6-9]|[1-9][0-9]+) '
await 10 'varno_store_header_degraded == 1' 'node="half"'
await 5 'varno_store_oldest_pending_age_seconds' 'node="sound".* => 0 ' \
  'node="grow".* => [1-9][0-9]* '
await 5 'varno_inspect_files' 'state="named"} => 5 ' 'state="down"} => 2 '
await 20 'ALERTS{alertstate="pending"}' \
  'alertname="VarnoStoreDown".*node="damaged"' 'alertname="VarnoStoreDown".*node="gone"' \
  'alertname="VarnoStoreBacklogHigh".*node="grow"' 'alertname="VarnoStorePendingTooLong".*node="grow"' \
  'alertname="VarnoStoreHeaderDegraded".*node="half"'
[[ -z $(query 'ALERTS{alertname=~"VarnoInspect.*"}') ]] ||
  fail "the job's own alerts while it runs: $(query 'ALERTS{alertname=~"VarnoInspect.*"}')"

# The job stops; its last file stays, with the metrics as they were.
kill "$job"
wait "$job" 2>/dev/null || true
echo "The job stopped after $((SECONDS - started)) s."
await 20 'ALERTS{alertstate="pending"}' 'alertname="VarnoInspectStale"' \
  'alertname="VarnoStoreDown".*node="damaged"'
await 5 'varno_store_up' 'node="sound".* => 1 '
# Then a run writes an empty file, as one with nothing to read would.
: >"$textfile/varno.prom.tmp"
mv "$textfile/varno.prom.tmp" "$textfile/varno.prom"
await 20 'ALERTS{alertstate="pending"}' 'alertname="VarnoInspectMetricsMissing"'
[[ -z $(query 'varno_store_up') ]] || fail "varno_store_up after the file was emptied"
echo "real Prometheus: metrics and alerts as expected in $((SECONDS - started)) s"
