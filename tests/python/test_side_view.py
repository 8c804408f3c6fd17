"""planes() and bitboards() with view="side": a position with Black to move is seen as the white
view of its colour-mirrored twin, which the pure-Python chess library's mirror() gives."""

import io

import numpy as np
import pytest
import vorel_tools as vt
from games import played_games_text, random_positions
from vorel_chess import Board


@pytest.fixture(scope="module")
def peers():
    return random_positions(9, 2000)


def test_side_view_is_the_white_view_of_the_mirror(peers):
    fens = [board.fen(en_passant="fen") for board in peers]
    mirrored = [(board if board.turn else board.mirror()).fen(en_passant="fen") for board in peers]
    boards = [Board(fen) for fen in fens]
    assert np.array_equal(vt.planes(boards, view="side"), vt.planes(mirrored))
    assert np.array_equal(vt.planes(fens, view="side"), vt.planes(mirrored, view="white"))
    assert np.array_equal(vt.bitboards(fens, view="side"), vt.bitboards(mirrored))
    assert any(not board.turn for board in peers) and any(board.turn for board in peers)


def test_a_bitboards_array_with_its_sides(peers):
    fens = [board.fen() for board in peers]
    bitboards, white = vt.bitboards(fens), vt.white_to_move(fens)
    side = vt.planes(fens, view="side")
    assert np.array_equal(vt.planes(bitboards, white_to_move=white, view="side"), side)
    assert np.array_equal(vt.planes(bitboards, white_to_move=list(white), view="side"), side)
    # One bool for every row: all seen from Black, colours swapped and ranks flipped.
    swapped = vt.planes(bitboards)[:, [6, 7, 8, 9, 10, 11, 0, 1, 2, 3, 4, 5]][:, :, np.arange(64) ^ 56]
    assert np.array_equal(vt.planes(bitboards, white_to_move=False, view="side"), swapped)
    with pytest.raises(ValueError, match="view='side' of a bitboards array needs white_to_move="):
        vt.planes(bitboards, view="side")
    with pytest.raises(TypeError, match="argument 'white_to_move': only a bitboards array takes it"):
        vt.planes(fens, white_to_move=white)
    with pytest.raises(ValueError, match=r"argument 'white_to_move': expected one bool or 2000, got 3"):
        vt.planes(bitboards, white_to_move=[True] * 3)
    with pytest.raises(ValueError, match="view must be 'white' or 'side'"):
        vt.planes(fens, view="black")
    # A table of other integers is refused as the bitboards array it was meant to be.
    for other in (bitboards.astype(np.int64), bitboards.astype(">u8"), bitboards.astype(np.uint32)):
        with pytest.raises(TypeError, match="argument 'positions': a bitboards array must be of uint64"):
            vt.planes(other, white_to_move=white, view="side")
    # A strided or reversed view of a uint64 array is read through its strides.
    reversed_rows = np.ascontiguousarray(bitboards[::-1].T).T
    assert np.array_equal(vt.planes(reversed_rows, white_to_move=white[::-1], view="side"), side[::-1])


def test_game_batch_planes():
    batch = next(vt.read_games(io.StringIO(played_games_text(3, 10))))
    fens = [fen.decode() for fen in vt.fens(batch)]
    for view in ["white", "side"]:
        expected = vt.planes(fens, view=view)
        assert np.array_equal(batch.planes(view), expected)
        assert np.array_equal(vt.planes(batch, view=view), expected)
        assert np.array_equal(vt.planes(batch.bitboards, white_to_move=batch.white_to_move, view=view), expected)
    out = np.empty((len(fens), 12, 64), np.uint8)
    assert batch.planes("side", out=out) is out and np.array_equal(out, vt.planes(fens, view="side"))
    assert np.array_equal(vt.legal_mask(batch, scheme="lc0"), vt.legal_mask(fens, scheme="lc0"))
