#!/usr/bin/env bash
# Installs what is missing, builds the project twice (plain, and with
# AddressSanitizer and UndefinedBehaviorSanitizer), the agent and the
# simulator a third time with ThreadSanitizer, the fuzz harnesses and the
# Debian package, then runs every test in the sandbox. The last line is the
# count: "total: N passed, M failed".
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" "$here/build" || exit 1
"$here/scripts/setup.sh" "$here/build-asan" -DTNMIBD_SANITIZE=ON || exit 1
"$here/tests/build_tsan.sh" "$here/build-tsan" || exit 1
"$here/fuzz/run.sh" build || exit 1
# The Debian package; tests/system/test_package.py fails when it is missing.
"$here/packaging/build-deb.sh" "$here/build-deb" >/dev/null || echo "run: package build failed" >&2
export TN_DEB_DIR=$here/build-deb
# Everything runs in the sandbox; the host's SNMP state is compared after.
results=$here/build/test-results
rm -rf "$results" && mkdir -p "$results"
python3 "$here/tests/host_state.py" snapshot "$results/host-before"
"$here/tests/sandbox.sh" "$here/tests/run_in_sandbox.sh" "$results"
status=$?
python3 "$here/tests/host_state.py" check "$results/host-before" "$results/host.xml"
python3 "$here/tests/summarize.py" "$results"/*.xml || status=1
exit $status
