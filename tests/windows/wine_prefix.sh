#!/bin/sh
# The throw-away Wine prefix of the Wine tests (a ctest fixture), made once per test run.
#   wine_prefix.sh setup   <prefix> <wine64 loader> <wineserver> <win64|win32> <tests' loader> [skip record]
#       a fresh prefix and a running wineserver; win32 also sets up the prefix's 32-bit half; the record of the
#       cases left out under qemu (wine_run.sh) starts empty
#   wine_prefix.sh cleanup <prefix> <wine64 loader> <wineserver>   stops the wineserver, removes the prefix
# Wine's own processes (the wineserver, services.exe, ...) outlive this script: they are started with
# standard input and output away from ctest's pipes, so ctest does not wait for them.
set -eu
action=$1 prefix=$2 loader=$3 server=$4 arch=${5:-win64} tests_loader=${6:-$3} skip_record=${7:-}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINELOADER="$loader" WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case $action in
  setup)
    case $prefix in */wineprefix) ;; *) echo "refusing prefix '$prefix' (must end in /wineprefix)" >&2; exit 2 ;; esac
    # The adapters Wine lists are those of the network namespace its resident processes start in (the driver host
    # answers IP Helper): as root, the set-up runs in a namespace of its own holding one veth pair, so that every
    # run sees the same two adapters, vorel1 and vorel0, whatever the machine has. The namespace lives on in
    # those processes; the test programs themselves run outside it.
    pair='ip link add vorel0 type veth peer name vorel1 && ip link set vorel0 up && ip link set vorel1 up'
    if [ -z "${TAMSIL_WINE_OWN_NETWORK:-}" ] && [ "$(id -u)" = 0 ] && unshare -n sh -c "$pair" 2>/dev/null; then
      TAMSIL_WINE_OWN_NETWORK=1 exec unshare -n sh -c "$pair && exec sh \"\$0\" \"\$@\"" "$0" "$@"
    fi
    [ -n "${TAMSIL_WINE_OWN_NETWORK:-}" ] && echo "Wine's adapters: vorel1 and vorel0, in a network namespace of its own" ||
      echo "Wine's adapters: this machine's (not root, or no veth pair could be made)"
    [ -d "$prefix" ] && { "$server" -k </dev/null >/dev/null 2>&1 || true; rm -rf "$prefix"; }
    case $arch in
      win64)
        # The x86_64 tests need no 32-bit Wine. Where qemu-i386 runs 32-bit programs (binfmt_misc), wineboot -i
        # would also set up the prefix's 32-bit half through it: minutes instead of seconds. A CPU model qemu
        # does not know makes those starts fail at once, as on a machine without 32-bit Wine.
        export QEMU_CPU=no-32-bit-wine-for-these-tests
        boot_limit=180
        ;;
      win32)
        if ! "$tests_loader" --version </dev/null >/dev/null 2>&1; then
          echo "cannot run Wine's 32-bit loader $tests_loader: install wine32:i386; where the kernel runs no i386" >&2
          echo "programs, install qemu-user and register qemu-i386 with binfmt_misc (scripts/setup.sh does both)" >&2
          exit 1
        fi
        # The 32-bit half (32-bit rundll32 registering the 32-bit DLLs) runs under qemu: minutes.
        boot_limit=900
        ;;
      *) echo "unknown prefix kind '$arch' (win64 or win32)" >&2; exit 2 ;;
    esac
    mkdir -p "$prefix"
    [ -n "$skip_record" ] && : >"$skip_record"
    log=$prefix.log
    start=$(date +%s)
    if ! timeout $boot_limit "$loader" wineboot -i </dev/null >"$log" 2>&1; then
      echo "wineboot -i failed in $prefix:" >&2; cat "$log" >&2; exit 1
    fi
    # Windows without a display: Wine's null graphics driver. Message boxes are then real windows that the tests
    # find and answer (without it, MessageBox fails at once with 1400 and no box exists to check).
    "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >>"$log" 2>&1
    # A test program that crashes ends at once with the exception's code and Wine's "Unhandled ..." line. The
    # crash debugger stays out: winedbg would wait on a dialogue nobody sees, answer for the program with exit
    # code 0, and under qemu was seen never to end, holding the test's output open.
    "$loader" reg add 'HKCU\Software\Wine\DllOverrides' /v winedbg.exe /d '' /f </dev/null >>"$log" 2>&1
    if [ "$arch" = win32 ]; then
      # A 32-bit service program needs tens of seconds to reach StartServiceCtrlDispatcher under qemu; the
      # Service Control Manager gives up after its pipe time-out, seconds by default. Read when services.exe
      # starts, below.
      "$loader" reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_DWORD /d 600000 /f \
        </dev/null >>"$log" 2>&1
    fi
    # Then a server that stays for 60 s after its last client (Debian's default is 0 s), so that each test
    # starts fast; cleanup ends it, and it ends by itself when cleanup never runs. It is started only after
    # the server of wineboot -i has ended: one kept from before wineboot -i was seen to end up with two
    # services.exe, which answered the Service Control Manager calls by turns. A plain wineboot then starts
    # the prefix's services once.
    timeout 60 "$server" -w </dev/null >>"$log" 2>&1 || "$server" -k </dev/null >>"$log" 2>&1 || true
    "$server" -p60 </dev/null >>"$log" 2>&1
    timeout 60 "$loader" wineboot </dev/null >>"$log" 2>&1 || true
    echo "Wine prefix $prefix ready in $(( $(date +%s) - start )) s"
    ;;
  cleanup)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    case $prefix in */wineprefix) rm -rf "$prefix" "$prefix.log" ;; esac
    ;;
  *) echo "usage: $0 setup|cleanup <prefix> <wine64> <wineserver> [win64|win32] [tests' loader]" >&2; exit 2 ;;
esac
