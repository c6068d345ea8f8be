#!/bin/sh
# Builds and runs the log page benchmark (Release, build-bench/).
# Usage: bench/logpage/run.sh [visitors] [rows per visitor]
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
# Configuring bench/ also configures the other benchmarks, which need these.
need=""
[ -f /usr/include/benchmark/benchmark.h ] || need="$need libbenchmark-dev"
[ -f /usr/include/sqlite3.h ] || need="$need libsqlite3-dev"
if [ -n "$need" ]; then
  if [ "$(id -u)" = 0 ]; then apt-get install -y $need; else sudo apt-get install -y $need; fi
fi
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_BENCH=ON -DTAVELLA_TESTS=OFF
cmake --build "$root/build-bench" --target logpage_bench -j2
"$root/build-bench/bench/logpage/logpage_bench" "$@"
