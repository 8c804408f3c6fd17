import chess
import pytest
from vorel_chess import Board

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
AFTER_E2E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"


@pytest.mark.parametrize(
    "fen, mirrored",
    [
        (START, "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -"),  # the same placement, black to move
        ("4k3/8/8/3pP3/8/8/8/4K3 w - d6", "4k3/8/8/8/3Pp3/8/8/4K3 b - d3"),  # en passant changes sides
        (AFTER_E2E4, "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w K -", "r3k2r/8/8/8/8/8/8/R3K2R b k -"),
        ("r3k2r/8/8/8/8/8/8/R3K2R b Qk -", "r3k2r/8/8/8/8/8/8/R3K2R w Kq -"),
        ("1k6/8/8/8/8/8/8/Q6K w - -", "q6k/8/8/8/8/8/8/1K6 b - -"),  # pieces land on s XOR 56
    ],
)
def test_reflect(fen, mirrored):
    board = Board(fen)
    board.reflect()
    assert board.fen() == mirrored
    board.reflect()
    assert board.fen() == fen


@pytest.mark.parametrize(
    "fen",
    [
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -",
        "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6",
    ],
)
def test_reflect_matches_reference(fen):
    board = Board(fen)
    board.reflect()
    expected = chess.Board(fen).mirror().fen(en_passant="fen").split()[:4]
    assert board.fen() == " ".join(expected)
    assert board.bitboard() == Board(" ".join(expected)).bitboard()


def test_reflect_forgets_history(PanicException):
    board = Board()
    for move in ("e2e4", "e7e5", "g1f3"):
        board.push(move)
    board.reflect()
    mirrored = board.fen()
    assert mirrored == "rnbqkb1r/pppp1ppp/5n2/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq -"
    with pytest.raises(PanicException):
        board.pop()
    assert board.fen() == mirrored
    # New moves build a new history as usual.
    board.push("d2d4")
    board.pop()
    assert board.fen() == mirrored


def test_copy_is_independent_both_ways():
    source = Board()
    source.push("e2e4")
    duplicate = source.copy()
    assert type(duplicate) is Board and duplicate is not source
    assert duplicate.fen() == source.fen() == AFTER_E2E4
    duplicate.push("e7e5")
    assert source.fen() == AFTER_E2E4
    source.push("c7c5")
    assert duplicate.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"
    source.reflect()
    assert duplicate.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"
    assert source.fen() == "rnbqkbnr/pppp1ppp/8/4p3/2P5/8/PP1PPPPP/RNBQKBNR b KQkq c3"


def test_copy_keeps_the_history(PanicException):
    source = Board()
    fens = [source.fen()]
    for move in ("e2e4", "e7e5", "e1e2"):
        source.push(move)
        fens.append(source.fen())
    duplicate = source.copy()
    for fen in reversed(fens[:-1]):  # the copy can take back moves made before it existed
        duplicate.pop()
        assert duplicate.fen() == fen
        assert source.fen() == fens[-1]
    with pytest.raises(PanicException):
        duplicate.pop()
    for fen in reversed(fens[:-1]):  # and the source still holds its own history
        source.pop()
        assert source.fen() == fen
    # A copy of a reflected board has no history either.
    with pytest.raises(PanicException):
        source.copy().pop()
