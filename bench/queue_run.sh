#!/bin/sh
# Builds the program and the queue-run benchmark, then runs it; any
# arguments go to the benchmark (see bench/README.md).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target callvane queue_run
exec "$build/bench/queue_run" "$@"
