"""Threads sharing the module's objects, with the switch interval cut down so that they interleave
between nearly every bytecode: the results equal those of the same work done on one thread,
and no call ever finds an object still borrowed by another thread's call.
"""

import itertools
import random
import sys
import threading

import pytest
from vorel_chess import Board

THREADS = 4
GAMES = 5
PLIES = 60
OPENINGS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
]


@pytest.fixture
def interleaved():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(work):
    """Runs work(k) for k = 0..THREADS-1 on as many threads started together; returns the results."""
    results, errors = [None] * THREADS, []
    start = threading.Barrier(THREADS)

    def body(k):
        try:
            start.wait()
            results[k] = work(k)
        except BaseException as error:  # PanicException included
            errors.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


def random_game(generator, seed, trace):
    """A seeded game mixing moves, take-backs, copies and reflections; returns what it saw."""
    rng = random.Random(seed)
    board = Board(OPENINGS[seed % len(OPENINGS)])
    seen, depth = [], 0
    for _ in range(PLIES):
        trace.append(seed)
        moves = generator(board)
        seen.append((board.fen(), moves, board.bitboard()))
        roll = rng.random()
        if roll < 0.1 and depth:
            board.pop()
            depth -= 1
        elif roll < 0.15:
            board = board.copy()  # the game goes on on the copy, history and all
        elif roll < 0.2:
            board.reflect()
            depth = 0
        elif moves:
            board.push(rng.choice(moves))
            depth += 1
        else:
            break
    return seen


def test_threads_share_one_generator(generator, interleaved):
    def work(k, trace):
        return [random_game(generator, k * GAMES + game, trace) for game in range(GAMES)]

    expected = [work(k, []) for k in range(THREADS)]
    # The threads must really run interleaved, not one after the other; the scheduler of a busy
    # machine may still run them nearly in turn, so a run without enough switches is repeated.
    for _ in range(10):
        trace = []
        assert run_threads(lambda k, trace=trace: work(k, trace)) == expected
        if sum(a // GAMES != b // GAMES for a, b in itertools.pairwise(trace)) > THREADS:
            break
    else:
        pytest.fail("the threads never interleaved")


def test_threads_take_turns_on_one_board(generator, interleaved):
    turns = THREADS * 40

    def play(board, rng):
        moves = generator(board)
        if moves:
            board.push(rng.choice(moves))
        else:
            board.pop()  # mate or stalemate: take the last move back and go on
        return board.fen(), moves

    # One thread doing every turn in order, each turn with the generator of its player.
    board, rngs = Board(OPENINGS[1]), [random.Random(k) for k in range(THREADS)]
    expected = [[] for _ in range(THREADS)]
    for turn in range(turns):
        expected[turn % THREADS].append(play(board, rngs[turn % THREADS]))

    board, state, condition = Board(OPENINGS[1]), {"turn": 0}, threading.Condition()

    def work(k):
        rng, seen = random.Random(k), []
        while True:
            with condition:
                condition.wait_for(lambda: state["turn"] % THREADS == k or state["turn"] >= turns)
                if state["turn"] >= turns:
                    return seen
                seen.append(play(board, rng))
                state["turn"] += 1
                condition.notify_all()

    assert run_threads(work) == expected


def test_unlocked_readers_of_one_board(generator, interleaved):
    # The generator borrows the board exclusively and the readers share it: if any call let
    # another thread in while it held its borrow, some call would fail with RuntimeError.
    board = Board(OPENINGS[1])

    def read():
        return board.fen(), board.turn(), board.bitboard(), generator(board), board.copy().fen()

    expected = read()

    def work(k):
        for _ in range(300):
            seen = read()
            if seen != expected:
                return seen
        return expected

    assert run_threads(work) == [expected] * THREADS
