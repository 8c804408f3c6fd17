"""Python code that tries to crash or hang the interpreter through the module gets an exception.

Each case runs in a fresh interpreter of its own, which must end normally and print "ok":
objects whose native value no constructor of the class built, memory running out under an
address-space limit, and internal faults crossing process boundaries by pickling.
"""

import os
import subprocess
import sys
import textwrap

import pytest

CASES = {
    "board not built by Board()": """
        from vorel_chess import Board, MoveGenerator
        Board.__new__ = lambda cls, *args: object.__new__(cls)
        board = Board()
        calls = [board.fen, board.reflect, board.copy, board.bitboard, board.turn, board.pop,
                 lambda: board.push("e2e4"), lambda: MoveGenerator()(board)]
        for call in calls:
            try:
                call()
            except TypeError as error:
                assert "Board object is not initialized" in str(error), error
            else:
                raise AssertionError(f"{call} did not refuse")
        del board
        """,
    "generator not built by MoveGenerator()": """
        from vorel_chess import Board, MoveGenerator
        MoveGenerator.__new__ = lambda cls, *args: object.__new__(cls)
        try:
            MoveGenerator()(Board("4k3/8/8/8/8/8/8/R3K3 w - -"))
        except TypeError as error:
            assert "MoveGenerator object is not initialized" in str(error), error
        else:
            raise AssertionError("the call did not refuse")
        """,
    "generators until memory runs out": """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (700 << 20, 700 << 20))
        from vorel_chess import Board, MoveGenerator
        kept = []
        try:
            while True:
                kept.append(MoveGenerator())
        except MemoryError:
            pass
        assert len(kept) > 10
        del kept[-10:]
        assert len(kept[0](Board())) == 20
        """,
    "pushes until memory runs out": """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (700 << 20, 700 << 20))
        from itertools import cycle
        from vorel_chess import Board
        board = Board()
        cycle_fens = []
        for move in ["g1f3", "g8f6", "f3g1", "f6g8"]:
            board.push(move)
            cycle_fens.append(board.fen())
        try:
            for move in cycle(["g1f3", "g8f6", "f3g1", "f6g8"]):
                board.push(move)
        except MemoryError:
            pass
        # The push that failed changed nothing: the history still takes back move by move.
        at = cycle_fens.index(board.fen())
        for back in range(1, 9):
            board.pop()
            assert board.fen() == cycle_fens[(at - back) % 4]
        """,
    "fault pickled": """
        import pickle, subprocess, sys
        from vorel_chess import Board
        from vorel_chess_runtime import PanicException
        try:
            Board().pop()
        except PanicException as error:
            data = pickle.dumps(error)
        again = pickle.loads(data)
        assert type(again) is PanicException and again.args == ("No move to take back",)
        # A fresh process that has never raised one reads it as well.
        check = (
            "import pickle, sys; error = pickle.loads(bytes.fromhex(sys.argv[1])); "
            "assert type(error).__module__ == 'vorel_chess_runtime', type(error); "
            "assert error.args == ('No move to take back',)"
        )
        subprocess.run([sys.executable, "-c", check, data.hex()], check=True)
        """,
    # concurrent.futures reports whatever a task raises; multiprocessing.Pool's workers catch
    # only Exception, so no BaseException, this class included, can come back from those.
    "fault in a process pool": """
        import concurrent.futures, multiprocessing, sys
        from vorel_chess_runtime import PanicException
        sys.path.insert(0, sys.argv[1])
        from pool_task import take_back_nothing
        if __name__ == "__main__":
            spawn = multiprocessing.get_context("spawn")
            with concurrent.futures.ProcessPoolExecutor(2, mp_context=spawn) as pool:
                try:
                    list(pool.map(take_back_nothing, [1, 2]))
                except PanicException as error:
                    assert str(error) == "No move to take back", error
                else:
                    raise AssertionError("the pool reported no fault")
        """,
}

POOL_TASK = """
import vorel_chess

def take_back_nothing(_):
    vorel_chess.Board().pop()
"""


@pytest.mark.parametrize("case", CASES)
def test_misuse_gives_an_exception(case, tmp_path):
    if "memory" in case and "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer needs more address space than the limit leaves")
    (tmp_path / "pool_task.py").write_text(POOL_TASK)
    script = tmp_path / "case.py"
    script.write_text(textwrap.dedent(CASES[case]) + "\nif __name__ == '__main__':\n    print('ok')\n")
    run = subprocess.run([sys.executable, script, tmp_path], capture_output=True, text=True, timeout=300, check=False)
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr
