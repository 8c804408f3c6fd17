"""Benchmarks the dataset builder (vorel_tools.dataset, the vorel-dataset command) and its loader
against the planes-dataset example the project shipped before it, on the same inputs, one worker.

    python bench/bench_dataset.py [--rounds 3] [--games 20000] [--baseline REVISION]

Inputs: the lichess-format games of bench_games.py as .pgn.zst, and the FEN texts of their first
100,000 positions as EPD lines. The example is taken from the repository's history at
--baseline (git show REVISION:examples/planes_dataset.py) and run in this process through its
main(), with --workers 1; without git or that revision its rows are left out. Each round builds
into a fresh directory (removing the last one is not timed). The loader row opens a dataset of
shards of 65,536 positions and reads 100,000 random positions as a dict of arrays (ds[rows]).
"""

import argparse
import importlib.util
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import vorel_tools
from bench_games import DATA, game_files
from harness import ROOT, Table, interleave, print_header, print_missed
from vorel_tools import dataset

BASELINE = "d408120"  # the last revision with the example that built datasets
EPD_POSITIONS = 100_000
LOADER_READS = 100_000


def baseline_example(revision):
    """The old example as a module, or None when the history does not have it."""
    path = DATA / f"planes_dataset-{revision}.py"
    if not path.exists():
        shown = subprocess.run(
            ["git", "show", f"{revision}:examples/planes_dataset.py"], cwd=ROOT, capture_output=True, check=False
        )
        if shown.returncode != 0:
            return None
        path.write_bytes(shown.stdout)
    spec = importlib.util.spec_from_file_location("planes_dataset_baseline", path)
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except ImportError as error:  # tqdm, which only the old example needs
        print(f"the baseline example cannot run here: {error}")
        return None
    return module


def epd_file(zst):
    """FEN texts of the games' first positions, one a line, written once."""
    path = DATA / f"positions-{EPD_POSITIONS}.epd"
    if not path.exists():
        texts = []
        for batch in vorel_tools.read_games(zst):
            texts.extend(vorel_tools.fens(batch).tolist())
            if len(texts) >= EPD_POSITIONS:
                break
        path.write_bytes(b"\n".join(texts[:EPD_POSITIONS]) + b"\n")
    return path


def fresh(directory, run):
    """A measure: removes directory (untimed), then times run()."""

    def measure():
        shutil.rmtree(directory, ignore_errors=True)
        start = time.perf_counter()
        run()
        return time.perf_counter() - start

    return measure


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--games", type=int, default=20000)
    parser.add_argument("--baseline", default=BASELINE, metavar="REVISION")
    args = parser.parse_args()

    _, zst = game_files(args.games)
    epd = epd_file(zst)
    old = baseline_example(args.baseline)
    scratch = Path(tempfile.mkdtemp(prefix="bench-dataset-", dir=DATA))
    built = scratch / "loader"
    dataset.build([zst], built, dataset.Settings(shard_positions=65536))
    ds = dataset.open(built)
    positions = len(ds)
    rows = np.random.default_rng(1).integers(0, positions, LOADER_READS)
    single = rows[:2000].tolist()

    def quiet(function):
        def run():
            with open("/dev/null", "w") as null:
                saved = sys.stdout, sys.stderr
                sys.stdout = sys.stderr = null
                try:
                    function()
                finally:
                    sys.stdout, sys.stderr = saved

        return run

    measures = {
        "pgn": fresh(scratch / "pgn", lambda: dataset.build([zst], scratch / "pgn")),
        "pgn parquet": fresh(
            scratch / "pq", lambda: dataset.build([zst], scratch / "pq", dataset.Settings(output="parquet"))
        ),
        "pgn no legal": fresh(
            scratch / "nl", lambda: dataset.build([zst], scratch / "nl", dataset.Settings(legal_moves=False))
        ),
        "epd": fresh(scratch / "epd", lambda: dataset.build([epd], scratch / "epd")),
        "open and read": fresh(scratch / "none", lambda: dataset.open(built)[rows]),
        "read one by one": fresh(scratch / "none", lambda: [ds[i] for i in single]),
    }
    if old is not None:
        options = ["--workers", "1", "--no-progress", "--overwrite"]
        measures["old pgn"] = fresh(
            scratch / "old-pgn", quiet(lambda: old.main([str(zst), "--out", str(scratch / "old-pgn"), *options]))
        )
        measures["old epd"] = fresh(
            scratch / "old-epd", quiet(lambda: old.main([str(epd), "--out", str(scratch / "old-epd"), *options]))
        )
    seconds = dict(zip(measures, interleave(list(measures.values()), args.rounds, with_gc=True), strict=True))
    shutil.rmtree(scratch)

    print_header(["numpy", "pyarrow", "zstandard"], args.rounds)
    print(
        f"{args.games} lichess-format games ({zst.stat().st_size / 1e6:.1f} MB .pgn.zst, {positions} positions), "
        f"{EPD_POSITIONS} EPD lines; one worker; baseline: the example at {args.baseline}"
        f"{'' if old is not None else ' (not available: its rows are left out)'}.\n"
    )
    table = Table("benchmark", "positions/s", "ratio", "target met")

    def rate(key, count=positions):
        return f"{count / seconds[key] / 1e6:.2f} M"

    def ratio(key, reference, target=None):
        value = seconds[reference] / seconds[key]
        verdict = {} if target is None else {"target": f"≥{target}×", "met": value >= target}
        return (f"{value:.1f}×",), verdict

    table.section(".pgn.zst to a finished dataset, default settings (.npy shards, legal moves)")
    cells, verdict = ratio("pgn", "old pgn", 10) if old else (("",), {})
    table.row("vorel-dataset vs the example", rate("pgn"), *cells, **verdict)
    table.row(
        "vorel-dataset, at least 1 M positions/s", rate("pgn"), target="≥1 M/s", met=positions / seconds["pgn"] >= 1e6
    )
    if old:
        table.row("the example (zlib level 1 .npz shards of planes)", rate("old pgn"))
    table.row("vorel-dataset --format parquet", rate("pgn parquet"))
    table.row("vorel-dataset --no-legal-moves", rate("pgn no legal"))
    table.section("EPD lines to a finished dataset")
    cells, verdict = ratio("epd", "old epd", 10) if old else (("",), {})
    table.row("vorel-dataset vs the example", rate("epd", EPD_POSITIONS), *cells, **verdict)
    if old:
        table.row("the example", rate("old epd", EPD_POSITIONS))
    table.section(f"loader: {LOADER_READS} random positions of {len(ds.shards)} shards")
    table.row(
        "open(dir)[rows], a dict of arrays",
        rate("open and read", LOADER_READS),
        target="≥1 M/s",
        met=LOADER_READS / seconds["open and read"] >= 1e6,
    )
    table.row("ds[i] one at a time", rate("read one by one", len(single)))
    table.print()
    print_missed(table)


if __name__ == "__main__":
    main()
