"""Training datasets from game and position files: the vorel-dataset command and its library.

    vorel-dataset lichess_db_standard_rated_2026-11.pgn.zst --out data/2026-11
    vorel-dataset games/*.pgn --out data/club --min-rating 1800 --time-control blitz,rapid
    vorel-dataset puzzles.epd --out data/puzzles --format parquet

and in Python:

    from vorel_tools import dataset
    dataset.build(["games.pgn.zst"], "data/games")
    ds = dataset.open("data/games")
    ds[0]["move"], ds["bitboards"][1000:2000], ds.game(17)

A dataset is a directory: manifest.json (the columns, counts, inputs with their sizes and
checksums, the settings, the version, whether it is complete) and shards/, one directory per
shard holding a .npy file per column (memory-mappable), or with --format parquet a
zstd-compressed Parquet file.
"""

from ._build import BuildError, Summary, build
from ._cli import main
from ._inputs import Input, InputError, recognise
from ._loader import Column, Dataset, open
from ._readers import Settings
from ._store import COLUMNS

__all__ = [
    "COLUMNS",
    "BuildError",
    "Column",
    "Dataset",
    "Input",
    "InputError",
    "Settings",
    "Summary",
    "build",
    "main",
    "open",
    "recognise",
]
