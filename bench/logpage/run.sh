#!/bin/sh
# Builds and runs the log page benchmark (Release, build-bench/).
# Usage: bench/logpage/run.sh [visitors] [rows per visitor]
exec "$(dirname "$0")/../google_bench.sh" logpage "$@"
