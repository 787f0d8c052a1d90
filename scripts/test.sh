#!/usr/bin/env bash
# Builds everything and runs the whole suite twice: a plain optimised build,
# then AddressSanitizer + UndefinedBehaviorSanitizer; then replays every fuzz
# target's corpus and fuzzes each briefly.
#   scripts/test.sh            all three
#   scripts/test.sh plain      only the plain build
#   scripts/test.sh asan       only the sanitizer build
#   scripts/test.sh fuzz       only the fuzz regression run
#   scripts/test.sh tsan       only the ThreadSanitizer build (not part of "all")
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=${JOBS:-2}
which=${1:-all}
case $which in
  all | plain | asan | fuzz | tsan) ;;
  *) echo "unknown mode: $which (all, plain, asan, fuzz or tsan)" >&2; exit 2 ;;
esac

# The package test builds, installs and purges the Debian packages: once, in
# the plain suite; the sanitizer suites leave it out (ctest_args).
ctest_args=()
run_suite() {  # name, build dir, extra cmake args...
  local name=$1 dir=$2
  shift 2
  echo "=== $name build ($dir)"
  # Everything, whatever scripts/run.sh left in the cache.
  cmake -S . -B "$dir" -G Ninja -DVALDRIN_DESKTOP=ON -DVALDRIN_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests"
  local status=0
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 "${ctest_args[@]}" || status=$?
  check_sanitizer_logs "$dir"
  return $status
}

# The sanitizers write their reports to files under the build folder
# (log_path), so that a test that captures its standard error cannot hide
# one; every report found fails the run, whichever test it came from.
sanitizer_logs() {  # build dir -> the folder, emptied
  local logs=$PWD/$1/sanitizer-logs
  rm -rf "$logs"
  mkdir -p "$logs"
  echo "$logs"
}
check_sanitizer_logs() {  # build dir
  local logs=$PWD/$1/sanitizer-logs
  [ -d "$logs" ] || return 0
  local reports
  reports=$(find "$logs" -type f -size +0 | sort)
  [ -z "$reports" ] && return 0
  echo "=== sanitizer reports in $logs"
  local f
  for f in $reports; do
    echo "--- $f"
    cat "$f"
  done
  return 1
}

if [ "$which" = all ] || [ "$which" = plain ]; then
  run_suite plain build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVALDRIN_SANITIZE=OFF
  echo "=== the daemon alone, configured as if Qt were not installed (build-daemon)"
  # A daemon target that still needs Qt fails to configure here.
  cmake -S . -B build-daemon -G Ninja -DVALDRIN_DESKTOP=OFF -DVALDRIN_TESTS=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON --no-warn-unused-cli >/dev/null
fi
if [ "$which" = all ] || [ "$which" = asan ]; then
  logs=$(sanitizer_logs build-asan)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}:log_path=$logs/asan
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}:log_path=$logs/ubsan
  ctest_args=(-LE package)
  run_suite asan build-asan -DCMAKE_BUILD_TYPE=Debug -DVALDRIN_SANITIZE=ON
fi
if [ "$which" = all ] || [ "$which" = fuzz ]; then
  echo "=== fuzz regression (build-fuzz)"
  # A fuzz target's crash report belongs in its own log.
  [ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS=${ASAN_OPTIONS%%:log_path=*}
  [ -n "${UBSAN_OPTIONS:-}" ] && export UBSAN_OPTIONS=${UBSAN_OPTIONS%%:log_path=*}
  scripts/fuzz.sh regress
fi
if [ "$which" = tsan ]; then
  # A race makes an instrumented process exit with 66 at its end, so ctest
  # sees it; its report is in the logs folder.
  logs=$(sanitizer_logs build-tsan)
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=0:exitcode=66:second_deadlock_stack=1}:log_path=$logs/tsan
  ctest_args=(-LE package)
  run_suite tsan build-tsan -DCMAKE_BUILD_TYPE=Debug -DVALDRIN_TSAN=ON -DVALDRIN_SANITIZE=OFF
fi
