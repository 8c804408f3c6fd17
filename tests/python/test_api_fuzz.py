"""Fuzz of the public API with arbitrary text and objects: only the documented exceptions come
out, never a crash, and a call that fails leaves the board exactly as it was, history included.

The text strategies reach every code point (lone surrogates and NUL included) but lean toward
the characters the FEN and move readers treat specially, and mutate readable FENs and moves so
that the later fields and checks are reached, not only the first one.
"""

import re

from boards import history
from hypothesis import given, settings
from hypothesis import strategies as st
from texts import WHITE_SPACE, Text
from vorel_chess import Board

MOVE_TEXT = re.compile(r"[a-h][1-8][a-h][1-8][nbrqNBRQ]?")
FENS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6",
    "8/8/8/8/8/8/8/8 b - -",
]
MOVES = ["e2e4", "e7e8q", "a1h8", "e1g1", " g8f6\n", "b7b8N", "e2e4e5", "e2e", "E2E4", "e2-e4"]

checked = settings(max_examples=250, deadline=None, database=None)

# Every code point, with the interesting ones drawn often enough to matter.
characters = st.one_of(
    st.sampled_from("PNBRQKpnbrqkx0123456789/wb-KQkqabcdefgh"),
    st.sampled_from(WHITE_SPACE + "\0\x1c\x1f\u180e\u200b\ufeff\uff18"),
    st.characters(categories=["Cs"]),
    st.characters(exclude_categories=()),
)


@st.composite
def mutated(draw, seeds):
    """A seed text with up to three short stretches replaced by arbitrary characters."""
    text = draw(st.sampled_from(seeds))
    for _ in range(draw(st.integers(0, 3))):
        start = draw(st.integers(0, len(text)))
        end = draw(st.integers(start, min(len(text), start + 3)))
        text = text[:start] + draw(st.text(characters, max_size=3)) + text[end:]
    return text


def anything_for(seeds):
    texts = st.one_of(st.text(characters, max_size=40), mutated(seeds), st.sampled_from(seeds))
    non_texts = st.one_of(
        st.none(),
        st.binary(max_size=6),
        st.builds(bytearray, st.binary(max_size=6)),
        st.integers(),
        st.floats(),
        st.builds(object),
        st.builds(Board),
        st.lists(st.sampled_from(seeds), max_size=2),
        st.sampled_from(seeds).map(str.encode),
    )
    # A readable text with one lone surrogate put in somewhere: refused before it is read.
    unencodable = st.builds(
        lambda text, at, surrogate: text[: at % (len(text) + 1)] + surrogate + text[at % (len(text) + 1) :],
        texts,
        st.integers(0, 200),
        st.characters(categories=["Cs"]),
    )
    return st.one_of(texts, texts.map(Text), non_texts, unencodable)


def outcome(call, panic):
    """The call's result, or the class of a documented exception; anything else propagates."""
    try:
        return call()
    except (TypeError, ValueError, panic) as error:  # UnicodeEncodeError is a ValueError
        return type(error)


def state(board, panic):
    return board.fen(), board.bitboard(), history(board, panic)


def expected_failure(argument):
    """The exception a text or object must raise before it is read, or None if it is read."""
    if not isinstance(argument, str):
        return TypeError
    if any(0xD800 <= ord(c) <= 0xDFFF for c in argument):
        return UnicodeEncodeError
    return None


@checked
@given(anything_for(FENS))
def test_board_from_anything(PanicException, fen):
    board = outcome(lambda: Board(fen), PanicException)
    early = expected_failure(fen)
    if early is not None:
        assert board is early
    elif isinstance(board, Board):
        text = board.fen()
        assert Board(text).fen() == text
        assert Board.bitboard_from_fen(fen) == board.bitboard()
        assert board.turn() == ("white" if text.split()[1] == "w" else "black")
    else:
        # Well-formed text is never refused as a type, and refusals of the reader's own are
        # either its error values or its internal faults.
        assert board in (ValueError, PanicException)


@checked
@given(anything_for(FENS))
def test_bitboard_from_anything(PanicException, fen):
    planes = outcome(lambda: Board.bitboard_from_fen(fen), PanicException)
    early = expected_failure(fen)
    if early is not None:
        assert planes is early
    elif planes is not PanicException:  # the placement reader has no error values
        assert len(planes) == 12 and all(len(plane) == 64 for plane in planes)
        assert all(type(flag) is bool for plane in planes for flag in plane)


@st.composite
def played(draw, generator):
    """A board after a short random game from one of the readable FENs."""
    board = Board(draw(st.sampled_from(FENS[:4])))
    for choice in draw(st.lists(st.integers(0, 255), max_size=8)):
        moves = generator(board)
        if not moves:
            break
        board.push(moves[choice % len(moves)])
    return board


@checked
@given(st.data(), anything_for(MOVES))
def test_push_anything(generator, PanicException, data, move):
    board = data.draw(played(generator))
    before = state(board, PanicException)
    result = outcome(lambda: board.push(move), PanicException)
    early = expected_failure(move)
    if early is not None:
        assert result is early
    if result is None:
        # Only coordinate notation is ever played, and it can always be taken back.
        assert MOVE_TEXT.fullmatch(str.strip(move, WHITE_SPACE))
        board.pop()
    else:
        assert result in (TypeError, ValueError, UnicodeEncodeError, PanicException)
    assert state(board, PanicException) == before


@st.composite
def positions(draw):
    """Any placement at all: no kings, many kings, pawns on the back ranks, odd rights."""
    squares = draw(st.lists(st.sampled_from("PNBRQKpnbrqk" + "." * 24), min_size=64, max_size=64))
    if draw(st.booleans()):
        squares[draw(st.integers(0, 63))] = "K"
        squares[draw(st.integers(0, 63))] = "k"
    ranks = []
    for rank in range(8):
        text = "".join(squares[rank * 8 : rank * 8 + 8])
        ranks.append(re.sub(r"\.+", lambda run: str(len(run.group())), text))
    castling = "".join(draw(st.sets(st.sampled_from("KQkq")))) or "-"
    en_passant = draw(st.sampled_from(["-"] + [f + r for f in "abcdefgh" for r in "36"]))
    return f"{'/'.join(ranks)} {draw(st.sampled_from('wb'))} {castling} {en_passant}"


@checked
@given(positions(), st.one_of(st.none(), st.integers(), st.text(max_size=4), st.builds(object)))
def test_generator_on_any_position(generator, PanicException, fen, stranger):
    board = Board(fen)
    before = state(board, PanicException)
    assert outcome(lambda: generator(stranger), PanicException) is TypeError
    moves = outcome(lambda: generator(board), PanicException)
    assert state(board, PanicException) == before
    king = "K" if fen.split()[1] == "w" else "k"
    if moves is PanicException:
        assert king not in fen.split()[0]  # the one fault: no king of the side to move
        return
    assert type(moves) is list
    # A move is listed twice only where an en-passant flag names a square that holds an enemy
    # piece (no game reaches that): the capture and the en-passant word print alike.
    side, en_passant = fen.split()[1], fen.split()[3]
    target = en_passant[0] + ("6" if side == "w" else "3") if en_passant != "-" else None
    assert all(move[2:4] == target for move in moves if moves.count(move) > 1)
    assert all(MOVE_TEXT.fullmatch(move) for move in moves)
    # Every listed move can be played, generated from and taken back.
    for move in moves:
        board.push(move)
        assert outcome(lambda: generator(board), PanicException) is not TypeError
        board.pop()
    assert state(board, PanicException) == before
