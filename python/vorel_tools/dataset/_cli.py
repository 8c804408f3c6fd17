"""The vorel-dataset command line."""

import argparse
import os
import sys
from pathlib import Path

from ._build import BuildError, build, output_path, work_directory
from ._readers import SPEEDS, Settings

DESCRIPTION = """\
Builds a training dataset from chess game files or position files.

Inputs are recognised by their first bytes, not their names: PGN games (plain or compressed
with gzip, bzip2, xz or zstd, as lichess publishes them), EPD or FEN lines (one position a
line, also compressed), and Parquet or Arrow tables with a 'movetext' column (pyarrow needed).

From games, each position before a main-line move gives a row: bitboards, side to move,
castling, en passant, move counters, the move played, clock, evaluation and mate comments, the
game's result and index, the ply, both ratings, and its legal moves. From EPD or FEN lines,
each position gives a row with its line number. Games and lines that cannot be read are
reported as FILE:LINE: ERROR on standard error, and counted.

The shards are written into .OUT.partial beside OUT, which replaces OUT when every input is
done. After an interruption (Ctrl-C, a crash), the same command resumes from where it stopped.
"""
EPILOG = """\
exit status: 0 when the dataset was written; 1 when nothing was (no input could be read, no
position was read, an output to keep); 2 for a command-line error; 130 when interrupted.
Open the result with: python -c "from vorel_tools import dataset; print(dataset.open('OUT'))"
"""


def _time_controls(text):
    controls = tuple(part.strip() for part in text.split(",") if part.strip())
    speeds = [name for name, _ in SPEEDS] + ["correspondence"]
    for control in controls:
        if control not in speeds and not (control.replace("+", "", 1).isdigit() and "+" in control):
            raise argparse.ArgumentTypeError(f"{control!r} is neither a speed ({', '.join(speeds)}) nor BASE+INCREMENT")
    return controls


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _count(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def parser():
    parser = argparse.ArgumentParser(
        prog="vorel-dataset",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="game or position files")
    parser.add_argument("--out", required=True, type=Path, metavar="OUT", help="the dataset's directory")
    parser.add_argument(
        "--overwrite", action="store_true", help="replace the dataset in OUT (kept until the new one is complete)"
    )
    parser.add_argument(
        "--format",
        choices=("npy", "parquet"),
        default="npy",
        help="shards as .npy files, memory-mappable (default), or zstd-compressed Parquet (pyarrow needed)",
    )
    parser.add_argument(
        "--shard-size",
        type=_positive,
        default=Settings.shard_positions,
        metavar="N",
        help="positions per shard (whole games: a shard may hold a game more); default %(default)s",
    )
    parser.add_argument(
        "--workers",
        type=_positive,
        default=1,
        metavar="N",
        help="worker processes, one input file each, or threads reading one file (default 1)",
    )
    parser.add_argument(
        "--scheduler", choices=("processes", "dask"), default="processes", help="local processes or a Dask cluster"
    )
    parser.add_argument(
        "--address",
        metavar="ADDRESS",
        help="the Dask scheduler, e.g. tcp://HOST:8786 (default: a local cluster); its workers write the "
        "shards, so OUT must be on a file system they share",
    )
    columns = parser.add_argument_group("columns")
    columns.add_argument("--no-legal-moves", action="store_true", help="leave out the legal moves")
    columns.add_argument(
        "--policy", choices=("lc0", "az"), help="add 'policy': the index of the move played in this policy layout"
    )
    columns.add_argument(
        "--view",
        choices=("white", "side"),
        default="white",
        help="bitboards as White sees the board (default) or as the side to move does (colour-mirrored)",
    )
    games = parser.add_argument_group("game filters (read before the moves are)")
    games.add_argument("--min-rating", type=int, metavar="ELO", help="both players rated at least ELO")
    games.add_argument("--max-rating", type=int, metavar="ELO", help="both players rated at most ELO")
    games.add_argument(
        "--time-control",
        type=_time_controls,
        default=(),
        metavar="LIST",
        help="comma-separated speeds (" + ", ".join(name for name, _ in SPEEDS) + ", correspondence) by "
        "base + 40 x increment, or exact TimeControl values such as 180+2",
    )
    games.add_argument("--event", metavar="TEXT", help="the Event tag contains TEXT")
    games.add_argument("--rated-only", action="store_true", help="the Event tag starts with 'Rated' (lichess)")
    positions = parser.add_argument_group("position filters")
    positions.add_argument("--min-plies", type=_count, default=0, metavar="N", help="games of at least N plies")
    positions.add_argument(
        "--skip-plies", type=_count, default=0, metavar="N", help="leave out each game's first N plies"
    )
    positions.add_argument(
        "--min-clock",
        type=float,
        metavar="SECONDS",
        help="leave out positions whose move left less than SECONDS on the clock (those without a clock are kept)",
    )
    parser.add_argument("--no-progress", action="store_true", help="no progress line (shown only on a terminal)")
    return parser


def settings_of(args):
    return Settings(
        output=args.format,
        shard_positions=args.shard_size,
        legal_moves=not args.no_legal_moves,
        policy=args.policy,
        view=args.view,
        min_rating=args.min_rating,
        max_rating=args.max_rating,
        time_controls=args.time_control,
        event=args.event,
        rated_only=args.rated_only,
        min_plies=args.min_plies,
        skip_plies=args.skip_plies,
        min_clock=args.min_clock,
    )


def main(argv=None):
    """Runs the command; returns its exit status."""
    command = parser()
    args = command.parse_args(argv)
    if args.address is not None and args.scheduler != "dask":
        command.error("--address needs --scheduler dask")
    try:
        work = work_directory(output_path(args.out))
        summary = build(
            args.inputs,
            args.out,
            settings_of(args),
            workers=args.workers,
            scheduler=args.scheduler,
            address=args.address,
            overwrite=args.overwrite,
            progress=not args.no_progress and sys.stderr.isatty(),
        )
    except BuildError as error:
        print(f"vorel-dataset: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        # A file system that refuses (no room, no permission, a file where a directory goes).
        print(f"vorel-dataset: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(
            f"\nvorel-dataset: interrupted; the shards written so far are kept in {work}: "
            "run the same command again to resume",
            file=sys.stderr,
        )
        return 130
    print(
        f"{summary.positions:,} positions of {summary.games:,} games in {summary.shards} shards written to "
        f"{summary.out}{' (resumed)' if summary.resumed else ''}; "
        f"{summary.rejected} {'games or lines' if summary.rejected != 1 else 'game or line'} could not be read"
        + (f"; {len(summary.refused)} inputs refused" if summary.refused else "")
    )
    print(f'open it with: vorel_tools.dataset.open("{os.fspath(summary.out)}")')
    return 0
