"""Arrays, batches and game state over vorel_chess boards and FEN texts.

`positions`, wherever it appears, is a batch: `vorel_chess.Board` objects and FEN texts, mixed
freely, in a list, tuple or any iterable (not a single str or Board). Row i of every result
belongs to the i-th position. Boards are read, never changed, and hold a shared access for the
whole call: another thread's `push` meanwhile raises `RuntimeError("Already borrowed")`. A FEN
text is read as `Board(fen)` reads it.

Every function that takes `positions` also takes, by keyword only:

- `errors="raise"` (the default): the first position that does not read raises
  `ValueError("position 17: Invalid fen: ...")` (for every FEN failure, those that `Board(fen)`
  reports as PanicException included), and nothing is returned.
- `errors="skip"`: such positions are left out. The result then comes as a tuple whose last item
  is `valid`, a bool array of shape (n,), `valid[i]` true when position i gave a row; the rows
  are those of the valid positions, in order (row k is position `numpy.flatnonzero(valid)[k]`).
- `threads=1`: the number of native threads (1 to 256) that split the batch into consecutive
  ranges. Batches of 1,000 positions or more, and any with `threads` above 1, release the
  interpreter lock while the core works.

A position that is neither a Board nor a str raises TypeError naming it, whatever `errors` says.
"""

from collections.abc import Iterable, Sequence
from typing import Final, Literal, overload

import numpy as np
from numpy.typing import NDArray
from vorel_chess import Board
from vorel_chess_runtime import PanicException as PanicException

type _Positions = Iterable[Board | str]

ONGOING: Final[int]
"""outcome(): the side to move has a legal move."""
CHECKMATE: Final[int]
"""outcome(): the side to move is in check and has no legal move."""
STALEMATE: Final[int]
"""outcome(): the side to move is not in check and has no legal move."""

STATUS_VALID: Final[int]
"""status(): 0, none of the flags below."""
STATUS_NO_WHITE_KING: Final[int]
STATUS_NO_BLACK_KING: Final[int]
STATUS_TOO_MANY_KINGS: Final[int]
"""A side has more than one king."""
STATUS_PAWNS_ON_BACKRANK: Final[int]
"""A pawn of either side stands on rank 1 or 8."""
STATUS_OPPOSITE_CHECK: Final[int]
"""A king of the side not to move is attacked."""
STATUS_BAD_CASTLING_RIGHTS: Final[int]
"""A castling right whose king is not on e1/e8 or whose rook is not in its corner."""
STATUS_INVALID_EP_SQUARE: Final[int]
"""An en-passant file without a pawn of the side not to move just past the target square, or
with the target square or the square the pawn came from occupied."""
STATUS_OVERLAPPING_PIECES: Final[int]
"""Two pieces on one square (pushing moves that are not legal can do that)."""

@overload
def planes(
    positions: _Positions,
    *,
    out: NDArray[np.uint8] | NDArray[np.bool_] | None = None,
    errors: Literal["raise"] = "raise",
    threads: int = 1,
) -> NDArray[np.uint8]: ...
@overload
def planes(
    positions: _Positions,
    *,
    out: NDArray[np.uint8] | NDArray[np.bool_] | None = None,
    errors: Literal["skip"],
    threads: int = 1,
) -> tuple[NDArray[np.uint8], NDArray[np.bool_]]:
    """The piece planes: uint8 of shape (n, 12, 64), `planes[i, k, s]` = 1 when piece index k
    stands on square s of position i; the layout of `Board.bitboard()`.

    `out`, a C-contiguous writable array of uint8 (or bool) of shape (n, 12, 64), is filled and
    returned instead of a new array (with errors="skip", its first rows: `out[:valid.sum()]`).

    :raises TypeError: if `out` is not such an array; ValueError if its shape is not (n, 12, 64),
        it is read-only or not C-contiguous.
    """

@overload
def bitboards(positions: _Positions, *, errors: Literal["raise"] = "raise", threads: int = 1) -> NDArray[np.uint64]: ...
@overload
def bitboards(
    positions: _Positions, *, errors: Literal["skip"], threads: int = 1
) -> tuple[NDArray[np.uint64], NDArray[np.bool_]]:
    """The 12 piece bitboards: uint64 of shape (n, 12), bit s of `bitboards[i, k]` set when piece
    index k stands on square s."""

@overload
def legal_moves(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: int = 1
) -> tuple[NDArray[np.uint16], NDArray[np.int64]]: ...
@overload
def legal_moves(
    positions: _Positions, *, errors: Literal["skip"], threads: int = 1
) -> tuple[NDArray[np.uint16], NDArray[np.int64], NDArray[np.bool_]]:
    """The legal moves: `(moves, offsets)`, position i's at `moves[offsets[i]:offsets[i + 1]]`, in
    exactly the order of `MoveGenerator()(board)`. `moves` is uint16 move words (origin square in
    bits 0-5, destination in 6-11, special code in 12-15: 0 ordinary, 1 en passant, 2 double pawn
    step, 3 castling, 4-7 promotion to knight, bishop, rook, queen); `offsets` int64 of shape
    (rows + 1,). `move_texts(moves)` gives their texts.

    A position whose side to move has no king (or on which the core faults, for example with two
    pieces on one square) does not read: `ValueError("position 3: the side to move has no king")`,
    or a row left out with errors="skip".
    """

def move_texts(moves: NDArray[np.integer] | Sequence[int]) -> list[str]:
    """The coordinate notation of each move word ("e2e4", "e7e8q"), in order. Reads a uint16
    array directly, and any sequence of integers item by item.

    :raises ValueError: for a value that is not a 16-bit word or whose special code (8-15) has no
        text form, naming its index.
    """

@overload
def in_check(positions: _Positions, *, errors: Literal["raise"] = "raise", threads: int = 1) -> NDArray[np.bool_]: ...
@overload
def in_check(
    positions: _Positions, *, errors: Literal["skip"], threads: int = 1
) -> tuple[NDArray[np.bool_], NDArray[np.bool_]]:
    """Whether a king of the side to move is attacked; false when it has no king."""

@overload
def outcome(positions: _Positions, *, errors: Literal["raise"] = "raise", threads: int = 1) -> NDArray[np.int8]: ...
@overload
def outcome(
    positions: _Positions, *, errors: Literal["skip"], threads: int = 1
) -> tuple[NDArray[np.int8], NDArray[np.bool_]]:
    """ONGOING (0), CHECKMATE (1) or STALEMATE (2) for each position, by its legal moves. A
    position whose side to move has no king does not read, as for legal_moves()."""

@overload
def status(positions: _Positions, *, errors: Literal["raise"] = "raise", threads: int = 1) -> NDArray[np.uint32]: ...
@overload
def status(
    positions: _Positions, *, errors: Literal["skip"], threads: int = 1
) -> tuple[NDArray[np.uint32], NDArray[np.bool_]]:
    """The STATUS_* flags of each position: the ways in which it breaks the rules of a position
    that a game can reach, which reading a FEN does not check. 0 (STATUS_VALID) when none."""

@overload
def white_to_move(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: int = 1
) -> NDArray[np.bool_]: ...
@overload
def white_to_move(
    positions: _Positions, *, errors: Literal["skip"], threads: int = 1
) -> tuple[NDArray[np.bool_], NDArray[np.bool_]]:
    """Whether white is to move in each position."""

@overload
def fens(positions: _Positions, *, errors: Literal["raise"] = "raise", threads: int = 1) -> NDArray[np.bytes_]: ...
@overload
def fens(
    positions: _Positions, *, errors: Literal["skip"], threads: int = 1
) -> tuple[NDArray[np.bytes_], NDArray[np.bool_]]:
    """Each position as `Board.fen()` writes it (four fields), in an array of ASCII bytes as wide
    as the longest (dtype "S<width>"); `numpy.char.decode(result, "ascii")` gives str."""

@overload
def perft(board: Board | str, depth: int, *, divide: Literal[False] = False) -> int: ...
@overload
def perft(board: Board | str, depth: int, *, divide: Literal[True]) -> dict[str, int]:
    """The number of leaves of the legal-move tree `depth` plies deep (depth 0 counts 1), counted
    in the core without the interpreter lock (it cannot be interrupted); with `divide`, a dict of
    each legal move's text to the leaves below it, in generation order. The board is read, not
    changed; a FEN text is read as `Board(fen)` reads it.

    :raises ValueError: for a FEN that does not read, a depth outside 0-64, divide with depth 0,
        a side to move without a king, or (from depth 2) a side not to move without a king or in
        check, whose king a move could take.
    """
