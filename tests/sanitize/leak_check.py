"""pytest plugin for `make test-sanitize`: a leak check once every test has run.

The interpreter is not built with the sanitizers and keeps some memory it never frees, so the
check at exit is off and this plugin asks the leak sanitizer itself, while every live object is
still reachable. A leaked block counts as ours when its allocation stack passes through the
extension module; blocks allocated by the interpreter alone are counted and ignored.
"""

import ctypes
import gc
import os
import re
import sys
import tempfile

OURS = re.compile(
    r"vorel_(chess|chess_runtime|tools)\.cpython|vorel::|/src/(board|chess_move|lib|move_generator|notation|zobrist|random)/"
)


def _leak_report():
    """Runs the leak check and returns what it printed (it writes to file descriptor 2)."""
    check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as captured:
        os.dup2(captured.fileno(), 2)
        try:
            check()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        captured.seek(0)
        return captured.read().decode(errors="replace")


def pytest_sessionfinish(session, exitstatus):
    gc.collect()
    report = _leak_report()
    blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", report)
    leaks = [block for block in blocks if re.match(r"(Direct|Indirect) leak of ", block)]
    ours = [block for block in leaks if OURS.search(block)]
    print(f"\nleak check: {len(leaks)} leaked blocks, {len(ours)} allocated through vorel_chess", file=sys.stderr)
    if ours:
        print("\n".join(ours), file=sys.stderr)
        session.exitstatus = 1
