#!/usr/bin/env bash
# Runs a command in a private mount and network namespace: a loopback of its
# own (ports 161, 162 and 705 are free) and empty tmpfs at /var/tarnfs and
# /usr/lpp/tarnfs, and at the Net-SNMP state and socket directories
# /var/lib/snmp and /var/agentx, so nothing touches the host's copies of the
# fixed paths and two runs never meet. Temporary files go to a private tmpfs too (/tmp, or
# /mnt when the caller works under /tmp), so a run leaves nothing on the host.
# Everything started inside dies with the namespace.
# Usage: tests/sandbox.sh COMMAND [ARGS...]
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "sandbox: must run as root (mount and network namespaces)" >&2
  exit 2
fi
mkdir -p /var/tarnfs /usr/lpp/tarnfs /var/lib/snmp /var/agentx
here=$(cd "$(dirname "$0")/.." && pwd)
private_tmp=/tmp
for dir in "$here" "$PWD"; do
  case "$dir/" in /tmp/*) private_tmp=/mnt ;; esac
done
mkdir -p "$private_tmp"
export TMPDIR=$private_tmp SANDBOX_TMP=$private_tmp
exec unshare --mount --net --pid --fork --kill-child --mount-proc bash -c '
  set -e
  ip link set lo up
  mount -t tmpfs tmpfs /var/tarnfs
  mount -t tmpfs tmpfs /usr/lpp/tarnfs
  mount -t tmpfs tmpfs /var/lib/snmp
  mount -t tmpfs tmpfs /var/agentx
  mount -t tmpfs -o mode=1777 tmpfs "$SANDBOX_TMP"
  mkdir -p /var/tarnfs/tnperf /usr/lpp/tarnfs/bin /usr/lpp/tarnfs/data
  exec "$@"' sandbox "$@"
