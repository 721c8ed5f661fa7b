#!/bin/bash
# SOCKS 4/4A test peer (socks4a.py, Python standard library only): SOCKS 4A
# with the host name resolved by the proxy, which dante does not do.
#   ctl.sh start DIR PORT   in the background; pid in DIR/socks4a.pid, log DIR/socks4a.log
#   ctl.sh stop  DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
cmd=${1:?usage: ctl.sh start|stop DIR [PORT]}
D=${2:?DIR required}
mkdir -p "$D"; D=$(cd "$D" && pwd)

case $cmd in
start)
  P=${3:?PORT}
  refuse_taken "$P"
  # setsid: its own session, out of reach of the caller's terminal signals, like the daemons
  setsid /usr/bin/python3 "$HERE/socks4a.py" "$P" </dev/null >>"$D/socks4a.log" 2>&1 &
  echo $! > "$D/socks4a.pid"
  wait_port "$P" 10
  alive "$(cat "$D/socks4a.pid")" || { cat "$D/socks4a.log" >&2; exit 1; }
  echo "socks4a.py up: socks4a://127.0.0.1:$P pid $(cat "$D/socks4a.pid")"
  ;;
stop)
  stop_pid_file "$D/socks4a.pid" 5
  ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
