#!/bin/bash
# OpenAI-compatible test server (server.py, Python standard library only):
# plain HTTP and HTTPS in one process, replies steered by the API key, every
# request recorded for the tests.
#   ctl.sh start DIR HTTP_PORT HTTPS_PORT CERT_DIR
#                       in the background; pid in DIR/openai.pid, log DIR/openai.log;
#                       HTTPS with CERT_DIR/server.crt and server.key (nginx's)
#   ctl.sh stop  DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../common.sh"

# wait_health PORT SECONDS: GET /_test/health answers 200.
wait_health() {
  local i
  for ((i = 0; i < $2 * 20; i++)); do
    timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1 &&
      printf 'GET /_test/health HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3 && head -c 12 <&3" 2>/dev/null |
      grep -q '^HTTP/1.[01] 200' && return 0
    sleep 0.05
  done
  echo "openai server on port $1 did not answer within $2 s" >&2; return 1
}

ctl_start() {
  local HP=${1:?HTTP_PORT} SP=${2:?HTTPS_PORT} C=${3:?CERT_DIR}
  refuse_taken "$HP" "$SP"
  spawn "$HP" "$D/openai.pid" "$D/openai.log" \
    /usr/bin/python3 "$HERE/server.py" "$HP" "$SP" "$C/server.crt" "$C/server.key"
  wait_health "$HP" 10
  echo "openai server up: http://127.0.0.1:$HP https://127.0.0.1:$SP pid $(cat "$D/openai.pid")"
}

ctl_stop() { stop_pid_file "$D/openai.pid" 5; }

ctl_main "$@"
