#!/bin/sh
# Builds the program, the trivial floor programs and the footprint
# benchmark, then runs it as root; any arguments go to the benchmark (see
# bench/README.md).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench-footprint}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCALLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target footprint
exec "$build/bench/footprint" "$@"
