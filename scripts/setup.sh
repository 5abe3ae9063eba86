#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (idempotent: asks apt only for what is missing).
# With --i686 also what the 32-bit Windows tests need (scripts/test-i686.sh): 32-bit Wine, and qemu-i386
# registered with binfmt_misc where the kernel runs no i386 programs.
set -euo pipefail
i686=no
[ "${1:-}" = --i686 ] && i686=yes
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev googletest libpcap-dev openjdk-17-jdk-headless
  tcpdump tshark iproute2 util-linux zip
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
)
# The i686 build's tests run under Debian's 32-bit Wine, an i386 package beside wine64; qemu-user runs it on
# kernels that refuse i386 programs (registered below).
[ $i686 = yes ] && packages+=(wine32:i386 qemu-user)
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ $i686 = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Running 32-bit x86 programs: nothing to do where the kernel runs them. Otherwise the kernel hands them to
# qemu-i386 through binfmt_misc (a setting of the running kernel, lost at reboot; Debian registers no i386
# handler on amd64). `F`: qemu is opened now, so the handler works in any mount namespace.
if [ $i686 = yes ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "setup: registering qemu-i386 for 32-bit x86 programs (binfmt_misc)"
  $sudo sh -c '
    set -e
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    entry=/proc/sys/fs/binfmt_misc/qemu-i386
    if [ -e $entry ]; then
      echo 1 > $entry
    else
      printf "%s" ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:/usr/bin/qemu-i386:F" > /proc/sys/fs/binfmt_misc/register
    fi'
  /usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "setup: 32-bit x86 programs still do not run" >&2; exit 1; }
fi
