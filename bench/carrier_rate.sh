#!/bin/sh
# Builds the program, the carrier simulators and the carrier rate benchmark,
# then runs it; any arguments go to the benchmark (see bench/README.md).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench-carrier_rate}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCALLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target callvane tapsim snpppeer wctpsim carrier_rate
exec "$build/bench/carrier_rate" "$@"
