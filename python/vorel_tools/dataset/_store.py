"""The layout of a dataset on disk: its columns, its shards (a directory of .npy files each, or one
Parquet file) and its manifest."""

import json
import math
import mmap
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


# The size of the header of every .npy file a shard holds: room for any shape, so that it can be
# written before the rows and rewritten with their number at the end.
NPY_HEADER_SIZE = 128


def npy_header(dtype, shape):
    """The bytes of a version 1.0 .npy header of NPY_HEADER_SIZE bytes."""
    text = repr({"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": shape})
    room = NPY_HEADER_SIZE - 10
    return b"\x93NUMPY\x01\x00" + room.to_bytes(2, "little") + text.ljust(room - 1).encode("latin-1") + b"\n"


class ShardWriter:
    """Writes a shard a batch of positions at a time, whole or not at all: into a directory of
    another name, renamed when it is closed. The columns of .npy shards are appended to their
    files as they come (the headers get the row counts at the end); Parquet shards get a row
    group a batch."""

    def __init__(self, directory, name, output):
        self.final = directory / name
        self.partial = directory / (name + ".partial")
        if self.partial.exists():
            shutil.rmtree(self.partial)
        self.partial.mkdir()
        self.output = output
        self.files = {}
        self.rows = {}
        self.parquet = None
        self.moves = 0  # legal moves written so far: the base of the next batch's offsets

    def append(self, arrays):
        """Writes the columns of a batch of positions after those before it."""
        if self.output == "parquet":
            import pyarrow.parquet as pq

            table = parquet_table(arrays)
            if self.parquet is None:
                self.parquet = pq.ParquetWriter(
                    self.partial / PARQUET_FILE, table.schema, compression="zstd", compression_level=1
                )
            self.parquet.write_table(table)
            return
        for column, array in arrays.items():
            dtype, shape, _ = COLUMNS[column]
            array = np.ascontiguousarray(array, dtype=dtype)
            assert array.shape[1:] == shape, (column, array.shape)
            file = self.files.get(column)
            if file is None:
                file = self.files[column] = open(self.partial / f"{column}.npy", "wb")  # noqa: SIM115 - closed in close()
                file.write(bytes(NPY_HEADER_SIZE))
                self.rows[column] = 0
            elif column == "legal_offsets":
                # One offsets array over the shard: each batch's offsets go on from the last's end.
                array = array[1:] + self.moves
            file.write(array.data)
            self.rows[column] += len(array)
        if "legal_offsets" in arrays:
            self.moves += int(arrays["legal_offsets"][-1])

    def close(self, info):
        """Finishes the shard, with its counts written beside it as shard.json."""
        if self.parquet is not None:
            self.parquet.close()
        for column, file in self.files.items():
            file.seek(0)
            file.write(npy_header(np.dtype(COLUMNS[column][0]), (self.rows[column], *COLUMNS[column][1])))
            file.close()
        write_json(self.partial / SHARD_INFO, info)
        os.replace(self.partial, self.final)

    def abandon(self):
        for file in self.files.values():
            file.close()
        if self.parquet is not None:
            self.parquet.close()


def parquet_table(arrays):
    """A Parquet table of a batch's columns: bitboards as lists of 12, legal moves as a list per
    position."""
    import pyarrow as pa

    fields = {}
    for column, array in arrays.items():
        if column == "bitboards":
            fields[column] = pa.FixedSizeListArray.from_arrays(pa.array(array.reshape(-1)), 12)
        elif column == "legal_moves":
            offsets = arrays["legal_offsets"]
            fields[column] = pa.LargeListArray.from_arrays(pa.array(offsets), pa.array(array))
        elif column != "legal_offsets":
            fields[column] = pa.array(array)
    return pa.table(fields)


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


def segments(into, out_of, lengths):
    """Returns the indices (destination, source) that copy runs of lengths items each, run k from
    out_of[k] on to into[k] on."""
    total = int(lengths.sum())
    within = np.arange(total) - np.repeat(np.cumsum(lengths) - lengths, lengths)
    return np.repeat(into, lengths) + within, np.repeat(out_of, lengths) + within


def gather_lists(values, offsets, rows):
    """Returns (the items of lists rows, one list after another, and their offsets) of a column of
    lists held as values and offsets (list i is values[offsets[i]:offsets[i + 1]])."""
    starts = offsets[:-1][rows]
    lengths = offsets[1:][rows] - starts
    joined = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=joined[1:])
    return values[segments(joined[:-1], starts, lengths)[1]], joined


def take(arrays, rows):
    """Returns the arrays of the positions rows (a bool mask or indices) of a shard's arrays."""
    taken = {name: array[rows] for name, array in arrays.items() if name not in LEGAL_COLUMNS}
    if "legal_moves" in arrays:
        taken["legal_moves"], taken["legal_offsets"] = gather_lists(
            arrays["legal_moves"], arrays["legal_offsets"], rows
        )
    return taken


def checked(array, path, dtype, shape):
    """Returns the array read from a shard's file when it has the dtype and shape the manifest
    gives it; raises ValueError when not (a file replaced, cut short or grown since the build),
    rather than give rows of another shard, type or position."""
    if array.dtype != dtype or array.shape != tuple(shape):
        raise ValueError(
            f"{path} holds {array.dtype.str} {array.shape} where the manifest says {np.dtype(dtype).str} "
            f"{tuple(shape)}: the dataset was changed after it was built"
        )
    return array


def map_npy(path, dtype, shape):
    """Returns a .npy file of a shard memory-mapped, read-only: its rows are read from the file as
    they are used. A file of the layout a shard is written in (a header of NPY_HEADER_SIZE bytes,
    then exactly the rows of the shape) is mapped straight away; any other is read by NumPy,
    which checks its header."""
    dtype = np.dtype(dtype)
    descriptor = os.open(path, os.O_RDONLY)
    try:
        size = os.fstat(descriptor).st_size
        header = os.pread(descriptor, NPY_HEADER_SIZE, 0)
        if header != npy_header(dtype, shape) or size != NPY_HEADER_SIZE + dtype.itemsize * math.prod(shape):
            return checked(np.load(path, mmap_mode="r", allow_pickle=False), path, dtype, shape)
        if size == NPY_HEADER_SIZE:
            return np.zeros(shape, dtype)
        mapped = mmap.mmap(descriptor, 0, access=mmap.ACCESS_READ)
    finally:
        os.close(descriptor)
    return np.frombuffer(mapped, dtype, offset=NPY_HEADER_SIZE).reshape(shape)
