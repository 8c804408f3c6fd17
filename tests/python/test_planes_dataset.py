"""The planes-dataset example, run through its command line: shards checked against the module,
both schedulers, bad lines, PGN games."""

import gzip
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

import numpy as np
import vorel_tools
from games import annotated_games
from planes_reference import reference_arrays
from vorel_chess import Board

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "planes_dataset.py"
SAMPLE = EXAMPLE.parent / "data" / "sample.epd"


class Record(NamedTuple):
    """One position of a shard, as the test reads it."""

    fen: str
    white_to_move: bool
    planes: np.ndarray
    moves: list[str]
    move_played: str | None
    result: int | None
    clock: float | None
    eval: float | None
    mate: int | None
    halfmove_clock: int | None
    game: int | None


def _run(*arguments):
    """Runs the example with the arguments; returns the finished process, its output as text."""
    command = [sys.executable, EXAMPLE, *map(str, arguments), "--no-progress"]
    return subprocess.run(command, capture_output=True, text=True, check=False)


def _status(*arguments):
    return _run(*arguments).returncode


def _shards(directory):
    return sorted(directory.glob("shard-*.npz"))


def _load(path):
    """The positions of one shard, in order, read with NumPy (the played moves' texts through
    vorel_tools.move_texts)."""
    with np.load(path, allow_pickle=False) as shard:
        arrays = {name: shard[name] for name in shard.files}
    fens = [fen.decode("ascii") for fen in arrays["fen"].tolist()]
    moves = [move.decode("ascii") for move in arrays["moves"].tolist()]
    offsets = arrays["move_offsets"].tolist()
    played = vorel_tools.move_texts(arrays["move_played"]) if "move_played" in arrays else [None] * len(fens)
    names = ("result", "clock", "eval", "mate", "halfmove_clock", "game")
    more = [arrays[name].tolist() if name in arrays else [None] * len(fens) for name in names]
    return [
        Record(fen, bool(arrays["white_to_move"][i]), arrays["planes"][i], moves[offsets[i] : offsets[i + 1]], *more)
        for i, (fen, *more) in enumerate(zip(fens, played, *more, strict=True))
    ]


def _records(directory):
    return [record for path in _shards(directory) for record in _load(path)]


def _assert_matches_module(record, fen, generator):
    board = Board(fen)
    assert record.fen == board.fen()
    assert record.white_to_move == (board.turn() == "white")
    assert record.planes.dtype == np.uint8 and record.planes.tolist() == board.bitboard()  # 1 == True
    assert record.moves == generator(board)


def test_sample_gives_the_same_shards_with_the_pool_and_with_dask(tmp_path, generator):
    # 456 positions in shards of 128: three full shards and a short last one. The sample holds
    # checkmates and stalemates, whose empty move lists the offsets must get right.
    assert _status(SAMPLE, "--out", tmp_path / "pool", "--shard-size", 128, "--workers", 2) == 0
    assert _status(SAMPLE, "--out", tmp_path / "dask", "--shard-size", 128, "--workers", 2, "--scheduler", "dask") == 0

    pool, dask = _shards(tmp_path / "pool"), _shards(tmp_path / "dask")
    assert [p.name for p in pool] == [p.name for p in dask] == [f"shard-{i:05d}.npz" for i in range(4)]
    for ours, theirs in zip(pool, dask, strict=True):
        with np.load(ours, allow_pickle=False) as a, np.load(theirs, allow_pickle=False) as b:
            assert a.files == b.files
            for name in a.files:
                assert a[name].dtype == b[name].dtype and np.array_equal(a[name], b[name]), name

    lines = [line.split() for line in SAMPLE.read_text().splitlines()]
    fens = [" ".join(fields[:4]) for fields in lines if fields and not fields[0].startswith("#")]
    # The same arrays, dtypes included, as the line-by-line build, at every compression level.
    assert (
        _status(SAMPLE, "--out", tmp_path / "stored", "--shard-size", 128, "--workers", 1, "--compression-level", 0)
        == 0
    )
    for name in ("pool", "stored"):
        for i, path in enumerate(_shards(tmp_path / name)):
            with np.load(path, allow_pickle=False) as shard:
                expected = reference_arrays(fens[128 * i : 128 * (i + 1)], generator)
                assert shard.files == list(expected)
                for key, array in expected.items():
                    assert shard[key].dtype == array.dtype and shard[key].tobytes() == array.tobytes(), key
    records = _records(tmp_path / "pool")
    assert [len(_load(p)) for p in pool] == [128, 128, 128, len(fens) - 384]
    assert sum(not record.moves for record in records) >= 2
    for record, fen in zip(records, fens, strict=True):
        _assert_matches_module(record, fen, generator)


def test_bad_lines_are_reported_skipped_and_counted(tmp_path, generator):
    start = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
    kiwipete = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"
    endgame = "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -"
    source = tmp_path / "mixed.epd"
    source.write_bytes(
        b"\r\n".join(
            [
                b"# a comment, then a blank line",
                b"",
                f"{start} 0 1".encode(),  # FEN with move counters
                b"rnbqkbxr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",  # 4: bad placement letter
                f'{kiwipete} id "kiwipete \xff";'.encode("latin-1"),  # not UTF-8, but in an operation
                b"8/8/8/8/8/8/8/8 w - -",  # 6: no king to move
                b"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq -",  # 7: bad side to move
                b"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w",  # 8: too few fields
                b"rnbqkbnr/pppppppp/8/8/8/\xff/PPPPPPPP/RNBQKBNR w KQkq -",  # 9: not UTF-8 in the placement
                f"   {endgame} bm Rb1;   ".encode(),
                f"{endgame}\x1cbm Rb1;".encode(),  # a separator str.split() takes for white space
            ]
        )
        + b"\r\n"
    )

    # Shards of three position lines: 3-5 keep two positions, 6-8 none (not written), 9-11 two.
    captured = _run(source, "--out", tmp_path / "out", "--shard-size", 3, "--workers", 1)
    assert captured.returncode == 0
    reports = captured.stderr.splitlines()
    assert [line.split(": ", 1)[0] for line in reports] == [f"{source}:{n}" for n in (4, 6, 7, 8, 9)]
    assert "Invalid piece type" in reports[0] and "no king" in reports[1]
    assert reports[2].startswith(f"{source}:7: Invalid fen: ") and "found 2 fields" in reports[3]
    assert "4 positions in 2 shards" in captured.stdout and "5 lines rejected" in captured.stdout
    assert [len(_load(p)) for p in _shards(tmp_path / "out")] == [2, 2]
    for record, fen in zip(_records(tmp_path / "out"), [start, kiwipete, endgame, endgame], strict=True):
        _assert_matches_module(record, fen, generator)

    # The shards of an earlier run are neither mixed with new ones nor silently replaced.
    # (Status 2: the command line is refused.)
    again = _run(source, "--out", tmp_path / "out", "--workers", 1)
    assert again.returncode == 2
    assert "--overwrite" in again.stderr
    strict = _run(source, "--out", tmp_path / "out", "--workers", 1, "--strict", "--overwrite")
    assert strict.returncode == 1
    assert strict.stderr.splitlines()[0].startswith(f"{source}:4: ")
    assert _shards(tmp_path / "out") == []


def test_pgn_games_give_a_record_per_position_of_each_main_line(tmp_path, generator):

    games = annotated_games(8, 12)
    games[3].headers["Result"] = "*"
    text = "\n\n".join(str(game) for game in games[:6])
    text += '\n\n[Event "broken"]\n\n1. e4 e5 2. Ke3 *\n\n' + "\n\n".join(str(game) for game in games[6:]) + "\n"
    source = tmp_path / "games.pgn.gz"
    with gzip.open(source, "wt", encoding="utf-8") as file:
        file.write(text)

    captured = _run(source, "--out", tmp_path / "out", "--shard-size", 50, "--workers", 1)
    assert captured.returncode == 0
    broken_line = text[: text.index('[Event "broken"]')].count("\n") + 1
    after = "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"
    assert captured.stderr.splitlines() == [
        f"{source}:{broken_line}: Illegal SAN: 'Ke3' is not a legal move in {after}"
    ]
    assert "1 game rejected" in captured.stdout

    # (fen, move, result, clock, halfmove clock, game) of every position before a move, as the
    # oracle reads them (the en-passant square after every double step, as Board.fen() writes it);
    # the broken game is the 7th.
    expected = []
    codes = {"1-0": 1, "1/2-1/2": 0, "0-1": -1, "*": 2}
    for index, game in enumerate(games):
        board = game.board()
        for node in game.mainline():
            fen = " ".join(board.fen(en_passant="fen").split()[:4])
            clock = node.clock()
            clock = -1.0 if clock is None else clock
            row = (
                fen,
                node.move.uci(),
                codes[game.headers["Result"]],
                clock,
                board.halfmove_clock,
                index + (index >= 6),
            )
            expected.append(row)
            board.push(node.move)

    def rows(records):
        # NaN != NaN: a missing clock as -1.
        return [(*r[:1], r.move_played, r.result, -1.0 if r.clock != r.clock else r.clock, *r[-2:]) for r in records]

    records = _records(tmp_path / "out")
    assert rows(records) == expected
    assert all(r.eval != r.eval and r.mate == 0 for r in records)  # no evaluation in these games
    assert {r.result for r in records} >= {2} and len(records) > 200
    assert any(r.clock == r.clock for r in records) and any(r.clock != r.clock for r in records)
    for record in records[::17]:
        _assert_matches_module(record, record.fen, generator)
    # The played move is the very word legal_moves lists, castling and en passant codes included.
    with np.load(_shards(tmp_path / "out")[0], allow_pickle=False) as shard:
        assert shard["move_played"].dtype == np.uint16 and shard["result"].dtype == np.int8
        moves, offsets = vorel_tools.legal_moves(np.char.decode(shard["fen"], "ascii").tolist())
        for i, word in enumerate(shard["move_played"].tolist()):
            assert word in moves[offsets[i] : offsets[i + 1]].tolist()

    # The same games from a plain file, then from the compressed one, on a pool of workers: the
    # same records, with the games of the second input counted after those of the first.
    plain = tmp_path / "games.pgn"
    plain.write_text(text, encoding="utf-8")
    assert _status(plain, source, "--out", tmp_path / "two", "--shard-size", 50, "--workers", 2) == 0
    assert rows(_records(tmp_path / "two")) == expected + [(*row[:-1], row[-1] + len(games) + 1) for row in expected]

    # Inputs of both kinds in one run are refused (status 2: the command line is refused).
    assert _status(source, SAMPLE, "--out", tmp_path / "mixed") == 2
