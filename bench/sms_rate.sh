#!/bin/sh
# Builds the program, the simulated modem and the SMS benchmark, then runs
# it; any arguments go to the benchmark (see bench/README.md).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench-sms_rate}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCALLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target callvane tapsim sms_rate
exec "$build/bench/sms_rate" "$@"
