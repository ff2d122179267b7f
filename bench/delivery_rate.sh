#!/bin/sh
# Builds the program, the simulated modem and the delivery benchmark, then
# runs it; any arguments go to the benchmark (see bench/README.md).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench-delivery_rate}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCALLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target callvane tapsim delivery_rate
exec "$build/bench/delivery_rate" "$@"
