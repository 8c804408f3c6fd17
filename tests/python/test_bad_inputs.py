"""Each kind of bad or odd input, what the caller gets for it, and that nothing is left broken.

FEN fields are separated, and move texts trimmed, by the characters with the Unicode
White_Space property and by nothing else; NUL is an ordinary character; text is read as the
UTF-8 of the str itself. (The sub-interpreter import is in test_module.py.)
"""

import pytest
from boards import AFTER_E2E4, START, history
from boards import played_once as played
from texts import WHITE_SPACE
from vorel_chess import Board

EMPTY = "8/8/8/8/8/8/8/8"
MB = 1 << 20
# Look blank or are blank to str.isspace(), but lack the White_Space property.
NOT_WHITE_SPACE = "\0\x1c\x1d\x1e\x1f\u180e\u200b\u2060\ufeff"
PROMOTION = "Unsupported promotion type for "
LENGTH = "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: "


@pytest.mark.parametrize(
    "value", [None, b"e2e4", bytearray(b"e2e4"), memoryview(b"e2e4"), 0, 1.5, ["e2e4"], ("e2e4",), object(), Board]
)
def test_non_text_is_refused(value, generator):
    board = played()
    calls = {
        "fen": [lambda: Board(value), lambda: Board(fen=value), lambda: Board.bitboard_from_fen(value)],
        "chess_move": [lambda: board.push(value), lambda: board.push(chess_move=value)],
    }
    for name, tried in calls.items():
        for call in tried:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value).startswith(f"argument '{name}': expected str, got '")
            assert type(value).__name__ in str(info.value)
    with pytest.raises(TypeError, match="^argument 'board': expected Board, got '"):
        generator(value)
    assert board.fen() == AFTER_E2E4


def test_str_subclass_is_read_as_its_characters(generator):
    class Liar(str):
        def __str__(self):
            return "x"

        def encode(self, *args, **kwargs):
            return b"x"

        def strip(self, *args):
            return "x"

        def __len__(self):
            return 0

    board = Board(Liar(START))
    assert board.fen() == START
    assert Board.bitboard_from_fen(Liar(START)) == Board().bitboard()
    board.push(Liar(" e2e4\n"))
    assert board.fen() == AFTER_E2E4
    with pytest.raises(UnicodeEncodeError):
        Board(Liar(START + "\ud800"))


@pytest.mark.parametrize(
    "fen, move",
    [
        ("\ud800" + START, "\ud800e2e4"),
        # In a later field: the text is converted before any of it is read.
        (START.replace(" w ", " w\udfff "), "e2e4\udfff"),
        (START + " 0 1 \udbff", " e2e4 \udbff"),  # in a field or white space that would be ignored
        # A surrogate pair spelt as two code points is still two lone surrogates.
        (START + "\ud83d\ude00", "e2e4\ud83d\ude00"),
    ],
)
def test_lone_surrogates(fen, move, PanicException):
    board = played()
    for call in (lambda: Board(fen), lambda: Board.bitboard_from_fen(fen), lambda: board.push(move)):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert board.fen() == AFTER_E2E4 and history(board, PanicException) == [START]


# (FEN text, the exception or None, its message or the FEN that comes back)
FENS = [
    # NUL never ends the text and is not white space: it is part of the field it is in.
    (EMPTY + "\0 w - -", "panic", "Invalid piece type"),
    ("\0", "panic", "Invalid piece type"),
    (EMPTY + " w\0 - -", ValueError, "Invalid fen: Invalid side-to-move"),
    (EMPTY + " w K\0 -", ValueError, "Invalid fen: Invalid castling specifier"),
    (EMPTY + " w -\0 -", None, EMPTY + " w - -"),  # nothing after a "-" is read
    (EMPTY + " w - -\0", ValueError, "Invalid fen: Invalid en-passant specifier"),
    (EMPTY + " w - - \0", None, EMPTY + " w - -"),
    # Multi-byte characters: no digit or letter but the ASCII ones counts.
    (EMPTY + "é w - -", "panic", "Invalid piece type"),
    ("\uff18/8/8/8/8/8/8/8 w - -", "panic", "Invalid piece type"),  # a fullwidth 8
    (EMPTY + " \uff57 - -", ValueError, "Invalid fen: Invalid side-to-move"),
    (EMPTY + " w \uff2b -", ValueError, "Invalid fen: Invalid castling specifier"),
    (EMPTY + " w - é3", ValueError, "Invalid fen: Invalid en-passant specifier"),
    (EMPTY + " b - e\u0301", None, EMPTY + " b - e3"),  # only the file letter is read
    (START + " 0 1 ünd 終わり", None, START),
    # A megabyte of text.
    (START + " " + "x" * MB, None, START),
    (START + WHITE_SPACE * (MB // len(WHITE_SPACE)), None, START),
    ("0" * MB + EMPTY + " w - -", None, EMPTY + " w - -"),  # a 0 counts no squares
    (
        "P" * MB + "/8/8/8/8/8/8/8 w - -",
        ValueError,
        f"Invalid fen: Invalid piece placement: rank 8 describes {MB} squares instead of 8",
    ),
    ("/" * MB, ValueError, f"Invalid fen: Invalid piece placement: {MB + 1} ranks instead of 8"),
    (" " * MB, "panic", "FEN text is empty"),
]


@pytest.mark.parametrize("fen, raised, result", FENS, ids=[repr(fen[:24]) for fen, _, _ in FENS])
def test_odd_characters_in_fen(fen, raised, result, PanicException):
    if raised is None:
        assert Board(fen).fen() == result
        return
    with pytest.raises(PanicException if raised == "panic" else raised) as info:
        Board(fen)
    assert str(info.value) == result


@pytest.mark.parametrize("space", WHITE_SPACE)
def test_every_white_space_separates_and_trims(space):
    assert Board(space + START.replace(" ", space * 2) + space).fen() == START
    board = Board()
    board.push(space + "e2e4" + space * 3)
    assert board.fen() == AFTER_E2E4


@pytest.mark.parametrize("other", NOT_WHITE_SPACE)
def test_other_blank_characters_are_not_white_space(other, PanicException):
    with pytest.raises(PanicException, match="^Invalid piece type$"):
        Board(START.replace(" ", other, 1))  # the placement field takes it in
    board = Board()
    with pytest.raises(ValueError) as info:
        board.push("e2e4" + other)
    assert (
        str(info.value) == "Invalid chess move: " + (PROMOTION if len(other.encode()) == 1 else LENGTH) + "e2e4" + other
    )
    assert board.fen() == START


# (move text, the exception, its message); no text with a non-ASCII character is ever a move.
MOVES = [
    ("e2e4\0", ValueError, PROMOTION + "e2e4\0"),  # kept whole: NUL does not end the text
    ("\0e2e4", ValueError, PROMOTION + "\0e2e4"),
    ("e2e\0", "panic", "assertion failed: to_rank <= 7"),
    ("é2e4", ValueError, PROMOTION + "é2e4"),  # five bytes, and 4 is no promotion letter
    ("e\u0132e4", ValueError, PROMOTION + "e\u0132e4"),  # U+0132 ends in the byte of "2"
    ("e2e4é", ValueError, LENGTH + "e2e4é"),
    ("\uff45\uff12\uff45\uff14", ValueError, LENGTH + "\uff45\uff12\uff45\uff14"),  # fullwidth
    ("a\u0131b", "panic", "index out of range: the move text has fewer than four characters"),
    ("a\u0131bq", "panic", "assertion failed: to_rank <= 7"),
    ("e" * MB, ValueError, LENGTH + "e" * MB),
]


@pytest.mark.parametrize("move, raised, message", MOVES, ids=[repr(move[:8]) for move, _, _ in MOVES])
def test_odd_characters_in_moves(move, raised, message, PanicException):
    board = played()
    with pytest.raises(PanicException if raised == "panic" else raised) as info:
        board.push(move)
    assert str(info.value) == ("Invalid chess move: " + message if raised is ValueError else message)
    assert board.fen() == AFTER_E2E4 and history(board, PanicException) == [START]


def test_megabyte_placement_and_padded_move():
    # Without the rank check the square counter runs on and wraps: every square gets a pawn.
    assert Board.bitboard_from_fen("P" * MB)[0] == [True] * 64
    board = Board()
    board.push(" " * MB + "e2e4" + "\u3000" * MB)
    assert board.fen() == AFTER_E2E4


def test_a_million_pushes_then_a_million_pops(generator, PanicException):
    cycle = ["g1f3", "g8f6", "f3g1", "f6g8"]  # knights out and back: START every four moves
    board, fens = Board(), []
    for move in cycle:
        fens.append(board.fen())
        board.push(move)
    assert board.fen() == START
    board = Board()
    count = 1_000_000
    for step in range(count):
        board.push(cycle[step % 4])
        if step % 99_991 == 0:  # a prime stride, so every phase of the cycle is checked
            assert board.fen() == fens[(step + 1) % 4]
            assert generator(board) == generator(Board(board.fen()))
    assert board.fen() == START
    twin = board.copy()  # a copy carries the whole history and can take it back alone
    for target in (board, twin):
        for left in range(count, 0, -1):
            target.pop()
            if left % 99_991 == 0:
                assert target.fen() == fens[(left - 1) % 4]
        assert target.fen() == START
        assert generator(target) == generator(Board())
        with pytest.raises(PanicException, match="^No move to take back$"):
            target.pop()


def test_pop_with_nothing_to_take_back(PanicException):
    fresh, played_back, reflected, copied = Board(), Board(), played(), Board().copy()
    played_back.push("e2e4")
    played_back.pop()
    reflected.reflect()  # forgets the history
    for board in (fresh, played_back, reflected, copied):
        before = board.fen()
        for _ in range(2):
            with pytest.raises(PanicException, match="^No move to take back$"):
                board.pop()
        assert board.fen() == before
        board.push("e7e5" if board.turn() == "black" else "e2e4")
        board.pop()
        assert board.fen() == before


# Each internal fault, made on fresh objects: (set-up, the failing call, its message).
FAULTS = {
    "placement": (lambda: Board(), lambda board, gen: Board("x" + START), "Invalid piece type"),
    "missing-field": (lambda: Board(), lambda board, gen: Board(EMPTY + " w -"), "FEN text has no en-passant field"),
    "planes": (lambda: Board(), lambda board, gen: board.bitboard_from_fen("\0"), "Invalid piece type"),
    "from-file": (lambda: Board(), lambda board, gen: board.push("E2E4"), "assertion failed: from_file <= 7"),
    "from-rank": (lambda: Board(), lambda board, gen: board.push("e9e4"), "assertion failed: from_rank <= 7"),
    "to-file": (lambda: Board(), lambda board, gen: board.push("e2i4"), "assertion failed: to_file <= 7"),
    "to-rank": (lambda: Board(), lambda board, gen: board.push("e2e0"), "assertion failed: to_rank <= 7"),
    "short-text": (lambda: Board(), lambda board, gen: board.push("a\u0131b"), None),
    "empty-square": (lambda: Board(), lambda board, gen: board.push("e3e4"), None),
    "no-promotion": (lambda: Board("4k3/P7/8/8/8/8/8/4K3 w - -"), lambda board, gen: board.push("a7a8"), None),
    "pop": (lambda: Board(), lambda board, gen: board.pop(), "No move to take back"),
    "no-king": (lambda: Board("8/8/8/8/8/8/8/R7 w - -"), lambda board, gen: gen(board), None),
}


@pytest.mark.parametrize("name", FAULTS)
def test_objects_work_after_a_fault(name, generator, PanicException):
    make, fail, message = FAULTS[name]
    board = make()
    before = board.fen(), board.bitboard()
    with pytest.raises(PanicException) as info:
        fail(board, generator)
    if message is not None:
        assert info.value.args == (message,)
    assert (board.fen(), board.bitboard()) == before
    # No access was left held: shared and exclusive ones are both granted, on both objects.
    moves = generator(board) if "K" in before[0] else []
    twin = board.copy()
    for move in moves:
        board.push(move)
        assert generator(twin) == moves
        board.pop()
    board.reflect()
    board.reflect()
    assert (board.fen(), board.bitboard()) == before
    assert len(generator(Board())) == 20
