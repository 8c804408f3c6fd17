"""Seeded random games played by the pure-Python chess library, the oracle of the notation tests,
shared by the test modules that write or read game files."""

import io
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


# --- Game texts with clock and evaluation comments, written here and read by both libraries ---

# Between tokens of the move text: no empty line (the oracle ends a game there) and no line that
# starts with "%", ";" or "[".
SEPARATORS = [" "] * 6 + ["  ", "\n", "\t", " \n  "]
# Inside comments: lines are joined into the comment, and a tag line never starts.
COMMENT_SEPARATORS = [" "] * 4 + ["  ", "\n", "\t", "\n "]
WORDS = ["a comment", "(not a variation)", "[%csl Ga1]", "[%clk", "[%eval", "0:00:05]", "1.5]", "x]", "[%", "Léa"]


def clock_annotation(rng):
    """A [%clk] as exports write it, or now and then in a form the oracle reads otherwise or not."""
    hours, minutes, seconds = rng.randint(0, 2), f"{rng.randint(0, 59):02d}", f"{rng.randint(0, 59):02d}"
    if rng.random() < 0.8:
        return f"[%clk {hours}:{minutes}:{seconds}]"
    seconds = rng.choice([seconds, f"{seconds}.{rng.randint(0, 999)}", f"{seconds}.", str(rng.randint(0, 9))])
    hours = rng.choice([hours, "00", "1234", "7" * 18])
    space = rng.choice([" ", " ", "\t", "\u00a0", "\u2003", "\x1c", "  ", "\n"])
    text = f"[%clk{space}{hours}:{rng.choice([minutes, '5'])}:{seconds}]"
    return text if rng.random() < 0.8 else rng.choice([text.upper(), text[:-1] + " ]", text.replace(":", "", 1)])


def eval_annotation(rng):
    """A [%eval] in pawns with two decimals, or a mate; now and then with one decimal or none, a
    point with none, none before it, a sign, a depth, or in a form the oracle does not read."""
    if rng.random() < 0.7:
        return f"[%eval {rng.randint(-900, 900) / 100:.2f}]" if rng.random() < 0.9 else f"[%eval #{rng.randint(-9, 9)}]"
    sign = rng.choice(["", "", "-", "+"])
    if rng.random() < 0.25:
        value = f"#{sign}{rng.choice([0, 1, 2, 7, 40000, 10**20])}"
    else:
        whole = rng.choice(["0", str(rng.randint(0, 30)), "", "9999999999", "12345678901"])
        value = sign + rng.choice([f"{whole}.{rng.randint(0, 99):02d}", f"{whole}.{rng.randint(0, 9)}", f"{whole}."])
        value += rng.choice(["", "", "", "7"])  # a third decimal: no annotation at all
    depth = rng.choice(["", "", f",{rng.randint(1, 40)}", ",", ",x"])
    return f"[%eval{rng.choice([' '] * 9 + ['  '])}{value}{depth}]"


def comment_texts(rng):
    """The comments after one move: mostly an evaluation and a clock, now and then other words, a
    comment over lines, several comments, or one split anywhere (even inside an annotation), with
    or without the usual spaces."""
    parts = [eval_annotation(rng)] if rng.random() < 0.4 else []
    parts += [clock_annotation(rng) for _ in range(rng.choice([0] + [1] * 8 + [2]))]
    if rng.random() < 0.15:
        parts += rng.sample(WORDS, rng.choice([1, 2]))
        rng.shuffle(parts)
    if not parts:
        return []
    separators = COMMENT_SEPARATORS if rng.random() < 0.2 else [" "]
    text = "".join(part + rng.choice(separators) for part in parts).rstrip(" \t\n")
    cuts = sorted(rng.sample(range(1, len(text)), min(len(text) - 1, rng.choice([1, 2])))) if rng.random() < 0.1 else []
    pieces = [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)], strict=True)]
    if rng.random() < 0.03:
        pieces.append("")
    if rng.random() < 0.9:
        return [f"{{ {piece} }}" for piece in pieces]
    return [rng.choice(["{ ", "{", "{  "]) + piece + rng.choice([" }", "}", "  }"]) for piece in pieces]


def variation(rng, board, depth=0):
    """A variation that replaces the last move of `board` (which it leaves as it found), with moves,
    comments, NAGs and now and then a null move or a variation of its own."""
    move = board.pop()
    line, tokens = board.copy(), ["("]
    alternatives = [m for m in line.legal_moves if m != move] or [move]
    for ply in range(rng.randint(1, 4)):
        legal = list(line.legal_moves)
        if not legal:
            break
        choice = rng.choice(alternatives) if ply == 0 else rng.choice(legal)
        if ply == 1 and rng.random() < 0.1:
            choice = chess.Move.null()
        tokens.append(f"{line.fullmove_number % 1000}{'.' if line.turn else '...'}")
        tokens.append(line.san(choice))
        if rng.random() < 0.2:
            tokens.append(rng.choice(["$2", "!?", "{ [%clk 0:00:01] in a variation }"]))
        line.push(choice)
        if depth == 0 and rng.random() < 0.15:
            tokens += variation(rng, line, depth + 1)
    board.push(move)
    return [*tokens, ")"]


def annotated_texts(seed, count):
    """Returns the texts of seeded random games as online exports write them, each ending in a line
    end: a clock and often an evaluation in the comments after every move, with variations, NAGs,
    several comments after one move, comments over lines and odd spacing. Some start from a FEN tag
    (with its move counters); some end without a result. Each is one game for both libraries."""
    rng = random.Random(seed)
    texts = []
    for index, (start, moves) in enumerate(random_games(seed, count, max_plies=90)):
        tags = [("Event", f"Annotated {index}"), ("White", rng.choice(["Ana", 'Ana \\"The Rook\\"', "Léa"]))]
        for name in ("WhiteElo", "BlackElo"):
            if rng.random() < 0.9:
                tags.append(
                    (name, rng.choice([str(rng.randint(600, 3000))] * 6 + ["?", "", "-5", "9" * 11, "２０００"]))
                )
        if len(moves) > 12 and rng.random() < 0.25:
            for move in moves[:8]:
                start.push(move)
            moves = moves[8:]
            fen = start.fen()
            if rng.random() < 0.3:  # counters the oracle reads too, though no game reaches them
                odd = ["0 0", "+3 +12", "70000 65535", "4294967295 4294967295", "4294967296 " + "9" * 20]
                fen = fen.rsplit(" ", 2)[0] + " " + rng.choice(odd)
                start.set_fen(fen)
            tags += [("SetUp", "1"), ("FEN", fen)]
        board, tokens = start.copy(), []
        if rng.random() < 0.1:
            tokens.append("{ a comment before the first move [%clk 0:00:09] }")
        for ply, move in enumerate(moves):
            if board.turn or ply == 0 or rng.random() < 0.3:
                # Cut short: the oracle reads "0000" in "10000." as a null move.
                number = f"{board.fullmove_number % 1000}{'.' if board.turn else '...'}"
                tokens.append(number if rng.random() < 0.9 else number + board.san(move))
                if not tokens[-1].endswith("."):
                    board.push(move)
                    tokens += comment_texts(rng)
                    continue
            tokens.append(board.san(move) + rng.choice([""] * 12 + ["!", "?!", " $1", " $14"]))
            board.push(move)
            tokens += comment_texts(rng)
            if rng.random() < 0.1:
                tokens += variation(rng, board)
                tokens += comment_texts(rng) if rng.random() < 0.3 else []
        result = board.result() if board.is_game_over() else rng.choice(["1-0", "0-1", "1/2-1/2", "*"])
        if rng.random() < 0.9:
            tokens.append(result)
            tag = rng.choice([result, result, "*", None])
        else:
            tag = rng.choice(["1-0", "0-1", "1/2-1/2", "*", None])
        if tag is not None:
            tags.insert(1, ("Result", tag))
        movetext = "".join(token + rng.choice(SEPARATORS) for token in tokens).rstrip()
        texts.append("".join(f'[{name} "{value}"]\n' for name, value in tags) + "\n" + movetext + "\n")
    return texts


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


def played_games_text(seed, count):
    """Returns the PGN text of the seeded random games as the pure-Python library writes them."""
    games = []
    for start, moves in random_games(seed, count):
        game = chess.pgn.Game.from_board(start)
        node = game
        for move in moves:
            node = node.add_variation(move)
        games.append(game)
    return pgn_text(games)


def pgn_text(games):
    """Returns the games written one after another, as a PGN file holds them."""
    return "\n\n".join(str(game) for game in games) + "\n"


def records(games):
    """Returns (tags, fen, moves, result) of each PgnGame."""
    return [(game.tags, game.fen, game.moves, game.result) for game in games]


class Trickle(io.RawIOBase):
    """A binary file that hands out a few bytes per read(), so chunks end anywhere."""

    def __init__(self, data, step):
        self.data, self.position, self.step = data, 0, step

    def readable(self):
        return True

    def read(self, size=-1):
        piece = self.data[self.position : self.position + self.step]
        self.position += len(piece)
        return piece
