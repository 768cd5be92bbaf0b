#!/usr/bin/env bash
# Builds and runs the libFuzzer harnesses of fuzz/ (inside tests/sandbox.sh,
# which the response harness needs for the daemon's fixed paths).
# Usage:
#   fuzz/run.sh build                  configure and build BUILD (clang, -DTNMIBD_FUZZ=ON)
#   fuzz/run.sh short [JUNIT-FILE]     every harness for FUZZ_SECONDS seconds (default 8)
#   fuzz/run.sh long [HARNESS...]      every (or the named) harness for FUZZ_RUNS inputs
#                                      (default 10000000), keeping its corpus in BUILD
# BUILD is $FUZZ_BUILD (default build-fuzz). One line per harness:
#   "fuzz NAME: passed (N inputs, E exec/s, peak RSS M MB, 0 crashes)" or "... FAILED ..."
# and the status is 1 when any harness found a crash, a time-out or an out-of-memory
# (or was stopped).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$here/build-fuzz}
harnesses=(response tncfgdump events model)
mode=${1:-short}
shift || true

if [ "$mode" = build ]; then
  CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DTNMIBD_FUZZ=ON \
    -DTNMIBD_TESTS=OFF >/dev/null || exit 1
  exec nice cmake --build "$build" --target fuzz_harnesses
fi
if [ "$mode" != short ] && [ "$mode" != long ]; then
  sed -n '2,12p' "$0" >&2
  exit 2
fi
if [ "$(stat -f -c %T /var/tarnfs 2>/dev/null)" != tmpfs ]; then
  exec "$here/tests/sandbox.sh" "$here/fuzz/run.sh" "$mode" "$@"
fi

# Longest input per harness: model files are larger than answers; event
# lines reach past the send thread's 1,024-byte buffer.
max_len() {
  case $1 in
    model) echo 4096 ;;
    events) echo 2048 ;;
    *) echo 1024 ;;
  esac
}

# Runs one harness; prints its line and appends a JUnit test case to $cases.
run_harness() {  # name, limit option
  local name=$1 limit=$2
  local work=$build/fuzz-corpus/$name artifacts=$build/fuzz-artifacts/$name
  local log=$build/fuzz-logs/$name.log
  [ "$mode" = short ] && work=$(mktemp -d)
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  nice -n 10 "$build/fuzz/fuzz_$name" -max_len="$(max_len "$name")" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$limit" "$work" "$here/fuzz/corpus/$name" >"$log" 2>&1
  local rc=$?
  local runs speed rss
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  local figures="${runs:-?} inputs, ${speed:-?} exec/s, peak RSS ${rss:-?} MB"
  if [ $rc -eq 0 ]; then
    echo "fuzz $name: passed ($figures, 0 crashes)"
    cases+="<testcase classname=\"fuzz\" name=\"$name\"/>"
  else
    # libFuzzer stops at its first finding and names the input it wrote.
    local finding
    finding=$(sed -n 's/.*Test unit written to //p' "$log" | tail -1)
    echo "fuzz $name: FAILED ($figures, exit $rc, input ${finding:-none written}; log $log)"
    grep -m3 -E "ERROR|SUMMARY" "$log"
    cases+="<testcase classname=\"fuzz\" name=\"$name\"><failure message=\"exit $rc\"/></testcase>"
    status=1
  fi
  [ "$mode" = short ] && rm -rf "$work"
  return 0
}

status=0
cases=
if [ "$mode" = short ]; then
  junit=${1:-}
  for name in "${harnesses[@]}"; do run_harness "$name" -max_total_time="${FUZZ_SECONDS:-8}"; done
  if [ -n "$junit" ]; then
    echo "<testsuite name=\"fuzz\">$cases</testsuite>" >"$junit"
  fi
else
  [ $# -gt 0 ] && harnesses=("$@")
  for name in "${harnesses[@]}"; do run_harness "$name" -runs="${FUZZ_RUNS:-10000000}"; done
fi
exit $status
