#!/usr/bin/env bash
# Builds and runs every test of Tavella: the GoogleTest suites in a normal build
# and again under -fsanitize=address,undefined, the concurrency suites under
# ThreadSanitizer, the fuzz programs (clang) for a bounded number of inputs
# each, and the browser tests against build/dist. Exits non-zero on
# the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

configure() { cmake -S . -B "$1" -G Ninja "${@:2}" >/dev/null; }

echo "== normal build"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELLA_TESTS=ON
cmake --build build
(cd build && ctest -j2 --output-on-failure)

echo "== address and undefined-behaviour sanitizers"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVELLA_SANITIZE=ON
cmake --build build-asan
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
   UBSAN_OPTIONS=print_stacktrace=1 ctest -j2 --output-on-failure)

echo "== thread sanitizer (concurrency suites)"
tsan_tests=$(cd tests && ls *_concurrency_test.cpp 2>/dev/null | sed 's/\.cpp$//' || true)
if [ -n "$tsan_tests" ]; then
  configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELLA_TSAN=ON
  # shellcheck disable=SC2086
  cmake --build build-tsan --target tvl_site $tsan_tests
  for t in $tsan_tests; do
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build-tsan/tests/$t"
  done
fi

echo "== fuzz programs (clang, libFuzzer; a bounded number of inputs each)"
# The clang build also checks the lock annotations (-Werror=thread-safety).
CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELLA_FUZZ=ON \
  -DTAVELLA_TESTS=OFF
cmake --build build-fuzz --target tvl_fuzz tvlService
tests/fuzz/run.sh build-fuzz -runs=20000 -timeout=10

echo "== browser tests"
if [ -f tests/e2e/run.mjs ]; then
  node tests/e2e/run.mjs build/dist
fi
echo "all tests passed"
