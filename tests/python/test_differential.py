"""Legal moves compared with the independent `chess` package over seeded random games.

The games are biased toward castling, en passant, promotions and checks, and every move is
played on our board with push as well, so the board's own castling and en passant state is
compared, not only what a FEN says. Each position is also read afresh from the peer's FEN.
"""

import random
from collections import Counter

import chess
import pytest
import vorel_chess

GAMES = 12
PLIES = 70

# Starting points with castling both ways, en passant pins, promotions and open kings.
OPENINGS = {
    "start": chess.STARTING_FEN,
    "kiwipete": "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "rook-ending": "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "promotions": "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "tactical": "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "pawns": "k7/1p1p1p2/8/2P1P3/8/8/1P1P1P2/7K b - - 0 1",
    "rooks-only": "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
}


def pick(rng, peer):
    legal = list(peer.legal_moves)
    special = [move for move in legal if move.promotion or peer.is_castling(move) or peer.is_en_passant(move)]
    if special and rng.random() < 0.8:
        return rng.choice(special)
    # Double steps are what make en passant possible at all.
    doubles = [
        move
        for move in legal
        if peer.piece_type_at(move.from_square) == chess.PAWN and abs(move.to_square - move.from_square) == 16
    ]
    if doubles and rng.random() < 0.4:
        return rng.choice(doubles)
    if rng.random() < 0.3:
        checks = [move for move in legal if peer.gives_check(move)]
        if checks:
            return rng.choice(checks)
    return rng.choice(legal)


def kinds(peer):
    seen = set()
    for move in peer.legal_moves:
        if move.promotion:
            seen.add("promotion")
        if peer.is_castling(move):
            seen.add("castling")
        if peer.is_en_passant(move):
            seen.add("en passant")
    if peer.is_check():
        seen.add("check")
    if not any(peer.legal_moves):
        seen.add("no move")
    return seen


@pytest.mark.parametrize("name", OPENINGS)
def test_random_games(generator, name):
    rng = random.Random(name)
    coverage = Counter()
    for _ in range(GAMES):
        peer = chess.Board(OPENINGS[name])
        board = vorel_chess.Board(OPENINGS[name])
        for _ in range(PLIES):
            expected = sorted(move.uci() for move in peer.legal_moves)
            # Sorted lists rather than sets, so a move listed twice is caught as well.
            assert sorted(generator(board)) == expected, (peer.fen(), board.fen())
            fresh = vorel_chess.Board(peer.fen(en_passant="fen"))
            assert sorted(generator(fresh)) == expected, peer.fen()
            coverage.update(kinds(peer))
            coverage["positions"] += 1
            if not expected:
                break
            move = pick(rng, peer)
            peer.push(move)
            board.push(move.uci())
    # Guard against the sample drifting away from the moves it is meant to exercise.
    assert coverage["positions"] >= 300
    assert coverage["check"] >= 20
    assert coverage["castling"] + coverage["en passant"] + coverage["promotion"] >= 20
