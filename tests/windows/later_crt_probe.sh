#!/bin/sh
# A DLL that imports a C run-time call of a later msvcrt (_fflush_nolock, Visual C++ 2005's) must fail the
# import check, though no list names the call; and with the list of checked calls, so must one of Windows 2000
# (GetLongPathNameW) that the headers declare for NT 4.0 too.
# later_crt_probe.sh <triplet> <work dir> <cmake> <check args...>
set -eu
triplet=$1 dir=$2 cmake=$3
shift 3
mkdir -p "$dir"
printf 'LIBRARY msvcrt.dll\nEXPORTS\n_fflush_nolock\n' >"$dir/later-msvcrt.def"
"$triplet-dlltool" -d "$dir/later-msvcrt.def" -l "$dir/liblater-msvcrt.a"
printf '#include <windows.h>\n#include <stdio.h>\n__declspec(dllexport) int probe(void) {\n  WCHAR path[MAX_PATH];\n  return _fflush_nolock(stdout) + (int)GetLongPathNameW(L"C:\\\\", path, MAX_PATH);\n}\n' >"$dir/probe.c"
"$triplet-gcc" -D__MSVCRT_VERSION__=0x800 -shared "$dir/probe.c" "$dir/liblater-msvcrt.a" -o "$dir/probe.dll"
exec "$cmake" -DOBJDUMP="$triplet-objdump" -DNM="$triplet-nm" -DCC="$triplet-gcc" -DWORK_DIR="$dir" \
  -DFILE="$dir/probe.dll" "$@"
