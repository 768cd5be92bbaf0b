#!/usr/bin/env bash
# Builds (in $FUZZ_BUILD, default build-fuzz) and runs the libFuzzer harnesses in tests/sandbox.sh.
#   fuzz/run.sh build | short [JUNIT-FILE] | long [HARNESS...]
# short: each harness for FUZZ_SECONDS (8); long: for FUZZ_RUNS inputs (10000000), keeping its
# corpus. One line per harness, "passed" or "FAILED"; status 1 when one found a crash, a
# time-out or an out-of-memory.
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
  sed -n '2,6p' "$0" >&2
  exit 2
fi
if [ "$(stat -f -c %T /var/tarnfs 2>/dev/null)" != tmpfs ]; then
  exec "$here/tests/sandbox.sh" "$here/fuzz/run.sh" "$mode" "$@"
fi

status=0 cases=
run_harness() {  # name, limit option
  local name=$1 work=$build/fuzz-corpus/$1 artifacts=$build/fuzz-artifacts/$1
  local log=$build/fuzz-logs/$1.log max_len=1024
  # Model files are larger than answers; event lines reach past the send thread's 1,024 bytes.
  case $name in model) max_len=4096 ;; events) max_len=2048 ;; esac
  [ "$mode" = short ] && work=$(mktemp -d)
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  nice -n 10 "$build/fuzz/fuzz_$name" -max_len=$max_len -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" "$2" "$work" \
    "$here/fuzz/corpus/$name" >"$log" 2>&1
  local rc=$?
  figure() { local v; v=$(sed -n "s/^stat::$1: *//p" "$log" | tail -1); echo "${v:-?}"; }
  local figures="$(figure number_of_executed_units) inputs, $(figure average_exec_per_sec)"
  figures+=" exec/s, peak RSS $(figure peak_rss_mb) MB"
  local failure=
  if [ $rc -eq 0 ]; then
    echo "fuzz $name: passed ($figures, 0 crashes)"
  else  # libFuzzer stops at its first finding and names the input it wrote
    local finding=$(sed -n 's/.*Test unit written to //p' "$log" | tail -1)
    echo "fuzz $name: FAILED ($figures, exit $rc, input ${finding:-none written}; log $log)"
    grep -m3 -E "ERROR|SUMMARY" "$log"
    failure="<failure message=\"exit $rc\"/>" status=1
  fi
  cases+="<testcase classname=\"fuzz\" name=\"$name\">$failure</testcase>"
  [ "$mode" = short ] && rm -rf "$work"
}

if [ "$mode" = short ]; then
  for name in "${harnesses[@]}"; do run_harness "$name" -max_total_time="${FUZZ_SECONDS:-8}"; done
  [ -n "${1:-}" ] && echo "<testsuite name=\"fuzz\">$cases</testsuite>" >"$1"
else
  [ $# -gt 0 ] && harnesses=("$@")
  for name in "${harnesses[@]}"; do run_harness "$name" -runs="${FUZZ_RUNS:-10000000}"; done
fi
exit $status
