"""Benchmarks vorel_tools's batch functions against compiled chess libraries for Python measured in
the same run, the dataset example against its line-by-line build, and the example on PGN input
against the example before it read games through read_games. Prints one table of medians of
interleaved rounds; ratios are what count. (vorel_tools.perft against a peer's native perft is in
bench.py's last table, which measures every native perft once.)

    python bench/bench_tools.py [--rounds 5] [--positions 100000] [--games 1000] [--encodings-only]

The example before read_games is the file at BEFORE_READ_GAMES, which git writes to
build/planes_dataset_before.py (the first time; without git the rows are left out).
"""

import argparse
import importlib.util
import io
import random
import subprocess
import sys
import tempfile
import time
from contextlib import redirect_stdout
from functools import partial
from pathlib import Path

import bulletchess
import chess
import chess.polyglot
import fastchess
import nchess
import numpy as np
import tensor_chess
import vorel_chess
import vorel_tools
from bench_games import game_files
from harness import ROOT, Table, compare, interleave, print_header, print_missed, warmed
from peers import six_fields
from planes_reference import reference_arrays
from policy_reference import legal_mask

# The benchmark runs the dataset example in this process, to swap its shard converter.
sys.path.insert(0, str(ROOT / "examples"))
import planes_dataset


def game_positions(count, seed=2024):
    """FEN texts of the positions of seeded random games, every ply of each."""
    rng, generator, fens = random.Random(seed), vorel_chess.MoveGenerator(), []
    while len(fens) < count:
        board = vorel_chess.Board()
        for _ in range(rng.randrange(20, 160)):
            moves = generator(board)
            if not moves:
                break
            board.push(rng.choice(moves))
            fens.append(board.fen())
    return fens[:count]


def per(seconds, count, unit=1e9, suffix="ns"):
    return f"{seconds / count * unit:.1f} {suffix}"


def peer_move_lists():
    """Each peer's constructor from FEN plus its list of legal moves, its fastest natural calls."""
    return {
        "bulletchess": lambda fens: [bulletchess.Board.from_fen(fen).legal_moves() for fen in fens],
        "nchess": lambda fens: [nchess.Board(fen).generate_legal_moves() for fen in fens],
        "fastchess": lambda fens: [fastchess.Board(fen).legal_moves_uci() for fen in fens],
        "tensor-chess": lambda fens: [tensor_chess.Position(fen).generate_legal_moves() for fen in fens],
    }


# The dataset example as it was before it read PGN input through read_games (it replayed each
# game's moves on a Board and sent the FEN texts of the positions to the workers).
BEFORE_READ_GAMES = "681de8c:examples/planes_dataset.py"


def example_before_read_games():
    """Returns the dataset example before read_games as a module, or None when git cannot give it."""
    path = ROOT / "build" / "planes_dataset_before.py"
    if not path.exists():
        try:
            text = subprocess.run(
                ["git", "show", BEFORE_READ_GAMES], cwd=ROOT, capture_output=True, check=True, text=True
            ).stdout
        except (OSError, subprocess.CalledProcessError):
            return None
        path.parent.mkdir(exist_ok=True)
        path.write_text(text)
    spec = importlib.util.spec_from_file_location("planes_dataset_before", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_example(paths, out, level, convert=None, example=planes_dataset):
    """Runs the dataset example (or another version of it) on one worker; returns its seconds.
    `convert` replaces its shard converter (the line-by-line baseline)."""
    saved = example.convert_shard
    if convert is not None:
        example.convert_shard = convert
    try:
        start = time.perf_counter()
        with redirect_stdout(io.StringIO()):
            arguments = [*map(str, paths), "--out", str(out), "--workers", "1", "--no-progress", "--overwrite"]
            example.main([*arguments, "--compression-level", str(level)])
        return time.perf_counter() - start
    finally:
        example.convert_shard = saved


GENERATOR = vorel_chess.MoveGenerator()


def line_by_line(texts, compression_level=planes_dataset.DEFAULT_COMPRESSION):
    """The example's shard converter before vorel_tools, one position at a time."""
    fens = [planes_dataset.position_fen(text) for text in texts]
    arrays = reference_arrays(fens, GENERATOR)
    return planes_dataset.write_archive(arrays, compression_level), len(fens), []


def shard_arrays(directory):
    """The arrays of all the shards of a directory, each joined in shard order (the move offsets as
    counts of moves, the FEN texts as a list)."""
    parts = {}
    for path in sorted(directory.glob("*.npz")):
        with np.load(path, allow_pickle=False) as shard:
            for name in shard.files:
                array = np.diff(shard[name]) if name == "move_offsets" else shard[name]
                parts.setdefault(name, []).append(array.tolist() if name == "fen" else array)
    joined = {name: np.concatenate(arrays) for name, arrays in parts.items() if name != "fen"}
    return joined | {"fen": [text for texts in parts.get("fen", []) for text in texts]}


def same_shards(first, second):
    for a, b in zip(sorted(first.glob("*.npz")), sorted(second.glob("*.npz")), strict=True):
        with np.load(a, allow_pickle=False) as x, np.load(b, allow_pickle=False) as y:
            if x.files != y.files or any(x[k].dtype != y[k].dtype or x[k].tobytes() != y[k].tobytes() for k in x.files):
                return False
    return True


# The pure-Python peer of the encodings is timed on this many of the positions (its loop over all
# of them would take minutes a round); the rows compare times a position.
PURE_PYTHON_POSITIONS = 10_000


def encodings(table, rounds, fens, boards):
    """The rows of legal_mask and zobrist against the pure-Python chess library, and the mask's cost
    against the move list's. Every call is timed after an untimed one (harness.warmed): the masks of
    100,000 positions take 186 MB (lc0) and 467 MB (az) of fresh memory a call."""
    n, few = len(fens), fens[:PURE_PYTHON_POSITIONS]
    peer_boards = [chess.Board(fen) for fen in fens]
    mask = vorel_tools.legal_mask(fens, scheme="lc0")
    assert all((mask[i] == legal_mask(board, "lc0")).all() for i, board in enumerate(peer_boards[:200]))
    keys = vorel_tools.zobrist(boards)
    assert keys.tolist() == [chess.polyglot.zobrist_hash(board) for board in peer_boards]

    def peer_masks():
        return [legal_mask(chess.Board(fen), "lc0") for fen in few]

    def peer_keys():
        return [chess.polyglot.zobrist_hash(board) for board in peer_boards]

    out = np.empty((n, 1858), bool)

    def fresh_memory():
        """What a new mask's memory alone costs: NumPy's zeros of its shape, every page written."""
        np.zeros((n, 1858), bool).reshape(-1)[::4096] = True

    lc0, into, memory, az, moves, peer_mask, keys_boards, keys_texts, peer_key = interleave(
        [
            warmed(function)
            for function in [
                lambda: vorel_tools.legal_mask(fens, scheme="lc0"),
                lambda: vorel_tools.legal_mask(fens, scheme="lc0", out=out),
                fresh_memory,
                lambda: vorel_tools.legal_mask(fens, scheme="az"),
                lambda: vorel_tools.legal_moves(fens),
                peer_masks,
                lambda: vorel_tools.zobrist(boards),
                lambda: vorel_tools.zobrist(fens),
                peer_keys,
            ]
        ],
        rounds,
        with_gc=True,
    )
    table.section(
        f"legal_mask over {n} FEN texts: ns a position; peers = the pure-Python chess library "
        f"(on {len(few)} of them: Board(fen), legal moves, mirror, dict lookup) and our legal_moves"
    )
    theirs = peer_mask / len(few)
    for name, seconds in [("", lc0), (", out=array", into)]:
        ours = seconds / n
        table.row(
            f'legal_mask(scheme="lc0"{name}) vs the pure-Python loop',
            per(ours, 1),
            per(theirs, 1),
            f"{theirs / ours:.0f}×",
            target="≥100×",
            met=theirs / ours >= 100,
        )
    for name, seconds in [("", lc0), (", out=array", into)]:
        table.row(
            f'legal_mask(scheme="lc0"{name}) vs 1.5 × legal_moves',
            per(seconds, n),
            per(1.5 * moves, n),
            f"{1.5 * moves / seconds:.2f}×",
            target="≥1×",
            met=1.5 * moves / seconds >= 1,
        )
    table.row("numpy.zeros((n, 1858), bool), every page written: the new mask's memory alone", per(memory, n))
    table.row('legal_mask(scheme="az") vs legal_moves', per(az, n), per(moves, n), f"{az / moves:.2f}× its time")
    table.section(f"zobrist over {n} positions: ns a position; peer = chess.polyglot.zobrist_hash(board)")
    theirs = peer_key / n
    for name, seconds, target in [("zobrist(boards)", keys_boards, "≥100×"), ("zobrist(FEN texts)", keys_texts, None)]:
        ours = seconds / n
        table.row(
            f"{name} vs zobrist_hash(board)",
            per(ours, 1),
            per(theirs, 1),
            f"{theirs / ours:.0f}×",
            target=target,
            met=target is None or theirs / ours >= 100,
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds per measurement")
    parser.add_argument("--positions", type=int, default=100_000)
    parser.add_argument("--games", type=int, default=1000, help="lichess-format games of the PGN dataset rows")
    parser.add_argument("--encodings-only", action="store_true", help="only the rows of the encodings for models")
    args = parser.parse_args()
    rounds, n = args.rounds, args.positions
    print_header(["tensor-chess", "bulletchess", "nchess", "fastchess", "chess", "numpy"], rounds)
    table = Table("benchmark", "vorel_tools", "peer", "ratio", "target met")
    fens = game_positions(n)
    boards = [vorel_chess.Board(fen) for fen in fens]
    if args.encodings_only:
        encodings(table, rounds, fens, boards)
        table.print()
        print_missed(table)
        return
    peer_positions = [tensor_chess.Position(six_fields(fen)) for fen in fens]
    peer_fens = [six_fields(fen) for fen in fens]

    table.section(f"planes over {n} positions: ns a position; peer = tensor-chess")
    out = np.empty((n, 12, 64), np.uint8)
    first = np.frombuffer(peer_positions[0].to_tensor(), np.uint8)[:768].reshape(12, 64)
    assert np.array_equal(vorel_tools.planes(boards[:1])[0], first)
    fresh, into, peer = compare(
        [
            lambda: vorel_tools.planes(boards),
            lambda: vorel_tools.planes(boards, out=out),
            lambda: [position.to_tensor() for position in peer_positions],
        ],
        rounds,
        with_gc=True,
    )
    for name, ours in [("planes(boards), new array", fresh), ("planes(boards, out=array)", into)]:
        table.row(
            f"{name} vs to_tensor()",
            per(ours, n),
            per(peer, n),
            f"{peer / ours:.1f}×",
            target="≥5×",
            met=peer / ours >= 5,
        )
    ours, peer = compare(
        [lambda: vorel_tools.planes(fens), lambda: [tensor_chess.Position(fen).to_tensor() for fen in peer_fens]],
        rounds,
        with_gc=True,
    )
    table.row(
        "planes(FEN texts) vs Position(fen).to_tensor()",
        per(ours, n),
        per(peer, n),
        f"{peer / ours:.1f}×",
        target="≥2×",
        met=peer / ours >= 2,
    )

    table.section(f"legal_moves over {n} FEN texts: ns a position; peer = constructor + move list")
    words, offsets = vorel_tools.legal_moves(fens)
    assert vorel_tools.move_texts(words[offsets[7] : offsets[8]]) == GENERATOR(boards[7])
    peers = peer_move_lists()
    timings = compare(
        [
            lambda: vorel_tools.legal_moves(fens),
            lambda: vorel_tools.legal_moves(fens, threads=2),
            *[lambda peer=peer: peer(peer_fens) for peer in peers.values()],
        ],
        rounds,
        with_gc=True,
    )
    one, two, *peer_times = timings
    for name, seconds in zip(peers, peer_times, strict=True):
        table.row(f"legal_moves vs {name}", per(one, n), per(seconds, n), f"{seconds / one:.1f}×")
    best = min(peer_times)
    table.row(
        "legal_moves vs the fastest peer",
        per(one, n),
        per(best, n),
        f"{best / one:.1f}×",
        target="≥3×",
        met=best / one >= 3,
    )
    table.row(
        "legal_moves threads=2 vs threads=1",
        per(two, n),
        per(one, n),
        f"{one / two:.2f}×",
        target="≥1.7× on 2 cores",
        met=one / two >= 1.7,
    )

    encodings(table, rounds, fens, boards)

    table.section(
        f"dataset example, {n} positions, one worker: positions/s; peer = the example before vorel_tools "
        "(line by line, zlib level 6)"
    )
    with tempfile.TemporaryDirectory() as directory:
        directory = Path(directory)
        source = directory / "positions.fen"
        source.write_text("\n".join(fens) + "\n")
        default = planes_dataset.DEFAULT_COMPRESSION
        cases = [("baseline", 6, line_by_line), ("default", default, None), ("smallest", 6, None), ("stored", 0, None)]
        # run_example times itself: each is a measure as it is.
        seconds = interleave(
            [partial(run_example, [source], directory / name, level, convert) for name, level, convert in cases],
            max(1, rounds // 2),
            with_gc=True,
        )
        assert all(same_shards(directory / "baseline", directory / case[0]) for case in cases[1:])
        baseline = seconds[0]
        for (name, case_level, _), ours in zip(cases[1:], seconds[1:], strict=True):
            table.row(
                f"--compression-level {case_level} ({name}) vs the example before vorel_tools",
                f"{n / ours / 1e3:.0f} k",
                f"{n / baseline / 1e3:.1f} k",
                f"{baseline / ours:.1f}×",
                target="≥10×",
                met=baseline / ours >= 10,
            )

    before = example_before_read_games()
    if before is None:
        print(f"the dataset example on PGN input: left out, git could not give {BEFORE_READ_GAMES}\n")
    else:
        pgn_dataset_rows(table, before, args.games, rounds)

    table.print()
    print(
        "\nvorel_tools.perft against nchess's native perft: in the last table of bench.py, which measures "
        "every native perft once."
    )
    print_missed(table)


def pgn_dataset_rows(table, before, games, rounds):
    """The dataset example on lichess-format games against the example before read_games, at the
    default compression level and stored; both make the same arrays (the new shards hold more)."""
    path, _ = game_files(games)
    positions = sum(len(batch.move) for batch in vorel_tools.read_games(path))
    table.section(
        f"dataset example on PGN input, {games} lichess-format games ({positions} positions), one worker: "
        "positions/s; peer = the example before read_games"
    )
    default = planes_dataset.DEFAULT_COMPRESSION
    with tempfile.TemporaryDirectory() as directory:
        directory = Path(directory)
        cases = [(example, level) for level in (default, 0) for example in (before, planes_dataset)]
        seconds = interleave(
            [
                partial(run_example, [path], directory / f"{example.__name__}-{level}", level, example=example)
                for example, level in cases
            ],
            rounds,
            with_gc=True,
        )
        for _, level in cases[::2]:
            old = shard_arrays(directory / f"{before.__name__}-{level}")
            new = shard_arrays(directory / f"{planes_dataset.__name__}-{level}")
            assert len(old["fen"]) == positions and old["fen"] == new["fen"]
            assert all(np.array_equal(old[name], new[name]) for name in old if name != "fen")
    for (_, level), baseline, ours in zip(cases[::2], seconds[::2], seconds[1::2], strict=True):
        name = "default" if level == default else "stored"
        table.row(
            f"--compression-level {level} ({name}) vs the example before read_games",
            f"{positions / ours / 1e3:.0f} k",
            f"{positions / baseline / 1e3:.0f} k",
            f"{baseline / ours:.1f}×",
            target="≥5×",
            met=baseline / ours >= 5,
        )


if __name__ == "__main__":
    main()
