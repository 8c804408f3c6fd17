"""Benchmarks vorel_tools's batch functions against compiled chess libraries for Python measured in
the same run. Prints one table of medians of interleaved rounds; ratios are what count.
(vorel_tools.perft against a peer's native perft is in bench.py's last table, which measures every
native perft once; the dataset builder is in bench_dataset.py.)

    python bench/bench_tools.py [--rounds 5] [--positions 100000] [--encodings-only]
"""

import argparse
import random

import bulletchess
import chess
import chess.polyglot
import fastchess
import nchess
import numpy as np
import tensor_chess
import vorel_chess
import vorel_tools
from harness import Table, compare, interleave, print_header, print_missed, warmed
from peers import six_fields
from policy_reference import legal_mask


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


GENERATOR = vorel_chess.MoveGenerator()


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

    table.print()
    print(
        "\nvorel_tools.perft against nchess's native perft: in the last table of bench.py, which measures "
        "every native perft once."
    )
    print_missed(table)


if __name__ == "__main__":
    main()
