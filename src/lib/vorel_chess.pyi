"""Chess positions and legal moves, computed by a C++ core."""

__all__ = ["Board", "MoveGenerator"]

class Board:
    """A chess position with its undo history.

    Squares are numbered a1 = 0, b1 = 1, ..., h8 = 63; piece indices are 0..5 for the white
    pawn, knight, bishop, rook, queen and king and 6..11 for the black ones.
    """

    def __new__(cls, fen: str = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -") -> Board:
        """Reads a position from FEN: placement, side to move, castling rights, en passant.

        Move counters and further fields are ignored.

        :raises ValueError: "Invalid fen: ..." for a placement that is not 8 ranks of 8 squares,
            a side to move other than "w" or "b", or a bad castling or en-passant field.
        :raises PanicException: for an empty text, a missing field or a bad placement letter.
        """

    @staticmethod
    def bitboard_from_fen(fen: str) -> list[list[bool]]:
        """Returns the planes of a FEN placement (its first field) without building a board.

        Later fields are not read and ranks are not checked for length.
        """

    def fen(self) -> str:
        """Returns the position as four-field FEN (no move counters)."""

    def push(self, chess_move: str) -> None:
        """Plays a move in coordinate notation ("e2e4", "e1g1", "e7e8q") without legality checks.

        :raises ValueError: "Invalid chess move: ..." for a text of the wrong length or with an
            unknown promotion letter; the board is unchanged.
        :raises PanicException: for a bad square character, an empty from-square, or a pawn
            reaching the last rank without a promotion letter; the board is unchanged.
        """

    def pop(self) -> None:
        """Takes back the last move played.

        :raises PanicException: when there is no move to take back.
        """

    def bitboard(self) -> list[list[bool]]:
        """Returns 12 lists of 64 bools: entry [k][s] is True when piece index k stands on square s."""

    def turn(self) -> str:
        """Returns "white" or "black", the side to move."""

    def reflect(self) -> None:
        """Turns the position into its colour-mirrored twin and forgets the move history."""

    def copy(self) -> Board:
        """Returns an independent board with the same position and undo history."""

class MoveGenerator:
    """Legal move generation; build one and reuse it (it precomputes its attack tables)."""

    def __new__(cls) -> MoveGenerator: ...
    def __call__(self, board: Board) -> list[str]:
        """Returns the legal moves of the side to move in coordinate notation, in a fixed order.

        The board comes back unchanged.

        :raises PanicException: when the side to move has no king.
        """
