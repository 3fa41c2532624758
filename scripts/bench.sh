#!/usr/bin/env bash
# Runs every benchmark executable (*_bench) of a release build folder.
set -euo pipefail
dir=${1:?usage: bench.sh BUILD_DIR}
found=0
while IFS= read -r exe; do
  found=1
  echo "== $(basename "$exe")"
  "$exe"
done < <(find "$dir/bench" -type f -perm -u+x -name '*_bench' | sort)
[ $found -eq 1 ] || { echo "no benchmarks built" >&2; exit 1; }
