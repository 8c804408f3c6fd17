"""Reads a few positions from FEN and writes them back."""

import vorel_chess

POSITIONS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w qkKQ f6 0 3",
]

for fen in POSITIONS:
    board = vorel_chess.Board(fen)
    print(f"read:    {fen}")
    print(f"written: {board.fen()}  ({board.turn()} to move)")
