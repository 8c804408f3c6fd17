"""The two policy layouts built move by move through the pure-Python chess library, from their
description in words: the oracle of the policy tests and the pure-Python peer of the benchmark's
legal_mask rows.
"""

import chess
import numpy as np


def lc0_table():
    """The lc0 layout, as move texts seen from White: queen lines and knight jumps by origin, then
    the promotions from rank 7 by origin, destination, piece."""
    moves = []
    for origin in chess.SQUARES:
        for target in chess.SQUARES:
            df = chess.square_file(target) - chess.square_file(origin)
            dr = chess.square_rank(target) - chess.square_rank(origin)
            line = (df == 0) != (dr == 0) or (df != 0 and abs(df) == abs(dr))
            if line or {abs(df), abs(dr)} == {1, 2}:
                moves.append(chess.square_name(origin) + chess.square_name(target))
    for file in range(8):
        for target in range(max(file - 1, 0), min(file + 1, 7) + 1):
            moves.extend(f"{'abcdefgh'[file]}7{'abcdefgh'[target]}8{piece}" for piece in "qrb")
    return moves


LC0 = lc0_table()
LC0_INDEX = {move: index for index, move in enumerate(LC0)}
COMPASS = [(0, 1), (1, 1), (1, 0), (1, -1), (0, -1), (-1, -1), (-1, 0), (-1, 1)]
JUMPS = [(1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1), (-2, 1), (-1, 2)]


def seen_from(board, move):
    """The move as the side to move sees it: ranks mirrored for Black."""
    if board.turn:
        return move
    return chess.Move(chess.square_mirror(move.from_square), chess.square_mirror(move.to_square), move.promotion)


def lc0_index(board, move):
    castling = board.is_castling(move)
    move = seen_from(board, move)
    if castling:  # the king onto its own rook's square
        move = chess.Move(move.from_square, chess.H1 if move.to_square == chess.G1 else chess.A1)
    if move.promotion == chess.KNIGHT:
        move = chess.Move(move.from_square, move.to_square)
    return LC0_INDEX[move.uci()]


def az_index(board, move):
    move = seen_from(board, move)
    df = chess.square_file(move.to_square) - chess.square_file(move.from_square)
    dr = chess.square_rank(move.to_square) - chess.square_rank(move.from_square)
    if move.promotion in (chess.KNIGHT, chess.BISHOP, chess.ROOK):
        kind = 64 + 3 * (df + 1) + [chess.KNIGHT, chess.BISHOP, chess.ROOK].index(move.promotion)
    elif (df, dr) in JUMPS:
        kind = 56 + JUMPS.index((df, dr))
    else:
        distance = max(abs(df), abs(dr))
        kind = 7 * COMPASS.index((df // distance, dr // distance)) + distance - 1
    return 73 * move.from_square + kind


INDEX = {"lc0": lc0_index, "az": az_index}
SIZE = {"lc0": 1858, "az": 4672}


def legal_mask(board, scheme):
    """The legal-move mask of a python-chess board in the scheme."""
    mask = np.zeros(SIZE[scheme], bool)
    mask[[INDEX[scheme](board, move) for move in board.legal_moves]] = True
    return mask
