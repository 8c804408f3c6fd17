import pytest
from texts import WHITE_SPACE
from vorel_chess import Board

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
PLACEMENT = START.split()[0]


@pytest.mark.parametrize(
    "fen",
    [
        START,
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",  # every piece kind, all rights
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",  # no rights, runs of every length
        "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6",  # white may take en passant
        "rnbqkbnr/pppp1ppp/8/8/3Pp3/8/PPP1PPPP/RNBQKBNR b Kq d3",  # black to move, en passant on rank 3
        "8/8/8/8/8/8/8/8 w - -",  # an empty board prints every rank as 8
    ],
)
def test_canonical_fen_round_trips(fen):
    board = Board(fen)
    assert board.fen() == fen
    assert board.turn() == {"w": "white", "b": "black"}[fen.split()[1]]


@pytest.mark.parametrize(
    "fen, written",
    [
        (START + " 0 1 more", START),  # move counters and anything after are never written
        (f"{PLACEMENT} w qkQK -", START),  # castling letters come back in KQkq order
        (f"{PLACEMENT} w KKk -", f"{PLACEMENT} w Kk -"),  # repeats are harmless
        (f"{PLACEMENT} w Kq-Q -", f"{PLACEMENT} w Kq -"),  # '-' ends the castling scan
        (f"{PLACEMENT} w KQkq e3", f"{PLACEMENT} w KQkq e6"),  # the rank follows the side to move
        (f"{PLACEMENT} b KQkq h", f"{PLACEMENT} b KQkq h3"),  # only the file letter is read
        (f"{PLACEMENT} w KQkq a9x", f"{PLACEMENT} w KQkq a6"),
        ("44/8/17/8/8/8/8/71 w - -", "8/8/8/8/8/8/8/8 w - -"),  # split runs are merged
    ],
)
def test_fen_normalised(fen, written):
    assert Board(fen).fen() == written


@pytest.mark.parametrize("space", WHITE_SPACE)
def test_unicode_white_space_separates_fields(space):
    fen = space + space.join(["4k3/8/8/8/8/8/8/4K3", "b", "Kq", "e3", "0", "1"]) + space * 2
    assert Board(fen).fen() == "4k3/8/8/8/8/8/8/4K3 b Kq e3"
    assert Board(fen.replace(space, space * 3)).fen() == "4k3/8/8/8/8/8/8/4K3 b Kq e3"


# Characters outside the White_Space set, some of which other classifications call space.
@pytest.mark.parametrize("other", ["\u200b", "\x1c", "\x1f", "\u180e", "\ufeff", "\u2060"])
def test_other_characters_do_not_separate(other):
    with pytest.raises(ValueError, match="^Invalid fen: Invalid side-to-move$"):
        Board(f"{PLACEMENT} w{other} KQkq -")


@pytest.mark.parametrize(
    "fen, message",
    [
        (f"{PLACEMENT} white KQkq -", "Invalid side-to-move"),
        (f"{PLACEMENT} W KQkq -", "Invalid side-to-move"),
        (f"{PLACEMENT} w KQkx -", "Invalid castling specifier"),
        (f"{PLACEMENT} w KQ- -", None),  # fine: '-' stops the scan before anything bad
        (f"{PLACEMENT} w KQkq i3", "Invalid en-passant specifier"),
        (f"{PLACEMENT} w KQkq E3", "Invalid en-passant specifier"),
        (f"{PLACEMENT} w KQkq --", "Invalid en-passant specifier"),
        # Side to move is checked before castling, castling before en passant.
        (f"{PLACEMENT} x KQkx i3", "Invalid side-to-move"),
        (f"{PLACEMENT} w KQkx i3", "Invalid castling specifier"),
    ],
)
def test_field_errors(fen, message):
    if message is None:
        assert Board(fen).fen() == f"{PLACEMENT} w KQ -"
        return
    with pytest.raises(ValueError) as info:
        Board(fen)
    assert str(info.value) == "Invalid fen: " + message


@pytest.mark.parametrize(
    "placement",
    [
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP",  # seven ranks
        "8/8/8/8/8/8/8/8/",  # a trailing slash makes an empty ninth rank
        "8/8/8//8/8/8/8",  # an empty rank
        "9/8/8/8/8/8/8/8",  # nine squares on one rank
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN",  # seven squares on rank 1
        "7k/K8/7/8/8/8/8/8",  # eight ranks and 64 squares in all, but not eight on each
    ],
)
def test_placement_must_be_eight_by_eight(placement):
    with pytest.raises(ValueError, match="^Invalid fen: Invalid piece placement"):
        Board(placement + " w - -")
    # The shape check runs before the side to move is read ...
    with pytest.raises(ValueError, match="^Invalid fen: Invalid piece placement"):
        Board(placement + " white")


def test_letter_scan_runs_before_shape_check(PanicException):
    # ... and after every placement letter was read, whatever the later fields hold.
    for fen in [
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNx w KQkq -",
        "x/8",
        "8/8/8/8/8/8/8/8/x white Z 9",
        "8/8/8/8/8/8/8/7X w - -",
    ]:
        with pytest.raises(PanicException) as info:
            Board(fen)
        assert info.value.args == ("Invalid piece type",)


@pytest.mark.parametrize(
    "fen",
    ["", "   ", "\n\t\u3000", PLACEMENT, f"{PLACEMENT} w", f"{PLACEMENT}  w  KQkq  "],
)
def test_missing_fields_are_faults(fen, PanicException):
    with pytest.raises(PanicException):
        Board(fen)
