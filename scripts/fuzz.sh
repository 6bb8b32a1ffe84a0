#!/usr/bin/env bash
# A fuzzing campaign over the sanitizer build's targets:
#   scripts/fuzz.sh [--runs N | --seconds S] [--jobs J] [--merge] [TARGET ...]
# Each target runs N inputs in all (default 10,000,000) or for S seconds,
# split over J processes (default: the number of processors), each started
# from the seed corpus in tests/fuzz/corpus/TARGET with its own seed, at a
# low priority. New inputs that reach new code go to a scratch corpus,
# build/fuzz-corpus/TARGET; an input that fails a check or a sanitizer is
# written as build/fuzz-corpus/TARGET-crash-* (or -timeout-, -oom-, -leak-).
# --merge then adds to the seed corpus, minimised, what of the scratch corpus
# reaches code the seeds do not.
#
# Printed per target: inputs run, inputs per second (all processes, and per
# process), coverage of the seed and scratch corpora together (edges and
# features, as libFuzzer counts them), and findings. Every target runs even
# when an earlier one fails; the exit status is 1 if any had findings.
# Ctrl-C (SIGINT) ends the running target early; what it ran is still
# counted and the remaining targets are skipped.
# FUZZ_BUILD_DIR names another sanitizer build directory, FUZZ_WORK_DIR
# another directory for the scratch corpora, findings and logs (default
# build), so that campaigns can run side by side.
set -uo pipefail
cd "$(dirname "$0")/.."
runs=10000000
seconds=
jobs=$(nproc)
merge=
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
build=${FUZZ_BUILD_DIR:-build/host-asan}
work=${FUZZ_WORK_DIR:-build}
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

# The last value of a libFuzzer status field (cov:, ft:) in a log.
field() { grep -o "$1: [0-9]*" "$2" | tail -1 | awk '{print $2}'; }

failed=()
summary=()
interrupted=
pids=()
trap 'interrupted=1; kill -INT "${pids[@]}" 2>/dev/null' INT
for name in "${targets[@]}"; do
  [ -z "$interrupted" ] || break
  binary=$build/tests/fuzz/$name
  [ -x "$binary" ] || { echo "missing $binary; run make build-asan" >&2; exit 1; }
  seeds=tests/fuzz/corpus/$name
  scratch=$work/fuzz-corpus/$name
  logs=$work/fuzz-logs/$name
  mkdir -p "$scratch" "$logs"
  rm -f "$logs"/*.log
  before=$(ls "$work"/fuzz-corpus/"$name"-* 2>/dev/null | wc -l)
  if [ -n "$seconds" ]; then
    limit=(-max_total_time="$seconds")
    echo "== $name: ${seconds}s in $jobs processes"
  else
    limit=(-runs=$(((runs + jobs - 1) / jobs)))
    echo "== $name: $runs inputs in $jobs processes"
  fi
  start=$(date +%s.%N)
  pids=()
  for ((job = 0; job < jobs; ++job)); do
    nice -n 10 "$binary" "${limit[@]}" -seed=$((job + 1)) -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
      -artifact_prefix="$work/fuzz-corpus/$name-" "$scratch" "$seeds" > "$logs/$job.log" 2>&1 &
    pids+=($!)
  done
  status=0
  for pid in "${pids[@]}"; do
    # 72: libFuzzer interrupted, which ends a run early but finds nothing.
    while :; do
      wait "$pid"
      code=$?
      kill -0 "$pid" 2>/dev/null || break  # a trapped signal ended the wait, not the process
    done
    [ "$code" -eq 0 ] || [ "$code" -eq 72 ] || status=1
  done
  pids=()
  elapsed=$(echo "$(date +%s.%N) - $start" | bc)
  total=0
  for log in "$logs"/*.log; do
    n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
    [ -n "$n" ] || n=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
    total=$((total + ${n:-0}))
  done
  # Coverage of what the campaign leaves: the seeds and everything new.
  "$binary" -runs=0 "$scratch" "$seeds" > "$logs/coverage.log" 2>&1
  cov=$(field cov "$logs/coverage.log")
  ft=$(field ft "$logs/coverage.log")
  findings=$(($(ls "$work"/fuzz-corpus/"$name"-* 2>/dev/null | wc -l) - before))
  if [ "$status" -ne 0 ] && [ "$findings" -eq 0 ]; then
    findings=1  # a process failed without leaving an input: see its log
  fi
  rate=$(echo "$total / $elapsed" | bc)
  line=$(printf '%-24s %12s inputs %9s inputs/s (%s a process) %6s edges %7s features %3s findings%s' "$name" \
    "$total" "$rate" "$((rate / jobs))" "${cov:-?}" "${ft:-?}" "$findings" "${interrupted:+ (ended early)}")
  echo "$line"
  summary+=("$line")
  if [ "$findings" -ne 0 ]; then
    failed+=("$name")
    grep -h -m1 -E '^fuzz_[a-z_]+: |ERROR: ' "$logs"/*.log | sed 's/^/   /'
  fi
  if [ -n "$merge" ]; then
    "$binary" -merge=1 "$seeds" "$scratch" > "$logs/merge.log" 2>&1
    echo "   seed corpus: $(ls "$seeds" | wc -l) inputs, $(cat "$seeds"/* | wc -c) bytes"
  fi
done
echo
echo "== campaign ($(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz targets with findings: ${failed[*]} (inputs in $work/fuzz-corpus, logs in $work/fuzz-logs)" >&2
  exit 1
fi
