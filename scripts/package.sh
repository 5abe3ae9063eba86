#!/usr/bin/env bash
# Makes the release that the Java application's developers download:
#   dist/network-vorel-native-<version>.zip
#     network-vorel-native-<version>/tamsil.dll, ousterling.exe   i686, the product (32-bit JVMs, NT 4.0 and later)
#     network-vorel-native-<version>/x86_64/tamsil.dll, ousterling.exe   for 64-bit JVMs
#     network-vorel-native-<version>/README.txt, SHA256SUMS
#   dist/network-vorel-native-<version>-symbols.zip
#     network-vorel-native-<version>-symbols/<the same paths>.debug, SHA256SUMS
# The shipped files are stripped; each names its symbols file (.gnu_debuglink, with its CRC), which holds the
# debug information a crash address is resolved with (README, "The release").
# The version is the project's (CMakeLists.txt). Reproducible: the same sources give the same bytes. The product
# files carry no time stamp or build path; the archive's times are SOURCE_DATE_EPOCH (by default the time of
# the last commit), its entries sorted, without owners or extra fields.
# Usage: scripts/package.sh [output directory, default dist/] [build directory, default build-release/]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
bash "$root/scripts/setup.sh" >&2

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
version=$(sed -n 's/^project(NetworkVorelNative VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }
name=network-vorel-native-$version
work=$(mkdir -p "${2:-$root/build-release}" && cd "${2:-$root/build-release}" && pwd)

# The product files alone (no tests), with the win32 thread model; with debug information for the symbols zip
# (the code is the same with or without it), whose paths name neither checkout nor build directory.
debug_flags="-g -ffile-prefix-map=$root=/network-vorel-native -ffile-prefix-map=$work=/build"
for arch in i686 x86_64; do
  cmake -S "$root" -B "$work/$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTAMSIL_TESTS=OFF -DCMAKE_C_FLAGS="$debug_flags" -DCMAKE_CXX_FLAGS="$debug_flags" >&2
  cmake --build "$work/$arch" -j "$(nproc 2>/dev/null || echo 2)" --target tamsil ousterling >&2
done

stage=$work/stage
symbols=$name-symbols
rm -rf "$stage"
mkdir -p "$stage/$name/x86_64" "$stage/$symbols/x86_64"
# ship <triplet> <built file> <folder in the zip>: the stripped file, and its debug information beside, named
# in it by .gnu_debuglink (the name alone, and the CRC of the symbols file).
ship() {
  local file
  file=$(basename "$2")
  "$1-objcopy" --only-keep-debug "$2" "$stage/$symbols/$3$file.debug"
  (cd "$stage/$symbols/$3" && "$1-objcopy" --strip-all --add-gnu-debuglink="$file.debug" "$2" "$stage/$name/$3$file")
}
for file in tamsil.dll ousterling.exe; do
  ship i686-w64-mingw32 "$work/i686/$file" ""
  ship x86_64-w64-mingw32 "$work/x86_64/$file" x86_64/
done
# Windows line ends: the text is read with Notepad as often as not.
sed "s/@VERSION@/$version/; s/\$/\r/" "$root/scripts/release-readme.txt" >"$stage/$name/README.txt"
(cd "$stage/$name" && sha256sum tamsil.dll ousterling.exe x86_64/tamsil.dll x86_64/ousterling.exe README.txt |
  sed 's/$/\r/' >SHA256SUMS)

(cd "$stage/$symbols" && sha256sum tamsil.dll.debug ousterling.exe.debug x86_64/tamsil.dll.debug \
  x86_64/ousterling.exe.debug | sed 's/$/\r/' >SHA256SUMS)

find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
for folder in "$name" "$symbols"; do
  zip_file=$out/$folder.zip
  rm -f "$zip_file"
  (cd "$stage" && find "$folder" -type f | sort | zip -X -D -q -9 "$zip_file" -@)
  echo "$zip_file"
done
(cd "$out" && sha256sum "$name.zip" "$symbols.zip")
