"""Invariants over positions reached by random legal move sequences from our own generator."""

import vorel_chess
from hypothesis import given, settings
from hypothesis import strategies as st

STARTS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
    "k7/1p1p1p2/8/2P1P3/8/8/1P1P1P2/7K b - -",
]

# A game is a starting FEN and the choices that pick each move from the generator's list, so a
# failing example prints as something that can be replayed by hand.
games = st.tuples(st.sampled_from(STARTS), st.lists(st.integers(0, 1 << 16), max_size=60))
checked = settings(max_examples=300, deadline=None, database=None)


def play(generator, game):
    """Returns the board after the game and the FENs it passed through, the last one included."""
    fen, choices = game
    board = vorel_chess.Board(fen)
    fens = [board.fen()]
    for choice in choices:
        moves = generator(board)
        if not moves:
            break
        board.push(moves[choice % len(moves)])
        fens.append(board.fen())
    return board, fens


def mirrored(move):
    # Square s becomes s ^ 56: the file stays, rank r becomes rank 9 - r.
    return "".join(str(9 - int(c)) if c.isdigit() else c for c in move)


@checked
@given(games)
def test_planes_agree_with_fen(generator, game):
    board, _ = play(generator, game)
    assert vorel_chess.Board.bitboard_from_fen(board.fen()) == board.bitboard()


@checked
@given(games)
def test_reflect_twice_restores(generator, game):
    board, fens = play(generator, game)
    twin = board.copy()
    twin.reflect()
    twin.reflect()
    assert twin.fen() == fens[-1]
    assert twin.bitboard() == board.bitboard()


@checked
@given(games)
def test_reflected_moves_are_mirrored(generator, game):
    board, _ = play(generator, game)
    twin = board.copy()
    twin.reflect()
    assert sorted(generator(twin)) == sorted(mirrored(move) for move in generator(board))
    assert twin.turn() != board.turn()


@checked
@given(games)
def test_pops_retrace_pushes(generator, game):
    board, fens = play(generator, game)
    for fen in reversed(fens[1:]):
        assert board.fen() == fen
        board.pop()
    assert board.fen() == fens[0]
    assert generator(board) == generator(vorel_chess.Board(fens[0]))
