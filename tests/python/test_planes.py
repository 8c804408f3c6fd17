import chess
import pytest
from vorel_chess import Board

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
PLACEMENT = START.split()[0]
EMPTY = [[False] * 64 for _ in range(12)]


def _planes(squares_by_plane):
    planes = [[False] * 64 for _ in range(12)]
    for plane, squares in squares_by_plane.items():
        for square in squares:
            planes[plane][square] = True
    return planes


DEFAULT = _planes(
    {
        0: range(8, 16),
        1: [1, 6],
        2: [2, 5],
        3: [0, 7],
        4: [3],
        5: [4],
        6: range(48, 56),
        7: [57, 62],
        8: [58, 61],
        9: [56, 63],
        10: [59],
        11: [60],
    }
)


def _reference(fen):
    board = chess.Board(fen)
    return [
        [bool(board.pieces_mask(kind, colour) >> square & 1) for square in range(64)]
        for colour in (chess.WHITE, chess.BLACK)
        for kind in chess.PIECE_TYPES
    ]


def test_default_planes():
    planes = Board().bitboard()
    assert planes == DEFAULT
    assert Board.bitboard_from_fen(START) == DEFAULT
    assert all(type(flag) is bool for plane in planes for flag in plane)


def test_planes_follow_moves():
    board = Board()
    board.push("e2e4")
    planes = board.bitboard()
    assert not planes[0][12] and planes[0][28]
    assert planes == _reference("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3")
    board.pop()
    assert board.bitboard() == DEFAULT


@pytest.mark.parametrize(
    "fen",
    [
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
        "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6",
        "7k/8/8/8/8/8/8/K7 b - -",  # the corner squares 0 and 63
    ],
)
def test_planes_match_reference(fen):
    assert Board(fen).bitboard() == _reference(fen)
    assert Board.bitboard_from_fen(fen) == _reference(fen)


@pytest.mark.parametrize("fen", [f"{PLACEMENT} b - -", f"{PLACEMENT} w Kq e6", f"{PLACEMENT} b KQkq e3 7 9"])
def test_later_fields_do_not_matter(fen):
    # Side to move, castling and en passant have no plane of their own.
    assert Board(fen).bitboard() == Board.bitboard_from_fen(fen) == DEFAULT


@pytest.mark.parametrize(
    "fen, expected",
    [
        ("8/8/8/8/8/8/8/8", EMPTY),  # no other field at all
        (PLACEMENT, DEFAULT),
        (f"{PLACEMENT} x", DEFAULT),  # a side to move Board rejects
        (f"{PLACEMENT} w KQkz i9", DEFAULT),  # bad castling and en passant
        (f"  {PLACEMENT}\u3000junk", DEFAULT),
        # Ranks of any length: the square counter runs on across '/' without realigning.
        ("K", _planes({5: [0]})),
        ("k/K", _planes({5: [0], 11: [1]})),
        ("8/8/8/8/8/8/8/7/Q", _planes({4: [0]})),
        ("Q/8/8/8/8/8/8/8/8", _planes({4: [0]})),  # square 64 wraps to 0
        ("K9999999k", _planes({5: [0], 11: [0]})),  # two planes share square 0
        ("R0N", _planes({3: [0], 1: [1]})),  # '0' advances by nothing
    ],
)
def test_bitboard_from_fen_reads_only_the_placement(fen, expected):
    assert Board.bitboard_from_fen(fen) == expected


def test_bitboard_from_fen_faults(PanicException):
    for fen in ("", "\t \n"):  # no placement at all
        with pytest.raises(PanicException):
            Board.bitboard_from_fen(fen)
    with pytest.raises(PanicException, match="^Invalid piece type$"):
        Board.bitboard_from_fen("8/8/8/8/8/8/8/7x w - -")


def test_results_are_fresh_lists():
    board = Board()
    first = board.bitboard()
    first[0][8] = False
    first[5].clear()
    first.append("junk")
    assert board.bitboard() == DEFAULT
    assert board.bitboard() is not board.bitboard()
    again = Board.bitboard_from_fen(START)
    again[11][60] = False
    assert Board.bitboard_from_fen(START) == DEFAULT
    assert board.fen() == START
