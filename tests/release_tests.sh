#!/usr/bin/env bash
# The release build: the product alone (the release preset: no tests, no Wine) built twice, from
# copies of the source in two scratch folders of different depth and some seconds apart, must
# give byte-identical exes and archive; the archive must hold the built exes with true sums, and
# the version must reach the archive name, the guide and the exe's version resource.
#   release_tests.sh SOURCE_DIR SCRATCH_DIR
set -euo pipefail
source=$1
scratch=$2
rm -rf "$scratch"

# build DIR: copies the source to DIR and builds the release there; its build folder on stdout.
build() {
    mkdir -p "$1"
    tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$1" -xf -
    (cd "$1" && cmake --preset release >/dev/null)
    # A link time in the PE header would come from the clock here, not from a set source date.
    env -u SOURCE_DATE_EPOCH cmake --build "$1/build/release" -j2 --target rq47cfg rq47sim \
        >/dev/null
    SOURCE_DATE_EPOCH=1700000000 cmake --build "$1/build/release" --target archive >/dev/null
    echo "$1/build/release"
}
a=$(build "$scratch/a")
# The second build's configure alone takes seconds: the two links fall in different seconds.
b=$(build "$scratch/b/a/longer/path")

fail=0
zip=$(cd "$a" && ls rq47cfg-*-win32.zip)
for f in app/rq47cfg.exe sim/rq47sim.exe "$zip"; do
    if ! cmp "$a/$f" "$b/$f"; then
        fail=1
        case $f in *.exe)
            i686-w64-mingw32-objdump -p "$a/$f" "$b/$f" | grep -e 'file format' -e 'Time/Date' ;;
        esac
    fi
done

version=${zip#rq47cfg-}
version=${version%-win32.zip}
out=$scratch/unpacked
python3 -m zipfile -e "$a/$zip" "$out"
names=$(cd "$out" && LC_ALL=C ls | paste -sd" ")
if [ "$names" != "README.txt SHA256SUMS rq47cfg.exe rq47sim.exe" ]; then
    echo "archive holds $names"
    fail=1
fi
(cd "$out" && sha256sum --quiet --strict -c SHA256SUMS) || fail=1
cmp "$out/rq47cfg.exe" "$a/app/rq47cfg.exe" || fail=1
cmp "$out/rq47sim.exe" "$a/sim/rq47sim.exe" || fail=1
for f in rq47cfg.exe rq47sim.exe; do
    i686-w64-mingw32-objdump -f "$out/$f" | grep -q 'file format pei-i386' || { echo "$f is not 32-bit"; fail=1; }
done
grep -q "配置工具 $version 使用说明" "$out/README.txt" || { echo "guide lacks $version"; fail=1; }

# The version resource read back: numbers and texts from the project version, the product name
# in UTF-16 (RQ47配置工具), and every resource in Chinese (Simplified).
rc=$scratch/resources.rc
i686-w64-mingw32-windres -i "$out/rq47cfg.exe" -O rc -o "$rc"
IFS=. read -r major minor patch <<< "$version"
for line in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
            'BLOCK "080404B0"' "VALUE \"FileVersion\", \"$version\"" \
            "VALUE \"ProductVersion\", \"$version\"" 'VALUE "OriginalFilename", "rq47cfg.exe"' \
            'VALUE "ProductName", L"RQ47\x914d\x7f6e\x5de5\x5177"' \
            'VALUE "Translation", 0x804, 1200'; do
    grep -qF "$line" "$rc" || { echo "version resource lacks: $line"; fail=1; }
done
languages=$(grep '^LANGUAGE' "$rc" | sort -u)
[ "$languages" = "LANGUAGE 4, 2" ] || { echo "resource languages: $languages"; fail=1; }

[ "$fail" = 0 ] && echo "release build reproducible: $(sha256sum "$a/$zip" | cut -d' ' -f1)  $zip"
exit "$fail"
