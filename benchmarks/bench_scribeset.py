"""Records per second through an AsyncLogger, from info() to the handler,
against the same records through a plain logging.Logger with the same
handler and formatter. The handler writes to an in-memory sink.

AsyncLogger figures: "end to end" times a burst of info() calls until the
last record has reached the handler (the default queue of 100, so producers
also drain in line); "caller" is the time the info() calls alone take.

Run with the built package on the path:
    PYTHONPATH=<build dir> python3 -P benchmarks/bench_scribeset.py
"""

import asyncio
import logging
import time

from vesprand_python_configuration.scribeset import AsyncLogger

RECORDS = 20000
ROUNDS = 5


class Sink:
    """A stream that counts what it is given and keeps nothing."""

    def __init__(self):
        self.writes = 0

    def write(self, text):
        self.writes += 1

    def flush(self):
        pass


def console_handler(sink):
    """The handler and formatter AsyncLogger's console logger gets."""
    handler = logging.StreamHandler(sink)
    handler.setLevel(logging.DEBUG)
    handler.setFormatter(
        logging.Formatter(
            "\n%(levelname)s - %(asctime)s - %(message)s\n", datefmt="%m/%d/%Y %H:%M:%S"
        )
    )
    return handler


def plain_rate():
    sink = Sink()
    logger = logging.Logger("bench-plain")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(console_handler(sink))
    best = 0.0
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for i in range(RECORDS):
            logger.info("record %d", i)
        best = max(best, RECORDS / (time.perf_counter() - start))
    assert sink.writes == RECORDS * ROUNDS
    return best


async def async_rates():
    logger = AsyncLogger("bench-async", logging.DEBUG)
    logger.logger.propagate = False
    (handler,) = logger.logger.handlers
    sink = Sink()
    handler.setStream(sink)
    best_total = best_caller = 0.0
    for round_ in range(ROUNDS):
        target = (round_ + 1) * RECORDS
        start = time.perf_counter()
        for i in range(RECORDS):
            logger.info("record %d", i)
        called = time.perf_counter()
        while sink.writes < target:
            await asyncio.sleep(0)
        done = time.perf_counter()
        best_caller = max(best_caller, RECORDS / (called - start))
        best_total = max(best_total, RECORDS / (done - start))
    assert sink.writes == RECORDS * ROUNDS
    return best_total, best_caller


def main():
    plain = plain_rate()
    end_to_end, caller = asyncio.run(async_rates())
    print(f"{RECORDS} records a round, best of {ROUNDS}")
    print(f"plain logging.Logger         {plain:12,.0f} records/s")
    print(f"AsyncLogger, end to end      {end_to_end:12,.0f} records/s")
    print(f"AsyncLogger, info() calls    {caller:12,.0f} calls/s")
    print(f"ratio end to end / plain     {end_to_end / plain:12.2f}")


if __name__ == "__main__":
    main()
