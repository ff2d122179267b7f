#!/bin/bash
# Installs, builds, and delivers one page end to end: callvane -i dials the
# simulated modem and paging terminal (tools/tapsim) on a pseudo-terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}

DEMO=$(mktemp -d /tmp/callvane-demo.XXXXXX)
# callvane gives up root for the user uucp: its files must be reachable by it.
chmod 0755 "$DEMO"
mkdir -m 1777 "$DEMO/lock"

"$BUILD_DIR/tools/tapsim/tapsim" --link "$DEMO/modem" --record "$DEMO/terminal.log" \
  --pid-file "$DEMO/tapsim.pid" --lifetime 120 >"$DEMO/tapsim.out" &
SIM=$!
trap 'kill $SIM 2>/dev/null || true; wait $SIM 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$DEMO/modem" ] && break; sleep 0.1; done

cat >"$DEMO/callvane.conf" <<CONF
# Where device lock files go; the default /var/spool/lock may not exist here.
lockdir=$DEMO/lock

modem=sim device=$DEMO/modem text=Simulated_modem

service=default device=sim phone=5550100 password=demo maxmsgsize=80

pager=alice pagerid=1234567 text=Alice_on_call
CONF
chmod 0644 "$DEMO/callvane.conf"

echo "== callvane -i -C $DEMO/callvane.conf -f demo@example.org -p alice ..."
"$BUILD_DIR/callvane" -i -C "$DEMO/callvane.conf" -f demo@example.org -p alice \
  "Hello from Callvane. This page went through a Hayes modem dialogue and TAP blocks to the simulated paging terminal, end to end."
echo
echo "== what the paging terminal received ($DEMO/terminal.log)"
cat "$DEMO/terminal.log"
