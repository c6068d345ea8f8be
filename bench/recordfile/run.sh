#!/bin/sh
# Builds and runs the record-file benchmark (Release, build-bench/).
# Usage: bench/recordfile/run.sh [benchmark options]
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
need=""
[ -f /usr/include/benchmark/benchmark.h ] || need="$need libbenchmark-dev"
[ -f /usr/include/sqlite3.h ] || need="$need libsqlite3-dev"
if [ -n "$need" ]; then
  if [ "$(id -u)" = 0 ]; then apt-get install -y $need; else sudo apt-get install -y $need; fi
fi
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_BENCH=ON -DTAVELLA_TESTS=OFF
cmake --build "$root/build-bench" --target recordfile_bench
"$root/build-bench/bench/recordfile/recordfile_bench" "$@"
