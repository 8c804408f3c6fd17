"""Policy indices and legal-move masks: move_index, index_move and legal_mask against the layouts
built move by move from their description (scripts/policy_reference.py) over the pure-Python chess
library's legal moves of seeded positions of both colours."""

import chess
import numpy as np
import pytest
import vorel_tools as vt
from games import random_positions
from policy_reference import INDEX, LC0, LC0_INDEX, SIZE, legal_mask
from vorel_chess import Board


@pytest.fixture(scope="module")
def peers():
    return random_positions(2025, 3000)


@pytest.fixture(scope="module")
def fens(peers):
    return [board.fen(en_passant="fen") for board in peers]


def test_lc0_table_entry_by_entry():
    assert len(LC0) == 1858
    for white, mirror in [(True, False), (False, True)]:
        words, expected = [], []
        for index, text in enumerate(LC0):
            move = chess.Move.from_uci(text)
            if mirror:
                move = chess.Move(
                    chess.square_mirror(move.from_square), chess.square_mirror(move.to_square), move.promotion
                )
            code = {None: 0, chess.BISHOP: 5, chess.ROOK: 6, chess.QUEEN: 7}[move.promotion]
            words.append(move.from_square | move.to_square << 6 | code << 12)
            expected.append(index)
        assert vt.move_index(words, white, scheme="lc0").tolist() == expected


def test_knight_promotions_and_castles_share_entries():
    e1, g1, c1 = chess.E1, chess.G1, chess.C1
    # a7a8n has the entry of the plain step a7a8; castles that of the king onto its rook's square.
    words = [48 | 56 << 6 | 4 << 12, 48 | 56 << 6, e1 | g1 << 6 | 3 << 12, e1 | c1 << 6 | 3 << 12]
    assert vt.move_index(words, True, scheme="lc0").tolist() == [LC0_INDEX[m] for m in ["a7a8", "a7a8", "e1h1", "e1a1"]]
    # The same moves of Black, ranks mirrored.
    mirrored = [8 | 0 << 6 | 4 << 12, 8 | 0 << 6, 60 | 62 << 6 | 3 << 12, 60 | 58 << 6 | 3 << 12]
    assert vt.move_index(mirrored, False, scheme="lc0").tolist() == vt.move_index(words, True, scheme="lc0").tolist()
    # In az a queen promotion is the queen's step and castling the king's two squares east or west.
    assert vt.move_index([48 | 56 << 6 | 7 << 12, e1 | g1 << 6 | 3 << 12], True, scheme="az").tolist() == [
        73 * 48 + 0,
        73 * e1 + 7 * 2 + 1,
    ]


@pytest.mark.parametrize("scheme", SIZE)
def test_every_legal_move_against_the_layout(peers, fens, scheme):
    words, offsets = vt.legal_moves(fens)
    counts = np.diff(offsets)
    white = np.repeat(vt.white_to_move(fens), counts)
    indices = vt.move_index(words, white, scheme=scheme)
    assert indices.dtype == np.int64
    expected = []
    for board in peers:
        # The generator's order differs from the peer's: compare sets position by position.
        expected.append(sorted(INDEX[scheme](board, move) for move in board.legal_moves))
    got = [sorted(indices[offsets[i] : offsets[i + 1]].tolist()) for i in range(len(peers))]
    assert got == expected
    # Round trip: each index gives back the very word of its position.
    rows = np.repeat(np.arange(len(fens)), counts)
    assert vt.index_move(indices, [fens[i] for i in rows], scheme=scheme).tolist() == words.tolist()


@pytest.mark.parametrize("scheme", SIZE)
def test_legal_mask_marks_the_legal_moves(peers, fens, scheme):
    boards = [Board(fen) for fen in fens[:500]]
    mask = vt.legal_mask([*boards, *fens[500:]], scheme=scheme, threads=2)
    assert mask.dtype == np.bool_ and mask.shape == (len(fens), SIZE[scheme])
    for row, board in zip(mask, peers, strict=True):
        assert np.array_equal(row, legal_mask(board, scheme)), board.fen()
    _, offsets = vt.legal_moves(fens)
    assert mask.sum(axis=1).tolist() == np.diff(offsets).tolist()
    # An array of the caller's, whatever it held, is written whole.
    out = np.ones((len(fens), SIZE[scheme]), np.uint8)
    assert vt.legal_mask(fens, scheme=scheme, out=out) is out and np.array_equal(out, mask)
    with pytest.raises(ValueError, match=rf"argument 'out': expected shape \(3, {SIZE[scheme]}\), got \(3, 12, 64\)"):
        vt.legal_mask(fens[:3], scheme=scheme, out=np.zeros((3, 12, 64), bool))


def test_index_move_tells_a_knight_promotion_from_a_rook_step():
    # Index a7a8 is the knight promotion where a pawn stands on a7 and the rook's step where a rook
    # does; e1h1 is the castle where the king may castle.
    fens = ["4k3/P7/8/8/8/8/8/4K3 w - -", "4k3/R7/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/4K2R w K -"]
    words = vt.index_move([LC0_INDEX["a7a8"]] * 2 + [LC0_INDEX["e1h1"]], fens, scheme="lc0")
    assert vt.move_texts(words) == ["a7a8n", "a7a8", "e1g1"]
    assert words[2] >> 12 == 3  # the generator's own castling word


def test_refusals_name_the_row():
    fens = ["4k3/8/8/8/8/8/8/4K3 w - -"] * 3
    with pytest.raises(ValueError, match=r"^position 1: index 1858 is outside the lc0 scheme"):
        vt.index_move([0, 1858, 0], fens, scheme="lc0")
    with pytest.raises(ValueError, match=r"^position 2: index 0 of the az scheme is no legal move"):
        vt.index_move([73 * 4, 73 * 4 + 14, 0], fens, scheme="az")
    words, valid = vt.index_move([73 * 4, 0, 73 * 4 + 14], fens, scheme="az", errors="skip")
    assert vt.move_texts(words) == ["e1e2", "e1f1"] and valid.tolist() == [True, False, True]
    with pytest.raises(ValueError, match=r"^argument 'indices': 2 indices for 3 positions"):
        vt.index_move([0, 0], fens, scheme="az")
    # Words that no scheme entry stands for: a bishop's move off its lines, a code without a move,
    # a promotion from rank 2, a castle from d1.
    for word in [0 | 26 << 6, 12 | 28 << 6 | 9 << 12, 8 | 0 << 6 | 7 << 12, 3 | 1 << 6 | 3 << 12]:
        with pytest.raises(ValueError, match=r"^move 1: .* has no entry in the lc0 scheme"):
            vt.move_index([796, word], True, scheme="lc0")
    with pytest.raises(ValueError, match="scheme must be 'lc0' or 'az'"):
        vt.legal_mask(fens, scheme="AZ")
    with pytest.raises(ValueError, match=r"argument 'white_to_move': expected one bool or 2, got 3"):
        vt.move_index([796, 796], [True] * 3, scheme="az")
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'scheme'"):
        vt.legal_mask(fens)
    mask, valid = vt.legal_mask(["8/8/8/8/8/8/8/K7 b - -", *fens], scheme="lc0", errors="skip")
    assert mask.shape == (3, 1858) and valid.tolist() == [False, True, True, True]
    out = np.ones((4, 1858), bool)
    kept, _ = vt.legal_mask(["8/8/8/8/8/8/8/K7 b - -", *fens], scheme="lc0", errors="skip", out=out)
    assert np.array_equal(kept, mask) and np.array_equal(out[:3], mask)


def test_integer_arguments_of_any_kind():
    # Arrays of every integer type, lists of NumPy scalars and strided views read alike.
    words = [796, 1 | 18 << 6]
    expected = vt.move_index(words, True, scheme="lc0").tolist()
    for kind in [np.uint16, np.int32, np.int64, np.uint64]:
        assert vt.move_index(np.array(words, kind), np.array([True, True]), scheme="lc0").tolist() == expected
    assert vt.move_index(np.repeat(words, 2)[::2], np.True_, scheme="lc0").tolist() == expected
    assert vt.move_index([np.uint16(w) for w in words], [True, np.True_], scheme="lc0").tolist() == expected
    with pytest.raises(TypeError, match="argument 'moves': item 0: expected int, got 'bool'"):
        vt.move_index([True], True, scheme="lc0")
    with pytest.raises(TypeError, match="argument 'white_to_move': item 0: expected bool, got 'int'"):
        vt.move_index([796], [1], scheme="lc0")
