"""read_pgn() on game files as they come: every kind of line end, files joined together, comments
and variations that are never closed, long tags, coordinate notation in the move text, tokens cut
inside a character, and sources whose read() fails between chunks. Games written by the
pure-Python chess library are the reference: each change to a file says exactly which games and
moves must come back."""

import io
import os
import random
import re
import subprocess
import sys
import time

import chess
import chess.pgn
import pytest
import vorel_tools
from games import Trickle, annotated_games, pgn_text, random_games, records
from vorel_chess import Board

GAMES = annotated_games(3, 60)
PGN_TEXT = pgn_text(GAMES)

BOM = "\ufeff"


def read(text, step=None):
    """Returns the games of a text (str, or bytes when step is given, fed `step` bytes a read)."""
    if step is None:
        return list(vorel_tools.read_pgn(io.StringIO(text)))
    return list(vorel_tools.read_pgn(Trickle(text.encode() if isinstance(text, str) else text, step)))


def full(games):
    return [(g.tags, g.fen, g.moves, g.result, g.line, g.error, g.token) for g in games]


def test_cr_lf_and_crlf_are_the_same_line_end():
    expected = full(read(PGN_TEXT))
    rng = random.Random(4)
    mixed, ending = "", ""
    for line in PGN_TEXT.split("\n"):
        # A CR, an empty line, then a LF would be one CR LF.
        ending = rng.choice(["\r", "\r\n"] if ending == "\r" and not line else ["\n", "\r", "\r\n"])
        mixed += line + ending
    for text in (PGN_TEXT.replace("\n", "\r"), PGN_TEXT.replace("\n", "\r\n"), mixed):
        assert full(read(text)) == expected
        for step in (1, 2, 7):  # a CR LF split between two reads counts once
            assert full(read(text, step)) == expected
    # Each line end ends a ';' comment and starts a line for '%' escapes and tags.
    text = '[Event "a"]\r1. e4 ; a comment\r% an escape line\r1... e5 (1... c5\r[Event "b"]\r1. d4 *'
    games = read(text)
    assert [(g.tags, g.moves, g.line, g.token) for g in games] == [
        ({"Event": "a"}, ["e2e4", "e7e5"], 1, "("),
        ({"Event": "b"}, ["d2d4"], 5, None),
    ]


def plain_games(seed, count):
    """Returns (tags, move texts, PGN text) of seeded games written by the oracle, one line of
    moves per few moves, with no comments or variations of their own."""
    games = []
    for index, (_start, moves) in enumerate(random_games(seed, count, max_plies=60)):
        game = chess.pgn.Game()
        game.headers["Event"] = f"Plain {index}"
        node = game
        for move in moves:
            node = node.add_variation(move)
        exporter = chess.pgn.StringExporter(columns=40, comments=False, variations=False)
        games.append((dict(game.headers), [m.uci() for m in moves], game.accept(exporter)))
    return games


@pytest.mark.parametrize("opening", ["(", "{", "( {"])
def test_an_unclosed_comment_or_variation_ends_its_game_at_the_next_tags(opening):
    # An opening is put before a random token of each game's move text, tags excepted: the game
    # keeps the moves before it and says why it ends; every other game reads as written.
    rng = random.Random(len(opening))
    games = plain_games(9, 30)
    texts, expected = [], []
    for tags, moves, text in games:
        head, body = text.split("\n\n", 1)
        pieces = re.split(r"(\s+)", body)  # words and the white space between them
        words = pieces[0::2]
        cut = rng.randrange(len(words))
        kept = sum(1 for word in words[:cut] if not re.fullmatch(r"\d+\.+|\*|", word))
        pieces[2 * cut] = f"{opening} {pieces[2 * cut]}"
        texts.append(head + "\n\n" + "".join(pieces))
        expected.append((tags, moves[:kept], opening[-1]))
    read_back = read("\n\n".join(texts) + "\n")
    assert [(g.tags, g.moves, g.token) for g in read_back] == expected
    for game in read_back[:-1]:
        kind = "comment" if opening.endswith("{") else "variation"
        assert game.error.startswith(f"Unclosed {kind}: ") and game.error.endswith("before the next game's tags")
    assert read_back[-1].error.endswith("before the end of the input")
    # The case as first met: a "(" before the first move swallowed the next game.
    (first, second) = read('[Event "a"]\n\n(\n\n[Event "b"]\n\n1. d4 d5 *\n')
    assert (first.moves, first.token, second.tags, second.moves) == ([], "(", {"Event": "b"}, ["d2d4", "d7d5"])


def test_only_tags_end_comments_and_variations():
    # "[%clk" and "[ " at the start of a comment's line, and "[" after other text, stay comment;
    # a tag line after a closed variation, or one that held nothing, starts the next game.
    text = (
        '[Event "a"]\n1. e4 {a comment\n[%clk 0:01:00]\n[ not a tag ]\n  x [Event "no"]} e5\n'
        '2. Nf3 (2. Nc3 [%eval 0.3]\n  {[Site "no"]}) Nc6 *\n'
        '[Event "b"]\n(1. e4)\n[Event "c"]\n{before anything\n[Event "d"]\n1. d4 *\n'
    )
    games = read(text)
    assert [(g.tags, g.moves, g.error) for g in games] == [
        ({"Event": "a"}, ["e2e4", "e7e5", "g1f3", "b8c6"], None),
        ({"Event": "b"}, [], None),  # a variation is move text: the next tags start a game
        ({"Event": "c"}, [], "Unclosed comment: a '{' is not closed before the next game's tags"),
        ({"Event": "d"}, ["d2d4"], None),
    ]
    assert [g.line for g in games] == [1, 8, 10, 12]


def test_joined_files_read_as_the_files_do():
    # Files that each begin with a byte-order mark, joined with or without a line end between.
    parts = [str(game) for game in GAMES[:12]]
    alone = [record for part in parts for record in records(read(BOM + part))]
    for separator in ("\n\n", "\n", "", "\r\n"):
        joined = separator.join(BOM + part for part in parts)
        assert records(read(joined)) == alone
        assert records(read(joined, 5)) == alone
    # A mark at the start of a line inside an unclosed comment before the next file's tags.
    (first, second) = read('1. e4 {unclosed\n\ufeff[Event "b"]\n1. d4 *')
    assert (first.moves, first.token, second.tags) == (["e2e4"], "{", {"Event": "b"})
    # Bytes that only begin like a mark are a token like any other.
    (game,) = read(b"1. e4 \xef\xbbx *", 1)
    assert game.moves == ["e2e4"] and game.token == "\xef\xbbx"


def test_move_text_as_coordinates_and_with_glued_marks():
    # The same games written in coordinate notation, in SAN with "e.p." glued to en-passant
    # captures, and both mixed, read to the same moves.
    games = [(start, moves) for start, moves in random_games(21, 40) if moves]
    san_texts, coordinate_texts, mixed_texts, expected = [], [], [], []
    rng = random.Random(2)
    for start, moves in games:
        board = start.copy()
        sans, coordinates, mixed = [], [], []
        for move in moves:
            san = board.san(move)
            if board.is_en_passant(move):
                san += rng.choice(["e.p.", "e.p", " e.p.", " e.p"])
            sans.append(san)
            # Coordinates with the check mark that SAN would carry, as some tools write them.
            mark = san[-1] if san[-1] in "+#" else ""
            coordinates.append(move.uci() + mark)
            mixed.append(rng.choice([san, move.uci()]))
            board.push(move)
        for texts, words in ((san_texts, sans), (coordinate_texts, coordinates), (mixed_texts, mixed)):
            texts.append("1. " + " ".join(words) + " *\n")
        expected.append([m.uci() for m in moves])
    assert any("e.p" in text for text in san_texts)
    assert any(re.search(r"[a-h][1-8][a-h][1-8][qrbn]?\+", text) for text in coordinate_texts)
    for texts in (san_texts, coordinate_texts, mixed_texts):
        assert [g.moves for g in read("\n".join(texts))] == expected
        assert all(g.error is None for g in read("\n".join(texts)))
    for fen in ["r3k2r/8/8/8/8/8/8/R3K2R w KQkq -", "4k3/1P6/8/8/8/8/6p1/4K3 w - -"]:
        oracle = chess.Board(fen)
        for move in oracle.legal_moves:
            assert vorel_tools.parse_san(fen, move.uci()) == move.uci()
    # A coordinate text that names no legal move is read as SAN, and fails as SAN.
    with pytest.raises(ValueError, match="^Illegal SAN: 'g1g3'"):
        vorel_tools.parse_san(Board(), "g1g3")


def test_cut_tokens_keep_whole_characters():
    # A token of more than 64 bytes is cut; a character across the cut is dropped whole, so the
    # token and the message stay text, whichever byte of a 2, 3 or 4 byte character is 64th.
    for char in ("é", "€", "😀"):
        for lead in range(60, 65):
            token = "N" * (lead - 1) + char * 4
            (game,) = read(f"1. {token} *")
            cut = token.encode()[:64].decode(errors="ignore")
            assert (
                game.token == cut and game.error == f"Invalid SAN: '{cut}' is not a move in standard algebraic notation"
            )
            (game,) = read(f"[{token}\n1. e4 *")
            assert game.error.startswith("Unreadable tag") and game.token == ("[" + token).encode()[:64].decode(
                errors="ignore"
            )


def test_every_error_has_its_token():
    for text, token in [('[FEN ""]\n1. e4 *', '[FEN ""]'), ('[FEN "  "]\n*', "  "), ('[Variant "x"]\n*', "x")]:
        (game,) = read(text)
        assert game.error is not None and game.token == token
    # Mutated files: a game has an error exactly when it has a token.
    rng = random.Random(8)
    pieces = PGN_TEXT[:20_000]
    for _ in range(300):
        at = rng.randrange(len(pieces))
        mutation = rng.choice(
            ['[FEN ""]', "(", "{", "}", ")", "\r", "[", '"', "\ufeff", "$", "%", ";", "e.p.", "é" * 40]
        )
        text = pieces[:at] + mutation + pieces[at:]
        for game in read(text):
            assert (game.error is None) == (game.token is None), (text[at - 20 : at + 20], game)


def test_a_long_tag_value_reads():
    value = "x" * 200_000 + "é"
    (game,) = read(f'[Annotator "{value}"]\n[Event "a"]\n1. e4 *')
    assert game.error is None and game.tags == {"Annotator": value, "Event": "a"} and game.moves == ["e2e4"]


def test_a_long_game_reads_in_time_that_grows_with_its_length():
    # A game of many lines (a long variation here) read a chunk at a time: were it scanned again
    # from its start after every chunk, 48 MB would take some ten seconds, not a fraction of one.
    variation = b"1. d4 d5 2. c4 e6\n" * (48 << 20 >> 4)
    text = b'[Event "long"]\n\n1. e4 ( ' + variation + b') e5 2. Nf3 *\n[Event "next"]\n1. d4 *\n'
    for reader in (vorel_tools.read_pgn, vorel_tools.read_games):
        started = time.perf_counter()
        games = list(reader(io.BytesIO(text)))
        seconds = time.perf_counter() - started
        assert seconds < 4, (reader.__name__, seconds)
        if reader is vorel_tools.read_pgn:
            assert [game.moves for game in games] == [["e2e4", "e7e5", "g1f3"], ["d2d4"]]
        else:
            (batch,) = games
            assert batch.offsets.tolist() == [0, 3, 4] and batch.error == [None, None]


def test_a_file_on_one_line_reads_a_game_at_a_time():
    # Games joined on one line, without a line end, as some tools write them: each is read once
    # its bytes are in, not when the file ends (a file on one line was held whole).
    class OneLine:
        def __init__(self):
            self.reads = 0

        def read(self, size=-1):
            self.reads += 1
            if self.reads > 3:
                raise OSError("gone")
            return "1. e4 e5 2. Nf3 Nc6 1-0 " * 2000

    reader = vorel_tools.read_pgn(OneLine())
    games = []
    with pytest.raises(OSError, match="gone"):
        games.extend(reader)
    assert len(games) >= 5000 and all(game.moves == ["e2e4", "e7e5", "g1f3", "b8c6"] for game in games)
    with pytest.raises(OSError, match="gone"):
        for batch in vorel_tools.read_games(OneLine(), batch_positions=1000):
            assert len(batch) == 250


INTERRUPTED = """
import signal, vorel_tools
def stop(*_):
    raise TimeoutError("interrupted")
signal.signal(signal.SIGALRM, stop)
signal.alarm(1)
try:
    next(vorel_tools.{reader}("/dev/zero"))
except TimeoutError as error:
    print(error)
"""


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
@pytest.mark.parametrize("reader", ["read_pgn", "read_games"])
def test_a_signal_stops_reading_a_file_without_games(reader):
    # A path is read by a file object in C: no Python code runs while chunk after chunk of bytes
    # holds no game, and a signal's handler (Ctrl-C's) ran only once one came, here never.
    done = subprocess.run(
        [sys.executable, "-c", INTERRUPTED.format(reader=reader)],
        capture_output=True,
        text=True,
        timeout=30,
        check=False,
    )
    assert done.stdout.strip() == "interrupted", (done.stdout, done.stderr)


class Failing(io.RawIOBase):
    """A file whose read() hands out `step` bytes a call and raises once at call `fail_at`."""

    def __init__(self, data, step, fail_at, failure):
        self.data, self.position, self.step, self.fail_at, self.failure, self.calls = data, 0, step, fail_at, failure, 0

    def readable(self):
        return True

    def read(self, size=-1):
        self.calls += 1
        if self.calls == self.fail_at:
            if isinstance(self.failure, BaseException):
                raise self.failure
            return self.failure
        piece = self.data[self.position : self.position + self.step]
        self.position += len(piece)
        return piece


@pytest.mark.parametrize(
    "failure, error",
    [
        (OSError("disk gone"), OSError),
        (KeyboardInterrupt(), KeyboardInterrupt),
        ("\ud800", UnicodeEncodeError),  # a text read() with a lone surrogate
        (42, TypeError),
    ],
)
def test_a_source_error_ends_the_reading_and_drops_the_game_in_progress(failure, error):
    parts = [str(game) for game in GAMES[:6]]
    data = "\n\n".join(parts).encode() + b"\n"
    whole = full(read(data, 4096))
    # The byte after which each game is complete: its "*", or the line end after its result.
    ends, offset = [], 0
    for part in parts:
        offset += len(part.encode())
        ends.append(offset if part.endswith("*") else offset + 1)
        offset += 2
    step = 97
    for fail_at in range(1, -(-len(data) // step) + 2):
        source = Failing(data, step, fail_at, failure)
        reader = vorel_tools.read_pgn(source)
        yielded = []
        with pytest.raises(error):
            yielded.extend(reader)  # keeps the games that came before the error
        read_before = min((fail_at - 1) * step, len(data))
        assert full(yielded) == whole[: sum(end <= read_before for end in ends)], fail_at
        assert list(reader) == [] and next(reader, None) is None
        assert source.calls == fail_at  # nothing is read after the failure


def test_messy_files_read_alike_in_chunks_of_every_size():
    # Every case above in one file, handed over a few bytes at a time: a CR LF, a byte-order
    # mark, a "[" and the byte after it, a token at the 64-byte cut, each split anywhere.
    text = "".join(
        [
            '\ufeff[Event "a"]\r\n1. e4 {open\r\n[%clk 0:01]\r\n \ufeff[Event "b"]\r1. d4 (1. c4\r',
            '  [Event "c"]\n1. Nf3 d5 2. e4 dxe4 3. d4 exd3e.p 4. g1f3 *\ufeff[FEN ""]\n*\n',
            '[Site "' + "é" * 40 + '"]\n1. N' + "é" * 40 + " *\r\n",
            '[Event "d"]\n1. e4 ; comment\r% escape\r\n1... e5 (1... c5\n[Event "e"]\n1. e7e8 *\n(',
        ]
    )
    whole = full(read(text))
    assert [g[0].get("Event") for g in whole] == ["a", "b", "c", None, None, "d", "e", None]
    for step in range(1, 20):
        assert full(read(text, step)) == whole, step
