#!/bin/bash
# Installs, builds and runs every test: the normal build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer (clang, the fuzzing
# build), then each fuzz target briefly, then the Debian package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
(cd "$BUILD_DIR" && ctest --output-on-failure -j"$(nproc)" --timeout 600)

SAN_DIR=${SAN_BUILD_DIR:-build-fuzzsan}
# -O1 and line tables only: what the sanitizers need for their reports, and
# a quicker build than the normal one's full debug information.
cmake -S . -B "$SAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" -DCALLVANE_FUZZ=ON >/dev/null
cmake --build "$SAN_DIR" -j"$(nproc)"
# The slowest program-from-outside tests wait on real time-outs rather than
# run code, or (the flood) measure what ASan slows past its deadlines; they
# run in the normal build only.
SLOW='^(DaemonKillTest|DaemonFloodTest|Dialogue|QueueRace|DeliveryTest)\.'
(cd "$SAN_DIR" && ctest --output-on-failure -j"$(nproc)" --timeout 600 -E "$SLOW")
bash fuzz/run.sh "$SAN_DIR"
# The Debian package: built, installed, checked and purged again.
bash scripts/package-check.sh
