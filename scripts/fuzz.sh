#!/usr/bin/env bash
# Runs every fuzz target of the sanitizer build for longer than the test
# suite does: scripts/fuzz.sh [SECONDS_PER_TARGET]. New inputs that reach new
# code are kept in a scratch corpus under build/, never in the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shopt -s nullglob
for source in tests/fuzz/*.cpp; do
  name=$(basename "$source" .cpp)
  binary=build/host-asan/tests/fuzz/$name
  [ -x "$binary" ] || { echo "missing $binary; run make build-asan" >&2; exit 1; }
  scratch=build/fuzz-corpus/$name
  mkdir -p "$scratch"
  echo "== $name for ${seconds}s"
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="build/fuzz-corpus/$name-" "$scratch" "tests/fuzz/corpus/$name"
done
