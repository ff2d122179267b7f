#!/bin/bash
# Runs every fuzz target on a copy of its seeds: briefly (CI), or with --long
# until each target has used FUZZ_CPU_SECONDS of processor time.
# Usage: bash fuzz/run.sh [--long] [build-dir]   (default build-dir: build-fuzzsan)
#   FUZZ_SECONDS      wall seconds a target in the brief run (15)
#   FUZZ_CPU_SECONDS  processor seconds a target in the long run (3600)
#   FUZZ_TARGETS      the targets to run, separated by blanks (all)
#   FUZZ_WORK         where corpora and findings go (a new scratch directory);
#                     give the same one again and a long run goes on from its corpus
set -euo pipefail
cd "$(dirname "$0")/.."
LONG=
if [[ ${1:-} == --long ]]; then
  LONG=1
  shift
fi
BUILD=${1:-build-fuzzsan}
read -r -a TARGETS <<<"${FUZZ_TARGETS:-queue_file config time snpp_session mail ident snpp_client modem http_json}"
WORK=${FUZZ_WORK:-$(mktemp -d /tmp/callvane-fuzzrun.XXXXXX)}
CPU_LIMIT=${FUZZ_CPU_SECONDS:-3600}
TICKS=$(getconf CLK_TCK)
echo "fuzz corpora and findings: $WORK"

# Processor seconds the process has used so far (user + system).
cpu_seconds() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo -1; return; }
  set -- ${stat##*) }  # fields from the third on; the name may hold blanks
  echo $(((${12} + ${13}) / TICKS))
}

# Runs one target in the background and stops it once it has had its share
# of the processor. Stopped so, libFuzzer exits with its interrupt status (72),
# which is a clean end; any other end is a finding.
INTERRUPTED=72
run_long() {
  "$@" -max_total_time=2000000 -print_final_stats=1 -interrupted_exit_code=$INTERRUPTED &
  local pid=$! used=0 rc=0
  while kill -0 "$pid" 2>/dev/null; do
    used=$(cpu_seconds "$pid")
    if ((used >= CPU_LIMIT)); then
      kill -INT "$pid"
      break
    fi
    sleep 10
  done
  wait "$pid" || rc=$?
  echo "cpu_seconds: $used"
  ((rc == INTERRUPTED && used >= CPU_LIMIT)) && return 0
  return $((rc ? rc : 1))
}

# With autogroup scheduling nice ranks a process only within its session;
# a long run started on its own (setsid) yields to the rest of the machine
# when its whole group is niced.
if [[ -n $LONG && $(ps -o sid= -p $$) -eq $$ && -w /proc/self/autogroup ]]; then
  echo 19 >/proc/self/autogroup || true
fi

failed=()
for t in "${TARGETS[@]}"; do
  # A copy, so that what libFuzzer adds never reaches the checked-in seeds.
  mkdir -p "$WORK/$t/corpus" "$WORK/$t/findings"
  cp -n fuzz/corpus/"$t"/* "$WORK/$t/corpus/"
  cmd=(nice -n 10 "$BUILD/fuzz/${t}_fuzz" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2
       -dict="fuzz/$t.dict" -artifact_prefix="$WORK/$t/findings/" "$WORK/$t/corpus")
  ok=0
  if [[ -n $LONG ]]; then
    run_long nice -n 19 "${cmd[@]:3}" >"$WORK/$t/log" 2>&1 || ok=$?
  else
    "${cmd[@]}" -max_total_time="${FUZZ_SECONDS:-15}" >"$WORK/$t/log" 2>&1 || ok=$?
  fi
  if ((ok)); then
    failed+=("$t")
    tail -40 "$WORK/$t/log"
  fi
  {
    grep -h "cov:" "$WORK/$t/log" | tail -1
    grep -h "^cpu_seconds:" "$WORK/$t/log" || true
    echo "corpus: $(ls "$WORK/$t/corpus" | wc -l) inputs"
  } | tr '\n' ' ' | sed "s/^/$t: /; s/ *$/\n/"
done
if ((${#failed[@]})); then
  echo "fuzz findings in: ${failed[*]} (inputs under $WORK/<target>/findings)" >&2
  exit 1
fi
[[ -n $LONG || -n ${FUZZ_WORK:-} ]] || rm -rf "$WORK"
exit 0
