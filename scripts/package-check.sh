#!/bin/bash
# Builds the Debian package, installs it, checks the installed program and
# manual page, and purges it again, leaving the machine as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${PACKAGE_BUILD_DIR:-build-deb}

# Only on a machine where nothing of the package exists already: the purge
# at the end removes what the package owns, and must take nothing else.
if dpkg-query -W -f='${Status}' callvane 2>/dev/null | grep -q "ok installed"; then
  echo "package-check: callvane is installed already; not touching it" >&2
  exit 1
fi
for path in /usr/bin/callvane /usr/local/etc/callvane.conf /var/spool/callvane /var/lib/callvane; do
  if [ -e "$path" ]; then
    echo "package-check: $path exists already; not touching it" >&2
    exit 1
  fi
done

# A Release build of the program and its tools alone: stripped, no tests.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DCALLVANE_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target callvane tapsim
rm -f "$BUILD_DIR"/callvane_*.deb
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD_DIR"/callvane_*.deb)
groups_before=$(id -nG uucp)

cleanup() { dpkg -P callvane >/dev/null 2>&1 || true; }
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends "$PWD/$deb" >/dev/null

failed=0
check() {
  if "$@"; then echo "ok: $*"; else echo "FAILED: $*"; failed=1; fi
}
check /usr/bin/callvane -v
check man -w callvane
check man -w 5 callvane.conf
check test -x /usr/bin/callvane-tapsim
check test -f /usr/share/doc/callvane/callvane.conf.example
check test -f /usr/lib/systemd/system/callvane.service
check grep -qx /usr/local/etc/callvane.conf /var/lib/dpkg/info/callvane.conffiles
check test "$(stat -c %U:%a /var/spool/callvane)" = uucp:750
check sh -c 'file -b /usr/bin/callvane | grep -q ", stripped"'
check sh -c 'id -nG uucp | tr " " "\n" | grep -qx dialout'

dpkg -P callvane >/dev/null
trap - EXIT
for path in /usr/bin/callvane /usr/local/etc/callvane.conf /var/spool/callvane /var/lib/callvane \
  /usr/lib/systemd/system/callvane.service; do
  check test ! -e "$path"
done
check test "$(id -nG uucp)" = "$groups_before"
if ((failed)); then
  echo "package-check: FAILED" >&2
  exit 1
fi
echo "package-check: the package installs, works and purges cleanly"
