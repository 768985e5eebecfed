import gc
import os
import pathlib
import subprocess
import sys
import textwrap

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


@pytest.fixture
def child():
    """Runs a script in a fresh interpreter with the package; the finished
    process, once it exited with 0 and said nothing of a traceback, a
    coroutine never awaited or a task destroyed while pending."""

    def run(script, *args):
        result = subprocess.run(
            [sys.executable, "-P", "-c", textwrap.dedent(script), *args],
            capture_output=True, text=True, timeout=120,
            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        )  # fmt: skip
        assert result.returncode == 0, result.stderr
        for fault in ("Traceback", "never awaited", "Task was destroyed"):
            assert fault not in result.stderr, result.stderr
        return result

    return run
