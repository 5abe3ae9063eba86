#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (idempotent: asks apt only for what is missing).
# With --i686 also what the 32-bit Windows tests need (scripts/test-i686.sh): 32-bit Wine, and qemu-i386
# registered with binfmt_misc where the kernel runs no i386 programs.
#   --qemu    registers qemu-i386 even where the kernel runs i386 programs: binfmt_misc handlers come before the
#             kernel's own loaders, so every 32-bit program then runs through qemu, as on machines that need it
#   --native  takes the qemu-i386 handler out again (where the kernel can do without it)
set -euo pipefail
i686=no
qemu=auto
for arg in "$@"; do
  case $arg in
    --i686) i686=yes ;;
    --qemu) i686=yes qemu=force ;;
    --native) i686=yes qemu=off ;;
    *) echo "usage: $0 [--i686] [--qemu | --native]" >&2; exit 2 ;;
  esac
done
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev googletest libpcap-dev openjdk-17-jdk-headless
  tcpdump tshark iproute2 util-linux zip unzip lcov
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
)
# The i686 build's tests run under Debian's 32-bit Wine, an i386 package beside wine64.
[ $i686 = yes ] && packages+=(wine32:i386)
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
fi
# sudo does not pass the environment on: apt is told to ask nothing on its own command line.
apt=($sudo env DEBIAN_FRONTEND=noninteractive apt-get)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ $i686 = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  "${apt[@]}" update
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
fi

# Running 32-bit x86 programs: nothing to do where the kernel runs them. Otherwise the kernel hands them to
# qemu-i386 through binfmt_misc (a setting of the running kernel, lost at reboot; Debian registers no i386
# handler on amd64). `F`: qemu is opened now, so the handler works in any mount namespace, and a handler made
# before an upgrade of qemu keeps the old program: it is made anew each time.
entry=/proc/sys/fs/binfmt_misc/qemu-i386
if [ $qemu = off ] && [ -e $entry ]; then
  echo "setup: taking out the qemu-i386 handler (binfmt_misc)"
  $sudo sh -c "echo -1 > $entry"
fi
if [ $i686 = yes ] && { [ $qemu = force ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  # Debian 12's own qemu-user (7.2) runs 32-bit Wine at 45 s a program start, and crashes or hangs it now and
  # then; the one of the release's backports (10.0) runs the whole 32-bit stage in about half a minute.
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  if [ -z "$version" ] || dpkg --compare-versions "$version" lt 1:10; then
    if [ "$codename" = bookworm ]; then
      if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        # The backports of the archive this machine already uses.
        mirror=$(apt-cache policy | awk '$3 ~ /^bookworm\/main$/ { print $2; exit }')
        [ -n "$mirror" ] || { echo "setup: no Debian archive for bookworm in apt's sources" >&2; exit 1; }
        echo "setup: adding bookworm-backports from $mirror to apt's sources"
        printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
          "$mirror" | $sudo tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
      fi
      "${apt[@]}" update
      "${apt[@]}" install -y --no-install-recommends -t bookworm-backports qemu-user
    else
      "${apt[@]}" install -y --no-install-recommends qemu-user
    fi
  fi
  echo "setup: registering qemu-i386 for 32-bit x86 programs (binfmt_misc)"
  $sudo sh -c '
    set -e
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    entry='"$entry"'
    [ -e $entry ] && echo -1 > $entry
    printf "%s" ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:/usr/bin/qemu-i386:F" > /proc/sys/fs/binfmt_misc/register'
  /usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "setup: 32-bit x86 programs still do not run" >&2; exit 1; }
fi
