"""A process forked while threads read.

Threads read one file again and again through the engine, each read inflating
its chunks on threads of its own, while the test forks again and again; every
child opens a file of its own, reads it and exits.  A child still running
after CHILD_WAIT seconds waits for a lock no thread of its will ever give
back: it is killed, and the test fails.
"""
import faulthandler
import os
import sys
import threading

import pytest

from corvane import _engine

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
from fork_reads import child, exit_status, rows, write  # noqa: E402

# Some 200 forks beside busy readers: process-level, left out by `make test-fast`.
pytestmark = pytest.mark.slow

FORKS = 200
READERS = 3
# Bounds that only fail the test: a child reads a small file in milliseconds.
CHILD_WAIT = 20.0
WHOLE_RUN = 900


def _read_until(path, stop, first_read, failures):
    try:
        while not stop.is_set():
            with _engine.Reader(path) as reader:
                reader.read("x", threads=4)
            first_read.set()
    except BaseException as exc:  # noqa: BLE001 - reported by the test
        failures.append(exc)
        first_read.set()


def _fork_beside_readers(busy, own, forks):
    """Forks `forks` times while READERS threads read `busy`; each child reads
    `own`. The exit codes, the last None when a child hung."""
    expected = rows(_engine.Reader(own).length("x"))["datetime"]
    stop, failures, started, outcomes = threading.Event(), [], [], []
    readers = []
    for _ in range(READERS):
        first_read = threading.Event()
        readers.append(threading.Thread(target=_read_until, args=(busy, stop, first_read, failures)))
        readers[-1].start()
        started.append(first_read)
    try:
        for first_read in started:
            first_read.wait()
        for _ in range(forks):
            pid = os.fork()
            if pid == 0:
                child(own, expected)
            outcomes.append(exit_status(pid, CHILD_WAIT))
            if outcomes[-1] is None:
                break  # one is enough: the next would wait as long
    finally:
        stop.set()
        for reader in readers:
            reader.join()
    assert not failures, failures
    return outcomes


def test_a_child_forked_while_threads_read_reads_a_file_of_its_own(tmp_path):
    busy = write(tmp_path / "busy.h5", 400_000)  # some hundred chunks: reads on four threads
    own = write(tmp_path / "own.h5", 150_000)  # read on two threads in the child
    # A fork that never returns in the parent fails the run instead of hanging it.
    faulthandler.dump_traceback_later(WHOLE_RUN, exit=True)
    try:
        outcomes = _fork_beside_readers(busy, own, FORKS)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert outcomes == [0] * FORKS, "child {} of {}: {}".format(len(outcomes), FORKS, outcomes[-1])
