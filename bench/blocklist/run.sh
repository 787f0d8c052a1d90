#!/usr/bin/env bash
# Generates the benchmark lists (fixed seed) and measures the block list:
# load time without and with the lists, look-up time, memory.
# Usage: bench/blocklist/run.sh [BUILD_DIR]     (default: build/)
# RUNS and LOOKUPS override the runs per figure and the look-ups per run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target blocklist_bench

data=$build/bench-blocklist
python3 "$here/make_lists.py" "$data"
"$build/bench/blocklist/blocklist_bench" --adhosts "$root/dist/adhosts" \
  --easylist "$data/easylist.txt" --hosts "$data/hosts.txt" --queries "$data" \
  --runs "${RUNS:-7}" --lookups "${LOOKUPS:-5000000}"
# The same lists through the daemon: start-up until it is ready, and memory.
python3 "$here/startup.py" "$build/dist" "$data" --runs "${RUNS:-7}"
