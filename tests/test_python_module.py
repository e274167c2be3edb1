"""The Python module against the tool itself: the same bytes, the same
refusals, and the exact values, double rounding included; and the probes
that must never crash the interpreter, each run in a child interpreter.

Needs CURVEDUMP_EXE (the tool) and CURVEDUMP_SOURCE_DIR in the environment,
and the module on PYTHONPATH (the build tree, or an unpacked package). With
CURVEDUMP_BUILD_DIR and CMAKE_COMMAND, the typed-package checks take the
package from `cmake --install`'s staging prefix; without them, from
PYTHONPATH.
"""
import concurrent.futures
import copy
import errno
import io
import math
import os
import pathlib
import pickle
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import warnings

import numpy as np
import pytest

import curvedump

TOOL = os.environ["CURVEDUMP_EXE"]
SOURCE = pathlib.Path(os.environ["CURVEDUMP_SOURCE_DIR"])
SAMPLES = [SOURCE / "examples" / "damped.bin"] + sorted((SOURCE / "fuzz" / "corpus").iterdir())


def run_tool(path):
    """The tool's status, console bytes, and output bytes (None if absent)."""
    result = subprocess.run([TOOL, path], stdout=subprocess.PIPE, check=False)
    output = pathlib.Path(os.fsdecode(path) + ".txt")
    return result.returncode, result.stdout, output.read_bytes() if output.exists() else None


def data_file(first, second, size=None):
    """A file with series 1 at block 1 and series 2 at block 2. Each series
    is (scale bits, offset bits, raw bit patterns, length); bytes past `size`
    are left out, so that they read as zeros."""
    data = bytearray(768)
    for table, block, (scale, offset, raws, length) in ((144, 1, first), (160, 2, second)):
        struct.pack_into(">HHHHII", data, table, 0, block, 0, length, scale, offset)
        for i, raw in enumerate(raws):
            struct.pack_into(">I", data, 256 * block + 4 * i, raw)
    return bytes(data[:size])


def bits(array):
    return array.view(np.uint32).tolist()


def in_child(name, *args):
    """Calls this file's function `name`(*args) in a new interpreter, so that
    a crash fails the row instead of ending the run."""
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import test_python_module as t; "
            f"t.{name}(*eval(sys.argv[2]))")
    done = subprocess.run([sys.executable, "-c", code, str(pathlib.Path(__file__).parent),
                           repr(args)], capture_output=True, text=True, check=False,
                          env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    assert done.returncode == 0, done.stderr


def assert_text_rounds_pairs(curves):
    """Each line of text() is the row of pairs() at its place, rounded to
    five digits; NaN keeps its sign."""
    rows = curves.pairs()
    lines = curves.text().split(b"\r\n")[:-1]
    assert rows.dtype == np.float32 and rows.shape == (len(lines), 2)
    for line, row in zip(lines, rows.tolist()):
        for field, value in zip(line.split(), row):
            shown = float(field)
            if math.isnan(value):
                assert math.isnan(shown) and math.copysign(1, shown) == math.copysign(1, value)
            else:
                assert math.isclose(shown, value, rel_tol=5e-5), (line, row)


def past_end(curves):
    """The series that the rule block * 256 + 4 * count > file size marks."""
    return [n for n, block, count in zip((1, 2), curves.blocks, curves.counts)
            if count > 0 and 256 * block + 4 * count > curves.file_size]


def read_file_object(path):
    with open(path, "rb") as file:
        return curvedump.read(file)


@pytest.mark.parametrize("sample", SAMPLES, ids=lambda p: p.name)
def test_same_bytes_and_refusals_as_the_tool(sample, tmp_path, capfd):
    path = tmp_path / sample.name
    shutil.copyfile(sample, path)
    status, console, output = run_tool(path)
    if output is not None:
        os.remove(path.with_name(path.name + ".txt"))
    data = path.read_bytes()
    # Each reader, and the path it gives.
    readers = [
        (lambda: curvedump.read(path), str(path)),
        (lambda: read_file_object(path), str(path)),
        (lambda: curvedump.read(io.BytesIO(data)), None),
        (lambda: curvedump.read_bytes(data), None),
        (lambda: curvedump.read_bytes(bytearray(data)), None),
        # Views whose bytes are not next to each other: reversed twice, and
        # every other byte of each byte doubled.
        (lambda: curvedump.read_bytes(memoryview(data[::-1])[::-1]), None),
        (lambda: curvedump.read_bytes(np.repeat(np.frombuffer(data, np.uint8), 2)[::2]), None),
    ]
    for read, shown in readers:
        if status == 0:
            with warnings.catch_warnings(record=True) as warned:
                warnings.simplefilter("always")
                curves = read()
            assert curves.text() == output
            header = curves.console().encode()
            assert console == header + b"converting : %s -> %s.txt\r\n" % (
                os.fsencode(path), os.fsencode(path))
            assert (curves.path, curves.file_size) == (shown, len(data))
            assert curves.truncated == bool(past_end(curves))
            assert [(w.category, f"series {n}" in str(w.message), (shown or "") in str(w.message))
                    for w, n in zip(warned, past_end(curves))] == \
                [(curvedump.ShortFileWarning, True, True)] * len(past_end(curves))
            assert len(warned) == len(past_end(curves))
            assert_text_rounds_pairs(curves)
            frame = curves.to_pandas()
            assert list(frame.columns) == ["series1", "series2"]
            assert list(frame.dtypes) == [np.float32] * 2
            assert bits(frame.to_numpy()) == bits(curves.pairs())
        else:
            with pytest.raises(curvedump.Error) as refused:
                read()
            assert (refused.value.status, refused.value.console.encode()) == (status, console)
            assert refused.value.filename == shown
    # convert() does what the tool does.
    if status == 0:
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            assert curvedump.convert(path).encode() == console
        assert len(warned) == len(past_end(curves))
        assert path.with_name(path.name + ".txt").read_bytes() == output
    else:
        with pytest.raises(curvedump.Error) as refused:
            curvedump.convert(path)
        assert (refused.value.status, refused.value.console.encode()) == (status, console)
        assert refused.value.filename == str(path)
    # The module writes nothing to standard output or standard error.
    assert capfd.readouterr() == ("", "")


ONE, HALF = 0x3F800000, 0x3F000000

# Expected bit patterns worked out by hand in exact arithmetic.
# (1 + 2^-12)(1 + 2^-11 + 2^-12) = 1 + 2^-10 + 2^-23 + 2^-24 lies halfway
# between the floats ...2001 and ...2002; an offset of -2^-70 leaves the
# 64-bit sum on that midpoint, which goes to even, although the exact sum
# is below it and a single rounding gives ...2001.
EXACT_VALUES = [
    ("double rounding, 64-bit sum on the midpoint",
     (0x3F800800, 0x9C800000, [0x3F801800], 4), [0x3F802002]),
    ("one 64-bit unit below the midpoint",
     (0x3F800800, 0xA0000000, [0x3F801800], 4), [0x3F802001]),
    ("signalling NaN quieted, payload kept", (ONE, 0, [0x7F800001, 0xFFC00001], 8),
     [0x7FC00001, 0xFFC00001]),
    ("infinity times zero", (0x7F800000, 0, [0], 4), [0xFFC00000]),
    ("overflow to infinity", (0x7F7FFFFF, 0, [0x40000000, 0xC0000000], 8),
     [0x7F800000, 0xFF800000]),
    ("subnormal result rounds up", (0x00000001, 0, [0x3F400000], 4), [0x00000001]),
    ("exact cancellation is +0", (ONE, 0xBF800000, [ONE], 4), [0x00000000]),
    ("length 10 is two values", (HALF, 0, [ONE, 0x40000000, 0x40400000], 10),
     [HALF, ONE]),
]


@pytest.mark.parametrize("what, series, expected", EXACT_VALUES, ids=[r[0] for r in EXACT_VALUES])
def test_exact_values(what, series, expected):
    curves = curvedump.read_bytes(data_file(series, (ONE, 0, [ONE], 4)))
    assert bits(curves.series1) == expected
    assert curves.scales[0] == struct.unpack(">f", struct.pack(">I", series[0]))[0]


def test_tail_of_the_longer_series_and_zeros_past_the_end():
    # Series 2 lies past the end of the file: every value is its offset.
    data = data_file((ONE, 0, [ONE, 0x40000000, 0x40400000], 12), (ONE, 0x40200000, [], 8), 300)
    with pytest.warns(curvedump.ShortFileWarning, match="series 2 runs past the end"):
        curves = curvedump.read_bytes(data)
    assert (curves.blocks, curves.lengths, curves.offsets) == ((1, 2), (12, 8), (0.0, 2.5))
    assert (curves.counts, curves.file_size, curves.truncated) == ((3, 2), 300, True)
    assert bits(curves.series1) == [ONE, 0x40000000, 0x40400000]
    assert curves.series2.tolist() == [2.5, 2.5]
    assert curves.text().count(b"\r\n") == 2  # the text pairs only the first two
    # The values are held once, and text() follows them.
    assert curves.series1.base is curves.series2.base and curves.series1.base.nbytes == 20
    curves.series1 *= 2
    assert curves.text().startswith(b" 2.0000e+00  2.5000e+00\r\n 4.0000e+00")
    with warnings.catch_warnings():
        warnings.simplefilter("error", curvedump.ShortFileWarning)
        with pytest.raises(curvedump.ShortFileWarning):
            curvedump.read_bytes(data)


REFUSALS = [
    ("file too large", lambda p: p.write_bytes(bytes(32768)), curvedump.read, 4, "memory overflow"),
    ("bytes too large", None, lambda p: curvedump.read_bytes(bytes(40000)), 4, "memory overflow"),
    ("invalid descriptor", lambda p: p.write_bytes(data_file((ONE, 0, [], 4), (ONE, 0, [], -4 & 0xFFFF))),
     curvedump.read, 5, "invalid descriptor for series 2"),
    ("both series empty", lambda p: p.write_bytes(b""), curvedump.read, 3, "Cannot allocate memory"),
    ("output is the input, hard-linked",
     lambda p: (p.write_bytes(data_file((ONE, 0, [ONE], 4), (ONE, 0, [ONE], 4))),
                os.link(p, p.with_name("x.bin.txt"))),
     curvedump.convert, 1, "cannot open {}.txt"),
]


@pytest.mark.parametrize("what, make_file, call, status, message", REFUSALS,
                         ids=[r[0] for r in REFUSALS])
def test_refusals_carry_the_status_and_message(what, make_file, call, status, message, tmp_path):
    path = tmp_path / "x.bin"
    if make_file:
        make_file(path)
    before = path.read_bytes() if path.exists() else None
    with pytest.raises(curvedump.Error) as refused:
        call(path)
    assert isinstance(refused.value, ValueError)
    assert refused.value.filename == (None if what == "bytes too large" else
                                      str(path) + ".txt" * (status == 1))
    assert refused.value.status == status
    assert refused.value.message == message.format(path)
    assert refused.value.console.endswith(message.format(path) + "\r\n")
    if before is not None:
        assert path.read_bytes() == before


OS_ERRORS = [
    ("missing", "in.bin", lambda p: None, FileNotFoundError),
    ("directory", "in.bin", lambda p: p.mkdir(), IsADirectoryError),
    ("unreadable", "in.bin", lambda p: (p.write_bytes(b"x"), p.chmod(0)), PermissionError),
    # Cut at the NUL, the name would open the file "in", a valid one.
    ("embedded NUL", "in\0.bin", lambda p: shutil.copyfile(SAMPLES[0], p.with_name("in")),
     ValueError),
]


@pytest.mark.parametrize("what, name, make, error", OS_ERRORS, ids=[r[0] for r in OS_ERRORS])
@pytest.mark.parametrize("call", [curvedump.read, curvedump.convert], ids=["read", "convert"])
def test_input_that_cannot_be_read_raises_oserror(what, name, make, error, call, tmp_path):
    if error is PermissionError and os.geteuid() == 0:
        pytest.skip("root reads any file")
    path = tmp_path / name
    make(path)
    with pytest.raises(error) as raised:
        call(path)
    assert type(raised.value) is error
    if error is not ValueError:
        assert raised.value.filename == str(path)


def out(path):
    return path.with_name(path.name + ".txt")


# Outputs that cannot be written: the OSError of their errno, naming the
# output. The last row runs as uid 65534 in a folder that user can reach.
OUTPUT_ERRORS = [
    ("a directory at the output name", lambda p: out(p).mkdir(), IsADirectoryError, errno.EISDIR),
    ("a link into a missing folder", lambda p: out(p).symlink_to(p.parent / "no" / "x.txt"),
     FileNotFoundError, errno.ENOENT),
    ("a full device at the output name", lambda p: out(p).symlink_to("/dev/full"), OSError,
     errno.ENOSPC),
    ("an unwritable folder, as uid 65534", lambda p: p.parent.chmod(0o555), PermissionError,
     errno.EACCES),
]


def convert_as_nobody(path, reachable):
    """convert(path) as uid 65534, from a copy of the package in `reachable`:
    what it raised, as (type name, errno, filename)."""
    shutil.copytree(pathlib.Path(curvedump.__file__).parent, reachable / "lib" / "curvedump")
    code = ("import sys, curvedump\ntry:\n    curvedump.convert(sys.argv[1])\n"
            "except OSError as e:\n    print(repr((type(e).__name__, e.errno, e.filename)))")
    done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           sys.executable, "-c", code, str(path)], capture_output=True, text=True,
                          check=False, env=dict(os.environ, PYTHONPATH=str(reachable / "lib"),
                                                PYTHONDONTWRITEBYTECODE="1"))
    assert done.returncode == 0 and done.stderr == "", done.stderr
    return eval(done.stdout)  # pylint: disable=eval-used


@pytest.mark.parametrize("what, make, error, number", OUTPUT_ERRORS,
                         ids=[r[0] for r in OUTPUT_ERRORS])
def test_output_that_cannot_be_written_raises_oserror(what, make, error, number, tmp_path):
    nobody = "65534" in what
    if nobody and os.geteuid() != 0:
        pytest.skip("running as uid 65534 needs root (setpriv)")
    if nobody:  # pytest's own folder is 0700: a folder of /tmp, open to all
        tmp_path = pathlib.Path(tempfile.mkdtemp())
        tmp_path.chmod(0o755)
    try:
        (tmp_path / "data").mkdir()
        path = tmp_path / "data" / "x.bin"
        shutil.copyfile(SAMPLES[0], path)
        make(path)
        if nobody:
            raised = convert_as_nobody(path, tmp_path)
        else:
            with pytest.raises(OSError) as caught:
                curvedump.convert(path)
            raised = (type(caught.value).__name__, caught.value.errno, caught.value.filename)
        assert raised == (error.__name__, number, str(path) + ".txt")
        assert path.read_bytes() == SAMPLES[0].read_bytes()
    finally:
        if nobody:
            shutil.rmtree(tmp_path)


class Chunks:
    """A binary file object whose read() gives at most `step` bytes, or
    `give` whatever it is asked; `asked` counts the bytes asked for."""

    def __init__(self, data=b"", step=1, give=b""):
        self.data, self.step, self.give, self.asked = data, step, give, 0

    def read(self, size=-1):
        self.asked += size
        if self.give != b"":
            return self.give[:size] if isinstance(self.give, bytes) else self.give
        chunk, self.data = self.data[:self.step], self.data[self.step:]
        return chunk


# read() of file objects: what each gives as the path, or raises.
SOURCES = [
    ("binary file", lambda p: open(p, "rb"), lambda p: str(p)),
    ("opened by its bytes name", lambda p: open(os.fsencode(p), "rb"), lambda p: str(p)),
    ("opened by descriptor (no name)", lambda p: open(os.open(p, os.O_RDONLY), "rb"),
     lambda p: None),
    ("BytesIO", lambda p: io.BytesIO(p.read_bytes()), lambda p: None),
    ("one byte per read()", lambda p: Chunks(p.read_bytes()), lambda p: None),
    ("text file", lambda p: open(p, encoding="latin-1"), TypeError),
    ("read() gives None", lambda p: Chunks(give=None), BlockingIOError),
    ("endless stream: refused after 32,768 bytes", lambda p: Chunks(give=bytes(40000)),
     curvedump.Error),
]


@pytest.mark.parametrize("what, make, expected", SOURCES, ids=[r[0] for r in SOURCES])
def test_read_takes_binary_file_objects(what, make, expected, tmp_path):
    path = tmp_path / "x.bin"
    shutil.copyfile(SAMPLES[0], path)
    source = make(path)
    try:
        if isinstance(expected, type):
            with pytest.raises(expected) as raised:
                curvedump.read(source)
            if expected is curvedump.Error:
                assert (raised.value.status, source.asked) == (4, 32768)
        else:
            curves = curvedump.read(source)
            assert curves == curvedump.read(path) and curves.path == expected(path)
    finally:
        getattr(source, "close", lambda: None)()


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path, PathLike])
@pytest.mark.parametrize("name", ["plain.bin", "данные 測定.bin", b"\xff\xfe.bin"])
def test_every_kind_of_path(kind, name, tmp_path):
    if isinstance(name, bytes) and kind is not os.fsencode:
        name = os.fsdecode(name)  # the same name, as os.fsdecode gives it
    path = os.path.join(os.fsencode(tmp_path) if isinstance(name, bytes) else tmp_path, name)
    shutil.copyfile(SAMPLES[0], path)
    curves = curvedump.read(kind(path))
    assert curves.lengths == (800, 800) and curves.path == os.fsdecode(path)
    assert repr(curves) == f"<curvedump.Curves path={os.fsdecode(path)!r} counts=(200, 200) " \
        "file_size=2080>"
    console = curvedump.convert(kind(path))
    assert console.endswith(" -> " + os.fsdecode(path) + ".txt\r\n")
    assert os.path.exists(os.fsencode(path) + b".txt")


def test_threads_and_processes():
    expected = curvedump.read(SAMPLES[0]).text()
    results = []

    def reader():
        results.extend(curvedump.read(SAMPLES[0]).text() for _ in range(200))

    threads = [threading.Thread(target=reader) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 400 and all(text == expected for text in results)
    # A process pool sends the function to its worker and the Curves back.
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        assert pool.submit(curvedump.read, SAMPLES[0]).result().text() == expected
