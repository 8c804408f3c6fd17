"""vorel_tools against hostile arguments: sequences that items change while a call reads them,
buffers that describe themselves differently each time they are asked, a replaced numpy.empty,
and integers of every kind, judged against operator.index."""

import operator
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import vorel_tools as vt
from vorel_chess import Board

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -"


class Index:
    """An integer by __index__ alone, which may run a callback first."""

    def __init__(self, value, callback=None):
        self.value, self.callback = value, callback

    def __index__(self):
        if self.callback is not None:
            self.callback()
        return self.value


class IntSubclass(int):
    pass


def test_items_that_change_their_list_are_read_as_the_list_was():
    # Each callback empties or grows the list being read; the call reads the items it was given.
    words = vt.legal_moves([KIWIPETE])[0].tolist()
    expected = vt.move_texts(words)
    for change in (
        list.clear,
        lambda items: items.extend(range(10_000)),
        lambda items: items.__delitem__(slice(1, None)),
    ):
        for function, reference in ((vt.move_texts, expected), (vt.san, vt.san(KIWIPETE, words))):
            items = []
            items.extend([Index(words[0], lambda change=change, items=items: change(items)), *words[1:]])
            assert (function(items) if function is vt.move_texts else function(KIWIPETE, items)) == reference

    positions = [Board(), KIWIPETE] * 50

    def shrinking():  # an iterable that empties the list while it is iterated
        for i, item in enumerate(positions):
            if i == 3:
                positions.clear()
            yield item

    assert len(vt.planes(shrinking())) == 4


def test_move_texts_reads_only_one_dimensional_word_buffers():
    words = vt.legal_moves([KIWIPETE])[0]
    expected = vt.move_texts(words.tolist())
    # Read item by item: other widths, a strided view, a memoryview of any format.
    for other in (words.astype(np.int32), np.repeat(words, 2)[::2], memoryview(words), memoryview(words.astype("<u2"))):
        assert vt.move_texts(other) == expected
    for not_a_list in (np.uint16(12), np.array(12, np.uint16), np.int64(12), 12):
        with pytest.raises(TypeError, match="^argument 'moves': expected a sequence of move words, got "):
            vt.move_texts(not_a_list)
    with pytest.raises(TypeError, match="argument 'moves': item 0: expected int, got 'numpy.ndarray'"):
        vt.move_texts(words.reshape(2, -1))

    class Refusing(list):  # an exporter's own error is passed on
        def __buffer__(self, flags):
            raise KeyError("no view")

    with pytest.raises(KeyError, match="no view"):
        vt.move_texts(Refusing([796]))


class Exporter:
    """A buffer exporter that hands out the next of its views each time it is asked."""

    def __init__(self, *views):
        self.views, self.asked = list(views), 0

    def __buffer__(self, flags):
        view = self.views[min(self.asked, len(self.views) - 1)]
        self.asked += 1
        return memoryview(view)

    def __release_buffer__(self, view):
        view.release()


def test_out_is_checked_and_written_through_one_view():
    batch = [Board(), KIWIPETE, "8/8/8/8/8/8/8/K6k w - -"]
    expected = vt.planes(batch)
    # A good view first, then one of 16 bytes: the good one is checked and written.
    good = np.zeros((3, 12, 64), np.uint8)
    shifty = Exporter(good, bytearray(16))
    assert vt.planes(batch, out=shifty) is shifty
    assert shifty.asked == 1 and np.array_equal(good, expected)
    # A 16-byte view first: refused whatever comes after.
    for first in (bytearray(16), memoryview(bytearray(16)).cast("B", (1, 16))):
        with pytest.raises(ValueError, match=r"expected shape \(3, 12, 64\), got \((16,|1, 16)\)"):
            vt.planes(batch, out=Exporter(first, good))
    # Any exporter of the right shape is filled.
    raw = bytearray(3 * 768)
    for code in ("B", "@B"):
        raw[:] = bytes(len(raw))
        shaped = memoryview(raw).cast(code, (3, 12, 64))
        assert vt.planes(batch, out=shaped) is shaped and bytes(raw) == expected.tobytes()
    refusals = [
        (memoryview(bytes(3 * 768)).cast("B", (3, 12, 64)), ValueError, "read-only"),
        (memoryview(np.zeros((3, 12, 128), np.uint8)[:, :, ::2]), ValueError, "not C-contiguous"),
        (memoryview(bytearray(3 * 768 * 4)).cast("i", (3, 12, 64)), TypeError, "got format 'i'"),
    ]
    for out, error, match in refusals:
        with pytest.raises(error, match=match):
            vt.planes(batch, out=out)

    # Cutting the rows down with errors="skip" uses the shape checked, not the object's own
    # "shape", which may be anything; the rows are taken with a slice of it.
    class Sliced(Exporter):
        shape = 5

        def __getitem__(self, rows):
            return ("rows", rows)

    kept, valid = vt.planes(["x", *batch[:2]], out=Sliced(np.zeros((3, 12, 64), np.uint8)), errors="skip")
    assert kept == ("rows", slice(0, 2)) and valid.tolist() == [False, True, True]

    class Raising:
        def __buffer__(self, flags):
            raise KeyError("no view")

    with pytest.raises(KeyError, match="no view"):
        vt.planes(batch, out=Raising())


REPLACED_EMPTY = """
import numpy as np
real = np.empty
np.empty = lambda shape, dtype: {replacement}
import vorel_tools as vt
try:
    vt.{call}
except Exception as error:
    print(type(error).__name__, error)
else:
    print("no error")
"""


@pytest.mark.parametrize(
    "replacement",
    [
        "real(2, np.uint8)",  # too short
        "real(shape, dtype)[::-1]",  # the right length, not C-contiguous (or empty)
        "np.frombuffer(bytes(real(shape, dtype)), dtype)",  # read-only
        "list(range(5))",  # no buffer at all
    ],
)
def test_arrays_from_a_replaced_numpy_empty_are_checked(replacement):
    # numpy.empty is looked up once, at the module's first array: replaced before that, in a
    # process of its own, it hands back arrays the module must not trust.
    calls = [
        "planes([KIWIPETE] * 3)",
        "bitboards([KIWIPETE] * 3)",
        "fens([KIWIPETE] * 3)",
        "legal_moves([KIWIPETE] * 3)",
    ]
    for call in calls:
        script = REPLACED_EMPTY.format(replacement=replacement, call=call.replace("KIWIPETE", repr(KIWIPETE)))
        done = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=60, check=False
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("TypeError"), (replacement, call, done.stdout)


VIEW_KEEPING_MAKERS = """
import numpy as np
views = []
def keeping(real):
    def make(shape, dtype):
        array = real(shape, dtype)
        views.append(array[...])  # a view that outlives the call
        return array
    return make
np.empty, np.zeros = keeping(np.empty), keeping(np.zeros)
import vorel_tools as vt
fens = [{kiwipete!r}] * 3000 + ["x"]
results = [
    vt.planes(fens, errors="skip")[0],
    vt.zobrist(fens, errors="skip")[0],
    vt.legal_mask(fens, scheme="lc0", errors="skip")[0],
    vt.bitboards(fens, errors="skip")[0],
]
for batch in vt.read_games(["1. e4 e5 *", "1. e4 e4 *"] * 500):
    results.append(batch.bitboards)
for view in views:
    # Each view still lies within the memory of the array it was taken from.
    assert view.base.nbytes >= view.nbytes, (view.shape, view.base.shape)
for result in results:
    kept = [view for view in views if view.base is result]
    assert not kept or np.array_equal(kept[0][: len(result)], result)
print("ok", len(views))
"""


def test_arrays_cut_down_while_a_replaced_numpy_empty_keeps_views_of_them():
    # A replaced numpy.empty (or zeros) may keep a view of each array it hands back: cutting such
    # an array down in place would leave the view over freed memory, so its rows are copied.
    script = VIEW_KEEPING_MAKERS.format(kiwipete=KIWIPETE)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ok"), done.stdout


def integer_candidates():
    """Objects of every kind that an integer argument may be handed."""
    return [
        2,
        IntSubclass(2),
        Index(2),
        np.int64(2),
        np.uint16(2),
        np.int8(2),
        True,
        False,
        np.True_,
        2.0,
        np.float64(2),
        "2",
        None,
        [2],
        np.array([2]),
        Index(2.5),
    ]


def san_of_item(value):
    return vt.san(Board(), [value])


def outcome(call):
    try:
        call()
    except Exception as error:
        return type(error)
    return None


@pytest.mark.parametrize(
    "name, call",
    [
        ("threads", lambda value: vt.planes([Board()], threads=value)),
        ("threads", lambda value: vt.legal_moves([Board()], threads=value)),
        ("depth", lambda value: vt.perft(Board(), value)),
        ("moves", lambda value: vt.move_texts([value])),
        ("moves", san_of_item),
    ],
)
def test_integer_arguments_take_what_operator_index_takes_but_bool(name, call):
    for value in integer_candidates():
        if isinstance(value, str) and call is san_of_item:
            continue  # a move text
        try:
            accepted = not isinstance(value, bool) and operator.index(value) is not None
        except TypeError:
            accepted = False
        if accepted:
            assert outcome(lambda value=value: call(value)) in (None, ValueError), value
        else:
            with pytest.raises(TypeError, match=f"argument '{name}'|__index__ returned non-int"):
                call(value)


def test_integers_out_of_range_are_value_errors():
    for huge in (2**70, -(2**70), 2**64, -1):
        for call in (
            lambda value: vt.planes([Board()], threads=value),
            lambda value: vt.perft(Board(), value),
            lambda value: vt.move_texts([value]),
            lambda value: vt.san(Board(), [value]),
        ):
            with pytest.raises(ValueError):
                call(huge)
    with pytest.raises(ValueError, match=r"^depth must be from 0 to 64, not 1180591620717411303424$"):
        vt.perft(Board(), 2**70)
    with pytest.raises(ValueError, match=r"^threads must be from 1 to 256, not 257$"):
        vt.planes([Board()], threads=np.int64(257))
    assert vt.perft(Board(), np.int64(3)) == vt.perft(Board(), Index(3)) == 8902
    e2e4 = 12 | 28 << 6
    assert vt.move_texts([np.uint16(e2e4), Index(e2e4), IntSubclass(e2e4)]) == ["e2e4"] * 3
    assert vt.san(Board(), [np.uint16(e2e4), Index(e2e4), IntSubclass(e2e4)]) == ["e4"] * 3
