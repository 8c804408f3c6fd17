"""Turns chess positions into compressed NumPy shards of piece planes and legal moves.

    python examples/planes_dataset.py examples/data/sample.epd --out build/planes
    python examples/planes_dataset.py a.epd b.fen --out data --shard-size 50000 --workers 8
    zcat games.epd.gz | python examples/planes_dataset.py - --out data
    python examples/planes_dataset.py big.epd --out data --scheduler dask
    python examples/planes_dataset.py big.epd --out data --scheduler dask --address tcp://HOST:8786
    python examples/planes_dataset.py games.pgn.zst --out data         # every position of every game

Input: one position a line, as FEN or EPD ("-" reads standard input). Only the first four
fields are read (placement, side to move, castling rights, en passant), so FEN move counters
and EPD operations are ignored. Blank lines and lines starting with "#" are skipped. A line
that is not a position is reported as FILE:LINE: ERROR on standard error, skipped and counted
(--strict stops at the first one instead, with exit status 1).

Or PGN game files (a name ending in .pgn, .pgn.gz, .pgn.bz2, .pgn.xz, .pgn.lzma or .pgn.zst, or
--format pgn, also for standard input), read by vorel_tools.read_games, which decompresses them
by the end of their name (.zst with the zstandard package before Python 3.14): one position per
move of each game's main line, the position before the move, in game order. A game that cannot be read (an illegal move, a bad FEN tag, ...) is
reported as FILE:LINE: ERROR with the line where the game starts, and skipped whole. The inputs
of one run are all of one kind.

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

and, from PGN input, more:

    move_played    uint16 (n,)        the move the game played there: its move word (origin square
                                      in bits 0-5, destination in 6-11, special code in 12-15), the
                                      very word vorel_tools.legal_moves lists for the position
    result         int8 (n,)          the game's result: 1 white won, 0 draw, -1 black won,
                                      2 unknown (a game recorded with "*")
    clock          float32 (n,)       the [%clk h:mm:ss] comment after the move, in seconds; NaN
                                      without one
    eval           float32 (n,)       the [%eval x.yz] comment after the move, in pawns from
                                      White's side; NaN without one and for a mate
    mate           int16 (n,)         [%eval #n] after the move: n, negative when Black mates; 0
                                      without one
    halfmove_clock uint16 (n,)        half-moves since the last capture or pawn move
    game           int64 (n,)         the index of the position's game among all the games of the
                                      inputs (those that could not be read counted too), from 0

FEN and move texts are ASCII, so they are stored as byte strings: a quarter of the size of
NumPy's str arrays, in memory and to compress.

load_shard() below reads a shard back as a list of Position records.

Each shard covers the next --shard-size position lines of the input, in input order; a rejected
line leaves its shard one position short, and a shard with no position is not written. From PGN
input a shard holds whole games, added until their positions reach --shard-size (a long game
makes a larger shard). The arrays are the same whatever the scheduler and the number of workers.

Work is spread over worker processes, one shard per task: by default a local process pool of
--workers processes (--workers 1 works in this process); with --scheduler dask, the Dask
cluster at --address, or a local Dask cluster of --workers processes when no address is
given. The workers of a remote cluster need numpy and vorel_chess installed; this file is sent
to them. Games are read in this process by vorel_tools.read_games, a shard's worth of whole
games at a time, as arrays: the pieces, state, played move and legal moves of every position,
and the clocks and evaluations of the comments. These arrays are sent on, and a worker makes the
planes, FEN texts and move texts from them.

All the per-position work is done by vorel_tools and NumPy, a batch at a time: the planes, side
to move, FEN texts and legal moves of a whole shard come from one call each, as NumPy arrays
(from PGN input, the FEN texts are put together from the arrays of the pieces and state by
fen_texts()). Compression then takes most of the time: --compression-level 6 writes about half
the bytes of the default 1 in three times the time, and 0 stores the arrays as they are.
"""

import argparse
import collections
import contextlib
import importlib
import io
import multiprocessing
import os
import re
import sys
import zipfile
from collections.abc import Sequence
from pathlib import Path
from typing import NamedTuple

import numpy as np
import vorel_tools
from tqdm import tqdm

SHARD_NAME = "shard-{:05d}.npz"
SHARD_PATTERN = re.compile(r"shard-\d{5,}\.npz")
PLANES_SHAPE = (12, 64)
DEFAULT_SHARD_SIZE = 10_000
DEFAULT_COMPRESSION = 1  # zlib's fastest level: compression is most of the work
# The characters that str.split() takes for white space but FEN reading does not.
SPLIT_ONLY_SPACE = "\x1c\x1d\x1e\x1f"
# The endings of the names of compressed files, which vorel_tools.read_games decompresses.
COMPRESSED_SUFFIXES = (".gz", ".bz2", ".xz", ".lzma", ".zst")
PGN_SUFFIXES = (".pgn", *(".pgn" + suffix for suffix in COMPRESSED_SUFFIXES))
# Positions from PGN input: the arrays read_games gives that a shard keeps as they are, by name.
GAME_ARRAYS = ("clock", "eval", "mate", "halfmove_clock")


class Position(NamedTuple):
    """One position of a shard."""

    fen: str
    white_to_move: bool
    planes: np.ndarray  # uint8 (12, 64), a view into the shard's planes
    moves: list[str]
    # From PGN input (None otherwise), as in the arrays of the same names:
    move_played: str | None = None  # the move the game played, as a move text
    result: int | None = None  # 1, 0, -1 or 2
    clock: float | None = None  # seconds, NaN without a clock comment
    eval: float | None = None  # pawns, NaN without an evaluation and for a mate
    mate: int | None = None  # moves to mate, 0 without one
    halfmove_clock: int | None = None
    game: int | None = None


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
        games = [[None] * len(fens)] * 7
        if "move_played" in shard.files:
            games = [vorel_tools.move_texts(shard["move_played"])]
            games += [shard[name].tolist() for name in ("result", *GAME_ARRAYS, "game")]
    return [
        Position(fen, bool(white_to_move[i]), planes[i], moves[offsets[i] : offsets[i + 1]], *more)
        for i, (fen, *more) in enumerate(zip(fens, *games, strict=True))
    ]


# --- The worker side: positions in, one compressed shard out ------------------------------------

# The text of every move word, 4 or 5 ASCII bytes, indexed by the word (special codes 0 to 7):
# turns a whole array of moves into texts at once. Built at the first shard of each process.
_move_texts = None


def move_text_table():
    global _move_texts
    if _move_texts is None:
        _move_texts = np.array(vorel_tools.move_texts(np.arange(8 << 12, dtype=np.uint16)), dtype="S5")
    return _move_texts


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


def planes_of(positions):
    """Returns the planes of the positions (FEN texts, or piece bitboards of shape (n, 12)), in this
    process's array for them (valid until the next call)."""
    global _planes
    if len(_planes) < len(positions):
        _planes = np.empty((len(positions), *PLANES_SHAPE), dtype=np.uint8)
    return vorel_tools.planes(positions, out=_planes[: len(positions)])


def convert_shard(texts, compression_level=DEFAULT_COMPRESSION):
    """Converts position lines into the bytes of one shard archive.

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
    if not fens:
        return None, 0, errors
    arrays = {
        "planes": planes_of(fens),
        "white_to_move": vorel_tools.white_to_move(fens),
        "fen": vorel_tools.fens(fens),
        "moves": move_text_table()[moves],
        "move_offsets": offsets,
    }
    return write_archive(arrays, compression_level), len(fens), errors


# The FEN text of a position from its piece arrays and state, made for a whole shard at once:
# each position is first written on a line of fixed width, with "." for the places a field leaves
# empty, and the "." are then dropped from the bytes of all the lines at once.
_LETTERS = np.frombuffer(b"PNBRQKpnbrqk", np.uint8)  # by piece index


def _run_fillers():
    """For each mask of a rank's occupied squares (bit f for file f), what the rank's 8 letters
    (0 on empty squares) are added to, as one little-endian word of 8 bytes, one per file: 0 on
    the occupied squares, and on each run of empty squares its length as a digit on its first
    square, "." on the others."""
    table = np.zeros((256, 8), np.uint8)
    for mask in range(256):
        empty = [file for file in range(8) if not mask >> file & 1]
        for file in empty:
            if file - 1 not in empty:
                length = next(end for end in range(file, 9) if end not in empty) - file
                table[mask, file], table[mask, file + 1 : file + length] = ord(str(length)), ord(".")
    return table.view("<u8")[:, 0]


_RUN_FILLERS = _run_fillers()
# The line: the ranks from the 8th, each 8 columns, separated by "/" (71 columns), then
# " w KQkq e3\n" (11 columns).
_TEMPLATE = np.frombuffer(b"/".join([b"." * 8] * 8) + b" w KQkq e3\n", np.uint8)
_CASTLING_BITS = np.array([1, 2, 4, 8], np.uint8)  # K, Q, k, q


def fen_texts(bitboards, planes, white_to_move, castling, en_passant):
    """Returns the four-field FEN of each position, as Board.fen() writes it, in an array of ASCII
    bytes as wide as the longest (as vorel_tools.fens gives them).

    bitboards: uint64 (n, 12), the piece bitboards; planes: their planes, uint8 (n, 12, 64);
    castling: bits 1 K, 2 Q, 4 k, 8 q; en_passant: the file (0 for a) of the en-passant square,
    -1 for none.
    """
    n = len(bitboards)
    letters = np.einsum("nks,k->ns", planes, _LETTERS)  # 0 on empty squares
    occupied = np.bitwise_or.reduce(bitboards, axis=1).astype("<u8").view(np.uint8).reshape(n, 8)
    ranks = np.ascontiguousarray(letters).view("<u8") + _RUN_FILLERS[occupied]
    lines = np.tile(_TEMPLATE, (n, 1))
    lines[:, :72].reshape(n, 8, 9)[:, :, :8] = ranks[:, ::-1].astype("<u8").view(np.uint8).reshape(n, 8, 8)
    lines[:, 72] = np.where(white_to_move, ord("w"), ord("b"))
    rights = lines[:, 74:78]
    rights[(castling[:, None] & _CASTLING_BITS) == 0] = ord(".")
    rights[castling == 0, 0] = ord("-")
    passing = en_passant >= 0
    lines[:, 79] = np.where(passing, ord("a") + en_passant.astype(np.uint8), ord("-"))
    lines[:, 80] = np.where(passing, np.where(white_to_move, ord("6"), ord("3")), ord("."))
    return np.array(lines.tobytes().translate(None, b".").split(b"\n")[:-1])


def convert_games(arrays, compression_level=DEFAULT_COMPRESSION):
    """Converts the arrays of the positions of a batch of games (see read_game_batches) into the
    bytes of one shard archive; returns (archive bytes, or None when there is no position; number
    of positions; [])."""
    if not len(arrays["move"]):
        return None, 0, []
    planes = planes_of(arrays["bitboards"])
    shard = {
        "planes": planes,
        "white_to_move": arrays["white_to_move"],
        "fen": fen_texts(
            arrays["bitboards"], planes, arrays["white_to_move"], arrays["castling"], arrays["en_passant"]
        ),
        "moves": move_text_table()[arrays["legal_moves"]],
        "move_offsets": arrays["legal_offsets"],
        "move_played": arrays["move"],
        "result": arrays["result"],
        **{name: arrays[name] for name in GAME_ARRAYS},
        "game": arrays["game"],
    }
    return write_archive(shard, compression_level), len(planes), []


# --- The main process: reading, scheduling, writing --------------------------------------------


class Batch(NamedTuple):
    """The input of one shard and the input bytes it spans: position lines with where they came
    from (FEN or EPD input), or the arrays of the positions of whole games with the games that
    could not be read (PGN input)."""

    texts: list[str]
    locations: list[tuple[str, int]]
    size: int
    arrays: dict[str, np.ndarray] | None = None
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
def _game_source(path):
    """Yields (what read_games reads for a PGN input, a function returning the input bytes read so
    far or None where that is not known). read_games opens a compressed file itself, by its path,
    and decompresses it; a plain one is given as a file object, whose position tells."""
    if path != "-" and path.lower().endswith(COMPRESSED_SUFFIXES):
        yield path, None
    else:
        with _open_input(path) as raw:
            yield raw, raw.tell if raw.seekable() else None


# The per-position arrays of a GameBatch that a shard is made from.
BATCH_ARRAYS = ("bitboards", "white_to_move", "castling", "en_passant", "move", "legal_moves", "legal_offsets")


def read_game_batches(paths, shard_size):
    """Yields a Batch for each batch of whole games that vorel_tools.read_games gives, of about
    shard_size positions (whole games are added until their moves reach it): the arrays of the
    position before each move of each game's main line, with the game's result and index, and the
    games that could not be read."""
    games, carried = 0, 0  # the games of the inputs before, and input bytes not yet counted
    for path in paths:
        with (
            _game_source(path) as (source, tell),
            vorel_tools.read_games(source, batch_positions=shard_size, legal_moves=True) as reader,
        ):
            read = count = 0
            for batch in reader:
                arrays = {name: getattr(batch, name) for name in (*BATCH_ARRAYS, *GAME_ARRAYS)}
                arrays["result"] = batch.result[batch.game]
                arrays["game"] = batch.game + np.int64(games + batch.first_game)
                unreadable = [
                    ((path, line), error)
                    for line, error in zip(batch.line.tolist(), batch.error, strict=True)
                    if error is not None
                ]
                if tell is not None:
                    position = tell()
                    carried, read = carried + position - read, position
                yield Batch([], [], carried, arrays, unreadable)
                carried, count = 0, batch.first_game + len(batch)
            games += count
            if tell is not None:
                carried += tell() - read
            elif path != "-":
                carried += os.path.getsize(path)


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


def shard_task(batch, level):
    """Returns the name of the function that converts a batch into a shard, and its arguments."""
    if batch.arrays is None:
        return "convert_shard", (batch.texts, level)
    return "convert_games", (batch.arrays, level)


@contextlib.contextmanager
def process_scheduler(workers, level=DEFAULT_COMPRESSION):
    """Yields (submit, slots): submit(batch) starts a shard and returns a function that waits for
    its result; slots is how many shards to keep in flight."""
    if workers == 1:

        def convert_here(batch):
            name, arguments = shard_task(batch, level)
            result = globals()[name](*arguments)
            return lambda: result

        yield convert_here, 1
        return
    # spawn: the parent may hold threads (the progress bar's, a test runner's), and fork would
    # copy their locks in whatever state they are.
    context = multiprocessing.get_context("spawn")
    with context.Pool(workers) as pool:

        def submit(batch):
            name, arguments = shard_task(batch, level)
            return pool.apply_async(globals()[name], arguments).get

        yield submit, 2 * workers


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

        def submit(batch):
            name, arguments = shard_task(batch, level)
            return client.submit(getattr(module, name), *arguments, pure=False).result

        yield submit, 2 * max(1, sum(client.nthreads().values()))


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
        help="FEN or EPD file, one position a line, or PGN game file (.pgn, .pgn.gz, .pgn.bz2, .pgn.xz, "
        ".pgn.lzma, .pgn.zst); - for standard input",
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
        help=f"position lines per shard, or positions of whole games from PGN input (default {DEFAULT_SHARD_SIZE})",
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
