#!/bin/bash
# Installs, builds, and shows the whole road of one page: the client submits
# it over SNPP to the daemon, which queues it, delivers it at once through
# the simulated modem and paging terminal (tools/tapsim) and mails the
# sender a status report (service level 0) through a stand-in mailer.
#
# The daemon runs as in production (started as root, on port 444, giving up
# root for the user uucp), inside a private network and mount namespace so
# that it touches neither the host's network nor its real mailer.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
CALLVANE=$PWD/$BUILD_DIR/callvane

# Second half, inside the namespaces: "demo.sh --inside DEMO_DIR".
if [ "${1:-}" = --inside ]; then
  DEMO=$2
  ip link set lo up
  # The stand-in mailer: what would be mailed lands in a file.
  mount --bind "$DEMO/sendmail" /usr/sbin/sendmail

  "$CALLVANE" -d -q 600 -C "$DEMO/callvane.conf" 2>"$DEMO/daemon.log" &
  DAEMON=$!
  trap 'kill $DAEMON 2>/dev/null || true; wait $DAEMON 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    grep -q "waiting for incoming connections" "$DEMO/daemon.log" && break
    kill -0 $DAEMON 2>/dev/null || break
    sleep 0.1
  done

  echo "== callvane -s 127.0.0.1 -l 0 -f demo -p alice ..."
  status=0
  "$CALLVANE" -s 127.0.0.1 -l 0 -f demo -p alice \
    "Hello from Callvane. This page went over SNPP to the daemon, into its queue, and through a Hayes modem dialogue and TAP blocks to the simulated paging terminal." ||
    status=$?
  echo "client exit status: $status"

  # Delivery and the report follow at once; wait for the report, bounded.
  for _ in $(seq 300); do
    [ -s "$DEMO/mail/outbox" ] && ! ls "$DEMO/spool"/P* >/dev/null 2>&1 && break
    sleep 0.1
  done
  sleep 0.5
  exit 0
fi

bash scripts/setup.sh

DEMO=$(mktemp -d /tmp/callvane-demo.XXXXXX)
# callvane gives up root for the user uucp: its files must be reachable by it.
chmod 0755 "$DEMO"
mkdir -m 0777 "$DEMO/spool" "$DEMO/run" "$DEMO/mail"
mkdir -m 1777 "$DEMO/lock"

"$BUILD_DIR/tools/tapsim/tapsim" --link "$DEMO/modem" --record "$DEMO/terminal.log" \
  --pid-file "$DEMO/tapsim.pid" --lifetime 120 >"$DEMO/tapsim.out" &
SIM=$!
trap 'kill $SIM 2>/dev/null || true; wait $SIM 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$DEMO/modem" ] && break; sleep 0.1; done

cat >"$DEMO/callvane.conf" <<CONF
queuedir=$DEMO/spool
lockdir=$DEMO/lock
pidfile=$DEMO/run/callvane.pid
# No ident service runs in the demo's private network.
identtimeout=0
forcehostname=@example.org

modem=sim device=$DEMO/modem text=Simulated_modem

service=default device=sim phone=5550100 password=demo maxmsgsize=80

pager=alice pagerid=1234567 text=Alice_on_call
CONF
chmod 0644 "$DEMO/callvane.conf"

cat >"$DEMO/sendmail" <<MAILER
#!/bin/sh
# Stand-in for the system mailer: records the call and the message.
{ echo "--- sendmail \$*"; cat; } >>"$DEMO/mail/outbox"
MAILER
chmod 0755 "$DEMO/sendmail"

unshare -nm -- bash "$0" --inside "$DEMO"

echo
echo "== the daemon's log ($DEMO/daemon.log)"
cat "$DEMO/daemon.log"
echo
echo "== what the paging terminal received ($DEMO/terminal.log)"
cat "$DEMO/terminal.log"
echo
echo "== the status report mailed to the sender ($DEMO/mail/outbox)"
cat "$DEMO/mail/outbox" 2>/dev/null || echo "(no report was mailed)"
echo
echo "== left in the queue ($DEMO/spool)"
ls -A "$DEMO/spool"
