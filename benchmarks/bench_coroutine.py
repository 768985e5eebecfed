"""Creating a native coroutine against creating a Python coroutine of the same
signature: the test-only _coroprobe.relay of the build tree, and
AsyncLogger._log_message. The coroutines are closed, unstarted, after the
timing.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_coroutine.py
"""

import importlib
import logging
import pathlib
import sys
import time

from harness import Case, event_loop, run

import vesprand_python_configuration
from vesprand_python_configuration.scribeset import AsyncLogger

CREATIONS = 50_000


async def relay(awaitable):
    return await awaitable


class PyAsyncLogger:
    async def _log_message(self, level: str, msg: str, *args, **kwargs) -> None:
        pass


def coroprobe():
    """The build tree's test-only module, or None (an installed package)."""
    native = pathlib.Path(vesprand_python_configuration.__file__).parent.parent / "tests" / "native"
    if not any(native.glob("_coroprobe*")):
        return None
    sys.path.insert(0, str(native))
    return importlib.import_module("_coroprobe")


def create(make):
    """A round: the seconds CREATIONS calls of `make` take."""

    def round_():
        made = [None] * CREATIONS
        start = time.perf_counter()
        for i in range(CREATIONS):
            made[i] = make()
        elapsed = time.perf_counter() - start
        for coroutine in made:
            coroutine.close()
        return elapsed

    return round_


def cases(stack):
    loop = event_loop(stack)

    async def make():
        return AsyncLogger("bench-coroutine", logging.CRITICAL)

    logger, python = loop.run_until_complete(make()), PyAsyncLogger()
    out = [
        Case("coroutine AsyncLogger._log_message(...) / Python async def",
             create(lambda: logger._log_message("info", "m")),
             create(lambda: python._log_message("info", "m")), ops=CREATIONS, timed=True),
    ]  # fmt: skip
    probe = coroprobe()
    if probe is not None:
        out.append(
            Case("coroutine _coroprobe.relay(None) / Python async def",
                 create(lambda: probe.relay(None)),
                 create(lambda: relay(None)), ops=CREATIONS, timed=True)  # fmt: skip
        )
    return out


if __name__ == "__main__":
    run(cases)
