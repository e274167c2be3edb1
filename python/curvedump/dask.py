"""curvedump.read_frame on Dask: an archive read in partitions of files, on
any scheduler (threads, processes, a dask.distributed cluster). Needs dask
with its dataframe part (Debian: python3-dask; pip: curvedump[dask]).
"""

import dask
import dask.dataframe as dd
import pandas as pd

import curvedump


def _read_partition(names, errors, short, max_in_flight):
    """read_frame of one partition's paths: (values, report), with at most
    max_in_flight of its files read at once."""
    return curvedump._read_frame(names, errors, short,  # pylint: disable=protected-access
                                 max_in_flight)


def _meta():
    """Empty frames of the columns and dtypes every partition gives; the
    values' file column has unknown categories, since each partition's
    categories are its own paths."""
    values, report = curvedump.read_frame([], errors="record", short="ignore")
    values["file"] = values["file"].cat.set_categories([dd.utils.UNKNOWN_CATEGORIES])
    return values, report


def read_frame(paths, *, files_per_partition=1000, errors="record", short="warn",
               max_in_flight=curvedump._MAX_IN_FLIGHT):  # pylint: disable=protected-access
    """curvedump.read_frame as two Dask DataFrames, (values, report), made
    from the same tasks: one per partition of files_per_partition paths,
    each reading its files once for both, so that
    dask.compute(values, report) reads every file once.

    errors and short work as for curvedump.read_frame, in each partition:
    errors="raise" fails the computation at a partition's first failure;
    a ShortFileWarning of short="warn" is issued where the partition runs
    (a worker process keeps it), while the report's truncated column
    always travels. max_in_flight bounds the files each partition reads
    at once, as for curvedump.read_frame (the reads wait on the storage
    more than on a processor, so they need not be counted against the
    workers' threads). Paths must be str or bytes, or os.PathLike objects
    that pickle, for a scheduler in other processes.
    """
    if isinstance(paths, (str, bytes)) or hasattr(paths, "__fspath__"):
        raise TypeError("read_frame takes a collection of paths, not one path")
    if files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    if errors not in ("raise", "record"):
        raise ValueError(f"errors must be 'raise' or 'record', not {errors!r}")
    if short not in ("warn", "ignore", "error"):
        raise ValueError(f"short must be 'warn', 'ignore' or 'error', not {short!r}")
    curvedump._checked_in_flight(max_in_flight)  # pylint: disable=protected-access
    paths = list(paths)
    parts = [dask.delayed(_read_partition, pure=True)(paths[start:start + files_per_partition],
                                                       errors, short, max_in_flight)
             for start in range(0, len(paths), files_per_partition)]
    values_meta, report_meta = _meta()
    if not parts:
        return (dd.from_pandas(values_meta, npartitions=1),
                dd.from_pandas(report_meta, npartitions=1))
    # Every partition has the meta's columns and dtypes (read_frame makes both).
    values = dd.from_delayed([part[0] for part in parts], meta=values_meta, verify_meta=False)
    report = dd.from_delayed([part[1] for part in parts], meta=report_meta, verify_meta=False)
    return values, report


__all__ = ["read_frame"]
