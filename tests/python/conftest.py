import pytest

import vorel_chess


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
