#!/bin/bash
# Runs every fuzz target on a copy of its seeds: briefly (CI), or for hours with --long.
# Usage: bash fuzz/run.sh [--long] [build-dir]   (default build-dir: build-fuzzsan)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${FUZZ_SECONDS:-15}
PARALLEL=()
if [[ ${1:-} == --long ]]; then
  SECONDS_PER_TARGET=${FUZZ_SECONDS:-14400}
  PARALLEL=(-jobs=2 -workers=2)  # job logs go to fuzz-<n>.log in the current directory
  shift
fi
BUILD=${1:-build-fuzzsan}
TARGETS=(queue_file config time snpp_session mail ident snpp_client modem)
WORK=$(mktemp -d /tmp/callvane-fuzzrun.XXXXXX)
echo "fuzz corpora and findings: $WORK"
failed=()
for t in "${TARGETS[@]}"; do
  # A copy, so that what libFuzzer adds never reaches the checked-in seeds.
  mkdir -p "$WORK/$t/corpus" "$WORK/$t/findings"
  cp fuzz/corpus/"$t"/* "$WORK/$t/corpus/"
  if ! nice -n 10 "$BUILD/fuzz/${t}_fuzz" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 \
      -rss_limit_mb=2048 -close_fd_mask=2 "${PARALLEL[@]}" \
      -dict="fuzz/$t.dict" -artifact_prefix="$WORK/$t/findings/" "$WORK/$t/corpus" \
      >"$WORK/$t/log" 2>&1; then
    failed+=("$t")
    tail -40 "$WORK/$t/log"
  fi
  grep -h "^Done\|cov:" "$WORK/$t/log" | tail -1 | sed "s/^/$t: /" || true
done
if ((${#failed[@]})); then
  echo "fuzz findings in: ${failed[*]} (inputs under $WORK/<target>/findings)" >&2
  exit 1
fi
((${#PARALLEL[@]})) || rm -rf "$WORK"
exit 0
