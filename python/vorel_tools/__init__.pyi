"""Arrays, batches and game state over vorel_chess boards and FEN texts.

``positions``, wherever it appears, is a batch: ``vorel_chess.Board`` objects and FEN texts, mixed
freely, in a list, tuple or any iterable (not a single str, bytes or Board), or a ``GameBatch``,
whose positions are read from its arrays. A FEN text is a str or bytes (bytearray, NumPy's
``str_`` and ``bytes_`` too); a NumPy array of dtype ``U`` or ``S`` is a sequence of them, an
``S`` array's items read in place through its buffer, each without the NULs that pad its end, as
NumPy gives them. Row i of every result belongs to the i-th position. Boards are read, never
changed, and hold a shared access for the whole call: another thread's ``push`` meanwhile raises
``RuntimeError("Already borrowed")``. A FEN text is read as ``Board(fen)`` reads it; bytes that are
not UTF-8 are a position that does not read (``"Invalid fen: 'utf-8' codec can't decode ..."``).

Every function that takes ``positions`` also takes, by keyword only:

- ``errors="raise"`` (the default): the first position that does not read raises
  ``ValueError("position 17: Invalid fen: ...")`` (for every FEN failure, those that ``Board(fen)``
  reports as PanicException included), and nothing is returned.
- ``errors="skip"``: such positions are left out. The result then comes as a tuple whose last item
  is ``valid``, a bool array of shape (n,), ``valid[i]`` true when position i gave a row; the rows
  are those of the valid positions, in order (row k is position ``numpy.flatnonzero(valid)[k]``).
- ``threads=1``: the number of native threads (1 to 256) that split the batch into consecutive
  ranges. Batches of 1,000 positions or more, and any with ``threads`` above 1, release the
  interpreter lock while the core works.

Every integer argument (``threads``, ``perft``'s ``depth``, the move words of ``move_texts`` and
``san``) is read as ``operator.index`` reads it: ints, their subclasses, NumPy integer scalars and
anything with ``__index__``, but not ``bool`` (TypeError naming the argument). A value outside the
documented range, however large, is a ValueError.

A sequence argument is read from a tuple taken before any item is looked at, so that an item's
``__index__`` or ``__eq__`` that changes the sequence does not change what the call reads.

A position that is neither a Board nor a FEN text raises TypeError naming it, whatever ``errors``
says.
"""

import os
from collections.abc import Callable, Iterable, Iterator
from types import TracebackType
from typing import IO, Any, Final, Literal, SupportsIndex, final, overload

import numpy as np
from _typeshed import structseq
from numpy.typing import NDArray
from vorel_chess import Board
from vorel_chess_runtime import PanicException as PanicException

type _Positions = Iterable[Board | str | bytes | bytearray] | NDArray[np.str_] | NDArray[np.bytes_] | GameBatch
type _Scheme = Literal["lc0", "az"]
type _View = Literal["white", "side"]
type _Sides = bool | np.bool_ | NDArray[np.bool_] | Iterable[bool | np.bool_]

__version__: Final[str]
"""The version of the package (of vorel_chess too: they are built together)."""

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
    positions: _Positions | NDArray[np.uint64],
    *,
    out: NDArray[np.uint8] | NDArray[np.bool_] | None = None,
    view: _View = "white",
    white_to_move: _Sides | None = None,
    errors: Literal["raise"] = "raise",
    threads: SupportsIndex = 1,
) -> NDArray[np.uint8]: ...
@overload
def planes(
    positions: _Positions | NDArray[np.uint64],
    *,
    out: NDArray[np.uint8] | NDArray[np.bool_] | None = None,
    view: _View = "white",
    white_to_move: _Sides | None = None,
    errors: Literal["skip"],
    threads: SupportsIndex = 1,
) -> tuple[NDArray[np.uint8], NDArray[np.bool_]]:
    """The piece planes: uint8 of shape (n, 12, 64), ``planes[i, k, s]`` = 1 when piece index k
    stands on square s of position i; the layout of ``Board.bitboard()``.

    ``positions`` may also be a uint64 array of shape (n, 12) of piece bitboards, as
    ``bitboards()`` and ``GameBatch.bitboards`` give them; ``white_to_move`` (one bool, or a bool
    per row) is then the side to move of its rows, and is refused for any other positions. A
    two-dimensional array of another integer type (int64, say) is a TypeError.

    ``view="side"`` gives the board as the side to move sees it, as Leela and Maia feed their
    networks: a position with Black to move is colour-mirrored first (ranks flipped, colours
    swapped), so that planes 0-5 hold the pieces of the side to move and rank 1 is its back rank.
    With a bitboards array it needs ``white_to_move`` (ValueError without).

    ``out``, a C-contiguous writable array of uint8 (or bool) of shape (n, 12, 64), is filled and
    returned instead of a new array (with errors="skip", its first rows: ``out[:valid.sum()]``).
    Its buffer is asked for once; that one view is checked and written through.

    :raises TypeError: if ``out`` is not such an array; ValueError if its shape is not (n, 12, 64),
        it is read-only, not C-contiguous, or its buffer is not exactly n * 768 bytes long.
    """

@overload
def bitboards(
    positions: _Positions,
    *,
    view: _View = "white",
    errors: Literal["raise"] = "raise",
    threads: SupportsIndex = 1,
) -> NDArray[np.uint64]: ...
@overload
def bitboards(
    positions: _Positions, *, view: _View = "white", errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.uint64], NDArray[np.bool_]]:
    """The 12 piece bitboards: uint64 of shape (n, 12), bit s of ``bitboards[i, k]`` set when piece
    index k stands on square s. ``view="side"`` colour-mirrors a position with Black to move first,
    as for ``planes()``."""

@overload
def legal_moves(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: SupportsIndex = 1
) -> tuple[NDArray[np.uint16], NDArray[np.int64]]: ...
@overload
def legal_moves(
    positions: _Positions, *, errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.uint16], NDArray[np.int64], NDArray[np.bool_]]:
    """The legal moves: ``(moves, offsets)``, position i's at ``moves[offsets[i]:offsets[i + 1]]``, in
    exactly the order of ``MoveGenerator()(board)``. ``moves`` is uint16 move words (origin square in
    bits 0-5, destination in 6-11, special code in 12-15: 0 ordinary, 1 en passant, 2 double pawn
    step, 3 castling, 4-7 promotion to knight, bishop, rook, queen); ``offsets`` int64 of shape
    (rows + 1,). ``move_texts(moves)`` gives their texts.

    A position whose side to move has no king (or on which the core faults, for example with two
    pieces on one square) does not read: ``ValueError("position 3: the side to move has no king")``,
    or a row left out with errors="skip".
    """

def move_texts(moves: NDArray[np.integer] | Iterable[SupportsIndex]) -> list[str]:
    """The coordinate notation of each move word ("e2e4", "e7e8q"), in order. Reads a
    one-dimensional uint16 array directly, and any other iterable of integers item by item.

    :raises ValueError: for a value that is not a 16-bit word or whose special code (8-15) has no
        text form, naming its index.
    :raises TypeError: for an item that is no integer (a bool included), or a single value (an
        int, a NumPy scalar or 0-d array) instead of a sequence.
    """

@overload
def in_check(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: SupportsIndex = 1
) -> NDArray[np.bool_]: ...
@overload
def in_check(
    positions: _Positions, *, errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.bool_], NDArray[np.bool_]]:
    """Whether a king of the side to move is attacked; false when it has no king."""

@overload
def outcome(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: SupportsIndex = 1
) -> NDArray[np.int8]: ...
@overload
def outcome(
    positions: _Positions, *, errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.int8], NDArray[np.bool_]]:
    """ONGOING (0), CHECKMATE (1) or STALEMATE (2) for each position, by its legal moves. A
    position whose side to move has no king does not read, as for legal_moves()."""

@overload
def status(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: SupportsIndex = 1
) -> NDArray[np.uint32]: ...
@overload
def status(
    positions: _Positions, *, errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.uint32], NDArray[np.bool_]]:
    """The STATUS_* flags of each position: the ways in which it breaks the rules of a position
    that a game can reach, which reading a FEN does not check. 0 (STATUS_VALID) when none."""

@overload
def white_to_move(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: SupportsIndex = 1
) -> NDArray[np.bool_]: ...
@overload
def white_to_move(
    positions: _Positions, *, errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.bool_], NDArray[np.bool_]]:
    """Whether white is to move in each position."""

@overload
def fens(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: SupportsIndex = 1
) -> NDArray[np.bytes_]: ...
@overload
def fens(
    positions: _Positions, *, errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.bytes_], NDArray[np.bool_]]:
    """Each position as ``Board.fen()`` writes it (four fields), in an array of ASCII bytes as wide
    as the longest (dtype "S<width>"); ``numpy.char.decode(result, "ascii")`` gives str."""

@overload
def perft(board: Board | str, depth: SupportsIndex, *, divide: Literal[False] = False) -> int: ...
@overload
def perft(board: Board | str, depth: SupportsIndex, *, divide: Literal[True]) -> dict[str, int]:
    """The number of leaves of the legal-move tree ``depth`` plies deep (depth 0 counts 1), counted
    in the core without the interpreter lock (it cannot be interrupted); with ``divide``, a dict of
    each legal move's text to the leaves below it, in generation order. The board is read, not
    changed; a FEN text is read as ``Board(fen)`` reads it.

    :raises ValueError: for a FEN that does not read, a depth outside 0-64 (2**70 too), divide with
        depth 0,
        a side to move without a king, or (from depth 2) a side not to move without a king or in
        check, whose king a move could take.
    """

# --- Encodings for models: move_index(), index_move(), legal_mask(), zobrist() --------------------

def move_index(
    moves: NDArray[np.integer] | Iterable[SupportsIndex], white_to_move: _Sides, *, scheme: _Scheme
) -> NDArray[np.int64]:
    """The policy index of each move word (as ``legal_moves()`` and ``read_games()`` give them),
    int64 of shape (n,). Moves are seen from the side to move: with Black to move (one bool for
    all, or a bool per move), ranks are mirrored (a7 is a2) before the lookup.

    ``scheme="lc0"``, 1858 entries, Leela Chess Zero's policy layout: entries 0-1791 are, for each
    origin square a1, b1, ..., h8 in turn, every destination a queen or a knight could reach from it
    on an empty board, in ascending square order; entries 1792-1857 the promotions from rank 7 to
    rank 8, by origin file, then destination ascending, then queen, rook, bishop. A promotion to a
    knight has the entry of the plain move, and castling (code 3) that of the king's move onto its
    own rook's square (e1h1, e1a1).

    ``scheme="az"``, 4672 entries, AlphaZero's 8 x 8 x 73 layout: entry ``73 * origin + type``
    (``reshape(8, 8, 73)`` gives [rank][file][type]). Types 0-55 are the queen-line moves,
    ``7 * direction + distance - 1``, directions north, north-east, east, south-east, south,
    south-west, west, north-west, distances 1-7; types 56-63 the knight jumps clockwise from
    north-north-east, as (file, rank) steps (1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1),
    (-2, 1), (-1, 2); types 64-72 the promotions to a knight, bishop or rook,
    ``64 + 3 * direction + piece``, directions toward file a, straight on, toward file h, pieces
    knight, bishop, rook. A promotion to a queen is the queen-line step, castling the king's move
    two squares to the side (e1g1, e1c1).

    :raises ValueError: naming the move, for a value that is not a 16-bit word, a word with no
        entry in the scheme (a move neither along a queen line nor a knight's jump, a special code
        above 7, a promotion other than a step from rank 7 to rank 8 as the side to move sees it,
        a castle other than the king's from e1 to g1 or c1), and for ``white_to_move`` of another
        length than ``moves``; ``scheme`` other than "lc0" or "az".
    :raises TypeError: for an item that is no integer (bool included) or no bool.
    """

@overload
def index_move(
    indices: NDArray[np.integer] | Iterable[SupportsIndex],
    positions: _Positions,
    *,
    scheme: _Scheme,
    errors: Literal["raise"] = "raise",
    threads: SupportsIndex = 1,
) -> NDArray[np.uint16]: ...
@overload
def index_move(
    indices: NDArray[np.integer] | Iterable[SupportsIndex],
    positions: _Positions,
    *,
    scheme: _Scheme,
    errors: Literal["skip"],
    threads: SupportsIndex = 1,
) -> tuple[NDArray[np.uint16], NDArray[np.bool_]]:
    """For each row, the legal move of the position that the policy index denotes, as the very
    move word ``legal_moves()`` lists (castling as the king's two-square move with code 3): uint16
    of shape (n,). One index per position. The position is what tells a knight promotion from a
    rook's step (lc0) or a castle from the king's move.

    :raises ValueError: "position 3: index 1858 is outside the lc0 scheme (0 to 1857)" (whatever
        ``errors`` says), "position 4: index 294 of the az scheme is no legal move of the position"
        (a row left out with errors="skip"), and for as many indices as positions.
    """

@overload
def legal_mask(
    positions: _Positions,
    *,
    scheme: _Scheme,
    out: NDArray[np.bool_] | NDArray[np.uint8] | None = None,
    errors: Literal["raise"] = "raise",
    threads: SupportsIndex = 1,
) -> NDArray[np.bool_]: ...
@overload
def legal_mask(
    positions: _Positions,
    *,
    scheme: _Scheme,
    out: NDArray[np.bool_] | NDArray[np.uint8] | None = None,
    errors: Literal["skip"],
    threads: SupportsIndex = 1,
) -> tuple[NDArray[np.bool_], NDArray[np.bool_]]:
    """The legal moves of each position marked in the scheme: bool of shape (n, 1858) for "lc0",
    (n, 4672) for "az"; ``mask[i, move_index(m, ...)]`` is true exactly for the legal moves m of
    position i. A position whose side to move has no king does not read, as for legal_moves().

    ``out``, a C-contiguous writable array of bool (or uint8) of that shape, is written whole and
    returned instead of a new array (with errors="skip", its first rows), as for ``planes()``:
    a loop over batches that reuses one array spares the fresh memory of a new mask each time.

    :raises TypeError: if ``out`` is not such an array; ValueError if its shape is not (n, size),
        it is read-only, not C-contiguous, or its buffer is not exactly that long.
    """

@overload
def zobrist(
    positions: _Positions, *, errors: Literal["raise"] = "raise", threads: SupportsIndex = 1
) -> NDArray[np.uint64]: ...
@overload
def zobrist(
    positions: _Positions, *, errors: Literal["skip"], threads: SupportsIndex = 1
) -> tuple[NDArray[np.uint64], NDArray[np.bool_]]:
    """The Polyglot key of each position, uint64 of shape (n,): the opening-book key, equal to the
    pure-Python chess library's ``chess.polyglot.zobrist_hash(board)``. It hashes each piece on
    its square, each castling right whose king and rook stand on their squares, the en-passant
    file when a pawn of the side to move stands beside the pawn that just advanced two squares
    (whether or not taking it is legal), and White to move."""

# --- Notation and game files: san(), parse_san(), read_pgn() -----------------------------------

def san(board: Board | str, moves: Iterable[str | SupportsIndex]) -> list[str]:
    """Returns the standard algebraic notation (SAN) of each legal move, in the order given.

    The texts are those the common writers produce: ``Nf3``, ``Nbd7``, ``R1e2``, ``Qh4xe1``
    (the origin's file, rank or both when another piece of the kind could go there too, file
    first), ``exd5`` and ``exd6`` for en passant, ``e8=Q``, ``O-O``, ``O-O-O``, with ``+`` for
    check and ``#`` for checkmate.

    :param board: a ``vorel_chess.Board`` (read under a shared access and left as it is), or a
        FEN text.
    :param moves: move texts (``e2e4``, ``e1g1`` for castling, ``e7e8q``; the promotion letter
        in either case) or 16-bit move words (origin square in bits 0-5, destination in bits
        6-11, special code 0-7 in bits 12-15; only the promotion codes 4-7 are compared; any
        integer ``operator.index`` reads, bool excepted), any iterable but a single ``str``.
    :raises ValueError: "Illegal move: ..." naming a move that is not legal on the board,
        "Invalid move text: ..." or "Invalid move word: ..." for an item that is no move, and
        "Invalid fen: ..." for a FEN text that cannot be read.
    :raises TypeError: for a board that is neither a ``Board`` nor a ``str``, or an item that is
        neither a ``str`` nor an ``int``.
    :raises PanicException: when the side to move has no king.
    """

def parse_san(board: Board | str, text: str) -> str:
    """Returns the move text (``g1f3``, ``e1g1``, ``e7e8q``) of the legal move a SAN denotes.

    A text in coordinate notation (``g1f3``, ``e1g1`` for castling, ``e7e8q``) that names a legal
    move is that move; any other text is read as SAN. Read past: ``+``, ``#``, ``!`` and ``?``
    marks; ``0-0`` and ``0-0-0`` for castling; ``x``, ``-`` or ``:`` before the destination,
    whether or not the move captures; a promotion as ``e8=Q``, ``e8Q`` or with a lowercase
    letter; an origin written out (``Ng1f3``). A pawn without an origin file moves straight ahead.

    :param board: a ``vorel_chess.Board`` (read under a shared access and left as it is), or a
        FEN text.
    :raises ValueError: "Invalid SAN: ..." for a text that is no move in SAN, "Illegal SAN: ..."
        when no legal move matches it, "Ambiguous SAN: ..." (naming two of the moves) when more
        than one does; each names the text and the position. "Invalid fen: ..." for a FEN text
        that cannot be read.
    :raises TypeError: for a board that is neither a ``Board`` nor a ``str``, or a text that is
        not a ``str``.
    :raises PanicException: when the side to move has no king.
    """

@final
class PgnGame(structseq[Any], tuple[dict[str, str], str, list[str], str, int, str | None, str | None]):
    """One game of a PGN file, as ``read_pgn()`` yields it: a named tuple of seven fields.

    A game that could not be read has an ``error`` and the ``token`` that stopped it; its
    ``moves`` are the ones read before that token, and ``len(moves)`` the ply where it failed.
    """

    __match_args__: Final = ("tags", "fen", "moves", "result", "line", "error", "token")
    @property
    def tags(self) -> dict[str, str]:
        """The tags in file order (a name given twice keeps the last value)."""
    @property
    def fen(self) -> str:
        """The position the moves start from, as ``Board.fen()`` writes it: the ``FEN`` tag's
        position (without castling rights and an en-passant file it cannot use), or the
        standard start. For an unreadable ``FEN`` tag, its text."""
    @property
    def moves(self) -> list[str]:
        """The main line as move texts (``e2e4``, ``e1g1`` for castling, ``e7e8q``)."""
    @property
    def result(self) -> str:
        """``"1-0"``, ``"0-1"``, ``"1/2-1/2"`` or ``"*"``: the result at the end of the move text,
        else the ``Result`` tag's, else ``"*"``."""
    @property
    def line(self) -> int:
        """The line of the game's first tag or move text, counted from 1."""
    @property
    def error(self) -> str | None:
        """``None`` for a game that was read; else why it could not be."""
    @property
    def token(self) -> str | None:
        """``None`` for a game that was read; else the move, tag or tag value that stopped it (the
        tag as written for an empty value, ``(`` or ``{`` for one left open), never empty. A token
        is cut to 64 bytes at a character boundary."""

@final
class PgnReader(Iterator[PgnGame]):
    """The games of a PGN file, one at a time: what ``read_pgn()`` returns."""

    def __next__(self) -> PgnGame: ...
    @property
    def bytes_read(self) -> int | None:
        """The bytes of the file read so far: for a path, of the file as it lies on disk
        (compressed bytes for a compressed file); for a file object, those its ``read()``
        returned (a text file's as UTF-8). Files are read ahead of the games given, a chunk at a
        time, so this tells progress through the file. None for a sequence of game texts, and
        for a compressed file that cannot tell its position (a pipe)."""
    def close(self) -> None:
        """Ends the iteration, closing the file if ``read_pgn()`` opened it."""
    def __enter__(self) -> PgnReader: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> None: ...

def read_pgn(source: str | bytes | os.PathLike[str] | os.PathLike[bytes] | IO[bytes] | IO[str]) -> PgnReader:
    """Returns an iterator over the games of a PGN file, read one chunk at a time.

    Each game comes as a ``PgnGame``: its tags, starting position, main line as move texts and
    result. Comments (``{...}``, ``;`` to the end of the line), variations, NAGs (``$1``),
    annotation marks (``!?``, ``+-``), move numbers, ``e.p.`` (also glued to the move, as in
    ``exd6e.p.``) and ``%`` escape lines are read past, and so is a byte-order mark at the start of
    the file, of any line (files joined together) and right after a token. Moves may also be in
    coordinate notation (``e2e4``, ``e1g1``, ``e7e8q``). CR, LF and CR LF all end a line. A game
    that cannot be read (an illegal, ambiguous or unreadable move, a null move, a bad ``FEN`` tag
    or tag, a variant other than standard chess, a comment or variation left open) comes as a
    ``PgnGame`` whose ``error`` says why, and reading goes on with the next game. A ``[`` at the
    start of a line followed by a letter, a digit or ``_`` is a tag wherever it stands: inside a
    ``{`` comment or a variation that was never closed, it ends the game ("Unclosed comment ..."
    or "Unclosed variation ...", keeping the moves before), and the end of the input does too.
    Memory stays that of one game, whatever the size of the file.

    Tags, values and tokens are read as UTF-8, or as Latin-1 when they are not valid UTF-8.

    :param source: a path, or a file object opened in binary or text mode, which is read with
        ``read()`` and left open. A path is decompressed as its first bytes say, whatever its
        name: gzip, bzip2, xz, zstd (its skippable frames too); the legacy ``.lzma`` format, which
        has no such mark, by its name. A name ending in ``.gz``, ``.bz2``, ``.xz`` or ``.zst``
        over bytes of none of these formats meets that decompressor's error.
    :raises OSError: when the path cannot be opened. An error of the source (``read()`` raising,
        returning neither bytes nor str, or a str that has no UTF-8 form) is raised by the
        ``next()`` that met it; the game being read then is dropped, never yielded, and the
        iteration is over: later calls raise ``StopIteration``. A ``StopIteration`` out of
        ``read()`` is raised as a ``RuntimeError`` whose cause it is.
    :raises ValueError: from the first ``next()``, when a file object's first bytes are those of
        a compressed format ("the source holds zstd-compressed bytes: ..."): pass the path, or a
        file object that decompresses them.
    :raises TypeError: for a source that is neither a path nor has a ``read`` method.
    """

# --- Game files to arrays: read_games() ---------------------------------------------------------

@final
class GameBatch:
    """Whole games as arrays, in file order: what ``read_games()`` yields.

    ``n`` rows per position (the position before each main-line move) and ``g`` rows per game.
    Game ``j``'s positions are rows ``offsets[j]:offsets[j + 1]``. A game that could not be read
    keeps its game row (with its ``error`` and ``token``) and has no positions. ``len(batch)`` is
    ``g``.
    """

    @property
    def bitboards(self) -> NDArray[np.uint64]:
        """uint64 (n, 12): the piece bitboards of each position, by piece index (the layout of
        ``bitboards()``); ``planes(batch.bitboards)`` gives the planes."""
    @property
    def white_to_move(self) -> NDArray[np.bool_]:
        """bool (n,): White is to move."""
    @property
    def castling(self) -> NDArray[np.uint8]:
        """uint8 (n,): the castling rights, bits 1 K, 2 Q, 4 k, 8 q."""
    @property
    def en_passant(self) -> NDArray[np.int8]:
        """int8 (n,): the en-passant file as ``Board.fen()`` writes it (0 for a), -1 for none."""
    @property
    def halfmove_clock(self) -> NDArray[np.uint16]:
        """uint16 (n,): half-moves since the last capture or pawn move (from the FEN tag's fifth
        field, else 0); at most 65535."""
    @property
    def fullmove(self) -> NDArray[np.uint16]:
        """uint16 (n,): the move number (from the FEN tag's sixth field, else 1); at most 65535."""
    @property
    def move(self) -> NDArray[np.uint16]:
        """uint16 (n,): the move played, the very word ``legal_moves()`` lists for the position."""
    @property
    def clock(self) -> NDArray[np.float32]:
        """float32 (n,): the first ``[%clk h:mm:ss]`` (or ``h:mm:ss.f``) in the comments after the
        move, in seconds; NaN without one. Read as the pure-Python chess library's ``clock()``
        reads it."""
    @property
    def eval(self) -> NDArray[np.float32]:
        """float32 (n,): the first ``[%eval x.yz]`` in the comments after the move, in pawns from
        White's side; NaN without one, and for a mate. Read as the pure-Python chess library's
        ``eval()`` reads it (at most two decimals, centipawns exact)."""
    @property
    def mate(self) -> NDArray[np.int16]:
        """int16 (n,): ``[%eval #n]`` after the move: n, negative when Black mates; 0 without one
        (and for ``#0``); beyond ±32767 it stops there."""
    @property
    def game(self) -> NDArray[np.int32]:
        """int32 (n,): the index of the position's game in the batch."""
    @property
    def legal_moves(self) -> NDArray[np.uint16] | None:
        """uint16: the legal moves of every position in generation order (``legal_moves=True``),
        else None."""
    @property
    def legal_offsets(self) -> NDArray[np.int64] | None:
        """int64 (n + 1,): position i's legal moves are
        ``legal_moves[legal_offsets[i]:legal_offsets[i + 1]]`` (``legal_moves=True``), else None."""
    @property
    def offsets(self) -> NDArray[np.int64]:
        """int64 (g + 1,): game j's positions are rows ``offsets[j]:offsets[j + 1]``."""
    @property
    def result(self) -> NDArray[np.int8]:
        """int8 (g,): 1 White won, 0 draw, -1 Black won, 2 unknown (``*``): the result at the end
        of the move text, else the ``Result`` tag's."""
    @property
    def white_elo(self) -> NDArray[np.int32]:
        """int32 (g,): the ``WhiteElo`` tag when it is a whole number written in digits, else -1."""
    @property
    def black_elo(self) -> NDArray[np.int32]:
        """int32 (g,): the ``BlackElo`` tag when it is a whole number written in digits, else -1."""
    @property
    def line(self) -> NDArray[np.int64]:
        """int64 (g,): the line of each game's first tag or move text, from 1 (within its own text
        for a sequence of game texts)."""
    @property
    def error(self) -> list[str | None]:
        """Per game: None, or why it could not be read (as ``PgnGame.error`` says it)."""
    @property
    def token(self) -> list[str | None]:
        """Per game: None, or the token, tag or tag value that stopped it."""
    @property
    def tags(self) -> list[dict[str, str]]:
        """Per game: its tags in file order (built on first use)."""
    @property
    def first_game(self) -> int:
        """The index of the batch's first game among all the games read (refused ones left out)."""
    def planes(
        self,
        view: _View = "white",
        *,
        out: NDArray[np.uint8] | NDArray[np.bool_] | None = None,
        threads: SupportsIndex = 1,
    ) -> NDArray[np.uint8]:
        """The piece planes of the positions, uint8 (n, 12, 64), as ``planes(batch, view=view)``
        gives them: with ``view="side"``, a position with Black to move colour-mirrored first."""
    def zobrist(self, *, threads: SupportsIndex = 1) -> NDArray[np.uint64]:
        """The Polyglot key of each position, uint64 (n,), as ``zobrist(batch)`` gives them."""
    def __len__(self) -> int: ...

@final
class GameReader(Iterator[GameBatch]):
    """Batches of whole games as arrays: what ``read_games()`` returns."""

    def __next__(self) -> GameBatch: ...
    @property
    def bytes_read(self) -> int | None:
        """The bytes of the file read so far: for a path, of the file as it lies on disk
        (compressed bytes for a compressed file); for a file object, those its ``read()``
        returned (a text file's as UTF-8). Files are read ahead of the games given, a chunk at a
        time, so this tells progress through the file. None for a sequence of game texts, and
        for a compressed file that cannot tell its position (a pipe)."""
    def close(self) -> None:
        """Ends the reading, closing the file if ``read_games()`` opened it."""
    def __enter__(self) -> GameReader: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> None: ...

def read_games(
    source: str | bytes | os.PathLike[str] | os.PathLike[bytes] | IO[bytes] | IO[str] | Iterable[str | bytes | None],
    *,
    batch_positions: int = 65536,
    threads: int = 1,
    legal_moves: bool = False,
    where: Callable[[dict[str, str]], object] | None = None,
) -> GameReader:
    """Returns an iterator over batches of whole games as arrays (``GameBatch``), in file order.

    Games are read as ``read_pgn()`` reads them, and a batch holds about ``batch_positions``
    positions: whole games are added until their moves reach it (a long game makes a larger
    batch), and at most that many games. Memory stays that of the batches in flight, whatever the size of the file.

    :param source: a path (decompressed as ``read_pgn()`` decompresses it: by its first bytes,
        whatever its name), a file object opened in binary or text mode (read with ``read()``,
        left open; compressed bytes are refused as by ``read_pgn()``), or any other iterable of
        game texts (a list, a NumPy or Arrow array of str or
        bytes): each item is one game, a whole PGN game or only its move text, so that game rows
        follow the items. An item that holds no text (None) or more than one game is a game
        that cannot be read.
    :param batch_positions: the positions a batch holds about (1 to 2**30).
    :param threads: native threads that replay the games (1 to 256), without the interpreter
        lock; the batches are the same, row for row, whatever their number. With more than one,
        the next batch is replayed while the current one is in use.
    :param legal_moves: also give the legal moves of every position.
    :param where: called with each game's tags (a dict) before its moves are read; a game for
        which it returns a false value is left out, at the cost of its tags only.
    :raises TypeError: for a source of none of these kinds, or a ``where`` that is not callable.
    :raises ValueError: for ``batch_positions`` or ``threads`` out of range; from ``next()``,
        for a file object whose first bytes are compressed.

    Integers are read as ``operator.index()`` reads them (``bool`` refused). An error of the
    source, or an exception of ``where``, is raised once the batches before it have been yielded;
    the reading is then over. A ``StopIteration`` out of ``where`` or ``read()`` is raised as a
    ``RuntimeError`` whose cause it is, so that it cannot end a loop as though the games were over.
    """
