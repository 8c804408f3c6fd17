"""Benchmarks vorel_tools' SAN and PGN reading against the pure-Python peer (the `chess` package)
doing the same work. Prints one table of medians of interleaved repeated runs.

    python bench/bench_notation.py [--rounds 7] [--games 200]

The game files are made here from seeded games: a plain one (tags, move numbers and moves, as
game databases are) and an annotated one (a clock comment after every move, NAGs and
variations, as online-play exports are). Both readers read the same file from disk and return
the main line of every game as move texts.
"""

import argparse
import random
import tempfile
from pathlib import Path

import chess
import chess.pgn
import vorel_chess
import vorel_tools
from harness import BATCH_SECONDS, Table, compare, print_header, print_missed
from perft_table import known_positions

# Positions for the SAN rows: the known perft positions and one full of checks and captures.
SAN_POSITIONS = [(name, fen) for name, fen, _ in known_positions()] + [
    ("checks", "r1b1k2r/ppp2ppp/2n5/3qp3/1b1P4/2N1BN2/PP2QPPP/R3KB1R w KQkq -")
]


def seeded_games(count, annotated, seed=11):
    """Returns the text of `count` seeded games of 20 to 160 plies that prefer captures and checks
    a little, written by the peer's exporter."""
    rng = random.Random(seed)
    games = []
    for index in range(count):
        board, game = chess.Board(), chess.pgn.Game()
        game.headers.update(
            Event="Seeded benchmark", Site="?", Round=str(index + 1), White=f"White {index}", Black=f"Black {index}"
        )
        game.headers.update(WhiteElo=str(rng.randint(1200, 2800)), BlackElo=str(rng.randint(1200, 2800)), ECO="C42")
        node = game
        for _ in range(rng.randint(20, 160)):
            legal = list(board.legal_moves)
            if not legal:
                break
            sharp = [m for m in legal if board.is_capture(m) or board.gives_check(m)]
            move = rng.choice(sharp if sharp and rng.random() < 0.4 else legal)
            child = node.add_variation(move)
            if annotated:
                child.comment = f"[%clk 0:{rng.randint(0, 9):02d}:{rng.randint(0, 59):02d}]"
                if rng.random() < 0.05:
                    child.nags.add(rng.randint(1, 6))
                if rng.random() < 0.03 and len(legal) > 1:
                    side = node.add_variation(rng.choice([m for m in legal if m != move]), comment="or")
                    side.add_variation(next(iter(side.board().legal_moves), chess.Move.null()))
            node = child
            board.push(move)
        game.headers["Result"] = board.result() if board.is_game_over() else rng.choice(["1-0", "0-1", "1/2-1/2"])
        games.append(str(game))
    return "\n\n".join(games) + "\n"


def ours_read(path):
    return [game.moves for game in vorel_tools.read_pgn(path)]


def peer_read(path):
    lines = []
    with open(path, encoding="utf-8") as file:
        while (game := chess.pgn.read_game(file)) is not None:
            lines.append([move.uci() for move in game.mainline_moves()])
    return lines


def ratio_row(table, name, ours, peer, ratio, target=None):
    """Adds a row whose ratio is the peer's time over ours; a target is that many times the peer."""
    verdict = {} if target is None else {"target": f"≥{target}× peer", "met": ratio >= target}
    table.row(name, ours, peer, f"{ratio:.1f}×", **verdict)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds per measurement")
    parser.add_argument("--games", type=int, default=200, help="games in each benchmark file")
    args = parser.parse_args()
    print_header(["chess"], args.rounds)
    table = Table("benchmark", "vorel_tools", "peer", "ratio", "target met")
    table.section("reading a PGN file to main-line move texts: k moves/s; peer = chess.pgn.read_game loop")
    with tempfile.TemporaryDirectory() as directory:
        for kind, annotated in (("plain", False), ("annotated", True)):
            path = Path(directory) / f"{kind}.pgn"
            path.write_text(seeded_games(args.games, annotated), encoding="utf-8")
            expected = peer_read(path)
            assert ours_read(path) == expected, kind
            moves = sum(map(len, expected))
            ours, peer = compare([lambda path=path: ours_read(path), lambda path=path: peer_read(path)], args.rounds)
            size = path.stat().st_size / 2**20
            ratio_row(
                table,
                f"{kind}: {args.games} games, {moves} moves, {size:.1f} MiB",
                f"{moves / ours / 1e3:.0f}",
                f"{moves / peer / 1e3:.1f}",
                peer / ours,
                50,
            )

    table.section("san(board, moves) of every legal move vs the peer's Board.san() loop: µs per position")
    generator = vorel_chess.MoveGenerator()
    for name, fen in SAN_POSITIONS:
        board, peer_board = vorel_chess.Board(fen), chess.Board(fen)
        texts = generator(board)
        peer_moves = [chess.Move.from_uci(text) for text in texts]
        assert vorel_tools.san(board, texts) == [peer_board.san(m) for m in peer_moves], name
        ours, peer = compare(
            [
                lambda board=board, texts=texts: vorel_tools.san(board, texts),
                lambda b=peer_board, moves=peer_moves: [b.san(m) for m in moves],
            ],
            args.rounds,
            BATCH_SECONDS,
        )
        ratio_row(
            table, f"{name} ({len(texts)} moves)", f"{ours * 1e6:.2f} µs", f"{peer * 1e6:.1f} µs", peer / ours, 20
        )

    table.section("parse_san(board, text) of every legal move's SAN vs Board.parse_san(): µs per position (no target)")
    for name, fen in SAN_POSITIONS:
        board, peer_board = vorel_chess.Board(fen), chess.Board(fen)
        sans = vorel_tools.san(board, generator(board))
        assert [vorel_tools.parse_san(board, s) for s in sans] == [peer_board.parse_san(s).uci() for s in sans]
        ours, peer = compare(
            [
                lambda board=board, sans=sans: [vorel_tools.parse_san(board, s) for s in sans],
                lambda b=peer_board, sans=sans: [b.parse_san(s) for s in sans],
            ],
            args.rounds,
            BATCH_SECONDS,
        )
        ratio_row(table, f"{name} ({len(sans)} moves)", f"{ours * 1e6:.1f} µs", f"{peer * 1e6:.1f} µs", peer / ours)

    table.print()
    print_missed(table)


if __name__ == "__main__":
    main()
