"""Time to get a file's values into Python, per file, three ways: the module
(curvedump.read, exact), the usual numpy reader (double precision, rounded
once: inexact), and running the tool then reading its text with
numpy.loadtxt (five digits).

usage: PYTHONPATH=build/dev/python /usr/bin/python3 bench/python_read.py TOOL INPUT
(bench/run.sh makes the largest input the tool accepts.)
"""
import os
import statistics
import struct
import subprocess
import sys
import threading
import time

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


def main():
    tool, path = sys.argv[1], sys.argv[2]
    module = per_call(lambda: curvedump.read(path), 2000)
    by_hand = per_call(lambda: numpy_reader(path), 2000)
    process = per_call(lambda: tool_and_loadtxt(tool, path), 50)
    print(f"input: {path} ({os.path.getsize(path)} bytes)")
    print(f"curvedump.read (exact):            {module * 1e6:8.1f} us")
    print(f"numpy reader (inexact):            {by_hand * 1e6:8.1f} us"
          f"   read / numpy reader: {module / by_hand:.2f} (goal: at most 3)")
    print(f"tool + numpy.loadtxt (5 digits):   {process * 1e6:8.1f} us"
          f"   tool + loadtxt / read: {process / module:.0f} (goal: at least 20)")

    # The lock is released while a file is read and decoded, so threads
    # read files in parallel.
    def reader(count):
        for _ in range(count):
            curvedump.read(path)

    files = 20000
    for count in (1, 2):
        threads = [threading.Thread(target=reader, args=(files // count,)) for _ in range(count)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(f"{count} thread(s): {files / (time.perf_counter() - start):8.0f} files/s")

if __name__ == "__main__":
    main()
