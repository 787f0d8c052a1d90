#!/usr/bin/env bash
# One command for the whole side-by-side benchmark: installs the tools, then
# runs every row and workload and prints the tables (see run.py --help).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/install.sh"
exec python3 "$here/run.py" "$@"
