"""A UCI engine driven over a pipe, for its perft command: the independent peer of the
differential perft test (tests/python/test_stockfish_perft.py) and of the benchmark.

`uci` until `uciok` (taking the engine's name), `isready` until `readyok`; then for each count
`position fen <fen> 0 1` (our FEN has four fields, the engine wants six), `isready`, and
`go perft <depth>`, read up to "Nodes searched: N" with the per-move divide lines before it.
"""

import queue
import subprocess
import threading
import time


class EngineError(RuntimeError):
    """The engine stopped answering, or exited."""


class Engine:
    def __init__(self, path, reply_seconds=120):
        self.reply_seconds = reply_seconds
        self.process = subprocess.Popen(
            [path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1
        )
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        names = [line.removeprefix("id name ") for line in self.ask("uci", "uciok") if line.startswith("id name ")]
        self.name = names[0] if names else path
        self.ask("isready", "readyok")

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.lines.put(None)

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def ask(self, command, until):
        """Sends a command and returns the lines of the reply, up to the one starting with `until`."""
        self.send(command)
        lines = []
        while True:
            try:
                line = self.lines.get(timeout=self.reply_seconds)
            except queue.Empty:
                raise EngineError(f"no {until!r} within {self.reply_seconds} s; the engine said {lines}") from None
            if line is None:
                raise EngineError(f"the engine exited before {until!r}; it said {lines}")
            lines.append(line)
            if line.startswith(until):
                return lines

    def perft(self, fen, depth):
        """Returns the engine's node count, its divide (move text to count) and the seconds it took."""
        self.send(f"position fen {fen} 0 1")
        self.ask("isready", "readyok")
        start = time.perf_counter()
        *lines, last = self.ask(f"go perft {depth}", "Nodes searched:")
        seconds = time.perf_counter() - start
        divide = {}
        for line in lines:
            move, colon, count = line.partition(": ")
            if colon and count.isdigit():
                divide[move] = int(count)
        return int(last.split(":")[1]), divide, seconds

    def close(self):
        if self.process.poll() is None:
            self.send("quit")
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
