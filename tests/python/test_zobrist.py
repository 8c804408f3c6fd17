"""zobrist(): the Polyglot key, against the pure-Python chess library's zobrist_hash on seeded game
positions, en passant and castling cases, odd placements and a GameBatch's positions."""

import io
import re
from pathlib import Path

import chess
import chess.pgn
import chess.polyglot
import numpy as np
import pytest
import vorel_tools as vt
from games import played_games_text, random_games, random_positions
from vorel_chess import Board

HEADER = Path(__file__).resolve().parents[2] / "src" / "encoding" / "polyglot_random.hpp"


def peer_keys(fens):
    return [chess.polyglot.zobrist_hash(chess.Board(fen)) for fen in fens]


def test_the_generated_table_is_the_library_s():
    numbers = [int(text, 16) for text in re.findall(r"0x([0-9A-F]{16})ULL", HEADER.read_text())]
    assert numbers == chess.polyglot.POLYGLOT_RANDOM_ARRAY


def test_game_positions():
    fens = [board.fen(en_passant="fen") for board in random_positions(77, 4000)]
    boards = [Board(fen) for fen in fens[:1000]]
    keys = vt.zobrist([*boards, *fens[1000:]], threads=2)
    assert keys.dtype == np.uint64 and keys.tolist() == peer_keys(fens)
    assert sum(" - " not in fen for fen in fens) > 100  # en-passant files among them


@pytest.mark.parametrize(
    "fen",
    [
        # The d-pawn just advanced and a white pawn stands beside it: the file is hashed.
        "rnbqkbnr/ppp1pppp/8/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6",
        # No pawn beside the one that advanced: the file is not hashed.
        "rnbqkbnr/ppp1pppp/8/3p4/4P3/8/PPPP1PPP/RNBQKBNR w KQkq d6",
        # The capture would expose the king along the fifth rank: hashed all the same, as only the
        # pawn's presence counts.
        "8/8/8/K2pP2r/8/8/8/7k w - d6",
        # A pinned capturer on the diagonal, Black to move.
        "4k3/8/8/8/4pP2/8/8/2B1K3 b - f3",
        # Rights without their rook or king: not hashed.
        "4k3/8/8/8/8/8/8/R3K3 w KQkq -",
        "r3k2r/8/8/8/8/8/8/R2K3R b KQkq -",
    ],
)
def test_en_passant_and_castling_cases(fen):
    assert vt.zobrist([fen]).tolist() == peer_keys([fen])


def test_odd_placements():
    # Pawns on the back ranks, several kings, rights and files anywhere.
    rng = np.random.default_rng(5)
    fens = []
    for _ in range(1500):
        squares = rng.choice(list("PNBRQKpnbrqk1"), 64, p=[0.02] * 12 + [0.76])
        ranks = ["".join(squares[r * 8 : r * 8 + 8]) for r in range(7, -1, -1)]
        castling = "".join(c for c in "KQkq" if rng.random() < 0.5) or "-"
        side = rng.choice(["w", "b"])
        target = rng.choice(list("abcdefgh")) + ("6" if side == "w" else "3") if rng.random() < 0.4 else "-"
        fens.append(Board(f"{'/'.join(ranks)} {side} {castling} {target}").fen())
    assert vt.zobrist(fens).tolist() == peer_keys(fens)


def test_game_batch_keys():
    batch = next(vt.read_games(io.StringIO(played_games_text(31, 20))))
    expected = []
    for start, moves in random_games(31, 20):
        for move in moves:
            expected.append(chess.polyglot.zobrist_hash(start))
            start.push(move)
    assert batch.zobrist().tolist() == expected
    assert vt.zobrist(batch).tolist() == expected


def test_pieces_sharing_a_square_each_count_in_their_own_colour():
    # Two pieces on one square (pushes of moves that are not legal, or a GameBatch written over):
    # each counts with the entry of its own bitboard. A knight, bishop or queen of either colour is
    # put on an occupied square of each game position; rights and files do not look at those.
    games = []
    for start, moves in random_games(41, 12):
        game = chess.pgn.Game.from_board(start)
        node = game
        for move in moves:
            node = node.add_variation(move)
        games.append(str(game))
    batch = next(vt.read_games(io.StringIO("\n\n".join(games))))
    before = batch.zobrist()
    rng = np.random.default_rng(41)
    expected = []
    for row, key in enumerate(before.tolist()):
        piece = int(rng.choice([1, 2, 4, 7, 8, 10]))  # N B Q n b q: their index in the bitboards
        others = int(np.bitwise_or.reduce(batch.bitboards[row])) & ~int(batch.bitboards[row, piece])
        square = int(rng.choice([square for square in range(64) if others >> square & 1]))
        batch.bitboards[row, piece] |= np.uint64(1 << square)
        kind = 2 * (piece % 6) + (piece < 6)  # Polyglot's: black pawn 0, white pawn 1, ...
        expected.append(key ^ chess.polyglot.POLYGLOT_RANDOM_ARRAY[64 * kind + square])
    assert vt.zobrist(batch).tolist() == expected
    assert vt.zobrist(batch, threads=2).tolist() == expected
