import gc
import pathlib
import sys

import pytest

# The local servers of tools/ (Redis, a webhook receiver) for the tests.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))


def _allocated_after(op, repeat):
    for _ in range(repeat):
        op()
    gc.collect()
    return sys.getallocatedblocks()


@pytest.fixture
def assert_no_leak():
    """Runs an operation thousands of times after a warm-up and fails when the
    interpreter's allocated blocks grow by more than a small constant."""

    def check(op, repeat=3000, warmup=300, slack=32):
        _allocated_after(op, warmup)
        before = _allocated_after(op, 0)
        after = _allocated_after(op, repeat)
        if after - before > slack:
            # A cache of the interpreter's that grows once (a dict crossing a
            # resize) is not a leak: a leak grows again, by as much, over the
            # same number of further runs.
            before, after = after, _allocated_after(op, repeat)
        assert after - before <= slack, f"{after - before} blocks left after {repeat} runs"

    return check
