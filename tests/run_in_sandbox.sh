#!/usr/bin/env bash
# Runs inside tests/sandbox.sh: the unit tests of both builds, the simulator's
# tests, the end-to-end tests (against the sanitizer build, and the
# foundation checks against the plain build too), the stress tests against the
# thread sanitizer build and a short fuzz run. Leaves a JUnit report of each
# in the results directory.
# Usage: tests/run_in_sandbox.sh RESULTS-DIR
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
results=$1
status=0

run() {  # name, command...
  local name=$1
  shift
  echo "=== $name"
  "$@" || status=1
}

# A test binary that loops for ever (a mutant that drops a walk step, a wait
# that lost its bound) must fail, not hang the run: each gets a time limit,
# then SIGKILL shortly after. A test's own alarm() is no guard: a binary that
# tests/sandbox.sh runs directly is the namespace's first process, which
# ignores SIGALRM.
UNIT_LIMIT=${TN_UNIT_LIMIT:-900}
SYSTEM_LIMIT=${TN_SYSTEM_LIMIT:-5400}
limited() { timeout -k 10 "$UNIT_LIMIT" "$@"; }
system_limited() { timeout -k 10 "$SYSTEM_LIMIT" "$@"; }

for build in build build-asan; do
  run "unit tests ($build)" limited "$here/$build/tests/unit/unit_tests" \
    --gtest_output="xml:$results/unit-$build.xml"
  sim_tests="$here/$build/tests/unit/sim/sim_unit_tests"
  [ -x "$sim_tests" ] && run "simulator tests ($build)" limited "$sim_tests" \
    --gtest_output="xml:$results/sim-$build.xml"
done

# The agent under the sanitizers: leaks inside the SNMP library at exit are
# not ours to fix, so leak checking is left to the unit tests and the
# memory-growth checks.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$here"
run "system tests (build-asan)" system_limited env TN_BUILD_DIR="$here/build-asan" pytest-3 -q -p no:cacheprovider \
  --junitxml="$results/system-asan.xml" tests/system
run "foundation system tests (build)" system_limited env TN_BUILD_DIR="$here/build" pytest-3 -q \
  -p no:cacheprovider --junitxml="$results/system-plain.xml" tests/system/test_agent.py

# Races: every thread busy at once, and stops under load, under ThreadSanitizer.
# Only the SNMP library's own internals may be suppressed (tests/tsan.supp).
if [ -x "$here/build-tsan/tnmibd" ]; then
  run "stress tests (build-tsan)" system_limited env TN_BUILD_DIR="$here/build-tsan" \
    TSAN_OPTIONS="suppressions=$here/tests/tsan.supp:halt_on_error=0:second_deadlock_stack=1" \
    pytest-3 -q -p no:cacheprovider --junitxml="$results/system-tsan.xml" \
    tests/system/test_hardening.py
fi

# Each fuzz harness briefly (fuzz/run.sh long for the long run).
run "fuzz (short)" "$here/fuzz/run.sh" short "$results/fuzz.xml"
exit $status
