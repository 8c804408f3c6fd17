"""Calls every public operation on its success and failure paths, for a memory checker to watch."""

import io

import vorel_chess
import vorel_tools
from vorel_chess import Board, MoveGenerator

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"


def expect_failure(call, *kinds):
    try:
        call()
    except kinds:
        return
    raise AssertionError(f"{call} did not fail")


def main():
    panic = None
    try:
        Board().pop()
    except BaseException as error:
        panic = type(error)
    generator = MoveGenerator()
    board = Board(KIWIPETE)
    replies = 0
    for move in generator(board):
        board.push(move)
        replies += len(generator(board))
        board.pop()
    assert replies == 2039
    assert board.fen() == KIWIPETE and board.turn() == "white"
    assert Board.bitboard_from_fen(KIWIPETE) == board.bitboard()
    twin = board.copy()
    twin.push("e1g1")
    twin.reflect()
    assert twin.turn() == "white"
    board.push("a2a4")
    assert Board(board.fen()).fen() == board.fen()
    board.pop()
    assert board.fen() == KIWIPETE

    expect_failure(lambda: Board("8/8/8/8/8/8/8/8 white - -"), ValueError)
    expect_failure(lambda: Board("x"), panic)
    expect_failure(lambda: Board(""), panic)
    expect_failure(lambda: Board(None), TypeError)
    expect_failure(lambda: Board("\ud800"), UnicodeEncodeError)
    expect_failure(lambda: Board.bitboard_from_fen("rnbx"), panic)
    expect_failure(lambda: board.push("e2"), ValueError)
    expect_failure(lambda: board.push("z2e4"), panic)
    expect_failure(lambda: board.push("a3a4"), panic)
    expect_failure(lambda: board.push(b"e2e4"), TypeError)
    expect_failure(lambda: board.push(), TypeError)
    expect_failure(lambda: Board().pop(), panic)
    expect_failure(lambda: generator(Board("8/8/8/8/8/8/8/k7 w - -")), panic)
    expect_failure(lambda: generator("board"), TypeError)
    expect_failure(lambda: MoveGenerator(1), TypeError)
    batch = [board, KIWIPETE, "8/8/8/8/8/8/8/k7 x - -"] * 400
    moves, offsets, valid = vorel_tools.legal_moves(batch, errors="skip", threads=2)
    assert len(vorel_tools.move_texts(moves)) == offsets[-1] == 800 * 48 and valid.sum() == 800
    for function in (vorel_tools.planes, vorel_tools.status, vorel_tools.outcome, vorel_tools.fens):
        assert len(function(batch, errors="skip")[0]) == 800
        expect_failure(lambda function=function: function(batch), ValueError)
    expect_failure(lambda: vorel_tools.planes([board, "x", None]), TypeError)
    assert sum(vorel_tools.perft(board, 2, divide=True).values()) == 2039
    assert board.fen() == KIWIPETE and vorel_chess.__all__ == ["Board", "MoveGenerator"]

    texts = vorel_tools.san(board, generator(board))
    assert [vorel_tools.parse_san(KIWIPETE, text) for text in texts] == generator(board)
    games = b'[Event "\xe9"]\n1. e4 {c} (1. d4) e5 $1 2. Qh5 Kf7 *\n[FEN "8/8/8/8/8/8/8/8 w - -"]\n*\n1. d4 d5 1-0'
    assert [game.error is None for game in vorel_tools.read_pgn(io.BytesIO(games))] == [False, False, True]
    expect_failure(lambda: vorel_tools.san(board, ["e2e4"]), ValueError)
    expect_failure(lambda: vorel_tools.san(board, [None]), TypeError)
    expect_failure(lambda: vorel_tools.parse_san(board, "Nf9"), ValueError)
    expect_failure(lambda: vorel_tools.parse_san("8/8/8/8/8/8/8/R7 w - -", "Ra2"), panic)
    expect_failure(lambda: vorel_tools.read_pgn(None), TypeError)
    games = b'\xef\xbb\xbf[Event "a"]\r1. e4 {open\r\n\xef\xbb\xbf[Event "b"]\r1. g1f3 exd6e.p. *'
    assert [game.token for game in vorel_tools.read_pgn(io.BytesIO(games))] == ["{", "exd6"]

    class Failing(io.RawIOBase):
        def read(self, size=-1):
            raise OSError("gone")

    reader = vorel_tools.read_pgn(Failing())
    expect_failure(lambda: next(reader), OSError)
    assert list(reader) == []

    # Games to arrays: items that are no game, where, legal moves and threads; failures of where,
    # of the source and of the arguments; a reader dropped while its threads replay.
    items = ['[Event "\xe9"]\n1. e4 {[%clk 0:00:05]} e5 *', None, "1. e4 *\n1. d4 *", "1. e4 \ud800", b"1. d4 d5 1-0"]
    options = {"legal_moves": True, "threads": 2, "batch_positions": 1, "where": lambda tags: True}
    batches = list(vorel_tools.read_games(items, **options))
    assert [game for batch in batches for game in batch.error].count(None) == 2
    assert batches[0].tags == [{"Event": "\xe9"}] and sum(len(batch.legal_moves) for batch in batches) == 80
    reader = vorel_tools.read_games(io.BytesIO(games), where=lambda tags: 1 / 0, threads=2)
    expect_failure(lambda: next(reader), ZeroDivisionError)
    reader = vorel_tools.read_games(Failing(), threads=3)
    expect_failure(lambda: next(reader), OSError)
    assert list(reader) == []
    expect_failure(lambda: vorel_tools.read_games(None), TypeError)
    expect_failure(lambda: vorel_tools.read_games([], threads=0), ValueError)
    dropped = vorel_tools.read_games([items[4]] * 200, threads=2, batch_positions=3, legal_moves=True)
    next(dropped)
    del dropped
    out = memoryview(bytearray(768)).cast("B", (1, 12, 64))
    assert vorel_tools.planes([board], out=out) is out
    expect_failure(lambda: vorel_tools.planes([board], out=bytearray(16)), ValueError)
    expect_failure(lambda: vorel_tools.perft(board, 2**70), ValueError)
    expect_failure(lambda: vorel_tools.planes([board], threads=True), TypeError)
    indices = vorel_tools.move_index(moves[:48], True, scheme="lc0")
    assert vorel_tools.index_move(indices, [board] * 48, scheme="lc0").tolist() == moves[:48].tolist()
    assert vorel_tools.legal_mask([board, KIWIPETE], scheme="az", threads=2).sum() == 96
    expect_failure(lambda: vorel_tools.index_move([0], [board], scheme="az"), ValueError)
    expect_failure(lambda: vorel_tools.move_index([0], True, scheme="lc0"), ValueError)
    assert vorel_tools.zobrist([board, KIWIPETE]).tolist() == [vorel_tools.zobrist([KIWIPETE])[0]] * 2
    bitboards = vorel_tools.bitboards([board], view="side")
    assert vorel_tools.planes(bitboards, white_to_move=True).sum() == 32
    expect_failure(lambda: vorel_tools.planes(bitboards, view="side"), ValueError)
    print("exercised every operation")


if __name__ == "__main__":
    main()
