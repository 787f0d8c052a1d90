#!/usr/bin/env bash
# Takes docs/tray-menu.png: the agent's icon in a tray host under Xvfb, with
# its menu open after starting the proxy (every service on, so that the menu
# lists each one) and setting start at login.
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
# The usual port when it is free here (TCP and UDP, every address), else one
# the kernel picks: the picture shows familiar numbers where it can.
port() {
  python3 - "$1" <<'PY'
import socket, sys
def free(port):
    try:
        for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
            s = socket.socket(socket.AF_INET6, kind)
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            s.bind(("::", port))
            s.close()
        return True
    except OSError:
        return False
want = int(sys.argv[1])
if free(want):
    print(want)
else:
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    print(s.getsockname()[1])
PY
}
http=$(port 3128); socks=$(port 1080); rdr1=$(port 8080); rdr2=$(port 2222); dns=$(port 53)
cat > "$work/dist/valdrin.conf" <<EOF
[HTTP]
HTTPEnabled=true
HTTPPort=$http
AdHostsEnabled=false
[Socks]
SocksEnabled=true
SocksPort=$socks
[RDR]
RDREnabled=true
RDRBinding0=$rdr1 -> 80 127.0.0.1
RDRBinding1=$rdr2 -> 22 127.0.0.1
[DNS]
DNSEnabled=true
DNSPort=$dns
DNSListen=127.0.0.1
EOF

export DISPLAY=:57
Xvfb :57 -screen 0 640x360x24 -nolisten tcp & pids+=($!)
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
display -window root -size 640x360 gradient:'#4b6c8f'-'#1e2f44' || true  # backdrop only
trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 --SetDockType true \
  --transparent false --tint 0xdddddd --expand true & pids+=($!)
sleep 1
XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config HOME=$work "$work/dist/valdrin_tray" & pids+=($!)
sleep 2

# The menu is driven by its mnemonics, so that lines added above an item
# never move the click off it: s is Start/Stop; a picks Autostart (About
# shares the letter, so it selects without triggering) and Return takes it.
icon=(624 335)  # the icon sits in the bottom right corner of the tray
menu() { xdotool mousemove "${icon[@]}" click 3; sleep 0.8; }
menu; xdotool key s; sleep 2                 # Start; the services show once it answers
menu; xdotool key a; xdotool key Return; sleep 0.8   # Autostart at boot time
menu; xdotool key a; sleep 0.5
import -window root "$out"
xdotool key Escape
menu; xdotool key s; sleep 1.5               # Stop
