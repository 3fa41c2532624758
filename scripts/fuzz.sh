#!/usr/bin/env bash
# Runs every fuzz target (fuzz_*) of a fuzz build folder for a bounded time each, with a corpus
# kept in the build folder between runs.
set -euo pipefail
dir=${1:?usage: fuzz.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
status=0
while IFS= read -r exe; do
  name=$(basename "$exe")
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  echo "== $name ($seconds s)"
  if ! "$exe" "$corpus" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/crash-$name-" 2>"$dir/$name.log"; then
    echo "$name: FAILED, see $dir/$name.log" >&2; status=1
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$dir/$name.log" || true
done < <(find "$dir/fuzz" -type f -perm -u+x -name 'fuzz_*' | sort)
exit $status
