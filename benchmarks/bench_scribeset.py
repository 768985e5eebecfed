"""Records through an AsyncLogger, from info() to the handler, against the same
steps written in Python (PyAsyncLogger) and against a plain logging.Logger with
the same handler and formatter. The handlers write to in-memory sinks.

"end to end" times a burst of info() calls until the last record has reached
the handler (the default queue of 100, so producers also drain in line); "the
call alone" times the info() calls only.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_scribeset.py
"""

import asyncio
import logging
import time

from harness import Case, event_loop, run
from sink import Sink

from vesprand_python_configuration.scribeset import AsyncLogger

RECORDS = 5000


def plain_logger():
    """A logging.Logger with the handler and formatter AsyncLogger's console
    logger gets, writing to a sink."""
    handler = logging.StreamHandler(Sink())
    handler.setLevel(logging.DEBUG)
    handler.setFormatter(
        logging.Formatter(
            "\n%(levelname)s - %(asctime)s - %(message)s\n", datefmt="%m/%d/%Y %H:%M:%S"
        )
    )
    logger = logging.Logger("bench-plain")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    return logger


class PyAsyncLogger:
    """AsyncLogger's steps in Python: a bounded queue fed through
    run_coroutine_threadsafe, drained by a worker task and, when full, by the
    producer in line."""

    def __init__(self, logger, log_level, max_queue_size=100):
        self.logger, self.log_level = logger, log_level
        self.log_queue = asyncio.Queue(max_queue_size)
        self.log_methods = {"error": logger.error, "warning": logger.warning,
                            "info": logger.info, "debug": logger.debug}  # fmt: skip
        asyncio.get_running_loop().create_task(self._process_log_queue())

    def _write(self, entry):
        level, msg, args, kwargs = entry
        log_method = self.log_methods.get(level)
        if log_method:
            log_method(msg, *args, **kwargs)
        self.log_queue.task_done()

    async def _process_log_queue(self):
        while True:
            self._write(await self.log_queue.get())

    async def _log_message(self, level, msg, *args, **kwargs):
        while self.log_queue.full():
            self._write(await self.log_queue.get())
        await self.log_queue.put((level, msg, args, kwargs))

    def info(self, msg, *args, **kwargs):
        if self.log_level <= logging.INFO:
            loop = asyncio.get_running_loop()
            asyncio.run_coroutine_threadsafe(self._log_message("info", msg, *args, **kwargs), loop)


def cases(stack):
    loop = event_loop(stack)

    async def make():
        native = AsyncLogger("bench-async", logging.DEBUG)
        native.logger.propagate = False
        (handler,) = native.logger.handlers
        handler.setStream(Sink())
        return native, PyAsyncLogger(plain_logger(), logging.DEBUG)

    native, python = loop.run_until_complete(make())
    plain = plain_logger()

    def burst(logger):
        """A round through an asynchronous logger: the seconds the info()
        calls took; returns once every record is written."""
        sink = (logger.logger.handlers[0]).stream

        async def round_():
            target = sink.writes + RECORDS
            start = time.perf_counter()
            for i in range(RECORDS):
                logger.info("record %d", i)
            called = time.perf_counter() - start
            while sink.writes < target:
                await asyncio.sleep(0)
            return called

        return lambda: loop.run_until_complete(round_())

    def plain_burst():
        start = time.perf_counter()
        for i in range(RECORDS):
            plain.info("record %d", i)
        return time.perf_counter() - start

    return [
        Case("scribeset AsyncLogger.info, end to end / the same steps in Python",
             burst(native), burst(python), ops=RECORDS),
        Case("scribeset AsyncLogger.info, end to end / logging.Logger.info",
             burst(native), plain_burst, ops=RECORDS),
        Case("scribeset AsyncLogger.info, the call alone / the same steps in Python",
             burst(native), burst(python), ops=RECORDS, timed=True),
    ]  # fmt: skip


if __name__ == "__main__":
    run(cases)
