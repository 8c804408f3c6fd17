"""SAN and PGN in vorel_tools, against the pure-Python chess library as the oracle.

Positions come from seeded random games and the known perft positions; every legal move's SAN
is written by both libraries and read back by both. Game files are written by that library,
with comments, variations and NAGs added, and read back move for move.
"""

import bz2
import gc
import gzip
import io
import pickle
import random
import warnings
import weakref

import chess
import chess.pgn
import pytest
import vorel_tools
from games import Trickle, annotated_games, pgn_text, random_games, records
from perft_table import known_positions
from vorel_chess import Board

PERFT_FENS = [fen for _, fen, _ in known_positions()]
ORACLE_ERRORS = (chess.IllegalMoveError, chess.AmbiguousMoveError, chess.InvalidMoveError)


def seeded_positions():
    """Returns the FENs of every position of seeded random games, then the perft positions."""
    fens = list(PERFT_FENS)
    for start, moves in random_games(17, 40):
        for move in moves:
            fens.append(start.fen())
            start.push(move)
    return fens


POSITIONS = seeded_positions()


def four_fields(fen):
    return " ".join(fen.split()[:4])


def test_san_and_parse_san_match_the_oracle_for_every_legal_move():
    written = []
    for fen in POSITIONS:
        oracle = chess.Board(fen)
        moves = list(oracle.legal_moves)
        ucis = [m.uci() for m in moves]
        expected = [oracle.san(m) for m in moves]
        board = Board(four_fields(fen))
        assert vorel_tools.san(board, ucis) == expected, fen
        assert board.fen() == four_fields(fen)
        for uci, text in zip(ucis, expected, strict=True):
            assert vorel_tools.parse_san(board, text) == uci
            # What game files also contain: no check marks, annotations, 0-0, e8Q.
            for variant in {text.rstrip("+#"), text + "!?", text.replace("O", "0"), text.replace("=", "")}:
                assert vorel_tools.parse_san(board, variant) == uci, (fen, variant)
        written.extend(expected)
    # The positions cover every form of SAN.
    everything = " ".join(written)
    for form in ("O-O ", "O-O-O", "=Q", "=N", "#", "+", "x"):
        assert form in everything
    assert any(len(t) >= 4 and t[0] in "NBRQ" and t[1] in "abcdefgh12345678" and t[2] != "x" for t in written)


def test_parse_san_agrees_with_the_oracle_on_mutated_texts():
    # Dropped origins make ambiguous texts, moved destinations illegal ones.
    rng = random.Random(5)
    for fen in POSITIONS[::7]:
        oracle = chess.Board(fen)
        board = Board(four_fields(fen))
        texts = set()
        for move in oracle.legal_moves:
            text = oracle.san(move)
            texts.add(text[0] + text[-2:] if text[0] in "NBRQ" else text)
            texts.add(text[:-2] + rng.choice("abcdefgh") + rng.choice("12345678"))
        for text in sorted(texts):
            try:
                expected = oracle.parse_san(text).uci()
            except ORACLE_ERRORS as error:
                with pytest.raises(ValueError) as raised:
                    vorel_tools.parse_san(board, text)
                kind = "Ambiguous" if isinstance(error, chess.AmbiguousMoveError) else "I"
                assert str(raised.value).startswith(kind), (fen, text, raised.value)
                continue
            assert vorel_tools.parse_san(board, text) == expected, (fen, text)


def test_san_takes_fen_texts_and_move_words_and_names_bad_moves():
    fen = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
    word = 4 | 6 << 6 | 3 << 12  # e1g1 with the castling code
    assert vorel_tools.san(fen, ["e1g1", word, 4 | 2 << 6, "e1c1"]) == ["O-O", "O-O", "O-O-O", "O-O-O"]
    assert vorel_tools.san(fen, (m for m in ["a2a3"])) == ["a3"]
    assert vorel_tools.parse_san(Board(fen), "Ne5xf7") == "e5f7"
    cases = [
        (["e2e4"], ValueError, r"Illegal move: e2e4 \(moves\[0\]\) is not a legal move in r3k2r"),
        (["a2a3", "e7e8q"], ValueError, r"Illegal move: e7e8q \(moves\[1\]\)"),
        (["e2e"], ValueError, r"Invalid move text: 'e2e' \(moves\[0\]\)"),
        ([1 << 16], ValueError, r"Invalid move word: 65536"),
        ([8 << 12], ValueError, r"Invalid move word"),
        ([1.5], TypeError, r"item 0 is 'float'"),
        ([True], TypeError, r"item 0 is 'bool'"),
        ("e2e4", TypeError, r"a single 'str'"),
        (3, TypeError, r"argument 'moves'"),
    ]
    for moves, error, message in cases:
        with pytest.raises(error, match=message):
            vorel_tools.san(fen, moves)
    with pytest.raises(TypeError, match=r"argument 'board': expected Board or str, got 'int'"):
        vorel_tools.san(1, [])
    with pytest.raises(ValueError, match=r"Invalid fen: Invalid side-to-move"):
        vorel_tools.parse_san("8/8/8/8/8/8/8/8 x - -", "e4")
    with pytest.raises(ValueError, match=r"Invalid fen: "):
        vorel_tools.parse_san("x", "e4")
    with pytest.raises(TypeError, match=r"argument 'text': expected str"):
        vorel_tools.parse_san(fen, b"e4")
    with pytest.raises(TypeError, match=r"parse_san\(\) missing 1 required positional argument: 'text'"):
        vorel_tools.parse_san(fen)


def test_parse_san_errors_name_the_text_and_the_position(PanicException):
    start = Board()
    for text, message in [
        ("Nf6", r"^Illegal SAN: 'Nf6' is not a legal move in rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -$"),
        ("e5", r"^Illegal SAN"),
        ("e3=Q", r"^Illegal SAN"),  # a promotion off the last rank
        ("Ke2", r"^Illegal SAN"),
        ("O-O", r"^Illegal SAN"),
        ("Nf9", r"^Invalid SAN: 'Nf9' is not a move in standard algebraic notation$"),
        ("", r"^Invalid SAN"),
        ("1e4", r"^Invalid SAN"),
        ("Qe4=Q", r"^Invalid SAN"),
    ]:
        with pytest.raises(ValueError, match=message):
            vorel_tools.parse_san(start, text)
    # Knights on b1 and f3 both reach d2; a pawn on the seventh rank must name its piece.
    with pytest.raises(ValueError, match=r"^Ambiguous SAN: 'Nd2' may be b1d2 or f3d2 in "):
        vorel_tools.parse_san("4k3/8/8/8/8/5N2/8/1N2K3 w - -", "Nd2")
    with pytest.raises(ValueError, match=r"^Illegal SAN: 'a8'"):
        vorel_tools.parse_san("4k3/P7/8/8/8/8/8/4K3 w - -", "a8")
    with pytest.raises(PanicException, match="has no king"):
        vorel_tools.parse_san("8/8/8/8/8/8/8/R7 w - -", "Ra2")
    with pytest.raises(PanicException, match="has no king"):
        vorel_tools.san("8/8/8/8/8/8/8/R7 w - -", ["a1a2"])


# --- Game files ---------------------------------------------------------------------------------


GAMES = annotated_games(3, 60)
PGN_TEXT = pgn_text(GAMES)


def oracle_records(text):
    """Returns (tags, fen, moves, result) of each game of a PGN text as the oracle reads it."""
    records, stream = [], io.StringIO(text)
    while (game := chess.pgn.read_game(stream)) is not None:
        moves = [m.uci() for m in game.mainline_moves()]
        records.append((dict(game.headers), four_fields(game.board().fen()), moves, game.headers["Result"]))
    return records


def test_games_written_by_the_oracle_read_back_move_for_move():
    expected = oracle_records(PGN_TEXT)
    assert len(expected) == len(GAMES)
    games = list(vorel_tools.read_pgn(io.StringIO(PGN_TEXT)))
    assert all(game.error is None and game.token is None for game in games)
    # The oracle's FEN keeps an en-passant square only where a capture is possible.
    ours = [(tags, Board(fen).fen(), moves, result) for tags, fen, moves, result in records(games)]
    assert [(t, four_fields(chess.Board(f).fen()), m, r) for t, f, m, r in ours] == expected
    assert sum(len(game.moves) for game in games) > 3000
    assert games[0].line == 1 and games[1].line == PGN_TEXT.count("\n", 0, PGN_TEXT.index("[Event", 1)) + 1


def test_every_kind_of_source_gives_the_same_games(tmp_path):
    data = ("\ufeff" + PGN_TEXT).encode()
    expected = records(vorel_tools.read_pgn(io.BytesIO(data)))
    for name, opener in [("games.pgn", open), ("games.pgn.gz", gzip.open), ("games.PGN.BZ2", bz2.open)]:
        path = tmp_path / name
        with opener(path, "wb") as file:
            file.write(data)
        assert records(vorel_tools.read_pgn(path)) == expected
        assert records(vorel_tools.read_pgn(str(path).encode())) == expected
    with open(tmp_path / "games.pgn", encoding="utf-8-sig") as text_file:
        assert records(vorel_tools.read_pgn(text_file)) == expected
        assert not text_file.closed
    for step in (1, 3, 7):
        assert records(vorel_tools.read_pgn(Trickle(data, step))) == expected


BROKEN = """[Event "illegal move"]

1. e4 e5 2. Ke3 Nc6 3. Nf3 1-0

[Event "unreadable token"]
1. e4 e5 2. Nf3 ?x? (2... d6) 1/2-1/2

[Event "bad FEN tag"]
[FEN "8/8/8/8/8/8/8/8 w - - 0 1"]
1. Kb2 *

[Event "unreadable tag" Site]
1. d4 *

[Event "null move"]
1. e4 -- 2. d4 0-1

[Event "ambiguous"]
[FEN "4k3/8/8/8/8/5N2/8/1N2K3 w - - 0 1"]
1. Nd2 *

[Event "variant"]
[Variant "Atomic"]
1. e4 *

[Event "the good one"]
1. e4 {a comment} (1. d4 $1) 1... c5 ; a line comment
% an escape line
2. Nf3 e.p. $14 +- 2... d6 *
"""


def test_broken_games_come_as_error_records_and_reading_goes_on():
    games = list(vorel_tools.read_pgn(io.StringIO(BROKEN)))
    summary = [
        (g.tags.get("Event"), g.line, g.error is not None and g.error.split(":")[0], g.token, g.moves) for g in games
    ]
    assert summary == [
        ("illegal move", 1, "Illegal SAN", "Ke3", ["e2e4", "e7e5"]),
        ("unreadable token", 5, "Invalid SAN", "?x?", ["e2e4", "e7e5", "g1f3"]),
        ("bad FEN tag", 8, "Invalid FEN tag", "8/8/8/8/8/8/8/8 w - - 0 1", []),
        (None, 12, "Unreadable tag", '[Event "unreadable tag" Site]', []),
        ("null move", 15, "Null move", "--", ["e2e4"]),
        ("ambiguous", 18, "Ambiguous SAN", "Nd2", []),
        ("variant", 22, "Unsupported variant", "Atomic", []),
        ("the good one", 26, False, None, ["e2e4", "c7c5", "g1f3", "d7d6"]),
    ]
    assert games[0].error.startswith("Illegal SAN: 'Ke3' is not a legal move in rnbqkbnr/pppp1ppp/")
    assert [g.result for g in games] == ["1-0", "1/2-1/2", "*", "*", "0-1", "*", "*", "*"]
    assert games[2].fen == "8/8/8/8/8/8/8/8 w - - 0 1" and games[0].fen == Board().fen()


def test_games_without_tags_results_or_an_end():
    text = '1. e4 e5 *\n\n1. d4\n[Event "next"]\n[Result "0-1"]\n\n1. c4 (1. b3\n[Event "last"]\n1. Nf3'
    games = list(vorel_tools.read_pgn(io.StringIO(text)))
    assert [(g.tags, g.moves, g.result, g.line, g.token) for g in games] == [
        ({}, ["e2e4", "e7e5"], "*", 1, None),
        ({}, ["d2d4"], "*", 3, None),
        ({"Event": "next", "Result": "0-1"}, ["c2c4"], "0-1", 4, "("),  # an unclosed variation ends at a tag line
        ({"Event": "last"}, ["g1f3"], "*", 8, None),
    ]
    assert list(vorel_tools.read_pgn(io.StringIO("  {only a comment}\n; and a line\n"))) == []
    # Tags that are not UTF-8 are read as Latin-1.
    (game,) = vorel_tools.read_pgn(io.BytesIO('[Site "Zürich"]\n[White "Ça"]\n*'.encode("latin-1")))
    assert game.tags == {"Site": "Zürich", "White": "Ça"}


def test_records_are_named_tuples_that_pickle():
    game = next(iter(vorel_tools.read_pgn(io.StringIO(PGN_TEXT))))
    assert isinstance(game, vorel_tools.PgnGame) and isinstance(game, tuple)
    tags, fen, moves, result, line, error, token = game
    assert (tags, fen, moves, result, line, error, token) == (
        game.tags,
        game.fen,
        game.moves,
        game.result,
        1,
        None,
        None,
    )
    assert pickle.loads(pickle.dumps(game)) == game
    assert game.moves[0] is vorel_tools.parse_san(Board(), chess.Board().san(chess.Move.from_uci(game.moves[0])))


def test_the_reader_closes_what_it_opens_and_nothing_else(tmp_path):
    path = tmp_path / "games.pgn"
    path.write_text(PGN_TEXT)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with vorel_tools.read_pgn(path) as games:
            assert next(games).tags["Event"] == "Seeded game 0"
        assert list(games) == []
        unfinished = vorel_tools.read_pgn(path)
        next(unfinished)
        del unfinished  # dropped before its end: the file is closed, without a warning
        assert len(list(vorel_tools.read_pgn(path))) == len(GAMES)
    stream = io.StringIO(PGN_TEXT)
    reader = vorel_tools.read_pgn(stream)
    reader.close()
    assert list(reader) == [] and not stream.closed


def test_reader_refuses_bad_sources_and_reentry():
    with pytest.raises(FileNotFoundError):
        vorel_tools.read_pgn("/nonexistent/games.pgn")
    with pytest.raises(TypeError, match="argument 'source': expected a path or a file object, got 'int'"):
        vorel_tools.read_pgn(3)
    with pytest.raises(TypeError, match="cannot create"):
        vorel_tools.PgnReader()

    class Numbers(io.RawIOBase):
        def read(self, size=-1):
            return 5

    with pytest.raises(TypeError, match="read\\(\\) returned 'int', expected bytes or str"):
        next(vorel_tools.read_pgn(Numbers()))

    class Reentrant(io.StringIO):
        def read(self, size=-1):
            return next(self.reader)

    stream = Reentrant("1. e4 *")
    stream.reader = vorel_tools.read_pgn(stream)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        next(stream.reader)
    # The reader and its file refer to each other; the collector frees both.
    collected = weakref.ref(stream)
    del stream
    gc.collect()
    assert collected() is None
