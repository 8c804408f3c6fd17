"""The planes-dataset example: shards checked against the module, both schedulers, bad lines, PGN games."""

import gzip
import itertools
from pathlib import Path

import numpy as np
import planes_dataset
import pytest
import vorel_tools
from test_notation import annotated_games
from vorel_chess import Board

SAMPLE = Path(planes_dataset.__file__).parent / "data" / "sample.epd"


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


def _run(*arguments):
    return planes_dataset.main([*map(str, arguments), "--no-progress"])


def _shards(directory):
    return sorted(directory.glob("shard-*.npz"))


def _records(directory):
    return [record for path in _shards(directory) for record in planes_dataset.load_shard(path)]


def _assert_matches_module(record, fen, generator):
    board = Board(fen)
    assert record.fen == board.fen()
    assert record.white_to_move == (board.turn() == "white")
    assert record.planes.dtype == np.uint8 and record.planes.tolist() == board.bitboard()  # 1 == True
    assert record.moves == generator(board)


def test_sample_gives_the_same_shards_with_the_pool_and_with_dask(tmp_path, generator):
    # 456 positions in shards of 128: three full shards and a short last one. The sample holds
    # checkmates and stalemates, whose empty move lists the offsets must get right.
    assert _run(SAMPLE, "--out", tmp_path / "pool", "--shard-size", 128, "--workers", 2) == 0
    assert _run(SAMPLE, "--out", tmp_path / "dask", "--shard-size", 128, "--workers", 2, "--scheduler", "dask") == 0

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
        _run(SAMPLE, "--out", tmp_path / "stored", "--shard-size", 128, "--workers", 1, "--compression-level", 0) == 0
    )
    for name in ("pool", "stored"):
        for i, path in enumerate(_shards(tmp_path / name)):
            with np.load(path, allow_pickle=False) as shard:
                expected = reference_arrays(fens[128 * i : 128 * (i + 1)], generator)
                assert shard.files == list(expected)
                for key, array in expected.items():
                    assert shard[key].dtype == array.dtype and shard[key].tobytes() == array.tobytes(), key
    records = _records(tmp_path / "pool")
    assert [len(planes_dataset.load_shard(p)) for p in pool] == [128, 128, 128, len(fens) - 384]
    assert sum(not record.moves for record in records) >= 2
    for record, fen in zip(records, fens, strict=True):
        _assert_matches_module(record, fen, generator)


def test_bad_lines_are_reported_skipped_and_counted(tmp_path, capsys, generator):
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
    assert _run(source, "--out", tmp_path / "out", "--shard-size", 3, "--workers", 1) == 0
    captured = capsys.readouterr()
    reports = captured.err.splitlines()
    assert [line.split(": ", 1)[0] for line in reports] == [f"{source}:{n}" for n in (4, 6, 7, 8, 9)]
    assert "Invalid piece type" in reports[0] and "no king" in reports[1]
    assert reports[2].startswith(f"{source}:7: Invalid fen: ") and "found 2 fields" in reports[3]
    assert "4 positions in 2 shards" in captured.out and "5 lines rejected" in captured.out
    assert [len(planes_dataset.load_shard(p)) for p in _shards(tmp_path / "out")] == [2, 2]
    for record, fen in zip(_records(tmp_path / "out"), [start, kiwipete, endgame, endgame], strict=True):
        _assert_matches_module(record, fen, generator)

    # The shards of an earlier run are neither mixed with new ones nor silently replaced.
    with pytest.raises(SystemExit):
        _run(source, "--out", tmp_path / "out", "--workers", 1)
    assert "--overwrite" in capsys.readouterr().err
    assert _run(source, "--out", tmp_path / "out", "--workers", 1, "--strict", "--overwrite") == 1
    assert capsys.readouterr().err.splitlines()[0].startswith(f"{source}:4: ")
    assert _shards(tmp_path / "out") == []


def test_pgn_games_give_a_record_per_position_of_each_main_line(tmp_path, capsys, generator):

    games = annotated_games(8, 12)
    games[3].headers["Result"] = "*"
    text = "\n\n".join(str(game) for game in games[:6])
    text += '\n\n[Event "broken"]\n\n1. e4 e5 2. Ke3 *\n\n' + "\n\n".join(str(game) for game in games[6:]) + "\n"
    source = tmp_path / "games.pgn.gz"
    with gzip.open(source, "wt", encoding="utf-8") as file:
        file.write(text)

    assert _run(source, "--out", tmp_path / "out", "--shard-size", 50, "--workers", 1) == 0
    captured = capsys.readouterr()
    broken_line = text[: text.index('[Event "broken"]')].count("\n") + 1
    after = "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e6"
    assert captured.err.splitlines() == [f"{source}:{broken_line}: Illegal SAN: 'Ke3' is not a legal move in {after}"]
    assert "1 game rejected" in captured.out

    expected = []  # (fen, move, result) of every position before a move, as the oracle reads them
    codes = {"1-0": 1, "1/2-1/2": 0, "0-1": -1, "*": 2}
    for game in games:
        board = game.board()
        for move in game.mainline_moves():
            expected.append((" ".join(board.fen().split()[:3]), move.uci(), codes[game.headers["Result"]]))
            board.push(move)
    records = _records(tmp_path / "out")
    assert [(" ".join(r.fen.split()[:3]), r.move_played, r.result) for r in records] == expected
    assert {r.result for r in records} >= {2} and len(records) > 200
    for record in records[::17]:
        _assert_matches_module(record, record.fen, generator)
    # The played move is the very word legal_moves lists, castling and en passant codes included.
    with np.load(_shards(tmp_path / "out")[0], allow_pickle=False) as shard:
        assert shard["move_played"].dtype == np.uint16 and shard["result"].dtype == np.int8
        moves, offsets = vorel_tools.legal_moves(np.char.decode(shard["fen"], "ascii").tolist())
        for i, word in enumerate(shard["move_played"].tolist()):
            assert word in moves[offsets[i] : offsets[i + 1]].tolist()

    # Inputs of both kinds in one run are refused.
    with pytest.raises(SystemExit):
        _run(source, SAMPLE, "--out", tmp_path / "mixed")
