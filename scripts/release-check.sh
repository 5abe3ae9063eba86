#!/usr/bin/env bash
# The release as CI proves it (a stage of scripts/test.sh, after the cross builds):
# - built twice, from two checkouts at different paths with build directories of their own: the zips, and the
#   symbol zips, are byte for byte the same;
# - an exported function's address in the zip's tamsil.dll resolves to its function and line through the symbols
#   zip, as a crash address from a customer's machine would;
# - the zip's files are left in build-release-check/shipped/ (x86_64/ below it), where the Linux build's
#   WindowsTables.* tests check their imports, exports and version resources (scripts/test.sh points them there),
#   and replace the build's in the Wine tests' folders, so that the NT 4.0 and Windows 2000 runs, and every
#   other Wine test of the product, run the shipped bytes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build-release-check
rm -rf "$work"
mkdir -p "$work/checkout-2"
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
# The second checkout: the tree as it stands (tracked files and new ones), at another path.
(cd "$root" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) | tar -xf - -C "$work/checkout-2"
bash "$root/scripts/package.sh" "$work/dist-1" "$work/build-1" >/dev/null
bash "$work/checkout-2/scripts/package.sh" "$work/dist-2" "$work/build-2" >/dev/null
status=0
for zip in $(cd "$work/dist-1" && ls *.zip); do
  if cmp -s "$work/dist-1/$zip" "$work/dist-2/$zip"; then
    echo "reproducible: $zip ($(sha256sum <"$work/dist-1/$zip" | cut -c1-16)...)"
  else
    echo "NOT REPRODUCIBLE: $zip differs between the two checkouts"
    status=1
  fi
done

files=$work/files
mkdir -p "$files"
for zip in "$work"/dist-1/*.zip; do unzip -q "$zip" -d "$files"; done
release=$(cd "$files" && ls -d network-vorel-native-*[0-9])
shipped=$work/shipped
mv "$files/$release" "$shipped"
for entry in i686-w64-mingw32: x86_64-w64-mingw32:x86_64/; do
  triplet=${entry%%:*} folder=${entry#*:}
  # A crash in DriverStart, as a dump names it (the export's RVA), resolved with the symbols file.
  dll=$shipped/${folder}tamsil.dll
  dump=$($triplet-objdump -p "$dll")
  base=$(awk '/^ImageBase/ { print $2 }' <<<"$dump")
  index=$(sed -n 's/^\t\[ *\([0-9]*\)\] _*Java_com_larkspire_vorel_util_NativeCollection_DriverStart\(@12\)\?$/\1/p' <<<"$dump" | head -n 1)
  rva=$(sed -n "s/^\t\[ *$index\] +base\[ *[0-9]*\] *\([0-9a-f]*\) Export RVA$/\1/p" <<<"$dump")
  address=$(printf '0x%x' $((0x$base + 0x$rva)))
  where=$($triplet-addr2line -f -e "$files/$release-symbols/${folder}tamsil.dll.debug" "$address" | tr '\n' ' ')
  if [[ $where =~ ^_?Java_com_larkspire_vorel_util_NativeCollection_DriverStart(@12)?\ /network-vorel-native/capture/[a-z_]+\.cpp:[0-9]+\  ]]; then
    echo "symbols: ${folder}tamsil.dll+0x$rva (DriverStart) -> $where"
  else
    echo "SYMBOLS: ${folder}tamsil.dll+0x$rva (DriverStart) resolved to '$where'"
    status=1
  fi
done

# The Wine tests load tamsil.dll and ousterling.exe from their own folder: the shipped ones from now on.
for entry in build-win32: build-win64:x86_64/; do
  dir=$root/${entry%%:*}/tests/windows/win32 folder=${entry#*:}
  [ -d "$dir" ] || continue
  cp "$shipped/${folder}tamsil.dll" "$shipped/${folder}ousterling.exe" "$dir/"
done
exit $status
