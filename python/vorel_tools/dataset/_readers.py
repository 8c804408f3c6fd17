"""The shards of one input: its games (PGN, or the movetext column of a Parquet or Arrow table) or
positions (EPD or FEN lines) as the arrays of the dataset's columns, a shard at a time."""

import operator
import re
from dataclasses import dataclass, field

import numpy as np

import vorel_tools

from ._inputs import InputError, open_text
from ._store import take

# Time controls by lichess's estimate of a game's length: the base plus 40 increments, in seconds.
SPEEDS = (("ultrabullet", 29), ("bullet", 179), ("blitz", 479), ("rapid", 1499), ("classical", float("inf")))
TIME_CONTROL = re.compile(r"(\d+)\+(\d+)")
RESULTS = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}
CASTLING_BITS = {ord("K"): 1, ord("Q"): 2, ord("k"): 4, ord("q"): 8}
# Columns of a Parquet or Arrow table of games that are read besides movetext.
TABLE_TAGS = ("WhiteElo", "BlackElo", "TimeControl", "Event", "Result")


@dataclass(frozen=True)
class Settings:
    """How positions become rows; every field is kept in the manifest, and a build resumes only
    with the same ones."""

    output: str = "npy"  # "npy" or "parquet"
    shard_positions: int = 1 << 20
    legal_moves: bool = True
    policy: str | None = None  # "lc0" or "az": the policy index of the move played
    view: str = "white"  # "side": bitboards as the side to move sees the board
    min_rating: int | None = None
    max_rating: int | None = None
    time_controls: tuple[str, ...] = ()
    event: str | None = None
    rated_only: bool = False
    min_plies: int = 0
    skip_plies: int = 0
    min_clock: float | None = None

    def __post_init__(self):
        """Refuses the values a build would misread: any view but "white" would be read as "side",
        a str of time controls as the letters it holds."""
        for name, allowed in (
            ("output", ("npy", "parquet")),
            ("view", ("white", "side")),
            ("policy", (None, "lc0", "az")),
        ):
            if getattr(self, name) not in allowed:
                raise ValueError(f"{name} must be one of {', '.join(map(repr, allowed))}, not {getattr(self, name)!r}")
        controls = self.time_controls
        if isinstance(controls, str | bytes) or not all(isinstance(control, str) for control in controls):
            raise TypeError(f"time_controls must be a sequence of str, not {controls!r}")
        # Kept as a tuple, so that the settings compare equal to those a manifest gives back.
        object.__setattr__(self, "time_controls", tuple(controls))
        for name, least in (("shard_positions", 1), ("min_plies", 0), ("skip_plies", 0)):
            value = operator.index(getattr(self, name))
            if value < least:
                raise ValueError(f"{name} must be at least {least}, not {value}")
            object.__setattr__(self, name, value)

    def filters_games(self):
        return (
            self.min_rating is not None
            or self.max_rating is not None
            or bool(self.time_controls)
            or self.event is not None
            or self.rated_only
        )

    def columns(self, games):
        """The columns of a dataset of games or of positions, in order."""
        from ._store import GAME_COLUMNS, LEGAL_COLUMNS, POSITION_COLUMNS

        names = [name for name in (GAME_COLUMNS if games else POSITION_COLUMNS) if name != "policy" or self.policy]
        return names + (list(LEGAL_COLUMNS) if self.legal_moves else [])


def speed(time_control):
    """Returns the speed of a TimeControl tag ("180+2": blitz), "correspondence" for "-", or None."""
    if time_control == "-":
        return "correspondence"
    match = TIME_CONTROL.fullmatch(time_control)
    if match is None:
        return None
    length = int(match[1]) + 40 * int(match[2])
    return next(name for name, limit in SPEEDS if length <= limit)


def rating(text):
    return int(text) if text is not None and text.isdigit() and text.isascii() else None


def keeps(settings, tags):
    """Whether the game filters of the settings keep a game with these tags."""
    if settings.min_rating is not None or settings.max_rating is not None:
        for name in ("WhiteElo", "BlackElo"):
            value = rating(tags.get(name))
            if value is None:
                return False
            if settings.min_rating is not None and value < settings.min_rating:
                return False
            if settings.max_rating is not None and value > settings.max_rating:
                return False
    if settings.time_controls:
        control = tags.get("TimeControl", "")
        if control not in settings.time_controls and speed(control) not in settings.time_controls:
            return False
    event = tags.get("Event", "")
    if settings.event is not None and settings.event not in event:
        return False
    return not settings.rated_only or event.startswith("Rated")


@dataclass
class Games:
    """The games of an input given to read_games, in order: which of the input's games each is,
    counted from 0 (the games the filters refuse and those already in shards counted too), and
    for a table, the ratings and result of its columns."""

    skip: int
    settings: Settings
    seen: int = 0
    base: int = 0  # the first game not yet taken
    kept: list = field(default_factory=list)

    def __call__(self, tags):
        """read_games' where: keeps the games past skip that the filters keep."""
        index = self.seen
        self.seen += 1
        if index < self.skip or not keeps(self.settings, tags):
            return False
        self.kept.append(index)
        return True

    def take(self, first, count):
        """Returns the entries kept for the read_games games first to first + count."""
        start = first - self.base
        taken = self.kept[start : start + count]
        del self.kept[: start + count]
        self.base = first + count
        return taken


# Positions (or lines) read at a time: a shard is written a batch at a time, and batches this
# small reuse their memory, where fresh memory would cost more to touch than to fill.
BATCH_POSITIONS = 1 << 14


@dataclass
class Piece:
    """A batch of rows of a shard."""

    arrays: dict
    consumed: int  # the input's games (or lines) read through the batch
    reports: list  # (line, message) of each game or line that could not be read
    ends_shard: bool = False  # the shard ends with the batch (else: when its positions are enough)
    bytes_read: int | None = None  # of the input file so far, when known


def game_pieces(source, games, settings, threads, table=None):
    """Yields the Pieces of the games read_games reads from source, games telling which they are.

    table: true for a table's movetexts, whose games.kept holds (index, white_elo, black_elo,
    result) for each game instead of the index alone.
    """
    filtering = table is None and (games.skip or settings.filters_games())
    with vorel_tools.read_games(
        source,
        batch_positions=min(settings.shard_positions, BATCH_POSITIONS),
        threads=threads,
        legal_moves=settings.legal_moves,
        where=games if filtering else None,
    ) as reader:
        for batch in reader:
            count = len(batch)
            white_elo, black_elo, result = batch.white_elo, batch.black_elo, batch.result
            if table is not None:
                kept = games.take(batch.first_game, count)
                index = np.array([entry[0] for entry in kept], np.int64)
                white_elo = np.where(white_elo >= 0, white_elo, [entry[1] for entry in kept]).astype(np.int32)
                black_elo = np.where(black_elo >= 0, black_elo, [entry[2] for entry in kept]).astype(np.int32)
                result = np.where(result != 2, result, [entry[3] for entry in kept]).astype(np.int8)
            elif filtering:
                index = np.array(games.take(batch.first_game, count), np.int64)
            else:
                index = np.arange(batch.first_game, batch.first_game + count, dtype=np.int64)
                games.seen = batch.first_game + count
            # A game of a table is told by its row; its text's line is that within the row.
            where = batch.line.tolist() if table is None else [f"row {row + 1}" for row in index.tolist()]
            yield Piece(
                batch_arrays(batch, index, white_elo, black_elo, result, settings),
                int(index[-1]) + 1 if count else games.skip,
                [(line, error) for line, error in zip(where, batch.error, strict=True) if error],
                bytes_read=reader.bytes_read,
            )


def batch_arrays(batch, index, white_elo, black_elo, result, settings):
    """The columns of a GameBatch's positions, with the position filters applied."""
    game = batch.game
    offsets = batch.offsets
    ply = np.arange(len(game), dtype=np.int32) - offsets[game].astype(np.int32)
    arrays = {
        "bitboards": batch.bitboards if settings.view == "white" else vorel_tools.bitboards(batch, view="side"),
        "white_to_move": batch.white_to_move,
        "castling": batch.castling,
        "en_passant": batch.en_passant,
        "halfmove_clock": batch.halfmove_clock,
        "fullmove": batch.fullmove,
        "move": batch.move,
        "clock": batch.clock,
        "eval": batch.eval,
        "mate": batch.mate,
        "result": result[game],
        "game": index[game],
        "ply": ply,
        "white_elo": white_elo[game],
        "black_elo": black_elo[game],
    }
    if settings.policy:
        policy = vorel_tools.move_index(batch.move, batch.white_to_move, scheme=settings.policy)
        arrays["policy"] = policy.astype(np.int16)
    if settings.legal_moves:
        arrays["legal_moves"], arrays["legal_offsets"] = batch.legal_moves, batch.legal_offsets
    keep = None
    if settings.skip_plies:
        keep = ply >= settings.skip_plies
    if settings.min_plies:
        long_enough = (offsets[1:] - offsets[:-1] >= settings.min_plies)[game]
        keep = long_enough if keep is None else keep & long_enough
    if settings.min_clock is not None:
        # A position whose move has no clock comment is kept.
        with np.errstate(invalid="ignore"):
            in_time = ~(batch.clock < settings.min_clock)
        keep = in_time if keep is None else keep & in_time
    return arrays if keep is None or keep.all() else take(arrays, keep)


def tag_text(value):
    """A value of a table's column as the text of a tag: a whole float (a rating in a column of
    floats, as pandas stores integers with nulls) without its ".0"."""
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


def table_pieces(path, kind, games, settings, threads):
    """The Pieces of a Parquet or Arrow table's movetext column; rows are games."""
    import pyarrow.dataset

    table = pyarrow.dataset.dataset(path, format="parquet" if kind == "parquet" else "ipc")
    names = table.schema.names
    if "movetext" not in names:
        raise InputError(f"{path}: a {kind} table without a 'movetext' column (it has {', '.join(names)})")
    columns = ["movetext", *(name for name in TABLE_TAGS if name in names)]

    def movetexts():
        for record_batch in table.to_batches(columns=columns, batch_size=4096):
            values = {name: record_batch.column(name).to_pylist() for name in columns}
            for row, text in enumerate(values["movetext"]):
                tags = {name: tag_text(values[name][row]) for name in columns[1:] if values[name][row] is not None}
                if games(tags):
                    white, black = rating(tags.get("WhiteElo")), rating(tags.get("BlackElo"))
                    result = RESULTS.get(tags.get("Result"), 2)
                    entry = (games.kept[-1], -1 if white is None else white, -1 if black is None else black, result)
                    games.kept[-1] = entry
                    yield text

    yield from game_pieces(movetexts(), games, settings, threads, table=True)


def _rejection(fen):
    """Why vorel_tools refuses a position, without the row prefix of its message."""
    try:
        vorel_tools.legal_moves([fen])
    except ValueError as error:
        return str(error).split(": ", 1)[1]
    return "not a position"


def state_of(fens):
    """The side to move, castling bits and en-passant file of FEN texts as vorel_tools.fens writes
    them (an S array: the fields as the board holds them, which are those the line gives), read
    from the last 12 bytes of each: "... w KQkq e3" ends in those fields."""
    count = len(fens)
    if count == 0:
        return np.zeros(0, bool), np.zeros(0, np.uint8), np.zeros(0, np.int8)
    chars = fens.view(np.uint8).reshape(count, fens.dtype.itemsize)
    ends = np.strings.str_len(fens)
    tails = chars[np.arange(count)[:, None], ends[:, None] + np.arange(-12, 0)]
    # The spaces right of each byte: 0 in the en-passant field, 1 in the castling field, 2 in the
    # side to move.
    spaces = (tails == ord(" ")).astype(np.int8)
    right = np.cumsum(spaces[:, ::-1], axis=1)[:, ::-1] - spaces
    white = ((tails == ord("w")) & (right == 2)).any(axis=1)
    castling = np.zeros(count, np.uint8)
    for letter, bit in CASTLING_BITS.items():
        castling |= np.where(((tails == letter) & (right == 1)).any(axis=1), bit, 0).astype(np.uint8)
    # The en-passant field is "-" (the last byte) or a square (the last two).
    file = np.where(tails[:, 10] == ord(" "), tails[:, 11], tails[:, 10])
    en_passant = np.where(file == ord("-"), -1, file.astype(np.int16) - ord("a")).astype(np.int8)
    return white, castling, en_passant


def counters(texts):
    """The half-move clock and move number of each FEN line (a line of EPD, whose operations
    stand there instead, gets 0 and 1, as does a line of the four fields alone)."""
    pairs = []
    for text in texts:
        fields = text.split(None, 6) if text.strip().count(b" ") > 3 or b"\t" in text else ()
        if len(fields) >= 6 and fields[4].isdigit() and fields[5].isdigit():
            pairs.append((min(int(fields[4]), 65535), min(int(fields[5]), 65535)))
        else:
            pairs.append((0, 1))
    return np.array(pairs, np.uint16).reshape(-1, 2)


def position_shard(texts, numbers, settings):
    """The arrays of a batch of position lines (bytes, as read), and the lines refused with why.
    vorel_tools reads a line's first four fields as a position and nothing past them."""
    line = np.array(numbers, np.int64)
    if settings.legal_moves:
        moves, offsets, valid = vorel_tools.legal_moves(texts, errors="skip")
    else:
        valid = vorel_tools.status(texts, errors="skip")[1]
    reports = []
    if not valid.all():
        kept = valid.tolist()
        reports = [(number, _rejection(text)) for text, number, ok in zip(texts, numbers, kept, strict=True) if not ok]
        texts = [text for text, ok in zip(texts, kept, strict=True) if ok]
        line = line[valid]
    if not texts:
        texts = np.zeros(0, "S1")  # an array, so that every call below makes empty arrays
    white_to_move, castling, en_passant = state_of(vorel_tools.fens(texts))
    counted = counters(texts)
    arrays = {
        "bitboards": vorel_tools.bitboards(texts, view=settings.view),
        "white_to_move": white_to_move,
        "castling": castling,
        "en_passant": en_passant,
        "halfmove_clock": counted[:, 0],
        "fullmove": counted[:, 1],
        "line": line,
    }
    if settings.legal_moves:
        arrays["legal_moves"], arrays["legal_offsets"] = moves, offsets
    return arrays, reports


def epd_pieces(path, compression, skip, settings):
    """The Pieces of a file of EPD or FEN lines: shards of shard_positions lines each (blank and
    # lines left out); skip: the lines already in shards."""
    texts, numbers = [], []
    number = in_shard = 0
    with open_text(path, compression) as file:
        # A block of whole lines at a time: a line ends at b"\n", b"\r\n" or a lone b"\r" (as
        # files of old Macs end them), which readlines() does not split at.
        for lines in iter(lambda: file.readlines(1 << 22), []):
            if any(line.count(b"\r") > line.endswith(b"\r\n") for line in lines):
                lines = [part for line in lines for part in line.splitlines(keepends=True)]
            first = number + 1
            number += len(lines)
            if number <= skip:
                continue
            for offset, text in enumerate(lines):
                # Blank lines and comments are left out (a byte-order mark may start the file).
                stripped = text.strip()
                if stripped[:3] == b"\xef\xbb\xbf":
                    text = stripped = stripped[3:].strip()
                if not stripped or stripped[:1] == b"#" or first + offset <= skip:
                    continue
                texts.append(text)
                numbers.append(first + offset)
                in_shard += 1
                if in_shard == settings.shard_positions or len(texts) == BATCH_POSITIONS:
                    arrays, reports = position_shard(texts, numbers, settings)
                    yield Piece(arrays, first + offset, reports, ends_shard=in_shard == settings.shard_positions)
                    texts, numbers = [], []
                    in_shard %= settings.shard_positions
    if texts:
        arrays, reports = position_shard(texts, numbers, settings)
        yield Piece(arrays, number, reports, ends_shard=True)
