import vorel_chess_runtime
import vorel_tools


def test_tools_raise_the_class_vorel_chess_raises():
    assert vorel_tools.PanicException is vorel_chess_runtime.PanicException
