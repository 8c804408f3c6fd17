"""The known perft positions of examples/data/perft.txt, and a perft through the Python API, for
the tests and the benchmark (the perft example keeps its own copy, for readers to take whole).

The data file holds one position a line, `name; FEN; counts`, the counts being the leaves of
the legal-move tree at depth 1, 2, ...; lines starting with "#" are comments.
"""

from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / "examples" / "data" / "perft.txt"


def known_positions(path=DATA):
    """Returns (name, FEN, [leaf count at depth 1, 2, ...]) for every position of the data file."""
    positions = []
    for line in path.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, fen, counts = (field.strip() for field in line.split(";"))
            positions.append((name, fen, [int(count) for count in counts.split()]))
    return positions


def deepest(counts, most_nodes):
    """Returns (depth, count) of the deepest count that is at most most_nodes."""
    return max((depth, count) for depth, count in enumerate(counts, 1) if count <= most_nodes)


def perft(generator, board, depth):
    """Returns the number of leaves `depth` plies below the board (depth >= 1), through push, the
    generator and pop; the board is left as it was."""
    moves = generator(board)
    if depth == 1:
        return len(moves)
    nodes = 0
    for move in moves:
        board.push(move)
        nodes += perft(generator, board, depth - 1)
        board.pop()
    return nodes
