"""Building a dataset: inputs to shards in a work directory beside the output, resumable, then put
in place of the old dataset in one rename once every input is done."""

import contextlib
import dataclasses
import fcntl
import hashlib
import json
import multiprocessing
import os
import queue
import shutil
import signal
import sys
import threading
import time
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import vorel_tools

from ._inputs import Input, InputError, recognise
from ._readers import Games, Settings, epd_pieces, game_pieces, table_pieces
from ._store import (
    FORMAT,
    FORMAT_VERSION,
    MANIFEST,
    SHARD_INFO,
    SHARDS,
    ShardWriter,
    read_json,
    schema,
    shard_name,
    write_json,
)


class BuildError(Exception):
    """A build that cannot be done: the message says why, and nothing of the output was changed."""


@dataclasses.dataclass
class Summary:
    """What a finished build wrote."""

    out: Path
    positions: int
    games: int
    shards: int
    rejected: int  # games or lines that could not be read
    refused: list  # the messages of the inputs that were not read at all
    resumed: bool


# The SHA-256 of the inputs read so far, by path, in the work directory.


def input_done_path(work, index):
    return work / f"input-{index:05d}.json"


class ShardCounts:
    """The counts of a shard being written, kept in its shard.json."""

    def __init__(self, index, shard):
        self.info = {"input": index, "shard": shard, "positions": 0, "legal_moves": 0, "consumed": 0, "rejected": 0}

    def add(self, piece):
        arrays, info = piece.arrays, self.info
        positions = len(arrays["white_to_move"])
        info["positions"] += positions
        info["legal_moves"] += len(arrays["legal_moves"]) if "legal_moves" in arrays else 0
        info["consumed"] = piece.consumed
        info["rejected"] += len(piece.reports)
        if "game" in arrays:
            info.setdefault("games", 0)
            info.setdefault("first_game", None)
            info.setdefault("last_game", None)
            if positions:
                game = arrays["game"]
                info["games"] += int(np.count_nonzero(game[1:] != game[:-1]) + (game[0] != info["last_game"]))
                if info["first_game"] is None:
                    info["first_game"] = int(game[0])
                info["last_game"] = int(game[-1])


def _read(pieces, path):
    """The pieces of an input; an error reading it (a compressed file cut short or damaged past
    its start, a table whose rows are no game texts) raised as a BuildError that names it."""
    try:
        yield from pieces
    except BuildError:
        raise
    except Exception as error:  # any reader's error is that input's
        raise BuildError(f"{path} could not be read to its end: {type(error).__name__}: {error}") from error


def run_input(task, report):
    """Builds the shards of one input into the work directory, from where an interrupted build
    stopped; report(message) is called with each batch's counts and the input's end."""
    work = Path(task["work"])
    source = Input(**task["input"])
    settings = Settings(**task["settings"])
    index, shard, skip = task["index"], task["next_shard"], task["skip"]
    games = Games(skip, settings)
    stack = contextlib.ExitStack()
    if source.kind == "pgn":
        # read_games decompresses a path as its first bytes say, but takes a name that says
        # compressed at its word; a file with no such bytes is given opened.
        text = source.path if source.compression else stack.enter_context(open(source.path, "rb"))  # noqa: SIM115
        pieces = game_pieces(text, games, settings, task["threads"])
    elif source.kind in ("parquet", "arrow"):
        pieces = table_pieces(source.path, source.kind, games, settings, task["threads"])
    else:
        pieces = epd_pieces(source.path, source.compression, skip, settings)
    # Each batch is written by a thread while the next is read (the reading releases the
    # interpreter lock while it replays the games, the writing while it writes).
    with stack, ThreadPoolExecutor(1, thread_name_prefix="vorel-dataset-writer") as thread:
        writer = counts = written = message = None
        try:
            for piece in _read(pieces, source.path):
                if writer is None:
                    writer = ShardWriter(work / SHARDS, shard_name(index, shard), settings.output)
                    counts = ShardCounts(index, shard)
                counts.add(piece)
                if written is not None:
                    written.result()
                    report(message)
                written = thread.submit(writer.append, piece.arrays)
                message = {"kind": "batch", "input": index, "positions": len(piece.arrays["white_to_move"])}
                message.update(reports=piece.reports, bytes_read=piece.bytes_read)
                if piece.ends_shard or counts.info["positions"] >= settings.shard_positions:
                    written.result()
                    writer.close(counts.info)
                    writer, shard = None, shard + 1
            if written is not None:
                written.result()
                report(message)
            if writer is not None:
                writer.close(counts.info)
                writer, shard = None, shard + 1
        finally:
            if writer is not None:
                if written is not None:
                    written.exception()
                writer.abandon()
    done = {"input": index, "shards": shard, "games": games.seen if source.games else 0}
    write_json(input_done_path(work, index), done)
    report({"kind": "done", "input": index})


def _exit_with_parent():
    """Ends the worker process when the build's process ends (killed, or closed with its terminal)
    without stopping it: left running, it would go on writing shards into a work directory whose
    lock it does not hold, under a build resumed there meanwhile."""
    parent = multiprocessing.parent_process()
    if parent is not None:
        parent.join()
        os._exit(1)


def _process_main(task, messages):
    """A worker process: builds one input, sending its messages; a failure is sent as a message
    and ends the process with status 1. Ctrl-C is the parent's to handle."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    threading.Thread(target=_exit_with_parent, daemon=True, name="vorel-dataset-parent").start()
    try:
        run_input(task, messages.put)
    except BaseException as error:  # noqa: BLE001 - every failure is sent to the parent
        message = str(error) if isinstance(error, BuildError) else f"{type(error).__name__}: {error}"
        messages.put({"kind": "error", "input": task["index"], "message": message})
        messages.close()
        messages.join_thread()
        sys.exit(1)
    messages.close()
    messages.join_thread()


def run_in_processes(tasks, workers, report):
    """Runs the tasks in up to `workers` processes at once; stops them all (within a second) when
    one fails or the build is interrupted."""
    context = multiprocessing.get_context("spawn")
    messages = context.Queue()
    pending = deque(tasks)
    running = {}
    try:
        while pending or running:
            while pending and len(running) < workers:
                task = pending.popleft()
                process = context.Process(target=_process_main, args=(task, messages), daemon=True)
                process.start()
                running[task["index"]] = process
            try:
                message = messages.get(timeout=0.2)
            except queue.Empty:
                for index, process in list(running.items()):
                    if process.exitcode is not None and process.exitcode != 0:
                        raise BuildError(
                            f"the worker building input {index} ended with status {process.exitcode}"
                        ) from None
                continue
            if message["kind"] == "error":
                raise BuildError(message["message"])
            report(message)
            if message["kind"] == "done":
                running.pop(message["input"]).join()
    finally:
        for process in running.values():
            process.terminate()
        for process in running.values():
            process.join(1)
            if process.is_alive():
                process.kill()
                process.join()


def _collected(task):
    """A Dask task: builds one input; returns its messages."""
    messages = []
    run_input(task, messages.append)
    return messages


def run_on_dask(tasks, workers, address, report):
    """Runs the tasks on the Dask cluster at address, or on a local cluster of `workers` processes.
    The workers write the shards themselves: a remote cluster needs the output on a file system
    they share."""
    import distributed

    with contextlib.ExitStack() as stack:
        if address is None:
            address = stack.enter_context(
                distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
                )
            )
        client = stack.enter_context(distributed.Client(address))
        futures = [
            client.submit(_collected, task, pure=False, key=f"vorel-dataset-input-{task['index']}") for task in tasks
        ]
        try:
            for future in distributed.as_completed(futures):
                for message in future.result():
                    report(message)
        except BaseException:
            client.cancel(futures)
            raise


class Checksums:
    """The SHA-256 of each input, computed in a thread while the build runs."""

    def __init__(self, paths):
        self.paths = paths
        self.values = {}
        self.thread = threading.Thread(target=self._run, daemon=True, name="vorel-dataset-checksums")
        self.thread.start()

    def _run(self):
        for path in self.paths:
            digest = hashlib.sha256()
            with open(path, "rb") as file:
                for block in iter(lambda file=file: file.read(1 << 22), b""):
                    digest.update(block)
            self.values[path] = digest.hexdigest()

    def done(self):
        return not self.thread.is_alive()

    def result(self):
        self.thread.join()
        return self.values


class Progress:
    """One line on standard error, redrawn at most 4 times a second: the positions written, their
    rate, and the bytes of the inputs read."""

    def __init__(self, enabled, total_bytes):
        self.enabled = enabled
        self.total = total_bytes
        self.read = {}  # input index -> its bytes read
        self.positions = 0
        self.start = time.monotonic()
        self.drawn = 0.0

    def update(self, index=None, positions=0, bytes_read=None, final=False):
        self.positions += positions
        if bytes_read is not None:
            self.read[index] = bytes_read
        now = time.monotonic()
        if not self.enabled or (not final and now - self.drawn < 0.25):
            return
        self.drawn = now
        elapsed = max(now - self.start, 1e-9)
        line = (
            f"\r{self.positions:,} positions, {self.positions / elapsed:,.0f}/s; "
            f"{_size(sum(self.read.values()))} of {_size(self.total)} read; {elapsed:.0f} s"
        )
        sys.stderr.write(line + ("\n" if final else ""))
        sys.stderr.flush()


def _size(count):
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000:
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1000
    return f"{count:.1f} TB"


def _plan(inputs, settings):
    """What the manifest records of a build, as JSON gives it back (tuples as lists), so that a
    resumed build compares it with the one it reads."""
    games = inputs[0].games
    plan = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "kind": "games" if games else "positions",
        "settings": dataclasses.asdict(settings),
        "inputs": [dict(source.identity(), kind=source.kind, compression=source.compression) for source in inputs],
        "columns": schema(settings.columns(games)),
        "version": vorel_tools.__version__,
    }
    return json.loads(json.dumps(plan))


def _is_dataset(path):
    return (path / MANIFEST).is_file()


def _remove(path):
    """Removes a directory with what it holds, or a file or a symbolic link (not what it points
    to); nothing when there is nothing there."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.is_symlink() or path.exists():
        path.unlink()


def work_directory(out):
    """The directory a build of out writes into: ".NAME.partial" beside it."""
    return out.with_name(f".{out.name}.partial")


def output_path(out):
    """out as a path whose last part names it ("." and ".." have no name a work directory can be
    made of)."""
    out = Path(out)
    if out.name in ("", ".", ".."):
        out = Path(os.path.abspath(out))
    if not out.name:
        raise BuildError(f"{out} cannot hold a dataset: choose a directory below it")
    return out


def _tell_repeats(inputs, log):
    """Tells of each input that is a file listed before (by another path too): it is read again,
    and its positions are in the dataset as many times as it is listed."""
    seen = {}
    for index, source in enumerate(inputs):
        try:
            status = os.stat(source.path)
        except OSError:
            continue
        first = seen.setdefault((status.st_dev, status.st_ino), index)
        if first != index:
            log(
                f"{source.path} is the file {inputs[first].path} listed before: its positions are in the dataset once more"
            )


def build(
    paths,
    out,
    settings=None,
    *,
    workers=1,
    scheduler="processes",
    address=None,
    overwrite=False,
    progress=False,
    log=None,
):
    """Builds a dataset from the input files into the directory out; returns a Summary.

    The shards are written into a work directory beside out (".NAME.partial"), which takes the
    place of out in one rename once every input is done: an old dataset stays whole until then.
    An interrupted build (Ctrl-C, a crash) leaves the work directory, and the same call resumes it.

    :param log: called with each message for the user (inputs refused, games or lines that could
        not be read); by default they are printed on standard error.
    :raises BuildError: when nothing can be built: no input can be read, inputs of both kinds, an
        output that is not a dataset or one to keep, or no position read.
    """
    if isinstance(paths, str | bytes | os.PathLike):
        raise TypeError(f"paths is a list of input files, not one path: put {paths!r} in a list")
    settings = settings or Settings()
    log = log or (lambda text: print(text, file=sys.stderr))
    out = output_path(out)
    inputs, refused = [], []
    for path in paths:
        try:
            inputs.append(recognise(path))
        except InputError as error:
            refused.append(str(error))
            log(f"refused: {error}")
    if not inputs:
        raise BuildError("no input could be read" if paths else "no input was given")
    _tell_repeats(inputs, log)
    if len({source.games for source in inputs}) > 1:
        raise BuildError("the inputs of one dataset are all games (PGN, Parquet, Arrow) or all positions (EPD, FEN)")
    games = inputs[0].games
    if settings.policy and not games:
        raise BuildError("the policy index is that of the move played: it needs games, not positions")
    if out.exists() and not out.is_dir():
        raise BuildError(f"{out} is not a directory")
    if out.is_dir() and any(out.iterdir()):
        if not _is_dataset(out):
            raise BuildError(f"{out} holds files that are not a dataset: choose another directory")
        if not overwrite:
            raise BuildError(f"{out} already holds a dataset: pass --overwrite to replace it when the new one is done")
        # Replacing the dataset removes the directory: what else was put in it would go with it.
        others = sorted(entry.name for entry in out.iterdir() if entry.name not in (MANIFEST, SHARDS, ".lock"))
        if others:
            raise BuildError(
                f"{out} holds a dataset and files that are not its own ({', '.join(others)}), which replacing "
                "it would remove: move them out first"
            )
    work = work_directory(out)
    plan = _plan(inputs, settings)
    with _locked(work, plan, log) as (manifest, resumed):
        checksums = Checksums([source.path for source in inputs])
        tasks = _tasks(work, inputs, settings, workers)
        total = sum(source.size for source in inputs)
        bar = Progress(progress, total)
        for index, source in enumerate(inputs):
            if input_done_path(work, index).exists():
                bar.update(index, bytes_read=source.size)
        rejected = 0
        recorded = False

        def record_checksums():
            """Puts the inputs' checksums in the work directory's manifest once they are known, so
            that a build resumed later finds an input changed since this one began."""
            nonlocal recorded
            values = checksums.result()
            for entry, source in zip(manifest["inputs"], inputs, strict=True):
                if entry.setdefault("sha256", values[source.path]) != values[source.path]:
                    raise BuildError(
                        f"{source.path} changed since the build in {work} began: delete {work} and build again"
                    )
            write_json(work / MANIFEST, manifest)
            recorded = True

        def report(message):
            nonlocal rejected
            if not recorded and checksums.done():
                record_checksums()
            if message["kind"] == "batch":
                path = inputs[message["input"]].path
                for line, text in message["reports"]:
                    log(f"{path}:{line}: {text}")
                rejected += len(message["reports"])
                bar.update(message["input"], message["positions"], message["bytes_read"])
            elif message["kind"] == "done":
                bar.update(message["input"], bytes_read=inputs[message["input"]].size)

        if tasks:
            slots = min(workers, len(tasks))
            if scheduler == "dask":
                run_on_dask(tasks, workers, address, report)
            elif slots == 1:
                for task in tasks:
                    run_input(task, report)
            else:
                run_in_processes(tasks, slots, report)
        bar.update(final=True)
        if not recorded:
            record_checksums()
        summary = _finish(work, out, manifest, inputs, refused, resumed)
    return summary


def _tasks(work, inputs, settings, workers):
    """The inputs still to build, each from where its shards stop."""
    shards = {}
    for info_path in (work / SHARDS).glob(f"*/{SHARD_INFO}"):
        info = read_json(info_path)
        shards.setdefault(info["input"], []).append(info)
    tasks = []
    for index, source in enumerate(inputs):
        if input_done_path(work, index).exists():
            continue
        done = sorted(shards.get(index, []), key=lambda info: info["shard"])
        tasks.append(
            {
                "index": index,
                "input": dataclasses.asdict(source),
                "settings": dataclasses.asdict(settings),
                "work": str(work),
                "next_shard": len(done),
                "skip": done[-1]["consumed"] if done else 0,
                "threads": 1,
            }
        )
    # Threads within a task when there are fewer tasks than workers.
    for task in tasks:
        task["threads"] = max(1, workers // max(1, min(workers, len(tasks))))
    return tasks


@contextlib.contextmanager
def _locked(work, plan, log):
    """Yields (the work directory's manifest, whether it resumes an interrupted build), holding a
    lock on it so that two builds cannot write it at once. The lock is taken before anything in
    the work directory is looked at or removed: a build of other settings refused while another
    runs leaves that one's shards alone."""
    resumed = False
    existed = work.is_dir()
    (work / SHARDS).mkdir(parents=True, exist_ok=True)
    with open(work / ".lock", "a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise BuildError(f"another build is writing {work}") from None
        if existed:
            try:
                old = read_json(work / MANIFEST)
            except (OSError, ValueError):
                old = None
            if (
                isinstance(old, dict)
                and all(old.get(key) == value for key, value in plan.items() if key != "inputs")
                and [{key: entry[key] for key in ("path", "size", "mtime_ns")} for entry in old["inputs"]]
                == [{key: entry[key] for key in ("path", "size", "mtime_ns")} for entry in plan["inputs"]]
            ):
                resumed = True
                plan = old
            else:
                log(f"discarding the unfinished build in {work}: its inputs or settings differ")
                for entry in work.iterdir():
                    if entry.name != ".lock":
                        _remove(entry)
                (work / SHARDS).mkdir()
        # Shards cut short by the interruption are left out, and built again.
        for partial in (work / SHARDS).glob("*.partial"):
            shutil.rmtree(partial)
        plan = dict(plan, complete=False)
        write_json(work / MANIFEST, plan)
        yield plan, resumed


def _finish(work, out, manifest, inputs, refused, resumed):
    """Writes the complete manifest and puts the work directory in the place of out."""
    infos = sorted(
        (read_json(path) for path in (work / SHARDS).glob(f"*/{SHARD_INFO}")),
        key=lambda info: (info["input"], info["shard"]),
    )
    base = 0
    for index, entry in enumerate(manifest["inputs"]):
        done = read_json(input_done_path(work, index))
        entry["games"] = done["games"]
        entry["first_game"] = base
        base += done["games"]
    positions = sum(info["positions"] for info in infos)
    if positions == 0:
        shutil.rmtree(work)
        raise BuildError("no position was read from the inputs: nothing was written")
    shards = []
    for info in infos:
        entry = {key: info[key] for key in ("input", "shard", "positions", "legal_moves", "rejected")}
        entry["name"] = shard_name(info["input"], info["shard"])
        if "first_game" in info:
            entry["games"] = info["games"]
            first = manifest["inputs"][info["input"]]["first_game"]
            entry["first_game"] = None if info["first_game"] is None else first + info["first_game"]
            entry["last_game"] = None if info["last_game"] is None else first + info["last_game"]
        shards.append(entry)
    manifest.update(
        complete=True,
        positions=positions,
        games=sum(entry.get("games", 0) for entry in shards),
        legal_moves=sum(info["legal_moves"] for info in infos),
        rejected=sum(info["rejected"] for info in infos),
        refused=refused,
        shards=shards,
    )
    write_json(work / MANIFEST, manifest)
    for path in work.glob("input-*.json"):
        path.unlink(missing_ok=True)
    # The lock goes with the directory, and is removed from its new place: a build that opened
    # it before then still finds it held.
    if out.exists() or out.is_symlink():
        old = out.with_name(f".{out.name}.old")
        _remove(old)
        os.replace(out, old)
        os.replace(work, out)
        _remove(old)
    else:
        os.replace(work, out)
    (out / ".lock").unlink()
    return Summary(out, positions, manifest["games"], len(shards), manifest["rejected"], refused, resumed)
