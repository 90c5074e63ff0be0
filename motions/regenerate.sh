#!/usr/bin/env bash
# Regenerates the bundled motions with the project's own generator.
#   motions/regenerate.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
gen=${1:-build/release}/tools/motion_gen
# motion  row period (ms)  length (s)
while read -r motion period seconds; do
  "$gen" "$motion" "$period" "$seconds" >"motions/${motion}_${period}ms.csv"
done <<'LIST'
wave 10 12
squat 20 9
swing 1 8
LIST
