#!/bin/sh
# Builds one Google Benchmark program of bench/ (Release, build-bench/) and
# runs it with the remaining arguments.
# Usage: bench/google_bench.sh <folder under bench/> [program options]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
name=$1
shift
# Configuring bench/ configures every benchmark, so all their headers are needed.
need=""
[ -f /usr/include/benchmark/benchmark.h ] || need="$need libbenchmark-dev"
[ -f /usr/include/sqlite3.h ] || need="$need libsqlite3-dev"
if [ -n "$need" ]; then
  if [ "$(id -u)" = 0 ]; then apt-get install -y $need; else sudo apt-get install -y $need; fi
fi
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_BENCH=ON -DTAVELLA_TESTS=OFF
cmake --build "$root/build-bench" --target "${name}_bench" -j2
exec "$root/build-bench/bench/$name/${name}_bench" "$@"
