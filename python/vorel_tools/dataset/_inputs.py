"""What an input file is, told from its first bytes: its kind (PGN games, EPD or FEN lines, a
Parquet or Arrow table of games) and its compression."""

import bz2
import gzip
import lzma
import os
import re
from dataclasses import dataclass
from pathlib import Path

# Compression by the magic number a file starts with.
COMPRESSIONS = (
    (b"\x1f\x8b", "gzip"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)
BZIP2 = re.compile(rb"BZh[1-9]")
ZSTD_SKIPPABLE = re.compile(rb"[\x50-\x5f]\x2a\x4d\x18")
TABLES = ((b"PAR1", "parquet"), (b"ARROW1", "arrow"))
# Text looked at to tell PGN from EPD.
SAMPLE_SIZE = 1 << 16
# The placement field of a FEN: eight ranks of piece letters and digits.
PLACEMENT = re.compile(r"([pnbrqkPNBRQK1-8]{1,8}/){7}[pnbrqkPNBRQK1-8]{1,8}")
MOVE_NUMBER = re.compile(r"\d+\.")

KINDS_TEXT = "PGN games, EPD or FEN lines, or a Parquet or Arrow table with a 'movetext' column"
HINT = (
    "vorel-dataset reads PGN files (plain or compressed with gzip, bzip2, xz or zstd, as lichess "
    "publishes them), files of EPD or FEN lines, one position a line, and Parquet or Arrow files "
    "with a 'movetext' column"
)


class InputError(ValueError):
    """An input that cannot be read: the message says why and what would be read."""


@dataclass(frozen=True)
class Input:
    path: str
    kind: str  # "pgn", "epd", "parquet" or "arrow"
    compression: str | None  # "gzip", "bz2", "xz", "lzma", "zstd" or None
    size: int
    mtime_ns: int

    @property
    def games(self):
        """Whether the input holds games (else positions)."""
        return self.kind != "epd"

    def identity(self):
        """What a resumed build checks has not changed since the build began."""
        return {"path": self.path, "size": self.size, "mtime_ns": self.mtime_ns}


def compression_of(head, path):
    for magic, name in COMPRESSIONS:
        if head.startswith(magic):
            return name
    if BZIP2.match(head):
        return "bz2"
    if ZSTD_SKIPPABLE.match(head):
        return "zstd"
    # The old .lzma format has no magic number of its own: its name tells.
    if path.lower().endswith(".lzma"):
        return "lzma"
    return None


def open_text(path, compression):
    """Opens a file for reading its (decompressed) bytes."""
    if compression == "gzip":
        return gzip.open(path, "rb")
    if compression == "bz2":
        return bz2.open(path, "rb")
    if compression in ("xz", "lzma"):
        return lzma.open(path, "rb")
    if compression == "zstd":
        try:
            from compression import zstd  # Python 3.14 and newer
        except ImportError:
            import zstandard

            return zstandard.ZstdDecompressor().stream_reader(open(path, "rb"), closefd=True, read_across_frames=True)
        return zstd.open(path, "rb")
    return open(path, "rb")


def text_kind(sample):
    """Returns "pgn" or "epd" for the start of a text, or None."""
    text = sample.decode("utf-8", "replace").lstrip("\ufeff")
    for line in text.splitlines():
        line = line.strip().lstrip("\ufeff")
        # Blank lines, EPD comments, and PGN's escape lines and line comments say nothing yet.
        if not line or line[0] in "#%;":
            continue
        if line[0] in "[{" or MOVE_NUMBER.match(line):
            return "pgn"
        if PLACEMENT.match(line.split()[0]):
            return "epd"
        return None
    return None


def check_table(path, kind):
    """Raises InputError unless the Parquet or Arrow file at path opens and has a 'movetext' column
    of texts (str or bytes, nulls allowed)."""
    try:
        import pyarrow as pa
        import pyarrow.dataset
    except ImportError:
        raise InputError(f"{path}: a {kind} table: reading it needs pyarrow (pip install 'pyarrow')") from None
    try:
        schema = pyarrow.dataset.dataset(path, format="parquet" if kind == "parquet" else "ipc").schema
    except (pa.ArrowException, OSError) as error:
        raise InputError(f"{path}: a {kind} table that cannot be read: {error}") from None
    if "movetext" not in schema.names:
        raise InputError(f"{path}: a {kind} table without a 'movetext' column (it has {', '.join(schema.names)})")
    kind_of = schema.field("movetext").type
    if pa.types.is_dictionary(kind_of):
        kind_of = kind_of.value_type
    texts = (
        pa.types.is_string,
        pa.types.is_large_string,
        pa.types.is_binary,
        pa.types.is_large_binary,
        pa.types.is_null,
    )
    if not any(test(kind_of) for test in texts) and str(kind_of) not in ("string_view", "binary_view"):
        raise InputError(f"{path}: a {kind} table whose 'movetext' column holds {kind_of}, not game texts")


def recognise(path):
    """Returns the Input of a path, told by its first bytes, not its name.

    :raises InputError: for a file that cannot be read or is none of the kinds read.
    """
    path = os.fspath(path)
    try:
        status = os.stat(path)
        if not Path(path).is_file():
            raise InputError(f"{path}: not a regular file (inputs are read twice, to resume, so streams cannot be)")
        with open(path, "rb") as file:
            head = file.read(16)
    except OSError as error:
        raise InputError(f"{path}: cannot be read: {error.strerror or error}") from None
    if not head:
        raise InputError(f"{path}: the file is empty")
    for magic, kind in TABLES:
        if head.startswith(magic):
            check_table(path, kind)
            return Input(path, kind, None, status.st_size, status.st_mtime_ns)
    compression = compression_of(head, path)
    try:
        with open_text(path, compression) as file:
            sample = file.read(SAMPLE_SIZE)
    except Exception as error:  # noqa: BLE001 - each decompressor has errors of its own (ZstdError)
        raise InputError(f"{path}: looks {compression}-compressed but does not decompress: {error}") from None
    described = f"{compression}-compressed data" if compression else "a file"
    if not sample:
        raise InputError(f"{path}: {described} that decompresses to nothing (cut short, or of nothing)")
    if b"\x00" in sample:
        offset = sample.index(b"\x00")
        raise InputError(f"{path}: {described} that holds a NUL byte (at {offset}): no text of {KINDS_TEXT}")
    kind = text_kind(sample)
    if kind is None:
        start = " ".join(f"{byte:02x}" for byte in sample[:8])
        raise InputError(f"{path}: {described} that holds none of {KINDS_TEXT} (it starts with bytes {start}). {HINT}")
    return Input(path, kind, compression, status.st_size, status.st_mtime_ns)
