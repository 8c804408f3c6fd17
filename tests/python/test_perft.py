"""Perft node counts through push, the generator and pop, against published counts.

examples/data/perft.txt holds one position a line, its name, its FEN, then the counts for depth
1, 2, ...: the start position, the middle game rich in castling, pins and en passant
("kiwipete"), a rook ending with en passant pins along the rank, a promotion-heavy position and
its colour-mirrored twin, a tactical position with a pawn about to promote by capture, and a
quiet middle game.
"""

import subprocess
import sys
from pathlib import Path

import pytest
import vorel_chess
from perft_table import known_positions, perft

# Counts up to FAST_NODES run by default, up to SLOW_NODES with -m slow; deeper ones are left
# to the native suite.
FAST_NODES = 200_000
SLOW_NODES = 5_000_000


def cases():
    for number, (_, fen, counts) in enumerate(known_positions(), 1):
        for depth, nodes in enumerate(counts, 1):
            if nodes > SLOW_NODES:
                continue
            marks = [pytest.mark.slow] if nodes > FAST_NODES else []
            yield pytest.param(fen, depth, nodes, marks=marks, id=f"{number}-depth{depth}")


@pytest.mark.parametrize("fen, depth, nodes", list(cases()))
def test_perft(generator, fen, depth, nodes):
    board = vorel_chess.Board(fen)
    before = board.fen()
    assert perft(generator, board, depth) == nodes
    assert board.fen() == before


@pytest.mark.parametrize("fen", ["garbage", "8/8/8/8/8/8/8/8 w - -"])
def test_example_refuses_a_position_it_cannot_count(fen):
    # A FEN that does not read, or a side to move without a king: one line, status 2.
    example = Path(__file__).parents[2] / "examples" / "perft.py"
    run = subprocess.run([sys.executable, example, "--fen", fen], capture_output=True, text=True, check=False)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr.startswith(f"perft.py: invalid FEN {fen!r}: ")
    assert run.stderr.count("\n") == 1


def test_example_counts_and_divides_a_known_position():
    # Kiwipete at depth 3 through the example's command line: one divide line per root move, adding
    # up to the published count, which the total repeats.
    _, fen, counts = known_positions()[1]
    example = Path(__file__).parents[2] / "examples" / "perft.py"
    command = [sys.executable, example, "--fen", fen, "--depth", "3", "--divide"]
    run = subprocess.run(command, capture_output=True, text=True, check=True)
    divide = [line.split(": ") for line in run.stdout.splitlines() if line.startswith("  ") and ": " in line]
    assert len(divide) == counts[0]
    assert sum(int(count) for _, count in divide) == counts[2]
    assert f"\n  nodes {counts[2]}  " in run.stdout
