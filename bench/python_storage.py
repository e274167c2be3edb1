"""curvedump.read_frame against the floor the storage sets: a plain C
reader (bench/plain_reader.c, built here with cc) that only opens, reads
32 KiB of and closes each file, on several threads, in the same run.

- local: 20,000 files on the temporary folder's disk, warm cache; the
  plain reader on 1, 2 and 4 threads;
- fuse: 2,000 files behind a FUSE passthrough (Debian's python3-fusepy,
  imported as fusepy, and fuse3) that waits --delay seconds (default
  0.001) in every open, read, flush and release, as a network mount
  does; the plain reader on 4 to 64 threads. Skipped, with the reason,
  where /dev/fuse or fusepy is missing.

Each round times the plain reader at each thread count, read_frame as a
caller runs it (frames built), the reading phase alone (the module's
read_files, which read_frame calls), and read_frame at each
--in-flight bound; with --rounds N the medians follow, and the ratios of
read_frame and of its reading phase to the best plain reader.

--memory N: in a fresh process, read_frame of N files: the rise of
ru_maxrss during the call against the frames' memory_usage(deep=True).
--interrupt N: in a fresh process, read_frame of N paths (the local
files over and over), SIGINT --at seconds in (default 2, past the
paths' preparation in Python): how long until KeyboardInterrupt is
raised, where, and the threads left.

The files are made as bench/python_archive.py makes them (50 to 200
values in both series, from a seeded generator).

usage: PYTHONPATH=build/dev/python /usr/bin/python3 bench/python_storage.py
           [--mode local|fuse] [--rounds N] [--delay S] [--in-flight 1,4,16,64]
           [--memory N] [--interrupt N [--at S]]
"""
import argparse
import os
import random
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import curvedump
from curvedump import _core

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from python_archive import make_file  # noqa: E402  pylint: disable=wrong-import-position

PLAIN_THREADS = {"local": [1, 2, 4], "fuse": [4, 8, 16, 32, 64]}
FILES = {"local": 20_000, "fuse": 2_000}


def make_archive(folder, count):
    generator = random.Random(25)
    paths = [os.path.join(folder, f"{i:06}.dat") for i in range(count)]
    for path in paths:
        make_file(path, generator)
    return paths


def serve(root, mount, delay):
    """A read-only passthrough of root at mount that waits `delay` seconds
    in every open, read, flush and release (runs until unmounted)."""
    import fusepy  # pylint: disable=import-outside-toplevel

    class Slow(fusepy.Operations):
        def getattr(self, path, fh=None):
            st = os.lstat(root + path)
            return {k: getattr(st, k) for k in ("st_atime", "st_ctime", "st_gid", "st_mode",
                                                "st_mtime", "st_nlink", "st_size", "st_uid")}

        def readdir(self, path, fh):
            return [".", ".."] + os.listdir(root + path)

        def open(self, path, flags):
            time.sleep(delay)
            return os.open(root + path, flags)

        def read(self, path, size, offset, fh):
            time.sleep(delay)
            return os.pread(fh, size, offset)

        def flush(self, path, fh):
            time.sleep(delay)
            return 0

        def release(self, path, fh):
            time.sleep(delay)
            os.close(fh)
            return 0

    try:
        # Names and attributes cached for the whole run, as the waits are
        # in the requests on the files themselves: otherwise whichever
        # reader comes first after the cache's second runs out pays for
        # the lookups.
        fusepy.FUSE(Slow(), mount, foreground=True, ro=True, nothreads=False,
                    entry_timeout=3600, attr_timeout=3600)
    except RuntimeError:  # how fusepy ends when the mount is taken away
        pass


def fuse_missing():
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is missing"
    try:
        import fusepy  # pylint: disable=import-outside-toplevel,unused-import
    except ImportError:
        return "fusepy is missing (Debian: python3-fusepy fuse3)"
    return None


def plain_reader(folder):
    binary = os.path.join(folder, "plain_reader")
    subprocess.run(["cc", "-O2", "-pthread", os.path.join(HERE, "plain_reader.c"), "-o", binary],
                   check=True)
    return binary


def plain(binary, threads, listing):
    out = subprocess.run([binary, str(threads), listing], check=True, stdout=subprocess.PIPE)
    return float(out.stdout)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def reading_phase(paths, in_flight):
    """What read_frame's reading costs: the module's read_files alone."""
    names = [os.fsencode(p) for p in paths]
    codes = __import__("numpy").arange(len(names), dtype="int32")
    return timed(lambda: _core.read_files(names, codes, in_flight, True))


def memory(count):
    """ru_maxrss's rise during read_frame of `count` files, in a fresh
    process, against the frames' deep memory usage."""
    with tempfile.TemporaryDirectory() as folder:
        make_archive(folder, count)
        code = (
            "import os, resource, sys, curvedump, pandas\n"
            "paths = [os.path.join(sys.argv[1], n) for n in sorted(os.listdir(sys.argv[1]))]\n"
            "for p in paths: open(p, 'rb').read()\n"
            "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "values, report = curvedump.read_frame(paths)\n"
            "rise = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024\n"
            "frames = int(values.memory_usage(deep=True).sum() + "
            "report.memory_usage(deep=True).sum())\n"
            "print(f'{len(paths)} files, {len(values)} rows: ru_maxrss rose {rise / 1e6:.1f} MB, "
            "frames {frames / 1e6:.1f} MB: {rise / frames:.2f}x (goal <= 1.3)')\n")
        subprocess.run([sys.executable, "-c", code, folder], check=True)


def interrupt(count, paths, at):
    code = (
        "import os, signal, sys, threading, time, traceback, curvedump\n"
        "paths = open(sys.argv[1]).read().split()\n"
        "paths = (paths * (int(sys.argv[2]) // len(paths) + 1))[:int(sys.argv[2])]\n"
        "timer = threading.Timer(float(sys.argv[3]), lambda: (globals().__setitem__('sent', "
        "time.perf_counter()), os.kill(os.getpid(), signal.SIGINT)))\n"
        "timer.start()\n"
        "start = time.perf_counter()\n"
        "try:\n"
        "    curvedump.read_frame(paths)\n"
        "    print('read_frame ended before the signal')\n"
        "except KeyboardInterrupt as stopped:\n"
        "    now = time.perf_counter()\n"
        "    timer.join()\n"
        "    where = traceback.extract_tb(stopped.__traceback__)[-1].line\n"
        "    print(f'{len(paths)} paths: SIGINT {sent - start:.3f} s in, KeyboardInterrupt '\n"
        "          f'{now - sent:.3f} s later (goal <= 0.2), raised at {where!r}; threads '\n"
        "          f'left: {len(os.listdir(\"/proc/self/task\")) - 1}')\n")
    with tempfile.NamedTemporaryFile("w") as listing:
        listing.write("\n".join(paths))
        listing.flush()
        subprocess.run([sys.executable, "-c", code, listing.name, str(count), str(at)],
                       check=True)


def measure(mode, paths, binary, rounds, bounds):
    listing = os.path.join(os.path.dirname(binary), "list.txt")
    with open(listing, "w", encoding="utf-8") as file:
        file.write("\n".join(paths) + "\n")
    for path in paths:  # a warm cache, and the files checked
        curvedump.read(path)
    times = {f"plain {t}": [] for t in PLAIN_THREADS[mode]}
    times["read_frame"] = []
    times["reading phase"] = []
    times.update({f"read_frame in flight {b}": [] for b in bounds})
    for _ in range(rounds):
        for threads in PLAIN_THREADS[mode]:
            times[f"plain {threads}"].append(plain(binary, threads, listing))
        times["read_frame"].append(timed(lambda: curvedump.read_frame(paths)))
        times["reading phase"].append(reading_phase(paths, curvedump._MAX_IN_FLIGHT))
        for bound in bounds:
            times[f"read_frame in flight {bound}"].append(
                timed(lambda b=bound: curvedump.read_frame(paths, max_in_flight=b)))
        print("round: " + ", ".join(f"{k} {v[-1]:.3f}" for k, v in times.items()), flush=True)
    median = {k: statistics.median(v) for k, v in times.items()}
    best = min(PLAIN_THREADS[mode], key=lambda t: median[f"plain {t}"])
    floor = median[f"plain {best}"]
    print(f"{mode}: {len(paths)} files; medians of {rounds} round(s), load average "
          f"{os.getloadavg()[0]:.2f}; default max_in_flight {curvedump._MAX_IN_FLIGHT}")
    for name, seconds in median.items():
        print(f"  {name:26} {seconds:7.3f} s  {seconds / floor:5.2f}x the best plain reader")
    print(f"best plain reader: {best} threads, {floor:.3f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["local", "fuse"], default="local")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--delay", type=float, default=0.001)
    parser.add_argument("--in-flight", default="", help="bounds to time, comma-separated")
    parser.add_argument("--memory", type=int, default=0)
    parser.add_argument("--interrupt", type=int, default=0)
    parser.add_argument("--at", type=float, default=2.0, help="seconds to the SIGINT")
    args = parser.parse_args()
    bounds = [int(b) for b in args.in_flight.split(",") if b]
    if args.memory:
        memory(args.memory)
        return
    if args.mode == "fuse" and fuse_missing():
        print(f"fuse: skipped, {fuse_missing()}")
        return
    with tempfile.TemporaryDirectory() as folder:
        root = os.path.join(folder, "files")
        os.mkdir(root)
        paths = make_archive(root, FILES[args.mode])
        binary = plain_reader(folder)
        if args.interrupt:
            interrupt(args.interrupt, paths, args.at)
            return
        if args.mode == "local":
            measure("local", paths, binary, args.rounds, bounds)
            return
        mount = os.path.join(folder, "mount")
        os.mkdir(mount)
        # Its standard error dropped: libfuse reports the unmount at the end
        # as an aborted connection.
        server = subprocess.Popen([sys.executable, __file__, "--serve", root, mount,
                                   str(args.delay)], stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not os.path.ismount(mount):
                if time.monotonic() > deadline or server.poll() is not None:
                    sys.exit("fuse: the passthrough did not mount")
                time.sleep(0.05)
            print(f"fuse: every open, read, flush and release waits {args.delay * 1e3:g} ms")
            measure("fuse", [os.path.join(mount, os.path.basename(p)) for p in paths], binary,
                    args.rounds, bounds)
        finally:
            subprocess.run(["fusermount3", "-u", mount], check=False)
            server.wait()


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--serve":
        serve(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    else:
        main()
