"""Benchmarks vorel_tools.read_games (PGN game files to arrays) against a compiled PGN-to-arrays
reader for Python (rust_pgn_reader_python_binding) and a pure-Python loop over the `chess`
package producing the same arrays. Prints one table of medians of interleaved rounds.

    python bench/bench_games.py [--rounds 5] [--games 5000] [--python-games 250]

The games are lichess-format games written by scripts/lichess_games.py (the 17 tags, a clock
comment after every move, evaluations in some games), cached in build/bench-data/ with the same
file compressed by zstandard. read_games reads the file from its path; the peer cannot read a
file, so it is given the same games split into one text per game in an Arrow chunked array (the
split is not timed). Before timing, the outputs are checked to agree: the same games and moves,
and sampled positions' pieces, side to move, castling, en passant, clock and evaluation equal to
the `chess` package's, the peer's boards and legal-move counts equal to ours.

How each counts positions: read_games gives a row per position before each main-line move (as
many as the moves); the peer records the final position of each game too (moves + games); the
`chess` loop gives read_games' rows.
"""

import argparse
import io
import math
import re

import chess
import chess.pgn
import numpy as np
import pyarrow as pa
import rust_pgn_reader_python_binding as peer
import vorel_tools
from harness import ROOT, Table, compare, print_header, print_missed
from lichess_games import main as write_games

DATA = ROOT / "build" / "bench-data"
# The piece order of read_games' bitboards: white pawn to king, then black's.
PIECES = [(kind, color) for color in (chess.WHITE, chess.BLACK) for kind in chess.PIECE_TYPES]
# The peer's board codes: 0 empty, then PIECES' order from 1.
CASTLING = [(1, chess.BB_H1), (2, chess.BB_A1), (4, chess.BB_H8), (8, chess.BB_A8)]


def game_files(games, seed=1):
    """Returns the paths of the cached .pgn file of `games` lichess-format games and of its .pgn.zst
    copy, writing both first when missing."""
    path = DATA / f"lichess-{games}-seed{seed}.pgn"
    zst = path.with_name(path.name + ".zst")
    if not (path.exists() and zst.exists()):
        DATA.mkdir(parents=True, exist_ok=True)
        print(f"writing {games} games to {path} (once; cached)", flush=True)
        write_games(["--games", str(games), "--seed", str(seed), "--out", str(path), "--zst"])
    return path, zst


def split_games(text):
    """The game texts of a file that scripts/lichess_games.py wrote: each starts with its Event tag."""
    return re.split(r"\n\n(?=\[Event )", text)


def read_all(source, **options):
    """Every batch of read_games, read to the end; what the timing runs."""
    return list(vorel_tools.read_games(source, **options))


def concatenated(batches):
    """The arrays of all the batches as one batch would hold them, as a dict."""
    names = ["bitboards", "white_to_move", "castling", "en_passant", "halfmove_clock", "move", "clock", "eval", "mate"]
    arrays = {name: np.concatenate([getattr(batch, name) for batch in batches]) for name in names}
    sizes = np.concatenate([np.diff(batch.offsets) for batch in batches])
    arrays["offsets"] = np.concatenate(([0], np.cumsum(sizes)))
    if batches[0].legal_offsets is not None:
        arrays["legal_counts"] = np.concatenate([np.diff(batch.legal_offsets) for batch in batches])
    arrays["errors"] = [error for batch in batches for error in batch.error]
    return arrays


def move_word(board, move):
    """read_games' word of a move of the `chess` package: origin, destination << 6, special << 12
    (1 en passant, 2 double pawn step, 3 castling, 4-7 promotion to knight, bishop, rook, queen)."""
    special = 0
    if move.promotion:
        special = 2 + move.promotion
    elif board.is_castling(move):
        special = 3
    elif board.is_en_passant(move):
        special = 1
    elif board.piece_type_at(move.from_square) == chess.PAWN and abs(move.to_square - move.from_square) == 16:
        special = 2
    return move.from_square | move.to_square << 6 | special << 12


def chess_loop(text):
    """The pure-Python peer: read_games' arrays from a `chess.pgn.read_game` loop over the main
    lines (bitboards, side to move, castling, en passant, half-move clock, move word, clock and
    evaluation of every position before a move)."""
    rows = {name: [] for name in ("bitboards", "white_to_move", "castling", "en_passant", "halfmove_clock", "move")}
    clocks, evals, mates, sizes = [], [], [], []
    stream = io.StringIO(text)
    while (game := chess.pgn.read_game(stream)) is not None:
        board = game.board()
        count = 0
        for node in game.mainline():
            rows["bitboards"].append([board.pieces_mask(kind, color) for kind, color in PIECES])
            rows["white_to_move"].append(board.turn)
            rows["castling"].append(sum(bit for bit, corner in CASTLING if board.castling_rights & corner))
            rows["en_passant"].append(-1 if board.ep_square is None else chess.square_file(board.ep_square))
            rows["halfmove_clock"].append(board.halfmove_clock)
            rows["move"].append(move_word(board, node.move))
            clock = node.clock()
            clocks.append(math.nan if clock is None else clock)
            score = node.eval()
            white = None if score is None else score.white()
            evals.append(math.nan if white is None or white.is_mate() else white.score() / 100)
            mates.append(white.mate() if white is not None and white.is_mate() else 0)
            board.push(node.move)
            count += 1
        sizes.append(count)
    dtypes = {"bitboards": np.uint64, "white_to_move": bool, "castling": np.uint8, "en_passant": np.int8}
    dtypes |= {"halfmove_clock": np.uint16, "move": np.uint16}
    arrays = {name: np.array(values, dtype=dtypes[name]) for name, values in rows.items()}
    arrays |= {"clock": np.array(clocks, np.float32), "eval": np.array(evals, np.float32)}
    arrays |= {"mate": np.array(mates, np.int16), "offsets": np.concatenate(([0], np.cumsum(sizes)))}
    return arrays


def check_against_chess(ours, texts, rows):
    """Checks the given rows of read_games' arrays against the `chess` loop over their game."""
    for row in rows:
        game_index = int(np.searchsorted(ours["offsets"], row, side="right")) - 1
        ply = row - int(ours["offsets"][game_index])
        theirs = chess_loop(texts[game_index])
        for name, array in theirs.items():
            if name != "offsets":
                assert np.array_equal(ours[name][row], array[ply], equal_nan=True), (name, row)


def check_against_peer(ours, theirs, rows):
    """Checks the peer's games, moves, clocks and evaluations against ours, and its boards at the
    given rows."""
    assert theirs.num_games == len(ours["offsets"]) - 1 and theirs.num_moves == len(ours["move"])
    assert theirs.num_positions == len(ours["move"]) + theirs.num_games
    for name, theirs_name in (("clock", "clocks"), ("eval", "evals")):
        values = np.concatenate([getattr(chunk, theirs_name) for chunk in theirs.chunks]).astype(np.float32)
        assert np.array_equal(values, ours[name], equal_nan=True), name
    weights = np.array([1 << square for square in range(64)], dtype=np.uint64)
    for row in rows:
        game_index = int(np.searchsorted(ours["offsets"], row, side="right")) - 1
        board = theirs[game_index].boards[row - int(ours["offsets"][game_index])].reshape(64)
        masks = [int(weights[board == code].sum()) for code in range(1, 13)]
        assert masks == ours["bitboards"][row].tolist(), row


def legal_counts_of_peer(theirs):
    """The peer's legal-move count of every position before a move (its final positions left out)."""
    counts = []
    for chunk in theirs.chunks:
        per_position = np.diff(chunk.legal_move_offsets)
        final = chunk.position_offsets[1:] - 1  # each game's last position
        keep = np.ones(len(per_position), dtype=bool)
        keep[final] = False
        counts.append(per_position[keep])
    return np.concatenate(counts)


def figure(value):
    """A rate with three significant digits, in k or M."""
    scale, suffix = (1e6, " M") if value >= 999.5e3 else (1e3, " k") if value >= 999.5 else (1, "")
    return f"{value / scale:#.3g}".rstrip(".") + suffix


def rates(seconds, games, positions, megabytes):
    return figure(games / seconds), figure(positions / seconds), figure(megabytes / seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds per measurement")
    parser.add_argument("--games", type=int, default=5000, help="lichess-format games in the file")
    parser.add_argument(
        "--python-games", type=int, default=250, help="games of the file that the `chess` loop reads (then scaled)"
    )
    args = parser.parse_args()
    path, zst = game_files(args.games)
    text = path.read_text(encoding="utf-8")
    texts = split_games(text)
    movetexts = [game.split("\n\n", 1)[1] for game in texts]  # the Parquet layout's movetext column
    chunked, chunked_movetexts = pa.chunked_array([pa.array(texts)]), pa.chunked_array([pa.array(movetexts)])
    subset = "\n\n".join(texts[: args.python_games]) + "\n"

    # The outputs agree, so that a broken reader cannot look fast.
    ours = concatenated(read_all(path, legal_moves=True))
    games, moves = len(texts), len(ours["move"])
    assert len(ours["offsets"]) == games + 1 and ours["errors"] == [None] * games
    for other in (read_all(path, threads=2), read_all(zst), read_all(texts), read_all(movetexts)):
        other = concatenated(other)
        for name in ("bitboards", "move", "clock", "offsets"):
            assert np.array_equal(other[name], ours[name], equal_nan=True), name
    theirs = peer.parse_games(chunked, num_threads=1, store_legal_moves=True)
    sample = np.linspace(0, moves - 1, 13).astype(int).tolist()
    check_against_peer(ours, theirs, sample)
    assert np.array_equal(legal_counts_of_peer(theirs), ours["legal_counts"])
    check_against_chess(ours, texts, sample)
    python = chess_loop(subset)
    python_moves = len(python["move"])
    for name, array in python.items():
        assert np.array_equal(array, ours[name][: len(array)], equal_nan=True), name

    functions = {
        "ours": lambda: read_all(path),
        "ours legal": lambda: read_all(path, legal_moves=True),
        "ours 2": lambda: read_all(path, threads=2),
        "ours zst": lambda: read_all(zst),
        "ours texts": lambda: read_all(texts),
        "ours movetexts": lambda: read_all(movetexts),
        "peer": lambda: peer.parse_games(chunked, num_threads=1),
        "peer legal": lambda: peer.parse_games(chunked, num_threads=1, store_legal_moves=True),
        "peer 2": lambda: peer.parse_games(chunked, num_threads=2),
        "peer movetexts": lambda: peer.parse_games(chunked_movetexts, num_threads=1),
        "chess": lambda: chess_loop(subset),
    }
    seconds = dict(zip(functions, compare(list(functions.values()), args.rounds, with_gc=True), strict=True))
    # The `chess` loop read the first games only: its time scaled to the whole file by moves.
    seconds["chess"] *= moves / python_moves

    print_header(["rust_pgn_reader_python_binding", "pyarrow", "chess", "zstandard"], args.rounds)
    megabytes = path.stat().st_size / 1e6
    movetext_megabytes = sum(len(t.encode()) for t in movetexts) / 1e6
    table = Table("benchmark", "games/s", "positions/s", "MB/s", "ratio", "target met")
    ours_positions, peer_positions = moves, moves + games

    def row(name, key, reference=None, target=None, size=megabytes, positions=ours_positions):
        ratio = "" if reference is None else seconds[reference] / seconds[key]
        verdict = {} if target is None else {"target": f"≥{target}×", "met": ratio >= target}
        cells = rates(seconds[key], games, positions, size)
        table.row(name, *cells, "" if reference is None else f"{figure(ratio)}×", **verdict)

    print(
        f"{games} lichess-format games, {moves} moves, {megabytes:.1f} MB of PGN. Positions are each reader's own "
        f"count: read_games a row per position before a move ({ours_positions}), the peer also each game's final "
        f"position ({peer_positions}). Ratio: the reference's time / the row's.\n"
    )
    table.section("one thread, arrays without legal moves; the peer given the games pre-split (not timed)")
    row("read_games(path) vs the peer", "ours", "peer", 2)
    row("peer: parse_games(chunked array, num_threads=1)", "peer", positions=peer_positions)
    table.section("one thread, with legal moves")
    row("read_games(path, legal_moves=True) vs the peer", "ours legal", "peer legal", 2)
    row("peer: parse_games(..., num_threads=1, store_legal_moves=True)", "peer legal", positions=peer_positions)
    table.section("two threads")
    row("read_games(path, threads=2) vs threads=1", "ours 2", "ours", 1.7)
    row(
        "peer: parse_games(..., num_threads=2) vs num_threads=1 (reference)", "peer 2", "peer", positions=peer_positions
    )
    table.section(
        f"pure-Python peer: chess.pgn.read_game loop building the same arrays, run on the first "
        f"{args.python_games} games ({python_moves} moves) and scaled to the file by moves"
    )
    row("read_games(path) vs the chess loop", "ours", "chess", 100)
    row("chess loop (scaled)", "chess")
    table.section(f"other inputs, one thread (MB/s of PGN text; the .zst file is {zst.stat().st_size / 1e6:.1f} MB)")
    row("read_games(path.pgn.zst) vs read_games(path.pgn)", "ours zst", "ours", 0.8)
    row("read_games(list of game texts) vs read_games(path)", "ours texts", "ours")
    row("read_games(list of movetexts) vs read_games(path)", "ours movetexts", "ours", size=movetext_megabytes)
    row(
        "peer: parse_games(chunked array of movetexts, num_threads=1)",
        "peer movetexts",
        size=movetext_megabytes,
        positions=peer_positions,
    )
    table.print()
    print_missed(table)


if __name__ == "__main__":
    main()
