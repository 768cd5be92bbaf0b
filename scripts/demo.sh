#!/usr/bin/env bash
# Installs what is missing, builds, and shows the agent at work: the Net-SNMP
# master agent, the daemon simulator with a sample cluster, the agent, then
# the version scalar, the ten tables and a trap. Runs in the sandbox, so the
# host's fixed paths and SNMP ports are left alone.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" "$here/build" >/dev/null
exec "$here/tests/sandbox.sh" "$here/scripts/demo_in_sandbox.sh" "$@"
