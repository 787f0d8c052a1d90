#!/usr/bin/env bash
# Builds and runs the libFuzzer targets of fuzz/ with clang in build-fuzz/.
#   scripts/fuzz.sh build              configure and build every target
#   scripts/fuzz.sh regress [seconds]  build, replay each committed corpus,
#                                      then fuzz each target that long
#                                      (default 10); fails on any crash
#   scripts/fuzz.sh long <seconds>     fuzz each target that long, two at a
#                                      time, and print its executions
# Crash inputs go to build-fuzz/artifacts/<target>/; new corpus entries to
# build-fuzz/corpus/<target>/ (the committed corpus is only read).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=2  # targets run side by side

targets() {
  sed -n 's/^add_fuzz_target(\([a-z0-9_]*\) .*/\1/p' "$root/fuzz/CMakeLists.txt"
}

build() {
  if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
      -DVALDRIN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  ninja -C "$build" -j2 fuzz_all
}

# run_target <target> <seconds> [extra libFuzzer flags...]: fuzzes from the
# committed seeds plus the corpus grown so far; the log goes to
# build-fuzz/logs/<target>.log. Status 0 when the run ended without a crash.
run_target() {
  local t=$1 secs=$2
  shift 2
  local work=$build/corpus/$t art=$build/artifacts/$t/ log=$build/logs/$t.log
  mkdir -p "$work" "$art" "$build/logs"
  # -close_fd_mask=3 silences the libraries' diagnostic lines; crash
  # reports still reach the log. Niced: the machine is shared.
  nice -n 10 "$build/fuzz/$t" -max_total_time="$secs" -timeout=25 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$art" "$@" \
    "$work" "$root/fuzz/corpus/$t" >"$log" 2>&1
}

executions() {
  sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/$1.log" | tail -1
}

# Runs every target with run_target, $jobs at a time; prints one line per
# target and fails when any of them did.
run_all() {
  local secs=$1
  shift
  local -a failed=()
  local t
  for t in $(targets); do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
    mkdir -p "$build/logs"
    rm -f "$build/logs/$t.status"
    ( if run_target "$t" "$secs" "$@"; then echo 0; else echo 1; fi >"$build/logs/$t.status" ) &
  done
  wait
  for t in $(targets); do
    if [ "$(cat "$build/logs/$t.status" 2>/dev/null)" = 0 ]; then
      printf '%-24s ok      %10s executions\n' "$t" "$(executions "$t")"
    else
      printf '%-24s FAILED  see %s\n' "$t" "$build/logs/$t.log"
      failed+=("$t")
    fi
  done
  [ ${#failed[@]} -eq 0 ]
}

# Replays each committed corpus once: every seed, no mutation.
replay_all() {
  local t status=0
  for t in $(targets); do
    mkdir -p "$build/logs"
    if ! "$build/fuzz/$t" -runs=0 -close_fd_mask=3 "$root/fuzz/corpus/$t" \
        >"$build/logs/$t.replay.log" 2>&1; then
      echo "$t: a committed seed fails, see $build/logs/$t.replay.log"
      status=1
    fi
  done
  return $status
}

cmd=${1:-}
case "$cmd" in
  build)
    build
    ;;
  regress)
    secs=${2:-10}
    start=$SECONDS
    build
    replay_all
    run_all "$secs"
    echo "fuzz regress: $(targets | wc -l) targets, $((SECONDS - start)) s"
    ;;
  long)
    secs=${2:?usage: scripts/fuzz.sh long <seconds>}
    build
    echo "each target for $secs s, $jobs at a time"
    run_all "$secs"
    ;;
  *)
    echo "usage: $0 build | regress [seconds] | long <seconds>" >&2
    exit 2
    ;;
esac
