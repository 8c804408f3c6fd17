"""Boards and positions shared by the test modules."""

from vorel_chess import Board

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
AFTER_E2E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"


def played_once():
    """A board after e2e4 from the start, with that one move in its history."""
    board = Board()
    board.push("e2e4")
    return board


def history(board, panic):
    """The FENs that taking back every move passes through, read on a copy."""
    twin, fens = board.copy(), []
    while True:
        try:
            twin.pop()
        except panic:
            return fens
        fens.append(twin.fen())
