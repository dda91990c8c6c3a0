#!/usr/bin/env bash
# Runs every fuzz target in a build directory for a bounded time from its seed
# corpus (fuzz/corpus/<name>/), in a scratch copy so the repository's seeds
# stay as they are. Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for exe in "$build"/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe")
  name=${name#fuzz_}
  work="$scratch/$name"
  mkdir -p "$work"
  if [ -d "$root/fuzz/corpus/$name" ]; then cp -r "$root/fuzz/corpus/$name/." "$work/"; fi
  printf '%-28s ' "$name"
  if ASAN_OPTIONS=detect_leaks=1 "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=10 -artifact_prefix="$scratch/$name-" "$work" >"$scratch/$name.log" 2>&1; then
    grep -E '^Done|#[0-9]+.*DONE' "$scratch/$name.log" | tail -1 || echo ok
  else
    echo FAILED
    tail -60 "$scratch/$name.log"
    status=1
  fi
done
exit $status
