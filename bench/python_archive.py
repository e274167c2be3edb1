"""An archive of 20,000 files into one DataFrame, three ways:

- numpy_loop: the file read by hand with numpy, one thread, the frame
  built with np.concatenate and a categorical file column (the baseline);
- curvedump.read_frame;
- curvedump.dask.read_frame, files_per_partition=1000, on a LocalCluster
  of 2 worker processes started before the clock, with a default Client
  (results come to it through the scheduler) and with one made with
  direct_to_workers=True (results fetched from the workers themselves).

The files (50 to 200 values in both series, from a seeded generator) are
made in a temporary folder and read once before timing, so that the cache
is warm. Each round times the three in turn; with --rounds N the medians
follow. Prints the ratios against read_frame and the bytes a row of its
values take (values.memory_usage(deep=True) / rows), its columns alone
and with its index.

usage: PYTHONPATH=build/dev/python /usr/bin/python3 bench/python_archive.py [--rounds N]
"""
import argparse
import os
import random
import statistics
import struct
import tempfile
import time

import dask
import numpy as np
import pandas as pd
from dask.distributed import Client, LocalCluster

import curvedump
import curvedump.dask

FILES = 20_000


def numpy_loop(paths):
    s1, s2, codes = [], [], []
    for i, p in enumerate(paths):
        with open(p, "rb") as f:
            b = f.read()
        b += bytes(32768 - len(b))
        series = []
        for table in (144, 160):
            _, block, _, length = struct.unpack_from(">hhhh", b, table)
            scale, offset = struct.unpack_from(">ff", b, table + 8)
            raw = np.frombuffer(b, ">f4", length // 4, block * 256).astype(np.float64)
            series.append((raw * scale + offset).astype(np.float32))
        n = min(len(series[0]), len(series[1]))
        s1.append(series[0][:n]); s2.append(series[1][:n]); codes.append(np.full(n, i, np.int32))
    return pd.DataFrame({"file": pd.Categorical.from_codes(np.concatenate(codes), paths),
                         "row": np.concatenate([np.arange(len(a), dtype=np.int32) for a in s1]),
                         "series1": np.concatenate(s1), "series2": np.concatenate(s2)})


def make_file(path, generator):
    """Series 1 at block 1, series 2 in the blocks after it, both of the
    same count (a time and a signal, say)."""
    counts = [generator.randint(50, 200)] * 2
    blocks = [1, 1 + -(-4 * counts[0] // 256)]
    data = bytearray(256 * blocks[1] + 4 * counts[1])
    for table, block, count in zip((144, 160), blocks, counts):
        scale, offset = generator.uniform(1e-3, 10.0), generator.uniform(-100.0, 100.0)
        struct.pack_into(">hhhhff", data, table, 0, block, 0, 4 * count, scale, offset)
        struct.pack_into(f">{count}f", data, 256 * block,
                         *(generator.uniform(-1e4, 1e4) for _ in range(count)))
    with open(path, "wb") as file:
        file.write(data)


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=1)
    rounds = parser.parse_args().rounds
    generator = random.Random(25)
    with tempfile.TemporaryDirectory() as folder, \
            LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, \
            Client(cluster) as through_scheduler, \
            Client(cluster, direct_to_workers=True, set_as_default=False) as direct:
        paths = [os.path.join(folder, f"{i:05}.dat") for i in range(FILES)]
        for path in paths:
            make_file(path, generator)
        for path in paths:  # a warm cache
            with open(path, "rb") as file:
                file.read()

        def with_dask(client):
            parts = curvedump.dask.read_frame(paths, files_per_partition=1000)
            return dask.compute(*parts, scheduler=client)

        times = {"numpy_loop": [], "read_frame": [], "dask": [], "dask_direct": []}
        for _ in range(rounds):
            seconds, baseline = timed(lambda: numpy_loop(paths))
            times["numpy_loop"].append(seconds)
            seconds, (values, report) = timed(lambda: curvedump.read_frame(paths))
            times["read_frame"].append(seconds)
            seconds, (dask_values, _) = timed(lambda: with_dask(through_scheduler))
            times["dask"].append(seconds)
            seconds, (direct_values, _) = timed(lambda: with_dask(direct))
            times["dask_direct"].append(seconds)
            print("round: " + ", ".join(f"{k} {v[-1]:.3f} s" for k, v in times.items()))
        assert report["included"].all() and len(values) == len(baseline)
        assert dask_values.equals(values)
        assert direct_values.equals(values)
        median = {k: statistics.median(v) for k, v in times.items()}
        print(f"{FILES} files, {len(values)} rows; medians of {rounds} round(s), load average "
              f"{os.getloadavg()[0]:.2f}")
        for name, seconds in median.items():
            print(f"  {name:10} {seconds:7.3f} s")
        print(f"read_frame / numpy_loop: {median['read_frame'] / median['numpy_loop']:.3f} "
              "(target <= 0.333)")
        # Dask against the loop too: read_frame has become quicker than
        # Dask's scheduling, which bounds the Dask reader on one machine.
        print(f"dask / read_frame:       {median['dask'] / median['read_frame']:.2f}, "
              f"fetched from the workers: {median['dask_direct'] / median['read_frame']:.2f}; "
              f"dask / numpy_loop: {median['dask'] / median['numpy_loop']:.2f}")
        # The columns against the target; the index (each row's file's
        # position, int64) on top.
        columns = values.memory_usage(deep=True, index=False).sum() / len(values)
        print(f"values: {columns:.2f} bytes a row in its columns (target <= 15), "
              f"{values.memory_usage(deep=True).sum() / len(values):.2f} with its index; "
              f"numpy_loop's frame: {baseline.memory_usage(deep=True).sum() / len(baseline):.2f}")


if __name__ == "__main__":
    main()
