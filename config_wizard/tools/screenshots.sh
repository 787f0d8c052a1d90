#!/usr/bin/env bash
# Takes the screenshots docs/wizard-*.png from the real program under a
# virtual X display: one per section, plus the help window.
#   config_wizard/tools/screenshots.sh build/dist/valdrin_config docs
# Needs xvfb-run, xdotool and ImageMagick's import (not needed for the build).
set -euo pipefail
prog=$(realpath "$1")
out=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/valdrin.conf" <<'CONF'
[Main]
LogFile=log.txt
ErrFile=err.txt
AllowedHost0=192.168.0.*
AllowedHost1=10.1.2.15
Verbose=false
[Socks]
SocksEnabled=true
Socks4Allowed=false
SocksPort=1080
SocksAccount0=bob7E720BD054768A309CA76B612C004716410CC849
SocksAccount1=guest<none>
[HTTP]
HTTPEnabled=true
HTTPPort=3128
HTTPSecure=true
AdHostsEnabled=true
HTTPListen=192.168.0.1, ::1
AdListFile0=easylist.txt
AdListFile1=/srv/lists/trackers.txt
HTTPMaxClients=2000
[DNS]
DNSEnabled=false
DNSServer1=192.168.0.254
DNSServer2=0.0.0.0
[RDR]
RDREnabled=true
RDRBinding0=8080 -> 80 192.168.0.20
RDRBinding1=2222 -> 22 build.lan
CONF

cat > "$work/shoot.sh" <<'SHOOT'
set -euo pipefail
prog=$1; out=$2; work=$3
"$prog" --config "$work/valdrin.conf" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
win=""
for _ in $(seq 100); do
  win=$(xdotool search --name "Proxy Server - Configuration Wizard" 2>/dev/null | head -1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "the wizard window did not appear" >&2; exit 1; }
sleep 1
shot() { import -window "$win" "$out/$1"; }
# Section buttons: x 180, y 1260 + 540 i, 1635 by 375 twips (15 per pixel).
names=(main socks http dns port advanced)
for i in 0 1 2 3 4 5; do
  xdotool mousemove --window "$win" 60 $(( (1260 + 540 * i) / 15 + 12 )) click 1
  sleep 0.6
  shot "wizard-${names[$i]}.png"
done
# The rest of the Advanced panel, scrolled down with the wheel.
xdotool mousemove --window "$win" $(( (1980 + 3000) / 15 )) $(( (900 + 1800) / 15 ))
for _ in $(seq 12); do xdotool click 5; sleep 0.05; done
sleep 0.6
shot "wizard-advanced-more.png"
# The help icon of AllowedHosts (x 6360, y 1140 in the Main panel at 1980, 900).
xdotool mousemove --window "$win" 60 96 click 1
sleep 0.4
xdotool mousemove --window "$win" $(( (1980 + 6360) / 15 + 10 )) $(( (900 + 1140) / 15 + 10 )) click 1
sleep 0.8
help=$(xdotool search --name "Proxy Sercer" 2>/dev/null | head -1 || true)
[ -n "$help" ] && import -window "$help" "$out/wizard-help.png"
SHOOT

xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/shoot.sh" "$prog" "$out" "$work"
ls -l "$out"/wizard-*.png
