#!/usr/bin/env bash
# Runs every benchmark program, and the comparison scripts beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
for s in bench/compare-*.sh; do
  [ -e "$s" ] || continue
  echo "== $s"
  bash "$s"
done
