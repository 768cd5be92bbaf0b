#!/usr/bin/env bash
# Runs a command in a private mount and network namespace: a loopback of its
# own (ports 161, 162 and 705 are free) and empty tmpfs at /var/tarnfs and
# /usr/lpp/tarnfs, so nothing touches the host's copies of the fixed paths and
# two runs never meet. Everything started inside dies with the namespace.
# Usage: tests/sandbox.sh COMMAND [ARGS...]
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "sandbox: must run as root (mount and network namespaces)" >&2
  exit 2
fi
mkdir -p /var/tarnfs /usr/lpp/tarnfs
exec unshare --mount --net --pid --fork --kill-child --mount-proc bash -c '
  set -e
  ip link set lo up
  mount -t tmpfs tmpfs /var/tarnfs
  mount -t tmpfs tmpfs /usr/lpp/tarnfs
  mkdir -p /var/tarnfs/tnperf /usr/lpp/tarnfs/bin /usr/lpp/tarnfs/data
  exec "$@"' sandbox "$@"
