"""What every benchmark file shares: the interleaved timing loop, the table of results and the
header line that says where and against what they were measured.

Importing it also puts scripts/ on the import path, for the development modules the benchmark
shares with the tests: perft_table (the known perft positions), uci_engine (the engine driver)
and lichess_games (the generated game files). A benchmark file imports
from harness before them, as the sorted imports have it.
"""

import gc
import os
import platform
import statistics
import sys
import time
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

# The least time a timed batch of calls to a short function takes: the timer's resolution and the
# loop's own cost are lost in it.
BATCH_SECONDS = 0.01


def calibrate(function, min_seconds):
    """Returns a call count whose batch takes at least min_seconds (with 0, one call: a warm-up)."""
    count = 1
    while True:
        start = time.perf_counter()
        for _ in range(count):
            function()
        if time.perf_counter() - start >= min_seconds:
            return count
        count *= 2


def timed(function, count=1):
    """Returns a measure that calls function `count` times and returns the seconds per call."""

    def measure():
        start = time.perf_counter()
        for _ in range(count):
            function()
        return (time.perf_counter() - start) / count

    return measure


def warmed(function):
    """Returns a measure that calls function once untimed, then times one call: the time of a call
    in a loop of calls, with the memory the last call freed at hand again. (On a virtual machine
    that hands memory left free for a second or two back to its host, the first call after such a
    pause pays for taking it back, about 1 ns a byte here.)"""

    def measure():
        function()
        return timed(function)()

    return measure


def interleave(measures, rounds, with_gc=False):
    """Runs every measure once a round, in turn, for `rounds` rounds, and returns the median of the
    seconds each measure returned. A measure times itself: `timed` wraps a function, and a
    process that reports its own time (a native binary, an engine) is a measure as it is.

    The cyclic garbage collector is paused while the rounds run, unless with_gc: measurements of
    whole batches of a program's work keep it, as the program would.
    """
    samples = [[] for _ in measures]
    paused = not with_gc and gc.isenabled()
    if paused:
        gc.disable()
    try:
        for _ in range(rounds):
            for measure, sample in zip(measures, samples, strict=True):
                sample.append(measure())
    finally:
        if paused:
            gc.enable()
    return [statistics.median(sample) for sample in samples]


def compare(functions, rounds, min_seconds=None, with_gc=False):
    """Times the functions interleaved and returns the median seconds per call of each. Each round
    times one call of each function, or with min_seconds a batch of calls lasting at least that
    long (its size found once beforehand, see calibrate)."""
    counts = [1 if min_seconds is None else calibrate(function, min_seconds) for function in functions]
    return interleave([timed(f, count) for f, count in zip(functions, counts, strict=True)], rounds, with_gc)


class Table:
    """A markdown table of results, printed at the end. A row with a target says in its last
    column whether the target was met, and a missed one is also listed in `failures`; a table
    made with verdicts=False has no such column."""

    def __init__(self, *columns, verdicts=True):
        self.columns = columns
        self.verdicts = verdicts
        self.rows, self.failures = [], []

    def section(self, title):
        self.rows.append((f"**{title}**",))

    def row(self, name, *cells, target=None, met=None):
        """Adds a row; the cells not given are left blank."""
        if target is not None and not met:
            self.failures.append(f"{name}: {target}")
        cells = [name, *cells]
        if self.verdicts:
            blank = [""] * (len(self.columns) - 1 - len(cells))
            cells += [*blank, "" if target is None else f"{target} {'yes' if met else 'NO'}"]
        self.rows.append(tuple(cells))

    def print(self):
        rows = [(*row, *[""] * (len(self.columns) - len(row))) for row in self.rows]
        widths = [max(len(str(row[i])) for row in [self.columns, *rows]) for i in range(len(self.columns))]

        def line(cells):
            return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths, strict=True)) + " |"

        print(line(self.columns))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for row in rows:
            print(line(row))


def print_missed(*tables):
    """Prints the targets the tables missed, if any."""
    failures = [failure for table in tables for failure in table.failures]
    if failures:
        print("\ntargets missed: " + "; ".join(failures))


def print_header(packages, rounds):
    """Prints the machine, the Python version, the versions of the peers (installed distribution
    names) and the number of rounds."""
    cpuinfo = Path("/proc/cpuinfo")
    models = [
        line.split(":", 1)[1].strip()
        for line in (cpuinfo.read_text().splitlines() if cpuinfo.exists() else [])
        if line.startswith("model name")
    ]
    cpu = models[0] if models else platform.processor() or platform.machine()
    versions = ", ".join(f"{name} {metadata.version(name)}" for name in packages)
    print(
        f"machine: {cpu}, {os.cpu_count()} cores; Python {platform.python_version()}; "
        f"{'peer' if len(packages) == 1 else 'peers'}: {versions}; {rounds} interleaved rounds, medians\n"
    )
