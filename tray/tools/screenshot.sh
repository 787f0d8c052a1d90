#!/usr/bin/env bash
# Takes docs/tray-menu.png: the agent's icon in a tray host under Xvfb, with
# its menu open after starting the proxy and setting start at login.
# Needs: xvfb trayer xdotool imagemagick. Usage: screenshot.sh BUILD_DIR OUT.png
set -euo pipefail
build=${1:?build dir}; out=${2:?output png}
work=$(mktemp -d)
pids=()
cleanup() {
  [ -f "$work/run/valdrin_proxy.pid" ] && kill "$(cat "$work/run/valdrin_proxy.pid")" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/dist"
cp -a "$build/dist/." "$work/dist/"
mkdir -m 0700 "$work/run"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[HTTP]\nHTTPEnabled=true\nHTTPPort=%s\nAdHostsEnabled=false\n' "$port" > "$work/dist/valdrin.conf"

export DISPLAY=:57
Xvfb :57 -screen 0 640x360x24 -nolisten tcp & pids+=($!)
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
display -window root -size 640x360 gradient:'#4b6c8f'-'#1e2f44' || true  # backdrop only
trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 --SetDockType true \
  --transparent false --tint 0xdddddd --expand true & pids+=($!)
sleep 1
XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config HOME=$work "$work/dist/valdrin_tray" & pids+=($!)
sleep 2

icon=(624 335)  # the icon sits in the bottom right corner of the tray
menu() { xdotool mousemove "${icon[@]}" click 3; sleep 0.8; }
menu; xdotool mousemove 500 231 click 1; sleep 1.5   # Start
menu; xdotool mousemove 540 255 click 1; sleep 0.8   # Autostart at boot time
menu; xdotool mousemove 520 255; sleep 0.5
import -window root "$out"
xdotool key Escape
menu; xdotool mousemove 500 231 click 1; sleep 1.5   # Stop
