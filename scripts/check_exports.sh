#!/usr/bin/env bash
# Compares the functions a shared library exports with the expected list.
# Usage: check_exports.sh LIBRARY EXPECTED_LIST
set -euo pipefail
lib=$1 expected=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWw]$/ {print $3}' | grep -v -E '^_(init|fini)$' | sort -u)
if ! diff -u <(sort -u "$expected") <(printf '%s\n' "$actual"); then
  echo "exports of $lib differ from $expected (- expected, + exported)" >&2
  exit 1
fi
echo "$(wc -l <"$expected") exports match"
