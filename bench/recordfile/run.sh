#!/bin/sh
# Builds and runs the record-file benchmarks (Release, build-bench/):
#  1. recordfile_bench: the engine against SQLite in bulk (one transaction
#     per phase, no flushes); its options are this script's arguments.
#  2. recordfile_changes_bench: one change per open ... close, the cost of
#     crash safety: the engine before it (pages changed in place, built from
#     the sources of the commit before the change), the engine now (new file,
#     flush, rename, folder flush) and SQLite with its rollback journal and
#     synchronous=FULL. The files lie in build-bench/, on the disk the
#     figures are about (not /tmp, which may be memory). Each phase is
#     bounded: CHANGES changes (300) or BENCH_SECONDS seconds (5).
# Usage: bench/recordfile/run.sh [benchmark options]
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/bench/google_bench.sh" recordfile "$@"

# The last commit whose record file changed its pages in place.
before_commit=e54764c239da265c0fbbad96e5a8adc58e5f2caa
before="$root/build-bench/recordfile-before"
if [ ! -f "$before/storage/record_file.cpp" ]; then
  rm -rf "$before" && mkdir -p "$before"
  if ! git -C "$root" archive "$before_commit" storage | tar -x -C "$before"; then
    echo "commit $before_commit is not in this clone: the in-place figures are left out" >&2
    rm -rf "$before"
  fi
fi
targets=recordfile_changes_bench
if [ -d "$before" ]; then
  cmake -S "$root" -B "$root/build-bench" -DTAVELLA_RECORDFILE_BEFORE="$before" >/dev/null
  targets="$targets recordfile_changes_before"
fi
cmake --build "$root/build-bench" --target $targets -j2
work="$root/build-bench/recordfile-changes"
mkdir -p "$work"
set -- --changes="${CHANGES:-300}" --seconds="${BENCH_SECONDS:-5}" --folder="$work"
echo
echo "one change per open ... close, on a file of 100 records"
if [ -d "$before" ]; then "$root/build-bench/bench/recordfile/recordfile_changes_before" "$@"; fi
"$root/build-bench/bench/recordfile/recordfile_changes_bench" "$@"
