"""Exact values of curvedump data files: the same decoding and scaling as the
curvedump tool, with every value as the single-precision number it is.

read(path or binary file) and read_bytes(data) give a Curves; read_frame(paths)
reads an archive into one DataFrame of values and one of what befell each
file; convert(path) does what running the tool does. curvedump.dask reads an
archive on a Dask cluster. The reference is docs/python.md
(installed as /usr/share/doc/python3-curvedump/python.md).
"""

import copyreg
import enum
import errno
import fnmatch
import io
import os
import re
import sys
import warnings

import numpy as np

from . import _core

__version__ = _core.__version__

_IMAGE_SIZE = _core.image_size


class Status(enum.IntEnum):
    """The tool's exit statuses."""

    OK = 0
    OUTPUT = 1  # the output cannot be written, or is the input itself
    INPUT = 2  # the input cannot be opened or read
    NO_VALUES = 3  # both series empty (the tool's "Cannot allocate memory")
    TOO_LARGE = 4  # the file fills 32,768 bytes
    BAD_DESCRIPTOR = 5  # a descriptor points outside the file's image


class Error(ValueError):
    """A file the tool refuses, or an output that is the input (a ValueError).

    status: the tool's exit status, a Status (1 the output name leads to
    the input itself; 3 both series empty; 4 file too large; 5 invalid
    descriptor).
    message: the tool's message, without its line end. console: all the
    console text the tool prints for it, the message line included.
    filename: the file (the output for status 1) as a str, or None.
    """

    def __init__(self, status, message, console, filename=None):
        super().__init__(message)
        try:
            self.status = Status(status)
        except ValueError:  # a status of another release: kept as it is
            self.status = status
        self.message = message
        self.console = console
        self.filename = filename

    def __str__(self):
        if self.filename is None:
            return str(self.message)
        return f"{self.message}: {self.filename!r}"

    def __repr__(self):
        name = f" ({self.status.name})" if isinstance(self.status, Status) else ""
        return (f"<curvedump.Error status={int(self.status)}{name} file={self.filename!r} "
                f"message={self.message!r}>")

    def __reduce__(self):
        return (Error, (int(self.status), self.message, self.console, self.filename))


class ShortFileWarning(UserWarning):
    """A series runs past the end of its file (block * 256 + 4 * count is
    more than the file's size): its values there are zeros scaled, as the
    tool writes them. warnings.simplefilter("error", ShortFileWarning) makes
    it an error; so does short="error"."""


class ShortFileError(ValueError):
    """A series runs past the end of its file, under short="error".

    filename: the file as a str, or None for bytes. counts: (count1,
    count2). file_size: the file's size. series: the series that run past
    its end, (1,), (2,) or (1, 2).
    """

    def __init__(self, filename, counts, file_size, series):
        self.filename = filename
        self.counts = tuple(counts)
        self.file_size = file_size
        self.series = tuple(series)
        super().__init__(self._text())

    def _text(self):
        which = " and ".join(str(n) for n in self.series)
        runs = "run" if len(self.series) > 1 else "runs"
        return (f"{'the bytes given' if self.filename is None else repr(self.filename)}: "
                f"series {which} {runs} past the end of the file of {self.file_size} bytes "
                f"(counts {self.counts[0]} and {self.counts[1]})")

    def __reduce__(self):
        return (ShortFileError, (self.filename, self.counts, self.file_size, self.series))


_SHORT_MODES = ("warn", "ignore", "error")


def _checked_short(short):
    if short not in _SHORT_MODES:
        raise ValueError(f"short must be one of {', '.join(map(repr, _SHORT_MODES))}, "
                         f"not {short!r}")
    return short


def _past_end_series(past_end):
    return tuple(n for n in (1, 2) if past_end & n)


def _shown(name):
    """A path as str, as os.fsdecode gives it; None for anything else."""
    return os.fsdecode(name) if isinstance(name, (str, bytes)) else None


def _system_name(path):
    """(the bytes the system is given, the path as shown)."""
    path = os.fspath(path)
    return os.fsencode(path), os.fsdecode(path)


def _last_line(console):
    lines = console.splitlines()
    return lines[-1] if lines else ""


def _warn_short(shown, past_end, stacklevel):
    for series in (1, 2):
        if past_end & series:
            warnings.warn(
                f"{'the bytes given' if shown is None else repr(shown)}: series {series} runs "
                "past the end of the file; its values there are read from zero bytes, as the "
                "tool reads them", ShortFileWarning, stacklevel=stacklevel + 1)


def _out_of_memory(status, counts):
    """Whether a status 3 is an allocation that failed rather than a file
    with both series empty, which the tool reports alike."""
    return status == Status.NO_VALUES and any(counts)


def _memory_error(shown):
    return MemoryError("Cannot allocate memory" if shown is None else
                       f"Cannot allocate memory: {shown!r}")


def _console_counts(console):
    """(count1, count2) from the console's first line (block1 block2
    length1 length2), each length // 4 rounded toward zero as the tool
    does; (1, 1) when the console has no such line, as when memory ran out
    before the header was printed."""
    fields = console.split("\r\n", 1)[0].split()
    if len(fields) != 4 or not all(f.lstrip("-").isdigit() for f in fields):
        return (1, 1)
    return tuple(int(int(length) / 4) for length in fields[2:])


def _curves(result, shown, short):
    """A Curves from what _core.decode_file or decode_bytes gives, or the
    refusal raised. The values stay in the store _core made: a float32
    array over memory a C++ object owns, which numpy cannot resize and
    nothing can free while the series are views of it."""
    if _out_of_memory(result.status, result.fields[4:6]):
        raise _memory_error(shown)
    if result.status != 0:
        raise Error(result.status, _last_line(result.console), result.console, shown)
    if result.past_end and short == "error":
        raise ShortFileError(shown, result.fields[4:6], result.file_size,
                             _past_end_series(result.past_end))
    curves = object.__new__(Curves)  # Curves.__new__ refuses everyone else
    curves._fields = result.fields
    curves._file_size = result.file_size
    curves._path = shown
    curves._values = result.values
    if short == "warn":
        _warn_short(shown, result.past_end, 3)
    return curves


_STATE_KEYS = {"fields", "file_size", "path", "values"}


def _checked_state(state):
    """The state of a pickled Curves, checked before anything uses it:
    TypeError for a wrong type, ValueError for a wrong value."""
    if not isinstance(state, dict):
        raise TypeError("Curves state: a dict expected")
    if set(state) != _STATE_KEYS:
        raise ValueError(f"Curves state: the keys {sorted(_STATE_KEYS)} expected")
    fields, file_size, path, values = (state[k] for k in ("fields", "file_size", "path", "values"))
    if type(fields) is not tuple or len(fields) != 10 or any(type(f) is not int for f in fields):
        raise TypeError("Curves state: fields must be a tuple of 10 ints")
    if type(file_size) is not int or type(values) is not bytes:
        raise TypeError("Curves state: file_size must be an int and values bytes")
    if path is not None and type(path) is not str:
        raise TypeError("Curves state: path must be a str or None")
    if not all(-32768 <= f < 32768 for f in fields[:6]) or \
            not all(0 <= f < 2**32 for f in fields[6:]):
        raise ValueError("Curves state: a descriptor field out of its range")
    if not _core.descriptors_fit(fields):
        raise ValueError("Curves state: a descriptor no file can have")
    if fields[4] + fields[5] == 0 or not 0 <= file_size < _IMAGE_SIZE:
        raise ValueError("Curves state: no values, or a file size no file can have")
    if len(values) != 4 * (fields[4] + fields[5]):
        raise ValueError("Curves state: values do not match the counts")
    return fields, file_size, path, _core.store(values)


class Curves:
    """The two series of a data file, decoded and scaled, from read() or
    read_bytes().

    Each value is held once, in one float32 store: series1 and series2 are
    writable views of it, and text(), pairs(), to_pandas(), == and pickles
    all follow the current values. Curves() and Curves.__new__(Curves)
    raise TypeError.
    """

    __slots__ = ("_fields", "_file_size", "_path", "_values", "__weakref__")
    __hash__ = None  # type: ignore[assignment]

    def __new__(cls, *args, **kwargs):
        raise TypeError("Curves are made by curvedump.read() and curvedump.read_bytes()")

    @property
    def path(self):
        """The path read, as a str (os.fsdecode of it); a file object's name
        when that is a str or bytes; else None (always None from
        read_bytes)."""
        return self._path

    @property
    def file_size(self):
        """The number of bytes in the file."""
        return self._file_size

    @property
    def blocks(self):
        """(block1, block2): where each series starts, in 256-byte blocks."""
        return self._fields[0], self._fields[1]

    @property
    def lengths(self):
        """(length1, length2): each series' size in bytes, as the header
        gives it."""
        return self._fields[2], self._fields[3]

    @property
    def counts(self):
        """(count1, count2): the number of values of each series
        (length // 4)."""
        return self._fields[4], self._fields[5]

    @property
    def scales(self):
        """(scale1, scale2): the stored single-precision factors, exactly."""
        return _core.to_double(self._fields[6]), _core.to_double(self._fields[7])

    @property
    def offsets(self):
        """(offset1, offset2): the stored single-precision offsets,
        exactly."""
        return _core.to_double(self._fields[8]), _core.to_double(self._fields[9])

    @property
    def truncated(self):
        """True when a series with values runs past the end of the file
        (block * 256 + 4 * count > file_size): its values there are zeros
        scaled. read() issues ShortFileWarning for such a file, or raises
        ShortFileError under short="error"."""
        return _core.past_end(self._fields, self._file_size) != 0

    def _assign(self, part, value):
        target = self._values[part]
        source = np.asarray(value)
        # Numpy's casting rule for ufunc outputs: float64 and integers are
        # rounded to float32; complex numbers, strings and objects are refused.
        if not np.can_cast(source.dtype, target.dtype, casting="same_kind"):
            raise TypeError(f"values of type {source.dtype} cannot be stored as float32")
        if source.shape != target.shape:
            raise ValueError(f"a one-dimensional array of {target.shape[0]} values expected, "
                             f"not one of shape {source.shape}")
        # Cast apart first: a cast that fails (an overflow warning made an
        # error, say) leaves the values as they were.
        np.copyto(target, source.astype(target.dtype, casting="same_kind"))

    @property
    def series1(self):
        """Series 1 scaled: a writable float32 view of its values.
        Assigning copies a one-dimensional array of the same length into it
        (numpy's same_kind casting), or raises TypeError or ValueError."""
        return _core.store_view(self._values.base, 0, self._fields[4])

    @series1.setter
    def series1(self, value):
        self._assign(slice(0, self._fields[4]), value)

    @property
    def series2(self):
        """Series 2 scaled: a writable float32 view of its values (the
        longer series' tail included, which the text file leaves out).
        Assigning works as for series1."""
        return _core.store_view(self._values.base, self._fields[4], len(self._values))

    @series2.setter
    def series2(self, value):
        self._assign(slice(self._fields[4], None), value)

    def text(self):
        """The bytes the tool writes to PATH.txt for the current values: for
        an object unchanged since it was read, the tool's own text."""
        bits = self._values.view(np.uint32)
        return _core.text(bits[:self._fields[4]], bits[self._fields[4]:])

    def console(self):
        """The console lines the tool prints before its "converting" line."""
        return _core.console(self._fields)

    def pairs(self):
        """The rows of the output file as an (n, 2) float32 array (a copy of
        the current values): n is the shorter series' count."""
        count = min(self._fields[4], self._fields[5])
        return np.stack((self.series1[:count], self.series2[:count]), axis=1)

    def to_pandas(self):
        """pairs() as a pandas DataFrame with float32 columns series1 and
        series2; its attrs["truncated"] is truncated. Needs pandas (Debian:
        python3-pandas)."""
        try:
            import pandas  # pylint: disable=import-outside-toplevel
        except ImportError as missing:
            raise ImportError("Curves.to_pandas() needs pandas, which is not installed "
                              "(Debian: python3-pandas; pip: pandas)") from missing
        rows = self.pairs()
        frame = pandas.DataFrame({"series1": rows[:, 0], "series2": rows[:, 1]})
        frame.attrs["truncated"] = self.truncated
        return frame

    def __eq__(self, other):
        """The same descriptors and the same bits in every value (a NaN
        equals itself; 0.0 and -0.0 differ); path, file_size and truncated
        are not compared."""
        if not isinstance(other, Curves):
            return NotImplemented
        return self._fields == other._fields and \
            np.array_equal(self._values.view(np.uint32), other._values.view(np.uint32))

    def __repr__(self):
        return (f"<curvedump.Curves path={self._path!r} counts={self.counts} "
                f"file_size={self._file_size} truncated={self.truncated}>")

    def __sizeof__(self):
        # The values with the object, so that sys.getsizeof (and Dask's
        # sizeof, which falls back on it) sees what a Curves holds.
        return object.__sizeof__(self) + self._values.nbytes

    def __reduce_ex__(self, protocol):
        # Every protocol makes the object as _curves() does and hands it the
        # state, which __setstate__ checks; pickles name curvedump.Curves.
        return copyreg._reconstructor, (type(self), object, None), self.__getstate__()

    def __getstate__(self):
        return {"fields": self._fields, "file_size": self._file_size, "path": self._path,
                "values": self._values.astype("<f4", copy=False).tobytes()}

    def __setstate__(self, state):
        self._fields, self._file_size, self._path, self._values = _checked_state(state)


def _read_file_object(file, shown):
    """The first bytes of a binary file object: .read() until it gives b""
    or one byte more than the tool accepts has come."""
    data = bytearray()
    while len(data) < _IMAGE_SIZE:
        chunk = file.read(_IMAGE_SIZE - len(data))
        if chunk is None:
            raise BlockingIOError(errno.EAGAIN, "the file object has no data ready", shown)
        try:
            chunk = memoryview(chunk).cast("B")
        except TypeError:
            raise TypeError("read() takes a binary file object: its read() gave "
                            f"{type(chunk).__name__}, not bytes") from None
        if not chunk:
            break
        data += chunk
    return data


def read(source, *, short="warn"):
    """Reads and decodes a data file: source is a path (str, bytes or
    os.PathLike) or a binary file object (anything with .read()).

    Raises curvedump.Error for a file the tool refuses, OSError
    (FileNotFoundError, IsADirectoryError, PermissionError, ...) when the
    file cannot be opened or read, and ValueError for a path with a NUL in
    it; both carry filename. For a file that a series runs past the end of,
    short="warn" issues ShortFileWarning, "ignore" nothing, and "error"
    raises ShortFileError. Other threads run while it reads.
    """
    _checked_short(short)
    if hasattr(source, "read"):
        if isinstance(source, io.TextIOBase):
            raise TypeError("read() takes a binary file object, not a text one "
                            "(open the file with mode 'rb')")
        shown = _shown(getattr(source, "name", None))
        return _curves(_core.decode_bytes(_read_file_object(source, shown)), shown, short)
    name, shown = _system_name(source)
    result = _core.decode_file(name)
    if result.error != 0:
        raise OSError(result.error, os.strerror(result.error), shown)
    return _curves(result, shown, short)


# Buffer item formats (the struct module's codes, as memoryview gives
# them) whose bytes are plain data: numbers and bytes, no pointers.
_PLAIN_FORMATS = frozenset("bBhHiIlLqQnNefd?c") | {"Zf", "Zd"}


def read_bytes(data, *, short="warn"):
    """Decodes a data file's bytes (any bytes-like object of plain data:
    its bytes in order, whatever its item type or layout), as read() does
    the file's. The Curves' path is None. Raises TypeError for an object
    that is not bytes-like, or whose items are not numbers or bytes (an
    object array's pointers, say). short works as for read()."""
    _checked_short(short)
    try:
        view = memoryview(data)
    except ValueError as refused:  # numpy's datetimes, say, which have no buffer format
        raise TypeError(f"read_bytes takes a bytes-like object of plain data: {refused}") from None
    item = view.format.lstrip("@=<>!")
    if item not in _PLAIN_FORMATS:
        raise TypeError(f"read_bytes takes a bytes-like object of plain data, not one of "
                        f"items of format {view.format!r}")
    if view.ndim != 1 or view.itemsize != 1:
        if view.c_contiguous:
            view = view.cast("B")
        else:  # the items in order, as many as hold the bytes the tool reads
            items = np.asarray(view).flat[:-(-_IMAGE_SIZE // view.itemsize)]
            view = memoryview(items.tobytes())
    elif item != "B":
        view = view.cast("B")
    return _curves(_core.decode_bytes(view), None, short)


def convert(path):
    """Does what running the tool does: writes PATH.txt beside the file,
    with the tool's safety rules, and returns the console text.

    Raises OSError when the input cannot be opened or read (filename: the
    input) or the output cannot be created or written (PermissionError,
    IsADirectoryError, FileNotFoundError, OSError with ENOSPC, ...;
    filename: the output), curvedump.Error for a refused file or an output
    name that leads to the input itself (status 1), and ValueError for a
    path with a NUL in it. Issues ShortFileWarning, after writing, for a
    file that a series runs past the end of.
    """
    name, shown = _system_name(path)
    done = _core.convert(name)
    if done.status == Status.INPUT:
        error = done.input_error or errno.EIO
        raise OSError(error, os.strerror(error), shown)
    if done.output_error != 0:
        raise OSError(done.output_error, os.strerror(done.output_error), shown + ".txt")
    if _out_of_memory(done.status, _console_counts(done.console)):
        raise _memory_error(shown)
    if done.status != 0:
        raise Error(done.status, _last_line(done.console), done.console,
                    shown + ".txt" if done.status == Status.OUTPUT else shown)
    _warn_short(shown, done.past_end, 2)
    return done.console


_ERRORS_MODES = ("raise", "record")
# Files below this many are read on the calling thread alone: starting a
# thread costs more than reading a few files.
_FILES_PER_THREAD = 64
# read_frame's bound on the reads in flight (see its docstring).
_MAX_IN_FLIGHT = 32


def _first_failure(read, shown, short):
    """The exception read() would raise for the first path, in the order
    given, that fails; None when none fails."""
    failed = (read.status != 0) | ((read.past_end != 0) & (short == "error"))
    if not failed.any():
        return None
    i = int(np.argmax(failed))
    if read.error[i] != 0:
        number = int(read.error[i])
        return OSError(number, os.strerror(number), shown[i])
    if _out_of_memory(read.status[i], (read.count1[i], read.count2[i])):
        return _memory_error(shown[i])
    if read.status[i] != 0:
        console = read.consoles[i]
        return Error(int(read.status[i]), _last_line(console), console, shown[i])
    return ShortFileError(shown[i], (int(read.count1[i]), int(read.count2[i])),
                          int(read.file_size[i]), _past_end_series(int(read.past_end[i])))


def _warn_short_files(shown, past_end):
    """One ShortFileWarning for all the short files of a read_frame call."""
    short_files = [shown[i] for i in np.flatnonzero(past_end)]
    if not short_files:
        return
    named = ", ".join(map(repr, short_files[:3]))
    more = f" and {len(short_files) - 3} more" if len(short_files) > 3 else ""
    warnings.warn(f"{len(short_files)} file{'s' if len(short_files) > 1 else ''} with a series "
                  f"that runs past the end of the file ({named}{more}); their values there are "
                  "read from zero bytes, as the tool reads them, and the report's truncated "
                  "column marks them", ShortFileWarning, stacklevel=4)


# A URL's scheme and "//": two letters at least, so that a drive letter
# ("C://data") is not one.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+://")
_GLOB_MAGIC = re.compile(r"[*?[]")


def _refuse_url(path):
    """ValueError for a path (str) that is a URL and names no local file."""
    if _URL.match(path) and not os.path.lexists(path):
        raise ValueError(f"paths are local: {path!r} is a URL, which read_frame cannot read "
                         "(fetch the files first, or give their local paths)")


def _entries(folder, pattern):
    """The names in folder (a str, "" for the working folder) that match
    one component of a pattern; names that start with "." only for a
    pattern that does too, as glob skips them."""
    try:
        with os.scandir(folder or os.curdir) as found:
            names = [entry.name for entry in found]
    except OSError:  # not a folder, or one that cannot be listed: no match
        return []
    hidden = pattern.startswith(".")
    return [name for name in names
            if (hidden or not name.startswith(".")) and fnmatch.fnmatchcase(name, pattern)]


def _folders_below(folder):
    """folder and every folder below it, hidden ones and links to folders
    left out (so that a link cannot lead the walk in a circle)."""
    found = [folder]
    for at in found:
        try:
            with os.scandir(at or os.curdir) as entries:
                found.extend(os.path.join(at, e.name) for e in entries
                             if not e.name.startswith(".") and e.is_dir(follow_symlinks=False))
        except OSError:
            pass
    return found


def _glob(pattern):
    """The files (not folders) that a glob pattern (str) names, sorted:
    *, ? and [...] within a component, ** for any depth of folders."""
    anchor, rest = os.path.splitdrive(pattern)
    parts = re.split(r"[\\/]" if os.altsep else "/", rest)
    if parts[0] == "":  # an absolute pattern
        anchor += os.sep
    parts = [part for part in parts if part]
    bases = [anchor]
    for last, part in ((i == len(parts) - 1, part) for i, part in enumerate(parts)):
        if part == "**":
            bases = [below for base in bases for below in _folders_below(base)]
            if last:
                bases = [os.path.join(base, name) for folder in bases
                         for name in _entries(folder, "*")]
        elif _GLOB_MAGIC.search(part):
            bases = [os.path.join(base, name) for base in bases for name in _entries(base, part)]
        else:
            bases = [os.path.join(base, part) for base in bases]
            bases = [base for base in bases if os.path.lexists(base)]
        if not last:
            bases = [base for base in bases if os.path.isdir(base)]
    return sorted({base for base in bases if not os.path.isdir(base)})


def _folder_files(given, folder):
    """The files in a folder named alone, as the pattern FOLDER/* names
    them (its name taken as it is, not as a pattern): sorted, hidden ones
    and folders left out; FileNotFoundError when there is none."""
    found = sorted(path for path in (os.path.join(folder, name) for name in _entries(folder, "*"))
                   if not os.path.isdir(path))
    if not found:
        raise FileNotFoundError(errno.ENOENT, "no file in the folder", folder)
    return [os.fsencode(path) for path in found] if isinstance(given, bytes) else found


def _paths_given(paths):
    """The paths a read_frame call reads. A single str, bytes or
    os.PathLike names one existing file, or else is a glob pattern; a
    collection is a list of paths, never expanded."""
    if not isinstance(paths, (str, bytes, os.PathLike)):
        return list(paths)
    given = os.fspath(paths)
    pattern = os.fsdecode(given)
    if "\0" in pattern:  # as open() refuses it
        raise ValueError(f"embedded null byte in {pattern!r}")
    if os.path.isdir(given):
        return _folder_files(given, pattern)
    if os.path.lexists(given):
        return [paths]
    _refuse_url(pattern)
    found = _glob(pattern)
    if not found:
        raise FileNotFoundError(errno.ENOENT, "no file matches the pattern", pattern)
    return [os.fsencode(path) for path in found] if isinstance(given, bytes) else found


def _names_and_shown(paths):
    """(the bytes the system is given, the paths as shown) of a list of
    paths; ValueError for a URL or a NUL."""
    encoding, errors = sys.getfilesystemencoding(), sys.getfilesystemencodeerrors()
    names, shown = [], []
    for path in paths:  # os.fsencode and os.fsdecode, without their calls
        path = os.fspath(path)
        if isinstance(path, str):
            names.append(path.encode(encoding, errors))
            shown.append(path)
        else:
            names.append(path)
            shown.append(os.fsdecode(path))
    # Looked for in all the names at once, then the first one named.
    everything = b"\n".join(names)
    if b"\0" in everything:
        first = next(path for name, path in zip(names, shown) if b"\0" in name)
        raise ValueError(f"embedded null byte in {first!r}")
    if b"://" in everything:
        for name, path in zip(names, shown):
            if b"://" in name:
                _refuse_url(path)
    return names, shown


def read_frame(paths, *, errors="raise", short="warn",
               max_in_flight=_MAX_IN_FLIGHT):
    """Reads every path (str, bytes or os.PathLike) and returns (values,
    report), two pandas DataFrames.

    paths: a collection of paths, each read as it is; or one str, bytes or
    os.PathLike: the file it names when there is one, the files in the
    folder it names (as FOLDER/* with the name taken as it is), else a glob
    pattern
    (*, ?, [...] and ** for any depth of folders; names that start with
    "." only where the pattern's component does; links to folders not
    walked into by **; folders left out; sorted). A pattern that matches
    nothing raises FileNotFoundError, a URL ValueError (paths are local).

    values: the output rows of every file read, in the order of the paths,
    with the columns file (categorical: the distinct paths as given,
    os.fsdecode of each), row (int32, the row's number in its file),
    series1 and series2 (float32): for each file, read(path).pairs(); its
    index is the position of the row's path in the paths read.
    report: one row per path, in order, indexed by its position: file
    (categorical, the categories of values' file), status (0 or the tool's
    status 2 to 5), message, errno (nullable), truncated, count1, count2,
    file_size (nullable where the file was not read whole) and included
    (its rows are in values).

    errors="raise" raises what read() would for the first path that fails;
    errors="record" records each file's failure in the report instead.
    short: "warn" (one ShortFileWarning for the call), "ignore", or
    "error" (a short file fails: ShortFileError, or a report row with
    included false).

    max_in_flight: at most this many files are read at once, each on a
    thread of its own, while other Python threads run (fewer than 64
    files: one at a time, on the calling thread). Two threads a processor
    start; all max_in_flight once the reads show that they wait on the
    storage. The default, 32, hides the latency of a network or FUSE
    mount; a warm local disk never needs more than the first threads
    (docs/performance.md); 1 reads one file at a time. Ctrl-C
    (any signal whose handler raises) stops the readers and raises within
    about 0.1 s, also while a read waits on a FIFO.
    """
    _checked_modes(errors, short)
    _checked_in_flight(max_in_flight)
    names, shown = _names_and_shown(_paths_given(paths))
    return _read_frame(names, shown, errors, short, max_in_flight)


def _checked_in_flight(max_in_flight):
    if isinstance(max_in_flight, bool) or not isinstance(max_in_flight, int):
        raise TypeError(f"max_in_flight must be an int, not {type(max_in_flight).__name__}")
    if max_in_flight < 1:
        raise ValueError(f"max_in_flight must be at least 1, not {max_in_flight}")
    return max_in_flight


def _checked_modes(errors, short):
    if errors not in _ERRORS_MODES:
        raise ValueError(f"errors must be 'raise' or 'record', not {errors!r}")
    _checked_short(short)


def _read_frame(names, shown, errors, short, max_in_flight, start=0):
    """read_frame of names (bytes, as the system is given them), shown as
    `shown`, with at most max_in_flight files read at once; both frames'
    index counts the paths from `start`."""
    try:
        import pandas as pd  # pylint: disable=import-outside-toplevel
    except ImportError as missing:
        raise ImportError("curvedump.read_frame() needs pandas, which is not installed "
                          "(Debian: python3-pandas; pip: pandas)") from missing
    categories = list(dict.fromkeys(shown))
    # The codes' type is the one pandas gives a Categorical of this many
    # categories, so that it takes the file column as it is.
    code_type = (np.int8 if len(categories) < 127 else np.int16 if len(categories) < 32767
                 else np.int32)
    if len(categories) == len(shown):  # each path once: its code is its position
        codes = np.arange(len(shown), dtype=code_type)
    else:
        code_of = {path: code for code, path in enumerate(categories)}
        codes = np.fromiter((code_of[path] for path in shown), code_type, len(shown))
    # No more threads than files (and so a bound of any size is taken).
    threads = min(max_in_flight, len(names)) if len(names) >= _FILES_PER_THREAD else 1
    read = _core.read_files(names, codes, threads, short != "error", start)
    if errors == "raise":
        failure = _first_failure(read, shown, short)
        if failure is not None:
            raise failure
    # One dtype for both file columns: the same categories, so that the
    # frames join on file by its codes.
    file_dtype = pd.CategoricalDtype(pd.Index(categories, dtype=object))
    values = pd.DataFrame({
        "file": pd.Categorical.from_codes(read.file, dtype=file_dtype),
        "row": read.row, "series1": read.series1, "series2": read.series2},
        index=pd.Index(read.position, copy=False), copy=False)
    message = np.full(len(shown), "", dtype=object)
    for i, console in read.consoles.items():
        message[i] = _last_line(console)
    for i in np.flatnonzero(read.error):
        message[i] = os.strerror(int(read.error[i]))
    if short == "error":
        for i in np.flatnonzero(read.past_end):
            message[i] = str(ShortFileError(
                shown[i], (int(read.count1[i]), int(read.count2[i])), int(read.file_size[i]),
                _past_end_series(int(read.past_end[i]))))
    unread = read.file_size < 0
    undecoded = (read.error != 0) | (read.status == Status.TOO_LARGE)
    report = pd.DataFrame({
        "file": pd.Categorical.from_codes(codes, dtype=file_dtype),
        "status": read.status,
        "message": message,
        "errno": pd.arrays.IntegerArray(read.error, read.error == 0),
        "truncated": read.past_end != 0,
        "count1": pd.arrays.IntegerArray(read.count1, undecoded),
        "count2": pd.arrays.IntegerArray(read.count2, undecoded.copy()),
        "file_size": pd.arrays.IntegerArray(read.file_size, unread),
        "included": read.included}, index=pd.RangeIndex(start, start + len(shown)))
    if short == "warn":
        _warn_short_files(shown, read.past_end)
    return values, report


__all__ = ["Curves", "Error", "ShortFileError", "ShortFileWarning", "Status", "convert", "read",
           "read_bytes", "read_frame", "__version__"]
