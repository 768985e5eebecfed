"""The shared benchmark harness.

Each ``benchmarks/bench_<module>.py`` defines ``cases(stack)``: it starts what
its cases need (servers, loops) with ``stack.enter_context(...)`` or
``stack.callback(...)`` and returns a list of :class:`Case`. A case times the
package's hot path against its floor: the same work done by the libraries the
package calls, or by the same steps written in plain Python.

``run(cases)`` alternates native and floor rounds, takes the median of the
rounds and prints one table; ``benchmarks/run`` runs every script's cases in
one table.
"""

from __future__ import annotations

import asyncio
import contextlib
import pathlib
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Callable, Iterable

# The local servers and stand-ins of tools/ (Redis, a webhook receiver, a
# console sink), for every benchmark script.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))


@dataclass
class Case:
    name: str  # the hot path, as shown in the table
    native: Callable[[], object]  # one round of `ops` operations through the package
    floor: Callable[[], object]  # the same round without it
    ops: int = 1  # operations in one round
    rounds: int = 7
    warmup: int = 1  # rounds of each run before timing
    # The callables time themselves and return the seconds of their round
    # (for work that cannot be timed from outside, such as an import in a
    # fresh interpreter without the interpreter's start-up).
    timed: bool = False


@dataclass
class Row:
    name: str
    native: float  # seconds per operation, median of the rounds
    floor: float

    @property
    def ratio(self) -> float:
        return self.native / self.floor if self.floor else float("inf")


def measure(case: Case) -> Row:
    for _ in range(case.warmup):
        case.native()
        case.floor()
    native, floor = [], []
    for _ in range(case.rounds):
        for fn, times in ((case.native, native), (case.floor, floor)):
            start = time.perf_counter()
            result = fn()
            elapsed = result if case.timed else time.perf_counter() - start
            times.append(elapsed / case.ops)
    return Row(case.name, statistics.median(native), statistics.median(floor))


def format_time(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.2f} µs"


def table(rows: Iterable[Row]) -> str:
    rows = list(rows)
    width = max([len("hot path")] + [len(r.name) for r in rows])
    lines = [
        f"| {'hot path':<{width}} | {'native':>10} | {'floor':>10} | ratio |",
        f"|{'-' * (width + 2)}|{'-' * 11}:|{'-' * 11}:|------:|",
    ]
    for r in rows:
        lines.append(
            f"| {r.name:<{width}} | {format_time(r.native):>10} | {format_time(r.floor):>10} "
            f"| {r.ratio:5.2f} |"
        )
    return "\n".join(lines)


def repeat(fn: Callable[[], object], number: int) -> Callable[[], None]:
    """One round of `number` calls of `fn`, for a Case of ops=number."""

    def round_() -> None:
        for _ in range(number):
            fn()

    return round_


def event_loop(stack: contextlib.ExitStack) -> asyncio.AbstractEventLoop:
    """A new event loop for a script's cases; when the stack closes, the tasks
    left on it (queue workers) are cancelled and the loop is closed."""
    loop = asyncio.new_event_loop()

    def close() -> None:
        tasks = asyncio.all_tasks(loop)
        for task in tasks:
            task.cancel()
        loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
        loop.close()

    stack.callback(close)
    return loop


def run(make_cases: Callable[[contextlib.ExitStack], list[Case]]) -> list[Row]:
    """Runs one script's cases and prints their table."""
    with contextlib.ExitStack() as stack:
        rows = [measure(case) for case in make_cases(stack)]
    print(table(rows))
    return rows
