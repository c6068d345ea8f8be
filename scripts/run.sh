#!/usr/bin/env bash
# Builds Tavella and runs the chat server on the shipped site in the
# foreground (port 8080 of option.ini). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tvlService tvl_site
exec build/dist/tvlService
