"""read_games() against the pure-Python chess library as the oracle: seeded games with clock and
evaluation comments, variations, NAGs and odd spacing are read by both, and every array of every
batch must be what the oracle's main line gives. Then the same games through every kind of source,
batch size and number of threads; broken games; `where`; arguments, closing and collection."""

import array
import bz2
import gc
import gzip
import io
import itertools
import lzma
import os
import random
import re
import struct
import subprocess
import sys
import threading
import warnings
import weakref
from pathlib import Path

import chess
import chess.pgn
import numpy as np
import pytest
import vorel_tools as vt
from games import Trickle, annotated_texts, clock_annotation, eval_annotation

PIECES = "PNBRQKpnbrqk"  # our piece indices
RESULTS = {"1-0": 1, "1/2-1/2": 0, "0-1": -1, "*": 2}
ROW_FIELDS = ("bitboards", "white_to_move", "castling", "en_passant", "halfmove_clock", "fullmove", "move")
ROW_FIELDS += ("clock", "eval", "mate", "game")
GAME_FIELDS = ("offsets", "result", "white_elo", "black_elo", "line", "error", "token", "tags")
DTYPES = dict(zip(ROW_FIELDS, ("u8", "?", "u1", "i1", "u2", "u2", "u2", "f4", "f4", "i2", "i4"), strict=True))
DTYPES.update(offsets="i8", result="i1", white_elo="i4", black_elo="i4", line="i8")

TEXTS = annotated_texts(21, 100)
PGN = "\n".join(TEXTS)


def joined(batches, games=0):
    """Returns batches as one dict of fields (game indices and offsets counted over all games, the
    first being game `games` of the source), once each batch is checked to be consistent in itself."""
    out = {name: [] for name in ROW_FIELDS + GAME_FIELDS + ("legal_moves", "legal_offsets")}
    out["offsets"], out["legal_offsets"] = [np.zeros(1, np.int64)], [np.zeros(1, np.int64)]
    start = games
    for batch in batches:
        g, n = len(batch), len(batch.move)
        assert batch.first_game == games and g > 0
        for name, dtype in DTYPES.items():
            array = getattr(batch, name)
            assert array.dtype == np.dtype(dtype), name
            assert array.shape == {"bitboards": (n, 12), "offsets": (g + 1,)}.get(
                name, (g if name in GAME_FIELDS else n,)
            )
        assert batch.offsets[0] == 0 and batch.offsets[-1] == n and (np.diff(batch.offsets) >= 0).all()
        assert batch.game.tolist() == np.repeat(np.arange(g), np.diff(batch.offsets)).tolist()
        assert len(batch.error) == len(batch.token) == len(batch.tags) == g
        for name in ROW_FIELDS:
            out[name].append(batch.game + (batch.first_game - start) if name == "game" else getattr(batch, name))
        for name in GAME_FIELDS[1:]:
            out[name].extend(getattr(batch, name))
        out["offsets"].append(batch.offsets[1:] + out["offsets"][-1][-1])
        if batch.legal_moves is not None:
            assert batch.legal_offsets.dtype == np.int64 and batch.legal_offsets.shape == (n + 1,)
            assert batch.legal_offsets[0] == 0 and batch.legal_offsets[-1] == len(batch.legal_moves)
            out["legal_moves"].append(batch.legal_moves)
            out["legal_offsets"].append(batch.legal_offsets[1:] + out["legal_offsets"][-1][-1])
        else:
            assert batch.legal_offsets is None
        games += g
    for name in ROW_FIELDS + ("offsets", "legal_moves", "legal_offsets"):
        out[name] = np.concatenate(out[name]) if out[name] else np.zeros(0, DTYPES.get(name, "u2"))
    out["bitboards"] = out["bitboards"].reshape(-1, 12)
    for name in ("result", "white_elo", "black_elo", "line"):
        out[name] = np.array(out[name], DTYPES[name])
    return out


def read(source, **options):
    return joined(vt.read_games(source, **options))


def assert_same(ours, expected, fields=None):
    for name in fields or expected:
        if isinstance(expected[name], np.ndarray):
            assert ours[name].dtype == expected[name].dtype, name
            np.testing.assert_array_equal(ours[name], expected[name], err_msg=name)  # NaN equals NaN
        else:
            assert ours[name] == expected[name], name


def rating(tags, name):
    value = tags.get(name, "").strip()
    return int(value) if re.fullmatch("[0-9]+", value) and int(value) < 2**31 else -1


def oracle(texts, separator="\n"):
    """Returns the fields read_games() must give for the games of `separator.join(texts)`, built by
    walking the oracle's main line of each (in the texts' own line ends)."""
    expected = {name: [] for name in ROW_FIELDS + GAME_FIELDS}
    fens, ucis, line = [], [], 1
    for index, text in enumerate(texts):
        game = chess.pgn.read_game(io.StringIO(text, newline=""))
        assert not game.errors, (index, game.errors)
        tags = {
            name: re.sub(r'\\(["\\])', r"\1", value)
            for name, value in re.findall(r'^\[(\w+) "(.*)"\]\r?$', text, re.MULTILINE)
        }
        expected["tags"].append(tags)
        expected["result"].append(RESULTS[game.headers["Result"]])
        expected["white_elo"].append(rating(tags, "WhiteElo"))
        expected["black_elo"].append(rating(tags, "BlackElo"))
        expected["line"].append(line)
        line += text.count("\n") + separator.count("\n")
        board = game.board()
        for node in game.mainline():
            bitboards = [0] * 12
            for square, piece in board.piece_map().items():
                bitboards[PIECES.index(piece.symbol())] |= 1 << square
            expected["bitboards"].append(bitboards)
            expected["white_to_move"].append(board.turn)
            rights = [board.has_kingside_castling_rights, board.has_queenside_castling_rights]
            expected["castling"].append(sum(1 << i for i in range(4) if rights[i % 2](i < 2)))  # K Q k q
            expected["en_passant"].append(-1 if board.ep_square is None else chess.square_file(board.ep_square))
            expected["halfmove_clock"].append(min(board.halfmove_clock, 65535))
            expected["fullmove"].append(min(board.fullmove_number, 65535))
            clock, score = node.clock(), node.eval()
            expected["clock"].append(np.nan if clock is None else clock)
            white = score.white() if score is not None else None
            expected["eval"].append(np.nan if white is None or white.is_mate() else white.score() / 100)
            expected["mate"].append(
                max(-32767, min(32767, white.mate())) if white is not None and white.is_mate() else 0
            )
            expected["game"].append(index)
            fens.append(board.fen())
            ucis.append(node.move.uci())
            board.push(node.move)
        expected["offsets"].append(len(ucis))
    # Each move as the word our generator lists for it.
    moves, offsets = vt.legal_moves(fens)
    texts_of = vt.move_texts(moves)
    for i, uci in enumerate(ucis):
        expected["move"].append(int(moves[offsets[i] + texts_of[offsets[i] : offsets[i + 1]].index(uci)]))
    expected["error"] = [None] * len(texts)
    expected["token"] = [None] * len(texts)
    expected["offsets"] = [0] + expected["offsets"]
    for name, dtype in DTYPES.items():
        expected[name] = np.array(expected[name], dtype)
    expected["bitboards"] = expected["bitboards"].reshape(-1, 12)
    return expected, fens


@pytest.fixture(scope="module")
def expected():
    return oracle(TEXTS)


def test_every_array_matches_the_oracle_game_by_game(expected):
    expected, fens = expected
    ours = read(io.StringIO(PGN), legal_moves=True)
    for j in range(len(TEXTS)):
        rows = slice(expected["offsets"][j], expected["offsets"][j + 1])
        for name in ROW_FIELDS:
            np.testing.assert_array_equal(ours[name][rows], expected[name][rows], err_msg=f"{name} of {TEXTS[j]}")
    assert_same(ours, expected)
    # The legal moves of each position: the generator's list, and the oracle's moves.
    moves, offsets = vt.legal_moves(fens)
    assert_same(ours, {"legal_moves": moves, "legal_offsets": offsets})
    texts = vt.move_texts(ours["legal_moves"])
    for i in range(0, len(fens), 7):
        assert sorted(texts[offsets[i] : offsets[i + 1]]) == sorted(m.uci() for m in chess.Board(fens[i]).legal_moves)
    # The games cover what they are meant to.
    assert len(expected["move"]) > 3000
    for name, covered in [("clock", ~np.isnan(ours["clock"])), ("eval", ~np.isnan(ours["eval"]))]:
        assert 0.2 < covered.mean() < 1, name
    assert {-1, 1} <= set(np.sign(ours["mate"]).tolist()) and (ours["en_passant"] >= 0).any()
    assert (ours["fullmove"][ours["offsets"][:-1][np.diff(ours["offsets"]) > 0]] > 1).any()  # FEN starts
    assert set(ours["result"].tolist()) == {-1, 0, 1, 2} and (ours["white_elo"] == -1).any()


def test_crlf_and_cr_line_ends_read_as_the_oracle_reads_them():
    # Comments over lines keep their line ends, which the annotations may then not read across.
    texts = [text.replace("\n", "\r\n") for text in TEXTS[:40]]
    expected, _ = oracle(texts, "\r\n")
    assert_same(read(io.BytesIO("\r\n".join(texts).encode())), expected)
    assert_same(read([text.replace("\n", "\r") for text in TEXTS[:40]]), read(TEXTS[:40]))


SOUP = ["[%clk", "[%eval", " ", " ", "\t", "\n", "\u00a0", "\u2003", "\x1c", "\x85", "0", "07", "5", "59", ":", ":"]
SOUP += [".", ".", ",", "#", "-", "+", "]", "[", "%", "x", "} {", "}{", " }{ ", "9" * 12]


def near_annotation(rng):
    """An annotation, a clock or an evaluation, with a few pieces of soup put in, taken out or put
    instead of a character, and more soup around: now and then in several comments."""
    text = list(rng.choice([clock_annotation, eval_annotation])(rng))
    for _ in range(rng.choice([0, 1, 1, 2, 3])):
        at = rng.randrange(len(text) + 1)
        text[at : at + rng.choice([0, 0, 1])] = [rng.choice(SOUP)]
    around = lambda: "".join(rng.choice(SOUP) for _ in range(rng.choice([0, 0, 1, 3])))
    return around() + "".join(text) + around()


def test_annotations_read_as_the_oracle_reads_them():
    rng, texts = random.Random(8), []
    while len(texts) < 2000:
        comment = " ".join(near_annotation(rng) for _ in range(rng.choice([1, 1, 2])))
        if re.search(r"\n[ \t]*\[\w", comment):  # a tag line: the next game's for us, not for the oracle
            continue
        texts.append(f"1. e4 {{{comment}}} {rng.choice(['', '$1 ', '(1. d4 {[%clk 0:00:01]}) '])}{{}} *")
    (expected, _), ours = oracle(texts), read(texts)
    for name in ("clock", "eval", "mate"):
        wrong = np.flatnonzero(~((ours[name] == expected[name]) | (np.isnan(ours[name]) & np.isnan(expected[name]))))
        assert not len(wrong), [(texts[i], ours[name][i], expected[name][i]) for i in wrong[:5]]
    assert_same(ours, expected, ("move", "clock", "eval", "mate", "offsets"))
    # Most are read: the soup lands on the edges of what reads.
    assert 0.3 < np.mean(~np.isnan(ours["clock"]) | ~np.isnan(ours["eval"]) | (ours["mate"] != 0)) < 0.8


def compressed(opener):
    def write(path, data):
        with opener(path, "wb") as file:
            file.write(data)

    return write


def zstd_writer(path, data):
    try:
        from compression import zstd
    except ImportError:
        zstd = pytest.importorskip("zstandard")
        data = zstd.ZstdCompressor().compress(data)
    else:
        data = zstd.compress(data)
    path.write_bytes(data)


FILES = {
    ".pgn": lambda path, data: path.write_bytes(data),
    ".pgn.gz": compressed(gzip.open),
    ".PGN.BZ2": compressed(bz2.open),
    ".pgn.xz": compressed(lzma.open),
    ".pgn.zst": zstd_writer,
}


@pytest.mark.parametrize("suffix", FILES)
def test_every_kind_of_file_gives_the_same_batches(suffix, tmp_path):
    expected = read(io.StringIO(PGN))
    path = tmp_path / f"games{suffix}"
    FILES[suffix](path, PGN.encode())
    assert_same(read(path), expected)
    # Progress through the file: its bytes on disk, all of them at the end.
    for reader in (vt.read_games(path), vt.read_pgn(path)):
        assert reader.bytes_read == 0
        list(reader)
        assert reader.bytes_read == path.stat().st_size
    assert_same(read(str(path).encode()), expected)
    if suffix == ".pgn":
        with open(path, "rb") as binary, open(path, encoding="utf-8", newline="") as text:
            assert_same(read(binary), expected)
            assert_same(read(text), expected)
            assert not binary.closed and not text.closed
        text_reader = vt.read_games(io.StringIO(PGN))
        list(text_reader)
        assert text_reader.bytes_read == len(PGN.encode())
        assert vt.read_games([PGN]).bytes_read is None


KINDS = {".pgn.gz": "gzip", ".PGN.BZ2": "bzip2", ".pgn.xz": "xz", ".pgn.zst": "zstd"}


@pytest.mark.parametrize("suffix", KINDS)
def test_a_compressed_path_is_told_by_its_bytes_and_compressed_bytes_are_no_text(suffix, tmp_path):
    expected, games = read(io.StringIO(PGN)), list(vt.read_pgn(io.StringIO(PGN)))
    FILES[suffix](tmp_path / "written", PGN.encode())
    data = (tmp_path / "written").read_bytes()
    gc.collect()  # what earlier tests left is not counted
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        # Under a plain name, no name, or the name of another format.
        for name in ("games.pgn", "games", "games.pgn.xz" if suffix == ".pgn.gz" else "games.pgn.gz"):
            path = tmp_path / name
            path.write_bytes(data)
            assert_same(read(path), expected)
            assert list(vt.read_pgn(path)) == games
            with vt.read_pgn(path) as reader:
                next(reader)
        gc.collect()
    # The decompressor and the file under it, which it leaves open, are both closed.
    assert not [warning for warning in caught if issubclass(warning.category, ResourceWarning)]
    # A file object handing out compressed bytes, even a byte at a time, is refused, not read as text.
    for source in (io.BytesIO(data), Trickle(data, 1)):
        with pytest.raises(ValueError, match=f"^the source holds {KINDS[suffix]}-compressed bytes: pass the file's"):
            next(vt.read_pgn(source))
    with pytest.raises(ValueError, match="compressed bytes"):
        next(vt.read_games(io.BytesIO(data)))


def test_legacy_lzma_and_zstd_skippable_frames_read_and_plain_text_named_compressed_does_not(tmp_path):
    games = list(vt.read_pgn(io.StringIO(PGN)))
    legacy = tmp_path / "games.pgn.lzma"  # no magic number: told by its name
    with lzma.open(legacy, "wb", format=lzma.FORMAT_ALONE) as file:
        file.write(PGN.encode())
    assert list(vt.read_pgn(legacy)) == games
    zstd_writer(tmp_path / "frame", PGN.encode())
    skipping = tmp_path / "games.pgn"
    for magic in (0x184D2A50, 0x184D2A5F):  # a skippable frame of each end of the range first
        skipping.write_bytes(struct.pack("<II", magic, 3) + b"abc" + (tmp_path / "frame").read_bytes())
        assert list(vt.read_pgn(skipping)) == games
    # A name that says compressed over bytes that are not meets the decompressor's own error.
    plain = tmp_path / "plain.pgn.gz"
    plain.write_text(PGN)
    with pytest.raises(gzip.BadGzipFile):
        next(vt.read_pgn(plain))
    # A text file object is text, whatever its first characters.
    assert next(vt.read_pgn(io.StringIO("BZh9 " + PGN))).error is not None


@pytest.mark.parametrize("suffix", [".pgn", ".pgn.gz", ".pgn.zst"])
def test_a_pipe_is_read_from_its_first_byte(suffix, tmp_path):
    # A FIFO cannot seek: its first bytes are looked at without being consumed.
    FILES[suffix](tmp_path / "written", PGN.encode())
    fifo = tmp_path / "games"
    os.mkfifo(fifo)
    writer = threading.Thread(target=fifo.write_bytes, args=((tmp_path / "written").read_bytes(),), daemon=True)
    writer.start()
    ours = read(fifo)
    writer.join()
    assert_same(ours, read(io.StringIO(PGN)))


@pytest.mark.parametrize("suffix", [".pgn.gz", ".pgn.zst"])
def test_a_compressed_file_cut_short_is_an_error_after_its_games(suffix, tmp_path):
    # Written in two frames (members), the second cut in half: the reading ends with EOFError,
    # never with the games of a half frame passed off as the whole file. (The games of the first
    # frame come before it from the .zst reader; gzip's read() drops what it read in the call
    # that fails.)
    first, second = "\n".join(TEXTS[:50]) + "\n", "\n".join(TEXTS[50:])
    whole = tmp_path / f"whole{suffix}"
    parts = []
    for text in (first, second):
        part = tmp_path / f"part{suffix}"
        FILES[suffix](part, text.encode())
        parts.append(part.read_bytes())
    whole.write_bytes(b"".join(parts))
    assert_same(read(whole), read(io.StringIO(PGN)))
    cut = tmp_path / f"cut{suffix}"
    cut.write_bytes(parts[0] + parts[1][: len(parts[1]) // 2])
    games = 0
    with pytest.raises(EOFError):
        for batch in vt.read_games(cut, batch_positions=1):
            games += len(batch)
    assert (50 if suffix == ".pgn.zst" else 0) <= games < len(TEXTS)


@pytest.mark.skipif(sys.version_info >= (3, 14), reason="read by the standard library's zstd reader")
def test_a_zst_file_damaged_after_whole_frames_gives_their_games_then_the_error(tmp_path):
    # The damage comes in the same compressed chunk as the whole frame before it.
    path = tmp_path / "damaged.pgn.zst"
    zstd_writer(path, ("\n".join(TEXTS[:50]) + "\n").encode())
    path.write_bytes(path.read_bytes() + b"GARBAGE!")
    games = []
    with pytest.raises(Exception, match="zstd"):
        for batch in vt.read_games(path, batch_positions=1):
            games.extend(batch.tags)
    assert games == read(TEXTS[:50])["tags"]


def test_a_stop_iteration_of_where_or_read_is_an_error_not_the_end():
    # Left as it is, it would end the caller's loop as though the games were over.
    class Stopping(io.RawIOBase):
        def readable(self):
            return True

        def read(self, size=-1):
            raise StopIteration

    for reader in [
        vt.read_games(TEXTS, where=lambda tags: next(iter(()))),
        vt.read_games(Stopping()),
        vt.read_pgn(Stopping()),
    ]:
        with pytest.raises(RuntimeError, match="StopIteration") as raised:
            for _ in reader:
                pass
        assert isinstance(raised.value.__cause__, StopIteration)


def arrow_array(texts):
    return pytest.importorskip("pyarrow").array(texts)


def encoded(texts):
    return [None if text is None else text.encode() for text in texts]


ITEMS = {  # how to make the sequence, and whether it can hold None
    "str": (list, True),
    "bytes": (encoded, True),
    "generator of str": (lambda texts: (text for text in texts), True),
    "numpy str": (np.array, False),
    "numpy bytes": (lambda texts: np.array(encoded(texts)), False),
    "arrow": (arrow_array, True),
    "arrow bytes": (lambda texts: arrow_array(encoded(texts)), True),
}


@pytest.mark.parametrize("kind", ITEMS)
def test_every_kind_of_sequence_gives_the_same_batches(kind):
    # The same as the file, but for the lines, each counted from its own text.
    expected = read(io.StringIO(PGN))
    expected["line"] = np.ones(len(TEXTS), np.int64)
    make, holds_none = ITEMS[kind]
    assert_same(read(make(TEXTS)), expected)
    if holds_none:  # a null of an Arrow array too: a game that cannot be read
        with_none = [*TEXTS[:5], None, *TEXTS[5:]]
        assert_same(read(make(with_none)), read(with_none))
    # Move texts alone: the same positions from the same start, no tags, the result of the moves.
    plain = [i for i, text in enumerate(TEXTS) if "[FEN " not in text]
    movetexts = [TEXTS[i].split("\n\n", 1)[1] for i in plain]
    ours, full = read(make(movetexts)), read([TEXTS[i] for i in plain])
    assert_same(ours, full, ROW_FIELDS + ("offsets", "error", "token"))
    assert ours["tags"] == [{}] * len(plain) and set(ours["white_elo"].tolist()) == {-1}
    ends = [re.search(r"(1-0|0-1|1/2-1/2|\*)?\s*$", text).group(1) or "*" for text in movetexts]
    assert ours["result"].tolist() == [RESULTS[end] for end in ends]
    # The line of the first move text, past a comment before it.
    starts = [re.match(r"\s*(\{[^}]*\}\s*)?", text).end() for text in movetexts]
    assert ours["line"].tolist() == [1 + text[:at].count("\n") for text, at in zip(movetexts, starts, strict=True)]


def test_batch_sizes_and_threads_change_no_row():
    expected = read(TEXTS, legal_moves=True)
    for size in (1, 7, 450, 2**30):
        batches = list(vt.read_games(TEXTS, batch_positions=size))
        assert_same(joined(batches), read(TEXTS))
        # Whole games are added until their moves reach the size.
        for batch in batches:
            assert len(batch.move) - np.diff(batch.offsets)[-1] < size
            assert len(batch.move) >= size or batch is batches[-1]
    per_batch = None
    for threads in (1, 2, 3):
        batches = [
            joined([batch], batch.first_game)
            for batch in vt.read_games(TEXTS, batch_positions=450, threads=threads, legal_moves=True)
        ]
        assert len(batches) > 5
        if per_batch is None:
            per_batch = batches
        for ours, theirs in zip(batches, per_batch, strict=True):
            assert_same(ours, theirs)
    assert_same(joined(vt.read_games(TEXTS, batch_positions=450, threads=3, legal_moves=True)), expected)


def test_games_without_moves_fill_a_batch_too():
    # Unreadable games and games of tags alone have no rows: a source of nothing else once made
    # one batch of it all, and a source that never ends one that never came.
    empty = ['[Event "tags alone"]\n*\n', None, "1. e4 -- *"] * 500
    batches = list(vt.read_games(empty, batch_positions=100, threads=2))
    assert [len(batch) for batch in batches] == [100] * 15
    assert_same(joined(batches), read(empty, batch_positions=2**30), GAME_FIELDS)
    mixed = [*empty[:150], *TEXTS[:5], *empty[:150]]
    assert [len(batch) for batch in vt.read_games(mixed, batch_positions=100)] == [100, 53, 2, 100, 50]
    assert_same(read(mixed, batch_positions=100, threads=3), read(mixed, batch_positions=2**30))
    endless = vt.read_games(itertools.repeat('[Event "x"]\n*'), batch_positions=7)
    assert [len(next(endless)) for _ in range(3)] == [7, 7, 7]
    endless.close()


BROKEN = [  # each game, and its error's first words and token
    ('[Event "illegal"]\n1. e4 e5 2. Ke3 Nc6 *\n', "Illegal SAN", "Ke3"),
    ('[FEN "8/8/8/8/8/8/8/8 w - - 0 1"]\n1. Kb2 *\n', "Invalid FEN tag", "8/8/8/8/8/8/8/8 w - - 0 1"),
    ('[Event "x" Site]\n1. d4 *\n', "Unreadable tag", '[Event "x" Site]'),
    ('[Event "null"]\n1. e4 -- 2. d4 *\n', "Null move", "--"),
    ('[Event "comment"]\n1. e4 { [%clk 0:00:01] never closed\n', "Unclosed comment", "{"),
    ('[Event "variation"]\n1. e4 (1. d4 e5\n', "Unclosed variation", "("),
]
NO_GAMES = [  # items of a sequence that are no game
    (None, "No game text", "None"),
    ("1. e4 *\n1. d4 *", "More than one game in one text", "1. d4 *"),
    ("1. e4 \ud800 e5 *", "Unreadable text", "'utf-8' codec can't encode character '\\ud800' in position 6: sur"),
]


def test_broken_games_give_error_rows_and_reading_goes_on():
    # Good and broken games in turn, as items and (those that can be) as a file.
    broken = BROKEN + NO_GAMES
    items = [TEXTS[i // 2] if i % 2 == 0 else broken[i // 2][0] for i in range(2 * len(broken))]
    for source, games in [(items, broken), (io.StringIO("".join(items[: 2 * len(BROKEN)])), BROKEN)]:
        ours = read(source, legal_moves=True, batch_positions=200)
        # The good games read as they do alone; the broken ones have no rows, and say why.
        alone = read(TEXTS[: len(games)], legal_moves=True)
        assert_same(ours, alone, ROW_FIELDS[:-1] + ("legal_moves", "legal_offsets"))
        assert ours["tags"][::2] == alone["tags"] and ours["error"][::2] == [None] * len(games)
        assert (np.diff(ours["offsets"])[1::2] == 0).all()
        errors = [
            (error.split(":")[0], token) for error, token in zip(ours["error"][1::2], ours["token"][1::2], strict=True)
        ]
        assert errors == [(error, token) for _, error, token in games]
    # The errors are read_pgn()'s.
    for text, _, _ in BROKEN:
        (game,) = vt.read_pgn(io.StringIO(text))
        assert next(vt.read_games([text])).error == [game.error]


def test_items_are_text_or_bytes_and_not_any_buffer():
    # Any buffer of single bytes is a game's bytes; numbers have buffers too (a NumPy integer, a
    # row of a 2-D array of str), and were read as games of their bytes.
    expected = read(TEXTS[:1])
    data = TEXTS[0].encode()
    for item in (bytearray(data), memoryview(data), np.frombuffer(data, np.uint8), array.array("b", data)):
        assert_same(read([item]), expected)
    numbers = (np.int64(3), np.arange(3, dtype=np.uint16), np.array(TEXTS[:2]), memoryview(b"1. e4 *\n").cast("I"))
    for item in numbers:
        reader = vt.read_games([TEXTS[0], item, TEXTS[1]], batch_positions=1)
        assert next(reader).tags == expected["tags"]
        with pytest.raises(TypeError, match="the source's item is '(numpy.)?[a-z0-9]+', expected a game text"):
            next(reader)
        assert next(reader, None) is None

    class Numbers:
        def read(self, size):
            return np.arange(3, dtype=np.uint16)

    with pytest.raises(TypeError, match="read\\(\\) returned 'numpy.ndarray', expected bytes or str"):
        next(vt.read_games(Numbers()))


def test_where_leaves_games_out_unread():
    texts = [text.replace('"Annotated', '"refused', i % 3 == 1) for i, text in enumerate(TEXTS[:30])]
    texts.insert(4, '[Event "refused"]\n1. e4 e5 2. Ke3 *\n')  # never replayed: no error row
    seen = []

    def where(tags):
        seen.append(tags)
        return np.bool_(not tags["Event"].startswith("refused"))  # any truth value

    kept = [text for text in texts if '"refused' not in text]
    for threads in (1, 2):
        seen.clear()
        assert_same(read(texts, where=where, threads=threads, batch_positions=100), read(kept))
        assert seen == read(texts)["tags"]
    # A truth value that cannot be told is where's error.
    with pytest.raises(ZeroDivisionError):
        next(vt.read_games(texts, where=lambda tags: type("Bad", (), {"__bool__": lambda self: 1 / 0})()))


class Failure(Exception):
    pass


def test_an_error_of_where_or_the_source_comes_after_the_batches_before_it():
    def where(tags):
        if tags["Event"] == "Annotated 20":
            raise Failure
        return True

    class Failing(io.RawIOBase):
        """A binary file that hands out 2000 bytes a read(), then fails."""

        def __init__(self, data):
            self.data, self.reads = data, 0

        def readable(self):
            return True

        def read(self, size=-1):
            self.reads += 1
            if self.reads * 2000 > len(self.data) // 2:
                raise Failure
            return self.data[(self.reads - 1) * 2000 : self.reads * 2000]

    for threads in (1, 2):
        for source, options in [(TEXTS, {"where": where}), (Failing(PGN.encode()), {})]:
            expected = read(TEXTS if options else io.StringIO(PGN))
            reader = vt.read_games(source, batch_positions=100, threads=threads, **options)
            batches = []
            with pytest.raises(Failure):
                for batch in reader:
                    batches.append(batch)  # noqa: PERF402 (kept up to the error)
            assert next(reader, None) is None and len(batches) > 3
            # Whole games, those before the error: all of them before where fails, those the read
            # bytes hold (but for the last, which may yet go on) before the source fails.
            ours = joined(batches)
            games = len(ours["error"])
            if options:
                assert games == 20
            else:
                ends = np.cumsum([len(text.encode()) + 1 for text in TEXTS])
                assert 0 <= (ends <= (source.reads - 1) * 2000).sum() - games <= 1
            assert_same(ours, {name: value[:games] for name, value in expected.items() if name in GAME_FIELDS[1:]})
            rows = expected["offsets"][games]
            assert_same(ours, {name: expected[name][:rows] for name in ROW_FIELDS})


FAILING_EMPTY = """
import io, sys
import numpy as np
real, calls = np.empty, [0]
def empty(shape, dtype):
    calls[0] += 1
    if calls[0] == {failing_call}:
        {failure}
    return real(shape, dtype)
np.empty = empty
import vorel_tools as vt
sys.path.insert(0, {tests!r})
from test_games import PGN
reader = vt.read_games(io.StringIO(PGN * 20), batch_positions=2000, threads={threads}, legal_moves=True)
batches = []
try:
    for batch in reader:
        batches.append(len(batch))
except Exception as error:
    print(type(error).__name__, len(batches), next(reader, None))
"""


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("failure, error", [("raise MemoryError", "MemoryError"), ("return []", "TypeError")])
@pytest.mark.parametrize("when", ["third batch's rows", "first batch's games"])
def test_an_array_that_cannot_be_made_ends_the_reading_after_the_batches_before_it(threads, failure, error, when):
    # numpy.empty, replaced before the module's first array (in a process of its own), fails: a
    # batch makes 11 arrays for its rows, then 7 more once replayed, and the threads have two
    # batches in hand. For the first array of the third batch, the two batches before come out,
    # then the error; for one of the first batch's game arrays, the error comes first. Either
    # way the reading is over. The first failure once threw away the first batch while the
    # threads were still writing into it; after either, the reading went on past a lost batch.
    if when == "third batch's rows":
        failing_call, batches = (37 if threads == 1 else 23), "2"
    else:
        failing_call, batches = (15 if threads == 1 else 36), "0"
    script = FAILING_EMPTY.format(
        failing_call=failing_call, failure=failure, threads=threads, tests=str(Path(__file__).parent)
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [error, batches, "None"], done.stdout


def test_new_arrays_that_share_memory_are_refused():
    # A numpy.empty (replaced before the module's first array) that hands back one array for every
    # request of a shape and type: the uint16 columns would be written over each other.
    script = """
import numpy as np
real, made = np.empty, {}
np.empty = lambda shape, dtype: made.setdefault((shape, dtype), real(shape, dtype))
import vorel_tools as vt
try:
    next(vt.read_games(["1. e4 e5 2. Nf3 *"]))
except TypeError as error:
    print(error)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert "share memory" in done.stdout, done.stdout


def test_arguments_are_checked():
    cases = [
        (
            (3,),
            {},
            TypeError,
            "argument 'source': expected a path, a file object or a sequence of game texts, got 'int'",
        ),
        ((None,), {}, TypeError, "got 'NoneType'"),
        (("/nonexistent/games.pgn.gz",), {}, FileNotFoundError, "games.pgn.gz"),
        ((), {}, TypeError, r"read_games\(\) missing 1 required positional argument: 'source'"),
        (([], 1), {}, TypeError, r"read_games\(\) takes 1 positional"),
        (([],), {"thread": 1}, TypeError, r"read_games\(\) got an unexpected keyword argument 'thread'"),
        (([],), {"batch_positions": 0}, ValueError, "batch_positions must be from 1 to 1073741824, not 0"),
        (([],), {"batch_positions": 2**30 + 1}, ValueError, "not 1073741825"),
        (([],), {"batch_positions": -(2**70)}, ValueError, "batch_positions must be from 1"),
        (([],), {"batch_positions": True}, TypeError, "argument 'batch_positions': expected int, got 'bool'"),
        (([],), {"batch_positions": 1.0}, TypeError, "got 'float'"),
        (([],), {"threads": 0}, ValueError, "threads must be from 1 to 256, not 0"),
        (([],), {"threads": 257}, ValueError, "not 257"),
        (([],), {"threads": False}, TypeError, "argument 'threads': expected int, got 'bool'"),
        (([],), {"threads": "2"}, TypeError, "got 'str'"),
        (([],), {"where": 5}, TypeError, "argument 'where': expected a callable or None, got 'int'"),
        (([],), {"legal_moves": np.array([1, 2])}, ValueError, "ambiguous"),
    ]
    for args, keywords, error, message in cases:
        with pytest.raises(error, match=message):
            vt.read_games(*args, **keywords)
    # Integers as operator.index() reads them; the largest batch and thread count.
    assert_same(read(TEXTS[:3], batch_positions=np.int64(2**30), threads=np.uint8(255), where=None), read(TEXTS[:3]))
    for kind in (vt.GameBatch, vt.GameReader):
        with pytest.raises(TypeError, match="cannot create"):
            kind()
    batch = next(vt.read_games(TEXTS[:3]))
    assert repr(batch) == f"<vorel_tools.GameBatch of 3 games, {len(batch.move)} positions>"


def test_the_reader_closes_what_it_opens_and_nothing_else(tmp_path):
    path = tmp_path / "games.pgn.gz"
    with gzip.open(path, "wt") as file:
        file.write(PGN)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with vt.read_games(path, batch_positions=10) as reader:
            assert next(reader).tags[0]["Event"] == "Annotated 0"
        assert list(reader) == []
        unfinished = vt.read_games(path, batch_positions=10, threads=2)
        next(unfinished)
        del unfinished  # dropped before its end, its threads busy: the file is closed without a warning
        gc.collect()
        vt.read_games(path).close()
        assert sum(len(batch) for batch in vt.read_games(path)) == len(TEXTS)
    stream = io.StringIO(PGN)
    reader = vt.read_games(stream)
    next(reader)
    reader.close()
    reader.close()
    assert list(reader) == [] and not stream.closed


def test_readers_in_cycles_are_collected_and_not_reentered():
    class Reentrant(io.StringIO):
        def read(self, size=-1):
            return next(self.reader)

    stream = Reentrant(PGN)
    stream.reader = vt.read_games(stream)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        next(stream.reader)

    # A where that holds its reader (who holds it), and a batch kept from such a reader.
    class Where:
        def __call__(self, tags):
            return self.reader is not None

    where = Where()
    where.reader = vt.read_games(list(TEXTS[:5]), where=where, threads=2)
    batch = next(where.reader)
    moves = batch.move.copy()
    collected = [weakref.ref(stream), weakref.ref(where)]
    del stream, where
    gc.collect()
    assert [ref() for ref in collected] == [None, None]
    assert len(batch) == 5 and batch.move.tolist() == moves.tolist()
