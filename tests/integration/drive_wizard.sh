#!/usr/bin/env bash
# Drives the real wizard on the X display already set (DISPLAY): adds an
# allowed host, sets the access log in the Advanced section, presses Apply
# and waits for the wizard to say how it went.
#   drive_wizard.sh PROGRAM HOST ACCESS_LOG
# Prints the caption of the box the wizard showed after Apply. Every wait is
# for a window to appear, bounded.
set -euo pipefail
program=$1 host=$2 access_log=$3

"$program" &
wizard=$!
trap 'kill $wizard 2>/dev/null || true' EXIT

# Blocks until a window of that name is mapped; at most 60 s.
window() { timeout 60 xdotool search --sync --onlyvisible --name "$1" | head -1; }
# Clicks at a point of the main window given in twips (15 to a pixel).
click() { xdotool mousemove --sync --window "$main" $(($1 / 15)) $(($2 / 15)) click 1; }
# Gives the window the keyboard and types into its focused field.
type_into() {
  xdotool windowfocus --sync "$1"
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 20 "$2"
}

main=$(window "Proxy Server - Configuration Wizard")
[ -n "$main" ] || { echo "the wizard's window did not appear" >&2; exit 1; }

# Main section: Add entry (x 4920, y 2760 in the panel at 1980, 900).
click $((1980 + 4920 + 300)) $((900 + 2760 + 150))
prompt=$(window "^AllowedHosts$")
[ -n "$prompt" ] || { echo "the allowed host prompt did not appear" >&2; exit 1; }
type_into "$prompt" "$host"
xdotool key Return

# The Advanced section's button (x 180, y 3960), then its first field.
click $((180 + 600)) $((3960 + 180))
xdotool windowfocus --sync "$main"
xdotool key --clearmodifiers Tab
type_into "$main" "$access_log"
xdotool key Tab

# Apply (x width - 1320, y buttons_top) and the box that follows it.
click $((6795 + 2125 - 1320 + 500)) $((3795 + 1860 - 825 + 180))
box=$(window "^Configuration (saved|refused)$|^Reload$")
[ -n "$box" ] || { echo "no box came after Apply" >&2; exit 1; }
xdotool getwindowname "$box"
