"""vorel_tools's batch functions against vorel_chess itself and the pure-Python chess library, on
seeded random games, random placements and the sample positions; bad rows, skipping, threads and
borrowed boards."""

import random
import threading
from pathlib import Path

import chess
import numpy as np
import pytest
import vorel_tools as vt
from games import random_positions
from perft_table import known_positions
from vorel_chess import Board

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "data" / "sample.epd"
FLAGS = {  # ours -> the peer's, where one corresponds
    "STATUS_NO_WHITE_KING": chess.STATUS_NO_WHITE_KING,
    "STATUS_NO_BLACK_KING": chess.STATUS_NO_BLACK_KING,
    "STATUS_TOO_MANY_KINGS": chess.STATUS_TOO_MANY_KINGS,
    "STATUS_PAWNS_ON_BACKRANK": chess.STATUS_PAWNS_ON_BACKRANK,
    "STATUS_OPPOSITE_CHECK": chess.STATUS_OPPOSITE_CHECK,
    "STATUS_BAD_CASTLING_RIGHTS": chess.STATUS_BAD_CASTLING_RIGHTS,
    "STATUS_INVALID_EP_SQUARE": chess.STATUS_INVALID_EP_SQUARE,
}


def game_boards(seed, games=60):
    """Boards of seeded random games played to the end, with their history."""
    rng, boards = random.Random(seed), []
    for _ in range(games):
        peer, board = chess.Board(), Board()
        while not peer.is_game_over() and peer.ply() < 150:
            move = rng.choice(list(peer.legal_moves)).uci()
            peer.push_uci(move)
            board.push(move)
            boards.append(board.copy())
    return boards


def random_placements(seed, count=3000):
    """FEN texts of random placements: any number of kings, pawns anywhere, random rights."""
    rng, fens = random.Random(seed), []
    for _ in range(count):
        squares = [rng.choice("PNBRQKpnbrqk") if rng.random() < 0.2 else "1" for _ in range(64)]
        for king in "Kk":  # usually one king of each side, at a random square
            if rng.random() < 0.9:
                squares[rng.randrange(64)] = king
        if rng.random() < 0.3:  # the corners and home squares that castling rights need
            squares[4], squares[7], squares[56], squares[60] = "K", "R", "r", "k"
        ranks = ["".join(squares[rank * 8 : rank * 8 + 8]) for rank in range(7, -1, -1)]
        castling = "".join(c for c in "KQkq" if rng.random() < 0.3) or "-"
        en_passant = rng.choice("abcdefgh") + "3" if rng.random() < 0.3 else "-"
        fens.append(f"{'/'.join(ranks)} {rng.choice('wb')} {castling} {en_passant}")
    return [Board(fen).fen() for fen in fens]  # written back: runs of empty squares as digits


@pytest.fixture(scope="module")
def positions():
    """Game boards, their FEN texts, random placements and the sample, as (boards, fens)."""
    boards = game_boards(7)
    sample = [" ".join(line.split()[:4]) for line in SAMPLE.read_text().splitlines() if line and line[0] != "#"]
    fens = [board.fen() for board in boards] + random_placements(11) + sample
    return boards, fens


def kings(fen):
    placement = fen.split()[0]
    return placement.count("K"), placement.count("k")


def test_arrays_equal_the_module(positions, generator):
    boards, fens = positions
    mixed = [*boards, *fens]  # boards and texts in one batch
    rows = [*boards, *map(Board, fens)]
    planes, bitboards = vt.planes(mixed), vt.bitboards(mixed)
    assert planes.dtype == np.uint8 and planes.shape == (len(rows), 12, 64)
    assert bitboards.dtype == np.uint64 and bitboards.shape == (len(rows), 12)
    assert vt.fens(mixed).tolist() == [board.fen().encode() for board in rows]
    assert vt.white_to_move(mixed).tolist() == [board.turn() == "white" for board in rows]
    has_king = [("K" if board.turn() == "white" else "k") in board.fen().split()[0] for board in rows]
    kept = [board for board, king in zip(rows, has_king, strict=True) if king]
    moves, offsets, valid = vt.legal_moves(mixed, errors="skip")
    assert valid.tolist() == has_king and len(offsets) == len(kept) + 1
    texts = vt.move_texts(moves)
    for i, board in enumerate(rows):
        assert planes[i].tolist() == board.bitboard()  # 1 == True
        assert [sum(1 << s for s, on in enumerate(plane) if on) for plane in board.bitboard()] == bitboards[i].tolist()
    for i, board in enumerate(kept):
        assert texts[offsets[i] : offsets[i + 1]] == generator(board)


def test_game_state_equals_the_peer(positions):
    _, fens = positions
    status, check = vt.status(fens), vt.in_check(fens)
    outcome, valid = vt.outcome(fens, errors="skip")
    outcomes = iter(outcome.tolist())
    for i, fen in enumerate(fens):
        peer = chess.Board(fen)
        white_kings, black_kings = kings(fen)
        expected, theirs = 0, peer.status()
        for name, flag in FLAGS.items():
            expected |= getattr(vt, name) if theirs & flag else 0
        # Where the definitions differ, ours counts the kings of each side (the peer's flag needs
        # three kings in all), and with several kings the peer reads castling rights and tests check
        # for one of them only.
        # The peer drops, while reading, a right whose side has no rook on its back rank.
        if peer.castling_rights.bit_count() < sum(c in "KQkq" for c in fen.split()[2]):
            expected |= vt.STATUS_BAD_CASTLING_RIGHTS
        if max(white_kings, black_kings) > 1:
            expected |= vt.STATUS_TOO_MANY_KINGS
            uncompared = vt.STATUS_OPPOSITE_CHECK | vt.STATUS_BAD_CASTLING_RIGHTS
            expected = expected & ~uncompared | status[i] & uncompared
        assert status[i] == expected, fen
        to_move = white_kings if peer.turn else black_kings
        if to_move <= 1:
            assert check[i] == peer.is_check(), fen
        assert valid[i] == (to_move > 0), fen
        if valid[i]:
            mine = next(outcomes)
            if status[i] == vt.STATUS_VALID:
                assert mine == (
                    vt.CHECKMATE if peer.is_checkmate() else vt.STALEMATE if peer.is_stalemate() else vt.ONGOING
                )
    assert {vt.CHECKMATE, vt.STALEMATE, vt.ONGOING} <= set(outcome.tolist())


def test_overlapping_pieces_and_faulting_rows():
    # Pushes that no generator lists put two pieces on e5 and the black king beside a white rook.
    board = Board("7k/8/3p4/4B3/8/7R/7N/K6N w - -")
    for move in ["h1e5", "d6e5", "h2e4", "h3e4", "h8e4"]:
        board.push(move)
    assert vt.status([board])[0] & vt.STATUS_OVERLAPPING_PIECES
    # The core faults on this board (the move e5e4 takes the mover's own king): a row that does
    # not read, not a fault of the whole batch.
    with pytest.raises(ValueError, match=r"^position 1: .*no king"):
        vt.legal_moves([Board(), board])
    _, offsets, valid = vt.legal_moves([Board(), board], errors="skip")
    assert valid.tolist() == [True, False] and offsets.tolist() == [0, 20]


BAD_ROWS = [  # (text, message after "position 2: ")
    ("", "Invalid fen: FEN text is empty"),
    ("rnbqkbxr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", "Invalid fen: Invalid piece type"),
    ("8/8/8/8/8/8/8/K6k w", "Invalid fen: FEN text has no castling field"),
    ("8/8/8/8/8/8/8/K6k x - -", "Invalid fen: Invalid side-to-move"),
    ("8/8/8/8/8/8/K6k w - -", "Invalid fen: Invalid piece placement: 7 ranks instead of 8"),
    ("8/8/8/8/8/8/8/K6k w - -\ud800", "Invalid fen: 'utf-8' codec can't encode character"),
]


@pytest.mark.parametrize(("text", "message"), BAD_ROWS)
def test_bad_rows_raise_or_are_skipped(text, message):
    batch = [Board(), "8/8/8/8/8/8/8/K6k w - -", text, "8/8/8/8/8/8/8/k6K b - -"]
    for function in (vt.planes, vt.bitboards, vt.status, vt.in_check, vt.outcome, vt.fens, vt.legal_moves):
        with pytest.raises(ValueError, match="^position 2: " + message.replace("(", r"\(")):
            function(batch)
        *result, valid = function(batch, errors="skip")
        assert valid.tolist() == [True, True, False, True]
        assert len(result[-1]) == (4 if function is vt.legal_moves else 3)
    planes, _ = vt.planes(batch, errors="skip")
    assert planes.tolist() == vt.planes([batch[i] for i in (0, 1, 3)]).tolist()


def test_odd_rows_of_the_side_to_move():
    no_king = "8/8/8/8/8/8/8/7k w - -"
    assert vt.in_check([no_king]).tolist() == [False]
    assert vt.status([no_king]).tolist() == [vt.STATUS_NO_WHITE_KING]
    for function in (vt.legal_moves, vt.outcome):
        with pytest.raises(ValueError, match="^position 0: the side to move has no king$"):
            function([no_king])


def test_arguments_and_out():
    batch = [Board()] * 3
    out = np.full((3, 12, 64), 7, np.uint8)
    assert vt.planes(batch, out=out) is out and out.tolist() == vt.planes(batch).tolist()
    assert vt.planes(batch, out=np.zeros((3, 12, 64), bool)).tolist() == out.astype(bool).tolist()
    kept, valid = vt.planes([Board(), "x"], out=out[:2], errors="skip")
    assert valid.tolist() == [True, False] and kept.shape == (1, 12, 64) and np.shares_memory(kept, out)
    assert vt.planes([]).shape == (0, 12, 64) and vt.legal_moves([])[1].tolist() == [0]
    assert vt.planes(iter(batch)).shape == vt.planes(tuple(batch)).shape == (3, 12, 64)
    for call, error, match in [
        (lambda: vt.planes(batch, out=np.zeros((3, 12, 64), np.int32)), TypeError, "uint8 or bool"),
        (lambda: vt.planes(batch, out=[0]), TypeError, "got 'list'"),
        (lambda: vt.planes(batch, out=np.zeros((3, 768), np.uint8)), ValueError, r"shape \(3, 12, 64\)"),
        (lambda: vt.planes(batch, out=np.zeros((3, 12, 128), np.uint8)[:, :, ::2]), ValueError, "contiguous"),
        (lambda: vt.planes(batch, out=np.zeros((3, 12, 64), np.uint8).setflags(write=False) or None), None, None),
        (lambda: vt.planes("8/8/8/8/8/8/8/K6k w - -"), TypeError, "got one 'str'"),
        (lambda: vt.planes(Board()), TypeError, "got one 'Board'"),
        (lambda: vt.planes(3), TypeError, "got 'int'"),
        (
            lambda: vt.planes([Board(), 3]),
            TypeError,
            r"^position 1: expected a Board or a FEN text \(str or bytes\), got 'int'",
        ),
        (lambda: vt.planes(b"8/8/8/8/8/8/8/K6k w - -"), TypeError, "got one 'bytes'"),
        (lambda: vt.planes(np.bytes_(b"8/8/8/8/8/8/8/K6k w - -")), TypeError, "got one 'numpy.bytes_'"),
        (lambda: vt.planes(np.array([[b"8/8/8/8/8/8/8/K6k w - -"]])), TypeError, "got 'numpy.ndarray'"),
        (lambda: vt.planes(batch, errors="ignore"), ValueError, "'raise' or 'skip'"),
        (lambda: vt.planes(batch, threads=0), ValueError, "from 1 to 256"),
        (lambda: vt.planes(batch, threads="2"), TypeError, "expected int"),
        (lambda: vt.planes(batch, batch), TypeError, "takes 1 positional arguments"),
        (lambda: vt.move_texts([0x9000]), ValueError, "move 0: .*special code 9"),
        (lambda: vt.move_texts(np.array([12, 70000])), ValueError, "move 1: 70000 is not a 16-bit"),
    ]:
        if error is not None:
            with pytest.raises(error, match=match):
                call()
    read_only = np.zeros((3, 12, 64), np.uint8)
    read_only.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        vt.planes(batch, out=read_only)
    # Word arrays of any integer type and plain lists decode alike.
    words = vt.legal_moves([Board()])[0]
    assert vt.move_texts(words) == vt.move_texts(words.astype(np.int64)) == vt.move_texts(words.tolist())


def test_fen_texts_as_bytes_and_arrays_give_what_str_gives():
    fens = [board.fen() for board in random_positions(5, 300)]
    fens += ["8/8/8/8/8/8/8/K6k w\0- -", "8/8/8/8/8/8/8/K6k w - - é", "x"]  # a NUL inside; UTF-8; bad
    encoded = [fen.encode() for fen in fens]
    wide = np.array(encoded, dtype="S120")  # every item padded with NULs
    forms = {
        "bytes": encoded,
        "bytearray": [bytearray(fen) for fen in encoded],
        "bytes_": list(wide),
        "S": wide,
        "S reversed": np.array(encoded[::-1])[::-1],  # a negative stride
        "U": np.array(fens),
    }
    moves, offsets, valid = vt.legal_moves(fens, errors="skip")
    sides, _ = vt.white_to_move(fens, errors="skip")
    indices = np.zeros(len(fens), np.int64)  # the first legal move of each row that reads
    indices[valid] = vt.move_index(moves[offsets[:-1]], sides, scheme="lc0")
    calls = [(function, {}) for function in (vt.bitboards, vt.legal_moves, vt.in_check, vt.outcome, vt.status)]
    calls += [(function, {}) for function in (vt.white_to_move, vt.fens, vt.zobrist)]
    calls += [(vt.planes, {"view": "side"}), (vt.legal_mask, {"scheme": "az", "threads": 2})]
    calls += [(lambda positions, **options: vt.index_move(indices, positions, scheme="lc0", **options), {})]
    for function, options in calls:
        expected = [array.tolist() for array in function(fens, errors="skip", **options)]
        for name, positions in forms.items():
            result = function(positions, errors="skip", **options)
            assert [array.tolist() for array in result] == expected, (function, name)
    # Bytes that are not UTF-8 are a row that does not read, whatever holds them.
    message = "^position 1: Invalid fen: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte$"
    bad = [encoded[0], b"\xff" + encoded[1], encoded[2]]
    for positions in (bad, [bytearray(fen) for fen in bad], np.array(bad), np.array(bad, dtype="S200")):
        with pytest.raises(ValueError, match=message):
            vt.status(positions)
        planes, valid = vt.planes(positions, errors="skip")
        assert valid.tolist() == [True, False, True] and planes.tolist() == vt.planes(fens[0:3:2]).tolist()


def test_threads_give_the_same_arrays(positions):
    _, fens = positions
    for function in (vt.planes, vt.status, vt.outcome, vt.fens):
        one, valid = function(fens, errors="skip")
        many, many_valid = function(fens, errors="skip", threads=3)
        assert np.array_equal(one, many) and np.array_equal(valid, many_valid)
    assert all(
        np.array_equal(a, b)
        for a, b in zip(vt.legal_moves(fens[:2000]), vt.legal_moves(fens[:2000], threads=2), strict=True)
    )
    with pytest.raises(ValueError, match="^position 1: "):  # the first bad row, whichever thread met it
        vt.planes([fens[0], "x", *fens[:3000], "y"], threads=4)


def scribbled_batch(seed):
    """A GameBatch of read_games() whose writable arrays were overwritten with random placements
    (one piece a square, kings and rooks often on their squares), sides, rights and files."""
    rng = np.random.default_rng(seed)
    batch = next(vt.read_games(["1. e4 e5 2. Nf3 Nc6 3. Bb5 a6 4. O-O Nf6 5. d4 exd4 *"] * 60))
    rows = len(batch.move)
    squares = np.argsort(rng.random((rows, 64)), axis=1)[:, :20]  # distinct squares per row
    pieces = rng.integers(0, 12, (rows, 20))
    placed = rng.random((rows, 20)) < 0.6
    placed[:, :2] = True
    pieces[:, 0], pieces[:, 1] = 5, 11  # a king each, usually
    bitboards = np.zeros((rows, 12), np.uint64)
    for row, column in zip(*np.nonzero(placed), strict=True):
        bitboards[row, pieces[row, column]] |= np.uint64(1) << np.uint64(squares[row, column])
    home = rng.random(rows) < 0.5  # kings and rooks where the rights want them, when free
    for piece, square in [(5, 4), (11, 60), (3, 0), (3, 7), (9, 56), (9, 63)]:
        free = (np.bitwise_or.reduce(bitboards, axis=1) >> np.uint64(square)) & np.uint64(1) == 0
        bitboards[home & free, piece] |= np.uint64(1) << np.uint64(square)
    batch.bitboards[:] = bitboards
    batch.white_to_move[:] = rng.random(rows) < 0.5
    batch.castling[:] = rng.integers(0, 16, rows)
    batch.en_passant[:] = np.where(rng.random(rows) < 0.5, -1, rng.integers(0, 8, rows))
    return batch


def test_a_game_batch_with_arrays_written_over():
    # A batch's arrays are the user's to write: its rows read as the FEN texts of them would.
    batch = scribbled_batch(11)
    fens = [fen.decode() for fen in vt.fens(batch)]
    boards = [Board(fen) for fen in fens]
    calls = [(function, {}) for function in (vt.bitboards, vt.legal_moves, vt.in_check, vt.outcome, vt.status)]
    calls += [(vt.zobrist, {"threads": 2}), (vt.planes, {"view": "side"}), (vt.bitboards, {"view": "side"})]
    calls += [(vt.legal_mask, {"scheme": "lc0"}), (vt.legal_mask, {"scheme": "az", "threads": 2})]
    for function, options in calls:
        mine = function(batch, errors="skip", **options)
        for other in (fens, boards):
            assert all(
                np.array_equal(a, b) for a, b in zip(mine, function(other, errors="skip", **options), strict=True)
            )
    planes = vt.planes(fens, view="side")
    assert np.array_equal(batch.planes("side"), planes) and np.array_equal(batch.zobrist(), vt.zobrist(fens))
    assert np.array_equal(vt.planes(batch.bitboards, white_to_move=batch.white_to_move, view="side"), planes)
    # Rights or a file that no reading writes make a row that does not read.
    batch.castling[3], batch.en_passant[5] = 16, 8
    for function in (vt.zobrist, vt.fens, vt.legal_moves):
        with pytest.raises(ValueError, match="^position 3: castling 16 and en-passant file -?[0-7] name no position$"):
            function(batch)
        *_, valid = function(batch, errors="skip")
        assert np.flatnonzero(~valid).tolist() == [3, 5]
    with pytest.raises(ValueError, match="^position 3: castling 16 "):
        batch.planes()
    # Arrays of another shape or type are refused whole.
    batch.castling.resize(4, refcheck=False)
    with pytest.raises(ValueError, match="argument 'positions': the GameBatch's castling array is not as made"):
        vt.zobrist(batch)


def test_a_board_in_a_batch_is_borrowed_for_the_call():
    board = Board()
    batch = [board] + ["r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"] * 200_000
    refused, done = [], threading.Event()

    def meddle():
        while not done.is_set():
            for change in (lambda: board.push("e2e4"), board.pop):
                while True:  # a refused pop is retried, so that the board ends as it began
                    try:
                        change()
                        break
                    except RuntimeError as error:
                        refused.append(str(error))

    for _ in range(5):  # the other thread runs only while the batch has given up the lock
        thread = threading.Thread(target=meddle)
        thread.start()
        try:
            vt.legal_moves(batch)
        finally:
            done.set()
            thread.join()
        done.clear()
        if refused:
            break
    assert refused and set(refused) == {"Already borrowed"}
    assert board.fen() == Board().fen()
    board.push("e2e4")  # every access was released


def test_perft_counts_and_divides():
    for name, fen, counts in known_positions():
        depth = max(d for d, count in enumerate(counts, 1) if count <= 200_000)
        assert vt.perft(fen, depth) == vt.perft(Board(fen), depth) == counts[depth - 1], name
        divided = vt.perft(Board(fen), depth, divide=True)
        assert sum(divided.values()) == counts[depth - 1] and list(divided) == [
            m for m in vt.move_texts(vt.legal_moves([fen])[0])
        ]
    assert vt.perft(Board(), 0) == 1
    for board, depth, match in [
        ("8/8/8/8/8/8/8/7k w - -", 1, "side to move has no king"),
        ("4k3/8/8/8/8/8/8/4RK2 w - -", 2, "side not to move"),  # the rook could take the king
        (Board(), -1, "from 0 to 64"),
        ("x", 1, "Invalid fen: Invalid piece type"),
    ]:
        with pytest.raises(ValueError, match=match):
            vt.perft(board, depth)
    assert vt.perft("4k3/8/8/8/8/8/8/4RK2 w - -", 1) == 15
    with pytest.raises(ValueError, match="divide"):
        vt.perft(Board(), 0, divide=True)


def test_calls_keep_reference_counts_flat():
    import sys

    board, text = Board(), "8/8/8/8/8/8/8/K6k w - -"
    before = sys.getrefcount(board), sys.getrefcount(text)
    for _ in range(1000):
        vt.planes([board, text])
        vt.legal_moves([board, text], errors="skip")
        vt.perft(board, 1, divide=True)
        with pytest.raises(ValueError):
            vt.status([board, "x"])
    assert (sys.getrefcount(board), sys.getrefcount(text)) == before


def test_a_castling_right_without_its_rook_keeps_its_castle():
    # The rights stand for the rooks: a right the FEN grants is flagged by status()
    # but the castle is still listed where the king's path allows it (the pure-Python library
    # drops such a right while reading the FEN).
    for fen, castle in [("4k3/8/8/8/8/8/8/4K3 w K -", "e1g1"), ("r3k3/8/8/8/8/8/8/4K3 b kq -", "e8g8")]:
        assert vt.status([fen])[0] & vt.STATUS_BAD_CASTLING_RIGHTS
        assert castle in vt.move_texts(vt.legal_moves([fen])[0])
        assert castle not in [move.uci() for move in chess.Board(fen).legal_moves]
        assert vt.san(fen, [castle]) == ["O-O"] and vt.parse_san(fen, "O-O") == castle
