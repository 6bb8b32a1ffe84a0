#!/usr/bin/env bash
# Runs every fuzz target of the sanitizer build for longer than the test
# suite does: scripts/fuzz.sh [SECONDS_PER_TARGET]. New inputs that reach new
# code are kept in a scratch corpus under build/, never in the repository;
# an input that fails is written next to it as build/fuzz-corpus/NAME-crash-*.
# Every target runs even when an earlier one fails; the exit status is 1 if
# any failed. FUZZ_BUILD_DIR names another sanitizer build directory.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
build=${FUZZ_BUILD_DIR:-build/host-asan}
shopt -s nullglob
failed=()
for source in tests/fuzz/*.cpp; do
  name=$(basename "$source" .cpp)
  binary=$build/tests/fuzz/$name
  [ -x "$binary" ] || { echo "missing $binary; run make build-asan" >&2; exit 1; }
  scratch=build/fuzz-corpus/$name
  mkdir -p "$scratch"
  echo "== $name for ${seconds}s"
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -artifact_prefix="build/fuzz-corpus/$name-" "$scratch" "tests/fuzz/corpus/$name"; then
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
