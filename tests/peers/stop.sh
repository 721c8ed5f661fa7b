#!/bin/bash
# Stops the peers that start.sh described in ENV_FILE and removes their
# directory and ENV_FILE. Safe to run when nothing (or only part) was started.
# KBV_PEERS_KEEP=1 keeps the directory (configs and logs) for a look.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ENV_FILE=${1:?usage: stop.sh ENV_FILE}
[ -f "$ENV_FILE" ] || exit 0
D=$(sed -n 's/^PEER_DIR=//p' "$ENV_FILE")
if [ -n "$D" ] && [ -d "$D" ]; then
  "$HERE/nginx/ctl.sh" stop "$D/nginx" &
  "$HERE/httpbin/ctl.sh" stop "$D/httpbin" &
  "$HERE/squid/ctl.sh" stop "$D/squid" &
  wait   # in parallel: squid alone needs ~2 s
  # only a directory start.sh made
  case $D in */kbv-peers.*) [ "${KBV_PEERS_KEEP:-0}" = 1 ] || rm -rf "$D" ;; esac
fi
rm -f "$ENV_FILE" "$ENV_FILE.new"
