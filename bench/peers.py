"""The compiled chess libraries for Python that the benchmark compares vorel_chess with, each through
its fastest natural call for every operation it has (None where it has no such call).

Each peer wraps one installed package: `board(fen)` builds its board from a six-field FEN, and the
other entries take such a board. `moves(board)` returns the call that gives its legal moves as UCI
texts (the bound method itself where one call does it, so that timing adds no frame of ours), `fen`
and `copy` the bound methods; `planes(board)` returns the 12 x 64
placement in vorel_chess's piece-index and square order (values comparing equal to its bools),
`push_pop(board, text)` plays a UCI text and takes it back, `perft(board, depth)` counts leaves by
playing through Python with the length of the legal-move list at the last ply, as vorel_chess's
perft does, `perft_counted` the same with the peer's own move count at the last ply where it has
one, and `native_perft(board, depth)` counts them inside the library.
"""

from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any

import bulletchess
import fastchess
import nchess
import tensor_chess
from bulletchess import utils as bullet_utils

# Square order of the 64 flags of one byte of a bitboard, as bools.
BYTE_FLAGS = [tuple(bool(byte >> i & 1) for i in range(8)) for byte in range(256)]
SHIFTS = range(0, 64, 8)


def bits_to_flags(mask):
    flags = BYTE_FLAGS
    return [flag for shift in SHIFTS for flag in flags[mask >> shift & 255]]


@dataclass
class Peer:
    name: str
    package: str
    board: Callable[[str], Any]
    from_fen: Callable[[str], Any]
    moves: Callable[[Any], Callable[[], list]]
    fen: Callable[[Any], Callable[[], str]]
    copy: Callable[[Any], Callable[[], Any]] | None
    planes: Callable[[Any], list] | None
    push_pop: Callable[[Any, str], None] | None
    perft: Callable[[Any, int], int] | None
    perft_counted: Callable[[Any, int], int] | None = None
    native_perft: Callable[[Any, int], int] | None = None
    note: str = ""


# --- bulletchess -------------------------------------------------------------------------------

BULLET_ORDER = [
    (color, kind)
    for color in (bulletchess.WHITE, bulletchess.BLACK)
    for kind in (
        bulletchess.PAWN,
        bulletchess.KNIGHT,
        bulletchess.BISHOP,
        bulletchess.ROOK,
        bulletchess.QUEEN,
        bulletchess.KING,
    )
]


def bullet_planes(board):
    return [bits_to_flags(int(board[color, kind])) for color, kind in BULLET_ORDER]


def bullet_push_pop(board, text):
    board.apply(bulletchess.Move.from_uci(text))
    board.undo()


def bullet_perft(board, depth):
    moves = board.legal_moves()
    if depth == 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.apply(move)
        nodes += bullet_perft(board, depth - 1)
        board.undo()
    return nodes


def bullet_perft_counted(board, depth):
    if depth == 1:
        return bullet_utils.count_moves(board)
    nodes = 0
    for move in board.legal_moves():
        board.apply(move)
        nodes += bullet_perft_counted(board, depth - 1)
        board.undo()
    return nodes


BULLET = Peer(
    name="bulletchess",
    package="bulletchess",
    board=bulletchess.Board.from_fen,
    from_fen=bulletchess.Board.from_fen,
    moves=lambda board: lambda: [move.uci() for move in board.legal_moves()],
    fen=lambda board: board.fen,
    copy=lambda board: board.copy,
    planes=bullet_planes,
    push_pop=bullet_push_pop,
    perft=bullet_perft,
    perft_counted=bullet_perft_counted,
    native_perft=bullet_utils.perft,
)


# --- nchess ------------------------------------------------------------------------------------


def nchess_push_pop(board, text):
    board.step(text)
    board.undo()


def nchess_perft(board, depth):
    moves = board.generate_legal_moves()
    if depth == 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.step(move)
        nodes += nchess_perft(board, depth - 1)
        board.undo()
    return nodes


def nchess_planes(board):
    # Its squares run from h1 to a1 within each rank: the files are turned round.
    return board.as_array(shape=(12, 8, 8))[:, :, ::-1].reshape(12, 64).astype(bool).tolist()


NCHESS = Peer(
    name="nchess",
    package="nchess",
    board=nchess.Board,
    from_fen=nchess.Board,
    # Its moves print as Move("e2e4"); it has no call that gives the bare text.
    moves=lambda board: lambda: [repr(move)[6:-2] for move in board.generate_legal_moves()],
    fen=lambda board: board.fen,
    copy=lambda board: board.copy,
    planes=nchess_planes,
    push_pop=nchess_push_pop,
    perft=nchess_perft,
    native_perft=lambda board, depth: board.perft(depth, no_print=True),
    note="move texts cut from repr(), which is the only text it gives",
)


# --- fastchess ---------------------------------------------------------------------------------


def fastchess_planes(board):
    # (18, 8, 8) floats, rank 8 first: the first 12 planes are the pieces in our order. Its
    # default turns the board round when black is to move.
    return board.to_tensor(canonical=False)[:12, ::-1].reshape(12, 64).astype(bool).tolist()


def fastchess_perft(board, depth):
    # It has no way to take a move back: every child is a pushed copy.
    moves = board.legal_moves_uci()
    if depth == 1:
        return len(moves)
    nodes = 0
    for move in moves:
        child = board.copy()
        child.push_uci(move)
        nodes += fastchess_perft(child, depth - 1)
    return nodes


FASTCHESS = Peer(
    name="fastchess",
    package="fastchess",
    board=fastchess.Board,
    from_fen=fastchess.Board,
    moves=lambda board: board.legal_moves_uci,
    fen=lambda board: board.fen,
    copy=lambda board: board.copy,
    planes=fastchess_planes,
    push_pop=None,
    perft=fastchess_perft,
    note="no undo: its perft copies the board for every child, and it has no push + pop",
)


# --- tensor-chess ------------------------------------------------------------------------------


def tensor_planes(board):
    # 15 planes of 64 bytes, a1 first: the first 12 are the pieces in our order.
    flags = list(map(bool, board.to_tensor()[:768]))
    return [flags[start : start + 64] for start in range(0, 768, 64)]


def tensor_push_pop(board, text):
    board.push(text)
    board.pop()


def tensor_perft(board, depth):
    moves = board.generate_legal_moves()
    if depth == 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.push(move)
        nodes += tensor_perft(board, depth - 1)
        board.pop()
    return nodes


def tensor_perft_counted(board, depth):
    if depth == 1:
        return board.legal_move_count()
    nodes = 0
    for move in board.generate_legal_moves():
        board.push(move)
        nodes += tensor_perft_counted(board, depth - 1)
        board.pop()
    return nodes


TENSOR = Peer(
    name="tensor-chess",
    package="tensor-chess",
    board=tensor_chess.Position,
    from_fen=tensor_chess.Position,
    moves=lambda board: partial(board.generate_legal_moves, as_strings=True),
    fen=lambda board: board.fen,
    copy=lambda board: board.clone,
    planes=tensor_planes,
    push_pop=tensor_push_pop,
    perft=tensor_perft,
    perft_counted=tensor_perft_counted,
)

PEERS = [BULLET, NCHESS, FASTCHESS, TENSOR]


def six_fields(fen):
    """Returns the FEN with the move counters that some peers require ("0 1" when it has none)."""
    fields = fen.split()
    return " ".join(fields + ["0", "1"][len(fields) - 4 :]) if len(fields) < 6 else fen
