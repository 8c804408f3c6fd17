"""Seeded random games played by the pure-Python chess library, the oracle of the notation tests,
shared by the test modules that write or read game files."""

import random

import chess
import chess.pgn


def random_games(seed, count, max_plies=200):
    """Yields seeded random games as (python-chess board at the start, list of moves)."""
    rng = random.Random(seed)
    for _ in range(count):
        board = chess.Board()
        moves = []
        for _ in range(rng.randint(1, max_plies)):
            legal = list(board.legal_moves)
            if not legal:
                break
            # Captures and pawn moves now and then more often: promotions and en passant come up.
            favoured = [m for m in legal if board.is_capture(m) or board.piece_type_at(m.from_square) == chess.PAWN]
            move = rng.choice(favoured if favoured and rng.random() < 0.3 else legal)
            moves.append(move)
            board.push(move)
        yield chess.Board(), moves


def annotated_games(seed, count):
    """Returns python-chess games of seeded random moves with comments, NAGs and variations,
    some from a FEN position."""
    rng = random.Random(seed)
    games = []
    for index, (start, moves) in enumerate(random_games(seed, count, max_plies=120)):
        if index % 5 == 4 and len(moves) > 10:
            # A game from a position reached in another one, with its FEN tag.
            for move in moves[:10]:
                start.push(move)
            moves = moves[10:]
        game = chess.pgn.Game()
        game.setup(start)
        game.headers["Event"] = f"Seeded game {index}"
        game.headers["White"] = 'Ana "The Rook" Ruiz \\ Léa'  # escapes and UTF-8
        node, board = game, start.copy()
        for move in moves:
            main = node.add_variation(move, nags=[1] if rng.random() < 0.1 else [])
            others = [m for m in board.legal_moves if m != move]
            if others and rng.random() < 0.15:
                line = node.add_variation(rng.choice(others), comment="a variation", nags=[rng.randint(1, 6)])
                if rng.random() < 0.5:
                    line.add_variation(next(iter(line.board().legal_moves), chess.Move.null()))
            node = main
            if rng.random() < 0.1:
                node.comment = "[%clk 0:03:00] a comment; with ) and ("
            board.push(move)
        game.headers["Result"] = board.result() if board.is_game_over() else rng.choice(["1-0", "0-1", "1/2-1/2", "*"])
        games.append(game)
    return games


def random_positions(seed, count):
    """Returns `count` python-chess boards: the positions of seeded random games, every ply of each,
    so both sides to move, castling, en passant and promotions among them."""
    boards = []
    for start, moves in random_games(seed, count):
        for move in moves:
            boards.append(start.copy(stack=False))
            start.push(move)
            if len(boards) == count:
                return boards
    return boards
