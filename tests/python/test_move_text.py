import pytest
from boards import AFTER_E2E4, START, played_once
from vorel_chess import Board

LENGTH = "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: "
PROMOTION = "Invalid chess move: Unsupported promotion type for "


def _assert_untouched(board):
    # Same position and same history: one pop gets back to the start, a second has nothing.
    assert board.fen() == AFTER_E2E4
    board.pop()
    assert board.fen() == START


@pytest.mark.parametrize(
    "text, message",
    [
        ("e2e", LENGTH + "e2e"),
        ("e2e4e5", LENGTH + "e2e4e5"),
        ("", LENGTH),
        (" \t\n", LENGTH),  # all blank trims to nothing
        (" e2e \t", LENGTH + "e2e"),  # the message quotes the trimmed text
        ("e2e4 q", LENGTH + "e2e4 q"),  # inner space is kept, making six
        ("\u200be7e5", LENGTH + "\u200be7e5"),  # a zero-width space is no white space: 7 bytes
        ("\x1ce7e5", PROMOTION + "\x1ce7e5"),  # nor is a file separator: 5 bytes
        ("é7e5", PROMOTION + "é7e5"),  # length in UTF-8 bytes: 5, so the last character is a letter slot
        ("e7e5x", PROMOTION + "e7e5x"),
        ("e7-e5", PROMOTION + "e7-e5"),
        ("E7E5k", PROMOTION + "E7E5k"),  # the letter is checked before the squares
    ],
)
def test_malformed_text_is_a_value_error(text, message):
    board = played_once()
    with pytest.raises(ValueError) as info:
        board.push(text)
    assert str(info.value) == message
    _assert_untouched(board)


@pytest.mark.parametrize(
    "text, message",
    [
        ("E7E5", "from_file"),
        ("`7e5", "from_file"),  # just below 'a': the difference wraps and fails too
        ("e9e5", "from_rank"),
        ("e7i5", "to_file"),
        ("e7e9", "to_rank"),
        ("z0z0", "from_file"),  # the checks run in order: from file, from rank, to file, to rank
        ("e0z0", "from_rank"),
        ("e7z0", "to_file"),
        ("é7eq", "from_file"),  # U+00E9 is 0xE9 modulo 256
        ("\u01617eq", "to_rank"),  # U+0161 counts as 'a', so only the letter in the rank slot fails
        ("a\u0137eq", "to_rank"),  # U+0137 counts as '7'
        ("a7\u0165q", "to_rank"),  # U+0165 counts as 'e'
    ],
)
def test_square_out_of_range_is_a_fault(text, message, PanicException):
    board = played_once()
    with pytest.raises(PanicException) as info:
        board.push(text)
    assert info.value.args == (f"assertion failed: {message} <= 7",)
    _assert_untouched(board)


# Multi-byte texts of four or five bytes but fewer than four characters.
@pytest.mark.parametrize("text", ["\u01617e", "e7\u0165", "\u0161\u0137b", "€5", "ée5", "𝑎", "𝑎q", "\u0161\u0137"])
def test_short_multibyte_text_is_a_fault(text, PanicException):
    board = played_once()
    with pytest.raises(PanicException):
        board.push(text)
    _assert_untouched(board)


@pytest.mark.parametrize(
    "text",
    ["e7e5", "\t\n\v\f\r e7e5\x85\xa0", "\u1680\u2000\u2005\u200ae7e5\u2028\u2029", "\u202fe7e5\u205f\u3000"],
)
def test_surrounding_white_space_is_trimmed(text):
    board = played_once()
    board.push(text)
    assert board.fen() == "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"


def test_promotion_letter_in_either_case():
    for text in ("a7b8q", "a7b8Q", " a7b8Q\u3000"):
        board = Board("1r2k3/P7/8/8/8/8/8/4K3 w - -")
        board.push(text)
        assert board.fen() == "1Q2k3/8/8/8/8/8/8/4K3 b - -"
