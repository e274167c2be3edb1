"""The Python module against the tool itself: the same bytes, the same
refusals, and the exact values, double rounding included.

Needs CURVEDUMP_EXE (the tool) and CURVEDUMP_SOURCE_DIR in the environment,
and the module on PYTHONPATH (the build tree, or an unpacked package).
"""
import concurrent.futures
import os
import pathlib
import shutil
import struct
import subprocess
import threading

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


@pytest.mark.parametrize("sample", SAMPLES, ids=lambda p: p.name)
def test_same_bytes_and_refusals_as_the_tool(sample, tmp_path):
    path = tmp_path / sample.name
    shutil.copyfile(sample, path)
    status, console, output = run_tool(path)
    if output is not None:
        os.remove(path.with_name(path.name + ".txt"))
    data = path.read_bytes()
    readers = [
        lambda: curvedump.read(path),
        lambda: curvedump.read_bytes(data),
        lambda: curvedump.read_bytes(bytearray(data)),
        # Views whose bytes are not next to each other: reversed twice, and
        # every other byte of each byte doubled.
        lambda: curvedump.read_bytes(memoryview(data[::-1])[::-1]),
        lambda: curvedump.read_bytes(np.repeat(np.frombuffer(data, np.uint8), 2)[::2]),
    ]
    for read in readers:
        if status == 0:
            curves = read()
            assert curves.text() == output
            header = curves.console().encode()
            assert console == header + b"converting : %s -> %s.txt\r\n" % (
                os.fsencode(path), os.fsencode(path))
        else:
            with pytest.raises(curvedump.Error) as refused:
                read()
            assert (refused.value.status, refused.value.console.encode()) == (status, console)
    # convert() does what the tool does.
    if status == 0:
        assert curvedump.convert(path).encode() == console
        assert path.with_name(path.name + ".txt").read_bytes() == output
    else:
        with pytest.raises(curvedump.Error) as refused:
            curvedump.convert(path)
        assert (refused.value.status, refused.value.console.encode()) == (status, console)


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
    curves = curvedump.read_bytes(data)
    assert (curves.blocks, curves.lengths, curves.offsets) == ((1, 2), (12, 8), (0.0, 2.5))
    assert bits(curves.series1) == [ONE, 0x40000000, 0x40400000]
    assert curves.series2.tolist() == [2.5, 2.5]
    assert curves.text().count(b"\r\n") == 2  # the text pairs only the first two
    curves.series1[:] = 0  # the arrays are the caller's own
    assert curves.series1.flags.owndata and curves.text().startswith(b" 1.0000e+00")


REFUSALS = [
    ("file too large", lambda p: p.write_bytes(bytes(32768)), curvedump.read, 4, "memory overflow"),
    ("bytes too large", None, lambda p: curvedump.read_bytes(bytes(40000)), 4, "memory overflow"),
    ("invalid descriptor", lambda p: p.write_bytes(data_file((ONE, 0, [], 4), (ONE, 0, [], -4 & 0xFFFF))),
     curvedump.read, 5, "invalid descriptor for series 2"),
    ("both series empty", lambda p: p.write_bytes(b""), curvedump.read, 3, "Cannot allocate memory"),
    ("output is a directory",
     lambda p: (p.write_bytes(data_file((ONE, 0, [ONE], 4), (ONE, 0, [ONE], 4))),
                p.with_name("x.bin.txt").mkdir()),
     curvedump.convert, 1, "cannot open {}.txt"),
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
    assert curvedump.read(kind(path)).lengths == (800, 800)
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
