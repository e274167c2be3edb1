"""The README's recipes, taken from README.md and the pages of docs/
themselves and run as written.

Readers (numpy, pandas, awk) run on the sample output and on outputs of
the built tool holding non-finite values, one line and no line, and must
read the numbers Python's own float() reads from the text; the Python
package's recipes read the same files. The batch recipes run on a
generated archive with bad files and an output that cannot be written; the
uninstall recipe runs on a scratch install.

Run by CTest with /usr/bin/python3 (Debian's interpreter, which has
python3-numpy, python3-pandas and python3-pytest, and python3-matplotlib
for the plot recipe):

    CURVEDUMP_EXE=build/dev/curvedump CURVEDUMP_SOURCE_DIR=. \
    CURVEDUMP_BUILD_DIR=build/dev CMAKE_COMMAND=cmake /usr/bin/python3 tests/readme_recipes_test.py

A missing package skips the test (status 77), and fails it when CI=true.
"""

import doctest
import importlib.util
import math
import os
import pickle
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

if __name__ == "__main__":
    missing = [m for m in ("pytest", "numpy", "pandas") if importlib.util.find_spec(m) is None]
    if missing:
        print(f"{sys.executable} has no {', '.join(missing)} "
              "(Debian: python3-pytest python3-numpy python3-pandas)")
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    import pytest

    sys.dont_write_bytecode = True  # no __pycache__ in the source tree
    sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", __file__, *sys.argv[1:]]))

import numpy as np
import pytest

# Absolute, since the recipes run in directories of their own.
EXE = Path(os.environ["CURVEDUMP_EXE"]).resolve()
SOURCE = Path(os.environ["CURVEDUMP_SOURCE_DIR"]).resolve()
BUILD = Path(os.environ["CURVEDUMP_BUILD_DIR"]).resolve()
# The user's documentation: the README and the pages it links to.
PAGES = [SOURCE / "README.md", *sorted((SOURCE / "docs").glob("*.md"))]


def recipe(name):
    """The code block that follows <!-- recipe: NAME --> in the README or a
    page of docs/; the name must be there exactly once."""
    pattern = r"<!-- recipe: " + re.escape(name) + r" -->\n```\w*\n(.*?)\n```"
    found = [(page, code) for page in PAGES
             for code in re.findall(pattern, page.read_text(encoding="utf-8"), re.S)]
    assert len(found) == 1, (f"{len(found)} recipes named {name} in "
                             f"{', '.join(str(page.relative_to(SOURCE)) for page in PAGES)}")
    return found[0][1]


def with_value(code, name, value):
    """The recipe with its line `name=...` set to `value`."""
    code, count = re.subn(rf"^{name}=.*$", lambda _: f"{name}={value}", code, flags=re.M)
    assert count == 1, f"no line {name}=... in the recipe"
    return code


def shell(code, cwd):
    """Runs shell code as a user would, the built tool first on PATH."""
    env = dict(os.environ, LC_ALL="C",
               PATH=str(EXE.parent.resolve()) + os.pathsep + os.environ["PATH"])
    return subprocess.run(["bash", "-c", code], cwd=cwd, env=env, capture_output=True, text=True)


def image(series1, series2):
    """An input file: each series is (scale, offset, raw values), series 1
    at block 1 and series 2 at block 2."""
    data = bytearray(768)
    for entry, block, (scale, offset, raw) in ((144, 1, series1), (160, 2, series2)):
        struct.pack_into(">hxxhff", data, entry + 2, block, 4 * len(raw), scale, offset)
        struct.pack_into(f">{len(raw)}f", data, 256 * block, *raw)
    return bytes(data)


INF, NAN = math.inf, math.nan
# Outputs to read. Each is made by the built tool from an input, except
# the sample, whose committed output is used as it is.
OUTPUTS = {
    "sample": None,
    # Infinite and NaN raw values of both signs, and a product past the
    # single-precision range.
    "non-finite": image((1.0, 0.0, [INF, -INF, NAN, -NAN, 1.5]),
                        (2.0, 0.0, [0.25, -2.0, 1e-3, 3e38, -3e38])),
    "one line": image((1.0, 0.0, [-2.5]), (0.5, 10.0, [4.0])),
    "no line": image((1.0, 0.0, []), (1.0, 0.0, [1.0, 2.0])),
}


@pytest.fixture(params=list(OUTPUTS), name="output")
def fixture_output(request, tmp_path):
    """run7.dat and run7.dat.txt in a fresh directory; the pairs float()
    reads from the text."""
    if OUTPUTS[request.param] is None:
        shutil.copy(SOURCE / "examples" / "damped.bin", tmp_path / "run7.dat")
        shutil.copy(SOURCE / "examples" / "damped.bin.txt", tmp_path / "run7.dat.txt")
    else:
        (tmp_path / "run7.dat").write_bytes(OUTPUTS[request.param])
        assert subprocess.run([EXE, "run7.dat"], cwd=tmp_path, capture_output=True).returncode == 0
    text = (tmp_path / "run7.dat.txt").read_text(encoding="ascii")
    if request.param == "non-finite":
        for word in ("+INF", "-INF", "+NAN", "-NAN"):
            assert word in text
    return [tuple(float(field) for field in line.split()) for line in text.splitlines()]


def run_python(name, cwd, monkeypatch):
    monkeypatch.chdir(cwd)
    names = {}
    exec(recipe(name), names)
    return names


def read_numpy(cwd, monkeypatch):
    names = run_python("numpy", cwd, monkeypatch)
    return list(zip(names["x"].tolist(), names["y"].tolist()))


def read_pandas(cwd, monkeypatch):
    frame = run_python("pandas", cwd, monkeypatch)["df"]
    return list(zip(frame["x"].tolist(), frame["y"].tolist()))


def read_awk(cwd):
    """The swapped columns, swapped back, and the statistics line."""
    done = shell(recipe("awk"), cwd)
    assert done.returncode == 0, done.stderr
    swapped = (cwd / "swapped.txt").read_bytes()
    assert b"\r" not in swapped
    pairs = [(float(b), float(a)) for a, b in (line.split() for line in swapped.splitlines())]
    return pairs, done.stdout


def same(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return math.isclose(a, b, rel_tol=1e-12)


def assert_pairs(read, expected):
    assert len(read) == len(expected)
    for i, (got, want) in enumerate(zip(read, expected)):
        assert all(same(g, w) for g, w in zip(got, want)), f"line {i + 1}: {got} != {want}"


@pytest.mark.filterwarnings("ignore:loadtxt. input contained no data")
@pytest.mark.parametrize("reader", [read_numpy, read_pandas])
def test_python_recipes_read_every_value(reader, output, tmp_path, monkeypatch):
    assert_pairs(reader(tmp_path, monkeypatch), output)


def package_path():
    """The build tree's Python package, where it is built (CURVEDUMP_PYTHON)."""
    module = BUILD / "python"
    if not list(module.glob("curvedump/_core.*.so")):
        pytest.skip("the Python package is not built (CURVEDUMP_PYTHON)")
    return module


@pytest.fixture(name="package")
def fixture_package(monkeypatch):
    monkeypatch.syspath_prepend(str(package_path()))
    return importlib.import_module("curvedump")


def read_package(cwd, monkeypatch):
    """The rows of the DataFrame recipe (float32 values, as doubles)."""
    frame = run_python("python-dataframe", cwd, monkeypatch)["df"]
    assert list(frame.dtypes) == ["float32", "float32"]
    return list(zip(frame["series1"].tolist(), frame["series2"].tolist()))


def read_plot(cwd, monkeypatch):
    """The two lines the plot recipe draws, and the picture it saves."""
    if importlib.util.find_spec("matplotlib") is None:
        message = f"{sys.executable} has no matplotlib (Debian: python3-matplotlib)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    monkeypatch.setenv("MPLBACKEND", "Agg")  # no display here
    names = run_python("python-plot", cwd, monkeypatch)
    assert (cwd / "run7.png").read_bytes().startswith(b"\x89PNG")
    lines = [line.get_ydata() for line in names["ax"].get_lines()]
    names["plt"].close("all")
    return lines


def test_python_recipes_read_the_values_the_text_rounds(package, output, tmp_path, monkeypatch):
    # The text keeps five digits of the values the package reads.
    rows = read_package(tmp_path, monkeypatch)
    assert len(rows) == len(output)
    for row, text in zip(rows, output):
        assert all(same(r, t) or math.isclose(r, t, rel_tol=5e-5) for r, t in zip(row, text))
    curves = package.read(tmp_path / "run7.dat")
    lines = read_plot(tmp_path, monkeypatch)
    assert len(lines) == 2 and all(np.array_equal(line, series, equal_nan=True) for line, series
                                   in zip(lines, (curves.series1, curves.series2)))


def test_python_page_examples(package, monkeypatch):
    monkeypatch.chdir(SOURCE)  # the examples read examples/damped.bin
    failed_count, tried = doctest.testfile(str(SOURCE / "docs" / "python.md"),
                                           module_relative=False)
    assert (failed_count, tried) == (0, 4)


def test_awk_recipe_swaps_and_summarises(output, tmp_path):
    pairs, stats = read_awk(tmp_path)
    assert_pairs(pairs, output)
    finite = [y for _, y in output if math.isfinite(y)]
    if not finite:
        assert stats == ""
        return
    count, mean, largest = stats.split()
    assert int(count) == len(finite)
    # awk prints six significant digits.
    assert math.isclose(float(mean), sum(finite) / len(finite), rel_tol=1e-5)
    assert math.isclose(float(largest), max(finite), rel_tol=1e-5)


GOOD = image((1.0, 0.0, [1.0, -2.5]), (0.5, 10.0, [4.0, -20.0]))
GOOD_TEXT = " 1.0000e+00  1.2000e+01\r\n-2.5000e+00  0.0000e+00\r\n"
# The archive: good files (one in a folder with a space), two bad ones
# whose messages do not name them, a file of another kind, and an earlier
# output that must survive.
ARCHIVE = {
    "a.dat": GOOD,
    "2019/b c.dat": GOOD,
    "2019/big.dat": GOOD.ljust(32768, b"\0"),
    # series 2 at block 128: past the first 32,768 bytes
    "2020/bad.dat": GOOD[:162] + struct.pack(">h", 128) + GOOD[164:],
    "2020/notes.txt": b"not an input\n",
    "old.dat": GOOD,
    "old.dat.txt": b"an earlier output\n",
}
FAILURES = {
    ("4", "archive/2019/big.dat", "memory overflow"),
    ("5", "archive/2020/bad.dat", "invalid descriptor for series 2"),
}


def snapshot(root):
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def converted(root):
    """The good inputs under root that have their output beside them."""
    return {p.relative_to(root).as_posix()[:-4] for p in root.rglob("*.dat.txt")
            if p.is_file() and p.read_bytes() == GOOD_TEXT.encode()}


GOOD_INPUTS = {"a.dat", "2019/b c.dat", "old.dat"}
# A good input whose output name is taken by a folder: the tool's status 1.
BLOCKED = "2021/c.dat"
BLOCKED_FAILURE = ("1", "archive/2021/c.dat", "cannot open archive/2021/c.dat.txt")
PYTHON_FAILURES = FAILURES | {("1", "archive/2021/c.dat", "Is a directory")}


def failed(directory):
    return {tuple(line.split("\t")) for line in (directory / "failed.tsv").read_text().splitlines()}

# name, recipe, the status it ends with, and what to check in the directory
# it ran in.
BATCHES = [
    ("batch", 123, lambda d: converted(d / "archive") == GOOD_INPUTS),
    ("batch-failures", 0, lambda d: (
        converted(d / "archive") == GOOD_INPUTS and failed(d) == FAILURES | {BLOCKED_FAILURE})),
    # The same list, from the Python package's recipe; an output failure has
    # the tool's status 1, with the system's message.
    ("python-batch", 0, lambda d: (
        converted(d / "archive") == GOOD_INPUTS and failed(d) == PYTHON_FAILURES)),
    # The archive is untouched; the outputs land beside the links.
    ("read-only", 123, lambda d: (
        snapshot(d / "archive") == dict(ARCHIVE, **{BLOCKED: GOOD})
        and converted(d / "converted") == GOOD_INPUTS)),
]


def make_archive(root):
    for path, data in ARCHIVE.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_bytes(data)
    (root / (BLOCKED + ".txt")).mkdir(parents=True)
    (root / BLOCKED).write_bytes(GOOD)


def need_dask():
    if importlib.util.find_spec("dask") is None or importlib.util.find_spec("distributed") is None:
        message = f"{sys.executable} has no dask or distributed " \
            "(Debian: python3-dask python3-distributed)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)


@pytest.mark.parametrize("name", ["python-archive", "python-archive-dask"])
def test_python_archive_recipes(name, package, tmp_path, monkeypatch):
    if name.endswith("dask"):
        need_dask()
        # The cluster's worker processes import the package from here.
        monkeypatch.setenv("PYTHONPATH", str(package_path()))
    make_archive(tmp_path / "archive")
    if name.endswith("dask"):
        # Run as the script a user saves, since the cluster's worker
        # processes start by importing it; the frames come back pickled.
        script = tmp_path / "archive_dask.py"
        script.write_text(recipe(name) + "\nif __name__ == '__main__':\n    import pickle\n"
                          "    pickle.dump((values, report, rows, means), open('frames.pickle', 'wb'))\n")
        subprocess.run([sys.executable, script.name], cwd=tmp_path, check=True, timeout=300)
        names = dict(zip(("values", "report", "rows", "means"),
                         pickle.loads((tmp_path / "frames.pickle").read_bytes())))
    else:
        names = run_python(name, tmp_path, monkeypatch)
    good = sorted(f"archive/{name}" for name in GOOD_INPUTS | {BLOCKED})
    values, report = (frame.reset_index(drop=True) for frame in (names["values"], names["report"]))
    assert list(values.columns) == ["file", "row", "series1", "series2"]
    # The recipes give relative paths, which the files are shown as.
    files = [os.path.relpath(os.path.join(tmp_path, f), tmp_path) for f in values["file"]]
    assert files == [name for name in good for _ in range(2)]
    assert values["row"].tolist() == [0, 1] * 4
    assert values[["series1", "series2"]].to_numpy().tolist() == [[1.0, 12.0], [-2.5, 0.0]] * 4
    refused = report[~report["included"]]
    assert [(os.path.relpath(os.path.join(tmp_path, f), tmp_path), s, m) for f, s, m in
            zip(refused["file"], refused["status"], refused["message"])] == [
        ("archive/2019/big.dat", package.Status.TOO_LARGE, "memory overflow"),
        ("archive/2020/bad.dat", package.Status.BAD_DESCRIPTOR,
         "invalid descriptor for series 2")]
    assert len(report) == len(good) + 2
    # Each row with its file's status and size; each file's means.
    rows = names["rows"]
    assert rows[["status", "file_size"]].values.tolist() == [[0, len(GOOD)]] * len(values)
    assert [os.path.relpath(os.path.join(tmp_path, f), tmp_path) for f in names["means"].index] \
        == good
    assert names["means"].values.tolist() == [[-0.75, 6.0]] * len(good)


@pytest.mark.parametrize("name,status,check", BATCHES, ids=[b[0] for b in BATCHES])
def test_batch_recipes(name, status, check, tmp_path):
    make_archive(tmp_path / "archive")
    code = recipe(name)
    if name == "read-only":
        code = with_value(code, "archive", tmp_path / "archive")
    if name.startswith("python"):
        done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                              text=True, env=dict(os.environ, PYTHONPATH=str(package_path())))
    else:
        done = shell(code, tmp_path)
    assert done.returncode == status, done.stderr
    assert check(tmp_path)


def test_uninstall_removes_what_install_put(tmp_path):
    prefix = tmp_path / "prefix"
    # The tool's files: what the release build installs (the Python module,
    # where it is built, is installed and removed on its own).
    subprocess.run([os.environ["CMAKE_COMMAND"], "--install", BUILD,
                    "--component", "tool", "--prefix", prefix], check=True, capture_output=True)
    assert (prefix / "bin" / EXE.name).is_file()
    done = shell(with_value(recipe("uninstall"), "prefix", prefix), tmp_path)
    assert done.returncode == 0, done.stderr
    assert [p for p in prefix.rglob("*") if not p.is_dir()] == []


# The pip recipes, each from a copy of the sources into a fresh venv that
# sees Debian's packages (numpy, setuptools, wheel, pybind11), with nothing
# fetched (PIP_NO_INDEX). `pip install .` would fetch setuptools and
# pybind11 into an isolated build environment; offline it builds with the
# venv's own, as --no-build-isolation does (pip takes
# PIP_NO_BUILD_ISOLATION=0 as "no isolation").
INSTALLS = [("pip", {"PIP_NO_BUILD_ISOLATION": "0"}), ("pip-offline", {})]


@pytest.fixture(scope="module", name="source")
def fixture_source(tmp_path_factory):
    """A copy of the sources, without build output, for the pip recipes
    (which build in it, the second reusing what the first compiled)."""
    missing = [m for m in ("ensurepip", "setuptools", "wheel", "pybind11")
               if importlib.util.find_spec(m) is None]
    if missing:
        (pytest.fail if os.environ.get("CI") == "true" else pytest.skip)(
            f"{sys.executable} has no {', '.join(missing)} (Debian: python3-venv "
            "python3-setuptools python3-wheel python3-pybind11)")
    source = tmp_path_factory.mktemp("pip") / "curvedump"
    shutil.copytree(SOURCE, source,
                    ignore=shutil.ignore_patterns(".git", "build", "*.egg-info", "__pycache__"))
    return source


@pytest.mark.parametrize("name,env", INSTALLS, ids=[i[0] for i in INSTALLS])
def test_pip_recipes_install_the_module(name, env, source, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    # The venv active, as its activate script leaves it.
    environment.update(env, PIP_NO_INDEX="1", VIRTUAL_ENV=str(venv),
                       PATH=str(venv / "bin") + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["bash", "-c", recipe(name)], cwd=source, env=environment,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    # The installed copy, from outside the sources, reads the sample as the
    # tool converts it.
    shown = subprocess.run(
        [venv / "bin" / "python", "-c", "import curvedump, sys; print(curvedump.__file__); "
         "sys.stdout.flush(); sys.stdout.buffer.write(curvedump.read(sys.argv[1]).text())",
         (SOURCE / "examples" / "damped.bin").resolve()],
        cwd=tmp_path, env=environment, capture_output=True, check=True)
    where, text = shown.stdout.split(b"\n", 1)
    assert Path(os.fsdecode(where)).is_relative_to(venv)
    assert text == (SOURCE / "examples" / "damped.bin.txt").read_bytes()
