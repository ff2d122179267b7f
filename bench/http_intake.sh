#!/bin/sh
# Builds the program and the HTTP intake benchmark, then runs it; any
# arguments go to the benchmark (see bench/README.md).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-bench}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCALLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target callvane http_intake
exec "$build/bench/http_intake" "$@"
