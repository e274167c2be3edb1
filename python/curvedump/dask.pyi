"""curvedump.read_frame on Dask: an archive read in partitions of files."""

from typing import Any, Iterable, Literal, Optional, Tuple, Union

from . import _Path

def read_frame(
    paths: Union[_Path, Iterable[_Path]],
    *,
    files_per_partition: Optional[int] = ...,
    npartitions: Optional[int] = ...,
    errors: Literal["raise", "record"] = ...,
    short: Literal["warn", "ignore", "error"] = ...,
    max_in_flight: int = ...,
) -> Tuple[Any, Any]:
    """curvedump.read_frame as two Dask DataFrames, (values, report), from
    the same tasks, so that dask.compute(values, report) reads every file
    once; indexed by each path's position, with known divisions."""
