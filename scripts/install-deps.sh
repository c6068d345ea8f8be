#!/usr/bin/env bash
# Installs what building (and, with "test", testing; with "x-check", the
# window's check under Xvfb; with "bench", the benchmarks) Tavella needs on
# Debian 12, and the packages named after that, and only what is missing.
# Runs as root; uses sudo when it is not root.
#
#   scripts/install-deps.sh [build|test|x-check|bench] [PACKAGE...]
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-build}
packages=(cmake ninja-build g++ make pkg-config libgtest-dev curl ca-certificates
          qt6-base-dev libicu-dev libssl-dev openssl libhiredis-dev "${@:2}")
if [ "$what" = x-check ]; then
  # Only the desktop program's check under a virtual X server needs these.
  packages+=(xvfb xauth xdotool x11-utils trayer python3)
fi
if [ "$what" = bench ]; then
  # bench/: Google Benchmark, and SQLite to measure the record file against.
  packages+=(libbenchmark-dev libsqlite3-dev)
fi
if [ "$what" = test ]; then
  # clang with its libFuzzer and sanitizer runtimes for the fuzz programs;
  # nginx in front of the chat window in the browser tests (run by the
  # tests themselves, never as the system's service).
  # redis-server for the cluster suites, which start a private one of
  # their own (the blocker below keeps the package from starting the
  # system's service).
  packages+=(chromium fonts-dejavu-core clang libclang-rt-14-dev nginx redis-server)
  command -v node >/dev/null 2>&1 || packages+=(nodejs)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  # Keep the package scripts from starting a system-wide nginx on port 80
  # (or a system-wide Redis).
  blocker=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    blocker=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$blocker" >/dev/null
    $sudo chmod +x "$blocker"
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A failed step must not leave the blocker behind.
  status=0
  { $sudo apt-get update -qq &&
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; } || status=$?
  [ -z "$blocker" ] || $sudo rm -f "$blocker"
  [ "$status" -eq 0 ] || exit "$status"
fi

if [ "$what" = test ] && { [ ! -d tests/e2e/node_modules/playwright-core ] || [ ! -d tests/e2e/node_modules/axe-core ]; }; then
  # The browser tests drive Debian's chromium; playwright-core never downloads one.
  # axe-core checks the pages' accessibility inside that chromium.
  (cd tests/e2e && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --no-audit --no-fund --loglevel=error)
fi
