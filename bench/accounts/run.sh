#!/bin/sh
# Builds and runs the accounts benchmark (Release, build-bench/): the time of
# a guest's entry with many accounts in users/.
# Usage: bench/accounts/run.sh [accounts] [entries]   (defaults 100000 200)
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_BENCH=ON -DTAVELLA_TESTS=OFF
cmake --build "$root/build-bench" --target accounts_bench -j2
exec "$root/build-bench/bench/accounts/accounts_bench" "$@"
