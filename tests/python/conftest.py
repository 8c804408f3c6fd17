import os
import sys
from pathlib import Path

import pytest
import vorel_chess

# The development modules the tests share with the benchmark are importable by name: the known
# perft positions (perft_table), the UCI engine driver (uci_engine), the policy layouts built move
# by move (policy_reference) and the lichess-format game generator (lichess_games). The examples
# are not: their tests run them as commands.
SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
sys.path.insert(0, str(SCRIPTS))


def pytest_report_header():
    return f"vorel_chess: {vorel_chess.__file__}"


def pytest_configure(config):
    # make wheel sets this, so that the suite cannot pass against a module from somewhere else.
    required = os.environ.get("VOREL_CHESS_REQUIRE_DIR")
    if required and not Path(vorel_chess.__file__).resolve().is_relative_to(Path(required).resolve()):
        raise pytest.UsageError(f"vorel_chess was imported from {vorel_chess.__file__}, not from {required}")


@pytest.fixture(scope="session")
def PanicException():
    """The internal-fault class, which the module does not export: taken from a real fault."""
    try:
        vorel_chess.Board().pop()
    except BaseException as error:
        return type(error)
    pytest.fail("pop() on a fresh board raised nothing")


@pytest.fixture(scope="session")
def generator():
    """One move generator for the whole session: building the attack tables is not free."""
    return vorel_chess.MoveGenerator()
