"""The `async with` helper of native coroutine bodies, held against the
statement itself: the same manager and body through Python's `async with`."""

import asyncio
import sys
import types

import probes
import pytest

probe = probes.load("_asyncprobe")


class Manager:
    """Records what the statement does with it: each call of __aenter__ and
    __aexit__, with what __aexit__ is given and the exception being handled."""

    def __init__(self, suppress=False, exit_raises=None, log=None, name="m"):
        self.suppress, self.exit_raises, self.name = suppress, exit_raises, name
        self.log = [] if log is None else log

    async def __aenter__(self):
        self.log.append(("enter", self.name))
        await asyncio.sleep(0)
        return self.name

    async def __aexit__(self, exc_type, exc, tb):
        handled = sys.exception()
        self.log.append(("exit", self.name, exc_type, type(exc), type(tb), handled is exc))
        await asyncio.sleep(0)
        if self.exit_raises:
            raise self.exit_raises
        return self.suppress


async def python_async_with(manager, body):
    async with manager as entered:
        return await body(entered)


async def python_nested(outer, inner, body):
    async with outer as entered:
        async with inner(entered) as value:
            return await body(value)


async def returns(entered):
    await asyncio.sleep(0)
    return entered + "!"


async def raises(entered):
    await asyncio.sleep(0)
    raise ValueError(entered)


def outcome(statement, *args):
    async def main():
        try:
            return ("returned", await statement(*args))
        except Exception as error:
            return ("raised", type(error), str(error), type(error.__context__))

    return asyncio.run(main())


@pytest.mark.parametrize(
    "body, options",
    [
        (returns, {}),
        (raises, {}),
        (raises, {"suppress": True}),
        (raises, {"suppress": "yes"}),
        (returns, {"suppress": True}),
        (raises, {"exit_raises": KeyError("from exit")}),
        (returns, {"exit_raises": KeyError("from exit")}),
    ],
)
def test_same_as_the_statement(body, options):
    native, python = Manager(**options), Manager(**options)
    result = outcome(probe.async_with_body, native, body)
    assert (result, native.log) == (outcome(python_async_with, python, body), python.log)
    if body is raises and not options:
        assert result == ("raised", ValueError, "m", type(None))
        assert native.log[-1] == ("exit", "m", ValueError, ValueError, types.TracebackType, True)


@pytest.mark.parametrize("outer_suppress", [False, True])
def test_nested_statements(outer_suppress):
    def run(statement):
        log = []
        outer = Manager(suppress=outer_suppress, log=log, name="outer")
        return outcome(statement, outer, lambda entered: Manager(log=log, name=entered + "/inner"), raises), log

    assert run(probe.nested) == run(python_nested)


class NoExit:
    async def __aenter__(self):
        raise AssertionError("entered")


class EnterNotAwaitable(Manager):
    def __aenter__(self):
        return 5


class ExitNotAwaitable(Manager):
    def __aexit__(self, *exc):
        return 5


@pytest.mark.parametrize(
    "manager, message",
    [
        (NoExit(), "'NoExit' object does not support the asynchronous context manager protocol (missed __aexit__ method)"),
        (types.SimpleNamespace(__aenter__=None, __aexit__=None), "'types.SimpleNamespace' object does not support the asynchronous context manager protocol"),
        (EnterNotAwaitable(), "'async with' received an object from __aenter__ that does not implement __await__: int"),
        (ExitNotAwaitable(), "'async with' received an object from __aexit__ that does not implement __await__: int"),
    ],
)  # fmt: skip
def test_protocol_errors(manager, message):
    assert outcome(probe.async_with_body, manager, returns) == ("raised", TypeError, message, type(None))
    assert outcome(python_async_with, manager, returns)[:3] == ("raised", TypeError, message)


@pytest.mark.parametrize("suppress", [False, True])
def test_cancellation_while_the_body_awaits(suppress):
    def run(statement):
        manager = Manager(suppress=suppress)

        async def main():
            started = asyncio.Event()

            async def body(entered):
                started.set()
                await asyncio.sleep(3600)

            task = asyncio.create_task(statement(manager, body))
            await started.wait()
            task.cancel()
            try:
                return "returned", await task
            except asyncio.CancelledError:
                return "cancelled", task.cancelled()

        return asyncio.run(main()), manager.log

    result, log = run(probe.async_with_body)
    assert (result, log) == run(python_async_with)
    assert [entry[:4] for entry in log if entry[0] == "exit"] == [
        ("exit", "m", asyncio.CancelledError, asyncio.CancelledError)
    ]


@types.coroutine
def suspend():
    yield


class Quiet:
    """A manager whose methods never suspend (so close() can run them)."""

    exits = 0

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        Quiet.exits += 1
        return False


async def forever(entered):
    while True:
        await suspend()


def test_close_while_the_body_awaits():
    for statement in (probe.async_with_body, python_async_with):
        coroutine = statement(Quiet(), forever)
        coroutine.send(None)
        before = Quiet.exits
        coroutine.close()
        assert Quiet.exits == before + 1


def test_no_leak_when_closed_or_cancelled_midway(assert_no_leak):
    loop = asyncio.new_event_loop()
    manager = Quiet()

    async def cancelled():
        task = loop.create_task(probe.async_with_body(manager, forever))
        for _ in range(3):
            await asyncio.sleep(0)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)

    def once():
        closed = probe.async_with_body(manager, forever)
        closed.send(None)
        closed.close()
        loop.run_until_complete(cancelled())
        assert outcome_in(loop, probe.async_with_body(manager, returns_self)) is manager

    try:
        assert_no_leak(once, repeat=2000, warmup=200, slack=64)
    finally:
        loop.close()


async def returns_self(entered):
    return entered


def outcome_in(loop, coroutine):
    return loop.run_until_complete(coroutine)
