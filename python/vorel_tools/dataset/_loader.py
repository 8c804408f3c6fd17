"""Reading a built dataset: its shards joined into one sequence of positions."""

import operator
from pathlib import Path

import numpy as np

from ._store import (
    COLUMNS,
    FORMAT,
    LEGAL_COLUMNS,
    MANIFEST,
    SHARDS,
    checked,
    map_npy,
    read_json,
    read_parquet,
    segments,
)


def index_array(key, length, what):
    """Returns the indices an array index (of ints, or a bool mask of `length`) takes of `length`
    rows: int64, flat, those from the end counted from the start; and the index's shape.

    :raises IndexError: for another index, or one out of range.
    """
    indices = np.asarray(key)
    if indices.dtype == bool:
        if indices.shape != (length,):
            raise IndexError(f"a bool index of {length} {what} is needed, not of shape {indices.shape}")
        indices = np.flatnonzero(indices)
    elif indices.size == 0:
        indices = indices.astype(np.int64)
    elif not np.issubdtype(indices.dtype, np.integer):
        raise IndexError(f"an index array must hold ints or bools, not {indices.dtype}")
    shape = indices.shape
    flat = indices.astype(np.int64, copy=False).reshape(-1)
    if flat.size and (flat.min() < -length or flat.max() >= length):
        raise IndexError(f"an index is out of range for {length} {what}")
    return np.where(flat < 0, flat + length, flat), shape


class Column:
    """One column of a dataset, its shards joined: indexed like a NumPy array (an int, a slice, an
    array of ints or bools), each shard memory-mapped (.npy shards) or read on first use (Parquet
    shards). ``numpy.asarray(column)`` reads it whole into memory.

    ``dataset["legal_moves"]`` has a row per legal move and ``dataset["legal_offsets"]`` one more
    row than positions: position i's legal moves are
    ``legal_moves[legal_offsets[i]:legal_offsets[i + 1]]``.
    """

    def __init__(self, dataset, name):
        self._dataset = dataset
        self.name = name
        self.dtype = np.dtype(COLUMNS[name][0])
        self.row_shape = COLUMNS[name][1]
        sizes = dataset._sizes(name)
        self._starts = np.zeros(len(sizes) + 1, np.int64)
        np.cumsum(sizes, out=self._starts[1:])
        self._bases = dataset._bases(name)

    def __len__(self):
        return int(self._starts[-1])

    @property
    def shape(self):
        return (len(self), *self.row_shape)

    @property
    def ndim(self):
        return len(self.shape)

    def __repr__(self):
        return f"<vorel_tools.dataset.Column {self.name!r} {self.dtype} {self.shape}>"

    def _part(self, shard):
        return self._dataset._shard_array(shard, self.name)

    def __getitem__(self, key):
        if isinstance(key, slice):
            start, stop, step = key.indices(len(self))
            if step != 1:
                return self[np.arange(start, stop, step)]
            return self._range(start, max(start, stop))
        if isinstance(key, tuple):
            raise IndexError("a dataset column takes one index (an int, a slice or an array of them)")
        try:
            index = operator.index(key)
        except TypeError:
            return self._take(key)
        if not -len(self) <= index < len(self):
            raise IndexError(f"index {index} is out of range for {len(self)} rows")
        index %= len(self)
        shard = int(np.searchsorted(self._starts, index, "right")) - 1
        return self._part(shard)[index - self._starts[shard]] + self.dtype.type(self._bases[shard])

    def _range(self, start, stop):
        first = int(np.searchsorted(self._starts, start, "right")) - 1
        pieces = []
        shard = first
        while start < stop:
            end = min(stop, int(self._starts[shard + 1]))
            local = slice(start - int(self._starts[shard]), end - int(self._starts[shard]))
            pieces.append(self._part(shard)[local] + self.dtype.type(self._bases[shard]))
            start, shard = end, shard + 1
        if not pieces:
            return np.zeros((0, *self.row_shape), self.dtype)
        return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)

    def _take(self, key):
        indices, shape = index_array(key, len(self), "rows")  # the result takes the key's shape
        out = np.empty((len(indices), *self.row_shape), self.dtype)
        if not len(indices):
            return out.reshape(*shape, *self.row_shape)
        shards = np.searchsorted(self._starts, indices, "right") - 1
        order = np.argsort(shards, kind="stable")
        present, first = np.unique(shards[order], return_index=True)
        ends = [*first[1:].tolist(), len(order)]
        for shard, begin, end in zip(present.tolist(), first.tolist(), ends, strict=True):
            rows = order[begin:end]
            out[rows] = self._part(shard)[indices[rows] - self._starts[shard]] + self.dtype.type(self._bases[shard])
        return out.reshape(*shape, *self.row_shape)

    def __array__(self, dtype=None, copy=None):
        whole = self[:]
        return whole.astype(dtype, copy=False) if dtype is not None else np.asarray(whole)

    def __iter__(self):
        for shard in range(len(self._starts) - 1):
            yield from self._part(shard) + self.dtype.type(self._bases[shard])


class Dataset:
    """A dataset built by vorel-dataset, its shards joined: ``len(ds)`` positions.

    - ``ds[i]``: a dict of position i's fields (NumPy scalars, bitboards and legal moves arrays),
      so that ``ds`` serves as a PyTorch map-style dataset as it is;
    - ``ds[rows]`` for a slice or an array of ints or bools: a dict of arrays of those positions,
      with their legal moves as ``legal_moves`` and ``legal_offsets`` of their own;
    - ``ds["move"]`` (any column's name): the whole column as a Column;
    - ``ds.game(k)``: the positions of game k, as ``ds[rows]`` gives them.
    """

    def __init__(self, path):
        self.path = Path(path)
        try:
            self.manifest = read_json(self.path / MANIFEST)
        except FileNotFoundError:
            raise FileNotFoundError(f"{self.path} holds no dataset (no {MANIFEST})") from None
        if not isinstance(self.manifest, dict) or self.manifest.get("format") != FORMAT:
            raise ValueError(f"{self.path / MANIFEST} is not the manifest of a vorel-dataset")
        if not self.manifest.get("complete"):
            raise ValueError(f"{self.path} is an unfinished build: run the command that built it again to finish it")
        self.columns = list(self.manifest["columns"])
        self.shards = self.manifest["shards"]
        self._output = self.manifest["settings"]["output"]
        self._row_columns = [name for name in self.columns if name not in LEGAL_COLUMNS]
        self._arrays = {}
        self._columns = {}  # one Column a name, made on first use
        self._loaded = {}  # Parquet shards read, the last few kept
        first_games = [shard.get("first_game") for shard in self.shards]
        self._game_shards = [i for i, first in enumerate(first_games) if first is not None]
        self._first_games = np.array([first_games[i] for i in self._game_shards], np.int64)
        self._position_starts = np.zeros(len(self.shards) + 1, np.int64)
        np.cumsum([shard["positions"] for shard in self.shards], out=self._position_starts[1:])
        if self._position_starts[-1] != self.manifest["positions"]:
            raise ValueError(
                f"{self.path / MANIFEST} counts {self.manifest['positions']} positions, its shards "
                f"{self._position_starts[-1]}: the dataset was changed after it was built"
            )

    def __len__(self):
        return self.manifest["positions"]

    def __repr__(self):
        return f"<vorel_tools.dataset.Dataset {str(self.path)!r}: {len(self):,} positions, {len(self.shards)} shards>"

    def _sizes(self, name):
        if name == "legal_moves":
            return [shard["legal_moves"] for shard in self.shards]
        sizes = [shard["positions"] for shard in self.shards]
        return sizes + [1] if name == "legal_offsets" else sizes

    def _bases(self, name):
        count = len(self.shards)
        if name == "game":
            return [self.manifest["inputs"][shard["input"]]["first_game"] for shard in self.shards]
        if name == "legal_offsets":
            moves = np.zeros(count + 1, np.int64)
            np.cumsum([shard["legal_moves"] for shard in self.shards], out=moves[1:])
            return moves.tolist()
        return [0] * count

    def _column(self, name):
        column = self._columns.get(name)
        if column is None:
            column = self._columns[name] = Column(self, name)
        return column

    def _shape(self, shard, name):
        """The shape of a column's array in a shard, as the manifest gives it."""
        info = self.shards[shard]
        rows = {"legal_moves": info["legal_moves"], "legal_offsets": info["positions"] + 1}
        return (rows.get(name, info["positions"]), *COLUMNS[name][1])

    def _shard_array(self, shard, name, whole=False):
        if name == "legal_offsets" and shard == len(self.shards):
            return np.zeros(1, np.int64)  # the end of the last position's moves, at its base
        key = (shard, name)
        array = self._arrays.get(key)
        if array is None:
            directory = self.path / SHARDS / self.shards[shard]["name"]
            if self._output == "parquet":
                arrays = self._loaded.pop(shard, None)
                if arrays is None:
                    arrays = read_parquet(directory / "data.parquet", self.columns)
                    for column, values in arrays.items():
                        checked(values, directory / "data.parquet", COLUMNS[column][0], self._shape(shard, column))
                self._loaded[shard] = arrays
                while len(self._loaded) > 4:
                    self._loaded.pop(next(iter(self._loaded)))
                array = arrays[name]
            else:
                shape = self._shape(shard, name)
                array = self._arrays[key] = map_npy(directory / f"{name}.npy", COLUMNS[name][0], shape)
        if name == "legal_offsets" and not whole:
            array = array[:-1]
        return array

    def __getitem__(self, key):
        if isinstance(key, str):
            if key not in self.columns:
                raise KeyError(f"no column {key!r}; the columns are {', '.join(self.columns)}")
            return self._column(key)
        try:
            index = operator.index(key)
        except TypeError:
            return self._rows(key)
        if not -len(self) <= index < len(self):
            raise IndexError(f"position {index} is out of range for {len(self)} positions")
        index %= len(self)
        row = {name: self._column(name)[index] for name in self._row_columns}
        if "legal_moves" in self.columns:
            offsets = self._column("legal_offsets")[index : index + 2]
            row["legal_moves"] = self._column("legal_moves")[int(offsets[0]) : int(offsets[1])]
        return row

    def _rows(self, key):
        if isinstance(key, slice):
            start, stop, step = key.indices(len(self))
            if step == 1:
                return self._range(start, max(start, stop))
            rows = np.arange(start, stop, step)
        else:
            rows, shape = index_array(key, len(self), "positions")
            if len(shape) > 1:
                raise IndexError(f"the positions are taken by a one-dimensional array, not of shape {shape}")
        columns = {name: self._column(name) for name in self._row_columns}
        # The rows in ascending order, each shard's together, read each in one pass over its
        # files; the results are then put back in the order asked for.
        order = np.argsort(rows)
        ascending = rows[order]
        starts = self._position_starts
        bounds = np.searchsorted(ascending, starts)
        present = np.flatnonzero(bounds[1:] > bounds[:-1]).tolist()
        sorted_batch = {
            name: np.empty((len(rows), *column.row_shape), column.dtype) for name, column in columns.items()
        }
        legal = "legal_moves" in self.columns
        if legal:
            lengths = np.empty(len(rows), np.int64)
            begins = np.empty(len(rows), np.int64)
        for shard in present:
            block = slice(bounds[shard], bounds[shard + 1])
            local = ascending[block] - starts[shard]
            for name, column in columns.items():
                out = sorted_batch[name][block]
                np.take(column._part(shard), local, axis=0, out=out)
                if column._bases[shard]:
                    out += column.dtype.type(column._bases[shard])
            if legal:
                offsets = self._shard_array(shard, "legal_offsets", whole=True)
                np.take(offsets, local, out=begins[block])
                np.subtract(np.take(offsets, local + 1), begins[block], out=lengths[block])
        inverse = np.empty(len(rows), np.int64)
        inverse[order] = np.arange(len(rows))
        batch = {name: values[inverse] for name, values in sorted_batch.items()}
        if legal:
            # Each position's moves in the order asked for: the sorted rows' runs of moves are
            # copied to where their rows went.
            joined = np.zeros(len(rows) + 1, np.int64)
            np.cumsum(lengths[inverse], out=joined[1:])
            items = np.empty(joined[-1], np.dtype(COLUMNS["legal_moves"][0]))
            for shard in present:
                block = slice(bounds[shard], bounds[shard + 1])
                into, out_of = segments(joined[order[block]], begins[block], lengths[block])
                items[into] = self._shard_array(shard, "legal_moves")[out_of]
            batch["legal_moves"], batch["legal_offsets"] = items, joined
        return batch

    def _range(self, start, stop):
        """The positions start to stop, each column read in one piece per shard."""
        batch = {name: self._column(name)[start:stop] for name in self._row_columns}
        if "legal_moves" in self.columns:
            offsets = self._column("legal_offsets")[start : stop + 1]
            batch["legal_moves"] = self._column("legal_moves")[int(offsets[0]) : int(offsets[-1])]
            batch["legal_offsets"] = offsets - offsets[0]
        return batch

    def __getitems__(self, indices):
        """The positions at indices, each as ``ds[i]`` gives it (PyTorch's batched fetch)."""
        return [self[index] for index in indices]

    def game(self, index):
        """The positions of game ``index`` (counted among all the games of the inputs, as the
        ``game`` column counts), as ``ds[rows]`` gives them; none for a game with no position."""
        index = operator.index(index)
        found = int(np.searchsorted(self._first_games, index, "right")) - 1
        if found >= 0:
            shard = self._game_shards[found]
            if index <= self.shards[shard]["last_game"]:
                games = self._column("game")
                start = int(games._starts[shard])
                local = self._shard_array(shard, "game")
                base = games._bases[shard]
                first = int(np.searchsorted(local, index - base, "left"))
                last = int(np.searchsorted(local, index - base, "right"))
                return self._rows(slice(start + first, start + last))
        return self._rows(slice(0, 0))


def open(path):
    """Opens the dataset that vorel-dataset built in the directory path.

    :raises FileNotFoundError: when the directory holds no dataset; ValueError when its build is
        unfinished (running the same command again finishes it).
    """
    return Dataset(path)
