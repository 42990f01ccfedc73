#!/usr/bin/env bash
# Installs the Debian 12 packages the biller needs to build, test and run.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config file
  libboost1.81-dev libboost-json1.81-dev libboost-filesystem1.81-dev
  libboost-date-time1.81-dev libboost-random1.81-dev libboost-system1.81-dev
  libboost-thread1.81-dev
  protobuf-compiler libprotobuf-dev
  libgflags-dev libgoogle-glog-dev
  libcurl4-openssl-dev libssl-dev
  # The TLS and package tests speak HTTPS and poll health with the curl tool.
  curl
  libmariadb-dev mariadb-server mariadb-client
  # Several billers: a Galera cluster (rsync state transfer) behind HAProxy.
  galera-4 rsync haproxy
  prometheus-cpp-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # Sanitizer and fuzz builds: clang with its sanitizer and libFuzzer
  # runtimes, llvm-symbolizer for readable reports, ccache for rebuilds.
  clang libclang-rt-14-dev llvm ccache
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages and not root; install them first: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # The server package's post-install tries to start a system service; the
  # biller always runs a private server of its own instead.
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
