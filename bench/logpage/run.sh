#!/bin/sh
# Builds and runs the log page benchmark (Release, build-bench/).
# Usage: bench/logpage/run.sh [visitors] [rows per visitor]
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_BENCH=ON -DTAVELLA_TESTS=OFF
cmake --build "$root/build-bench" --target logpage_bench -j2
"$root/build-bench/bench/logpage/logpage_bench" "$@"
