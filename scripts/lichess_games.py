"""Writes seeded games in the format of the monthly lichess database files: the 17 tags lichess
writes, the whole move text on one line, a clock comment after every move, and an evaluation
before the clock in the games that were analysed (mates included). The games are played at random
by the pure-Python chess library, preferring captures and checks a little, and end after 20 to 160
plies or at checkmate or stalemate.

    python scripts/lichess_games.py --games 2000 --seed 1 --out games.pgn [--zst]

The benchmark and the tests import `lichess_games()`; the command line writes a file.
"""

import argparse
import random
import sys
from pathlib import Path

import chess

OPENINGS = [("C20", "King's Pawn Game"), ("B01", "Scandinavian Defense"), ("D02", "Queen's Pawn Game: London System")]
EVENTS = ["Rated Blitz game", "Rated Bullet game", "Rated Rapid game", "Rated Classical game"]
CONTROLS = {"Rated Blitz game": (180, 2), "Rated Bullet game": (60, 0), "Rated Rapid game": (600, 5)}


def clock_text(seconds):
    seconds = max(0, int(seconds))
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def eval_text(rng, centipawns, board):
    """An evaluation as lichess writes it: pawns with up to two decimals, or a mate in n moves
    (negative when Black mates)."""
    if board.is_checkmate():
        return None
    if abs(centipawns) > 900 and rng.random() < 0.5:
        moves = rng.randint(1, 9)
        return f"#{moves if centipawns > 0 else -moves}"
    return f"{centipawns / 100:.2f}".rstrip("0").rstrip(".") if rng.random() < 0.3 else f"{centipawns / 100:.2f}"


def one_game(rng, index):
    board = chess.Board()
    event = rng.choice(EVENTS)
    base, increment = CONTROLS.get(event, (1800, 20))
    analysed = rng.random() < 0.15
    clocks = [float(base), float(base)]
    centipawns = rng.randint(-30, 50)
    parts = []
    for ply in range(rng.randint(20, 160)):
        legal = list(board.legal_moves)
        if not legal:
            break
        sharp = [m for m in legal if board.is_capture(m) or board.gives_check(m)]
        move = rng.choice(sharp if sharp and rng.random() < 0.4 else legal)
        san = board.san(move)
        board.push(move)
        side = ply % 2
        clocks[side] = max(0.0, clocks[side] - rng.uniform(0, 8) + increment)
        number = f"{ply // 2 + 1}." if side == 0 else f"{ply // 2 + 1}..."
        comment = f"[%clk {clock_text(clocks[side])}]"
        if analysed:
            centipawns = max(-2000, min(2000, centipawns + rng.randint(-120, 120)))
            evaluation = eval_text(rng, centipawns, board)
            if evaluation is not None:
                comment = f"[%eval {evaluation}] {comment}"
        parts.append(f"{number} {san} {{ {comment} }}")
    if board.is_checkmate():
        result = "0-1" if board.turn == chess.WHITE else "1-0"
    elif board.is_stalemate():
        result = "1/2-1/2"
    else:
        result = rng.choice(["1-0", "0-1", "1/2-1/2"])
    eco, opening = rng.choice(OPENINGS)
    white_elo, black_elo = rng.randint(800, 2900), rng.randint(800, 2900)
    tags = [
        ("Event", event),
        ("Site", f"https://lichess.org/{index:08x}"),
        ("Date", "2025.01.01"),
        ("Round", "-"),
        ("White", f"player{rng.randint(1, 10**6)}"),
        ("Black", f"player{rng.randint(1, 10**6)}"),
        ("Result", result),
        ("UTCDate", "2025.01.01"),
        ("UTCTime", f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}"),
        ("WhiteElo", str(white_elo)),
        ("BlackElo", str(black_elo) if rng.random() > 0.01 else "?"),
        ("WhiteRatingDiff", f"{rng.randint(-9, 9):+d}"),
        ("BlackRatingDiff", f"{rng.randint(-9, 9):+d}"),
        ("ECO", eco),
        ("Opening", opening),
        ("TimeControl", f"{base}+{increment}"),
        ("Termination", "Normal" if rng.random() < 0.9 else "Time forfeit"),
    ]
    header = "".join(f'[{name} "{value}"]\n' for name, value in tags)
    return f"{header}\n{' '.join(parts)} {result}\n"


def lichess_games(count, seed=1):
    """Returns the texts of `count` seeded games, each ending in a line feed."""
    rng = random.Random(seed)
    return [one_game(rng, index) for index in range(count)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--zst", action="store_true", help="compress the file with zstd as well (OUT.zst)")
    options = parser.parse_args(argv)
    text = "\n".join(lichess_games(options.games, options.seed)).encode()
    options.out.write_bytes(text)
    if options.zst:
        import zstandard

        options.out.with_name(options.out.name + ".zst").write_bytes(zstandard.ZstdCompressor(level=10).compress(text))
    return 0


if __name__ == "__main__":
    sys.exit(main())
