"""The memory a join of read_frame's two frames takes: each row of values
with its file's status and file_size from the report.

Each way runs in a fresh interpreter, which reads the archive, notes its
resident memory, resets the kernel's peak (/proc/self/clear_refs), joins,
and prints the peak's rise against the joined frame's size
(memory_usage(deep=True)):

- join: values.join(report[["status", "file_size"]]), on the position
  both frames are indexed by;
- assign: values.assign(**report[["status", "file_size"]].reindex(values.index)),
  the same frame;
- merge-file: values.merge(report[["file", "status", "file_size"]], on="file"),
  the categorical columns with the same categories;
- merge-file-no-copy: the same with copy=False;
- merge-file-as-object: the same with report.file as plain strings, as it
  was before it was categorical;
- dask-join: curvedump.dask.read_frame's frames joined by position and
  computed on threads (reading and the concatenation of the partitions
  included in the rise, since the computation reads the files).

The archive (--files files of 50 to 200 values in both series, as
python_archive.py makes them) is made in FOLDER when it has no .dat files.

usage: PYTHONPATH=build/dev/python /usr/bin/python3 bench/python_join.py FOLDER [--files N]
"""
import argparse
import os
import random
import subprocess
import sys

WAYS = ("join", "assign", "merge-file", "merge-file-no-copy", "merge-file-as-object",
        "dask-join")


def memory(field):
    """A figure of /proc/self/status in bytes (VmRSS, VmHWM)."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def reset_peak():
    with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
        clear.write("5")


def joined(way, folder):
    """The joined frame, the peak's rise while it was made (bytes)."""
    import gc  # pylint: disable=import-outside-toplevel

    import curvedump  # pylint: disable=import-outside-toplevel
    pattern = os.path.join(folder, "*.dat")
    columns = ["status", "file_size"]
    if way == "dask-join":
        import dask  # pylint: disable=import-outside-toplevel

        import curvedump.dask  # pylint: disable=import-outside-toplevel
        values, report = curvedump.dask.read_frame(pattern, short="ignore")
        gc.collect()
        before = memory("VmRSS")
        reset_peak()
        result = dask.compute(values.join(report[columns]), scheduler="threads")[0]
        return result, memory("VmHWM") - before
    values, report = curvedump.read_frame(pattern, short="ignore")
    if way == "merge-file-as-object":
        report["file"] = report["file"].astype(object)
    gc.collect()
    before = memory("VmRSS")
    reset_peak()
    if way == "join":
        result = values.join(report[columns])
    elif way == "assign":
        result = values.assign(**report[columns].reindex(values.index))
    else:
        result = values.merge(report[["file"] + columns], on="file",
                              copy=way != "merge-file-no-copy")
    return result, memory("VmHWM") - before


def make_archive(folder, files):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from python_archive import make_file  # pylint: disable=import-outside-toplevel
    generator = random.Random(25)
    os.makedirs(folder, exist_ok=True)
    for i in range(files):
        make_file(os.path.join(folder, f"{i:06}.dat"), generator)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--way", choices=WAYS)
    options = parser.parse_args()
    if options.way:  # the child
        result, rise = joined(options.way, options.folder)
        size = result.memory_usage(deep=True).sum()
        print(f"{options.way:20} {len(result):>11,} rows  joined {size / 2**20:8.1f} MiB  "
              f"peak rise {rise / 2**20:8.1f} MiB  {rise / size:5.2f}x")
        return
    folder = options.folder
    if not os.path.isdir(folder) or not any(n.endswith(".dat") for n in os.listdir(folder)):
        make_archive(options.folder, options.files)
    for way in WAYS:
        subprocess.run([sys.executable, __file__, options.folder, "--way", way], check=True)


if __name__ == "__main__":
    main()
