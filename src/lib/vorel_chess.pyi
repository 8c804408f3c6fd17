"""Chess positions and legal moves, computed by a C++ core.

Squares are numbered a1 = 0, b1 = 1, ..., h1 = 7, a2 = 8, ..., h8 = 63. Piece indices are 0..5
for the white pawn, knight, bishop, rook, queen and king and 6..11 for the black ones.

Internal faults raise ``PanicException``, which is not an attribute of this module: import it
with ``from vorel_chess_runtime import PanicException``. It derives from ``BaseException``, so
``except Exception`` does not catch it. The objects involved remain usable afterwards, and a
pickled fault unpickles in any process.

Out of memory, every operation raises ``MemoryError`` and leaves its objects as they were.

An object is used by one call at a time: a call that finds it in use raises ``RuntimeError``
("Already borrowed" or "Already mutably borrowed"). Arguments of the wrong type raise
``TypeError``; a ``str`` holding a lone surrogate raises the interpreter's ``UnicodeEncodeError``.
"""

from typing import final

__all__ = ["Board", "MoveGenerator"]

@final
class Board:
    """A chess position with its undo history.

    Boards cannot be subclassed, pickled or copied with the ``copy`` module: use ``copy()``,
    or send ``fen()`` texts between processes.
    """

    def __new__(cls, fen: str = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -") -> Board:
        """Reads a position from FEN: placement, side to move, castling rights and en passant.

        Fields are separated by white space. Move counters and any further fields are ignored.
        The castling field is any mix of ``K``, ``Q``, ``k`` and ``q``, or ``-``; the en-passant
        field is a square such as ``e3`` (only its file is kept), or ``-``.

        :param fen: the FEN text; the default is the starting position.
        :raises ValueError: "Invalid fen: ..." for a placement that is not 8 ranks of 8 squares,
            a side to move other than ``w`` or ``b``, or a bad castling or en-passant field.
        :raises PanicException: for an empty text, a missing field or a placement character
            that names no piece ("Invalid piece type").
        :raises TypeError: when ``fen`` is not a ``str`` (subclasses are accepted).
        """

    @staticmethod
    def bitboard_from_fen(fen: str) -> list[list[bool]]:
        """Returns the piece planes of a FEN placement without building a board.

        Only the first field is read: later fields are ignored and rank lengths are not
        checked. The layout is that of ``bitboard()``.

        :raises PanicException: for a placement character that names no piece.
        :raises TypeError: when ``fen`` is not a ``str``.
        """

    def fen(self) -> str:
        """Returns the position as four-field FEN, without move counters.

        The en-passant field names the square behind a pawn that has just made a double push.
        """

    def push(self, chess_move: str) -> None:
        """Plays a move in coordinate notation, without any legality check.

        The text is the from-square and the to-square (``"e2e4"``), followed for a promotion by
        ``n``, ``b``, ``r`` or ``q`` (``"e7e8q"``). Castling is the king's move (``"e1g1"``); en
        passant is the pawn's diagonal move to the empty square. Whatever piece stands on the
        from-square moves, so moves that are not legal are played as written.

        :param chess_move: the move text.
        :raises ValueError: "Invalid chess move: ..." for a text that is not 4 or 5 characters
            long or has an unknown promotion letter; the board is unchanged.
        :raises PanicException: for a square character outside a..h or 1..8, an empty
            from-square, or a pawn reaching the last rank without a promotion letter; the
            board is unchanged.
        :raises TypeError: when ``chess_move`` is not a ``str``.
        """

    def pop(self) -> None:
        """Takes back the last move played, restoring the position exactly.

        :raises PanicException: when there is no move to take back; the board is unchanged.
        """

    def bitboard(self) -> list[list[bool]]:
        """Returns the piece placement as 12 planes of 64 flags.

        ``planes[k][s]`` is ``True`` when piece index ``k`` (white pawn 0 ... black king 11)
        stands on square ``s`` (a1 = 0 ... h8 = 63). The lists are new on every call.
        """

    def turn(self) -> str:
        """Returns ``"white"`` or ``"black"``, the side to move."""

    def reflect(self) -> None:
        """Turns the position into its colour-mirrored twin and forgets the move history.

        Ranks are flipped (a1 <-> a8), colours exchanged, castling rights and the en-passant
        file carried over to the other side; afterwards ``pop()`` has nothing to take back.
        """

    def copy(self) -> Board:
        """Returns an independent board with the same position and undo history."""

@final
class MoveGenerator:
    """Legal move generation. Build one and reuse it: it precomputes its attack tables
    (under a megabyte, about a millisecond). One generator may serve any number of boards."""

    def __new__(cls) -> MoveGenerator: ...
    def __call__(self, board: Board) -> list[str]:
        """Returns the legal moves of the side to move in coordinate notation.

        The order is fixed: king moves (steps, then castling king-side, then queen-side),
        knight moves, pawn moves, then rook and queen moves along ranks and files, then bishop
        and queen moves along diagonals. Within each group moves go by origin square, lowest
        first; a pawn's captures come before its pushes and a promotion always comes as four
        moves, ``n``, ``b``, ``r``, ``q``. Checkmate and stalemate both give an empty list.

        The board comes back unchanged.

        :param board: the position; it is held exclusively during the call.
        :raises PanicException: when the side to move has no king; the board is unchanged.
        :raises TypeError: when ``board`` is not a ``Board``.
        """
