"""Exact values of curvedump data files: the same decoding and scaling as the
curvedump tool, with every value as the single-precision number it is."""

import enum
import os
from typing import (Any, ClassVar, Dict, Iterable, Literal, NoReturn, Optional, Protocol,
                    SupportsIndex, Tuple, Union)

from _typeshed import ReadableBuffer

import numpy as np
import numpy.typing as npt
import pandas  # type: ignore[import]  # typed only with pandas-stubs

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# What read_bytes takes: bytes, bytearray, memoryview, array.array, mmap and
# numpy arrays (the last of any dtype but object, which read_bytes refuses
# when it runs).
_Bytes = Union[ReadableBuffer, "npt.NDArray[Any]"]
_Short = Literal["warn", "ignore", "error"]


class _BinaryFile(Protocol):
    def read(self, size: int = ..., /) -> Optional[bytes]: ...

__version__: str

class Status(enum.IntEnum):
    """The tool's exit statuses."""

    OK = 0
    OUTPUT = 1
    INPUT = 2
    NO_VALUES = 3
    TOO_LARGE = 4
    BAD_DESCRIPTOR = 5

class Error(ValueError):
    """A file the tool refuses, or an output that is the input (a ValueError)."""

    status: Status
    """The tool's exit status: 1 the output name leads to the input itself;
    3 both series empty; 4 file too large; 5 invalid descriptor."""
    message: str
    """The tool's message, without its line end."""
    console: str
    """All the console text the tool prints for it, message line included."""
    filename: Optional[str]
    """The file (the output for status 1), or None."""
    def __init__(
        self, status: int, message: str, console: str, filename: Optional[str] = None
    ) -> None: ...

class ShortFileWarning(UserWarning):
    """A series runs past the end of its file: its values there are zeros
    scaled."""

class ShortFileError(ValueError):
    """A series runs past the end of its file, under short="error"."""

    filename: Optional[str]
    """The file, or None for bytes."""
    counts: Tuple[int, int]
    """(count1, count2)."""
    file_size: int
    """The file's size in bytes."""
    series: Tuple[int, ...]
    """The series that run past the end of the file."""
    def __init__(
        self, filename: Optional[str], counts: Tuple[int, int], file_size: int,
        series: Tuple[int, ...]
    ) -> None: ...

class Curves:
    """The two series of a data file, decoded and scaled, from read() or
    read_bytes(). Each value is held once: series1 and series2 are writable
    views of one float32 store, and text(), pairs(), to_pandas(), == and
    pickles follow the current values."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Curves come from read() and read_bytes(): no argument can be given
    # here, so that a type checker flags Curves().
    def __new__(cls, _made_by_read: NoReturn, /) -> Curves: ...
    @property
    def path(self) -> Optional[str]:
        """The path read (os.fsdecode of it), a file object's name when that
        is a str or bytes, else None (always None from read_bytes)."""
    @property
    def file_size(self) -> int:
        """The number of bytes in the file."""
    @property
    def blocks(self) -> Tuple[int, int]:
        """(block1, block2): where each series starts, in 256-byte blocks."""
    @property
    def lengths(self) -> Tuple[int, int]:
        """(length1, length2): each series' size in bytes, as the header gives it."""
    @property
    def counts(self) -> Tuple[int, int]:
        """(count1, count2): the number of values of each series (length // 4)."""
    @property
    def scales(self) -> Tuple[float, float]:
        """(scale1, scale2): the stored single-precision factors, exactly."""
    @property
    def offsets(self) -> Tuple[float, float]:
        """(offset1, offset2): the stored single-precision offsets, exactly."""
    @property
    def truncated(self) -> bool:
        """True when a series with values runs past the end of the file."""
    @property
    def series1(self) -> npt.NDArray[np.float32]:
        """Series 1 scaled: a writable float32 view of its values."""
    @series1.setter
    def series1(self, value: npt.ArrayLike) -> None: ...
    @property
    def series2(self) -> npt.NDArray[np.float32]:
        """Series 2 scaled: a writable float32 view of its values, the longer
        series' tail included."""
    @series2.setter
    def series2(self, value: npt.ArrayLike) -> None: ...
    def text(self) -> bytes:
        """The bytes the tool writes to PATH.txt for the current values."""
    def console(self) -> str:
        """The console lines the tool prints before its "converting" line."""
    def pairs(self) -> npt.NDArray[np.float32]:
        """The rows of the output file as an (n, 2) float32 array."""
    def to_pandas(self) -> pandas.DataFrame:
        """pairs() as a DataFrame with float32 columns series1 and series2."""
    def __eq__(self, other: object) -> bool: ...
    def __sizeof__(self) -> int: ...
    def __reduce_ex__(self, protocol: SupportsIndex) -> Tuple[Any, ...]: ...
    def __getstate__(self) -> Dict[str, object]: ...
    def __setstate__(self, state: Dict[str, object]) -> None: ...

def read(source: Union[_Path, _BinaryFile], *, short: _Short = ...) -> Curves:
    """Reads and decodes a data file: a path or a binary file object.

    Raises Error for a file the tool refuses, OSError (FileNotFoundError,
    IsADirectoryError, PermissionError, ...) when it cannot be opened or
    read, and ValueError for a path with a NUL in it. For a file that a
    series runs past the end of, short="warn" issues ShortFileWarning,
    "ignore" nothing, and "error" raises ShortFileError."""

def read_bytes(data: _Bytes, *, short: _Short = ...) -> Curves:
    """Decodes a data file's bytes (any bytes-like object of plain data), as
    read() does the file's."""

def read_frame(
    paths: Union[_Path, Iterable[_Path]],
    *,
    errors: Literal["raise", "record"] = ...,
    short: _Short = ...,
    max_in_flight: int = ...,
) -> Tuple[pandas.DataFrame, pandas.DataFrame]:
    """Reads every path, or the files a single path's glob pattern names:
    (values, report), both indexed by the position of each path. values has
    the columns file (categorical), row (int32), series1 and series2
    (float32); report one row per path: file (categorical, the categories
    of values' file), status, message, errno, truncated, count1, count2,
    file_size, included."""

def convert(path: _Path) -> str:
    """Writes PATH.txt beside the file as the tool does, with its safety
    rules, and returns the console text. Raises OSError when the input
    cannot be read or the output cannot be written (filename: that file),
    and Error for a refused file or an output name that leads to the input
    itself (status 1)."""
