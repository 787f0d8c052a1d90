#!/usr/bin/env bash
# Builds the proxy (plain optimised build in build/) and runs it in the
# foreground from the ready-to-run folder build/dist, with the factory
# configuration on first run. Arguments go to the daemon (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
# The daemon alone: no Qt, no test frameworks to install for it.
scripts/setup.sh --daemon
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVALDRIN_SANITIZE=OFF \
  -DVALDRIN_DESKTOP=OFF -DVALDRIN_TESTS=OFF >/dev/null
cmake --build build -j "${JOBS:-2}" --target valdrin_proxy
exec build/dist/valdrin_proxy "$@"
