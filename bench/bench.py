"""Benchmarks vorel_chess against the compiled chess libraries for Python (bulletchess, nchess,
fastchess, tensor-chess), against the pure-Python peer (the `chess` package), against the floors
(the least work the interpreter needs to build the same results, in C), and the native perfts
(the C++ core's binary and vorel_tools.perft) against nchess's and a strong engine's, each
measured once. Prints tables of medians of interleaved repeated runs.

    python bench/bench.py --native build/bench/perft_native [--rounds 11] [--quick]
"""

import argparse
import ctypes
import gc
import os
import shutil
import subprocess
import sys
import sysconfig
import time
from functools import partial
from importlib import util as importlib_util

import chess
import vorel_chess
import vorel_tools
from harness import BATCH_SECONDS, ROOT, Table, compare, interleave, print_header, print_missed
from peers import NCHESS, PEERS, six_fields
from perft_table import deepest, known_positions
from perft_table import perft as our_perft
from uci_engine import Engine

# The well-known perft positions, each at the deepest depth whose count is at most PYTHON_NODES
# for the Python-driven perft benchmark: (name, FEN, depth).
PYTHON_NODES = 100_000
KNOWN = known_positions()
POSITIONS = [(name, fen, deepest(counts, PYTHON_NODES)[0]) for name, fen, counts in KNOWN]

# Native perft, at the deepest known count: (name, FEN, depth, leaves).
NATIVE = [(name, fen, len(counts), counts[-1]) for name, fen, counts in KNOWN if name in ("start", "kiwipete")]

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


def clocked(function):
    """Returns a function that calls `function` and returns (its result, the seconds it took)."""

    def run():
        start = time.perf_counter()
        result = function()
        return result, time.perf_counter() - start

    return run


def counting(run, leaves, label):
    """Returns a measure of `run`, which returns (leaves counted, seconds taken); the count must be
    the known one."""

    def measure():
        counted, seconds = run()
        assert counted == leaves, label
        return seconds

    return measure


def measure_native_perft(binary, engine, rounds=3):
    """Measures every native perft once, in interleaved rounds on each NATIVE position: the C++
    core's perft_native binary, vorel_tools.perft, nchess's Board.perft and the engine's go perft.
    Returns (name, depth, leaves, [leaves per second of each, in that order, from the medians])."""
    results = []
    for name, fen, depth, leaves in NATIVE:
        board, peer_board = vorel_chess.Board(fen), NCHESS.board(six_fields(fen))

        def engine_perft(fen=fen, depth=depth):
            nodes, _, seconds = engine.perft(fen, depth)
            return nodes, seconds

        runs = [
            partial(native_perft, binary, fen, depth),
            clocked(partial(vorel_tools.perft, board, depth)),
            clocked(partial(NCHESS.native_perft, peer_board, depth)),
            engine_perft,
        ]
        seconds = interleave([counting(run, leaves, name) for run in runs], rounds)
        results.append((name, depth, leaves, [leaves / s for s in seconds]))
    return results


def us(seconds):
    return f"{seconds * 1e6:.2f} µs"


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks")
    ] + [("keepcost", ctypes.c_size_t)]


def retained_bytes(make, count=4000):
    """Returns the bytes that one object made by `make` keeps: its Python object (sys.getsizeof) and
    what it holds from the C allocator (glibc's count of bytes in use, chunk headers included)."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    kept = [None] * count
    gc.collect()
    before = mallinfo2().uordblks
    for i in range(count):
        kept[i] = make()
    held = mallinfo2().uordblks - before
    return sys.getsizeof(kept[0]) + held / count


def push_pop(board, text):
    board.push(text)
    board.pop()


def fastest(timings):
    """Returns (peer, seconds) of the fastest peer among those that have a timing."""
    return min(((peer, t) for peer, t in zip(PEERS, timings, strict=True) if t is not None), key=lambda item: item[1])


def peer_cells(timings, show):
    return [("n/a" if t is None else show(t)) for t in timings]


def time_against_peers(ours, peer_calls, rounds, min_seconds=BATCH_SECONDS):
    """Times ours and every peer's call that exists, interleaved; returns (ours, [peer or None])."""
    present = [call for call in peer_calls if call is not None]
    ours_time, *times = compare([ours, *present], rounds, min_seconds)
    it = iter(times)
    return ours_time, [None if call is None else next(it) for call in peer_calls]


def compiled_peers(args, rounds, generator, native, engine_name):
    """Returns the tables of the comparison with the compiled peers: one row per operation, ours
    against the fastest peer, and beside it every peer's own figure."""
    table = Table("operation (their fastest natural call)", "vorel_chess", "fastest peer", "ratio", "target")
    details = Table("operation", *(peer.name for peer in PEERS), verdicts=False)

    def add(name, ours, best, ratio, target, met, cells):
        table.row(name, ours, best, ratio, target=target, met=met)
        details.row(name, *cells)

    boards = [(name, vorel_chess.Board(fen), [peer.board(six_fields(fen)) for peer in PEERS]) for name, fen, _ in KNOWN]

    # Legal moves as texts: the sum over the seven positions of each library's median per call.
    ours_total, peer_totals = 0.0, [0.0 for _ in PEERS]
    for name, board, peer_boards in boards:
        texts = sorted(generator(board))
        calls = [peer.moves(peer_board) for peer, peer_board in zip(PEERS, peer_boards, strict=True)]
        for peer, call in zip(PEERS, calls, strict=True):
            assert sorted(call()) == texts, (peer.name, name)
        ours, times = time_against_peers(partial(generator, board), calls, rounds)
        ours_total += ours
        peer_totals = [None if total is None else total + t for total, t in zip(peer_totals, times, strict=True)]
    peer, best = fastest(peer_totals)
    add(
        "legal moves as UCI texts, sum over the 7 positions",
        us(ours_total),
        f"{peer.name} {us(best)}",
        f"{best / ours_total:.2f}×",
        "≥3×",
        best / ours_total >= 3,
        peer_cells(peer_totals, us),
    )

    name, board, peer_boards = boards[1]
    fen = KNOWN[1][1]
    full = six_fields(fen)
    cases = [
        ("board from FEN", partial(vorel_chess.Board, fen), [partial(peer.from_fen, full) for peer in PEERS], 1),
        ("FEN out", board.fen, [peer.fen(b) for peer, b in zip(PEERS, peer_boards, strict=True)], 1.5),
        ("copy", board.copy, [peer.copy(b) for peer, b in zip(PEERS, peer_boards, strict=True)], 1),
    ]
    for peer, b in zip(PEERS, peer_boards, strict=True):
        assert peer.fen(b)().split()[:4] == board.fen().split(), peer.name
        assert peer.planes(b) == board.bitboard(), peer.name
    for label, ours_call, calls, target in cases:
        ours, times = time_against_peers(ours_call, calls, rounds)
        peer, best = fastest(times)
        add(
            f"{label} ({KNOWN[1][0]})",
            us(ours),
            f"{peer.name} {us(best)}",
            f"{best / ours:.2f}×",
            f"≥{target}×",
            best / ours >= target,
            peer_cells(times, us),
        )

    calls = [lambda peer=peer, b=b: peer.planes(b) for peer, b in zip(PEERS, peer_boards, strict=True)]
    ours, times = time_against_peers(board.bitboard, calls, rounds)
    peer, best = fastest(times)
    add(
        "planes as a 12×64 list (peers converted)",
        us(ours),
        f"{peer.name} {us(best)}",
        f"{best / ours:.2f}×",
        "≥2×",
        best / ours >= 2,
        peer_cells(times, us),
    )

    # Push and pop of one move text from the start position.
    start, start_peers = boards[0][1], boards[0][2]
    calls = [
        None if peer.push_pop is None else partial(peer.push_pop, b, "e2e4")
        for peer, b in zip(PEERS, start_peers, strict=True)
    ]
    ours, times = time_against_peers(partial(push_pop, start, "e2e4"), calls, rounds)
    peer, best = fastest(times)
    add(
        "push + pop from a UCI text (start, e2e4)",
        us(ours),
        f"{peer.name} {us(best)}",
        f"{best / ours:.2f}×",
        "≥1.5×",
        best / ours >= 1.5,
        peer_cells(times, us),
    )

    # Perft through Python: every library lists the legal moves at every node and counts the
    # last ply by the length of that list; the last row lets the peers that can count the last
    # ply without listing it do so.
    by_name = {name: (fen, counts) for name, fen, counts in KNOWN}
    perft_rounds = 1 if args.quick else 3
    for name, depth, counted in (("kiwipete", 4, False), ("start", 5, False), ("kiwipete", 4, True)):
        fen, counts = by_name[name]
        board = vorel_chess.Board(fen)
        assert our_perft(generator, board, depth) == counts[depth - 1]
        calls = []
        for peer in PEERS:
            function = peer.perft_counted if counted else peer.perft
            peer_board = peer.board(six_fields(fen))
            calls.append(None if function is None else lambda f=function, b=peer_board: f(b, depth))
        ours, times = time_against_peers(
            lambda board=board: our_perft(generator, board, depth), calls, perft_rounds, min_seconds=0
        )
        peer, best = fastest(times)
        label = f"Python-driven perft, {name} depth {depth}"
        if counted:
            label += " (peers count the last ply)"
        add(
            label,
            f"{ours:.3f} s",
            f"{peer.name} {best:.3f} s",
            f"{best / ours:.2f}×",
            "—" if counted else "≥1.5×",
            True if counted else best / ours >= 1.5,
            peer_cells(times, lambda t: f"{t:.3f} s"),
        )

    ours_bytes = retained_bytes(lambda: vorel_chess.Board(fen))
    copy_bytes = retained_bytes(boards[1][1].copy)
    add(
        "memory of one Board(fen)",
        f"{ours_bytes:,.0f} bytes",
        f"(a copy() holds {copy_bytes:,.0f})",
        "",
        "≤600 bytes",
        ours_bytes <= 600,
        ["" for _ in PEERS],
    )

    for name, depth, _, (ours, _, peer, best_engine) in native:
        ours, peer, best_engine = ours / 1e6, peer / 1e6, best_engine / 1e6
        add(
            f"native perft (C++ core), {name} depth {depth}",
            f"{ours:.0f} M leaves/s",
            f"nchess {peer:.0f} M/s; {engine_name} {best_engine:.0f} M/s",
            f"{ours / peer:.2f}×",
            "≥130 M/s",
            ours >= 130,
            ["", f"{peer:.0f} M/s", "", ""],
        )
    return table, details


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", help="path of the perft_native benchmark binary (for the native perft rows)")
    parser.add_argument("--engine", default=shutil.which("stockfish") or "/usr/games/stockfish")
    parser.add_argument("--rounds", type=int, default=11, help="interleaved rounds per measurement")
    parser.add_argument("--quick", action="store_true", help="fewer rounds, no native perft")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds
    floor = build_floor()
    table = Table("benchmark", "vorel_chess", "peer", "ratio", "floor", "÷ floor", "target met")
    generator = vorel_chess.MoveGenerator()
    print_header([*(peer.package for peer in PEERS), "chess"], rounds)

    # Let the processor reach its working clock before the first measurement.
    warm_board = vorel_chess.Board()
    deadline = time.perf_counter() + 0.5
    while time.perf_counter() < deadline:
        generator(warm_board)

    # Every native perft, measured once for the rows of both tables.
    native, engine_name = [], None
    if args.native and not args.quick:
        engine = Engine(args.engine)
        try:
            native, engine_name = measure_native_perft(args.native, engine), engine.name
        finally:
            engine.close()

    peer_table, peer_details = compiled_peers(args, rounds, generator, native, engine_name)
    print("Against the compiled peers (ratio = fastest peer's time / ours; above 1, we are faster):\n")
    peer_table.print()
    print()
    peer_details.print()
    print("\nAgainst the pure-Python peer and the floors; the native perfts against the engine and nchess:\n")

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
            BATCH_SECONDS,
        )
        table.row(
            f"{name} ({len(texts)} moves)",
            us(ours),
            us(peer),
            f"{peer / ours:.1f}×",
            us(bottom),
            f"{ours / bottom:.2f}",
            target="≥25× peer, ≤2.5 floor",
            met=peer / ours >= 25 and ours / bottom <= 2.5,
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
        ours, peer = compare([ours_function, peer_function], rounds, BATCH_SECONDS)
        table.row(name, us(ours), us(peer), f"{peer / ours:.1f}×", target=f"≥{target}× peer", met=peer / ours >= target)
    bitboards = tuple(sum(1 << i for i, flag in enumerate(plane) if flag) for plane in fresh.bitboard())
    timings = compare(
        [fresh.bitboard, lambda: floor.planes(bitboards), *[lambda way=way: way(peer_fresh) for way in peer_ways]],
        rounds,
        BATCH_SECONDS,
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
        target="≥3× peer, ≤1.5 floor",
        met=peers[best] / ours >= 3 and ours / bottom <= 1.5,
    )

    (construct,) = compare([vorel_chess.MoveGenerator], rounds, min_seconds=0.05)
    table.section("move generator tables")
    table.row("MoveGenerator() from Python", f"{construct * 1e3:.2f} ms", "", "", target="<5 ms", met=construct < 0.005)

    if args.native and not args.quick:
        _, size = subprocess.run([args.native, "--tables"], check=True, capture_output=True, text=True).stdout.split()
        table.row(
            "table bytes", f"{int(size)} ({int(size) / 2**20:.2f} MiB)", "", "", target="<1 MiB", met=int(size) < 2**20
        )
    if native:
        table.section(f"native perft, no Python: M leaves/s; peer = {engine_name} (go perft)")
        for name, depth, leaves, (ours, _, _, peer) in native:
            table.row(
                f"{name}, depth {depth} ({leaves} leaves)",
                f"{ours / 1e6:.1f}",
                f"{peer / 1e6:.1f}",
                f"{ours / peer:.2f}",
                target="≥0.20 of engine",
                met=ours / peer >= 0.2,
            )
        # vorel_tools.perft's rows are here rather than in bench_tools.py's table: every native
        # perft is measured once, in one place.
        table.section("vorel_tools.perft(board, depth): M leaves/s; peer = nchess's native perft")
        for name, depth, leaves, (_, ours, peer, _) in native:
            table.row(
                f"{name}, depth {depth} ({leaves} leaves)",
                f"{ours / 1e6:.1f}",
                f"{peer / 1e6:.1f}",
                f"{ours / peer:.2f}",
                target="≥1.0 of the peer",
                met=ours / peer >= 1,
            )

    table.print()
    print_missed(peer_table, table)


if __name__ == "__main__":
    main()
