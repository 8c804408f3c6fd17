import copy
import importlib
import importlib.metadata
import pathlib
import pickle
import re
import shutil
import subprocess
import sys
import weakref

import pytest
import vorel_chess
from vorel_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
METHODS = {
    "bitboard_from_fen": "(fen)",
    "fen": "($self)",
    "push": "($self, chess_move)",
    "pop": "($self)",
    "bitboard": "($self)",
    "turn": "($self)",
    "reflect": "($self)",
    "copy": "($self)",
}


def test_module_namespace():
    assert type(vorel_chess.__all__) is list and vorel_chess.__all__ == ["Board", "MoveGenerator"]
    assert vorel_chess.__doc__ == ""
    # No functions, constants or exception classes of its own.
    assert [name for name in vars(vorel_chess) if not name.startswith("__")] == ["Board", "MoveGenerator"]


def test_classes_and_signatures():
    for cls, signature in [(Board, f'(fen="{START}")'), (MoveGenerator, "()")]:
        assert (cls.__module__, cls.__qualname__, cls.__bases__, cls.__doc__) == (
            "builtins",
            cls.__name__,
            (object,),
            "",
        )
        assert cls.__text_signature__ == signature
    # Exactly the eight methods, in table order, and no special methods beyond construction.
    assert [name for name in vars(Board) if not name.startswith("__")] == list(METHODS)
    assert {name: getattr(Board, name).__text_signature__ for name in METHODS} == METHODS
    assert isinstance(vars(Board)["bitboard_from_fen"], staticmethod)
    assert {name for name in vars(Board) if name.startswith("__")} <= {"__new__", "__doc__", "__module__"}
    assert set(vars(MoveGenerator)) <= {"__new__", "__call__", "__doc__", "__module__"}


@pytest.mark.parametrize("cls", [Board, MoveGenerator])
def test_objects_are_closed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    instance = cls()
    with pytest.raises(AttributeError):
        instance.anything = 1
    for refused in (weakref.ref, pickle.dumps, copy.copy):
        with pytest.raises(TypeError):
            refused(instance)


def test_panic_exception_class(PanicException):
    assert PanicException.__bases__ == (BaseException,)
    assert f"{PanicException.__module__}.{PanicException.__qualname__}" == "vorel_chess_runtime.PanicException"
    caught = None
    try:
        try:
            Board("x7/8/8/8/8/8/8/8 w - -")
        except Exception:
            pytest.fail("except Exception caught an internal fault")
    except BaseException as error:
        caught = error
    assert type(caught) is PanicException and caught.args == ("Invalid piece type",)


def test_reimport_returns_the_same_module():
    module = sys.modules.pop("vorel_chess")
    try:
        assert importlib.import_module("vorel_chess") is module
    finally:
        sys.modules["vorel_chess"] = module


def test_sub_interpreter_import_fails(tmp_path, generator, PanicException):
    testcapi = pytest.importorskip("_testcapi")
    outcome = tmp_path / "outcome"
    code = (
        "try:\n    import vorel_chess\n    result = 'imported'\n"
        "except BaseException as error:\n    result = f'{type(error).__name__}: {error}'\n"
        f"open({str(outcome)!r}, 'a').write(result + '\\n')\n"
    )
    # The legacy configuration lets the interpreter call our initialisation, which refuses;
    # a second attempt is refused the same way.
    for _ in range(2):
        assert testcapi.run_in_subinterp(code) == 0
    lines = outcome.read_text().splitlines()
    assert len(lines) == 2
    assert all(line.startswith("ImportError: ") and "sub-interpreters are not supported" in line for line in lines)
    # The first interpreter's module keeps working, faults included.
    board = Board()
    board.push("e2e4")
    assert len(generator(board)) == 20
    with pytest.raises(PanicException):
        Board().pop()
    assert sys.modules["vorel_chess"] is vorel_chess and Board().fen() == START


def test_only_the_init_function_is_exported():
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", vorel_chess.__file__], check=True, capture_output=True, text=True
    )
    assert [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()] == ["PyInit_vorel_chess"]


def test_module_wheel_and_changelog_agree_on_the_version():
    installed = importlib.metadata.version("vorel_chess")
    carried = re.findall(rb"vorel_chess version ([0-9A-Za-z.+-]+)", pathlib.Path(vorel_chess.__file__).read_bytes())
    assert carried == [installed.encode()]
    changelog = pathlib.Path(__file__).parents[2] / "CHANGELOG.md"
    # An "Unreleased" section may stand above the first version, which is the one built.
    assert re.search(r"^## (?!Unreleased$)(\S+)", changelog.read_text(), re.MULTILINE).group(1) == installed
