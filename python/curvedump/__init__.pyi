"""Exact values of curvedump data files: the same decoding and scaling as the
curvedump tool, with every value as the single-precision number it is."""

import os
from typing import Tuple, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Bytes = Union[bytes, bytearray, memoryview, "npt.NDArray[np.uint8]"]

__version__: str

class Error(ValueError):
    """A file the tool refuses, or an output it cannot write."""

    status: int
    """The tool's exit status: 1 output not created, not written or the input
    itself; 3 both series empty; 4 file too large; 5 invalid descriptor."""
    message: str
    """The tool's message, without its line end."""
    console: str
    """All the console text the tool prints for it, message line included."""
    def __init__(self, status: int, message: str, console: str) -> None: ...

class Curves:
    """The two series of a data file, decoded and scaled."""

    @property
    def blocks(self) -> Tuple[int, int]:
        """(block1, block2): where each series starts, in 256-byte blocks."""
    @property
    def lengths(self) -> Tuple[int, int]:
        """(length1, length2): each series' size in bytes, as the header gives it."""
    @property
    def scales(self) -> Tuple[float, float]:
        """(scale1, scale2): the stored single-precision factors, exactly."""
    @property
    def offsets(self) -> Tuple[float, float]:
        """(offset1, offset2): the stored single-precision offsets, exactly."""
    series1: npt.NDArray[np.float32]
    """Series 1 scaled: all its values. The arrays are the caller's: changing
    them leaves text() as read."""
    series2: npt.NDArray[np.float32]
    """Series 2 scaled: all its values, the longer series' tail included."""
    def text(self) -> bytes:
        """The exact bytes the tool writes to PATH.txt."""
    def console(self) -> str:
        """The console lines the tool prints before its "converting" line."""

def read(path: _Path) -> Curves:
    """Reads and decodes the data file at path.

    Raises Error for a file the tool refuses, and OSError (FileNotFoundError,
    IsADirectoryError, PermissionError, ...) when it cannot be opened or read,
    and ValueError for a path with a NUL in it. Other threads run while it
    reads."""

def read_bytes(data: _Bytes) -> Curves:
    """Decodes a data file's bytes (any bytes-like object), as read() does
    the file's."""

def convert(path: _Path) -> str:
    """Writes PATH.txt beside the file as the tool does, with its safety rules,
    and returns the console text. Raises Error for a refused file or an output
    that cannot be created or written, or is the input itself (status 1), and
    OSError when the input cannot be opened or read."""
