#!/usr/bin/env bash
# Builds the fuzz programs (clang, libFuzzer with address and undefined-
# behaviour sanitizers, build dir build-fuzz) and runs each of them for the
# given time from its seed corpus.
#   bench/fuzz/run.sh [seconds per program, default 300]
# Failing inputs are kept in build-fuzz/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-300}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVELLA_FUZZ=ON -DTAVELLA_TESTS=OFF >/dev/null
nice cmake --build build-fuzz --target tvl_fuzz -- -j2
tests/fuzz/run.sh build-fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
