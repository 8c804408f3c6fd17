"""Legal moves of MoveGenerator: which moves, in which order, and the board left as it was."""

import pytest
import vorel_chess

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
START_MOVES = [
    "b1c3",
    "b1a3",
    "g1h3",
    "g1f3",
    "a2a3",
    "a2a4",
    "b2b3",
    "b2b4",
    "c2c3",
    "c2c4",
    "d2d3",
    "d2d4",
    "e2e3",
    "e2e4",
    "f2f3",
    "f2f4",
    "g2g3",
    "g2g4",
    "h2h3",
    "h2h4",
]


def test_start_position(generator):
    board = vorel_chess.Board()
    assert generator(board) == START_MOVES
    assert board.fen() == START


@pytest.mark.parametrize(
    "fen, expected",
    [
        # King steps follow the direction table: down, up, right, left, then the diagonals.
        ("4k3/8/8/8/8/8/8/4K3 w - -", ["e1e2", "e1f1", "e1d1", "e1f2", "e1d2"]),
        # Steps that would wrap from the h-file onto the a-file are dropped.
        ("7K/8/8/8/8/8/8/7k w - -", ["h8h7", "h8g8", "h8g7"]),
        # A knight in the corner: jumps across the edge are dropped.
        ("K7/8/8/8/8/8/8/N6k w - -", ["a8a7", "a8b8", "a8b7", "a1c2", "a1b3"]),
        # Every group at once: king, knight, pawn, then orthogonal moves by origin (queen d1
        # before rook h1), then diagonal moves by origin (bishop c1, queen d1, bishop f1).
        (
            "4k3/8/8/8/8/8/P7/1NBQKB1R w - -",
            [
                "e1e2",
                "e1f2",
                "e1d2",
                "b1d2",
                "b1c3",
                "b1a3",
                "a2a3",
                "a2a4",
                "d1d2",
                "d1d3",
                "d1d4",
                "d1d5",
                "d1d6",
                "d1d7",
                "d1d8",
                "h1g1",
                "h1h2",
                "h1h3",
                "h1h4",
                "h1h5",
                "h1h6",
                "h1h7",
                "h1h8",
                "c1b2",
                "c1d2",
                "c1a3",
                "c1e3",
                "c1f4",
                "c1g5",
                "c1h6",
                "d1c2",
                "d1e2",
                "d1b3",
                "d1f3",
                "d1a4",
                "d1g4",
                "d1h5",
                "f1e2",
                "f1g2",
                "f1d3",
                "f1h3",
                "f1c4",
                "f1b5",
                "f1a6",
            ],
        ),
        # Castling comes after the steps, king side before queen side.
        (
            "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -",
            [
                "e1e2",
                "e1f1",
                "e1d1",
                "e1f2",
                "e1d2",
                "e1g1",
                "e1c1",
                "a1b1",
                "a1c1",
                "a1d1",
                "a1a2",
                "a1a3",
                "a1a4",
                "a1a5",
                "a1a6",
                "a1a7",
                "a1a8",
                "h1f1",
                "h1g1",
                "h1h2",
                "h1h3",
                "h1h4",
                "h1h5",
                "h1h6",
                "h1h7",
                "h1h8",
            ],
        ),
        # The same for black; rook targets ascend, so a8a1 comes first.
        (
            "r3k2r/8/8/8/8/8/8/4K3 b kq -",
            [
                "e8e7",
                "e8f8",
                "e8d8",
                "e8d7",
                "e8f7",
                "e8g8",
                "e8c8",
                "a8a1",
                "a8a2",
                "a8a3",
                "a8a4",
                "a8a5",
                "a8a6",
                "a8a7",
                "a8b8",
                "a8c8",
                "a8d8",
                "h8h1",
                "h8h2",
                "h8h3",
                "h8h4",
                "h8h5",
                "h8h6",
                "h8h7",
                "h8f8",
                "h8g8",
            ],
        ),
        # Promotions n, b, r, q: the capture toward file a, toward file h, then the push.
        (
            "3r1r1k/4P3/8/8/8/8/8/K7 w - -",
            [
                "a1a2",
                "a1b1",
                "a1b2",
                "e7d8n",
                "e7d8b",
                "e7d8r",
                "e7d8q",
                "e7f8n",
                "e7f8b",
                "e7f8r",
                "e7f8q",
                "e7e8n",
                "e7e8b",
                "e7e8r",
                "e7e8q",
            ],
        ),
        # A black pawn captures toward file h first.
        (
            "k7/8/8/8/8/K7/3p4/2R1R3 b - -",
            [
                "a8a7",
                "a8b8",
                "a8b7",
                "d2e1n",
                "d2e1b",
                "d2e1r",
                "d2e1q",
                "d2c1n",
                "d2c1b",
                "d2c1r",
                "d2c1q",
                "d2d1n",
                "d2d1b",
                "d2d1r",
                "d2d1q",
            ],
        ),
        # Both pawns beside the double-pushed pawn may take en passant.
        (
            "4k3/8/8/2PpP3/8/8/8/4K3 w - d6",
            [
                "e1e2",
                "e1f1",
                "e1d1",
                "e1f2",
                "e1d2",
                "c5d6",
                "c5c6",
                "e5d6",
                "e5e6",
            ],
        ),
        (
            "4k3/8/8/8/3pP3/8/8/4K3 b - e3",
            [
                "e8e7",
                "e8f8",
                "e8d8",
                "e8d7",
                "e8f7",
                "d4e3",
                "d4d3",
            ],
        ),
        # Taking en passant would clear the fifth rank between the rook and the king.
        ("8/8/8/KPp4r/8/8/8/7k w - c6", ["a5a4", "a5a6", "a5b6", "b5b6"]),
        ("8/8/8/KPp5/8/8/8/7k w - c6", ["a5a4", "a5a6", "a5b6", "b5c6", "b5b6"]),
        # The rook pinned against its king keeps only the file, up to the pinner.
        (
            "4r1k1/8/8/8/8/8/4R3/4K3 w - -",
            [
                "e1f1",
                "e1d1",
                "e1f2",
                "e1d2",
                "e2e3",
                "e2e4",
                "e2e5",
                "e2e6",
                "e2e7",
                "e2e8",
            ],
        ),
        # In check from a rook, the king may not retreat along the rook's own rank.
        ("4k3/8/8/8/8/8/8/r3K3 w - -", ["e1e2", "e1f2", "e1d2"]),
        # Kings never touch; a pawn guards its two diagonals only.
        ("8/8/8/8/8/4k3/8/4K3 w - -", ["e1f1", "e1d1"]),
        ("7k/8/8/8/8/4p3/8/4K3 w - -", ["e1e2", "e1f1", "e1d1"]),
        # Checkmate and stalemate both give no moves.
        ("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -", []),
        ("7k/5Q2/6K1/8/8/8/8/8 b - -", []),
    ],
)
def test_move_list(generator, fen, expected):
    assert generator(vorel_chess.Board(fen)) == expected


@pytest.mark.parametrize(
    "fen, square, expected",
    [
        # The en passant flag is only used from the fifth rank (fourth for black).
        ("4k3/8/8/8/4P3/8/8/4K3 w - d6", "e4", ["e4e5"]),
        ("4k3/8/8/4p3/8/8/8/4K3 b - d3", "e5", ["e5e4"]),
        # A blocked single step rules out the double step as well.
        ("4k3/8/8/8/8/4n3/4P3/4K3 w - -", "e2", []),
        ("4k3/8/8/8/4n3/8/4P3/4K3 w - -", "e2", ["e2e3"]),
    ],
)
def test_pawn_moves(generator, fen, square, expected):
    moves = generator(vorel_chess.Board(fen))
    assert [move for move in moves if move.startswith(square)] == expected


@pytest.mark.parametrize(
    "fen, castle, allowed",
    [
        ("4k3/8/8/8/8/8/8/4K2R w K -", "e1g1", True),
        ("4k3/8/8/8/8/8/8/4K2R w - -", "e1g1", False),  # no right
        ("4k1r1/8/8/8/8/8/8/4K2R w K -", "e1g1", False),  # g1 attacked
        ("4k3/8/b7/8/8/8/8/4K2R w K -", "e1g1", False),  # f1 attacked
        ("4k3/8/8/8/8/8/8/4KN1R w K -", "e1g1", False),  # f1 occupied
        ("4k2r/8/8/8/8/8/8/4K2R w K -", "e1g1", True),  # only the rook's h1 is attacked
        ("4r1k1/8/8/8/8/8/8/4K2R w K -", "e1g1", False),  # king in check
        ("4k3/8/8/8/8/8/8/R3K3 w Q -", "e1c1", True),
        ("4k3/8/8/8/8/8/8/RN2K3 w Q -", "e1c1", False),  # b1 occupied
        ("1r2k3/8/8/8/8/8/8/R3K3 w Q -", "e1c1", True),  # b1 attacked but empty
        ("3rk3/8/8/8/8/8/8/R3K3 w Q -", "e1c1", False),  # d1 attacked
        ("r3k3/8/8/8/6Q1/8/8/4K3 b q -", "e8c8", False),  # c8 attacked
        ("r3k3/8/8/8/8/8/8/1R2K3 b q -", "e8c8", True),  # b8 attacked but empty
    ],
)
def test_castling(generator, fen, castle, allowed):
    assert (castle in generator(vorel_chess.Board(fen))) == allowed


@pytest.mark.parametrize(
    "fen",
    [
        START,
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
        "4k3/8/8/2PpP3/8/8/8/4K3 w - d6",
        "3r1r1k/4P3/8/8/8/8/8/K7 w - -",
        "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq -",
    ],
)
def test_board_unchanged(generator, fen):
    board = vorel_chess.Board(fen)
    planes = board.bitboard()
    moves = generator(board)
    assert board.fen() == vorel_chess.Board(fen).fen()
    assert board.bitboard() == planes
    assert generator(board) == moves


def test_history_survives_generation(generator, PanicException):
    # The trial moves inside a call must neither leave records behind nor consume the caller's.
    board = vorel_chess.Board()
    fens = []
    for move in ["e2e4", "d7d5", "e4e5", "f7f5"]:
        fens.append(board.fen())
        generator(board)
        board.push(move)
    assert "e5f6" in generator(board)
    for fen in reversed(fens):
        board.pop()
        assert board.fen() == fen
    with pytest.raises(PanicException):
        board.pop()


def test_sees_pushed_move(generator):
    board = vorel_chess.Board()
    board.push("e2e4")
    assert generator(board)[:6] == ["b8a6", "b8c6", "g8f6", "g8h6", "a7a6", "a7a5"]
    board.push("d7d5")
    assert "e4d5" in generator(board)
    board.pop()
    board.pop()
    assert generator(board) == START_MOVES


def test_fools_mate_by_push(generator):
    board = vorel_chess.Board()
    for move in ["f2f3", "e7e5", "g2g4", "d8h4"]:
        board.push(move)
    assert generator(board) == []


def test_missing_king_of_side_to_move(generator, PanicException):
    fen = "8/8/8/8/8/8/8/7k w - -"
    board = vorel_chess.Board(fen)
    with pytest.raises(PanicException, match="(?i)side to move has no king"):
        generator(board)
    assert board.fen() == fen


def test_missing_king_leaves_history_intact(generator, PanicException):
    # Black takes the white king; white to move has none, and taking the capture back heals it.
    fen = "4k3/8/8/8/8/8/8/r3K3 b - -"
    board = vorel_chess.Board(fen)
    board.push("a1e1")
    after = board.fen()
    with pytest.raises(PanicException, match="(?i)side to move has no king"):
        generator(board)
    assert board.fen() == after
    board.pop()
    assert board.fen() == fen
    assert "a1e1" in generator(board)


def test_missing_king_of_side_not_to_move(generator):
    # Only the mover's king is needed for the legality test.
    assert generator(vorel_chess.Board("8/8/8/8/8/8/8/K7 w - -")) == ["a1a2", "a1b1", "a1b2"]


def test_move_that_takes_own_king_faults_and_restores(generator, PanicException):
    # After these pushes e5 holds a white bishop and a black pawn, e4 a white rook and the black
    # king. Black's pawn move e5e4 moves the white bishop (the lowest index on e5), which takes
    # the black king: the test finds no king for the side that moved and must fault cleanly.
    board = vorel_chess.Board("7k/8/3p4/4B3/8/7R/7N/K6N w - -")
    for move in ["h1e5", "d6e5", "h2e4", "h3e4", "h8e4"]:
        board.push(move)
    before = board.fen()
    with pytest.raises(PanicException, match="has no king"):
        generator(board)
    assert board.fen() == before
    for _ in range(5):
        board.pop()
    assert board.fen() == "7k/8/3p4/4B3/8/7R/7N/K6N w - -"
