#!/usr/bin/env bash
# clang-format over every C++ source, clang-tidy over the driver layers and
# the platform's contract.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"

[ -f build/host/compile_commands.json ] || cmake --preset host >/dev/null
mapfile -t driver < <(git ls-files 'driver/*.cpp' 'directory/*.cpp' 'support/*.cpp' 'reference/*.cpp')
status=0
output=$(clang-tidy --quiet -p build/host "${driver[@]}" 2>&1) || status=$?
grep -v "warnings generated" <<<"$output" || true
[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
