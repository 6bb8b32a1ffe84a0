#!/usr/bin/env bash
# Line coverage of the insert code that a fuzz_insert corpus reaches:
#   scripts/fuzz-coverage.sh [CORPUS_DIR ...]
# Builds fuzz_insert with clang's source-based coverage (-fprofile-instr-generate
# -fcoverage-mapping) on top of the sanitizer build's flags, in build/fuzz-coverage
# (FUZZ_COVERAGE_BUILD_DIR names another), runs it once over every input of
# the corpora (-runs=0; default tests/fuzz/corpus/fuzz_insert) and prints
# llvm-cov's report for tools/FirmwareInsert*.cpp and tools/Ffs*.cpp, then one
# line with the lines reached in all of them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${FUZZ_COVERAGE_BUILD_DIR:-build/fuzz-coverage}
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(tests/fuzz/corpus/fuzz_insert)
for corpus in "${corpora[@]}"; do
  [ -d "$corpus" ] || { echo "fuzz-coverage.sh: no corpus directory $corpus" >&2; exit 2; }
done
llvm_cov=$(command -v llvm-cov || command -v llvm-cov-14)
llvm_profdata=$(command -v llvm-profdata || command -v llvm-profdata-14)

# The targets as the sanitizer build makes them (.clusterfuzzlite/build.sh's
# flags), with coverage on top.
flags="-O1 -fno-omit-frame-pointer -gline-tables-only -fsanitize=fuzzer-no-link -fsanitize=address,undefined"
flags="$flags -fno-sanitize-recover=all -fprofile-instr-generate -fcoverage-mapping"
mkdir -p "$(dirname "$build")"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DFTPM_FUZZ_TARGETS_ONLY=ON -DFTPM_FUZZ_ENGINE=-fsanitize=fuzzer -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
    ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} > "$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; exit 1; }
fi
nice -n 10 cmake --build "$build" -j 2 --target fuzz_insert > "$build.build.log" 2>&1 ||
  { tail -30 "$build.build.log" >&2; exit 1; }

binary=$build/tests/fuzz/fuzz_insert
profiles=$build/fuzz-coverage-profiles
rm -rf "$profiles"
mkdir -p "$profiles"
LLVM_PROFILE_FILE="$root/$profiles/%p.profraw" "$binary" -runs=0 -artifact_prefix="$profiles/" "${corpora[@]}" > "$profiles/run.log" 2>&1 ||
  { tail -20 "$profiles/run.log" >&2; exit 1; }
"$llvm_profdata" merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"

inputs=$(grep -o 'INITED.*' "$profiles/run.log" | head -1 || true)
echo "corpus: ${corpora[*]}: $(find "${corpora[@]}" -type f | wc -l) inputs, $(find "${corpora[@]}" -type f -exec cat {} + | wc -c) bytes"
[ -z "$inputs" ] || echo "libFuzzer: $inputs"
"$llvm_cov" report "$binary" -instr-profile="$profiles/merged.profdata" | sed "s|^$root/||" > "$profiles/report.txt"
# The insert code's rows (file, regions, missed, cover, functions, missed,
# executed, lines, missed lines, cover, ...) and their sum.
head -2 "$profiles/report.txt"
grep -E '^(\.\./\.\./)?tools/(FirmwareInsert|Ffs)[^/ ]*\.cpp ' "$profiles/report.txt" | tee "$profiles/insert.txt"
awk '{ lines += $8; missed += $9 }
     END { printf "lines reached: %d of %d (%.1f %%)\n", lines - missed, lines, 100 * (lines - missed) / lines }' \
  "$profiles/insert.txt"
# The functions of those files the corpus never enters (in tools/Ffs.cpp the
# packager's own: GUID parsing, PE checks, the depex compiler), and the share
# of lines reached without their lines (llvm-cov's line counts).
"$llvm_cov" export -instr-profile="$profiles/merged.profdata" "$binary" > "$profiles/export.json"
python3 - "$llvm_cov" "$binary" "$profiles/merged.profdata" "$profiles/export.json" "$profiles/insert.txt" <<'PYTHON'
import json, os, re, subprocess, sys
llvm_cov, binary, profile, export, insert = sys.argv[1:]
data = json.load(open(export))["data"][0]
pattern = re.compile(r"tools/(FirmwareInsert|Ffs)[^/]*\.cpp$")
files = sorted({os.path.normpath(f["filename"]) for f in data["files"] if pattern.search(f["filename"])})
# Line counts as llvm-cov shows them: "  LINE|  COUNT|source", COUNT empty
# on lines without code.
counts = {}
current = None
show = subprocess.run([llvm_cov, "show", binary, "-instr-profile=" + profile],
                      capture_output=True, text=True).stdout
for text in show.splitlines():
    if text.startswith("/") and text.endswith(":"):
        current = text[:-1] if text[:-1] in files else None
        continue
    match = re.match(r"\s*(\d+)\|\s*([0-9.]+[kMG]?)\|", text)
    if match and current:
        counts[(current, int(match.group(1)))] = match.group(2) != "0"
never, unentered = [], set()
for function in data["functions"]:
    # Regions: line start, column start, line end, column end, count, file.
    first = function["regions"][0]
    name = os.path.normpath(function["filenames"][first[5]])
    if name not in files:
        continue
    if function["count"] != 0:
        continue
    never.append(function["name"].split(":")[-1])
    for region in function["regions"]:
        if region[5] == first[5]:
            unentered.update(k for k in ((name, line) for line in range(region[0], region[2] + 1)) if k in counts)
names = subprocess.run(["c++filt"], input="\n".join(never), capture_output=True, text=True).stdout.split("\n")
print("functions never entered: %d" % len(never))
for name in sorted({n.split("(")[0] for n in names if n}):
    print("  " + name)
# llvm-cov report's rows above: lines in column 8, missed lines in column 9.
rows = [line.split() for line in open(insert)]
lines = sum(int(row[7]) for row in rows)
reached = lines - sum(int(row[8]) for row in rows)
rest = lines - len(unentered)
print("lines of those functions: %d; lines reached without them: %d of %d (%.1f %%)"
      % (len(unentered), reached, rest, 100.0 * reached / rest))
PYTHON
