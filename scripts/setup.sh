#!/bin/bash
# Installs what building and testing need (Debian, as root), then builds.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential cmake googletest libgtest-dev libbenchmark-dev iproute2 util-linux
          libnet-snpp-perl libwrap0-dev oidentd exim4-daemon-light mandoc man-db systemd
          dpkg-dev file clang libclang-rt-dev libssl-dev openssl libcurl4-openssl-dev
          libexpat1-dev libmicrohttpd-dev nlohmann-json3-dev pkg-config curl
          prometheus-alertmanager prometheus)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
