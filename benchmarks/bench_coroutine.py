"""The native coroutine and generator objects against CPython's own, each
beside the same function written in Python: creating a coroutine while tens
of thousands stay alive (the test-only _coroprobe.relay of the build tree, and
AsyncLogger._log_message; closed, unstarted, after the timing), closing one
suspended at an await, and a bootstrap record's __iter__ generator stepped
(unpacking the record) and dropped after its first value.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_coroutine.py
"""

import dataclasses
import importlib
import logging
import pathlib
import sys
import time

from harness import Case, event_loop, run

import vesprand_python_configuration
from vesprand_python_configuration.bootkit import LoggerConfig
from vesprand_python_configuration.scribeset import AsyncLogger

CREATIONS = 50_000


async def relay(awaitable):
    return await awaitable


class Once:
    """Suspends once."""

    def __await__(self):
        yield


@dataclasses.dataclass
class PyLoggerConfig:
    """LoggerConfig with its __iter__ written in Python."""

    logger: object
    log_enabled: list

    def __iter__(self):
        yield self.logger
        yield self.log_enabled


def closing(make, number):
    """A round: `number` coroutines started and closed while suspended."""

    def round_():
        for _ in range(number):
            coroutine = make(Once())
            coroutine.send(None)
            coroutine.close()

    return round_


def unpacking(record, number):
    def round_():
        for _ in range(number):
            logger, log_enabled = record

    return round_


def first_value(record, number):
    def round_():
        for _ in range(number):
            for value in record:
                break

    return round_


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
            Case("coroutine _coroprobe.relay(None), 50,000 kept / Python async def",
                 create(lambda: probe.relay(None)),
                 create(lambda: relay(None)), ops=CREATIONS, timed=True)  # fmt: skip
        )
    steps = 50_000
    native_record = LoggerConfig("logger", ["PRODUCTION"])
    python_record = PyLoggerConfig("logger", ["PRODUCTION"])
    out += [
        Case("generator LoggerConfig unpacked (its three steps) / Python generator",
             unpacking(native_record, steps), unpacking(python_record, steps), ops=steps),
        Case("generator LoggerConfig dropped after its first value / Python generator",
             first_value(native_record, steps), first_value(python_record, steps), ops=steps),
    ]  # fmt: skip
    if probe is not None:
        out.append(
            Case("coroutine _coroprobe.relay closed at its await / Python async def",
                 closing(probe.relay, steps), closing(relay, steps), ops=steps)  # fmt: skip
        )
    return out


if __name__ == "__main__":
    run(cases)
