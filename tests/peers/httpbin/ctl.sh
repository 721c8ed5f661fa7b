#!/bin/bash
# httpbin test peer: Debian's python3-httpbin under gunicorn, two gthread
# workers (keep-alive works), plain HTTP.
#   ctl.sh start DIR PORT   daemonised; pid in DIR/httpbin.pid
#   ctl.sh stop  DIR
# Runs Debian's /usr/bin/python3: another python3 first on PATH may lack httpbin.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"
PY=/usr/bin/python3

# wait_get PORT SECONDS: an HTTP answer to GET /get proves the application loaded,
# not only that the master bound the port.
wait_get() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1 &&
      printf 'GET /get HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3 && head -c 12 <&3" 2>/dev/null |
      grep -q '^HTTP/1.[01] 200' && return 0
    sleep 0.1
  done
  echo "httpbin on port $1 did not answer within $2 s" >&2; return 1
}

ctl_start() {
  local P=${1:?PORT}
  refuse_taken "$P"
  mkdir -p "$D/tmp"
  "$PY" -m gunicorn --daemon --bind "127.0.0.1:$P" --workers 2 --worker-class gthread --threads 4 \
      --keep-alive 30 --worker-tmp-dir "$D/tmp" --pid "$D/httpbin.pid" \
      --access-logfile "$D/access.log" --error-logfile "$D/error.log" httpbin:app \
      </dev/null >>"$D/stdout.log" 2>&1
  wait_get "$P" 20
  echo "httpbin up: http://127.0.0.1:$P pid $(cat "$D/httpbin.pid")"
}

ctl_stop() { stop_pid_file "$D/httpbin.pid" 10; }

ctl_main "$@"
