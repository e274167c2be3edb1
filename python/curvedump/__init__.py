"""Exact values of curvedump data files: the same decoding and scaling as the
curvedump tool, with every value as the single-precision number it is.

read(path or binary file) and read_bytes(data) give a Curves; convert(path)
does what running the tool does. The reference is docs/python.md
(installed as /usr/share/doc/python3-curvedump/python.md).
"""

import copyreg
import errno
import io
import os
import sys
import warnings

import numpy as np

from . import _core

__version__ = _core.__version__

_IMAGE_SIZE = _core.image_size


class Error(ValueError):
    """A file the tool refuses, or an output that is the input (a ValueError).

    status: the tool's exit status (1 the output name leads to the input
    itself; 3 both series empty; 4 file too large; 5 invalid descriptor).
    message: the tool's message, without its line end. console: all the
    console text the tool prints for it, the message line included.
    filename: the file (the output for status 1) as a str, or None.
    """

    def __init__(self, status, message, console, filename=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.console = console
        self.filename = filename

    def __str__(self):
        if self.filename is None:
            return str(self.message)
        return f"{self.message}: {self.filename!r}"

    def __reduce__(self):
        return (Error, (self.status, self.message, self.console, self.filename))


class ShortFileWarning(UserWarning):
    """A series runs past the end of its file (block * 256 + 4 * count is
    more than the file's size): its values there are zeros scaled, as the
    tool writes them. warnings.simplefilter("error", ShortFileWarning) makes
    it an error."""


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


def _store(values):
    """The float32 store over a bytearray of native values: numpy views it
    without owning it, so that nothing can resize or reshape it while the
    series are views of it."""
    return np.frombuffer(values, np.float32)


def _warn_short(shown, past_end, stacklevel):
    for series in (1, 2):
        if past_end & series:
            warnings.warn(
                f"{'the bytes given' if shown is None else repr(shown)}: series {series} runs "
                "past the end of the file; its values there are read from zero bytes, as the "
                "tool reads them", ShortFileWarning, stacklevel=stacklevel + 1)


def _curves(result, shown):
    """A Curves from what _core.decode_file or decode_bytes gives, or the
    refusal raised."""
    status, fields, file_size, past_end, values, console = result
    if status != 0:
        raise Error(status, _last_line(console), console, shown)
    curves = object.__new__(Curves)  # Curves.__new__ refuses everyone else
    curves._fields = fields
    curves._file_size = file_size
    curves._path = shown
    curves._values = _store(values)
    _warn_short(shown, past_end, 3)
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
    if sys.byteorder != "little":
        values = np.frombuffer(values, "<f4").astype(np.float32).tobytes()
    return fields, file_size, path, _store(bytearray(values))


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
        scaled. read() issues ShortFileWarning for such a file."""
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
        return self._values[:self._fields[4]]

    @series1.setter
    def series1(self, value):
        self._assign(slice(0, self._fields[4]), value)

    @property
    def series2(self):
        """Series 2 scaled: a writable float32 view of its values (the
        longer series' tail included, which the text file leaves out).
        Assigning works as for series1."""
        return self._values[self._fields[4]:]

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
        series2. Needs pandas (Debian: python3-pandas)."""
        try:
            import pandas  # pylint: disable=import-outside-toplevel
        except ImportError as missing:
            raise ImportError("Curves.to_pandas() needs pandas, which is not installed "
                              "(Debian: python3-pandas; pip: pandas)") from missing
        rows = self.pairs()
        return pandas.DataFrame({"series1": rows[:, 0], "series2": rows[:, 1]})

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
                f"file_size={self._file_size}>")

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


def read(source):
    """Reads and decodes a data file: source is a path (str, bytes or
    os.PathLike) or a binary file object (anything with .read()).

    Raises curvedump.Error for a file the tool refuses, OSError
    (FileNotFoundError, IsADirectoryError, PermissionError, ...) when the
    file cannot be opened or read, and ValueError for a path with a NUL in
    it; both carry filename. Issues ShortFileWarning for a file that
    a series runs past the end of. Other threads run while it reads.
    """
    if hasattr(source, "read"):
        if isinstance(source, io.TextIOBase):
            raise TypeError("read() takes a binary file object, not a text one "
                            "(open the file with mode 'rb')")
        shown = _shown(getattr(source, "name", None))
        return _curves(_core.decode_bytes(_read_file_object(source, shown)), shown)
    name, shown = _system_name(source)
    error, result = _core.decode_file(name)
    if error != 0:
        raise OSError(error, os.strerror(error), shown)
    return _curves(result, shown)


def read_bytes(data):
    """Decodes a data file's bytes (any bytes-like object: its bytes in
    order, whatever its item type or layout), as read() does the file's. The
    Curves' path is None. Raises TypeError for an object that is not
    bytes-like."""
    view = memoryview(data)
    if view.ndim != 1 or view.itemsize != 1:
        if view.c_contiguous:
            view = view.cast("B")
        else:  # the items in order, as many as hold the bytes the tool reads
            items = np.asarray(view).flat[:-(-_IMAGE_SIZE // view.itemsize)]
            view = memoryview(items.tobytes())
    return _curves(_core.decode_bytes(view), None)


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
    status, console, input_error, output_error, past_end = _core.convert(name)
    if status == 2:
        error = input_error or errno.EIO
        raise OSError(error, os.strerror(error), shown)
    if output_error != 0:
        raise OSError(output_error, os.strerror(output_error), shown + ".txt")
    if status != 0:
        raise Error(status, _last_line(console), console, shown + ".txt" if status == 1 else shown)
    _warn_short(shown, past_end, 2)
    return console


__all__ = ["Curves", "Error", "ShortFileWarning", "convert", "read", "read_bytes", "__version__"]
