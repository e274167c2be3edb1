"""Exact values of curvedump data files: the same decoding and scaling as the
curvedump tool, with every value as the single-precision number it is."""


class Error(ValueError):
    """A file the tool refuses, or an output it cannot write (a ValueError).

    status: the tool's exit status (1 output not created, not written or the
    input itself; 3 both series empty; 4 file too large; 5 invalid
    descriptor). message: the tool's message. console: all the console text
    the tool prints for it, the message line included.
    """

    def __init__(self, status, message, console):
        super().__init__(message)
        self.status = status
        self.message = message
        self.console = console

    def __reduce__(self):
        return (Error, (self.status, self.message, self.console))


# Imported after Error, which the extension raises.
from ._core import Curves, __version__  # noqa: E402
from . import _core  # noqa: E402


def read(path):
    """Reads and decodes the data file at path (str, bytes or os.PathLike).

    Raises curvedump.Error for a file the tool refuses, and OSError
    (FileNotFoundError, IsADirectoryError, PermissionError, ...) when the
    file cannot be opened or read. Other threads run while it reads.
    """
    return _core._read(path)


def read_bytes(data):
    """Decodes a data file's bytes (any bytes-like object), as read() does
    the file's."""
    return _core._read_bytes(data)


def convert(path):
    """Does what running the tool does: writes PATH.txt beside the file, with
    the tool's safety rules, and returns the console text.

    Raises curvedump.Error for a refused file or an output that cannot be
    created or written, or is the input itself (status 1), and OSError when
    the input cannot be opened or read.
    """
    return _core._convert(path)


__all__ = ["Curves", "Error", "convert", "read", "read_bytes", "__version__"]
