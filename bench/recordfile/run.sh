#!/bin/sh
# Builds and runs the record-file benchmark (Release, build-bench/).
# Usage: bench/recordfile/run.sh [benchmark options]
exec "$(dirname "$0")/../google_bench.sh" recordfile "$@"
