"""curvedump.read_frame on Dask: an archive read in partitions of files."""

from typing import Any, Iterable, Literal, Tuple

from . import _Path

def read_frame(
    paths: Iterable[_Path],
    *,
    files_per_partition: int = ...,
    errors: Literal["raise", "record"] = ...,
    short: Literal["warn", "ignore", "error"] = ...,
    max_in_flight: int = ...,
) -> Tuple[Any, Any]:
    """curvedump.read_frame as two Dask DataFrames, (values, report), from
    the same tasks, so that dask.compute(values, report) reads every file
    once."""
