"""The Python module on one file (the largest the tool accepts), and more:

- time to get its values, three ways: curvedump.read (exact), the usual
  numpy reader (double precision, rounded once: inexact), and running the
  tool then reading its text with numpy.loadtxt (five digits);
- on every INPUT, curvedump.read against the numpy reader in paired
  rounds (the two alternate, the order swapped every round): the median of
  the ratios, goal at most 0.7;
- memory: RSS per Curves held, against the bytes of its values;
- files per second: a ProcessPoolExecutor against a plain loop, and
  threads (the module lets other threads run while it reads).

usage: PYTHONPATH=build/dev/python /usr/bin/python3 bench/python_read.py TOOL INPUT [INPUT...]
(bench/make_largest writes INPUT: `make_largest PATH` two disjoint series,
8,127 values; `make_largest PATH both` both series over the same 8,127
values, 16,254 to scale.)
"""
import concurrent.futures
import os
import statistics
import struct
import subprocess
import sys
import threading
import time
import warnings

import numpy as np

import curvedump


def numpy_reader(path):
    """What people write by hand: one rounding from double precision."""
    with open(path, "rb") as f:
        data = f.read()
    series = []
    for table in (144, 160):
        block, _, length = struct.unpack_from(">hhh", data, table + 2)
        scale, offset = struct.unpack_from(">ff", data, table + 8)
        raw = np.frombuffer(data, ">f4", count=length // 4, offset=256 * block)
        series.append((scale * raw.astype(np.float64) + offset).astype(np.float32))
    return series


def tool_and_loadtxt(tool, path):
    subprocess.run([tool, path], stdout=subprocess.DEVNULL, check=True)
    return np.loadtxt(path + ".txt")


def per_call(function, repeat):
    """Median over 7 rounds of the mean time of one call, in seconds."""
    rounds = []
    for _ in range(7):
        start = time.perf_counter()
        for _ in range(repeat):
            function()
        rounds.append((time.perf_counter() - start) / repeat)
    return statistics.median(rounds)


def paired(path, rounds=41, repeat=300):
    """curvedump.read and the numpy reader alternately, the order swapped
    every round: each one's median time of a call, and the median of the
    ratios read / numpy reader."""
    ratios, reads, by_hand = [], [], []
    for k in range(rounds):
        timed = {}
        for name in (("read", "numpy") if k % 2 == 0 else ("numpy", "read")):
            function = (lambda: curvedump.read(path)) if name == "read" else (
                lambda: numpy_reader(path))
            start = time.perf_counter()
            for _ in range(repeat):
                function()
            timed[name] = (time.perf_counter() - start) / repeat
        reads.append(timed["read"])
        by_hand.append(timed["numpy"])
        ratios.append(timed["read"] / timed["numpy"])
    return statistics.median(reads), statistics.median(by_hand), statistics.median(ratios)


def rss():
    """Resident memory of this process, in bytes."""
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def files_per_second(function, count):
    start = time.perf_counter()
    function(count)
    return count / (time.perf_counter() - start)


def main():
    tool, path = sys.argv[1], sys.argv[2]
    warnings.simplefilter("error", curvedump.ShortFileWarning)  # the input must be whole
    print(f"load average: {os.getloadavg()[0]:.2f}")
    for each in sys.argv[2:]:
        read, by_hand, ratio = paired(each)
        values = sum(len(s) for s in numpy_reader(each))
        print(f"paired, {each} ({values} values): read {read * 1e6:.1f} us, numpy reader "
              f"{by_hand * 1e6:.1f} us, median ratio {ratio:.2f} (goal: at most 0.7)")
    module = per_call(lambda: curvedump.read(path), 2000)
    by_hand = per_call(lambda: numpy_reader(path), 2000)
    process = per_call(lambda: tool_and_loadtxt(tool, path), 50)
    print(f"input: {path} ({os.path.getsize(path)} bytes)")
    print(f"curvedump.read (exact):            {module * 1e6:8.1f} us")
    print(f"numpy reader (inexact):            {by_hand * 1e6:8.1f} us"
          f"   read / numpy reader: {module / by_hand:.2f} (goal: at most 0.7)")
    print(f"tool + numpy.loadtxt (5 digits):   {process * 1e6:8.1f} us"
          f"   tool + loadtxt / read: {process / module:.0f}")

    held = 1000
    values = curvedump.read(path)
    arrays = values.series1.nbytes + values.series2.nbytes
    before = rss()
    kept = [curvedump.read(path) for _ in range(held)]
    grown = (rss() - before) / len(kept)
    print(f"RSS per Curves held ({held}): {grown:8.0f} bytes; its arrays: {arrays} bytes; "
          f"beyond them: {grown - arrays:6.0f} bytes (goal: at most 4096)")
    del kept

    def loop(count):
        for _ in range(count):
            curvedump.read(path)

    def pool(count):
        with concurrent.futures.ProcessPoolExecutor() as executor:
            for _ in executor.map(curvedump.read, [path] * count, chunksize=64):
                pass

    files = 20000
    print(f"plain loop:                    {files_per_second(loop, files):8.0f} files/s")
    print(f"ProcessPoolExecutor ({os.cpu_count()} workers): "
          f"{files_per_second(pool, files):8.0f} files/s")

    def threads(count):
        readers = [threading.Thread(target=loop, args=(count // 2,)) for _ in range(2)]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join()

    print(f"2 threads:                     {files_per_second(threads, files):8.0f} files/s")


if __name__ == "__main__":
    main()
