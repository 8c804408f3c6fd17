"""Perft counts through push, the generator and pop, against Debian's stockfish over UCI.

One engine process (uci_engine.Engine) serves the whole module. The positions are the known
perft positions of examples/data/perft.txt and the ends of seeded random games played with our
own generator, leaning toward double steps, castling and promotions so that en passant, castling
rights and promotions are common. On a mismatch the divides are compared so that the failure
names the moves whose subtrees differ.
"""

import os
import random
import shutil

import pytest
from perft_table import known_positions, perft
from uci_engine import Engine
from vorel_chess import Board

KNOWN = [fen for _, fen, _ in known_positions()]
CASTLING_MOVES = {"e1g1", "e1c1", "e8g8", "e8c8"}


@pytest.fixture(scope="module")
def stockfish():
    path = shutil.which("stockfish")
    if path is None and os.access("/usr/games/stockfish", os.X_OK):
        path = "/usr/games/stockfish"
    if path is None:
        pytest.fail("stockfish is not installed: install Debian's stockfish package (make setup does)")
    engine = Engine(path)
    yield engine
    engine.close()


def pick(rng, moves):
    special = [
        move
        for move in moves
        if len(move) == 5
        or move in CASTLING_MOVES
        or (move[0] == move[2] and {move[1], move[3]} in ({"2", "4"}, {"7", "5"}))
    ]
    return rng.choice(special if special and rng.random() < 0.5 else moves)


def random_positions(generator, count, seed):
    """The last positions of `count` seeded random games from the known perft positions."""
    rng, positions = random.Random(seed), []
    for game in range(count):
        board = Board(KNOWN[game % len(KNOWN)])
        for _ in range(rng.randrange(80)):
            moves = generator(board)
            if not moves:
                break
            board.push(pick(rng, moves))
        positions.append(board.fen())
    return positions


def mismatch(generator, stockfish, fen, depth):
    """None if our perft agrees with the engine's, else a text naming the differing moves."""
    board = Board(fen)
    ours = {}
    for move in generator(board):
        board.push(move)
        ours[move] = perft(generator, board, depth - 1)
        board.pop()
    assert board.fen() == fen
    nodes, theirs, _ = stockfish.perft(fen, depth)
    if ours == theirs and sum(ours.values()) == nodes:
        return None
    differing = {
        move: (ours.get(move), theirs.get(move))
        for move in ours.keys() | theirs.keys()
        if ours.get(move) != theirs.get(move)
    }
    return f"{fen}: {sum(ours.values())} nodes, stockfish {nodes}; (ours, stockfish) by move: {differing}"


def check(generator, stockfish, fens, depth):
    failures = [text for fen in fens if (text := mismatch(generator, stockfish, fen, depth))]
    assert not failures, f"{len(failures)} of {len(fens)} positions differ:\n" + "\n".join(failures[:10])


@pytest.mark.parametrize("depth", [3, pytest.param(4, marks=pytest.mark.slow)])
def test_known_positions(generator, stockfish, depth):
    check(generator, stockfish, [Board(fen).fen() for fen in KNOWN], depth)


@pytest.mark.parametrize("depth, count, seed", [(3, 300, 1), pytest.param(4, 300, 2, marks=pytest.mark.slow)])
def test_random_positions(generator, stockfish, depth, count, seed):
    fens = random_positions(generator, count, seed)
    # Guard against the sample drifting away from the rules it is meant to exercise.
    fields = [fen.split() for fen in fens]
    assert sum(ep != "-" for _, _, _, ep in fields) >= count // 20
    assert sum(castling != "-" for _, _, castling, _ in fields) >= count // 10
    assert sum(side == "b" for _, side, _, _ in fields) >= count // 4
    check(generator, stockfish, fens, depth)
