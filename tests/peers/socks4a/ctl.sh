#!/bin/bash
# SOCKS 4/4A test peer (socks4a.py, Python standard library only): SOCKS 4A
# with the host name resolved by the proxy, which dante does not do.
#   ctl.sh start DIR PORT   in the background; pid in DIR/socks4a.pid, log DIR/socks4a.log
#   ctl.sh stop  DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"

ctl_start() {
  local P=${1:?PORT}
  refuse_taken "$P"
  spawn "$P" "$D/socks4a.pid" "$D/socks4a.log" /usr/bin/python3 "$HERE/socks4a.py" "$P"
  echo "socks4a.py up: socks4a://127.0.0.1:$P pid $(cat "$D/socks4a.pid")"
}

ctl_stop() { stop_pid_file "$D/socks4a.pid" 5; }

ctl_main "$@"
