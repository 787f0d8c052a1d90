#!/usr/bin/env bash
# Builds the proxy (plain optimised build in build/) and runs it in the
# foreground from the ready-to-run folder build/dist, with the factory
# configuration on first run. Arguments go to the daemon (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVALDRIN_SANITIZE=OFF >/dev/null
cmake --build build -j "${JOBS:-2}" --target valdrin_proxy
exec build/dist/valdrin_proxy "$@"
