"""Benchmarks vorel_chess against the pure-Python peer (the `chess` package), against the floors
(the least work the interpreter needs to build the same results, in C), and its native perft
against a strong engine's. Prints one table of medians of interleaved repeated runs.

    python bench/bench.py --native build/bench/perft_native [--rounds 11] [--quick]
"""

import argparse
import gc
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import time
from importlib import util as importlib_util
from pathlib import Path

import chess
import vorel_chess

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "examples"), str(ROOT / "tests" / "python")]
from perft import deepest, known_positions
from perft import perft as our_perft
from uci_engine import Engine

# The well-known perft positions, each at the deepest depth whose count is at most PYTHON_NODES
# for the Python-driven perft benchmark: (name, FEN, depth).
PYTHON_NODES = 100_000
KNOWN = known_positions()
POSITIONS = [(name, fen, deepest(counts, PYTHON_NODES)[0]) for name, fen, counts in KNOWN]

# Native perft, at the deepest known count: (name, FEN, depth).
NATIVE = [(name, fen, len(counts)) for name, fen, counts in KNOWN if name in ("start", "kiwipete")]

# A 40-ply game for the copy-with-history benchmark.
GAME = [
    "e2e4",
    "e7e5",
    "g1f3",
    "b8c6",
    "f1b5",
    "a7a6",
    "b5a4",
    "g8f6",
    "e1g1",
    "f8e7",
    "f1e1",
    "b7b5",
    "a4b3",
    "d7d6",
    "c2c3",
    "e8g8",
    "h2h3",
    "c6a5",
    "b3c2",
    "c7c5",
    "d2d4",
    "d8c7",
    "b1d2",
    "c5d4",
    "c3d4",
    "a5c6",
    "d2b3",
    "a6a5",
    "c1e3",
    "a5a4",
    "b3d2",
    "c8d7",
    "a1c1",
    "c7b7",
    "d2f1",
    "f8c8",
    "f1g3",
    "c6b4",
    "c2b1",
    "a8a5",
]


def build_floor():
    """Compiles the floor helper next to the benchmark build and imports it."""
    out_dir = ROOT / "build" / "bench"
    out_dir.mkdir(parents=True, exist_ok=True)
    target = out_dir / ("bench_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = ROOT / "bench" / "floor.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        compiler = os.environ.get("CC", "cc")
        subprocess.run(
            [
                compiler,
                "-O2",
                "-shared",
                "-fPIC",
                f"-I{sysconfig.get_paths()['include']}",
                str(source),
                "-o",
                str(target),
            ],
            check=True,
        )
    spec = importlib_util.spec_from_file_location("bench_floor", target)
    module = importlib_util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def calibrate(function, min_seconds):
    """Returns a call count whose batch takes at least min_seconds."""
    count = 1
    while True:
        start = time.perf_counter()
        for _ in range(count):
            function()
        if time.perf_counter() - start >= min_seconds:
            return count
        count *= 2


def compare(functions, rounds, min_seconds=0.01):
    """Times each function per call, interleaving the batches; returns the median seconds."""
    counts = [calibrate(function, min_seconds) for function in functions]
    samples = [[] for _ in functions]
    gc.disable()
    try:
        for _ in range(rounds):
            for function, count, sample in zip(functions, counts, samples, strict=True):
                start = time.perf_counter()
                for _ in range(count):
                    function()
                sample.append((time.perf_counter() - start) / count)
    finally:
        gc.enable()
    return [statistics.median(sample) for sample in samples]


def peer_perft(board, depth):
    if depth == 1:
        return board.legal_moves.count()
    nodes = 0
    for move in board.legal_moves:
        board.push(move)
        nodes += peer_perft(board, depth - 1)
        board.pop()
    return nodes


# The peer's ways to the 12 x 64 list of bools; the benchmark takes the fastest.
BYTE_FLAGS = [tuple(bool(byte >> i & 1) for i in range(8)) for byte in range(256)]
PEER_PLANE_ORDER = [(piece, color) for color in (chess.WHITE, chess.BLACK) for piece in range(1, 7)]
SQUARES = range(64)


def peer_planes_by_square(board):
    return [
        [bool(mask >> i & 1) for i in SQUARES]
        for mask in (board.pieces_mask(piece, color) for piece, color in PEER_PLANE_ORDER)
    ]


def peer_planes_by_byte(board):
    planes = []
    for piece, color in PEER_PLANE_ORDER:
        mask = board.pieces_mask(piece, color)
        planes.append([flag for shift in range(0, 64, 8) for flag in BYTE_FLAGS[mask >> shift & 255]])
    return planes


def peer_planes_by_lookup(board):
    planes = []
    for piece, color in PEER_PLANE_ORDER:
        mask = board.pieces_mask(piece, color)
        flags = BYTE_FLAGS
        planes.append(
            [
                *flags[mask & 255],
                *flags[mask >> 8 & 255],
                *flags[mask >> 16 & 255],
                *flags[mask >> 24 & 255],
                *flags[mask >> 32 & 255],
                *flags[mask >> 40 & 255],
                *flags[mask >> 48 & 255],
                *flags[mask >> 56],
            ]
        )
    return planes


def native_perft(binary, fen, depth):
    out = subprocess.run([binary, str(depth), fen], check=True, capture_output=True, text=True).stdout
    leaves, seconds = out.split()
    return int(leaves), float(seconds)


class Table:
    def __init__(self):
        self.rows = []
        self.failures = []

    def section(self, title):
        self.rows.append((f"**{title}**", "", "", "", "", "", ""))

    def row(self, name, ours, peer, ratio, floor="", over_floor="", target=None, met=None):
        verdict = "" if target is None else f"{target} {'yes' if met else 'NO'}"
        if target is not None and not met:
            self.failures.append(f"{name}: {target}")
        self.rows.append((name, ours, peer, ratio, floor, over_floor, verdict))

    def print(self):
        header = ("benchmark", "vorel_chess", "peer", "ratio", "floor", "÷ floor", "target met")
        widths = [max(len(str(row[i])) for row in [header, *self.rows]) for i in range(len(header))]
        line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths, strict=True)) + " |"
        print(line(header))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for row in self.rows:
            print(line(row))


def us(seconds):
    return f"{seconds * 1e6:.2f} µs"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", help="path of the perft_native benchmark binary")
    parser.add_argument("--engine", default=shutil.which("stockfish") or "/usr/games/stockfish")
    parser.add_argument("--rounds", type=int, default=11, help="interleaved rounds per measurement")
    parser.add_argument("--quick", action="store_true", help="fewer rounds, no native perft")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds
    floor = build_floor()
    table = Table()
    generator = vorel_chess.MoveGenerator()

    cpu = next(
        (
            line.split(":", 1)[1].strip()
            for line in Path("/proc/cpuinfo").read_text().splitlines()
            if line.startswith("model name")
        ),
        platform.processor(),
    )
    print(
        f"machine: {cpu}, {os.cpu_count()} cores; Python {platform.python_version()}; "
        f"peer: chess {chess.__version__}; {rounds} interleaved rounds, medians\n"
    )

    # Let the processor reach its working clock before the first measurement.
    warm_board = vorel_chess.Board()
    deadline = time.perf_counter() + 0.5
    while time.perf_counter() < deadline:
        generator(warm_board)

    table.section("generator(board): µs per call; floor = building the same list of fresh str in C")
    for name, fen, _ in POSITIONS:
        board = vorel_chess.Board(fen)
        peer_board = chess.Board(fen)
        texts = generator(board)
        assert sorted(texts) == sorted(m.uci() for m in peer_board.legal_moves), name
        ours, peer, bottom = compare(
            [
                lambda: generator(board),
                lambda: [m.uci() for m in peer_board.legal_moves],
                lambda: floor.move_texts(texts),
            ],
            rounds,
        )
        table.row(
            f"{name} ({len(texts)} moves)",
            us(ours),
            us(peer),
            f"{peer / ours:.1f}×",
            us(bottom),
            f"{ours / bottom:.2f}",
            "≥25× peer, ≤2.5 floor",
            peer / ours >= 25 and ours / bottom <= 2.5,
        )

    table.section("perft through Python (push, generate, pop): M nodes/s")
    for name, fen, depth in POSITIONS:
        board = vorel_chess.Board(fen)
        peer_board = chess.Board(fen)
        nodes = our_perft(generator, board, depth)
        assert nodes == peer_perft(peer_board, depth), name
        ours, peer = compare(
            [lambda: our_perft(generator, board, depth), lambda: peer_perft(peer_board, depth)],
            max(3, rounds // 2),
            min_seconds=0,
        )
        table.row(
            f"{name}, depth {depth} ({nodes} nodes)",
            f"{nodes / ours / 1e6:.2f}",
            f"{nodes / peer / 1e6:.3f}",
            f"{peer / ours:.1f}×",
            target="≥20× peer",
            met=peer / ours >= 20,
        )

    table.section("board operations: µs per call")
    fen = POSITIONS[1][1]
    fresh, peer_fresh = vorel_chess.Board(fen), chess.Board(fen)
    played, peer_played = vorel_chess.Board(), chess.Board()
    for move in GAME:
        played.push(move)
        peer_played.push_uci(move)
    assert played.fen() == " ".join(peer_played.fen().split()[:4])
    peer_ways = [peer_planes_by_square, peer_planes_by_byte, peer_planes_by_lookup]
    for way in peer_ways:
        assert way(peer_fresh) == fresh.bitboard(), way.__name__
    cases = [
        ("Board(fen)", lambda: vorel_chess.Board(fen), lambda: chess.Board(fen), 30),
        ("fen()", fresh.fen, peer_fresh.fen, 30),
        ("copy(), fresh board", fresh.copy, peer_fresh.copy, 5),
        ("copy(), 40-ply history", played.copy, peer_played.copy, 50),
        ("reflect() vs mirror()", fresh.reflect, peer_fresh.mirror, 20),
    ]
    for name, ours_function, peer_function, target in cases:
        ours, peer = compare([ours_function, peer_function], rounds)
        table.row(name, us(ours), us(peer), f"{peer / ours:.1f}×", target=f"≥{target}× peer", met=peer / ours >= target)
    bitboards = tuple(sum(1 << i for i, flag in enumerate(plane) if flag) for plane in fresh.bitboard())
    timings = compare(
        [fresh.bitboard, lambda: floor.planes(bitboards), *[lambda way=way: way(peer_fresh) for way in peer_ways]],
        rounds,
    )
    ours, bottom, *peers = timings
    best = min(range(len(peers)), key=peers.__getitem__)
    table.row(
        f"bitboard() (peer: {peer_ways[best].__name__})",
        us(ours),
        us(peers[best]),
        f"{peers[best] / ours:.1f}×",
        us(bottom),
        f"{ours / bottom:.2f}",
        "≥3× peer, ≤1.5 floor",
        peers[best] / ours >= 3 and ours / bottom <= 1.5,
    )

    (construct,) = compare([vorel_chess.MoveGenerator], rounds, min_seconds=0.05)
    table.section("move generator tables")
    table.row("MoveGenerator() from Python", f"{construct * 1e3:.2f} ms", "", "", target="<5 ms", met=construct < 0.005)

    if args.native and not args.quick:
        seconds, size = subprocess.run(
            [args.native, "--tables"], check=True, capture_output=True, text=True
        ).stdout.split()
        table.row(
            "table bytes", f"{int(size)} ({int(size) / 2**20:.2f} MiB)", "", "", target="<1 MiB", met=int(size) < 2**20
        )
        engine = Engine(args.engine)
        table.section(f"native perft, no Python: M leaves/s; peer = {engine.name} (go perft)")
        for name, native_fen, depth in NATIVE:
            ours_samples, peer_samples = [], []
            for _ in range(3):
                leaves, seconds = native_perft(args.native, native_fen, depth)
                ours_samples.append(leaves / seconds)
                engine_leaves, _, engine_seconds = engine.perft(native_fen, depth)
                assert engine_leaves == leaves, name
                peer_samples.append(engine_leaves / engine_seconds)
            ours, peer = statistics.median(ours_samples), statistics.median(peer_samples)
            table.row(
                f"{name}, depth {depth} ({leaves} leaves)",
                f"{ours / 1e6:.1f}",
                f"{peer / 1e6:.1f}",
                f"{ours / peer:.2f}",
                target="≥0.20 of engine",
                met=ours / peer >= 0.2,
            )
        engine.close()

    table.print()
    if table.failures:
        print("\ntargets missed: " + "; ".join(table.failures))


if __name__ == "__main__":
    main()
