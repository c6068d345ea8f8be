#!/usr/bin/env bash
# Runs every fuzz program of a TAVELLA_FUZZ build from its seed corpus.
#   tests/fuzz/run.sh <build-dir> <libFuzzer option>...
# e.g. "-runs=20000" (the test step) or "-max_total_time=600" (bench/fuzz).
# New inputs go to a scratch corpus, never into tests/fuzz/corpus; an input
# that fails is kept in <build-dir>/fuzz-artifacts/ and ends the run with an
# error. Each program works in its own scratch folder, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:?usage: tests/fuzz/run.sh <build-dir> <libFuzzer option>...}
shift
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tvl-fuzz-corpus.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# The programs' scratch folders go there too, so a program that dies on a
# failing input leaves nothing behind.
export TMPDIR="$scratch"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  program="$build/tests/fuzz/$name"
  [ -x "$program" ] || { echo "missing $program (build the tvl_fuzz target)"; exit 1; }
  mkdir -p "$scratch/$name"
  log="$scratch/$name.log"
  if nice "$program" -artifact_prefix="$artifacts/$name-" -print_final_stats=1 "$@" \
       "$scratch/$name" "$seeds" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "$name: ${runs:-?} inputs, $cov, no failure"
  else
    echo "$name: FAILED (input kept under $artifacts/)"
    grep -E 'ERROR|SUMMARY|#[0-9]+ 0x' "$log" | head -20
    status=1
  fi
done
exit $status
