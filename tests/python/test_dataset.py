"""vorel_tools.dataset end to end on generated games: every column against the pure-Python chess
library, inputs told by their content, the filters, interrupted and failed builds, the loader and
the schedulers."""

import bz2
import fcntl
import gzip
import io
import json
import lzma
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import chess
import chess.pgn
import numpy as np
import pytest
import vorel_tools
import zstandard
from lichess_games import lichess_games
from policy_reference import lc0_index
from vorel_tools import dataset
from vorel_tools.dataset import _build

SAMPLE_EPD = Path(__file__).resolve().parents[2] / "examples" / "data" / "sample.epd"
BROKEN = '[Event "Casual game"]\n[WhiteElo "1500"]\n\n1. e4 e5 2. Ke3 *\n'
LEGAL = ("legal_moves", "legal_offsets")
SPEEDS = {"180+2": "blitz", "60+0": "bullet", "600+5": "rapid", "1800+20": "classical"}
RESULTS = {"1-0": 1, "0-1": -1, "1/2-1/2": 0, "*": 2}
CORNERS = (chess.BB_H1, chess.BB_A1, chess.BB_H8, chess.BB_A8)  # the castling bits 1, 2, 4, 8


def fen_game():
    """A game from a FEN tag (castling rights, move counters) with clocks, and no ratings, time
    control or result."""
    rng, board = random.Random(5), chess.Board("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 3 17")
    game = node = chess.pgn.Game.from_board(board)
    game.headers["Event"] = "Casual correspondence game"
    for ply in range(40):
        node = node.add_variation(rng.choice(list(board.legal_moves)))
        node.set_clock(3000 - 61 * ply)
        board.push(node.move)
    return str(game) + "\n"


@pytest.fixture(scope="module")
def texts():
    """Lichess-format games (every sixth one casual), the FEN game and an unreadable game."""
    texts = lichess_games(36, 13)
    texts = [text.replace('[Event "Rated', '[Event "Casual', 1) if i % 6 == 5 else text for i, text in enumerate(texts)]
    return texts[:20] + [fen_game(), BROKEN] + texts[20:]


@pytest.fixture(scope="module")
def expected(texts):
    """The rows the games give, replayed by the pure-Python library: the columns, the FEN and the
    legal moves of each position, and the tags of its game."""
    rows = []
    for index, text in enumerate(texts):
        game = chess.pgn.read_game(io.StringIO(text))
        if game.errors:
            continue
        headers, board, nodes = game.headers, game.board(), list(game.mainline())
        for ply, node in enumerate(nodes):
            score = node.eval().white() if node.eval() else None
            rights = board.clean_castling_rights()
            elo = [int(headers[n]) if headers.get(n, "?").isdigit() else -1 for n in ("WhiteElo", "BlackElo")]
            rows.append(
                {
                    "bitboards": [board.pieces_mask(p, c) for c in chess.COLORS for p in chess.PIECE_TYPES],
                    "white_to_move": board.turn,
                    "castling": sum(1 << i for i, corner in enumerate(CORNERS) if rights & corner),
                    "en_passant": -1 if board.ep_square is None else chess.square_file(board.ep_square),
                    "halfmove_clock": board.halfmove_clock,
                    "fullmove": board.fullmove_number,
                    "policy": lc0_index(board, node.move),
                    "clock": np.nan if node.clock() is None else node.clock(),
                    "eval": np.nan if score is None or score.is_mate() else score.score() / 100,
                    "mate": score.mate() if score is not None and score.is_mate() else 0,
                    "result": RESULTS[headers["Result"]],
                    "game": index,
                    "ply": ply,
                    "white_elo": elo[0],
                    "black_elo": elo[1],
                    "uci": node.move.uci(),
                    "fen": board.fen(),
                    "legal": {move.uci() for move in board.legal_moves},
                    "event": headers.get("Event", ""),
                    "control": headers.get("TimeControl", "-"),
                    "plies": len(nodes),
                }
            )
            board.push(node.move)
    return {name: [row[name] for row in rows] for name in rows[0]}


def run(*arguments):
    return dataset.main([*map(str, arguments), "--no-progress"])


def files(out):
    """The bytes of every shard file of a dataset, by path within it."""
    return {path.relative_to(out): path.read_bytes() for path in sorted((out / "shards").rglob("*")) if path.is_file()}


def manifest(out):
    return json.loads((out / "manifest.json").read_text())


def columns(out):
    """The columns of a .npy dataset: its shard files joined, each shard's games counted after
    those of the inputs before it and its legal offsets after the moves of the shards before it."""
    info = manifest(out)
    assert sorted(path.name for path in (out / "shards").iterdir()) == [shard["name"] for shard in info["shards"]]
    parts, moves = {name: [] for name in info["columns"]}, 0
    for shard in info["shards"]:
        for name in info["columns"]:
            array = np.load(out / "shards" / shard["name"] / f"{name}.npy", allow_pickle=False)
            if name == "game":
                array = array + info["inputs"][shard["input"]]["first_game"]
            elif name == "legal_offsets":
                array = array[:-1] + moves
            parts[name].append(array)
        moves += shard["legal_moves"]
    if "legal_offsets" in parts:
        parts["legal_offsets"].append(np.array([moves]))
    return {name: np.concatenate(arrays) for name, arrays in parts.items()}


def select(arrays, keep):
    """The rows keep (a bool mask or indices) of columns, their legal moves with them."""
    keep = np.flatnonzero(keep) if np.asarray(keep).dtype == bool else np.asarray(keep, np.int64)
    taken = {name: array[keep] for name, array in arrays.items() if name not in LEGAL}
    if "legal_moves" in arrays:
        offsets = arrays["legal_offsets"]
        lists = [arrays["legal_moves"][offsets[i] : offsets[i + 1]] for i in keep.tolist()]
        taken["legal_moves"] = np.concatenate([np.zeros(0, np.uint16), *lists])
        taken["legal_offsets"] = np.cumsum([0, *map(len, lists)])
    return taken


def assert_same(got, expected):
    assert sorted(got) == sorted(expected)
    for name, array in expected.items():
        assert np.asarray(got[name]).dtype == array.dtype, name
        np.testing.assert_array_equal(got[name], array, err_msg=name)


@pytest.fixture(scope="module")
def pgn(texts, tmp_path_factory):
    path = tmp_path_factory.mktemp("inputs") / "games.pgn"
    path.write_text("\n".join(texts))
    return path


@pytest.fixture(scope="module")
def plain(pgn, tmp_path_factory):
    """The dataset of the games, in shards of about 700 positions."""
    out = tmp_path_factory.mktemp("plain") / "out"
    assert run(pgn, "--out", out, "--shard-size", 700) == 0
    return out


def test_every_column_is_the_pure_python_replay(pgn, texts, expected, tmp_path, capsys):
    out = tmp_path / "out"
    assert run(pgn, "--out", out, "--shard-size", 700, "--policy", "lc0") == 0
    data = columns(out)
    n = len(expected["fen"])
    assert len(data["move"]) == n and manifest(out)["positions"] == n and len(manifest(out)["shards"]) > 2
    assert (data["mate"] != 0).any() and (data["mate"] < 0).any() and np.isfinite(data["eval"]).any()
    for name in set(data) & set(expected):
        np.testing.assert_array_equal(data[name], np.array(expected[name], data[name].dtype), err_msg=name)
    assert vorel_tools.move_texts(data["move"]) == expected["uci"]
    np.testing.assert_array_equal(
        data["policy"], vorel_tools.move_index(data["move"], data["white_to_move"], scheme="lc0")
    )
    # The legal moves: vorel's own lists, in its order, and the oracle's sets.
    moves, offsets = vorel_tools.legal_moves(expected["fen"])
    np.testing.assert_array_equal(data["legal_moves"], moves)
    np.testing.assert_array_equal(data["legal_offsets"], offsets)
    texts_of = vorel_tools.move_texts(moves)
    assert [set(texts_of[offsets[i] : offsets[i + 1]]) for i in range(n)] == expected["legal"]
    # The unreadable game is reported at its line, counted, and still counts as a game.
    broken = "\n".join(texts)[: "\n".join(texts).index(BROKEN)].count("\n") + 1
    assert [line.split(": ")[0] for line in capsys.readouterr().err.splitlines()] == [f"{pgn}:{broken}"]
    assert manifest(out)["rejected"] == 1 and manifest(out)["inputs"][0]["games"] == len(texts)

    side = tmp_path / "side"
    assert run(pgn, "--out", side, "--shard-size", 700, "--view", "side") == 0
    turned, data["bitboards"] = columns(side), vorel_tools.bitboards(expected["fen"], view="side")
    assert_same(turned, {name: data[name] for name in turned})


@pytest.mark.parametrize(
    "name, compress",
    [
        ("games.txt", gzip.compress),
        ("games", bz2.compress),
        ("games.pgn", lzma.compress),
        ("games.gz", zstandard.ZstdCompressor().compress),
        ("games.zst", bytes),
    ],
)
def test_games_are_read_by_their_content_not_their_name(pgn, plain, tmp_path, name, compress):
    path = tmp_path / name
    path.write_bytes(compress(pgn.read_bytes()))
    assert run(path, "--out", tmp_path / "out", "--shard-size", 700) == 0
    assert files(tmp_path / "out") == files(plain)


@pytest.mark.parametrize("ending", ["\r\n", "\r"])
def test_position_lines_give_their_positions_and_bad_lines_are_reported(tmp_path, capsys, ending):
    lines = SAMPLE_EPD.read_text().splitlines()
    start = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR"
    bad = {30: "8/8/8/8/8/8/8/8 w - -", 31: f"{start} x KQkq -", 200: f"{start} w", 201: "rnbqkbnr/ppppp/8/8 w - -"}
    for number, line in sorted(bad.items()):
        lines.insert(number - 1, line)
    path = tmp_path / "positions.dat"
    # A byte-order mark before the first line, a comment; lines ended as Windows or old Macs do.
    path.write_bytes(gzip.compress(("\ufeff" + ending.join(lines)).encode()))
    assert run(path, "--out", tmp_path / "out", "--shard-size", 100) == 0
    reports = capsys.readouterr().err.splitlines()
    assert [report.split(": ")[0] for report in reports] == [f"{path}:{number}" for number in sorted(bad)]
    assert manifest(tmp_path / "out")["rejected"] == len(bad)

    good = [(n, line.split()) for n, line in enumerate(lines, 1) if line.strip() and line[0] != "#" and n not in bad]
    fens = [" ".join(fields[:4]) for _, fields in good]
    written = [fen.split() for fen in np.char.decode(vorel_tools.fens(fens), "ascii").tolist()]
    data = columns(tmp_path / "out")
    np.testing.assert_array_equal(data["line"], [n for n, _ in good])
    np.testing.assert_array_equal(data["bitboards"], vorel_tools.bitboards(fens))
    np.testing.assert_array_equal(data["white_to_move"], vorel_tools.white_to_move(fens))
    castling = [sum(1 << "KQkq".index(c) for c in fen[2] if c != "-") for fen in written]
    np.testing.assert_array_equal(data["castling"], castling)
    np.testing.assert_array_equal(data["en_passant"], [-1 if f[3] == "-" else ord(f[3][0]) - ord("a") for f in written])
    counters = [(int(f[4]), int(f[5])) if len(f) > 5 and f[4].isdigit() else (0, 1) for _, f in good]
    np.testing.assert_array_equal(np.stack([data["halfmove_clock"], data["fullmove"]], 1), counters)


@pytest.mark.parametrize("kind", ["parquet", "arrow"])
@pytest.mark.parametrize("options", [[], ["--min-rating", "1200", "--shard-size", "300"]])
def test_a_table_of_move_texts_gives_the_rows_of_its_games(texts, tmp_path, capsys, kind, options):
    import pyarrow as pa
    import pyarrow.feather
    import pyarrow.parquet

    games = [text for text in texts if "[FEN " not in text]
    tags = [dict(chess.pgn.read_headers(io.StringIO(text))) for text in games]
    elo = [[int(t[name]) if t.get(name, "?").isdigit() else None for t in tags] for name in ("WhiteElo", "BlackElo")]
    table = pa.table(
        {
            "Event": [t["Event"] for t in tags],
            "WhiteElo": pa.array(elo[0], pa.int32()),
            "BlackElo": pa.array(elo[1], pa.float64()),  # as pandas stores a column with nulls
            "TimeControl": [t.get("TimeControl") for t in tags],
            "movetext": [text.split("\n\n", 1)[1] for text in games],
        }
    )
    path = tmp_path / "games.bin"
    pyarrow.parquet.write_table(table, path) if kind == "parquet" else pyarrow.feather.write_feather(table, path)
    (tmp_path / "games.pgn").write_text("\n".join(games))
    assert run(path, "--out", tmp_path / "table", *options) == 0
    assert run(tmp_path / "games.pgn", "--out", tmp_path / "pgn", *options) == 0
    assert_same(columns(tmp_path / "table"), columns(tmp_path / "pgn"))

    # A row that holds no game is told by its number.
    table = pa.table({"movetext": [games[0].split("\n\n", 1)[1], None, "1. e4 e5 2. Ke3 *"]})
    pyarrow.parquet.write_table(table, path) if kind == "parquet" else pyarrow.feather.write_feather(table, path)
    capsys.readouterr()
    assert run(path, "--out", tmp_path / "rows") == 0
    assert [line.split(": ")[0] for line in capsys.readouterr().err.splitlines()] == [f"{path}:row 2", f"{path}:row 3"]


@pytest.mark.parametrize(
    "content",
    [bytes(random.Random(3).randbytes(5000)), b"\x89PNG\r\n\x1a\n" + bytes(200), b"", gzip.compress(b"\x00" * 100)],
    ids=["random", "png", "empty", "gzip-of-zeros"],
)
def test_an_input_of_no_kind_read_is_refused(pgn, tmp_path, capsys, content):
    path = tmp_path / "input.pgn"
    path.write_bytes(content)
    assert run(path, "--out", tmp_path / "out") == 1
    assert str(path) in capsys.readouterr().err and not (tmp_path / "out").exists()
    # Beside an input that reads, it is recorded and the build goes on.
    assert run(path, pgn, "--out", tmp_path / "out") == 0
    assert str(path) in capsys.readouterr().err
    assert [str(path) in text for text in manifest(tmp_path / "out")["refused"]] == [True]
    assert manifest(tmp_path / "out")["inputs"][0]["path"] == str(pgn)


def test_an_input_listed_twice_is_told(pgn, tmp_path, capsys):
    (tmp_path / "link.pgn").symlink_to(pgn)
    assert run(pgn, tmp_path / "link.pgn", pgn, "--out", tmp_path / "out") == 0
    errors = capsys.readouterr().err
    assert errors.count(f"is the file {pgn} listed before") == 2 and str(tmp_path / "link.pgn") in errors
    assert len(manifest(tmp_path / "out")["inputs"]) == 3


@pytest.mark.parametrize(
    "content, message",
    [
        (
            zstandard.ZstdCompressor().compress(b"1. e4 e5 *\n" * 100)[:12],
            "zstd-compressed data that decompresses to nothing",
        ),
        (b"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -\x00\n", "a file that holds a NUL byte (at 52)"),
        (zstandard.ZstdCompressor().compress(b"1. e4 e5 *\n") + b"garbage!", "looks zstd-compressed but does not"),
    ],
    ids=["zstd-cut-short", "nul", "zstd-then-garbage"],
)
def test_a_refusal_says_why(tmp_path, content, message):
    path = tmp_path / "input"
    path.write_bytes(content)
    with pytest.raises(dataset.InputError) as refusal:
        dataset.recognise(path)
    assert str(refusal.value).startswith(f"{path}: {message}")


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda pa, path: path.write_bytes(b"PAR1" + bytes(100)), "cannot be read"),
        (lambda pa, path: path.write_bytes(b"ARROW1\0\0" + bytes(100)), "cannot be read"),
        (lambda pa, path: pa.parquet.write_table(pa.table({"moves": ["1. e4 *"]}), path), "without a 'movetext'"),
        (lambda pa, path: pa.parquet.write_table(pa.table({"movetext": [1, 2]}), path), "holds int64"),
    ],
    ids=["parquet-of-zeros", "arrow-of-zeros", "no-movetext", "numbers"],
)
def test_a_table_of_no_game_texts_is_refused(pgn, tmp_path, capsys, make, message):
    """A table is read only once the build runs: its schema is looked at when it is recognised,
    so that it is refused as any other input, not met with an exception in the middle."""
    import pyarrow
    import pyarrow.parquet

    path = tmp_path / "games.table"
    make(pyarrow, path)
    with pytest.raises(dataset.InputError, match=message):
        dataset.recognise(path)
    assert run(path, pgn, "--out", tmp_path / "out") == 0
    assert [message in text for text in manifest(tmp_path / "out")["refused"]] == [True]


@pytest.mark.parametrize(
    "options, keep",
    [
        (["--min-rating", "1500"], lambda x: (x["white_elo"] >= 1500) & (x["black_elo"] >= 1500)),
        (["--max-rating", "2000"], lambda x: (np.minimum(x["white_elo"], x["black_elo"]) >= 0) & (x["top"] <= 2000)),
        (["--time-control", "blitz"], lambda x: x["speed"] == "blitz"),
        (["--time-control", "180+2"], lambda x: x["control"] == "180+2"),
        (["--time-control", "rapid,60+0"], lambda x: (x["speed"] == "rapid") | (x["control"] == "60+0")),
        (["--rated-only"], lambda x: np.char.startswith(x["event"], "Rated")),
        (["--event", "Bullet"], lambda x: np.char.find(x["event"], "Bullet") >= 0),
        (["--min-plies", "60"], lambda x: x["plies"] >= 60),
        (["--skip-plies", "10"], lambda x: x["ply"] >= 10),
        (["--min-clock", "100"], lambda x: ~(x["clock"] < 100)),
        (
            ["--min-rating", "1200", "--rated-only", "--skip-plies", "4", "--min-clock", "30"],
            lambda x: (
                (np.minimum(x["white_elo"], x["black_elo"]) >= 1200)
                & np.char.startswith(x["event"], "Rated")
                & (x["ply"] >= 4)
                & ~(x["clock"] < 30)
            ),
        ),
    ],
    ids=lambda value: " ".join(value) if isinstance(value, list) else "",
)
def test_filters_keep_the_rows_they_select_and_count_every_game(pgn, plain, expected, tmp_path, options, keep):
    x = {name: np.array(expected[name]) for name in ("white_elo", "black_elo", "control", "event", "plies", "ply")}
    x["clock"] = np.array(expected["clock"], np.float32)
    x["top"] = np.maximum(x["white_elo"], x["black_elo"])
    x["speed"] = np.array([SPEEDS.get(control, "") for control in expected["control"]])
    mask = keep(x)
    assert 0 < mask.sum() < len(mask)
    assert run(pgn, "--out", tmp_path / "out", "--shard-size", 500, *options) == 0
    assert_same(columns(tmp_path / "out"), select(columns(plain), mask))


def test_build_refuses_arguments_it_would_misread(pgn, tmp_path):
    """From Python, a view other than "white" was built as "side", a str of time controls was
    matched letter by letter and a path alone was read as a list of one-letter paths."""
    for fields in ({"view": "black"}, {"output": "csv"}, {"policy": "lc1"}):
        with pytest.raises(ValueError, match=next(iter(fields))):
            dataset.Settings(**fields)
    with pytest.raises(TypeError, match="time_controls"):
        dataset.Settings(time_controls="blitz")
    assert dataset.Settings(time_controls=["blitz"]).time_controls == ("blitz",)
    with pytest.raises(TypeError, match="in a list"):
        dataset.build(str(pgn), tmp_path / "out")
    assert not (tmp_path / "out").exists()


def interrupt_after(monkeypatch, shards):
    """Makes the next in-process build stop as Ctrl-C would once it has reported `shards` batches
    (with shards no larger than a batch, as many shards)."""
    left, real = iter(range(shards - 1, -1, -1)), _build.run_input

    def report_then_stop(report, message):
        report(message)
        if message["kind"] == "batch" and next(left) == 0:
            raise KeyboardInterrupt

    monkeypatch.setattr(_build, "run_input", lambda task, report: real(task, lambda m: report_then_stop(report, m)))


@pytest.mark.parametrize(
    "positions, options",
    [(False, []), (False, ["--min-rating", "1200", "--format", "parquet"]), (True, ["--shard-size", "100"])],
    ids=["games", "filtered-parquet", "positions"],
)
def test_an_interrupted_build_resumes_to_the_same_dataset(pgn, tmp_path, monkeypatch, capsys, positions, options):
    first = SAMPLE_EPD if positions else pgn
    second = tmp_path / "second.gz"
    second.write_bytes(gzip.compress(first.read_bytes()))
    command = [first, second, "--shard-size", 300, *options]
    assert run(*command, "--out", tmp_path / "whole") == 0
    first_input = sum(shard["input"] == 0 for shard in manifest(tmp_path / "whole")["shards"])
    out, work = tmp_path / "out", tmp_path / ".out.partial"
    # Stopped in the first input, then, resumed, in the second one.
    for stop in (2, first_input):
        interrupt_after(monkeypatch, stop)
        assert run(*command, "--out", out) == 130
        monkeypatch.undo()
        assert not out.exists() and work.is_dir()
        with pytest.raises(ValueError, match="unfinished"):
            dataset.open(work)
    capsys.readouterr()
    assert run(*command, "--out", out) == 0
    assert "(resumed)" in capsys.readouterr().out and not work.exists()
    assert files(out) == files(tmp_path / "whole")
    assert manifest(out) == manifest(tmp_path / "whole")


def test_an_input_changed_under_an_interrupted_build_is_not_resumed_from(pgn, tmp_path, monkeypatch, capsys):
    source = tmp_path / "games.pgn"
    source.write_bytes(pgn.read_bytes())
    command = [source, "--out", tmp_path / "out", "--shard-size", 300]
    # The checksum waited for, as a long enough build would.
    monkeypatch.setattr(_build.Checksums, "done", lambda self: self.result() is not None)
    interrupt_after(monkeypatch, 2)
    assert run(*command) == 130
    monkeypatch.undo()
    # Changed in place, its size and time kept: only its checksum tells.
    status = source.stat()
    data = bytearray(source.read_bytes())
    data[data.index(b"[White ") + 8] ^= 1
    source.write_bytes(bytes(data))
    os.utime(source, ns=(status.st_atime_ns, status.st_mtime_ns))
    capsys.readouterr()
    assert run(*command) == 1
    assert "changed since the build" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_a_build_refused_by_the_lock_leaves_the_running_one_alone(pgn, tmp_path, monkeypatch, capsys):
    out, work = tmp_path / "out", tmp_path / ".out.partial"
    interrupt_after(monkeypatch, 2)
    assert run(pgn, "--out", out, "--shard-size", 300) == 130
    monkeypatch.undo()
    before = files(work)
    with open(work / ".lock") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # as the build writing there holds it
        for size in (300, 400):  # the same settings, and others, which would discard its shards
            assert run(pgn, "--out", out, "--shard-size", size) == 1
            assert "another build is writing" in capsys.readouterr().err
            assert files(work) == before
    assert run(pgn, "--out", out, "--shard-size", 300) == 0
    assert "(resumed)" in capsys.readouterr().out


def test_ctrl_c_stops_the_workers_at_once_and_the_same_command_resumes(texts, tmp_path):
    inputs = [tmp_path / "a.pgn", tmp_path / "b.pgn"]
    for path in inputs:
        path.write_text("\n".join(texts) * 60)  # long enough to be still running at the signal
    command = [sys.executable, "-m", "vorel_tools.dataset", *inputs, "--out", tmp_path / "out", "--shard-size", 1000]
    command = [*map(str, command), "--workers", "2", "--no-progress"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    shards, deadline = tmp_path / ".out.partial" / "shards", time.monotonic() + 60
    while not any(path.suffix != ".partial" for path in shards.glob("*")):
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    start = time.monotonic()
    _, errors = process.communicate(timeout=30)
    assert process.returncode == 130 and time.monotonic() - start < 2, errors
    assert "interrupted" in errors and not (tmp_path / "out").exists()

    resumed = subprocess.run(command, capture_output=True, text=True, check=False)
    assert resumed.returncode == 0 and "(resumed)" in resumed.stdout, resumed.stderr
    assert run(*inputs, "--out", tmp_path / "whole", "--shard-size", 1000) == 0
    assert files(tmp_path / "out") == files(tmp_path / "whole")
    assert manifest(tmp_path / "out") == manifest(tmp_path / "whole")


def process_state(pid):
    """The state and parent of a process, from /proc (None when it is gone)."""
    try:
        state, parent = (Path("/proc") / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[:2]
    except (OSError, ValueError):
        return None
    return state, int(parent)


def test_a_killed_build_leaves_no_worker_writing_and_resumes(texts, tmp_path):
    """Killed (kill -9, or its terminal closed), the build's process cannot stop its workers:
    they end by themselves, rather than go on writing shards under the resumed build."""
    inputs = [tmp_path / "a.pgn", tmp_path / "b.pgn"]
    for path in inputs:
        path.write_text("\n".join(texts) * 60)
    command = [sys.executable, "-m", "vorel_tools.dataset", *inputs, "--out", tmp_path / "out", "--shard-size", 1000]
    command = [*map(str, command), "--workers", "2", "--no-progress"]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shards, deadline = tmp_path / ".out.partial" / "shards", time.monotonic() + 60
    while not any(path.suffix != ".partial" for path in shards.glob("*")):
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    pids = [int(path.name) for path in Path("/proc").iterdir() if path.name.isdigit()]
    workers = [pid for pid in pids if (process_state(pid) or (None, None))[1] == process.pid]
    process.kill()
    process.wait()
    assert workers
    # Ended: gone, or a zombie until something reaps it.
    while any((process_state(pid) or ("Z",))[0] != "Z" for pid in workers):
        assert time.monotonic() < deadline + 60
        time.sleep(0.01)
    # Ended with their parent, a moment into their inputs: not once those were done.
    assert not list((tmp_path / ".out.partial").glob("input-*.json"))
    resumed = subprocess.run(command, capture_output=True, text=True, check=False)
    assert resumed.returncode == 0 and "(resumed)" in resumed.stdout, resumed.stderr
    assert run(*inputs, "--out", tmp_path / "whole", "--shard-size", 1000) == 0
    assert files(tmp_path / "out") == files(tmp_path / "whole")


def test_a_failed_build_leaves_the_dataset_in_out_as_it_was(pgn, plain, texts, tmp_path, monkeypatch, capsys):
    out = tmp_path / "out"
    (tmp_path / "small.pgn").write_text("\n".join(texts[:4]))
    (tmp_path / "broken.pgn").write_text(BROKEN)
    (tmp_path / "empty.pgn").write_bytes(b"")
    assert run(tmp_path / "small.pgn", "--out", out) == 0
    snapshot = lambda: {path: path.read_bytes() for path in sorted(out.rglob("*")) if path.is_file()}
    before = snapshot()
    refusals = [
        ([pgn], "--overwrite"),
        ([tmp_path / "empty.pgn"], "no input"),
        ([tmp_path / "broken.pgn"], "no position"),
    ]
    for inputs, message in refusals:
        assert run(*inputs, "--out", out, *(["--overwrite"] if message != "--overwrite" else [])) == 1
        assert message in capsys.readouterr().err
        assert snapshot() == before and not (tmp_path / ".out.partial").exists()
    # Files put beside it are not removed with it.
    (out / "notes.txt").write_text("mine")
    assert run(pgn, "--out", out, "--overwrite") == 1
    assert "files that are not its own (notes.txt)" in capsys.readouterr().err
    (out / "notes.txt").unlink()
    # A replacement stopped half-way leaves it too; finished, it takes its place.
    interrupt_after(monkeypatch, 2)
    assert run(pgn, "--out", out, "--overwrite", "--shard-size", 700) == 130
    monkeypatch.undo()
    assert snapshot() == before
    assert run(pgn, "--out", out, "--overwrite", "--shard-size", 700) == 0
    assert files(out) == files(plain)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["broken.pgn", "empty.pgn", "out", "small.pgn"]


def test_out_named_by_dots_or_a_link_or_under_a_file(pgn, plain, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    # "." and ".." name the directory they lead to; "/" cannot hold one.
    (tmp_path / "data").mkdir()
    assert run(pgn, "--out", "data/missing/..", "--shard-size", 700) == 0
    assert files(tmp_path / "data") == files(plain)
    for out, message in ((".", "holds files that are not a dataset"), ("/", "cannot hold a dataset")):
        assert run(pgn, "--out", out) == 1
        assert message in capsys.readouterr().err
    (tmp_path / "file").write_text("")
    assert run(pgn, "--out", "file/out") == 1
    assert "Not a directory" in capsys.readouterr().err
    # A link to a dataset, replaced twice: the link gives way to the new dataset.
    (tmp_path / "link").symlink_to(tmp_path / "data")
    for _ in range(2):
        assert run(pgn, "--out", "link", "--shard-size", 700, "--overwrite") == 0
        assert files(tmp_path / "link") == files(plain) and not (tmp_path / "link").is_symlink()
    assert sorted(path.name for path in tmp_path.iterdir()) == ["data", "file", "link"]


@pytest.mark.parametrize("workers", [1, 2])
def test_an_input_that_fails_past_its_start_stops_the_build_naming_it(pgn, tmp_path, capsys, workers):
    """Recognised by its first 64 KiB, a gzip file cut short ends the build with a message that
    names it, not with the reader's exception."""
    cut = tmp_path / "cut.pgn.gz"
    whole = gzip.compress(pgn.read_bytes())
    cut.write_bytes(whole[: len(whole) - 20])
    assert dataset.recognise(cut).kind == "pgn"
    assert run(pgn, cut, "--out", tmp_path / "out", "--workers", workers) == 1
    errors = capsys.readouterr().err
    assert f"vorel-dataset: {cut} could not be read to its end: EOFError" in errors
    assert not (tmp_path / "out").exists()


@pytest.fixture(scope="module")
def built(pgn, texts, tmp_path_factory):
    """Datasets of two inputs (the second holding the FEN game and the unreadable one) in shards of
    about 300 positions, as .npy files and as Parquet."""
    root = tmp_path_factory.mktemp("built")
    (root / "second.pgn").write_text("\n".join(texts[15:25]))
    for output in ("npy", "parquet"):
        assert run(pgn, root / "second.pgn", "--out", root / output, "--shard-size", 300, "--format", output) == 0
    return root


@pytest.mark.parametrize("output", ["npy", "parquet"])
def test_the_loader_reads_the_shards_joined(built, output, tmp_path):
    want = columns(built / "npy")
    n = len(want["move"])
    ds = dataset.open(built / output)
    assert len(ds) == n and ds.columns == list(want) and len(ds.shards) > 10
    rng = np.random.default_rng(1)
    for name, array in want.items():
        column, m = ds[name], len(array)
        assert column.shape == array.shape and column.dtype == array.dtype
        picks = rng.integers(-m, m, 100)
        np.testing.assert_array_equal(np.asarray(column), array)
        np.testing.assert_array_equal(list(column), array)
        np.testing.assert_array_equal(column[picks], array[picks])
        np.testing.assert_array_equal(column[picks[:6].reshape(2, 3)], array[picks[:6].reshape(2, 3)])
        mask = rng.random(m) < 0.3
        np.testing.assert_array_equal(column[mask], array[mask])
        np.testing.assert_array_equal(column[int(picks[0])], array[picks[0]])
        for key in (slice(m // 3, 2 * m // 3), slice(5, None, 7), slice(-40, None), slice(9, 9)):
            np.testing.assert_array_equal(column[key], array[key])
        with pytest.raises(IndexError):
            column[m]

    rows = np.r_[0, n - 1, -1, -n, rng.integers(-n, n, 60)]
    for i in rows[:12].tolist():
        one = select(want, [i % n])
        one = {name: one[name] if name == "legal_moves" else one[name][0] for name in one if name != "legal_offsets"}
        assert_same({name: np.asarray(value) for name, value in ds[i].items()}, one)
    assert_same(ds[rows], select(want, rows % n))
    mask = rng.random(n) < 0.3
    assert_same(ds[mask], select(want, mask))
    for key in (slice(None), slice(100, 2000), slice(5, None, 7), slice(-50, None), slice(10, 10)):
        assert_same(ds[key], select(want, np.arange(n)[key]))
    for got, i in zip(ds.__getitems__(rows[:6].tolist()), rows[:6].tolist(), strict=True):
        assert_same({k: np.asarray(v) for k, v in got.items()}, {k: np.asarray(v) for k, v in ds[i].items()})
    for k in range(int(want["game"].max()) + 2):
        assert_same(ds.game(k), select(want, want["game"] == k))

    with pytest.raises(KeyError):
        ds["fen"]
    for key in (n, -n - 1, np.array([0, n]), np.ones(n - 1, bool), np.zeros((2, 2), int)):
        with pytest.raises(IndexError):
            ds[key]
    with pytest.raises(FileNotFoundError):
        dataset.open(tmp_path)


@pytest.mark.parametrize("output", ["npy", "parquet"])
def test_the_loader_refuses_shards_that_are_not_as_the_manifest_says(built, output, tmp_path):
    """A shard's file replaced by another's, or a manifest edited, is an error when read, not
    rows of another shard or of no position."""
    out = tmp_path / "out"
    shutil.copytree(built / output, out)
    first, second = (out / "shards" / shard["name"] for shard in manifest(out)["shards"][:2])
    if output == "npy":
        (second / "move.npy").replace(first / "move.npy")
    else:
        (second / "data.parquet").replace(first / "data.parquet")
    ds = dataset.open(out)
    for read in (lambda: ds[0], lambda: ds["move"][:], lambda: ds[np.arange(len(ds))], lambda: ds.game(0)):
        with pytest.raises(ValueError, match="changed after it was built"):
            read()
    edited = manifest(out)
    edited["positions"] += 1
    (out / "manifest.json").write_text(json.dumps(edited))
    with pytest.raises(ValueError, match="changed after it was built"):
        dataset.open(out)


@pytest.mark.parametrize("scheduler", ["processes", "dask"])
def test_two_workers_write_what_one_does(built, tmp_path, scheduler):
    inputs = [entry["path"] for entry in manifest(built / "npy")["inputs"]]
    command = [*inputs, "--out", tmp_path / "out", "--shard-size", 300, "--workers", 2, "--scheduler", scheduler]
    assert run(*command) == 0
    assert files(tmp_path / "out") == files(built / "npy")
    assert manifest(tmp_path / "out") == manifest(built / "npy")
