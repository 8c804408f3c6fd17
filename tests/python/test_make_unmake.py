import random

import chess
import pytest
from vorel_chess import Board

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
CASTLE = "r3k2r/8/8/8/8/8/8/R3K2R"


@pytest.mark.parametrize(
    "fen, move, after",
    [
        (START, "e2e4", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"),
        # A new double step replaces the old en-passant file; any other move clears it.
        (
            "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
            "d7d5",
            "rnbqkbnr/ppp1pppp/8/3p4/4P3/8/PPPP1PPP/RNBQKBNR w KQkq d6",
        ),
        (
            "rnbqkbnr/ppp1pppp/8/3p4/4P3/8/PPPP1PPP/RNBQKBNR w KQkq d6",
            "g1f3",
            "rnbqkbnr/ppp1pppp/8/3p4/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq -",
        ),
        # Castling is the king's move; the rook comes along and both rights of that side go.
        (f"{CASTLE} w KQkq -", "e1g1", "r3k2r/8/8/8/8/8/8/R4RK1 b kq -"),
        (f"{CASTLE} w KQkq -", "e1c1", "r3k2r/8/8/8/8/8/8/2KR3R b kq -"),
        (f"{CASTLE} b KQkq -", "e8g8", "r4rk1/8/8/8/8/8/8/R3K2R w KQ -"),
        (f"{CASTLE} b KQkq -", "e8c8", "2kr3r/8/8/8/8/8/8/R3K2R w KQ -"),
        # The rook moves with the king even when no right is held.
        ("4k3/8/8/8/8/8/8/4K2R w - -", "e1g1", "4k3/8/8/8/8/8/8/5RK1 b - -"),
        ("r3k3/8/8/8/8/8/8/4K3 b - -", "e8c8", "2kr4/8/8/8/8/8/8/4K3 w - -"),
        # En passant for both colours.
        ("4k3/8/8/3pP3/8/8/8/4K3 w - d6", "e5d6", "4k3/8/3P4/8/8/8/8/4K3 b - -"),
        ("4k3/8/8/8/3Pp3/8/8/4K3 b - d3", "e4d3", "4k3/8/8/8/8/3p4/8/4K3 w - -"),
        # A pawn changing file onto an empty square is en passant whatever the flags say ...
        ("4k3/8/8/3pP3/8/8/8/4K3 w - -", "e5d6", "4k3/8/3P4/8/8/8/8/4K3 b - -"),
        ("4k3/8/8/8/3Pp3/8/8/4K3 b - -", "e4d3", "4k3/8/8/8/8/3p4/8/4K3 w - -"),
        # ... and removes only an enemy pawn behind the target.
        ("4k3/8/8/3PP3/8/8/8/4K3 w - -", "e5d6", "4k3/8/3P4/3P4/8/8/8/4K3 b - -"),
        ("4k3/8/8/4P3/8/8/8/4K3 w - -", "e5d6", "4k3/8/3P4/8/8/8/8/4K3 b - -"),
        # A promotion letter off the last rank, or on a piece that is not a pawn, is ignored.
        (START, "e2e4q", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"),
        ("4k3/8/8/8/8/8/8/R3K3 w - -", "a1a8q", "R3k3/8/8/8/8/8/8/4K3 b - -"),
        # Rights lost by king moves, rook moves and rook captures, of either colour.
        (f"{CASTLE} w KQkq -", "e1e2", "r3k2r/8/8/8/8/8/4K3/R6R b kq -"),
        (f"{CASTLE} w KQkq -", "h1h2", "r3k2r/8/8/8/8/8/7R/R3K3 b Qkq -"),
        (f"{CASTLE} w KQkq -", "a1a8", "R3k2r/8/8/8/8/8/8/4K2R b Kk -"),
        (f"{CASTLE} b KQkq -", "e8d8", "r2k3r/8/8/8/8/8/8/R3K2R w KQ -"),
        (f"{CASTLE} b KQkq -", "h8h1", "r3k3/8/8/8/8/8/8/R3K2r w Qq -"),
        ("r3k2r/8/8/8/8/8/6b1/R3K2R b KQkq -", "g2h1", "r3k2r/8/8/8/8/8/8/R3K2b w Qkq -"),
        # Illegal moves are played as given: a rook jumping its pawn, a knight flying to h8.
        (START, "a1a5", "rnbqkbnr/pppppppp/8/R7/8/8/PPPPPPPP/1NBQKBNR b Kkq -"),
        (START, "b1h8", "rnbqkbnN/pppppppp/8/8/8/8/PPPPPPPP/R1BQKBNR b KQq -"),
    ],
)
def test_push_then_pop(fen, move, after):
    board = Board(fen)
    board.push(move)
    assert board.fen() == after
    board.pop()
    assert board.fen() == fen


@pytest.mark.parametrize("letter", "nbrqNBRQ")
@pytest.mark.parametrize(
    "fen, move, after",
    [
        ("4k3/P7/8/8/8/8/8/4K3 w - -", "a7a8", "{W}3k3/8/8/8/8/8/8/4K3 b - -"),
        ("1r2k3/P7/8/8/8/8/8/4K3 w - -", "a7b8", "1{W}2k3/8/8/8/8/8/8/4K3 b - -"),
        ("4k3/8/8/8/8/8/p7/4K3 b - -", "a2a1", "4k3/8/8/8/8/8/8/{B}3K3 w - -"),
        ("4k3/8/8/8/8/8/1p6/R3K3 b Q -", "b2a1", "4k3/8/8/8/8/8/8/{B}3K3 w - -"),  # takes the a1 rook and its right
    ],
)
def test_promotion(fen, move, after, letter):
    board = Board(fen)
    board.push(move + letter)
    assert board.fen() == after.format(W=letter.upper(), B=letter.lower())
    board.pop()
    assert board.fen() == fen


@pytest.mark.parametrize(
    "fen, earlier, move",
    [
        ("k7/4P3/8/8/8/8/8/K7 b - -", "a8b8", "e7e8"),
        ("1r2k3/P7/8/8/8/8/8/4K3 b - -", "e8d8", "a7b8"),  # capturing onto the last rank
        ("k7/8/8/8/8/8/p7/K7 w - -", "a1b1", "a2a1"),
    ],
)
def test_pawn_reaching_last_rank_needs_a_letter(fen, earlier, move, PanicException):
    board = Board(fen)
    board.push(earlier)
    played = board.fen()
    with pytest.raises(PanicException) as info:
        board.push(move)
    assert info.value.args == (f"Missing promotion piece for {move}",)
    # Nothing was saved for the failed move: one pop takes back the earlier one.
    assert board.fen() == played
    board.pop()
    assert board.fen() == fen
    with pytest.raises(PanicException):
        board.pop()


def test_own_colour_capture_keeps_both_pieces():
    board = Board(START)
    board.push("g1e2")  # the knight lands on its own pawn
    planes = board.bitboard()
    assert planes[0][12] and planes[1][12] and not planes[1][6]
    board.push("a1e1")  # a rook onto its own king
    planes = board.bitboard()
    assert planes[3][4] and planes[5][4] and not planes[3][0]
    board.pop()
    board.pop()
    assert board.fen() == START


def test_rights_not_restored_by_moving_back():
    board = Board(f"{CASTLE} w KQkq -")
    for move in ("h1h2", "e8e7", "h2h1"):
        board.push(move)
    assert board.fen() == "r6r/4k3/8/8/8/8/8/R3K2R b Q -"
    for _ in range(3):
        board.pop()
    assert board.fen() == f"{CASTLE} w KQkq -"


def test_pop_without_history(PanicException):
    board = Board(f"{CASTLE} w Kq -")
    with pytest.raises(PanicException):
        board.pop()
    assert board.fen() == f"{CASTLE} w Kq -"


def _four_fields(board):
    return " ".join(board.fen(en_passant="fen").split()[:4])


@pytest.mark.parametrize("seed", range(6))
def test_random_games_against_reference(seed, PanicException):
    # Long games of random legal moves, every ply checked against the reference library,
    # then taken back one by one down to the start.
    rng = random.Random(seed)
    reference, board, seen = chess.Board(), Board(), [START]
    while len(seen) < 400 and not reference.is_game_over():
        move = rng.choice(list(reference.legal_moves))
        reference.push(move)
        board.push(move.uci())
        assert board.fen() == _four_fields(reference), move.uci()
        seen.append(board.fen())
    for fen in reversed(seen[:-1]):
        board.pop()
        assert board.fen() == fen
    with pytest.raises(PanicException):
        board.pop()
