"""The arrays of a shard of the dataset example (examples/planes_dataset.py) built line by line
through vorel_chess, as the example built them before vorel_tools: the oracle of the example's
test and the baseline of its benchmark.
"""

import itertools

import numpy as np
from vorel_chess import Board


def reference_arrays(fens, generator):
    """The arrays of a shard of valid positions as the example built them before vorel_tools, line
    by line through vorel_chess (also the benchmark's baseline)."""
    planes, white_to_move, texts, moves, counts = [], [], [], [], []
    for fen in fens:
        board = Board(fen)
        legal = generator(board)
        planes.append(bytes(itertools.chain.from_iterable(board.bitboard())))
        white_to_move.append(board.turn() == "white")
        texts.append(board.fen())
        moves.extend(legal)
        counts.append(len(legal))
    return {
        "planes": np.frombuffer(b"".join(planes), dtype=np.uint8).reshape(-1, 12, 64),
        "white_to_move": np.array(white_to_move, dtype=bool),
        "fen": np.array(texts, dtype=bytes),
        "moves": np.array(moves, dtype="S5"),
        "move_offsets": np.concatenate(([0], np.cumsum(counts, dtype=np.int64))),
    }
