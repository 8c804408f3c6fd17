"""Benchmarks vorel_tools's batch functions against compiled chess libraries for Python measured in
the same run, the dataset example against its line-by-line build, and the module's perft against
a peer's native perft. Prints one table of medians of interleaved rounds; ratios are what count.

    python bench/bench_tools.py [--rounds 5] [--positions 100000]
"""

import argparse
import io
import os
import platform
import random
import statistics
import sys
import tempfile
import time
from contextlib import redirect_stdout
from importlib import metadata
from pathlib import Path

import bulletchess
import fastchess
import nchess
import numpy as np
import tensor_chess
import vorel_chess
import vorel_tools

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "examples"), str(ROOT / "tests" / "python"), str(ROOT / "scripts")]
import planes_dataset
from planes_reference import reference_arrays

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"


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


def interleaved(functions, rounds):
    """Runs each function once a round, the functions in turn; returns the median seconds of each."""
    samples = [[] for _ in functions]
    for _ in range(rounds):
        for function, sample in zip(functions, samples, strict=True):
            start = time.perf_counter()
            function()
            sample.append(time.perf_counter() - start)
    return [statistics.median(sample) for sample in samples]


class Table:
    def __init__(self):
        self.rows, self.failures = [], []

    def section(self, title):
        self.rows.append((f"**{title}**", "", "", "", ""))

    def row(self, name, ours, peer, ratio, target=None, met=None):
        verdict = "" if target is None else f"{target} {'yes' if met else 'NO'}"
        if target is not None and not met:
            self.failures.append(f"{name}: {target}")
        self.rows.append((name, ours, peer, ratio, verdict))

    def print(self):
        header = ("benchmark", "vorel_tools", "peer", "ratio", "target met")
        widths = [max(len(str(row[i])) for row in [header, *self.rows]) for i in range(len(header))]
        line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths, strict=True)) + " |"
        print(line(header))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for row in self.rows:
            print(line(row))


def per(seconds, count, unit=1e9, suffix="ns"):
    return f"{seconds / count * unit:.1f} {suffix}"


def six_fields(fen):
    return fen + " 0 1"


def peer_move_lists():
    """Each peer's constructor from FEN plus its list of legal moves, its fastest natural calls."""
    return {
        "bulletchess": lambda fens: [bulletchess.Board.from_fen(fen).legal_moves() for fen in fens],
        "nchess": lambda fens: [nchess.Board(fen).generate_legal_moves() for fen in fens],
        "fastchess": lambda fens: [fastchess.Board(fen).legal_moves_uci() for fen in fens],
        "tensor-chess": lambda fens: [tensor_chess.Position(fen).generate_legal_moves() for fen in fens],
    }


def run_example(paths, out, level, convert=None):
    """Runs the dataset example on one worker; returns its seconds. `convert` replaces its shard
    converter (the line-by-line baseline)."""
    saved = planes_dataset.convert_shard
    if convert is not None:
        planes_dataset.convert_shard = convert
    try:
        start = time.perf_counter()
        with redirect_stdout(io.StringIO()):
            arguments = [*map(str, paths), "--out", str(out), "--workers", "1", "--no-progress", "--overwrite"]
            planes_dataset.main([*arguments, "--compression-level", str(level)])
        return time.perf_counter() - start
    finally:
        planes_dataset.convert_shard = saved


GENERATOR = vorel_chess.MoveGenerator()


def line_by_line(texts, compression_level=planes_dataset.DEFAULT_COMPRESSION):
    """The example's shard converter before vorel_tools, one position at a time."""
    fens = [planes_dataset.position_fen(text) for text in texts]
    arrays = reference_arrays(fens, GENERATOR)
    return planes_dataset.write_archive(arrays, compression_level), len(fens), []


def same_shards(first, second):
    for a, b in zip(sorted(first.glob("*.npz")), sorted(second.glob("*.npz")), strict=True):
        with np.load(a, allow_pickle=False) as x, np.load(b, allow_pickle=False) as y:
            if x.files != y.files or any(x[k].dtype != y[k].dtype or x[k].tobytes() != y[k].tobytes() for k in x.files):
                return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds per measurement")
    parser.add_argument("--positions", type=int, default=100_000)
    args = parser.parse_args()
    rounds, n = args.rounds, args.positions
    versions = ", ".join(
        f"{name} {metadata.version(name)}" for name in ("tensor-chess", "bulletchess", "nchess", "fastchess", "numpy")
    )
    print(
        f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores; Python "
        f"{platform.python_version()}; peers: {versions}; {rounds} interleaved rounds, medians\n"
    )
    table = Table()
    fens = game_positions(n)
    boards = [vorel_chess.Board(fen) for fen in fens]
    peer_positions = [tensor_chess.Position(six_fields(fen)) for fen in fens]
    peer_fens = [six_fields(fen) for fen in fens]

    table.section(f"planes over {n} positions: ns a position; peer = tensor-chess")
    out = np.empty((n, 12, 64), np.uint8)
    first = np.frombuffer(peer_positions[0].to_tensor(), np.uint8)[:768].reshape(12, 64)
    assert np.array_equal(vorel_tools.planes(boards[:1])[0], first)
    fresh, into, peer = interleaved(
        [
            lambda: vorel_tools.planes(boards),
            lambda: vorel_tools.planes(boards, out=out),
            lambda: [position.to_tensor() for position in peer_positions],
        ],
        rounds,
    )
    for name, ours in [("planes(boards), new array", fresh), ("planes(boards, out=array)", into)]:
        table.row(f"{name} vs to_tensor()", per(ours, n), per(peer, n), f"{peer / ours:.1f}×", "≥5×", peer / ours >= 5)
    ours, peer = interleaved(
        [lambda: vorel_tools.planes(fens), lambda: [tensor_chess.Position(fen).to_tensor() for fen in peer_fens]],
        rounds,
    )
    table.row(
        "planes(FEN texts) vs Position(fen).to_tensor()",
        per(ours, n),
        per(peer, n),
        f"{peer / ours:.1f}×",
        "≥2×",
        peer / ours >= 2,
    )

    table.section(f"legal_moves over {n} FEN texts: ns a position; peer = constructor + move list")
    words, offsets = vorel_tools.legal_moves(fens)
    assert vorel_tools.move_texts(words[offsets[7] : offsets[8]]) == GENERATOR(boards[7])
    peers = peer_move_lists()
    timings = interleaved(
        [
            lambda: vorel_tools.legal_moves(fens),
            lambda: vorel_tools.legal_moves(fens, threads=2),
            *[lambda peer=peer: peer(peer_fens) for peer in peers.values()],
        ],
        rounds,
    )
    one, two, *peer_times = timings
    for name, seconds in zip(peers, peer_times, strict=True):
        table.row(f"legal_moves vs {name}", per(one, n), per(seconds, n), f"{seconds / one:.1f}×")
    best = min(peer_times)
    table.row(
        "legal_moves vs the fastest peer", per(one, n), per(best, n), f"{best / one:.1f}×", "≥3×", best / one >= 3
    )
    table.row(
        "legal_moves threads=2 vs threads=1",
        per(two, n),
        per(one, n),
        f"{one / two:.2f}×",
        "≥1.7× on 2 cores",
        one / two >= 1.7,
    )

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
        seconds = interleaved(
            [lambda case=case: run_example([source], directory / case[0], case[1], case[2]) for case in cases],
            max(1, rounds // 2),
        )
        assert all(same_shards(directory / "baseline", directory / case[0]) for case in cases[1:])
        baseline = seconds[0]
        for (name, case_level, _), ours in zip(cases[1:], seconds[1:], strict=True):
            table.row(
                f"--compression-level {case_level} ({name}) vs the example before vorel_tools",
                f"{n / ours / 1e3:.0f} k",
                f"{n / baseline / 1e3:.1f} k",
                f"{baseline / ours:.1f}×",
                "≥10×",
                baseline / ours >= 10,
            )

    table.section("perft: M leaves/s; peer = nchess's native perft")
    for name, fen, depth in [("start", START, 6), ("kiwipete", KIWIPETE, 5)]:
        board, peer_board = vorel_chess.Board(fen), nchess.Board(six_fields(fen))
        leaves = vorel_tools.perft(board, depth)
        assert leaves == peer_board.perft(depth, no_print=True), name
        ours, peer = interleaved(
            [
                lambda board=board, depth=depth: vorel_tools.perft(board, depth),
                lambda peer_board=peer_board, depth=depth: peer_board.perft(depth, no_print=True),
            ],
            3,
        )
        table.row(
            f"{name}, depth {depth} ({leaves} leaves)",
            f"{leaves / ours / 1e6:.1f}",
            f"{leaves / peer / 1e6:.1f}",
            f"{peer / ours:.2f}",
            "≥1.0 of the peer",
            peer / ours >= 1,
        )

    table.print()
    if table.failures:
        print("\ntargets missed: " + "; ".join(table.failures))


if __name__ == "__main__":
    main()
