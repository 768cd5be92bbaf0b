#!/usr/bin/env bash
# Installs what is missing, builds the project twice (plain, and with
# AddressSanitizer and UndefinedBehaviorSanitizer), builds the agent and the
# simulator a third time with ThreadSanitizer, then runs every test in the
# sandbox. The last line is the count: "total: N passed, M failed".
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" "$here/build" || exit 1
"$here/scripts/setup.sh" "$here/build-asan" -DTNMIBD_SANITIZE=ON || exit 1
"$here/tests/build_tsan.sh" "$here/build-tsan" || exit 1
exec "$here/tests/sandbox.sh" "$here/tests/run_in_sandbox.sh"
