"""Turns chess positions into compressed NumPy shards of piece planes and legal moves.

    python examples/planes_dataset.py examples/data/sample.epd --out build/planes
    python examples/planes_dataset.py a.epd b.fen --out data --shard-size 50000 --workers 8
    zcat games.epd.gz | python examples/planes_dataset.py - --out data
    python examples/planes_dataset.py big.epd --out data --scheduler dask
    python examples/planes_dataset.py big.epd --out data --scheduler dask --address tcp://HOST:8786
    python examples/planes_dataset.py games.pgn.gz --out data          # every position of every game

Input: one position a line, as FEN or EPD ("-" reads standard input). Only the first four
fields are read (placement, side to move, castling rights, en passant), so FEN move counters
and EPD operations are ignored. Blank lines and lines starting with "#" are skipped. A line
that is not a position is reported as FILE:LINE: ERROR on standard error, skipped and counted
(--strict stops at the first one instead, with exit status 1).

Or PGN game files (a name ending in .pgn, .pgn.gz, .pgn.bz2 or .pgn.xz, or --format pgn, also
for standard input), read by vorel_tools.read_pgn: one position per move of each game's main
line, the position before the move, in game order. A game that cannot be read (an illegal move,
a bad FEN tag, ...) is reported as FILE:LINE: ERROR with the line where the game starts, and
skipped whole. The inputs of one run are all of one kind.

Output: shard-00000.npz, shard-00001.npz, ... in the --out directory, each written as
np.savez_compressed writes it, but at --compression-level (1 unless given: about twice the
bytes of np.savez_compressed's level 6, in a third of the time), and readable with
np.load(path, allow_pickle=False). For its n positions a shard holds:

    planes         uint8 (n, 12, 64)  planes[i, k, s] is 1 when piece index k stands on square s
                                      (k: 0..5 white pawn, knight, bishop, rook, queen, king,
                                      6..11 the black ones; s: a1 = 0, b1 = 1, ..., h8 = 63)
    white_to_move  bool (n,)
    fen            bytes (n,)         the position as Board.fen() writes it (four fields), ASCII
    moves          bytes "S5" (m,)    the legal moves of all n positions, one list after another,
                                      each in the generator's order (b"e2e4", b"e7e8q", ...)
    move_offsets   int64 (n + 1,)     position i has moves[move_offsets[i]:move_offsets[i + 1]]

and, from PGN input, two more:

    move_played    uint16 (n,)        the move the game played there: its move word (origin square
                                      in bits 0-5, destination in 6-11, special code in 12-15), the
                                      very word vorel_tools.legal_moves lists for the position
    result         int8 (n,)          the game's result: 1 white won, 0 draw, -1 black won,
                                      2 unknown (a game recorded with "*")

FEN and move texts are ASCII, so they are stored as byte strings: a quarter of the size of
NumPy's str arrays, in memory and to compress.

load_shard() below reads a shard back as a list of Position records.

Each shard covers the next --shard-size position lines (or positions of games) of the input, in
input order; a rejected line leaves its shard one position short, and a shard with no position
is not written. The
arrays are the same whatever the scheduler and the number of workers.

Work is spread over worker processes, one shard per task: by default a local process pool of
--workers processes (--workers 1 works in this process); with --scheduler dask, the Dask
cluster at --address, or a local Dask cluster of --workers processes when no address is
given. The workers of a remote cluster need numpy and vorel_chess installed; this file is sent
to them. Games are read in this process, which sends the FEN texts of their positions on.

All the per-position work is done by vorel_tools, a batch at a time: the planes, side to move,
FEN texts and legal moves of a whole shard come from one call each, as NumPy arrays. Compression
then takes most of the time: --compression-level 6 writes about half the bytes of the default 1
in three times the time, and 0 stores the arrays as they are.
"""

import argparse
import bz2
import collections
import contextlib
import gzip
import importlib
import io
import lzma
import multiprocessing
import os
import re
import sys
import zipfile
from collections.abc import Sequence
from pathlib import Path
from typing import NamedTuple

import numpy as np
import vorel_chess
import vorel_tools
from tqdm import tqdm

SHARD_NAME = "shard-{:05d}.npz"
SHARD_PATTERN = re.compile(r"shard-\d{5,}\.npz")
PLANES_SHAPE = (12, 64)
DEFAULT_SHARD_SIZE = 10_000
DEFAULT_COMPRESSION = 1  # zlib's fastest level: compression is most of the work
# The characters that str.split() takes for white space but FEN reading does not.
SPLIT_ONLY_SPACE = "\x1c\x1d\x1e\x1f"
# The result array's code of each game result.
RESULT_CODES = {"1-0": 1, "1/2-1/2": 0, "0-1": -1, "*": 2}
PGN_SUFFIXES = (".pgn", ".pgn.gz", ".pgn.bz2", ".pgn.xz")
# How a compressed input is opened, by the end of its name.
DECOMPRESSORS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}


class Position(NamedTuple):
    """One position of a shard."""

    fen: str
    white_to_move: bool
    planes: np.ndarray  # uint8 (12, 64), a view into the shard's planes
    moves: list[str]
    move_played: str | None = None  # from PGN input: the move the game played, as a move text
    result: int | None = None  # from PGN input: 1, 0, -1 or 2, as in the result array


def load_shard(path):
    """Returns the positions of one shard, in order, as Position records.

    :raises ValueError: if the file holds pickled objects (np.load refuses them).
    """
    with np.load(path, allow_pickle=False) as shard:
        planes = shard["planes"]
        white_to_move = shard["white_to_move"]
        fens = np.char.decode(shard["fen"], "ascii").tolist()
        moves = np.char.decode(shard["moves"], "ascii").tolist()
        offsets = shard["move_offsets"].tolist()
        played = results = [None] * len(fens)
        if "move_played" in shard.files:
            played = vorel_tools.move_texts(shard["move_played"])
            results = shard["result"].tolist()
    return [
        Position(fen, bool(white_to_move[i]), planes[i], moves[offsets[i] : offsets[i + 1]], played[i], results[i])
        for i, fen in enumerate(fens)
    ]


# --- The worker side: position texts in, one compressed shard out ------------------------------

# The text of every move word, 4 or 5 ASCII bytes, indexed by the word (special codes 0 to 7):
# turns a whole array of moves into texts at once. Built at the first shard of each process.
_move_texts = None


def move_text_table():
    global _move_texts
    if _move_texts is None:
        _move_texts = np.array(vorel_tools.move_texts(np.arange(8 << 12, dtype=np.uint16)), dtype="S5")
    return _move_texts


# Move texts to move words, the special code 0 but for promotions (4 to 7).
_move_words = None


def move_word_table():
    global _move_words
    if _move_words is None:
        texts = move_text_table()
        words = [*range(1 << 12), *range(4 << 12, 8 << 12)]
        _move_words = {texts[word].decode("ascii"): word for word in words}
    return _move_words


def played_words(moves, offsets, played):
    """Returns, for each position, the word among its legal moves (moves[offsets[i]:offsets[i + 1]])
    of the move text it played.

    :raises ValueError: if a position's move is not one of its legal moves.
    """
    table = move_word_table()
    wanted = np.array([table[text] for text in played], dtype=np.uint16)
    plain = np.where(moves >> 12 >= 4, moves, moves & 0xFFF)  # the special codes 1 to 3 dropped
    owner = np.repeat(np.arange(len(played)), np.diff(offsets))
    hit = plain == wanted[owner]
    if np.count_nonzero(hit) != len(played) or len(np.unique(owner[hit])) != len(played):
        raise ValueError("a played move is not among the legal moves of its position")
    words = np.zeros(len(played), dtype=np.uint16)
    words[owner[hit]] = moves[hit]
    return words


def position_fen(text):
    """Returns the four position fields of a FEN or EPD line as one FEN text.

    :raises ValueError: if the line has fewer than four fields.
    """
    fields = text.split()
    if len(fields) < 4:
        raise ValueError(
            f"expected placement, side to move, castling and en passant fields, "
            f"found {len(fields)} field{'s' if len(fields) != 1 else ''}"
        )
    return " ".join(fields[:4])


def _rejection(fen):
    """Returns why vorel_tools refuses a position, without the row prefix of its message."""
    try:
        vorel_tools.legal_moves([fen])
    except ValueError as error:
        return str(error).split(": ", 1)[1]
    raise AssertionError(f"{fen} was refused once but not again")


def write_archive(arrays, compression_level=DEFAULT_COMPRESSION):
    """Returns the bytes of an .npz archive of the arrays, as np.savez_compressed writes it but at
    the given zlib level (0: stored uncompressed, like np.savez)."""
    buffer = io.BytesIO()
    method = zipfile.ZIP_DEFLATED if compression_level else zipfile.ZIP_STORED
    with zipfile.ZipFile(buffer, "w", method, compresslevel=compression_level or None) as archive:
        for name, array in arrays.items():
            with archive.open(name + ".npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, array, allow_pickle=False)
    return buffer.getvalue()


# The planes array of the last shard, which the next one of this process fills again: fresh
# memory costs more to touch than the planes cost to write.
_planes = np.empty((0, *PLANES_SHAPE), dtype=np.uint8)


def planes_of(fens):
    """Returns the planes of the positions, in this process's array for them (valid until the next
    call)."""
    global _planes
    if len(_planes) < len(fens):
        _planes = np.empty((len(fens), *PLANES_SHAPE), dtype=np.uint8)
    return vorel_tools.planes(fens, out=_planes[: len(fens)])


def convert_shard(texts, compression_level=DEFAULT_COMPRESSION, played=None, results=None):
    """Converts position lines into the bytes of one shard archive; with played (the move text
    each position's game played) and results (their codes), the move_played and result arrays too.

    Returns (archive bytes, or None when no line was a position; number of positions;
    [(index into texts, error message)] for the lines that were rejected).
    """
    # A line holds its position in its first four fields, which FEN reading takes as they stand
    # and past which it reads nothing; only where str.split() would see other fields, and for
    # the lines that do not read, does position_fen() take the line apart.
    joined = "\n".join(texts)
    if any(separator in joined for separator in SPLIT_ONLY_SPACE):
        fens, indices, errors = [], [], []
        for index, text in enumerate(texts):
            try:
                fens.append(position_fen(text))
                indices.append(index)
            except ValueError as error:
                errors.append((index, str(error)))
    else:
        fens, indices, errors = list(texts), range(len(texts)), []
    moves, offsets, valid = vorel_tools.legal_moves(fens, errors="skip")
    if not valid.all():
        refused = np.flatnonzero(~valid).tolist()
        for i in refused:
            try:
                fens[i] = position_fen(fens[i])
            except ValueError as error:
                errors.append((indices[i], str(error)))
                fens[i] = None
        refused = [i for i in refused if fens[i] is not None]
        errors.extend((indices[i], _rejection(fens[i])) for i in refused)
        errors.sort()
        fens = [fen for fen, kept in zip(fens, valid.tolist(), strict=True) if kept]
    if played is not None:
        kept = np.array(indices, dtype=np.int64)[valid].tolist()
        played, results = [played[i] for i in kept], [results[i] for i in kept]
    if not fens:
        return None, 0, errors
    arrays = {
        "planes": planes_of(fens),
        "white_to_move": vorel_tools.white_to_move(fens),
        "fen": vorel_tools.fens(fens),
        "moves": move_text_table()[moves],
        "move_offsets": offsets,
    }
    if played is not None:
        arrays["move_played"] = played_words(moves, offsets, played)
        arrays["result"] = np.array(results, dtype=np.int8)
    return write_archive(arrays, compression_level), len(fens), errors


# --- The main process: reading, scheduling, writing --------------------------------------------


class Batch(NamedTuple):
    """The position lines of one shard, where they came from, and the input bytes they span; from
    PGN input also the moves played and result codes, and the games that could not be read."""

    texts: list[str]
    locations: list[tuple[str, int]]
    size: int
    played: list[str] | None = None
    results: list[int] | None = None
    unreadable: Sequence[tuple[tuple[str, int], str]] = ()  # ((path, line), error)


@contextlib.contextmanager
def _open_input(path):
    if path == "-":
        yield sys.stdin.buffer
    else:
        with open(path, "rb") as stream:
            yield stream


def read_batches(paths, shard_size):
    """Yields Batches of shard_size position lines (the last one may be shorter).

    Blank lines and "#" comments are skipped; text that is not UTF-8 is kept with replacement
    characters, so that the position reader rejects it with its line number.
    """
    texts, locations, size = [], [], 0
    for path in paths:
        with _open_input(path) as stream:
            number = 0
            # A megabyte of whole lines at a time, decoded at once: a line ends only at b"\n",
            # which no multi-byte character contains, so each decodes as it would on its own.
            for raw_lines in iter(lambda stream=stream: stream.readlines(1 << 20), []):
                decoded = b"".join(raw_lines).decode("utf-8", "replace").split("\n")
                # The text after the last b"\n" of a block is empty: zip leaves it out.
                for raw, line in zip(raw_lines, decoded, strict=False):
                    number += 1
                    size += len(raw)
                    text = line.strip()
                    if not text or text[0] == "#":
                        continue
                    texts.append(text)
                    locations.append((path, number))
                    if len(texts) == shard_size:
                        yield Batch(texts, locations, size)
                        texts, locations, size = [], [], 0
    if texts:
        yield Batch(texts, locations, size)


def is_pgn(path):
    return path.lower().endswith(PGN_SUFFIXES)


@contextlib.contextmanager
def _open_games(path):
    """Yields (stream of the games' text, the raw file whose position tells the bytes read)."""
    with _open_input(path) as raw:
        suffix = Path(path).suffix.lower()
        if suffix in DECOMPRESSORS:
            with DECOMPRESSORS[suffix](raw, "rb") as stream:
                yield stream, raw
        else:
            yield raw, raw


def read_game_batches(paths, shard_size):
    """Yields Batches of shard_size positions of the main lines of PGN games (the last one may be
    shorter): the position before each move, with the move and the game's result code."""
    texts, locations, played, results, unreadable, size = [], [], [], [], [], 0
    for path in paths:
        with _open_games(path) as (stream, raw), vorel_tools.read_pgn(stream) as games:
            read = 0
            for game in games:
                if game.error is not None:
                    unreadable.append(((path, game.line), game.error))
                    continue
                board, code = vorel_chess.Board(game.fen), RESULT_CODES[game.result]
                for move in game.moves:
                    texts.append(board.fen())
                    board.push(move)
                    locations.append((path, game.line))
                    played.append(move)
                    results.append(code)
                    if len(texts) == shard_size:
                        position = raw.tell() if raw.seekable() else read
                        size, read = size + position - read, position
                        yield Batch(texts, locations, size, played, results, unreadable)
                        texts, locations, played, results, unreadable, size = [], [], [], [], [], 0
            if raw.seekable():
                size += raw.tell() - read
    if texts or unreadable:
        yield Batch(texts, locations, size, played, results, unreadable)


def _importable_self():
    """Returns this file as a module that other processes can import by name.

    Tasks sent to Dask then name their function instead of carrying a copy of it, so that each
    worker keeps one table of move texts for all its tasks.
    """
    if __name__ != "__main__":
        return sys.modules[__name__]
    directory = str(Path(__file__).resolve().parent)
    if directory not in sys.path:
        sys.path.insert(0, directory)
    return importlib.import_module(Path(__file__).stem)


def shard_arguments(batch, level):
    """Returns the arguments of convert_shard for a batch: the moves and results only for games."""
    if batch.played is None:
        return batch.texts, level
    return batch.texts, level, batch.played, batch.results


@contextlib.contextmanager
def process_scheduler(workers, level=DEFAULT_COMPRESSION):
    """Yields (submit, slots): submit(batch) starts a shard and returns a function that waits for
    its result; slots is how many shards to keep in flight."""
    if workers == 1:

        def convert_here(batch):
            result = convert_shard(*shard_arguments(batch, level))
            return lambda: result

        yield convert_here, 1
        return
    # spawn: the parent may hold threads (the progress bar's, a test runner's), and fork would
    # copy their locks in whatever state they are.
    context = multiprocessing.get_context("spawn")
    with context.Pool(workers) as pool:
        yield (lambda batch: pool.apply_async(convert_shard, shard_arguments(batch, level)).get), 2 * workers


@contextlib.contextmanager
def dask_scheduler(address, workers, level=DEFAULT_COMPRESSION):
    """Like process_scheduler, on the Dask cluster at address, or on a local cluster of worker
    processes when address is None."""
    import distributed  # only this scheduler needs it

    with contextlib.ExitStack() as stack:
        if address is None:
            address = stack.enter_context(
                distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
                )
            )
        client = stack.enter_context(distributed.Client(address))
        module = _importable_self()
        client.upload_file(module.__file__)
        slots = 2 * max(1, sum(client.nthreads().values()))
        yield (
            (lambda batch: client.submit(module.convert_shard, *shard_arguments(batch, level), pure=False).result),
            slots,
        )


def _in_flight(batches, submit, slots):
    """Yields (batch, result) in input order, with up to slots shards being converted at once."""
    pending = collections.deque()
    for batch in batches:
        pending.append((batch, submit(batch)))
        if len(pending) >= slots:
            batch, result = pending.popleft()
            yield batch, result()
    while pending:
        batch, result = pending.popleft()
        yield batch, result()


def _write_atomically(path, data):
    partial = path.with_name(path.name + ".partial")
    partial.write_bytes(data)
    os.replace(partial, path)


def _input_size(paths):
    """Returns the total size of the inputs in bytes, or None when one is not a regular file."""
    total = 0
    for path in paths:
        if path == "-" or not os.path.isfile(path):
            return None
        total += os.path.getsize(path)
    return total


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="FEN or EPD file, one position a line, or PGN game file (.pgn, .pgn.gz, .pgn.bz2, .pgn.xz); "
        "- for standard input",
    )
    parser.add_argument(
        "--format",
        choices=("auto", "epd", "pgn"),
        default="auto",
        help="the kind of every input: auto (the default) takes PGN for the names ending as above and "
        "FEN or EPD lines for the others and standard input",
    )
    parser.add_argument(
        "--out", required=True, type=Path, metavar="DIR", help="directory for the shards (created if missing)"
    )
    parser.add_argument(
        "--shard-size",
        type=int,
        default=DEFAULT_SHARD_SIZE,
        metavar="N",
        help=f"position lines per shard (default {DEFAULT_SHARD_SIZE})",
    )
    parser.add_argument(
        "--scheduler",
        choices=("processes", "dask"),
        default="processes",
        help="a local process pool (default) or a Dask cluster",
    )
    parser.add_argument(
        "--address",
        metavar="ADDRESS",
        help="Dask scheduler to connect to, e.g. tcp://HOST:8786 (default: start a local cluster)",
    )
    parser.add_argument(
        "--workers",
        type=int,
        default=os.cpu_count() or 1,
        metavar="N",
        help="worker processes of the pool or of the local Dask cluster (default: one per core, "
        "here %(default)s); 1 converts in this process",
    )
    parser.add_argument(
        "--compression-level",
        type=int,
        default=DEFAULT_COMPRESSION,
        choices=range(10),
        metavar="LEVEL",
        help=f"zlib level of the shards, 0 (stored, fastest) to 9 (smallest); default {DEFAULT_COMPRESSION}, "
        "that of np.savez_compressed. The arrays are the same at every level",
    )
    parser.add_argument(
        "--strict", action="store_true", help="stop with exit status 1 at the first line that is not a position"
    )
    parser.add_argument("--overwrite", action="store_true", help="delete the shards a previous run left in --out first")
    parser.add_argument(
        "--no-progress", action="store_true", help="no progress bar (it is shown only on a terminal anyway)"
    )
    args = parser.parse_args(argv)
    if args.shard_size < 1:
        parser.error("--shard-size must be at least 1")
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.address is not None and args.scheduler != "dask":
        parser.error("--address needs --scheduler dask")
    if args.inputs.count("-") > 1:
        parser.error("standard input can be read only once")
    kinds = {args.format == "pgn" or (args.format == "auto" and is_pgn(path)) for path in args.inputs}
    if len(kinds) > 1:
        parser.error("the inputs of one run are all FEN or EPD lines or all PGN games (see --format)")
    args.pgn = kinds.pop()
    for path in args.inputs:
        if path != "-" and not os.access(path, os.R_OK):
            parser.error(f"cannot read {path}")
    if args.out.exists() and not args.out.is_dir():
        parser.error(f"{args.out} is not a directory")
    old_shards = [p for p in args.out.iterdir() if SHARD_PATTERN.fullmatch(p.name)] if args.out.is_dir() else []
    if old_shards and not args.overwrite:
        parser.error(f"{args.out} already holds shards ({len(old_shards)}); use --overwrite to replace them")
    args.old_shards = old_shards
    return args


def main(argv=None):
    """Runs the tool; returns the exit status (0, or 1 when --strict met a bad line or game)."""
    args = parse_arguments(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    for path in args.old_shards:
        path.unlink()

    if args.scheduler == "dask":
        scheduler = dask_scheduler(args.address, args.workers, args.compression_level)
    else:
        scheduler = process_scheduler(args.workers, args.compression_level)
    positions = shards = rejected = 0
    status = 0
    progress = tqdm(
        total=_input_size(args.inputs),
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        desc="planes",
        file=sys.stderr,
        disable=True if args.no_progress else None,
    )
    unit = "game" if args.pgn else "line"
    batches = (read_game_batches if args.pgn else read_batches)(args.inputs, args.shard_size)
    with progress, scheduler as (submit, slots):
        for batch, (archive, count, errors) in _in_flight(batches, submit, slots):
            reports = [*batch.unreadable, *((batch.locations[index], message) for index, message in errors)]
            for (path, number), message in reports:
                tqdm.write(f"{path}:{number}: {message}", file=sys.stderr)
                rejected += 1
                if args.strict:
                    break
            if reports and args.strict:
                status = 1
                break
            if archive is not None:
                _write_atomically(args.out / SHARD_NAME.format(shards), archive)
                shards += 1
                positions += count
            progress.update(batch.size)
            progress.set_postfix_str(f"{positions} positions, {rejected} rejected", refresh=False)
        else:
            if progress.total is not None:
                progress.update(progress.total - progress.n)  # comment lines after the last position
    if status:
        print(
            f"stopped at the first {'game that cannot be read' if args.pgn else 'line that is not a position'}; "
            f"{positions} positions in {shards} "
            f"shard{'s' if shards != 1 else ''} written to {args.out}",
            file=sys.stderr,
        )
    else:
        print(
            f"{positions} positions in {shards} shard{'s' if shards != 1 else ''} written to {args.out}; "
            f"{rejected} {unit}{'s' if rejected != 1 else ''} rejected"
        )
    return status


if __name__ == "__main__":
    sys.exit(main())
