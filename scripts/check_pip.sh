#!/usr/bin/env bash
# The Python package as a Python user gets it, checked without installing
# anything on this machine. From a fresh clone of the checkout's commit, in
# a temporary folder:
# - `pip install --no-build-isolation --no-index .` into a venv made from
#   Debian's interpreter (--system-site-packages: numpy, pandas, pytest,
#   setuptools and pybind11 come from Debian), the module's tests against
#   that installed copy from outside the source tree, then
#   `pip uninstall curvedump`, which must leave nothing behind;
# - setuptools compiles the same core sources as CMake;
# - `python3 -m build --no-isolation`: the wheel's and the sdist's file
#   lists; the wheel, which it builds from the sdist (so the sdist holds all
#   it needs), installed and tested the same way;
# - the extension built with CMake for every other CPython 3.9 or later
#   found (pyenv's), and imported by it.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python=/usr/bin/python3
version=$(sed -n 's/^project(curvedump VERSION \([0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
src=$work/src
venv=$work/venv

echo "== a fresh clone of $(git rev-parse --short HEAD); the tool of this tree's release build"
git clone -q --no-checkout . "$src"
git -C "$src" fetch -q "$PWD" HEAD
git -C "$src" checkout -q --detach FETCH_HEAD
git diff --quiet HEAD || echo "note: the tool has the changes not committed; the clone has not"
# The release build as .ci/run's quick start leaves it: built again only
# where something changed.
(cmake --preset release > "$work/tool.log" 2>&1 &&
  cmake --build --preset release --target curvedump >> "$work/tool.log" 2>&1) ||
  { cat "$work/tool.log"; exit 1; }
tool=$PWD/build/release/curvedump

"$python" -m venv --system-site-packages "$venv"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')

# Installs the package from the folder $1 (its argument for pip, `.` or a
# wheel, in $2) into the venv, then runs the module's tests against the
# installed copy: from the temporary folder, with no PYTHONPATH, so that no
# source tree can be imported instead.
install_and_test() {
  (cd "$1" && "$venv/bin/pip" install -q --no-build-isolation --no-index "$2")
  (cd "$work" && env -u PYTHONPATH "$venv/bin/python" -c '
import sys, curvedump
assert curvedump.__file__.startswith(sys.argv[1] + "/"), curvedump.__file__
assert curvedump.__version__ == sys.argv[2], curvedump.__version__
print("imported", curvedump.__version__, "from", curvedump.__file__)' "$site" "$version")
  (cd "$work" && env -u PYTHONPATH CURVEDUMP_EXE="$tool" CURVEDUMP_SOURCE_DIR="$src" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$src/tests/test_python_module.py" | tail -n 1)
}

# pip uninstall removes every file of the package.
uninstall() {
  "$venv/bin/pip" uninstall -q -y curvedump
  local left
  left=$(find "$site" -maxdepth 1 -name 'curvedump*')
  if [ -n "$left" ]; then echo "left after pip uninstall: $left"; exit 1; fi
  echo "pip uninstall: nothing left in $site"
}

# The files of a list of paths that are plain files, the extension's
# interpreter tag made generic, sorted.
listing() { grep -v '/$' | sed 's/\.cpython-[^/]*\.so$/.cpython-*.so/' | LC_ALL=C sort; }

echo "== pip install --no-build-isolation --no-index . in a venv"
install_and_test "$src" .
uninstall

echo "== setuptools compiles the sources CMake compiles into the module"
objects() { find "$1" -name '*.o' -printf '%f\n' | sed 's/\.cpp\.o$/.o/' | LC_ALL=C sort; }
core_objects() { objects build/release/CMakeFiles/curvedump_core.dir; }
diff -u <({ core_objects; echo core.o; } | LC_ALL=C sort) <(objects "$src"/build/setuptools)

echo "== python3 -m build --no-isolation: the wheel and the sdist"
(cd "$work" && "$venv/bin/python" -m build --no-isolation --outdir "$work/dist" "$src" \
  > "$work/build.log" 2>&1) || { cat "$work/build.log"; exit 1; }
wheel=$(ls "$work"/dist/curvedump-"$version"-*.whl)
sdist=$work/dist/curvedump-$version.tar.gz
package=$(git -C "$src" ls-files python/curvedump)
unzip -Z1 "$wheel" | listing > "$work/wheel"
{
  echo "${package//python\//}"
  echo 'curvedump/_core.cpython-*.so'
  printf "curvedump-$version.dist-info/%s\n" LICENSE METADATA RECORD WHEEL top_level.txt
} | LC_ALL=C sort | diff -u - "$work/wheel"
unzip -p "$wheel" "curvedump-$version.dist-info/METADATA" | grep -E '^(Version|Requires|Provides|License)'
echo "wheel $(basename "$wheel"): $(wc -l < "$work/wheel") files, as expected"
# No build output: only the sources, the metadata setuptools writes into
# every sdist (PKG-INFO, setup.cfg, the egg-info) and the README.
tar -tzf "$sdist" | listing > "$work/sdist"
{
  printf '%s\n' CMakeLists.txt LICENSE MANIFEST.in PKG-INFO README.md pyproject.toml setup.cfg \
    setup.py python/core.cpp \
    python/curvedump.egg-info/{PKG-INFO,SOURCES.txt,dependency_links.txt,requires.txt,top_level.txt}
  echo "$package"
  git -C "$src" ls-files 'src/*.hpp' 'src/system_calls_*.cpp' # every platform's system calls
  core_objects | sed 's|^\(.*\)\.o$|src/\1.cpp|'
} | sed "s|^|curvedump-$version/|" | LC_ALL=C sort -u | diff -u - "$work/sdist"
echo "sdist $(basename "$sdist"): $(wc -l < "$work/sdist") files, as expected"

echo "== the wheel built from the sdist, installed the same way"
install_and_test "$work" "$wheel"
uninstall

echo "== the extension for the other interpreters (CMake; they have no numpy)"
shopt -s nullglob
for interpreter in /root/.pyenv/versions/*/bin/python3; do
  name=$("$interpreter" -c 'import platform; print(platform.python_version())')
  if ! "$interpreter" -c 'import sys; sys.exit(sys.version_info < (3, 9))'; then
    echo "python $name: left out (the package needs 3.9 or later)"
    continue
  fi
  build=$work/python-$name
  (cmake -S "$src" -B "$build" -DCURVEDUMP_PYTHON=ON -DCURVEDUMP_TESTS=OFF -DCURVEDUMP_WERROR=ON \
    -DPython3_EXECUTABLE="$interpreter" > "$build.log" 2>&1 &&
    cmake --build "$build" --target curvedump_python -j 2 >> "$build.log" 2>&1) ||
    { cat "$build.log"; exit 1; }
  module=$(ls "$build"/python/curvedump/_core.*.so)
  # The module's tests need numpy and pytest: run them where the
  # interpreter has both, else import the extension only (or, should its
  # import need numpy, load the library).
  (cd "$work" && PYTHONPATH="$build/python" CURVEDUMP_EXE="$tool" CURVEDUMP_SOURCE_DIR="$src" \
    "$interpreter" -c '
import sys
try:
    import curvedump._core as core
except ModuleNotFoundError as error:
    if error.name != "numpy":
        raise
    import ctypes
    ctypes.CDLL(sys.argv[2])
    print(f"python {sys.argv[3]}: {sys.argv[2]} built and loaded; its import and the module tests skipped: no numpy for this interpreter")
    sys.exit(0)
assert core.__version__ == sys.argv[1], core.__version__
try:
    import numpy, pytest
except ModuleNotFoundError as error:
    print(f"python {sys.argv[3]}: curvedump._core built and imported; the module tests skipped: no {error.name} for this interpreter")
    sys.exit(0)
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", sys.argv[4]]))' \
    "$version" "$module" "$name" "$src/tests/test_python_module.py")
done
echo "pip: all checks passed"
