"""The layout of a dataset on disk: its columns, its shards (a directory of .npy files each, or one
Parquet file) and its manifest."""

import json
import os
import shutil
from pathlib import Path

import numpy as np

MANIFEST = "manifest.json"
SHARDS = "shards"
FORMAT = "vorel-dataset"
FORMAT_VERSION = 1
PARQUET_FILE = "data.parquet"
SHARD_INFO = "shard.json"

# Every column a dataset may hold: its dtype, the shape of one row, and what it is. A shard holds
# one row per position, but legal_moves, one row per legal move, and legal_offsets, one more
# row than positions (position i's moves are legal_moves[legal_offsets[i]:legal_offsets[i + 1]]).
COLUMNS = {
    "bitboards": ("<u8", (12,), "the 12 piece bitboards, by piece index (vorel_tools.bitboards)"),
    "white_to_move": ("|b1", (), "White is to move"),
    "castling": ("|u1", (), "castling rights, bits 1 K, 2 Q, 4 k, 8 q"),
    "en_passant": ("|i1", (), "the en-passant file (0 for a), -1 for none"),
    "halfmove_clock": ("<u2", (), "half-moves since the last capture or pawn move"),
    "fullmove": ("<u2", (), "the move number"),
    "move": ("<u2", (), "the move played there, as a move word"),
    "policy": ("<i2", (), "the policy index of the move played (--policy)"),
    "clock": ("<f4", (), "seconds on the mover's clock after the move ([%clk]), NaN without"),
    "eval": ("<f4", (), "the evaluation after the move in pawns ([%eval]), NaN without or for a mate"),
    "mate": ("<i2", (), "[%eval #n] after the move: n, negative when Black mates; 0 without"),
    "result": ("|i1", (), "the game's result: 1 White won, 0 draw, -1 Black won, 2 unknown"),
    "game": ("<i8", (), "the index of the game among all the games of the inputs, from 0"),
    "ply": ("<i4", (), "half-moves played in the game before the position"),
    "white_elo": ("<i4", (), "White's rating, -1 when not given"),
    "black_elo": ("<i4", (), "Black's rating, -1 when not given"),
    "line": ("<i8", (), "the line of the input the position was read from, from 1"),
    "legal_moves": ("<u2", (), "the legal moves of every position, one list after another"),
    "legal_offsets": ("<i8", (), "where each position's legal moves start in legal_moves"),
}
GAME_COLUMNS = (
    "bitboards",
    "white_to_move",
    "castling",
    "en_passant",
    "halfmove_clock",
    "fullmove",
    "move",
    "policy",
    "clock",
    "eval",
    "mate",
    "result",
    "game",
    "ply",
    "white_elo",
    "black_elo",
)
POSITION_COLUMNS = ("bitboards", "white_to_move", "castling", "en_passant", "halfmove_clock", "fullmove", "line")
LEGAL_COLUMNS = ("legal_moves", "legal_offsets")


def schema(names):
    return {name: {"dtype": COLUMNS[name][0], "shape": list(COLUMNS[name][1])} for name in names}


def write_json(path, value):
    """Writes a JSON file whole or not at all."""
    partial = path.with_name(path.name + ".partial")
    partial.write_text(json.dumps(value, indent=1) + "\n")
    os.replace(partial, path)


def read_json(path):
    return json.loads(Path(path).read_text())


def shard_name(input_index, shard_index):
    return f"{input_index:05d}-{shard_index:06d}"


def write_shard(directory, name, arrays, info, output):
    """Writes a shard whole or not at all: into a directory of another name, renamed when done.

    arrays: the columns by name; info: the shard's counts, written beside them as shard.json.
    """
    final = directory / name
    partial = directory / (name + ".partial")
    if partial.exists():
        shutil.rmtree(partial)
    partial.mkdir()
    if output == "parquet":
        write_parquet(partial / PARQUET_FILE, arrays)
    else:
        for column, array in arrays.items():
            dtype, shape, _ = COLUMNS[column]
            array = np.ascontiguousarray(array, dtype=dtype)
            assert array.shape[1:] == shape, (column, array.shape)
            np.save(partial / f"{column}.npy", array, allow_pickle=False)
    write_json(partial / SHARD_INFO, info)
    os.replace(partial, final)


def write_parquet(path, arrays):
    import pyarrow as pa
    import pyarrow.parquet as pq

    n = len(arrays["white_to_move"])
    fields = {}
    for column, array in arrays.items():
        if column in LEGAL_COLUMNS:
            continue
        if column == "bitboards":
            fields[column] = pa.FixedSizeListArray.from_arrays(pa.array(array.reshape(-1)), 12)
        else:
            fields[column] = pa.array(array)
    if "legal_moves" in arrays:
        offsets = pa.array(arrays["legal_offsets"].astype(np.int32, copy=False))
        if arrays["legal_offsets"][-1] > np.iinfo(np.int32).max:
            offsets = pa.array(arrays["legal_offsets"])
            fields["legal_moves"] = pa.LargeListArray.from_arrays(offsets, pa.array(arrays["legal_moves"]))
        else:
            fields["legal_moves"] = pa.ListArray.from_arrays(offsets, pa.array(arrays["legal_moves"]))
    table = pa.table(fields)
    assert table.num_rows == n
    pq.write_table(table, path, compression="zstd", compression_level=1)


def read_parquet(path, names):
    """Returns the columns of a Parquet shard as NumPy arrays, in the layout of the .npy shards."""
    import pyarrow.parquet as pq

    wanted = [name for name in names if name != "legal_offsets"]
    if "legal_offsets" in names and "legal_moves" not in wanted:
        wanted.append("legal_moves")
    table = pq.read_table(path, columns=wanted)
    arrays = {}
    for name in wanted:
        column = table.column(name).combine_chunks()
        if name == "bitboards":
            arrays[name] = column.flatten().to_numpy().reshape(-1, 12)
        elif name == "legal_moves":
            arrays[name] = column.flatten().to_numpy()
            arrays["legal_offsets"] = column.offsets.to_numpy().astype(np.int64) - column.offsets[0].as_py()
        else:
            arrays[name] = column.to_numpy(zero_copy_only=False)
    return {name: np.asarray(array, dtype=COLUMNS[name][0]) for name, array in arrays.items()}


def gather_lists(values, offsets, rows):
    """Returns (the items of lists rows, one list after another, and their offsets) of a column of
    lists held as values and offsets (list i is values[offsets[i]:offsets[i + 1]])."""
    starts = offsets[:-1][rows]
    lengths = offsets[1:][rows] - starts
    joined = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=joined[1:])
    items = np.repeat(starts - joined[:-1], lengths) + np.arange(joined[-1])
    return values[items], joined


def take(arrays, rows):
    """Returns the arrays of the positions rows (a bool mask or indices) of a shard's arrays."""
    taken = {name: array[rows] for name, array in arrays.items() if name not in LEGAL_COLUMNS}
    if "legal_moves" in arrays:
        taken["legal_moves"], taken["legal_offsets"] = gather_lists(
            arrays["legal_moves"], arrays["legal_offsets"], rows
        )
    return taken


def read_shard_column(shard_directory, name, output):
    """Returns one column of a shard: memory-mapped from a .npy shard."""
    if output == "parquet":
        return read_parquet(shard_directory / PARQUET_FILE, [name])[name]
    return np.load(shard_directory / f"{name}.npy", mmap_mode="r", allow_pickle=False)
