#!/bin/bash
# Stops the peers that start.sh described in ENV_FILE and removes their
# directory and ENV_FILE. Safe to run when nothing (or only part) was started.
# KBV_PEERS_KEEP=1 keeps the directory (configs and logs) for a look.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
ENV_FILE=${1:?usage: stop.sh ENV_FILE}
[ -f "$ENV_FILE" ] || exit 0
D=$(sed -n 's/^PEER_DIR=//p' "$ENV_FILE")
if [ -n "$D" ] && [ -d "$D" ]; then
  stop_peers "$D"
  # only a directory start.sh made
  case $D in */kbv-peers.*) [ "${KBV_PEERS_KEEP:-0}" = 1 ] || rm -rf "$D" ;; esac
fi
rm -f "$ENV_FILE" "$ENV_FILE.new"
