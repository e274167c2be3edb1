"""The Python module against the tool itself: the same bytes, the same
refusals, and the exact values, double rounding included; and the probes
that must never crash the interpreter, each run in a child interpreter.

Needs CURVEDUMP_EXE (the tool) and CURVEDUMP_SOURCE_DIR in the environment,
and the module on PYTHONPATH (the build tree, or an unpacked package). With
CURVEDUMP_BUILD_DIR and CMAKE_COMMAND, the typed-package checks take the
package from `cmake --install`'s staging prefix; without them, from
PYTHONPATH.
"""
import array
import concurrent.futures
import copy
import ctypes
import errno
import io
import math
import mmap
import os
import pathlib
import pickle
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
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
                          env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"), timeout=120)
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
        # Items wider than a byte: their bytes as they lie in memory.
        *([(lambda: curvedump.read_bytes(memoryview(data).cast("I")), None)]
          if len(data) % 4 == 0 else []),
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
    # 2^30 + 2^7 + 2^6(1 + 2^-15)(1 - 2^-15): the binary64 sum is the
    # midpoint 2^30 + 3 * 2^6 (to even: ...02), the 64-bit sum below it.
    ("binary64 sum on a midpoint", (0x42800100, 0x4E800001, [0x3F7FFE00], 4), [0x4E800001]),
    ("subnormal raw value", (ONE, 0x00000001, [0x00000003], 4), [0x00000004]),
    ("subnormal sum on a midpoint, to even", (0x1A000000, 0x00000001, [0x1A000000], 4),
     [0x00000002]),
]

# Floating-point environments other than the default, set in the control
# register (MXCSR on x86-64, FPCR on aarch64) by the test library
# fp_control; "fast-math" loads its -ffast-math twin instead.
FP_ENVIRONMENTS = [
    ("round downward", {1: 0x2000, 2: 0x800000}),
    ("round upward", {1: 0x4000, 2: 0x400000}),
    ("round toward zero", {1: 0x6000, 2: 0xC00000}),
    ("flush-to-zero and denormals-are-zero", {1: 0x8040, 2: 0x1000000}),
    ("a library built with -ffast-math loaded", "fast-math"),
]


@pytest.mark.parametrize("what, series, expected", EXACT_VALUES, ids=[r[0] for r in EXACT_VALUES])
def test_exact_values(what, series, expected):
    curves = curvedump.read_bytes(data_file(series, (ONE, 0, [ONE], 4)))
    assert bits(curves.series1) == expected
    assert curves.scales[0] == struct.unpack(">f", struct.pack(">I", series[0]))[0]


def fp_control_library(name="CURVEDUMP_FP_CONTROL"):
    """The test library that reads and sets the floating-point control
    register (tests/fp_control.cpp), loaded through ctypes."""
    path = os.environ.get(name)
    if not path:
        pytest.skip(f"{name} is not set (CMake's build of the tests sets it)")
    library = ctypes.CDLL(path)
    library.fp_control_get.restype = ctypes.c_uint64
    library.fp_control_set.argtypes = [ctypes.c_uint64]
    return library


@pytest.mark.parametrize("what, bits_set", FP_ENVIRONMENTS, ids=[r[0] for r in FP_ENVIRONMENTS])
def test_exact_values_in_any_fp_environment(what, bits_set, tmp_path):
    # Values still exact (compared as bit patterns: numpy's equality takes
    # subnormals for zeros under denormals-are-zero), read from bytes and
    # from a file; the environment restored after.
    control = fp_control_library()
    kind = control.fp_control_kind()
    if kind == 0:
        pytest.skip("no control register known for this target")
    files = []
    for i, (_, series, _) in enumerate(EXACT_VALUES):
        files.append(tmp_path / f"{i}.bin")
        files[-1].write_bytes(data_file(series, (ONE, 0, [ONE], 4)))
    saved = control.fp_control_get()
    try:
        if bits_set == "fast-math":
            fp_control_library("CURVEDUMP_FP_CONTROL_FAST_MATH")
        else:
            control.fp_control_set(saved | bits_set[kind])
        changed = control.fp_control_get()
        from_bytes = [bits(curvedump.read_bytes(f.read_bytes()).series1) for f in files]
        from_files = [bits(curvedump.read(f).series1) for f in files]
    finally:
        control.fp_control_set(saved)
    assert changed != saved, what
    expected = [row[2] for row in EXACT_VALUES]
    assert from_bytes == expected
    assert from_files == expected


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
    address = [series.__array_interface__["data"][0] for series in (curves.series1, curves.series2)]
    assert curves.series1.base is curves.series2.base and address[1] == address[0] + 12
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
    # Streams and devices, read as the tool reads them.
    ("a FIFO with no writer: empty at once", os.mkfifo, curvedump.read, 3,
     "Cannot allocate memory"),
    ("a FIFO whose writer sends 40,000 bytes in pieces", lambda p: fifo_writer(p, [bytes(9000)] * 5),
     curvedump.read, 4, "memory overflow"),
    ("/dev/zero", lambda p: p.symlink_to("/dev/zero"), curvedump.read, 4, "memory overflow"),
    ("output is the input, hard-linked",
     lambda p: (p.write_bytes(data_file((ONE, 0, [ONE], 4), (ONE, 0, [ONE], 4))),
                os.link(p, p.with_name("x.bin.txt"))),
     curvedump.convert, 1, "cannot open {}.txt"),
]


def fifo_writer(path, pieces, pause=0.05):
    """A FIFO at path, already open for writing, and a thread that sends
    each piece, pausing before each, then closes it (the FIFO's end)."""
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)

    def write():
        for piece in pieces:
            time.sleep(pause)
            os.write(writer, piece)
        os.close(writer)

    threading.Thread(target=write, daemon=True).start()


@pytest.mark.parametrize("what, make_file, call, status, message", REFUSALS,
                         ids=[r[0] for r in REFUSALS])
def test_refusals_carry_the_status_and_message(what, make_file, call, status, message, tmp_path):
    path = tmp_path / "x.bin"
    if make_file:
        make_file(path)
    before = path.read_bytes() if path.is_file() else None
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


# A file of 1,001 and 1,000 values: its store of 8,004 bytes is the one
# allocation of that size, which the preloaded failing_new refuses.
MANY_VALUES = data_file((ONE, 0, [], 4004), (ONE, 0, [], 4000))
ALLOCATION_FAILURES = {
    "read": lambda p: curvedump.read(p, short="ignore"),
    "read_bytes": lambda p: curvedump.read_bytes(p.read_bytes(), short="ignore"),
    "read_frame": lambda p: curvedump.read_frame([p], short="ignore"),
    "convert": curvedump.convert,
    "read_frame, recorded": lambda p: curvedump.read_frame([p], errors="record", short="ignore"),
}


def probe_allocation_failure(what, path):
    path = pathlib.Path(path)
    path.write_bytes(MANY_VALUES)
    if what.endswith("recorded"):
        report = ALLOCATION_FAILURES[what](path)[1]
        assert report[["status", "message", "included"]].values.tolist() == \
            [[3, "Cannot allocate memory", False]]
        return
    try:
        ALLOCATION_FAILURES[what](path)
    except MemoryError as error:
        assert str(error) == "Cannot allocate memory" + (
            "" if what == "read_bytes" else f": {str(path)!r}")
    else:
        raise AssertionError("no MemoryError")


@pytest.mark.parametrize("what", list(ALLOCATION_FAILURES))
def test_allocation_failure_raises_memory_error(what, tmp_path):
    failing_new = os.environ.get("CURVEDUMP_FAILING_NEW")
    if not failing_new:
        pytest.skip("CURVEDUMP_FAILING_NEW is not set (CMake's build of the tests sets it)")
    assert len(MANY_VALUES) == 768 and curvedump.read_bytes(MANY_VALUES, short="ignore")
    done = subprocess.run(
        [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
         "import test_python_module as t; t.probe_allocation_failure(*sys.argv[2:])",
         str(pathlib.Path(__file__).parent), what, str(tmp_path / "many.bin")],
        capture_output=True, text=True, check=False,
        env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1", CURVEDUMP_FAILING_NEW_SIZE="8004",
                 LD_PRELOAD=failing_new))
    assert done.returncode == 0, done.stderr


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
    ("text file that is not text", lambda p: open(p, encoding="utf-8"), TypeError),
    ("read() gives an int", lambda p: Chunks(give=5), TypeError),
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


# Each kind of path, absolute, or a bare name from the input's folder with
# a symbolic link at the output name, which is written through.
@pytest.mark.parametrize("kind", [str, os.fsencode, pathlib.Path, PathLike])
@pytest.mark.parametrize("name", ["plain.bin", "данные 測定.bin", b"\xff\xfe.bin"])
@pytest.mark.parametrize("bare", [False, True], ids=["absolute", "bare name, output a link"])
def test_every_kind_of_path(kind, name, bare, tmp_path, monkeypatch):
    if isinstance(name, bytes) and kind is not os.fsencode:
        name = os.fsdecode(name)  # the same name, as os.fsdecode gives it
    path = os.path.join(os.fsencode(tmp_path) if isinstance(name, bytes) else tmp_path, name)
    shutil.copyfile(SAMPLES[0], path)
    if bare:
        monkeypatch.chdir(tmp_path)
        path = name
        os.symlink("target", os.fsencode(path) + b".txt")
    curves = curvedump.read(kind(path))
    assert curves.lengths == (800, 800) and curves.path == os.fsdecode(path)
    assert repr(curves) == f"<curvedump.Curves path={os.fsdecode(path)!r} counts=(200, 200) " \
        "file_size=2080 truncated=False>"
    values, report = curvedump.read_frame([kind(path)])
    assert list(values["file"].cat.categories) == report["file"].tolist() == [os.fsdecode(path)]
    assert bits(values[["series1", "series2"]].to_numpy()) == bits(curves.pairs())
    console = curvedump.convert(kind(path))
    assert console.endswith(" -> " + os.fsdecode(path) + ".txt\r\n")
    assert os.path.exists(os.fsencode(path) + b".txt")
    if bare:
        assert os.path.islink(os.fsencode(path) + b".txt")
        assert (tmp_path / "target").read_bytes() == curves.text()


# Probes of the object itself, each in a child interpreter (in_child).
# Pickles, copies and __reduce_ex__ by protocol: the current values travel.
COPIES = list(range(pickle.HIGHEST_PROTOCOL + 1)) + ["copy", "deepcopy"]


def probe_copy(how):
    curves = curvedump.read(SAMPLES[0])
    curves.series2[:3] = [np.nan, -0.0, 7.5]
    if how in ("copy", "deepcopy"):
        back = getattr(copy, how)(curves)
    else:
        data = pickle.dumps(curves, how)
        back = pickle.loads(data)
        assert b"curvedump" in data and b"_core" not in data
        assert how < 3 or len(data) <= curves.series1.nbytes + curves.series2.nbytes + 2048
    assert back == curves and (back.path, back.file_size) == (curves.path, curves.file_size)
    assert back.text() == curves.text() and not np.shares_memory(back.series2, curves.series2)


@pytest.mark.parametrize("how", COPIES, ids=str)
def test_pickles_and_copies(how):
    in_child("probe_copy", how)


def walk_bases(array_):
    """The chain of .base from an array up to its end."""
    chain = []
    while array_ is not None:
        chain.append(array_)
        array_ = getattr(array_, "base", None)
    return chain


# The store under the series: memory a C++ object owns, which nothing
# reachable from Python can free or resize under a view.
def probe_store(what):
    curves = curvedump.read(SAMPLES[0])
    if what == "after a pickle":
        curves = pickle.loads(pickle.dumps(curves))
    before = curves.text()
    held = curves.series2
    owner = walk_bases(curves.series1)[-1]
    assert not any(isinstance(b, (bytearray, memoryview, bytes)) for series in
                   (curves.series1, curves.series2) for b in walk_bases(series))
    # The series' base is the owner itself: no array of the store to change.
    assert curves.series1.base is owner and held.base is owner
    assert not isinstance(owner, np.ndarray)
    if what == "release the store's base, then assign":
        with pytest.raises(AttributeError):  # once a memoryview, released under the views
            curves.series1.base.base.release()
    elif what == "a view's array replaced in place":
        for array_ in walk_bases(curves.series1):  # every array on the way to the owner
            if isinstance(array_, np.ndarray):
                array_.__setstate__((1, (1,), np.dtype("f4"), False, b"\0\0\0\0"))
        garbage = [np.ones(4096, np.float32) for _ in range(64)]
        held[:] = 12345.0
        assert curves.series2.tolist() == [12345.0] * len(held) and len(garbage) == 64
        return
    else:
        for array_ in (curves.series1, curves.series2):
            with pytest.raises(ValueError):
                array_.resize(0, refcheck=False)
    assert curves.text() == before
    curves.series1 = np.arange(200, dtype=np.float32)
    assert curves.series1.tolist() == list(range(200))
    assert sys.getsizeof(curves) >= curves.series1.nbytes + curves.series2.nbytes


@pytest.mark.parametrize("what", ["release the store's base, then assign", "resize",
                                  "after a pickle", "a view's array replaced in place"])
def test_the_store_outlives_its_views(what):
    in_child("probe_store", what)


def test_sizes_dask_can_trust():
    curves = curvedump.read(SAMPLES[0])
    values = curves.series1.nbytes + curves.series2.nbytes
    assert values <= sys.getsizeof(curves) <= values + 512
    sizeof = need_dask() and __import__("dask.sizeof").sizeof.sizeof
    assert sizeof(curves) == sys.getsizeof(curves)


# What read_bytes is given beside bytes: the same Curves, or TypeError.
BUFFERS = [
    ("array.array of bytes", lambda d: array.array("B", d), True),
    ("array.array of shorts", lambda d: array.array("h", d), True),
    ("mmap", lambda d: mmap_of(d), True),
    ("float64 array over the bytes", lambda d: np.frombuffer(d, np.float64), True),
    ("bool array over the bytes", lambda d: np.frombuffer(d, np.bool_), True),
    ("object array", lambda d: np.zeros(300, object), TypeError),
    ("object array, one item", lambda d: np.array([d], object), TypeError),
    ("structured array", lambda d: np.zeros(300, "i4,f4"), TypeError),
    ("datetime array, no buffer format", lambda d: np.zeros(300, "M8[s]"), TypeError),
    ("a str", lambda d: d.decode("latin-1"), TypeError),
]


def mmap_of(data):
    anonymous = mmap.mmap(-1, len(data))
    anonymous.write(data)
    return anonymous


@pytest.mark.parametrize("what, make, same", BUFFERS, ids=[r[0] for r in BUFFERS])
def test_read_bytes_takes_plain_buffers(what, make, same):
    data = SAMPLES[0].read_bytes()
    if isinstance(same, type):
        with pytest.raises(same):
            curvedump.read_bytes(make(data))
    else:
        assert curvedump.read_bytes(make(data)) == curvedump.read_bytes(data)


# Every use of a Curves that has no file behind it (object.__new__ is the
# only way to make one): each raises.
UNMADE_USES = [lambda c, n=name: getattr(c, n) for name in (
    "path", "file_size", "blocks", "lengths", "counts", "scales", "offsets", "truncated",
    "series1", "series2")] + [
    lambda c: c.text(), lambda c: c.console(), lambda c: c.pairs(), lambda c: c.to_pandas(),
    repr, lambda c: c == c, pickle.dumps, copy.copy, copy.deepcopy,
    lambda c: setattr(c, "series1", [1.0])]


def probe_construction(how):
    if how == "object.__new__":
        for use in UNMADE_USES:
            with pytest.raises(AttributeError):
                use(object.__new__(curvedump.Curves))
    else:
        with pytest.raises(TypeError, match="made by curvedump.read"):
            eval(how)  # pylint: disable=eval-used


@pytest.mark.parametrize("how", ["curvedump.Curves()", "curvedump.Curves.__new__(curvedump.Curves)",
                                 "object.__new__"])
def test_no_curves_without_a_file(how):
    in_child("probe_construction", how)


def with_field(state, i, value):
    fields = list(state["fields"])
    fields[i] = value
    return dict(state, fields=tuple(fields))


# Pickled states that no file gives, and the error each raises.
BAD_STATES = [
    ("a tuple (an earlier release's state)", lambda s: tuple(s.values()), TypeError),
    ("a key missing", lambda s: {k: v for k, v in s.items() if k != "path"}, ValueError),
    ("an extra key", lambda s: dict(s, extra=1), ValueError),
    ("a count past the values", lambda s: with_field(with_field(s, 2, 804), 4, 201), ValueError),
    ("values short of the counts", lambda s: dict(s, values=s["values"][:-4]), ValueError),
    ("values as str", lambda s: dict(s, values="x"), TypeError),
    ("values as an array", lambda s: dict(s, values=np.frombuffer(s["values"], "<f4")), TypeError),
    ("a float field", lambda s: with_field(s, 0, 1.0), TypeError),
    ("count not length / 4", lambda s: with_field(s, 2, 796), ValueError),
    ("a field past 16 bits", lambda s: with_field(s, 0, 1 << 16), ValueError),
    ("a scale past 32 bits", lambda s: with_field(s, 6, -1), ValueError),
    ("a series past 32,768 bytes", lambda s: with_field(s, 1, 127), ValueError),
    ("a negative block", lambda s: with_field(s, 0, -1), ValueError),
    ("a negative file size", lambda s: dict(s, file_size=-1), ValueError),
    ("a path of bytes", lambda s: dict(s, path=b"x"), TypeError),
]


def probe_bad_state(what):
    curves = curvedump.read(SAMPLES[0])
    good = curves.__getstate__()
    _, change, error = next(row for row in BAD_STATES if row[0] == what)
    build, args, _ = curves.__reduce_ex__(2)
    with pytest.raises(error):
        build(*args).__setstate__(change(good))
    with pytest.raises(error):  # and an object given it stays as it was
        curves.__setstate__(change(good))
    assert curves.__getstate__() == good


@pytest.mark.parametrize("what", [r[0] for r in BAD_STATES])
def test_bad_state_is_refused(what):
    in_child("probe_bad_state", what)


def probe_any_state(storage):
    """Hypothesis: a state is refused with TypeError or ValueError, or every
    method of what it gives works and its text rounds its pairs."""
    os.environ["HYPOTHESIS_STORAGE_DIRECTORY"] = storage  # not the current folder
    # pylint: disable=import-outside-toplevel
    from hypothesis import given, settings, strategies as st

    junk = st.one_of(st.none(), st.integers(), st.floats(), st.binary(max_size=16), st.text(max_size=4))

    @st.composite
    def states(draw):
        counts = [draw(st.integers(-1, 40)) for _ in range(2)]
        fields = (*[draw(st.integers(-2, 130)) for _ in range(2)],
                  *[4 * c + draw(st.sampled_from([0, 0, 3])) for c in counts], *counts,
                  *[draw(st.integers(0, 2**32 - 1)) for _ in range(4)])
        size = 4 * sum(max(c, 0) for c in counts) + draw(st.sampled_from([0, 0, 4, -4]))
        state = {"fields": fields, "file_size": draw(st.integers(-1, 32768)),
                 "path": draw(st.one_of(st.none(), st.text(max_size=4))),
                 "values": draw(st.binary(min_size=max(size, 0), max_size=max(size, 0)))}
        if draw(st.booleans()):
            state[draw(st.sampled_from(sorted(state)))] = draw(junk)
        return state

    @settings(max_examples=400, database=None, deadline=None)
    @given(states())
    def check(state):
        curves = object.__new__(curvedump.Curves)
        try:
            curves.__setstate__(state)
        except (TypeError, ValueError):
            return
        assert_text_rounds_pairs(curves)
        assert curves.console() and pickle.loads(pickle.dumps(curves, 0)) == curves
        assert curves.truncated in (True, False) and curves.to_pandas().shape[1] == 2

    check()


def test_any_state_is_refused_or_sound(tmp_path):
    in_child("probe_any_state", str(tmp_path))


# The private functions of curvedump._core check what they are given too.
CORE_MISUSES = [
    lambda core: core.text(np.zeros((2, 2), np.uint32), np.zeros(1, np.uint32)),
    lambda core: core.text(np.zeros(2, np.float64), np.zeros(1, np.uint32)),
    lambda core: core.text([1, 2], "x"),
    lambda core: core.console((1, 2)),
    lambda core: core.console(("a",) * 10),
    lambda core: core.console((1 << 40,) * 10),
    lambda core: core.past_end((0,) * 10, -1),
    lambda core: core.descriptors_fit((1.0,) * 10),
    lambda core: core.descriptors_fit((0,) * 9),
    lambda core: core.decode_bytes(np.zeros((4, 4), np.uint8)),
    lambda core: core.decode_bytes(np.zeros(4, np.uint32)),
    lambda core: core.decode_bytes(3),
    lambda core: core.decode_file("x"),
    lambda core: core.decode_file(b"x\0y"),
    lambda core: core.convert(None),
    lambda core: core.to_double(-1),
    lambda core: core.read_files([1], np.zeros(1, np.int32), 1, True),
    lambda core: core.read_files([b"x"], np.zeros(2, np.int32), 1, True),
    lambda core: core.read_files([b"x\0"], np.zeros(1, np.int32), 1, True),
    lambda core: core.read_files(b"x", np.zeros(1, np.int32), 1, True),
    lambda core: core.store(b"abc"),
    lambda core: core.store("abcd"),
]


def probe_core_misuses():
    for misuse in CORE_MISUSES:
        with pytest.raises((TypeError, ValueError)):
            misuse(curvedump._core)  # pylint: disable=protected-access


def test_core_checks_its_arguments():
    in_child("probe_core_misuses")


# What is assigned to series1 or series2 on a Curves of values [1, 2, 3]
# and [1, 1]: copied into the store (the series' values after it), or
# refused with the values left as they were.
ASSIGNMENTS = [
    ("float64, rounded", "series1", lambda c: [0.1, 0.2, 0.3],
     np.array([0.1, 0.2, 0.3], np.float32)),
    ("integers", "series2", lambda c: np.array([7, -8]), [7, -8]),
    ("its own view reversed", "series1", lambda c: c.series1[::-1], [3, 2, 1]),
    ("in place: *= 2", "series1", lambda c: c.series1.__imul__(2), [2, 4, 6]),
    ("the other series: another length", "series1", lambda c: c.series2, ValueError),
    ("a scalar", "series1", lambda c: 0.0, ValueError),
    ("a 2-D array", "series1", lambda c: np.zeros((3, 1)), ValueError),
    ("complex numbers", "series1", lambda c: np.ones(3, complex), TypeError),
    ("strings", "series2", lambda c: ["1", "2"], TypeError),
    ("a string", "series1", lambda c: "abc", TypeError),
    ("an overflow made an error: nothing changes", "series1",
     lambda c: warnings.simplefilter("error") or [1.0, 2.0, 1e300], RuntimeWarning),
    ("None among numbers", "series2", lambda c: [1.0, None], TypeError),
    ("a read-only attribute", "blocks", lambda c: (0, 0), AttributeError),
]


@pytest.mark.parametrize("what, name, value, expected", ASSIGNMENTS,
                         ids=[r[0] for r in ASSIGNMENTS])
def test_assignment_copies_into_the_store_or_is_refused(what, name, value, expected):
    curves = curvedump.read_bytes(data_file((ONE, 0, [ONE, 0x40000000, 0x40400000], 12),
                                            (ONE, 0, [ONE, ONE], 8)))
    before = curves.__getstate__()
    if isinstance(expected, type):
        with warnings.catch_warnings(), pytest.raises(expected):
            setattr(curves, name, value(curves))
        assert curves.__getstate__() == before
    else:
        setattr(curves, name, value(curves))
        assert bits(getattr(curves, name)) == bits(np.array(expected, np.float32))
        assert curves.series1.base is curves.series2.base
        assert_text_rounds_pairs(curves)


def nan_file():
    return curvedump.read_bytes(data_file((ONE, 0, [0x7FC00001, ONE], 8), (ONE, 0, [ONE], 4)))


def changed(curves, index, value):
    curves.series1[index] = value
    return curves


# Pairs of objects, and whether they are ==.
EQUALITY = [
    ("a file and its bytes (paths differ)",
     lambda: (curvedump.read(SAMPLES[0]), curvedump.read_bytes(SAMPLES[0].read_bytes())), True),
    ("NaN values equal themselves", lambda: (nan_file(), nan_file()), True),
    ("a pickled copy", lambda: (nan_file(), pickle.loads(pickle.dumps(nan_file()))), True),
    ("one value changed", lambda: (nan_file(), changed(nan_file(), 1, 2.0)), False),
    ("0.0 and -0.0", lambda: (changed(nan_file(), 1, 0.0), changed(nan_file(), 1, -0.0)), False),
    ("another scale, same values",
     lambda: (curvedump.read_bytes(data_file((ONE, 0, [0], 4), (ONE, 0, [ONE], 4))),
              curvedump.read_bytes(data_file((HALF, 0, [0], 4), (ONE, 0, [ONE], 4)))), False),
    ("not a Curves", lambda: (nan_file(), "x"), False),
]


@pytest.mark.parametrize("what, make, equal", EQUALITY, ids=[r[0] for r in EQUALITY])
def test_equality(what, make, equal):
    first, second = make()
    assert (first == second) is equal and (first != second) is not equal
    with pytest.raises(TypeError, match="unhashable"):
        hash(first)


def test_public_names(monkeypatch):
    names = (curvedump.Curves, curvedump.Error, curvedump.ShortFileWarning)
    assert [n.__module__ for n in names] == ["curvedump"] * 3
    assert issubclass(curvedump.ShortFileWarning, UserWarning)
    error = pickle.loads(pickle.dumps(curvedump.Error(5, "invalid", "x\r\ninvalid\r\n", "a.bin")))
    assert (error.status, error.message, error.filename, str(error)) == \
        (curvedump.Status.BAD_DESCRIPTOR, "invalid", "a.bin", "invalid: 'a.bin'")
    assert repr(error) == "<curvedump.Error status=5 (BAD_DESCRIPTOR) file='a.bin' " \
        "message='invalid'>"
    assert [int(s) for s in curvedump.Status] == list(range(6))
    monkeypatch.setitem(sys.modules, "pandas", None)  # as if pandas were not installed
    with pytest.raises(ImportError, match="needs pandas"):
        curvedump.read(SAMPLES[0]).to_pandas()


@pytest.fixture(name="typed_python", scope="module")
def fixture_typed_python(tmp_path_factory):
    """The interpreter of a virtual environment holding a copy of the
    package: from `cmake --install`'s staging prefix when the build folder
    is known (the venv then lives under it), else the package under test
    (an unpacked .deb). It sees the system's packages (numpy, mypy)."""
    build = os.environ.get("CURVEDUMP_BUILD_DIR")
    root = pathlib.Path(build, "typed-venv") if build else tmp_path_factory.mktemp("typed")
    shutil.rmtree(root, ignore_errors=True)
    package = pathlib.Path(curvedump.__file__).parent
    if build:
        subprocess.run([os.environ["CMAKE_COMMAND"], "--install", build, "--component", "python",
                        "--prefix", root / "staging"], check=True, capture_output=True)
        package = next((root / "staging").rglob("curvedump/py.typed")).parent
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    root / "venv"], check=True)
    python = root / "venv" / "bin" / "python"
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          check=True, capture_output=True, text=True).stdout.strip()
    shutil.copytree(package, pathlib.Path(site, "curvedump"))
    return python


MISUSE = """import curvedump
curves = curvedump.read("x.bin")
reveal_type(curves.series1)
size: str = curves.file_size
"""

BUFFER_USES = """import array, mmap
import numpy as np
import curvedump
curvedump.read_bytes(b""), curvedump.read_bytes(bytearray()), curvedump.read_bytes(memoryview(b""))
curvedump.read_bytes(array.array("h")), curvedump.read_bytes(mmap.mmap(-1, 1))
curvedump.read_bytes(np.zeros(1, np.uint8)), curvedump.read_bytes(np.zeros(1, np.float64))
curves: curvedump.Curves = curvedump.read_bytes(b"", short="ignore")
values, report = curvedump.read_frame(["a", b"b"], errors="record", short="error")
"""

# The checks of the installed package's types: command, status, what the
# output must hold.
TYPED_CHECKS = [
    ("mypy finds the types and reports the misuse",
     lambda py: [sys.executable, "-m", "mypy", "--python-executable", py, "--no-incremental",
                 "-c", MISUSE], 1,
     ['3: note: Revealed type is "numpy.ndarray[Any, numpy.dtype[numpy.floating[',
      '4: error: Incompatible types in assignment (expression has type "int", variable has '
      'type "str")', "Found 1 error in 1 file"]),
    ("mypy takes every buffer the docs list",
     lambda py: [sys.executable, "-m", "mypy", "--python-executable", py, "--no-incremental",
                 "-c", BUFFER_USES], 0, ["Success: no issues found"]),
    ("mypy flags Curves() and a str for read_bytes",
     lambda py: [sys.executable, "-m", "mypy", "--python-executable", py, "--no-incremental",
                 "-c", "import curvedump\ncurvedump.Curves()\ncurvedump.read_bytes('x')\n"], 1,
     ['2: error: Too few arguments for "Curves"', '3: error: Argument 1 to "read_bytes" has '
      'incompatible type "str"', "Found 2 errors in 1 file"]),
    ("stubtest: the stubs match the package",
     lambda py: [py, "-m", "mypy.stubtest", "curvedump", "--allowlist",
                 SOURCE / "python" / "stubtest_allowlist.txt"], 0, ["Success"]),
]


@pytest.mark.parametrize("what, command, status, expected", TYPED_CHECKS,
                         ids=[r[0] for r in TYPED_CHECKS])
def test_typed_package(what, command, status, expected, typed_python, tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    done = subprocess.run(command(typed_python), cwd=tmp_path, env=env, capture_output=True,
                          text=True, check=False)
    assert done.returncode == status, done.stdout + done.stderr
    assert all(line in done.stdout for line in expected), done.stdout
    # Every entry of the allowlist says why.
    entries = (SOURCE / "python" / "stubtest_allowlist.txt").read_text().splitlines()
    assert all("#" in line for line in entries if line and not line.startswith("#"))


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
    # read_frame in two threads at once, each reading on threads of its own.
    paths = [SAMPLES[0], SAMPLES[-1]] * 40
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        frames = list(pool.map(lambda _: curvedump.read_frame(paths, errors="record"), range(4)))
    assert all(v.equals(frames[0][0]) and r.equals(frames[0][1]) for v, r in frames)
    assert frames[0][1]["included"].sum() == sum(
        not isinstance(read_one(p, "warn"), Exception) for p in paths)
    # A process pool sends the function to its worker and the Curves back.
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        assert pool.submit(curvedump.read, SAMPLES[0]).result().text() == expected


# Ctrl-C while a read works or waits: a FIFO whose writer sends nothing
# never ends, so the signal always lands inside the module's reading (1 s
# in), whether the readers are still on the regular files or waiting.
INTERRUPTED = {
    "read of a FIFO whose writer sends nothing": lambda fifo, good: curvedump.read(fifo),
    "convert of a FIFO whose writer sends nothing": lambda fifo, good: curvedump.convert(fifo),
    "read_frame on threads, the FIFO first, then 300,000 files":
        lambda fifo, good: curvedump.read_frame([fifo] + [good] * 300_000),
    "read_frame one file at a time, 300,000 files, then the FIFO":
        lambda fifo, good: curvedump.read_frame([good] * 300_000 + [fifo], max_in_flight=1),
    "read_frame of 20 paths, the calling thread's":
        lambda fifo, good: curvedump.read_frame([good] * 19 + [fifo]),
}


def interrupted_read(what, folder):
    """In a child: SIGINT 1 s into the call; KeyboardInterrupt must come
    from the module within 5 s, with no thread or descriptor left."""
    good, fifo = os.path.join(folder, "good.bin"), os.path.join(folder, "silent.bin")
    shutil.copyfile(SAMPLES[0], good)
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # a writer that sends nothing
    descriptors = sorted(os.listdir("/proc/self/fd"))
    threads = sorted(os.listdir("/proc/self/task"))
    sent = []
    timer = threading.Timer(1.0, lambda: (sent.append(time.monotonic()),
                                          os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    with pytest.raises(KeyboardInterrupt) as raised:
        INTERRUPTED[what](fifo, os.fsencode(good))
    stopped = time.monotonic()
    timer.join()
    assert stopped - sent[0] < 5
    assert "_core." in traceback.extract_tb(raised.value.__traceback__)[-1].line
    # No reader thread left (the module joins them; the timer's own thread,
    # joined by Python, may take a moment more to be gone).
    for _ in range(500):
        if sorted(os.listdir("/proc/self/task")) == threads:
            break
        time.sleep(0.01)
    assert sorted(os.listdir("/proc/self/task")) == threads
    assert sorted(os.listdir("/proc/self/fd")) == descriptors
    os.close(writer)


@pytest.mark.parametrize("what", list(INTERRUPTED))
def test_ctrl_c_stops_a_read(what, tmp_path):
    if not hasattr(os, "mkfifo"):
        pytest.skip("needs a FIFO")
    in_child("interrupted_read", what, str(tmp_path))


# --- Short files per call ----------------------------------------------------

SHORT = data_file((ONE, 0, [ONE, 0x40000000], 8), (ONE, 0x40200000, [], 8), 300)


@pytest.mark.parametrize("short", ["warn", "ignore", "error"])
@pytest.mark.parametrize("reader", ["read", "read_bytes", "read_frame"])
def test_short_files_per_call(reader, short, tmp_path):
    path = tmp_path / "short.bin"
    path.write_bytes(SHORT)
    call = {"read": lambda: curvedump.read(path, short=short),
            "read_bytes": lambda: curvedump.read_bytes(SHORT, short=short),
            "read_frame": lambda: curvedump.read_frame([path] * 5, short=short)}[reader]
    shown = None if reader == "read_bytes" else str(path)
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        if short == "error":
            with pytest.raises(curvedump.ShortFileError) as raised:
                call()
        else:
            got = call()
    assert [w.category for w in warned] == [curvedump.ShortFileWarning] * (short == "warn")
    if short == "error":
        error = raised.value
        assert isinstance(error, ValueError)
        assert (error.filename, error.counts, error.file_size, error.series) == \
            (shown, (2, 2), 300, (2,))
        assert pickle.loads(pickle.dumps(error)).args == error.args
        return
    if reader == "read_frame":  # one warning for the call, naming the count and the first few
        values, report = got
        assert report["truncated"].all() and report["included"].all() and len(values) == 10
        assert short == "ignore" or str(warned[0].message).startswith(
            f"5 files with a series that runs past the end of the file ({str(path)!r}, "
            f"{str(path)!r}, {str(path)!r} and 2 more)")
    else:
        assert got.truncated and got.to_pandas().attrs == {"truncated": True}
        assert repr(got).endswith("file_size=300 truncated=True>")


# --- read_frame ----------------------------------------------------------------

def overlapping():
    """Series 2 at series 1's block: both read the same bytes."""
    data = bytearray(data_file((ONE, 0, [ONE, 0x40000000], 8), (HALF, ONE, [], 8)))
    struct.pack_into(">H", data, 162, 1)
    return bytes(data)


# An archive of every kind of file, by name: its bytes, or how to make it.
ARCHIVE = {
    "good.bin": lambda p: shutil.copyfile(SAMPLES[0], p),
    "nan-inf.bin": data_file((ONE, 0, [0x7FC00001, 0x7F800000, 0xFF800000], 12),
                             (ONE, 0, [0xFFC00000, 0, ONE], 12)),
    "overlapping.bin": overlapping(),
    "series2-empty.bin": data_file((ONE, 0, [ONE], 4), (ONE, 0, [], 0)),
    "short.bin": SHORT,
    "empty.bin": b"",
    "too-large.bin": bytes(32768),
    "bad-descriptor.bin": data_file((ONE, 0, [], 4), (ONE, 0, [], -4 & 0xFFFF)),
    "missing.bin": None,
    "folder.bin": lambda p: p.mkdir(),
    "fifo.bin": os.mkfifo,  # no writer: empty at once
    "zero.bin": lambda p: p.symlink_to("/dev/zero"),
}
# Lists of paths: every kind (and one given twice, with its other kind of
# name), and the files read() accepts. In Dask's rows, in partitions of 6,
# every partition's first failure is a refusal (curvedump.Error), since
# the partitions fail in any order.
PATH_LISTS = {
    "mixed": ["good.bin", "nan-inf.bin", "short.bin", "empty.bin", "fifo.bin", "zero.bin",
              "too-large.bin", "bad-descriptor.bin", "missing.bin", "folder.bin",
              "overlapping.bin", "series2-empty.bin", b"good.bin"],
    "readable": ["good.bin", "nan-inf.bin", "overlapping.bin", "series2-empty.bin",
                 "short.bin", "good.bin"],
}


def make_archive(root):
    for name, make in ARCHIVE.items():
        if isinstance(make, bytes):
            (root / name).write_bytes(make)
        elif make is not None:
            make(root / name)
    return root


PATH_LISTS["mixed, 65 paths: read on threads"] = PATH_LISTS["mixed"] * 5


def archive_paths(root, which):
    return [os.path.join(os.fsencode(root), name) if isinstance(name, bytes) else root / name
            for name in PATH_LISTS[which]]


def read_one(path, short):
    """What read() gives for path: a Curves or the exception it raises."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", curvedump.ShortFileWarning)
            return curvedump.read(path, short=short)
    except (OSError, curvedump.Error, curvedump.ShortFileError) as error:
        return error


def expected_report_row(path, got):
    """The report row read()'s outcome for path gives."""
    na = None
    shown = os.fsdecode(path)
    if isinstance(got, curvedump.Curves):
        return (shown, 0, "", na, got.truncated, *got.counts, got.file_size, True)
    if isinstance(got, curvedump.ShortFileError):
        return (shown, 0, str(got), na, True, *got.counts, got.file_size, False)
    if isinstance(got, OSError):
        return (shown, 2, got.strerror, got.errno, False, na, na, na, False)
    size = na if got.status == 4 else os.path.getsize(path)
    counts = (na, na) if got.status == 4 else (0, 0) if got.status == 3 else ("any", "any")
    return (shown, got.status, got.message, na, False, *counts, size, False)


def report_rows(report):
    return [tuple(None if v is pd_na() else v for v in row)
            for row in report.itertuples(index=False, name=None)]


def pd_na():
    import pandas  # pylint: disable=import-outside-toplevel
    return pandas.NA


VALUES_DTYPES = ["category", "int32", "float32", "float32"]
REPORT_DTYPES = ["category", "int8", "object", "Int32", "bool", "Int32", "Int32", "Int64", "bool"]


def assert_frames_read_as_read_does(paths, values, report, short):
    """values holds read(path).pairs() of every path read() accepts (but
    short ones under short="error"), in order; report one row per path."""
    outcomes = [read_one(path, short) for path in paths]
    shown = [os.fsdecode(path) for path in paths]
    assert [str(t) for t in values.dtypes] == VALUES_DTYPES
    assert [str(t) for t in report.dtypes] == REPORT_DTYPES
    assert list(values["file"].cat.categories) == list(dict.fromkeys(shown))
    assert report["file"].dtype == values["file"].dtype  # the same categories: joins on codes
    kept = [(i, name, got.pairs()) for i, (name, got) in enumerate(zip(shown, outcomes))
            if isinstance(got, curvedump.Curves)]
    assert values.index.tolist() == [i for i, _, rows in kept for _ in rows]
    assert report.index.tolist() == list(range(len(paths)))
    kept = [(name, rows) for _, name, rows in kept]
    assert values["file"].tolist() == [name for name, rows in kept for _ in rows]
    assert values["row"].tolist() == [i for _, rows in kept for i in range(len(rows))]
    assert bits(values[["series1", "series2"]].to_numpy()) == \
        bits(np.concatenate([rows for _, rows in kept] + [np.zeros((0, 2), np.float32)]))
    for row, want in zip(report_rows(report), map(expected_report_row, paths, outcomes)):
        assert row == tuple(r if w == "any" else w for r, w in zip(row, want))
    assert len(report) == len(paths)


# The same frames for every bound on the reads in flight (None: the
# default), on the calling thread or on threads of their own.
IN_FLIGHT = [(which, None) for which in PATH_LISTS] + [
    ("mixed, 65 paths: read on threads", 1), ("mixed, 65 paths: read on threads", 64),
    ("mixed, 65 paths: read on threads", 2**64)]


@pytest.mark.parametrize("short", ["warn", "ignore", "error"])
@pytest.mark.parametrize("errors", ["raise", "record"])
@pytest.mark.parametrize("which, max_in_flight", IN_FLIGHT, ids=[f"{w}, {m}" for w, m in IN_FLIGHT])
def test_read_frame_reads_as_read_does(which, max_in_flight, errors, short, tmp_path):
    paths = archive_paths(make_archive(tmp_path), which)
    bound = {} if max_in_flight is None else {"max_in_flight": max_in_flight}
    first_failure = next((got for got in (read_one(p, short) for p in paths)
                          if not isinstance(got, curvedump.Curves)), None)
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        if errors == "raise" and first_failure is not None:
            with pytest.raises(type(first_failure)) as raised:
                curvedump.read_frame(paths, errors=errors, short=short, **bound)
            assert raised.value.args == first_failure.args
            assert raised.value.filename == first_failure.filename
            return
        values, report = curvedump.read_frame(paths, errors=errors, short=short, **bound)
    assert len(warned) == (short == "warn")
    assert_frames_read_as_read_does(paths, values, report, short)


@pytest.mark.parametrize("paths, error, bound", [
    ("no-such-*.bin", FileNotFoundError, {}), (["x\0y.bin"], ValueError, {}),
    ("x\0*.bin", ValueError, {}), ([3], TypeError, {}),
    ("file:///tmp/a.bin", ValueError, {}), (["s3://bucket/a.bin"], ValueError, {}),
    ([], ValueError, {"max_in_flight": 0}), ([], TypeError, {"max_in_flight": 2.0}),
    ([], TypeError, {"max_in_flight": True})])
def test_read_frame_refuses_what_is_not_paths(paths, error, bound):
    with pytest.raises(error):
        curvedump.read_frame(paths, errors="record", **bound)


# --- Dask -----------------------------------------------------------------------

def need_dask():
    """curvedump.dask and distributed, or a skip (a failure when CI=true)."""
    try:
        import curvedump.dask  # pylint: disable=import-outside-toplevel,redefined-outer-name
        import distributed  # pylint: disable=import-outside-toplevel,unused-import
        return curvedump.dask
    except ImportError as missing:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{missing} (Debian: python3-dask python3-distributed)")
        pytest.skip(f"{missing} (Debian: python3-dask python3-distributed)")


@pytest.fixture(name="cluster", scope="session")
def fixture_cluster(tmp_path_factory):
    """One LocalCluster of 2 worker processes for the session, started in
    another working folder than the tests', as a real cluster's workers are."""
    need_dask()
    import distributed  # pylint: disable=import-outside-toplevel
    here = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("workers"))
    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=":0")
    finally:
        os.chdir(here)
    with cluster, distributed.Client(cluster) as client:
        assert set(client.run(os.getcwd).values()) != {here}
        yield client


def computed_in_dask(paths, scheduler, request, **options):
    """dask.compute of curvedump.dask.read_frame on the threads or the
    cluster, after checking the frames' shape against their meta."""
    cdask = need_dask()
    import dask  # pylint: disable=import-outside-toplevel
    frames = cdask.read_frame(paths, **options)
    got = dask.compute(*frames, scheduler=request.getfixturevalue("cluster")
                       if scheduler == "cluster" else "threads")
    for frame, computed in zip(frames, got):
        assert frame.known_divisions == (len(got[1]) > 0)  # the report has a row per path
        assert computed.index.is_monotonic_increasing
        if frame.known_divisions and len(computed):
            assert frame.divisions[0] <= computed.index[0] <= computed.index[-1] <= \
                frame.divisions[-1]
        assert frame.dtypes.astype(str).equals(computed.dtypes.astype(str))
        assert frame._meta.index.dtype == computed.index.dtype  # pylint: disable=protected-access
    return got


@pytest.mark.parametrize("errors, short", [("record", "warn"), ("record", "error"),
                                           ("raise", "ignore")])
@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
def test_dask_read_frame_gives_the_local_result(scheduler, errors, short, tmp_path, request,
                                                monkeypatch):
    cdask = need_dask()
    import dask  # pylint: disable=import-outside-toplevel
    client = request.getfixturevalue("cluster") if scheduler == "cluster" else None
    paths = archive_paths(make_archive(tmp_path), "mixed") * 2
    values, report = cdask.read_frame(paths, files_per_partition=6, errors=errors, short=short,
                                      max_in_flight=3)
    assert (values.npartitions, report.npartitions) == (5, 5)
    # The files' identities, stat'ed on the calling thread or, where stats
    # are slow, on many: the same for the same files.
    names = [os.fsencode(path) for path in paths] * 30  # three batches of stats
    quick = cdask._identities(names)  # pylint: disable=protected-access
    monkeypatch.setattr(cdask, "_QUICK_STAT", 0)
    stated = [os.path.exists(name) for name in names]
    assert (quick == cdask._identities(names))[stated].all()  # pylint: disable=protected-access
    assert (quick[:, 0] != cdask._identities(names)[:, 0])[np.logical_not(stated)].all()
    # A path that cannot be stat'ed (missing.bin) makes every read's tasks new.
    assert cdask.read_frame(paths, files_per_partition=6, errors=errors, short=short)[1]._name \
        != report._name
    assert values.divisions == report.divisions == (0, 6, 12, 18, 24, 25)
    assert str(values._meta["file"].dtype) == "category"  # pylint: disable=protected-access
    assert {key[0].rsplit("-", 1)[0] for key in values.__dask_graph__()} == \
        {"curvedump-read", "curvedump-values"}
    calls = []
    if client is None:  # the same process: count the partitions read
        read_frame = curvedump._read_frame  # pylint: disable=protected-access
        monkeypatch.setattr(curvedump, "_read_frame",
                            lambda *a, **k: calls.append(a[4]) or read_frame(*a, **k))
    scheduler = client or "threads"
    if errors == "raise":
        with pytest.raises(curvedump.Error):
            dask.compute(values, report, scheduler=scheduler)
        return
    got_values, got_report = dask.compute(values, report, scheduler=scheduler)
    # Each partition's files read once for both frames, with the bound given.
    assert client or calls == [3] * 5
    local = curvedump.read_frame(paths, errors=errors, short="ignore" if short == "warn" else short)
    assert got_values.equals(local[0]) and got_report.equals(local[1])
    # Joined by position, partition by partition, as locally.
    columns = ["status", "file_size"]
    joined = values.join(report[columns]).compute(scheduler=scheduler)
    assert joined.equals(local[0].join(local[1][columns]))


def changed_size(path):
    with open(path, "ab") as file:
        file.write(b"\0" * 64)


def changed_time(path):
    stat = os.stat(path)
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))


@pytest.mark.parametrize("change", [changed_size, changed_time], ids=["size", "time"])
def test_dask_reads_a_changed_file_again(change, tmp_path, request, monkeypatch):
    """A file changed while an earlier result is held on the cluster."""
    need_dask()
    client = request.getfixturevalue("cluster")
    paths = archive_paths(make_archive(tmp_path), "readable")
    (tmp_path / "again.bin").write_bytes(ARCHIVE["series2-empty.bin"])
    paths.append(tmp_path / "again.bin")
    held = client.persist(curvedump.dask.read_frame(paths, npartitions=2))
    assert curvedump.dask.read_frame(paths, npartitions=2)[0]._name == held[0]._name
    before = client.compute(held[1]).result()
    (tmp_path / "again.bin").write_bytes(ARCHIVE["nan-inf.bin"])
    change(tmp_path / "again.bin")
    values, report = computed_in_dask(paths, "cluster", request, npartitions=2)
    local = curvedump.read_frame(paths, errors="record", short="ignore")
    assert before["count1"].iloc[-1] == 1 and report["count1"].iloc[-1] == 3
    assert values.equals(local[0]) and report.equals(local[1])
    # The same files named otherwise, while their frames are held: shown as given.
    held = client.persist(curvedump.dask.read_frame(paths, npartitions=2))
    monkeypatch.chdir(tmp_path)
    relative = [os.path.basename(path) for path in paths]
    report = client.compute(curvedump.dask.read_frame(relative, npartitions=2)[1]).result()
    assert report["file"].tolist() == relative


# Where the paths come from, in both readers, from the archive's folder:
# what is given, and the files that are read (None: what is raised).
PATH_FORMS = [
    ("relative names", lambda: ["good.bin", "sub/deep.bin", "missing.bin"],
     ["good.bin", "sub/deep.bin", "missing.bin"]),
    ("a glob", lambda: "*.bin", ["bad-descriptor.bin", "data1.bin", "data[1].bin", "empty.bin",
                                 "fifo.bin", "good.bin", "nan-inf.bin", "overlapping.bin",
                                 "series2-empty.bin", "short.bin", "too-large.bin",
                                 "zero.bin"]),
    ("a bytes glob, ? and [...]", lambda: b"[eg]??*.bin", [b"empty.bin", b"good.bin"]),
    ("**, neither hidden folders nor links to folders walked into",
     lambda: pathlib.Path("**/deep*.bin"), ["sub/deep.bin", "sub/sub/deep2.bin"]),
    ("**/, hidden files named", lambda: "sub/**/.*", ["sub/.hidden.bin"]),
    ("a name with [ that exists", lambda: "data[1].bin", ["data[1].bin"]),
    ("an absolute glob", lambda: os.path.abspath("sub/*.bin"),
     lambda: [os.path.abspath("sub/deep.bin")]),
    ("a folder given alone: the files in it", lambda: "sub", ["sub/deep.bin"]),
    ("a folder with [ in its name, as it is", lambda: b"fold[1]", [b"fold[1]/a.bin"]),
    ("a folder with hidden files alone", lambda: "quiet", FileNotFoundError),
    ("the empty list", lambda: [], []),
    ("a pattern that matches nothing", lambda: "*.dat", FileNotFoundError),
    ("a URL", lambda: "file:///tmp/a.bin", ValueError),
]


def make_path_forms(root):
    make_archive(root)
    shutil.copyfile(SAMPLES[0], root / "data[1].bin")
    shutil.copyfile(SAMPLES[0], root / "data1.bin")
    elsewhere = root.with_name(root.name + "-elsewhere")
    for path in (root / "sub/deep.bin", root / "sub/sub/deep2.bin", root / "sub/.hidden.bin",
                 root / ".hide/deep3.bin", elsewhere / "deep4.bin", root / "quiet/.deep5.bin"):
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(SAMPLES[-1], path)
    shutil.copyfile(SAMPLES[0], (root / "fold[1]").mkdir() or root / "fold[1]" / "a.bin")
    os.symlink(elsewhere, root / "sub" / "link")
    os.symlink(root / "sub", root / "sub" / "sub" / "loop")


@pytest.mark.parametrize("reader", ["local", "threads", "cluster"])
@pytest.mark.parametrize("what, given, expected", PATH_FORMS, ids=[r[0] for r in PATH_FORMS])
def test_paths_as_the_caller_means_them(what, given, expected, reader, tmp_path, request,
                                        monkeypatch):
    if reader != "local":
        need_dask()
    make_path_forms(tmp_path)
    monkeypatch.chdir(tmp_path)
    expected = expected() if expected.__class__.__name__ == "function" else expected
    if not isinstance(expected, list):
        with pytest.raises(expected):
            curvedump.read_frame(given()) if reader == "local" else \
                curvedump.dask.read_frame(given())
        return
    local = curvedump.read_frame(given(), errors="record", short="ignore")
    assert local[1]["file"].tolist() == [os.fsdecode(p) for p in expected]
    assert all(a.equals(b) for a, b in zip(
        local, curvedump.read_frame(expected, errors="record", short="ignore")))
    if reader != "local":
        got = computed_in_dask(given(), reader, request, short="ignore", npartitions=2)
        assert got[0].equals(local[0]) and got[1].equals(local[1])
    # Joined on file (each path once): the categories match, so pandas
    # joins on the codes.
    columns = ["file", "status", "file_size"]
    joined = local[0].reset_index().merge(local[1][columns], on="file").set_index("index")
    expected = local[0].join(local[1][columns[1:]])
    assert joined[expected.columns].rename_axis(None).equals(expected)
    assert local[0].assign(**local[1][columns[1:]].reindex(local[0].index)).equals(expected)
