"""Reads a dataset that vorel-dataset built, as a training loop would.

    vorel-dataset examples/data/sample.pgn.zst --out build/demo-dataset
    python examples/planes_dataset.py build/demo-dataset

The dataset stores each position's 12 piece bitboards (96 bytes); the planes a network takes
(12 x 64 bytes) are made from them a batch at a time, which costs less than reading them.
"""

import sys

import numpy as np
import vorel_tools
from vorel_tools import dataset


def main(path):
    ds = dataset.open(path)
    print(f"{ds}: columns {', '.join(ds.columns)}")

    # A shuffled batch, as a data loader draws it: a dict of arrays.
    rows = np.random.default_rng(0).permutation(len(ds))[:256]
    batch = ds[rows]
    planes = vorel_tools.planes(batch["bitboards"])  # uint8 (256, 12, 64)
    policy = vorel_tools.move_index(batch["move"], batch["white_to_move"], scheme="lc0")
    print(f"batch: planes {planes.shape}, policy targets {policy[:8].tolist()}, results {batch['result'][:8].tolist()}")

    # One position, and one whole game.
    first = ds[0]
    print(f"position 0: move {vorel_tools.move_texts([first['move']])[0]}, legal {len(first['legal_moves'])} moves")
    game = ds.game(int(batch["game"][0]))
    moves = " ".join(vorel_tools.move_texts(game["move"][:10]))
    print(f"game {int(batch['game'][0])}: {len(game['move'])} plies, opening {moves}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/demo-dataset"))
