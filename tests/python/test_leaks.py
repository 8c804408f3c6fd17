"""Every public operation, on its success and its failure paths, run many thousands of times:
the process's native heap, the interpreter's block count and the reference counts of the
objects the calls share stay where they were.

The native heap is glibc's count of bytes in use (mallinfo2: uordblks + hblkhd), which sees
the C++ side's allocations (boards, their undo stacks, the attack tables, fault texts) that
the interpreter's own counters do not. Each case warms up, measures, runs ROUNDS more times
and measures again; the slack is fixed, so a loss of even a few bytes a call shows.
"""

import ctypes
import gc
import gzip
import io
import sys

import numpy
import pytest
import vorel_tools
from texts import Text
from vorel_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
CASTLE = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq -"
PROMOTION = "4k3/P7/8/8/8/8/8/4K3 w - -"
ROUNDS = 5000
WARM_UP = 200
HEAP_SLACK = 32 * 1024  # bytes; 5000 lost 8-byte allocations hold 160 KiB (32-byte chunks)
BLOCK_SLACK = 100


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2


def native_heap():
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


class Context:
    def __init__(self, generator, directory):
        self.generator = generator
        # Gzip bytes under a plain name: read through a decompressor over the file it opens.
        self.gzipped = gzip.compress(GAMES)
        self.gzip_path = directory / "games.pgn"
        self.gzip_path.write_bytes(self.gzipped)
        self.fen, self.move = CASTLE, "e1g1"
        self.subclassed = Text(START)
        self.played = Board()  # a board with a history, so copies carry undo stacks
        for move in ("e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6"):
            self.played.push(move)
        self.fresh = Board()
        self.castle = Board(CASTLE)
        self.promotion = Board(PROMOTION)
        self.kingless = Board("8/8/8/8/8/8/8/R7 w - -")
        self.bitboards = vorel_tools.bitboards([self.castle])
        # FEN texts as bytes of every kind, one of them not UTF-8.
        self.byte_texts = [START.encode(), bytearray(CASTLE.encode()), b"\xff" + START.encode()]
        self.byte_array = numpy.array([bytes(text) for text in self.byte_texts[::-1]])[::-1]
        self.batch = next(vorel_tools.read_games(io.BytesIO(GAMES)))

    def boards(self):
        return [self.played, self.fresh, self.castle, self.promotion, self.kingless]


def play(board, move):
    board.push(move)
    board.pop()


# name: (make the call from the context, the exception it must raise or None, rounds)
CASES = {
    "new": (lambda c: lambda: Board(c.fen), None, ROUNDS),
    "new-default": (lambda c: Board, None, ROUNDS),
    "new-subclass": (lambda c: lambda: Board(fen=c.subclassed), None, ROUNDS),
    "bitboard_from_fen": (lambda c: lambda: c.played.bitboard_from_fen(fen=c.fen), None, ROUNDS),
    "fen": (lambda c: c.played.fen, None, ROUNDS),
    "turn": (lambda c: c.played.turn, None, ROUNDS),
    "bitboard": (lambda c: c.played.bitboard, None, ROUNDS),
    "copy": (lambda c: c.played.copy, None, ROUNDS),
    "reflect": (lambda c: lambda: (c.castle.reflect(), c.castle.reflect()), None, ROUNDS),
    "push-pop-castling": (lambda c: lambda: play(c.castle, c.move), None, ROUNDS),
    "push-pop-promotion": (lambda c: lambda: play(c.promotion, "a7a8q"), None, ROUNDS),
    "generator": (lambda c: lambda: c.generator(c.played), None, ROUNDS),
    "generator-keyword": (lambda c: lambda: c.generator(board=c.castle), None, ROUNDS),
    "MoveGenerator": (lambda c: MoveGenerator, None, 100),  # 4 MiB of tables each
    "fen-error": (lambda c: lambda: Board("8/8/8/8/8/8/8/8 white - -"), ValueError, ROUNDS),
    "fen-placement-fault": (lambda c: lambda: Board("x7/8/8/8/8/8/8/8 w - -"), "panic", ROUNDS),
    "fen-missing-field": (lambda c: lambda: Board("8/8/8/8/8/8/8/8 w -"), "panic", ROUNDS),
    "fen-not-str": (lambda c: lambda: Board(None), TypeError, ROUNDS),
    "fen-surrogate": (lambda c: lambda: Board(c.fen + "\ud800"), UnicodeEncodeError, ROUNDS),
    "fen-keyword": (lambda c: lambda: Board(fen=c.fen, x=1), TypeError, ROUNDS),
    "placement-fault": (lambda c: lambda: Board.bitboard_from_fen("x" + c.fen), "panic", ROUNDS),
    "move-error": (lambda c: lambda: c.played.push("e2e"), ValueError, ROUNDS),
    "move-parser-fault": (lambda c: lambda: c.played.push("E2E4"), "panic", ROUNDS),
    "move-empty-square": (lambda c: lambda: c.played.push("e3e4"), "panic", ROUNDS),
    "move-missing-promotion": (lambda c: lambda: c.promotion.push("a7a8"), "panic", ROUNDS),
    "move-bytes": (lambda c: lambda: c.played.push(chess_move=b"e2e4"), TypeError, ROUNDS),
    "move-surrogate": (lambda c: lambda: c.played.push("e2e4\udfff"), UnicodeEncodeError, ROUNDS),
    "pop-empty": (lambda c: c.fresh.pop, "panic", ROUNDS),
    "generator-no-king": (lambda c: lambda: c.generator(c.kingless), "panic", ROUNDS),
    "generator-not-board": (lambda c: lambda: c.generator("x"), TypeError, ROUNDS),
    "generator-arity": (lambda c: lambda: c.generator(c.played, c.played), TypeError, ROUNDS),
    "receiver": (lambda c: lambda: Board.fen(c.generator), TypeError, ROUNDS),
    "san": (lambda c: lambda: vorel_tools.san(c.castle, ["e1g1", "a1a8", 4 | 2 << 6]), None, ROUNDS),
    "san-fen": (lambda c: lambda: vorel_tools.san(c.fen, ("e1c1",)), None, ROUNDS),
    "san-illegal": (lambda c: lambda: vorel_tools.san(c.played, ["e2e4"]), ValueError, ROUNDS),
    "san-bad-item": (lambda c: lambda: vorel_tools.san(c.played, [1.0]), TypeError, ROUNDS),
    "parse_san": (lambda c: lambda: vorel_tools.parse_san(c.promotion, "a8=Q+"), None, ROUNDS),
    "parse_san-illegal": (lambda c: lambda: vorel_tools.parse_san(c.played, "Qh8"), ValueError, ROUNDS),
    "parse_san-bad-fen": (lambda c: lambda: vorel_tools.parse_san("x", "e4"), ValueError, ROUNDS),
    "parse_san-no-king": (lambda c: lambda: vorel_tools.parse_san(c.kingless, "Ra2"), "panic", ROUNDS),
    "move_index": (
        lambda c: lambda: vorel_tools.move_index([796, 1 | 18 << 6], [True, False], scheme="az"),
        None,
        ROUNDS,
    ),
    "move_index-no-entry": (
        lambda c: lambda: vorel_tools.move_index([26 << 6], True, scheme="lc0"),
        ValueError,
        ROUNDS,
    ),
    "index_move": (lambda c: lambda: vorel_tools.index_move([103, 97], [c.castle, c.fen], scheme="lc0"), None, ROUNDS),
    "index_move-illegal": (lambda c: lambda: vorel_tools.index_move([0], [c.played], scheme="az"), ValueError, ROUNDS),
    "legal_mask": (lambda c: lambda: vorel_tools.legal_mask(c.boards(), scheme="lc0", errors="skip"), None, ROUNDS),
    "zobrist": (lambda c: lambda: vorel_tools.zobrist([*c.boards(), c.fen]), None, ROUNDS),
    "byte-texts": (lambda c: lambda: vorel_tools.zobrist(c.byte_texts, errors="skip"), None, ROUNDS),
    "byte-array": (lambda c: lambda: vorel_tools.planes(c.byte_array, errors="skip"), None, ROUNDS),
    "byte-texts-not-utf8": (lambda c: lambda: vorel_tools.status(c.byte_array), ValueError, ROUNDS),
    "planes-side": (
        lambda c: lambda: vorel_tools.planes(c.bitboards, white_to_move=[False], view="side"),
        None,
        ROUNDS,
    ),
    "game-batch": (lambda c: lambda: (c.batch.planes("side"), c.batch.zobrist()), None, ROUNDS),
    "read_pgn": (lambda c: lambda: list(vorel_tools.read_pgn(io.BytesIO(GAMES))), None, 1000),
    "read_pgn-closed": (lambda c: lambda: vorel_tools.read_pgn(io.StringIO("1. e4 *")).close(), None, ROUNDS),
    "read_pgn-gzip-path": (lambda c: lambda: list(vorel_tools.read_pgn(c.gzip_path)), None, 1000),
    "read_pgn-gzip-path-closed": (lambda c: lambda: vorel_tools.read_pgn(c.gzip_path).close(), None, 1000),
    "read_pgn-gzip-stream": (lambda c: lambda: next(vorel_tools.read_pgn(io.BytesIO(c.gzipped))), ValueError, ROUNDS),
    "read_games": (lambda c: lambda: read_games(io.BytesIO(GAMES), legal_moves=True), None, 1000),
    "read_games-items": (lambda c: lambda: read_games(ITEMS, where=bool, batch_positions=2), None, 1000),
    "read_games-threads": (lambda c: lambda: read_games(ITEMS, threads=2, batch_positions=1), None, 300),
    "read_games-where-raises": (lambda c: lambda: read_games(ITEMS, where=lambda tags: int("x")), ValueError, 1000),
    "read_games-closed": (lambda c: lambda: vorel_tools.read_games(io.StringIO("1. e4 *")).close(), None, ROUNDS),
}
# A game, an unreadable one and a game from a FEN tag, with tags that are not UTF-8.
GAMES = (
    b'[Event "\xe9t\xe9"]\n\n1. e4 {c} e5 (1... d5) 2. Nf3 $1 Nc6 1-0\n\n1. e4 Ke7 Kf7 *\n\n'
    b'[FEN "4k3/P7/8/8/8/8/8/4K3 w - - 0 1"]\n1. a8=Q+ Kd7 *\n'
)


# Game texts as items: a game, one that is no text, two in one, one without a UTF-8 form.
ITEMS = [GAMES.decode("latin-1"), None, "1. e4 *\n1. d4 *", "1. e4 \ud800 *", b"1. d4 d5 1-0"]


FIELDS = [name for name in dir(vorel_tools.GameBatch) if not name.startswith("_")]


def read_games(source, **options):
    """Reads every batch and every attribute of it (the tags are built on first use)."""
    for batch in vorel_tools.read_games(source, **options):
        for name in FIELDS:
            getattr(batch, name)


def snapshot(watched):
    gc.collect()  # so that garbage left by earlier calls or tests is not counted
    return native_heap(), sys.getallocatedblocks(), [sys.getrefcount(obj) for obj in watched]


@pytest.mark.parametrize("name", CASES)
def test_operation_leaks_nothing(name, generator, PanicException, tmp_path):
    make, expected, rounds = CASES[name]
    context = Context(generator, tmp_path)
    call = make(context)
    expected = PanicException if expected == "panic" else expected
    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()

    def run(times):
        for _ in range(times):
            try:
                call()
            except (TypeError, ValueError, PanicException):
                pass

    # None, True and False are immortal in current CPython, so their counts stay fixed even
    # when a reference is lost; the classes and the texts and boards passed in are not.
    watched = [
        None,
        True,
        False,
        Board,
        MoveGenerator,
        PanicException,
        generator,
        context.fen,
        context.move,
        context.subclassed,
        *context.boards(),
        *ITEMS,
    ]
    fens = [board.fen() for board in context.boards()]

    def growth():
        heap, blocks, counts = snapshot(watched)
        run(rounds)
        heap_after, blocks_after, counts_after = snapshot(watched)
        assert counts_after == counts
        return heap_after - heap, blocks_after - blocks

    run(WARM_UP)
    heap, blocks = growth()
    # The interpreter fills a cache or a free list now and then (a few hundred blocks, settling
    # over some thousands of calls through the gzip module); a loss grows again by as much on
    # every next round.
    for _ in range(3):
        if heap < HEAP_SLACK and blocks < BLOCK_SLACK:
            break
        heap, blocks = growth()
    assert blocks < BLOCK_SLACK
    assert heap < HEAP_SLACK
    # Every case leaves its boards as it found them.
    assert [board.fen() for board in context.boards()] == fens


def test_results_have_one_owner(generator):
    # A result is owned by the caller alone, like one built in Python.
    board = Board()
    assert sys.getrefcount(board.fen()) == sys.getrefcount("".join(["a", "b"]))
    assert sys.getrefcount(board.copy()) == sys.getrefcount(object())
    planes, nested = board.bitboard(), [[]]
    assert sys.getrefcount(planes) == sys.getrefcount(nested)
    assert [sys.getrefcount(planes[k]) for k in range(12)] == [sys.getrefcount(nested[0])] * 12
    moves = generator(board)
    assert sys.getrefcount(moves) == sys.getrefcount(nested)
    # A move text is one str per text for the process: besides the list, the module keeps the
    # one reference that makes it shared.
    texts = ["".join(["a", "b"])]
    assert sys.getrefcount(moves[0]) == sys.getrefcount(texts[0]) + 1
