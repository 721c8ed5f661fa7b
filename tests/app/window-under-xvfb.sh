#!/usr/bin/env bash
# The real window on an X server (Xvfb), driven as a user drives it: xdotool
# types an API key and, tab by tab, moves to a button and presses it with the
# keyboard; the log pane's text is copied out through the clipboard and must
# show the reply; each tab is photographed (ImageMagick's import). The window
# talks to the tests' OpenAI server over https, trusting its throwaway CA.
# Closing the window must leave the key in an owner-only INI file beside the
# executable.
#
#   window-under-xvfb.sh [--screenshots DIR] EXECUTABLE
#
# --screenshots keeps the pictures in DIR (docs/ holds the README's). Under
# ctest the peers fixture runs the server (KBV_PEERS_ENV); otherwise this
# script starts the peers and stops them again.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
shots_dir=""
if [[ ${1:-} == --screenshots ]]; then
  shots_dir=$(realpath -m "${2:?--screenshots needs a folder}")
  shift 2
fi
executable=$(realpath "${1:?usage: window-under-xvfb.sh [--screenshots DIR] EXECUTABLE}")

for tool in Xvfb xdotool import identify xclip curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: scripts/install-deps installs it" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kbv-window.XXXXXX")
app_pid="" xvfb_pid="" own_peers=""
cleanup() {
  local status=$?
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  [[ -n $own_peers ]] && "$here/../peers/stop.sh" "$own_peers" >/dev/null 2>&1
  if [[ $status -ne 0 && -s $work/app.log ]]; then
    echo "--- the program's output:" >&2
    cat "$work/app.log" >&2
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [[ -n ${DISPLAY:-} ]]; then  # what the screen showed, for the one reading this
    local picture=${TMPDIR:-/tmp}/kbv-window-failure.png
    import -window root "$picture" 2>/dev/null && echo "the screen at that moment: $picture" >&2
  fi
  exit 1
}

# Runs the command until it succeeds, for at most $1 seconds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# --- the OpenAI test server
if [[ -z ${KBV_PEERS_ENV:-} ]]; then
  own_peers=$work/peers.env
  "$here/../peers/start.sh" "$own_peers" >"$work/peers.log" 2>&1 || { cat "$work/peers.log" >&2; exit 1; }
  KBV_PEERS_ENV=$own_peers
fi
setting() { sed -n "s/^$1=//p" "$KBV_PEERS_ENV" | head -n 1; }
http_port=$(setting OPENAI_HTTP_PORT)
https_port=$(setting OPENAI_HTTPS_PORT)
ca_file=$(setting NGINX_CA_FILE)
[[ -n $http_port && -n $https_port && -n $ca_file ]] || fail "no OpenAI test server in $KBV_PEERS_ENV"

api_key=sk-xvfb-$$-$RANDOM  # this run's requests alone
requests_made() {
  curl -fsS "http://127.0.0.1:$http_port/_test/requests?key=$api_key" |
    python3 -c 'import json, sys; print(len(json.load(sys.stdin)))'
}
more_requests_than() { (($(requests_made) > $1)); }

# --- an X server of our own, on a free display; the screen is the window's size
Xvfb -displayfd 3 -screen 0 1053x839x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
wait_for 15 test -s "$work/display" || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY

# --- the program: a copy, so that its INI file lands in this run's folder
mkdir -m 700 "$work/runtime"
mkdir "$work/home" "$work/bin"
cp "$executable" "$work/bin/kbvOpenAI"
head -c 2000 /dev/zero >"$work/hello.wav"
env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
  XDG_RUNTIME_DIR="$work/runtime" OPENAI_BASE_URL="https://localhost:$https_port" KBV_OPENAI_CA_FILE="$ca_file" \
  "$work/bin/kbvOpenAI" >"$work/app.log" 2>&1 &
app_pid=$!

title='^kbvOpenAI API - Tandrel Software$'
window=$(timeout 20 xdotool search --sync --onlyvisible --name "$title" | head -n 1) || fail "no window"
xdotool windowfocus --sync "$window"

key() { xdotool key --delay 40 "$@"; }

# The log pane's text, taken as a user would: click into it, select all, copy.
log_text() {
  xdotool mousemove --window "$window" 500 600 click 1
  key ctrl+a ctrl+c
  sleep 0.1
  timeout 5 xclip -o -selection clipboard 2>/dev/null || true
}
log_shows() { [[ $(log_text) == *"$1"* ]]; }

# Answers the open dialog the press brought up with the path of $1.
choose_file() {
  local dialog
  dialog=$(timeout 10 xdotool search --sync --onlyvisible --name '^Open$' | head -n 1) || fail "no file dialog"
  xdotool windowfocus --sync "$dialog"
  xdotool type --delay 10 "$1"
  for _ in 1 2 3; do  # the first Return may only take the completion offered
    key Return
    sleep 0.5
    xdotool search --onlyvisible --name '^Open$' >/dev/null || return 0
  done
  fail "the file dialog did not take $1"
}

# From the tab bar: to tab $1, $2 times Tab to its button, press it (Space),
# answer a file dialog with $5 when given, wait for the reply to show $4 in
# the log, photograph the window as $3, and go back to the tab bar.
tab=0 shot=0
press_on_tab() {
  local target=$1 tabs=$2 name=$3 expected=$4 file=${5:-}
  local before
  before=$(requests_made)
  while ((tab < target)); do key Right; tab=$((tab + 1)); done
  for ((i = 0; i < tabs; i++)); do key Tab; done
  key space
  [[ -n $file ]] && choose_file "$file"
  wait_for 20 more_requests_than "$before" || fail "$name: no request reached the server"
  wait_for 20 log_shows "$expected" || fail "$name: the log does not show $expected"
  key ctrl+Home  # the selection goes; the text stays
  shot=$((shot + 1))
  local picture
  picture=$(printf '%s/window-%02d-%s.png' "${shots_dir:-$work}" "$shot" "$name")
  import -window root "$picture"
  (($(identify -format '%k' "$picture") > 16)) || fail "$name: the screenshot is blank"
  key Tab Tab Tab  # log -> API key -> organization -> tab bar
}

# --- what a user does
xdotool type --delay 20 "$api_key"  # the API key field has the focus
key Tab Tab
[[ -n $shots_dir ]] && mkdir -p "$shots_dir"
press_on_tab 0 1 models '"id": "gpt-3.5-turbo"'
press_on_tab 1 1 completion 'You wrote: Say this is a test'
press_on_tab 2 1 chat 'You said: Hello!'
press_on_tab 3 1 edits 'WHAT DAY OF THE WEK IS IT?'
press_on_tab 4 1 images 'https://example.invalid/img-'
press_on_tab 5 1 embeddings '"embedding"'
press_on_tab 6 1 audio 'Transcribed 2000 bytes from hello.wav.' "$work/hello.wav"
press_on_tab 7 1 files '"filename": "train.jsonl"'
press_on_tab 8 3 fine-tunes '"object": "fine-tune"'
press_on_tab 9 1 moderations '"violence": true'
[[ $(requests_made) -eq 10 ]] || fail "expected 10 requests, the server saw $(requests_made)"

# --- closing writes the settings, owner-only
python3 "$here/close-window.py" "$window"
for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "the window did not close"
status=0
wait "$app_pid" || status=$?
app_pid=""
((status == 0)) || fail "the program ended with $status"
ini=$work/bin/kbvOpenAI.ini
grep -qx "API_KEY=$api_key" "$ini" || fail "$ini does not hold the key"
[[ $(stat -c %a "$ini") == 600 ]] || fail "$ini is not owner-only"
echo "The window answered on all ten tabs${shots_dir:+; screenshots in $shots_dir}."
