#!/bin/sh
# Builds the program, the simulated modem and the lines benchmark, then runs
# it as root; any arguments go to the benchmark (see bench/README.md).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench-lines_rate}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCALLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target callvane tapsim lines_rate
exec "$build/bench/lines_rate" "$@"
