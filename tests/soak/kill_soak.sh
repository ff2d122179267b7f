#!/bin/sh
# Kill soak: the daemon kill test (DaemonKillTest) run long, with 1,000
# SIGKILLs of session and queue-run children instead of the 200 of a normal
# test run, then the flood test with its full 10,000 connections.
#
# Usage: tests/soak/kill_soak.sh [KILLS [SEED]]
#   KILLS  kills to make (default 1000; CALLVANE_KILLS)
#   SEED   seed of the random moments, to repeat a run (default: from the
#          clock; CALLVANE_SEED). Every run prints the seed it used.
# Environment: BUILD_DIR (default build-soak next to the sources),
# CALLVANE_FLOOD_CONNECTIONS (default 10000). Needs root (private network
# and mount namespaces, the daemon drops to uucp). Takes about 5 minutes.
# It exits non-zero when a page was lost, torn or delivered too often.
set -e
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$src/build-soak}
CALLVANE_KILLS=${1:-${CALLVANE_KILLS:-1000}}
export CALLVANE_KILLS
if [ -n "${2:-}" ]; then CALLVANE_SEED=$2; export CALLVANE_SEED; fi
CALLVANE_FLOOD_CONNECTIONS=${CALLVANE_FLOOD_CONNECTIONS:-10000}
export CALLVANE_FLOOD_CONNECTIONS
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target callvane tapsim test_server
"$build/tests/test_server" --gtest_filter='DaemonKillTest.*:DaemonFloodTest.*'
