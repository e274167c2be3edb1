#!/usr/bin/env bash
# Builds the packages from their presets and checks them without installing
# anything on this machine: the .debs with lintian and dpkg-deb (contents,
# control fields, the packaged tool and module run from an extracted tree),
# .tar.gz (a static tool that converts the sample), and the Windows .zip
# (unzipped into an empty folder and run under wine).
set -euo pipefail
cd "$(dirname "$0")/.."
# The presets fix no job count: build and test on every core unless the
# caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
packages=build/packages
rm -rf "$packages"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Converts the bundled sample with the tool given and compares the output
# with the committed one.
converts_sample() {
  local dir
  dir=$(mktemp -d "$work/sample.XXXX")
  cp examples/damped.bin "$dir/"
  "$@" "$dir/damped.bin" > /dev/null
  cmp "$dir/damped.bin.txt" examples/damped.bin.txt
}

echo "== .deb: curvedump and python3-curvedump"
cmake --workflow --preset package-deb > "$work/deb.log" 2>&1 || { cat "$work/deb.log"; exit 1; }
deb=$(ls "$packages"/curvedump_*.deb)
pydeb=$(ls "$packages"/python3-curvedump_*.deb)
lintian --fail-on error,warning --display-level '>=warning' "$deb" "$pydeb"
for package in "$deb" "$pydeb"; do
  for field in Package Version Architecture Maintainer Section Depends; do
    printf '%s: %s\n' "$field" "$(dpkg-deb -f "$package" "$field")"
  done
  dpkg-deb -f "$package" Description | sed -n 2p | grep -q . # an extended description
  dpkg-deb -x "$package" "$work/deb"
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6'
dpkg-deb -f "$pydeb" Depends | grep -q 'python3 (>= 3.*python3-numpy'
dpkg-deb -f "$pydeb" Suggests | grep -q 'python3-pandas, python3-dask, python3-distributed'
(dpkg-deb -c "$deb"; dpkg-deb -c "$pydeb") | awk '{print $NF}' | grep -v '/$' |
  sed 's/\.cpython-.*\.so$/.cpython-*.so/' | LC_ALL=C sort > "$work/contents"
diff -u - "$work/contents" <<'LIST'
./usr/bin/curvedump
./usr/lib/python3/dist-packages/curvedump/__init__.py
./usr/lib/python3/dist-packages/curvedump/__init__.pyi
./usr/lib/python3/dist-packages/curvedump/_core.cpython-*.so
./usr/lib/python3/dist-packages/curvedump/dask.py
./usr/lib/python3/dist-packages/curvedump/dask.pyi
./usr/lib/python3/dist-packages/curvedump/py.typed
./usr/share/doc/curvedump/changelog.gz
./usr/share/doc/curvedump/copyright
./usr/share/doc/python3-curvedump/changelog.gz
./usr/share/doc/python3-curvedump/copyright
./usr/share/doc/python3-curvedump/python.md
./usr/share/man/man1/curvedump.1.gz
LIST
kind=$(file -b "$work/deb/usr/bin/curvedump")
echo "usr/bin/curvedump: $kind"
grep -q 'dynamically linked' <<< "$kind" && grep -q ', stripped' <<< "$kind"
converts_sample "$work/deb/usr/bin/curvedump"
# The module's tests, against the unpacked package and its tool.
CURVEDUMP_EXE="$work/deb/usr/bin/curvedump" CURVEDUMP_SOURCE_DIR="$PWD" \
  PYTHONPATH="$work/deb/usr/lib/python3/dist-packages" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/test_python_module.py
echo "deb: lintian clean, contents and fields as expected, packaged tool converts the sample,"
echo "     the module's tests pass against the unpacked packages (its types too: mypy, stubtest)"

echo "== .tar.gz"
cmake --workflow --preset package-tgz > "$work/tgz.log" 2>&1 || { cat "$work/tgz.log"; exit 1; }
tgz=$(ls "$packages"/curvedump-*.tar.gz)
mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
tool=$(ls "$work"/tgz/*/bin/curvedump)
kind=$(file -b "$tool")
grep -q 'statically linked' <<< "$kind" && grep -q ', stripped' <<< "$kind"
test -f "$(dirname "$tool")/../share/man/man1/curvedump.1"
test -f "$(dirname "$tool")/../share/doc/curvedump/LICENSE"
test -f "$(dirname "$tool")/../share/doc/curvedump/docs/install.md"
converts_sample "$tool"
echo "tar.gz: static tool, man page and licence; converts the sample"

echo "== Windows .zip"
cmake --workflow --preset package-windows > "$work/zip.log" 2>&1 || { cat "$work/zip.log"; exit 1; }
zip=$(ls "$packages"/curvedump-*-windows-x86_64.zip)
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip"
(cd "$work/zip" && find . -type f | sort)
exe=$(ls "$work"/zip/*/curvedump.exe)
for f in README.md LICENSE curvedump.html docs/windows.md; do test -f "$(dirname "$exe")/$f"; done
# Only DLLs that every Windows has: no C++ runtime, no threads library.
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' | sort)
echo "imports:" $imports
if grep -viE '^(kernel32|advapi32|msvcrt|ucrtbase|api-ms-win-.*)\.dll$' <<< "$imports"; then
  echo "the executable needs DLLs that Windows does not ship"; exit 1
fi
x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.debug' && { echo "not stripped"; exit 1; }
# The sample, and a copy under a name outside any ANSI code page, with one
# wine server kept for both runs, and stopped at exit only if this script
# started it (see scripts/matrix.sh).
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
mkdir -p "${WINEPREFIX:-$HOME/.wine}"
if wineserver -p 2> /dev/null; then trap 'wineserver -k 2> /dev/null || true; rm -rf "$work"' EXIT; fi
wineboot -i > /dev/null 2>&1 || true
converts_sample wine "$exe"
dir=$(mktemp -d "$work/name.XXXX")
cp examples/damped.bin "$dir/測定 данные.bin"
(cd "$dir" && wine "$exe" "測定 данные.bin" > console.out)
cmp "$dir/測定 данные.bin.txt" examples/damped.bin.txt
grep -q 'converting : 測定 данные.bin -> 測定 данные.bin.txt' "$dir/console.out"
echo "zip: system DLLs only, stripped; converts the sample and a non-Latin name under wine"
