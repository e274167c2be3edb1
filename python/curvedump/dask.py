"""curvedump.read_frame on Dask: an archive read in partitions of files, on
any scheduler (threads, processes, a dask.distributed cluster). Needs dask
with its dataframe part (Debian: python3-dask; pip: curvedump[dask]).
"""

import concurrent.futures
import hashlib
import operator
import os
import time
import uuid

import dask.dataframe as dd
import numpy as np
from dask.highlevelgraph import HighLevelGraph

import curvedump

# pylint: disable=protected-access

# Paths are stat'ed in batches. Where a stat waits (a network file system
# waits on the server) many threads keep many in flight; where the first
# batch shows stats to be quick (a local disk, a warm cache), threads would
# cost more than they save, and the calling thread does them all.
_STAT_THREADS = 32
_STATS_PER_TASK = 256
_QUICK_STAT = 20e-6  # seconds


def _read_partition(names, shown, start, errors, short, max_in_flight):
    """read_frame of one partition's paths: (values, report), indexed from
    start, with at most max_in_flight of its files read at once."""
    return curvedump._read_frame(list(names), list(shown), errors, short, max_in_flight, start)


def _identities(names):
    """Each path's (device, inode, size, modification time in ns) as this
    process sees it, an int64 row per path; a path that cannot be stat'ed
    gets a row of random numbers, never the same twice."""
    found = np.zeros((len(names), 4), np.int64)

    def stat_some(begin):
        for i in range(begin, min(begin + _STATS_PER_TASK, len(names))):
            try:
                st = os.stat(names[i])
                found[i] = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
            except (OSError, ValueError, OverflowError):
                found[i] = np.frombuffer(uuid.uuid4().bytes * 2, np.int64)
    began = time.perf_counter()
    stat_some(0)
    quick = time.perf_counter() - began < _QUICK_STAT * _STATS_PER_TASK
    starts = range(_STATS_PER_TASK, len(names), _STATS_PER_TASK)
    if quick or len(starts) <= 1:
        for begin in starts:
            stat_some(begin)
    else:
        with concurrent.futures.ThreadPoolExecutor(min(_STAT_THREADS, len(starts))) as pool:
            list(pool.map(stat_some, starts))
    return found


def _token(names, shown, bounds, errors, short):
    """A name for this read's tasks: the same only for the same paths,
    shown the same, in the same partitions, with the same files behind them
    (so that a file changed since an earlier read is read again) and the
    same options."""
    digest = hashlib.sha256()
    for part in (curvedump.__version__, errors, short, repr(bounds)):
        digest.update(part.encode() + b"\0")
    for name in names:  # a name has no NUL: _names_and_shown refuses it
        digest.update(name + b"\0")
    for path in shown:
        digest.update(os.fsencode(path) + b"\0")
    digest.update(_identities(names).tobytes())
    return digest.hexdigest()[:32]


def _absolute(names):
    """Paths made absolute against this process' working folder, as the
    caller means them; a worker may work in another folder."""
    here = os.getcwdb()
    return [name if os.path.isabs(name) else os.path.join(here, name) for name in names]


def _bounds(count, files_per_partition, npartitions):
    """Where each partition's paths start, and the count at the end."""
    if files_per_partition is not None and npartitions is not None:
        raise ValueError("give files_per_partition or npartitions, not both")
    if npartitions is not None:
        npartitions = operator.index(npartitions)
        if npartitions < 1:
            raise ValueError("npartitions must be at least 1")
        parts = max(1, min(npartitions, count))
        return [i * count // parts for i in range(parts + 1)]
    per_partition = 1000 if files_per_partition is None else operator.index(files_per_partition)
    if per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    return list(range(0, count, per_partition)) + [count] if count else [0, 0]


def _meta():
    """Empty frames of the columns, dtypes and index every partition
    gives; both file columns have unknown categories, since each
    partition's categories are its own paths."""
    values, report = curvedump._read_frame([], [], "record", "ignore", 1)
    return dd.utils.clear_known_categories(values), dd.utils.clear_known_categories(report)


def read_frame(paths, *, files_per_partition=None, npartitions=None, errors="record",
               short="warn", max_in_flight=curvedump._MAX_IN_FLIGHT):
    """curvedump.read_frame as two Dask DataFrames, (values, report), made
    from the same tasks ("curvedump-read-..."): one per partition of
    files_per_partition paths (1000 when neither is given), or of
    npartitions partitions of paths, each reading its files once for both
    frames, so that dask.compute(values, report) reads every file once.

    paths: as for curvedump.read_frame (a glob pattern is expanded here).
    Relative paths are made absolute against this process' working folder;
    the report's file shows them as given. Both frames are indexed by the
    position of each path in the paths read, with known divisions, so that
    they join by position partition by partition. A file changed since an
    earlier read is read again.

    errors and short work as for curvedump.read_frame, in each partition:
    errors="raise" fails the computation at a partition's first failure;
    a ShortFileWarning of short="warn" is issued where the partition runs
    (a worker process keeps it), while the report's truncated column
    always travels. max_in_flight bounds the files each partition reads
    at once, as for curvedump.read_frame (the reads wait on the storage
    more than on a processor, so they need not be counted against the
    workers' threads).
    """
    curvedump._checked_modes(errors, short)
    curvedump._checked_in_flight(max_in_flight)
    given = curvedump._paths_given(paths)
    bounds = _bounds(len(given), files_per_partition, npartitions)
    names, shown = curvedump._names_and_shown(given)
    names = _absolute(names)
    token = _token(names, shown, bounds, errors, short)
    read_name = f"curvedump-read-{token}"
    reads = {(read_name, i): (_read_partition, tuple(names[start:stop]),
                              tuple(shown[start:stop]), start, errors, short, max_in_flight)
             for i, (start, stop) in enumerate(zip(bounds, bounds[1:]))}
    # Positions from the bounds; an empty read has none to know.
    divisions = (None, None) if not names else (*bounds[:-1], bounds[-1] - 1)
    return tuple(_frame(f"curvedump-{kind}-{token}", which, meta, read_name, reads, divisions)
                 for which, (kind, meta) in enumerate(zip(("values", "report"), _meta())))


def _concatenated(parts):
    """The computed partitions as one frame, those without rows included:
    their paths are categories of file too, as in curvedump.read_frame.
    (Dask's own concatenation leaves such partitions out.)"""
    parts = list(parts)
    return parts[0] if len(parts) == 1 else dd.methods.concat(parts, uniform=True)


class _Frame(dd.DataFrame):
    """A Dask DataFrame of read_frame's, which computes to the frame
    curvedump.read_frame gives, categories and all."""

    def __dask_postcompute__(self):
        return _concatenated, ()


def _frame(name, which, meta, read_name, reads, divisions):
    """Item `which` of every read task, as a Dask DataFrame."""
    parts = {(name, i): (operator.getitem, (read_name, i), which) for i in range(len(reads))}
    graph = HighLevelGraph({read_name: reads, name: parts},
                           {read_name: set(), name: {read_name}})
    return _Frame(graph, name, meta, divisions)


__all__ = ["read_frame"]
