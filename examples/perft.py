"""Counts the leaf nodes of the legal-move tree (perft) through the Python API.

python examples/perft.py                      # the suite of data/perft.txt, checked against its counts
python examples/perft.py --fen FEN --depth 4  # one position
python examples/perft.py --fen FEN --depth 4 --divide   # and the count below each root move
"""

import argparse
import sys
import time
from pathlib import Path

import vorel_chess
from vorel_chess_runtime import PanicException

# Well-known positions with their published counts, one a line: name; FEN; counts by depth.
DATA = Path(__file__).resolve().parent / "data" / "perft.txt"
# The built-in suite runs each position at the deepest depth whose count is at most this: seconds.
SUITE_NODES = 5_000_000


def known_positions(path=DATA):
    """Returns (name, FEN, [leaf count at depth 1, 2, ...]) for every position of the data file."""
    positions = []
    for line in path.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, fen, counts = (field.strip() for field in line.split(";"))
            positions.append((name, fen, [int(count) for count in counts.split()]))
    return positions


def deepest(counts, most_nodes):
    """Returns (depth, count) of the deepest count that is at most most_nodes."""
    return max((depth, count) for depth, count in enumerate(counts, 1) if count <= most_nodes)


def perft(generator, board, depth):
    """Returns the number of leaves `depth` plies below the board (depth >= 1)."""
    moves = generator(board)
    if depth == 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.push(move)
        nodes += perft(generator, board, depth - 1)
        board.pop()
    return nodes


def divide(generator, board, depth):
    """Returns (move, leaves below it) for every root move."""
    counts = []
    for move in generator(board):
        if depth == 1:
            counts.append((move, 1))
            continue
        board.push(move)
        counts.append((move, perft(generator, board, depth - 1)))
        board.pop()
    return counts


def run(generator, fen, depth, show_divide):
    board = vorel_chess.Board(fen)
    start = time.perf_counter()
    if show_divide:
        counts = divide(generator, board, depth)
        nodes = sum(count for _, count in counts)
    else:
        nodes = perft(generator, board, depth)
    seconds = time.perf_counter() - start
    if show_divide:
        for move, count in counts:
            print(f"  {move}: {count}")
    return nodes, seconds


def check_fen(generator, fen):
    """Exits with status 2 and one line of explanation unless the position can be counted."""
    try:
        generator(vorel_chess.Board(fen))  # a side to move without a king fails here
    except (ValueError, PanicException) as error:
        print(f"perft.py: invalid FEN {fen!r}: {error}", file=sys.stderr)
        sys.exit(2)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fen", help="position to count (default: the built-in suite)")
    parser.add_argument("--depth", type=int, help="plies to count (default 3 with --fen)")
    parser.add_argument("--divide", action="store_true", help="print the count below each root move")
    args = parser.parse_args()
    if args.depth is not None and args.depth < 1:
        parser.error("--depth must be at least 1")

    generator = vorel_chess.MoveGenerator()
    if args.fen is not None:
        check_fen(generator, args.fen)
        jobs = [(args.fen, args.depth or 3, None)]
    else:
        suite = [(fen, *deepest(counts, SUITE_NODES)) for _, fen, counts in known_positions()]
        jobs = [
            (fen, args.depth or depth, expected if args.depth in (None, depth) else None)
            for fen, depth, expected in suite
        ]

    failures = 0
    total_nodes = 0
    total_seconds = 0.0
    for fen, depth, expected in jobs:
        print(f"{fen}  depth {depth}")
        nodes, seconds = run(generator, fen, depth, args.divide)
        total_nodes += nodes
        total_seconds += seconds
        verdict = ""
        if expected is not None:
            verdict = "  ok" if nodes == expected else f"  WRONG (expected {expected})"
            failures += nodes != expected
        print(f"  nodes {nodes}  {seconds:.3f} s  {nodes / seconds / 1e6:.2f} M nodes/s{verdict}")
    if len(jobs) > 1:
        print(f"total: {total_nodes} nodes in {total_seconds:.3f} s, {total_nodes / total_seconds / 1e6:.2f} M nodes/s")
    if failures:
        print(f"{failures} position(s) gave a wrong count", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
