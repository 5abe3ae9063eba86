#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (idempotent: asks apt only for what is missing).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev googletest libpcap-dev openjdk-17-jdk-headless
  tcpdump tshark iproute2 util-linux
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
