#!/usr/bin/env bash
# A fuzzing campaign over two builds of the fuzz targets:
#   scripts/fuzz.sh [--runs N | --seconds S] [--asan-runs M | --asan-seconds T] [--jobs J] [--merge] [TARGET ...]
# Breadth: the fast build (host-fuzz preset: -O2, UndefinedBehaviorSanitizer
# only) runs N inputs per target in all (default 10,000,000) or for S
# seconds, split over J processes (default: the number of processors), each
# started from the seed corpus in tests/fuzz/corpus/TARGET with its own seed,
# at a low priority. Inputs that reach new code go to a scratch corpus,
# build/fuzz-corpus/TARGET.
# Depth: the AddressSanitizer build (.clusterfuzzlite/build.sh, as the
# service builds it) then runs every input of the seed and scratch corpora,
# and goes on from them for M inputs in all (default N / 10) or T seconds
# (default S / 5), over J processes.
# An input that fails a check or a sanitizer is written as
# build/fuzz-corpus/TARGET-crash-* (or -timeout-, -oom-, -leak-). Each run
# takes the libFuzzer options of tests/fuzz/TARGET.options. --merge then adds
# to the seed corpus, minimised, what of the scratch corpus reaches code the
# seeds do not.
#
# Printed per target: inputs run and inputs per second (all processes, and
# per process) in each build, coverage of the seed and scratch corpora
# together (edges and features, as libFuzzer counts them in the
# AddressSanitizer build), and findings. Every target runs even when an
# earlier one fails; the exit status is 1 if any had findings. Ctrl-C
# (SIGINT) ends the running target early; what it ran is still counted and
# the remaining targets are skipped.
# FUZZ_FAST_DIR and FUZZ_ASAN_DIR name other folders holding the two builds'
# targets, FUZZ_WORK_DIR another directory for the scratch corpora, findings
# and logs (default build), so that campaigns can run side by side.
set -uo pipefail
cd "$(dirname "$0")/.."
runs=10000000
seconds=
asan_runs=
asan_seconds=
jobs=$(nproc)
merge=
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --asan-runs) asan_runs=$2; shift 2 ;;
    --asan-seconds) asan_seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    -h|--help) sed -n '2,29p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
fast_dir=${FUZZ_FAST_DIR:-build/host-fuzz/tests/fuzz}
asan_dir=${FUZZ_ASAN_DIR:-build/host-asan/tests/fuzz/cflite/out}
work=${FUZZ_WORK_DIR:-build}
if [ -n "$seconds" ]; then
  asan_seconds=${asan_seconds:-$((seconds / 5 > 0 ? seconds / 5 : 1))}
else
  asan_runs=${asan_runs:-$((runs / 10))}
fi
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

# The last value of a libFuzzer status field (cov:, ft:) in a log.
field() { grep -o "$1: [0-9]*" "$2" | tail -1 | awk '{print $2}'; }
# A target's .options file ("name = value") as libFuzzer flags.
options() { [ -f "tests/fuzz/$1.options" ] && sed -n 's/^\([a-z_]*\) *= *\(.*[^ ]\) *$/-\1=\2/p' "tests/fuzz/$1.options"; }

failed=()
summary=()
interrupted=
pids=()
trap 'interrupted=1; kill -INT "${pids[@]}" 2>/dev/null' INT

# run_processes BINARY LABEL LIMIT...: J processes of BINARY over the scratch
# and seed corpora; sets total (inputs run), rate (inputs/s) and status.
run_processes() {
  local binary=$1 label=$2
  shift 2
  local start elapsed job pid code log n
  start=$(date +%s.%N)
  pids=()
  for ((job = 0; job < jobs; ++job)); do
    nice -n 10 "$binary" "$@" -seed=$((job + 1)) "${flags[@]}" -print_final_stats=1 \
      -artifact_prefix="$work/fuzz-corpus/$name-" "$scratch" "$seeds" > "$logs/$label-$job.log" 2>&1 &
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
  for log in "$logs/$label"-*.log; do
    n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
    [ -n "$n" ] || n=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
    total=$((total + ${n:-0}))
  done
  rate=$(echo "$total / $elapsed" | bc)
}

for name in "${targets[@]}"; do
  [ -z "$interrupted" ] || break
  for binary in "$fast_dir/$name" "$asan_dir/$name"; do
    [ -x "$binary" ] || { echo "missing $binary; run make fuzz" >&2; exit 1; }
  done
  mapfile -t flags < <(options "$name")
  seeds=tests/fuzz/corpus/$name
  scratch=$work/fuzz-corpus/$name
  logs=$work/fuzz-logs/$name
  mkdir -p "$scratch" "$logs"
  rm -f "$logs"/*.log
  before=$(ls "$work"/fuzz-corpus/"$name"-* 2>/dev/null | wc -l)
  if [ -n "$seconds" ]; then
    echo "== $name: ${seconds}s fast, then ${asan_seconds}s with AddressSanitizer, in $jobs processes"
    run_processes "$fast_dir/$name" fast -max_total_time="$seconds"
  else
    echo "== $name: $runs inputs fast, then $asan_runs with AddressSanitizer, in $jobs processes"
    run_processes "$fast_dir/$name" fast -runs=$(((runs + jobs - 1) / jobs))
  fi
  fast_total=$total fast_rate=$rate fast_status=$status
  asan_total=0 asan_rate=0 asan_status=0
  if [ -z "$interrupted" ]; then
    if [ -n "$seconds" ]; then
      run_processes "$asan_dir/$name" asan -max_total_time="$asan_seconds"
    else
      run_processes "$asan_dir/$name" asan -runs=$(((asan_runs + jobs - 1) / jobs))
    fi
    asan_total=$total asan_rate=$rate asan_status=$status
  fi
  # Coverage of what the campaign leaves: the seeds and everything new.
  "$asan_dir/$name" -runs=0 "${flags[@]}" "$scratch" "$seeds" > "$logs/coverage.log" 2>&1
  cov=$(field cov "$logs/coverage.log")
  ft=$(field ft "$logs/coverage.log")
  findings=$(($(ls "$work"/fuzz-corpus/"$name"-* 2>/dev/null | wc -l) - before))
  if { [ "$fast_status" -ne 0 ] || [ "$asan_status" -ne 0 ]; } && [ "$findings" -eq 0 ]; then
    findings=1  # a process failed without leaving an input: see its log
  fi
  line=$(printf '%-24s fast %11s inputs %8s/s (%s a process), ASan %10s inputs %7s/s (%s a process) %6s edges %7s features %3s findings%s' \
    "$name" "$fast_total" "$fast_rate" "$((fast_rate / jobs))" "$asan_total" "$asan_rate" "$((asan_rate / jobs))" \
    "${cov:-?}" "${ft:-?}" "$findings" "${interrupted:+ (ended early)}")
  echo "$line"
  summary+=("$line")
  if [ "$findings" -ne 0 ]; then
    failed+=("$name")
    grep -h -m1 -E '^fuzz_[a-z_]+: |ERROR: |runtime error: ' "$logs"/*.log | sed 's/^/   /'
  fi
  if [ -n "$merge" ]; then
    "$asan_dir/$name" -merge=1 "${flags[@]}" "$seeds" "$scratch" > "$logs/merge.log" 2>&1
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
