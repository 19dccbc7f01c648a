#!/bin/sh
# Runs a command in a network and mount namespace of its own, with loopback
# up and an rpcbind of its own, so that gateways under test (and suites run
# side by side) never take each other's registration or ports. Where no
# namespace can be had (not root), the command runs as it is and the
# conftest starts the system's rpcbind.
if ! unshare --net --mount true 2>/dev/null; then
  exec "$@"
fi
exec unshare --net --mount sh -c '
  ip link set lo up && mount -t tmpfs tmpfs /run || exit 1
  rpcbind=$(command -v rpcbind || echo /usr/sbin/rpcbind)
  "$rpcbind" -f -w </dev/null >/dev/null 2>&1 &
  daemon=$!
  "$@"
  status=$?
  kill "$daemon"
  exit "$status"' sh "$@"
