"""Counts the leaf nodes of the legal-move tree (perft) through the Python API.

python examples/perft.py                      # the built-in suite, checked against known counts
python examples/perft.py --fen FEN --depth 4  # one position
python examples/perft.py --fen FEN --depth 4 --divide   # and the count below each root move
"""

import argparse
import sys
import time

import vorel_chess

# Well-known positions with their published counts, run at a depth that takes seconds.
SUITE = [
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", 5, 4865609),
    ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -", 4, 4085603),
    ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -", 5, 674624),
    ("r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 4, 422333),
    ("r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1", 4, 422333),
    ("rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", 4, 2103487),
    ("r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10", 4, 3894594),
]


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
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 (ValueError, or the internal-fault class, which derives from BaseException)
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
        jobs = [
            (fen, args.depth or depth, expected if args.depth in (None, depth) else None)
            for fen, depth, expected in SUITE
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
