import pytest
from texts import Text
from vorel_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
AFTER_E2E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
BOARD, GEN = Board(), MoveGenerator()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Board(START, START), "Board.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: MoveGenerator(1), "MoveGenerator.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Board(x=1), "Board.__new__() got an unexpected keyword argument 'x'"),
        # The unknown name is reported even when the known one is valid.
        (lambda: Board(fen=START, x=1), "Board.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Board(START, fen=START), "Board.__new__() got multiple values for argument 'fen'"),
        (lambda: BOARD.push(), "Board.push() missing 1 required positional argument: 'chess_move'"),
        (lambda: BOARD.push("e2e4", "e7e5"), "Board.push() takes 1 positional arguments but 2 were given"),
        (lambda: Board.bitboard_from_fen(), "Board.bitboard_from_fen() missing 1 required positional argument: 'fen'"),
        (
            lambda: Board.bitboard_from_fen(START, fen=START),
            "Board.bitboard_from_fen() got multiple values for argument 'fen'",
        ),
        (lambda: GEN(), "MoveGenerator.__call__() missing 1 required positional argument: 'board'"),
        (lambda: GEN(BOARD, BOARD), "MoveGenerator.__call__() takes 1 positional arguments but 2 were given"),
        (lambda: GEN(BOARD, board=BOARD), "MoveGenerator.__call__() got multiple values for argument 'board'"),
    ],
)
def test_argument_parsing_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda: Board(None), "argument 'fen': "),
        (lambda: Board(fen=START.encode()), "argument 'fen': "),
        (lambda: BOARD.bitboard_from_fen(fen=None), "argument 'fen': "),
        (lambda: BOARD.push(1), "argument 'chess_move': "),
        (lambda: GEN("x"), "argument 'board': "),
        (lambda: GEN(board=GEN), "argument 'board': "),
    ],
)
def test_argument_conversion_prefix(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(prefix)
    assert BOARD.fen() == START


def test_accepted_spellings(generator):
    for board in (Board(), Board(START), Board(fen=START), Board(Text(START))):
        assert board.fen() == START
    board = Board()
    board.push(chess_move=Text("e2e4"))
    assert board.fen() == AFTER_E2E4
    assert generator(board=board) == generator(board)
    placement = "8/8/8/3k4/8/8/8/4K3 w - -"
    assert Board.bitboard_from_fen(placement) == Board().bitboard_from_fen(fen=placement)


@pytest.mark.parametrize(
    "call",
    [
        lambda: Board.fen(GEN),
        lambda: Board.push(GEN, "e2e4"),
        lambda: Board.copy(object()),
        lambda: MoveGenerator.__call__(BOARD, BOARD),
        lambda: BOARD.fen(1),  # methods without parameters take none
    ],
)
def test_receiver_and_arity_checks(call):
    with pytest.raises(TypeError):
        call()


def test_lone_surrogate_is_passed_on():
    board = Board()
    with pytest.raises(UnicodeEncodeError):
        Board("\ud800" + START)
    with pytest.raises(UnicodeEncodeError):
        Board.bitboard_from_fen("8/8/8/8/8/8/8/\udfff")
    with pytest.raises(UnicodeEncodeError):
        board.push("e2e4\ud800")
    # The exclusive access taken before the conversion failed has been given back.
    board.push("e2e4")
    assert board.fen() == AFTER_E2E4


def test_objects_usable_after_faults(PanicException, generator):
    board = Board()
    with pytest.raises(PanicException):
        board.pop()
    with pytest.raises(PanicException):
        board.push("e3e4")  # empty from-square
    with pytest.raises(TypeError):
        board.push(None)
    board.push("e2e4")
    board.pop()
    assert board.fen() == START
    kingless = Board("8/8/8/8/8/8/8/R7 w - -")
    for _ in range(2):  # a second call finds no stale access on either object
        with pytest.raises(PanicException):
            generator(kingless)
    assert kingless.fen() == "8/8/8/8/8/8/8/R7 w - -"
    assert len(generator(Board())) == 20
    with pytest.raises(PanicException, match="^Invalid piece type$"):
        Board("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq -")
    assert Board().fen() == START
