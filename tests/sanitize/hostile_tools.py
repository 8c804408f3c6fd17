"""A seeded fuzz loop over vorel_tools for `make test-sanitize`: every function is called with
hostile objects for every argument, read_pgn() with file objects that hand out chunks of
every size and type and fail between them, and read_games() with those files, sequences of game
texts whose items and lengths lie, and a `where` that changes the items, reenters or closes its
reader, raises or answers with no truth value. Run against the sanitized module, it checks only
that nothing crashes and that only Python exceptions come out; of the readers, also that no game
built across a failed read is ever yielded.

Last, read_games() reads game files cut short, with bytes changed, taken out or put in, from
chunks of every size: its games must be read_pgn()'s.

The objects change the containers that hold them from __index__, __iter__, __len__, __eq__,
__str__ and __buffer__, raise from them, lie about their sizes, and return the wrong types.

    python tests/sanitize/hostile_tools.py [--seed N] [--calls N] [--sources N] [--games N] [--mutated N]
"""

import argparse
import io
import random
import sys
import time
import warnings

import numpy as np
import vorel_tools as vt
from vorel_chess import Board
from vorel_chess_runtime import PanicException

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
FENS = [
    KIWIPETE,
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "8/8/8/8/8/8/8/K6k w - -",
    "8/8/8/8/8/8/8/7k w - -",  # no king to move
    "4k3/1P6/8/8/8/8/6p1/4K3 w - -",
    "x",
    "",
    "8/8/8/8/8/8/8/K6k w - -\ud800",
]
EXPECTED = (Exception, PanicException)  # what a call may raise; anything else ends the run


class Hostile:
    """An object whose every hook may run a mischief first: change the container it is in,
    raise, or hand back something of the wrong kind."""

    def __init__(self, rng, container, value):
        self.rng, self.container, self.value = rng, container, value

    def mischief(self):
        roll = self.rng.random()
        items = self.container
        if roll < 0.15 and isinstance(items, list):
            items.clear()
        elif roll < 0.25 and isinstance(items, list):
            items.extend([self.value] * self.rng.randrange(1, 2000))
        elif roll < 0.3 and isinstance(items, list) and items:
            del items[self.rng.randrange(len(items)) :]
        elif roll < 0.35 and isinstance(items, bytearray):
            items.extend(b"\0" * 4096)  # refused while a view is exported
        elif roll < 0.4:
            raise self.rng.choice([ValueError, KeyError, OverflowError, MemoryError, TypeError])("hostile")
        elif roll < 0.45:
            import gc

            gc.collect()

    def __index__(self):
        self.mischief()
        if self.rng.random() < 0.1:
            return self.rng.choice([1.5, "1", None, True, 2**80, -(2**80)])
        return self.value if isinstance(self.value, int) else 0

    def __eq__(self, other):
        self.mischief()
        return self.rng.random() < 0.5

    __hash__ = object.__hash__

    def __str__(self):
        self.mischief()
        return self.rng.choice(["e2e4", "raise", 3]) if self.rng.random() < 0.5 else "x"

    __repr__ = __str__

    def __len__(self):
        self.mischief()
        return self.rng.choice([0, 1, 10**6, -1, 2**70])

    def __iter__(self):
        self.mischief()
        for _ in range(self.rng.randrange(4)):
            self.mischief()
            yield self.value

    def __buffer__(self, flags):
        self.mischief()
        return memoryview(random_buffer(self.rng))

    def __fspath__(self):
        self.mischief()
        return self.rng.choice([b"/nonexistent.pgn", "/nonexistent.pgn.gz", 5, None])


class HostileStr(str):
    """A str whose overridden methods must never matter."""

    def __eq__(self, other):
        raise RuntimeError("__eq__ called")

    __hash__ = str.__hash__

    def __str__(self):
        raise RuntimeError("__str__ called")

    def __len__(self):
        return -1  # noqa: PLE0303 (a lie on purpose)

    def encode(self, *args, **kwargs):
        raise RuntimeError("encode called")


class LyingSequence:
    """A sequence by __getitem__ and __len__ alone, which says one length and has another."""

    def __init__(self, rng, items):
        self.rng, self.items = rng, items

    def __len__(self):
        return self.rng.choice([0, len(self.items) * 5, 10**6])

    def __getitem__(self, index):
        if self.rng.random() < 0.05:
            self.items.clear()
        return self.items[index]


class LyingHint:
    """An iterator whose __length_hint__ is wrong."""

    def __init__(self, rng, items):
        self.rng, self.it = rng, iter(list(items))
        self.hint = rng.choice([0, 10**6, 2**70, -5, "x"])

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.it)

    def __length_hint__(self):
        return self.hint


def random_buffer(rng):
    """A buffer of a random shape, format and writability, or a 0-d one."""
    rows = rng.randrange(0, 4)
    kind = rng.randrange(8)
    if kind == 0:
        return np.zeros((rows, 12, 64), rng.choice([np.uint8, np.bool_, np.int32, np.uint16]))
    if kind == 1:
        return np.zeros((rows, 12, 128), np.uint8)[:, :, ::2]
    if kind == 2:
        array = np.zeros((rows, 12, 64), np.uint8)
        array.setflags(write=False)
        return array
    if kind == 3:
        return bytearray(rng.randrange(0, 64))
    if kind == 4:
        return memoryview(bytearray(rows * 768)).cast("B", (rows, 12, 64))
    if kind == 5:
        return np.uint16(rng.randrange(1 << 16))
    if kind == 6:
        return np.arange(rng.randrange(0, 50), dtype=rng.choice([np.uint16, np.int64, np.uint8, ">u2"]))
    return bytes(rng.randrange(0, 64))


def position_item(rng, container):
    roll = rng.random()
    if roll < 0.35:
        return Board(rng.choice(FENS[:5]))
    if roll < 0.7:
        return rng.choice(FENS)
    if roll < 0.8:
        return HostileStr(rng.choice(FENS))
    if roll < 0.85:  # FEN texts as bytes, now and then not UTF-8
        text = byte_text(rng)
        return bytearray(text) if rng.random() < 0.3 else text
    return rng.choice([Hostile(rng, container, 0), None, b"fen", 3, Board])


def byte_text(rng):
    text = rng.choice(FENS).encode("utf-8", "surrogatepass")
    if rng.random() < 0.2:
        at = rng.randrange(len(text) + 1)
        text = text[:at] + rng.randbytes(rng.randrange(1, 4)) + text[at:]
    return text


GAME_BATCHES = []  # read once, on first use


def game_batch(rng):
    """A GameBatch whose writable arrays were written over: random bits in the bitboards (pieces
    on one square, no kings, pawns on the back ranks), sides, rights and files of any value, and
    now and then an array cut short or viewed as another type."""
    if not GAME_BATCHES:
        texts = ["1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 4. O-O Nf6 5. d4 exd4 6. e5 d5 7. exd6 *", "1. d4 *"]
        GAME_BATCHES.extend(vt.read_games(texts * 3))
    batch = GAME_BATCHES[0]
    rows = len(batch.move)
    bits = np.frombuffer(rng.randbytes(rows * 96), np.uint64).reshape(rows, 12)
    batch.bitboards[:] = np.where(rng.random() < 0.5, bits, bits & np.uint64(rng.getrandbits(64)))
    batch.white_to_move.view(np.uint8)[:] = np.frombuffer(rng.randbytes(rows), np.uint8)
    batch.castling[:] = np.frombuffer(rng.randbytes(rows), np.uint8) % rng.choice([16, 17, 256])
    batch.en_passant[:] = np.frombuffer(rng.randbytes(rows), np.int8) % rng.choice([8, 9, 128]) - 1
    roll = rng.random()
    if roll < 0.05:
        fresh = next(vt.read_games(["1. e4 e5 *"]))
        getattr(fresh, rng.choice(["bitboards", "white_to_move", "castling", "en_passant"])).resize(1, refcheck=False)
        return fresh
    if roll < 0.1:
        fresh = next(vt.read_games(["1. e4 e5 *"]))
        try:
            fresh.en_passant.dtype = np.uint8  # deprecated by NumPy, and may go
        except (AttributeError, TypeError):
            fresh.en_passant.resize(0, refcheck=False)
        return fresh
    return batch


def positions(rng):
    if rng.random() < 0.1:
        return game_batch(rng)
    items = []
    items.extend(position_item(rng, items) for _ in range(rng.randrange(0, 40)))
    roll = rng.random()
    if roll < 0.5:
        return items
    if roll < 0.6:
        return tuple(items)
    if roll < 0.7:
        return LyingSequence(rng, items)
    if roll < 0.8:
        return LyingHint(rng, items)
    if roll < 0.9:
        return Hostile(rng, items, rng.choice(FENS))
    if roll < 0.95:  # an array of dtype S, of any width and stride
        texts = np.array([byte_text(rng) for _ in range(rng.randrange(0, 40))], f"S{rng.randrange(1, 80)}")
        return texts[:: rng.choice([1, 2, -1])]
    return rng.choice([Board(), KIWIPETE, 5, None, random_buffer(rng)])


def word_item(rng, container):
    roll = rng.random()
    if roll < 0.4:
        return rng.randrange(1 << 16)
    if roll < 0.6:
        return Hostile(rng, container, rng.randrange(1 << 16))
    if roll < 0.7:
        return rng.choice([np.uint16(796), np.int64(-1), np.int64(1 << 20), 2**70, True])
    if roll < 0.85:
        return rng.choice(["e2e4", "e1g1", "e7e8q", "Nf3", HostileStr("g1f3")])
    return rng.choice([None, 1.5, b"e2e4", [], np.array([1, 2])])


def moves(rng):
    items = []
    items.extend(word_item(rng, items) for _ in range(rng.randrange(0, 30)))
    roll = rng.random()
    if roll < 0.5:
        return items
    if roll < 0.6:
        return LyingSequence(rng, items)
    if roll < 0.7:
        return LyingHint(rng, items)
    if roll < 0.8:
        return Hostile(rng, items, 796)
    return random_buffer(rng)


def integer(rng, low, high):
    roll = rng.random()
    if roll < 0.5:
        return rng.randrange(low, high + 1)
    holder = []
    return rng.choice(
        [Hostile(rng, holder, rng.randrange(low, high + 1)), np.int64(low), True, 2**70, -1, 0, 1.0, "1", None]
    )


def board_argument(rng):
    return rng.choice([Board(rng.choice(FENS[:5])), *FENS, HostileStr(KIWIPETE), None, 3, Hostile(rng, [], 0)])


BATCH = [
    vt.planes,
    vt.bitboards,
    vt.legal_moves,
    vt.in_check,
    vt.outcome,
    vt.status,
    vt.white_to_move,
    vt.fens,
    vt.zobrist,
    vt.legal_mask,
]


def scheme(rng):
    return rng.choice(["lc0", "az", HostileStr("az"), "AZ", None, 0])


def sides(rng):
    """A white_to_move argument: one bool, a bool array or list of a random length, or worse."""
    holder = []
    return rng.choice(
        [
            rng.random() < 0.5,
            np.True_,
            np.ones(rng.randrange(0, 30), bool),
            [rng.random() < 0.5 for _ in range(rng.randrange(0, 30))],
            Hostile(rng, holder, True),
            1,
            None,
            random_buffer(rng),
        ]
    )


def one_call(rng):
    """Makes one call of a random function with random, often hostile, arguments."""
    roll = rng.randrange(6)
    if roll <= 1:
        function = rng.choice(BATCH)
        keywords = {}
        if rng.random() < 0.5:
            keywords["threads"] = integer(rng, 1, 4)
        if rng.random() < 0.5:
            keywords["errors"] = rng.choice(["raise", "skip", HostileStr("skip"), "ignore", None])
        if function is vt.planes and rng.random() < 0.5:
            out = rng.choice([random_buffer(rng), Hostile(rng, [], 0), None, [0]])
            keywords["out"] = out
        if function in (vt.planes, vt.bitboards) and rng.random() < 0.5:
            keywords["view"] = rng.choice(["side", "white", HostileStr("side"), "black", None])
        if function is vt.planes and rng.random() < 0.3:
            keywords["white_to_move"] = sides(rng)
        if function is vt.legal_mask and rng.random() < 0.95:
            keywords["scheme"] = scheme(rng)
        if function is vt.legal_mask and rng.random() < 0.3:
            rows = rng.randrange(0, 4)
            keywords["out"] = rng.choice(
                [random_buffer(rng), np.zeros((rows, 1858), bool), np.ones((rows, 4672), np.uint8)]
            )
        return function(positions(rng), **keywords)
    if roll == 2:
        if rng.random() < 0.1:
            batch = game_batch(rng)
            if rng.random() < 0.5:
                return batch.zobrist(threads=integer(rng, 1, 3))
            out = rng.choice([None, random_buffer(rng), np.zeros((len(batch.move), 12, 64), np.uint8)])
            view = rng.choice(["side", "white", HostileStr("side"), None])
            return batch.planes(view, out=out, threads=integer(rng, 1, 3))
        if rng.random() < 0.3:
            return vt.move_index(moves(rng), sides(rng), scheme=scheme(rng))
        if rng.random() < 0.3:
            return vt.index_move(moves(rng), positions(rng), scheme=scheme(rng), threads=integer(rng, 1, 3))
        return vt.move_texts(moves(rng))
    if roll == 3:
        return vt.san(board_argument(rng), moves(rng))
    if roll == 4:
        text = rng.choice(["Nf3", "e2e4", "O-O", "e8=Q", HostileStr("e4"), "\ud800", None, Hostile(rng, [], 0)])
        return vt.parse_san(board_argument(rng), text)
    keywords = {"divide": rng.choice([True, False, Hostile(rng, [], 0)])} if rng.random() < 0.3 else {}
    return vt.perft(board_argument(rng), integer(rng, 0, 2), **keywords)


# --- The reader's source -----------------------------------------------------------------------

GAME_TEXT = (
    '\ufeff[Event "one"]\n[White "Léa"]\n\n1. e4 {a comment\nover lines} e5 (1... c5 2. Nf3) 2. Nf3 $1 Nc6 '
    "3. Bb5 a6 ; to the end\n4. Ba4 Nf6 5. O-O 1-0\r\n\r\n"
    '[Event "two"]\r[FEN "4k3/1P6/8/8/8/8/6p1/4K3 w - - 0 1"]\r1. b8=Q+ Kd7 2. Qb7+ Ke6 3. Qb3+ *\r'
    '\ufeff[Event "three"]\n1. d4 d5 2. c4 dxc4 3. e4 b5 4. a4 c6 5. axb5 cxb5 6. b3 cxb3 7. Qxb3 0-1\n'
    '[Event "four"]\n1. e4 ( {never closed\n[Event "five"]\n1. g1f3 e7e5 2. f3e5 *\n'
)


def reference_games():
    return [tuple(game) for game in vt.read_pgn(io.BytesIO(GAME_TEXT.encode()))]


class Source:
    """A file object whose read() hands out chunks of random sizes as bytes, bytearray,
    memoryview or str, and may fail once: raise, return the wrong type, or a lone surrogate."""

    def __init__(self, rng, fail):
        self.rng, self.data, self.position, self.fail, self.failed = rng, GAME_TEXT.encode(), 0, fail, False
        self.reader = None

    def read(self, size=-1):
        rng = self.rng
        if self.fail and not self.failed and rng.random() < 0.15:
            self.failed = True
            failure = rng.choice(
                [OSError("gone"), ValueError("bad"), 5, None, "\ud800", [b"x"], "reenter", KeyboardInterrupt()]
            )
            if failure == "reenter":
                return next(self.reader)  # refused: the reader is in use
            if isinstance(failure, BaseException):
                raise failure
            return failure
        step = rng.choice([1, 2, 3, 7, 64, 1000, 1 << 16])
        piece = self.data[self.position : self.position + step]
        kind = rng.randrange(4)
        if kind == 3:
            # As text: cut back to a character boundary.
            while piece:
                try:
                    text = piece.decode()
                    break
                except UnicodeDecodeError:
                    piece = piece[:-1]
            else:
                text = ""
            if not piece and self.position < len(self.data):
                piece, kind = self.data[self.position : self.position + 4], 0
            else:
                self.position += len(piece)
                return text
        self.position += len(piece)
        if kind == 1:
            return bytearray(piece)
        if kind == 2:
            backing = bytearray(piece)
            return memoryview(backing)
        return piece


def one_source(rng, reference):
    fail = rng.random() < 0.7
    source = Source(rng, fail)
    reader = vt.read_pgn(source)
    source.reader = reader
    yielded = []
    try:
        for game in reader:
            yielded.append(tuple(game))
            if rng.random() < 0.05:
                reader.close()
    except (Exception, KeyboardInterrupt):
        if not source.failed:
            raise
        assert next(reader, None) is None, "the reader goes on after its source failed"
    # Games are whole games of the file, in order: none is built across a failed read.
    assert yielded == reference[: len(yielded)], (yielded, reference)


# --- read_games ---------------------------------------------------------------------------------


def rows_of(batches):
    """Returns each game of the batches as (tags, error, its rows as bytes)."""
    games = []
    for batch in batches:
        offsets = batch.offsets
        for j in range(len(batch)):
            rows = slice(offsets[j], offsets[j + 1])
            columns = [getattr(batch, name)[rows].tobytes() for name in ("bitboards", "move", "clock", "eval")]
            games.append((batch.tags[j], batch.error[j], columns))
    return games


class AsPy:
    """An Arrow scalar as read_games() sees one: as_py() may raise or give anything."""

    def __init__(self, rng, value):
        self.rng, self.value = rng, value

    def as_py(self):
        if self.rng.random() < 0.2:
            raise ValueError("hostile")
        return self.rng.choice([self.value, None, 5, self, b"1. e4 *"])


def game_item(rng, container):
    roll = rng.random()
    text = rng.choice(GAME_TEXT.split("\n\n") + ["1. e4 *\n1. d4 *", ""])
    if roll < 0.05:
        return "1. e4 \ud800 *"
    if roll < 0.5:
        return text
    if roll < 0.65:
        return text.encode()
    if roll < 0.8:
        return rng.choice([bytearray(text.encode()), memoryview(text.encode()), np.frombuffer(text.encode(), np.uint8)])
    if roll < 0.97:
        return rng.choice([None, HostileStr(text), AsPy(rng, text)])
    return rng.choice([Hostile(rng, container, 0), 3, [text], np.arange(rng.randrange(4), dtype=np.uint16)])


def games_source(rng):
    """A file whose read() misbehaves, or a sequence of game texts whose items and length lie."""
    roll = rng.random()
    if roll < 0.3:
        return Source(rng, rng.random() < 0.7)
    items = []
    items.extend(game_item(rng, items) for _ in range(rng.randrange(0, 30)))
    if roll < 0.6:
        return items
    if roll < 0.7:
        return LyingSequence(rng, items)
    if roll < 0.8:
        return LyingHint(rng, items)
    if roll < 0.9:
        return Hostile(rng, items, GAME_TEXT)
    return rng.choice([5, None, b"/nonexistent.pgn.zst", np.array(["1. e4 *", "x"]), io.StringIO(GAME_TEXT)])


class Where:
    """A `where` that changes the items being read, reenters or closes its reader, raises, or
    returns a truth value that cannot be told."""

    def __init__(self, rng, items):
        self.rng, self.items, self.reader = rng, items, None

    def __call__(self, tags):
        roll = self.rng.random()
        if roll < 0.05 and self.reader is not None:
            return next(self.reader)  # refused: the reader is in use
        if roll < 0.1 and self.reader is not None:
            self.reader.close()
        elif roll < 0.2 and isinstance(self.items, list):
            self.items[:] = self.items[: self.rng.randrange(len(self.items) + 1)] * 2
        elif roll < 0.25:
            tags.clear()
        elif roll < 0.3:
            raise self.rng.choice([ValueError, KeyError, MemoryError])("hostile")
        elif roll < 0.35:
            return Hostile(self.rng, [], 0)  # its __len__ lies
        return self.rng.random() < 0.8


def one_games_run(rng, reference):
    """Reads one hostile source with hostile options; returns how it ended and the games read."""
    source = games_source(rng)
    options = {}
    if rng.random() < 0.5:
        options["threads"] = rng.randint(1, 3) if rng.random() < 0.9 else integer(rng, 1, 3)
    if rng.random() < 0.5:
        options["batch_positions"] = rng.randint(1, 40) if rng.random() < 0.9 else integer(rng, 1, 40)
    if rng.random() < 0.3:
        options["legal_moves"] = True if rng.random() < 0.8 else rng.choice([Hostile(rng, [], 0), np.array([1, 2])])
    where = None
    if rng.random() < 0.3:
        where = options["where"] = rng.choice([Where(rng, source), Hostile(rng, [], 0), len])
    try:
        reader = vt.read_games(source, **options)
    except EXPECTED as error:
        return f"refused: {type(error).__name__}", 0
    if isinstance(source, Source):
        source.reader = reader
    if isinstance(where, Where):
        where.reader = reader
    batches, ended = [], "(ended)"
    try:
        for batch in reader:
            batches.append(batch)
            repr((batch.tags, batch.legal_moves))  # the tags are built on first use
            if rng.random() < 0.05:
                reader.close()
    except (Exception, KeyboardInterrupt) as error:
        ended = type(error).__name__
        assert next(reader, None) is None, "the reader goes on after an error"
    games = rows_of(batches)
    # Read from a file without where, the games are whole games of the file, in order.
    if isinstance(source, Source) and where is None:
        assert games == reference[: len(games)]
    return ended, len(games)


# --- Mutated game files ----------------------------------------------------------------------

# Bytes that the lexer, the splitter and the replay each treat apart.
SPECIAL = [b"\0", b"\r", b"\n", b"\r\n", b"\xef\xbb\xbf", b"\xe9", b"\xed\xa0\x80", b"{", b"}", b"(", b")", b";"]
SPECIAL += [b"\n%", b"\n[", b"[", b"]", b'"', b"\\", b"$1", b"e.p.", b"--", b"*", b"1-0", b" ", b"99999999999. "]
SPECIAL += [b'\n[FEN "4k3/8/8/8/8/8/8/4K2R w KQkq e3 70000 0"]\n', b'\n[Variant "x"]\n', b"(" * 40, b"{" * 3]


def mutated(rng, data):
    """The bytes of a game file cut short, with bytes changed, taken out or put in."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 5)):
        at = rng.randrange(len(data) + 1)
        roll = rng.random()
        if roll < 0.15:
            del data[at:]
        elif roll < 0.35 and at < len(data):
            data[at] = rng.randrange(256)
        elif roll < 0.5:
            del data[at : at + rng.randint(1, 30)]
        else:
            data[at:at] = rng.choice(SPECIAL) * rng.choice([1, 1, 1, 2, 1000])
    return bytes(data)


def one_mutated_run(rng):
    """Reads a mutated file with read_games() from chunks of every size, with any number of
    threads and batch size, and checks its games against read_pgn()'s: the same games, errors
    and tokens, and the same moves for each game that was read."""
    data = mutated(rng, GAME_TEXT.encode() * rng.randint(1, 3))
    expected = [
        (game.tags, game.moves if game.error is None else [], game.error, game.token)
        for game in vt.read_pgn(io.BytesIO(data))
    ]
    source = Source(rng, False)
    source.data = data
    options = {
        "threads": rng.randint(1, 3),
        "batch_positions": rng.choice([1, 2, 7, 100]),
        "legal_moves": rng.random() < 0.3,
    }
    games = []
    for batch in vt.read_games(source, **options):
        texts = vt.move_texts(batch.move)
        for j in range(len(batch)):
            moves = texts[batch.offsets[j] : batch.offsets[j + 1]]
            games.append((batch.tags[j], moves, batch.error[j], batch.token[j]))
    assert games == expected, (data, games, expected)
    return len(games)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--calls", type=int, default=30000)
    parser.add_argument("--sources", type=int, default=2000)
    parser.add_argument("--games", type=int, default=2000, help="read_games() runs")
    parser.add_argument("--mutated", type=int, default=1000, help="read_games() runs on mutated files")
    options = parser.parse_args()
    rng = random.Random(options.seed)
    started = time.monotonic()
    # Some objects return a bool from __index__ on purpose.
    warnings.simplefilter("ignore", DeprecationWarning)
    raised = {"(returned)": 0}
    for _ in range(options.calls):
        try:
            one_call(rng)
            raised["(returned)"] += 1
        except EXPECTED as error:
            raised[type(error).__name__] = raised.get(type(error).__name__, 0) + 1
    reference = reference_games()
    assert [game[0].get("Event") for game in reference] == ["one", "two", "three", "four", "five"]
    for _ in range(options.sources):
        one_source(rng, reference)
    games_reference = rows_of(vt.read_games(io.BytesIO(GAME_TEXT.encode())))
    assert len(games_reference) == 5
    ended, games = {}, 0
    for _ in range(options.games):
        how, read = one_games_run(rng, games_reference)
        ended[how], games = ended.get(how, 0) + 1, games + read
    mutated_games = sum(one_mutated_run(rng) for _ in range(options.mutated))
    seconds = time.monotonic() - started
    print(
        f"hostile_tools: {options.calls} calls, {options.sources} sources, {options.games} read_games() runs "
        f"in {seconds:.1f} s; outcomes {raised}; read_games() read {games} games and ended {ended}; "
        f"{options.mutated} mutated files read alike, {mutated_games} games"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
