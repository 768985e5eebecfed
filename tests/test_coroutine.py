"""Native coroutines of the runtime, driven from Python and by asyncio.

The bodies under test live in the test-only module _coroprobe (tests/native),
built next to the package in the build folder."""

import asyncio
import collections.abc
import gc
import importlib
import inspect
import pathlib
import sys
import threading
import types
import warnings
import weakref

import pytest

from probes import load

probe = load("_coroprobe")

from vesprand_python_configuration.scribeset import AsyncLogger


async def value_after_sleep(value):
    await asyncio.sleep(0)
    return value


async def raising(exception):
    await asyncio.sleep(0)
    raise exception


@types.coroutine
def generator_based(value):
    yield
    return value


class Tracked:
    """An awaitable that yields once and records what happened to it."""

    def __init__(self):
        self.events = []

    def __await__(self):
        try:
            sent = yield "suspended"
            self.events.append(("sent", sent))
            return sent
        except GeneratorExit:
            self.events.append("closed")
            raise
        except BaseException as error:
            self.events.append(("thrown", error))
            raise


def run(awaitable):
    return asyncio.run(awaitable)


# ------------------------------------------------------------ the functions


@pytest.mark.parametrize(
    "function",
    [probe.relay, probe.recover, AsyncLogger._log_message, AsyncLogger._process_log_queue],
    ids=["relay", "recover", "_log_message", "_process_log_queue"],
)
def test_coroutine_functions_are_recognised(function):
    assert inspect.iscoroutinefunction(function)
    assert asyncio.iscoroutinefunction(function)
    assert function.__code__.co_flags & inspect.CO_COROUTINE


def test_bound_coroutine_method_is_recognised():
    method = types.MethodType(AsyncLogger._process_log_queue, object())
    assert inspect.iscoroutinefunction(method)
    assert asyncio.iscoroutinefunction(method)


@pytest.mark.parametrize("function", [AsyncLogger.info, AsyncLogger.__init__])
def test_plain_functions_are_not_coroutine_functions(function):
    assert not inspect.iscoroutinefunction(function)
    assert not asyncio.iscoroutinefunction(function)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: probe.relay_each("not a list"), "Argument 'awaitables' has incorrect type"),
        (lambda: probe.relay(), "relay() takes exactly 1 positional argument (0 given)"),
        (lambda: probe.relay(1, 2), "relay() takes exactly 1 positional argument (2 given)"),
        (lambda: probe.relay(other=1), "unexpected keyword argument 'other'"),
    ],
)
def test_arguments_are_checked_before_a_coroutine_exists(call, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a coroutine dropped unstarted would warn
        with pytest.raises(TypeError) as raised:
            call()
    assert message in str(raised.value)


# ------------------------------------------------------------ under asyncio


def _via_await(make):
    async def main():
        return await make()

    return run(main())


def _via_create_task(make):
    async def main():
        return await asyncio.create_task(make())

    return run(main())


def _via_loop_create_task(make):
    loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(loop.create_task(make()))
    finally:
        loop.close()


def _via_threadsafe(make):
    async def main():
        loop = asyncio.get_running_loop()
        futures = []
        thread = threading.Thread(
            target=lambda: futures.append(asyncio.run_coroutine_threadsafe(make(), loop))
        )
        thread.start()
        thread.join()
        return await asyncio.wrap_future(futures[0])

    return run(main())


def _via_gather(make):
    async def main():
        return (await asyncio.gather(make(), make()))[0]

    return run(main())


def _via_wait_for(make):
    async def main():
        return await asyncio.wait_for(make(), timeout=5)

    return run(main())


@pytest.mark.parametrize(
    "drive",
    [
        _via_await,
        _via_create_task,
        _via_loop_create_task,
        _via_threadsafe,
        _via_gather,
        _via_wait_for,
        lambda make: run(make()),
    ],
    ids=["await", "create_task", "loop.create_task", "threadsafe", "gather", "wait_for", "run"],
)
@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: probe.relay(value_after_sleep(7)), 7),
        (lambda: probe.relay(asyncio.sleep(0.001, "slept")), "slept"),
        (lambda: probe.relay(generator_based("old style")), "old style"),
        (lambda: probe.relay(probe.relay(probe.relay(value_after_sleep("deep")))), "deep"),
        (lambda: probe.relay_inner(value_after_sleep("inner")), "inner"),
        (lambda: probe.relay_each([value_after_sleep(1), asyncio.sleep(0, 2)]), [1, 2]),
    ],
    ids=["coroutine", "sleep", "types.coroutine", "native in native", "internal", "sequence"],
)
def test_drivers_get_the_result(drive, make, expected):
    assert drive(make) == expected


@pytest.mark.parametrize(
    "make",
    [
        lambda e: probe.relay(raising(e)),
        lambda e: probe.relay(probe.relay(raising(e))),
        lambda e: probe.fail(e),
    ],
    ids=["from the awaited", "through a native await", "from the body"],
)
def test_exception_reaches_the_awaiter_unchanged(make):
    error = ValueError("boom")
    with pytest.raises(ValueError) as raised:
        run(make(error))
    assert raised.value is error


def test_stop_iteration_from_a_body_becomes_runtime_error():
    stop = StopIteration("out")
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        run(probe.fail(stop))
    assert raised.value.__cause__ is stop


class AwaitReturnsNonIterator:
    def __await__(self):
        return 42


class AwaitReturnsCoroutine:
    def __await__(self):
        return value_after_sleep(1)


@pytest.mark.parametrize(
    "awaitable, message",
    [
        (42, "object int can't be used in 'await' expression"),
        (AwaitReturnsNonIterator(), "__await__() returned non-iterator of type 'int'"),
        (AwaitReturnsCoroutine(), "__await__() returned a coroutine"),
    ],
)
def test_awaiting_what_cannot_be_awaited(awaitable, message):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(TypeError) as raised:
            run(probe.relay(awaitable))
    assert str(raised.value) == message


# ----------------------------------------------------- thrown in and closed


def test_cancelling_a_task_awaiting_a_queue():
    async def main():
        queue = asyncio.Queue()
        task = asyncio.create_task(probe.relay(queue.get()))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # The queue's getter went with the cancelled get(): nothing consumes this.
        queue.put_nowait("left")
        await asyncio.sleep(0)
        return task.cancelled(), queue.qsize()

    assert run(main()) == (True, 1)


def test_body_catches_cancellation_and_awaits_again():
    async def fallback(error):
        await asyncio.sleep(0)
        return type(error).__name__

    async def main():
        queue = asyncio.Queue()
        task = asyncio.create_task(probe.recover(queue.get(), fallback))
        await asyncio.sleep(0)
        task.cancel()
        return await task

    assert run(main()) == "CancelledError"


def test_throw_into_a_coroutine_awaiting_a_queue():
    async def main():
        queue = asyncio.Queue()
        coroutine = probe.relay(probe.relay(queue.get()))
        assert isinstance(coroutine.send(None), asyncio.Future)
        error = KeyError("thrown")
        with pytest.raises(KeyError) as raised:
            coroutine.throw(error)
        assert raised.value is error
        assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED

    run(main())


THROWN = ValueError("thrown in")


@pytest.mark.parametrize(
    "resume, raised, event",
    [
        (lambda c: c.send("value"), StopIteration, ("sent", "value")),
        (lambda c: c.throw(THROWN), ValueError, ("thrown", THROWN)),
        (lambda c: c.close(), None, "closed"),
    ],
    ids=["send", "throw", "close"],
)
def test_send_throw_and_close_reach_the_delegate(resume, raised, event):
    tracked = Tracked()
    coroutine = probe.relay(tracked)
    assert coroutine.send(None) == "suspended"
    if raised is None:
        resume(coroutine)
    else:
        with pytest.raises(raised):
            resume(coroutine)
    assert tracked.events == [event]
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED


def test_send_returns_the_result_as_stop_iteration():
    coroutine = probe.relay(Tracked())
    coroutine.send(None)
    with pytest.raises(StopIteration) as raised:
        coroutine.send(("a", "tuple"))
    assert raised.value.value == ("a", "tuple")


def test_close_of_a_body_that_ignores_generator_exit():
    coroutine = probe.persist(Tracked, 1)
    coroutine.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coroutine.close()
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_SUSPENDED
    coroutine.close()  # the second GeneratorExit is not swallowed
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED


@pytest.mark.parametrize(
    "misuse, error, message",
    [
        (lambda c: c.send(1), TypeError, "can't send non-None value to a just-started coroutine"),
        (lambda c: (_finish(c), c.send(None)), RuntimeError, "cannot reuse already awaited"),
        (lambda c: (c.close(), c.send(None)), RuntimeError, "cannot reuse already awaited"),
        (lambda c: c.throw(ValueError("first")), ValueError, "first"),
        (lambda c: c.throw(ValueError, ValueError("x"), 3), TypeError, "traceback object"),
        (lambda c: c.throw(3), TypeError, "exceptions must be classes or instances"),
    ],
    ids=["send to new", "reuse finished", "reuse closed", "throw into new", "bad tb", "bad type"],
)
def test_protocol_misuse(misuse, error, message):
    coroutine = probe.relay(generator_based("x"))
    with pytest.raises(error, match=message):
        misuse(coroutine)
    coroutine.close()


def _finish(coroutine):
    coroutine.send(None)
    with pytest.raises(StopIteration):
        coroutine.send(None)


def test_throw_into_new_coroutine_closes_it():
    coroutine = probe.relay(generator_based("x"))
    with pytest.raises(ValueError):
        coroutine.throw(ValueError)
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coroutine.send(None)


def test_coroutine_already_awaited_elsewhere():
    async def main():
        queue = asyncio.Queue()
        inner = probe.relay(queue.get())
        task = asyncio.ensure_future(inner)
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            await probe.relay(inner)
        task.cancel()

    run(main())


class ReentrantAwaitable:
    def __init__(self):
        self.coroutine = None

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        self.coroutine.send(None)


def test_send_while_running():
    awaitable = ReentrantAwaitable()
    coroutine = awaitable.coroutine = probe.relay(awaitable)
    with pytest.raises(ValueError, match="coroutine already executing"):
        coroutine.send(None)


# --------------------------------------------------------- as an object


def test_attributes_and_states():
    tracked = Tracked()
    coroutine = probe.relay(tracked)
    assert coroutine.__name__ == coroutine.__qualname__ == "relay"
    assert coroutine.cr_code is probe.relay.__code__
    assert repr(coroutine).startswith("<coroutine object relay at ")
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CREATED
    assert coroutine.cr_await is None and not coroutine.cr_running
    coroutine.send(None)
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_SUSPENDED
    assert inspect.isgenerator(coroutine.cr_await)  # the iterator of Tracked.__await__
    coroutine.close()
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED
    assert coroutine.cr_await is None and coroutine.cr_frame is None


def test_running_while_executing():
    seen = []

    class Peek:
        def __await__(self):
            seen.append(coroutine.cr_running)
            return iter(())

    coroutine = probe.relay(Peek())
    with pytest.raises(StopIteration):
        coroutine.send(None)
    assert seen == [True] and not coroutine.cr_running


def test_is_a_coroutine_to_asyncio_and_collections():
    coroutine = probe.relay(None)
    try:
        assert isinstance(coroutine, collections.abc.Coroutine)
        assert isinstance(coroutine, collections.abc.Awaitable)
        assert asyncio.iscoroutine(coroutine)
        assert inspect.isawaitable(coroutine)
    finally:
        coroutine.close()


def test_warns_when_dropped_unstarted():
    with pytest.warns(RuntimeWarning, match="coroutine 'relay' was never awaited"):
        probe.relay(None)
        gc.collect()


@pytest.mark.parametrize(
    "use",
    [lambda: probe.relay(Tracked()).close(), lambda: run(probe.relay(asyncio.sleep(0)))],
    ids=["closed", "awaited"],
)
def test_no_warning_once_closed_or_awaited(use):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        use()
        gc.collect()


# ---------------------------------------------------------- the collector


def test_traverse_sees_arguments_and_delegate():
    tracked, holder = Tracked(), []
    unstarted = probe.recover(tracked, holder)
    referents = gc.get_referents(unstarted)
    assert any(r is tracked for r in referents) and any(r is holder for r in referents)
    unstarted.close()
    suspended = probe.relay(Tracked())
    suspended.send(None)
    assert any(r is suspended.cr_await for r in gc.get_referents(suspended))
    suspended.close()


def test_cycle_through_the_arguments_is_collected():
    holder = []
    coroutine = probe.relay(holder)
    holder.append(coroutine)
    coroutine.close()
    alive = weakref.ref(coroutine)
    del coroutine, holder
    gc.collect()
    assert alive() is None


def test_suspended_cycle_through_the_delegate_is_closed_and_collected():
    tracked = Tracked()
    coroutine = probe.relay(tracked)
    tracked.coroutine = coroutine
    coroutine.send(None)
    alive = weakref.ref(coroutine)
    events = tracked.events
    del coroutine, tracked
    gc.collect()
    assert alive() is None
    assert events == ["closed"]


# ---------------------------------------------------------------- leaks


def test_no_leak_creating_and_closing_unstarted(assert_no_leak):
    assert_no_leak(lambda: probe.relay(Tracked()).close(), repeat=5000)


def test_no_leak_awaiting_through_native_coroutines(assert_no_leak):
    loop = asyncio.new_event_loop()
    try:
        assert_no_leak(
            lambda: loop.run_until_complete(probe.relay(probe.relay_inner(asyncio.sleep(0))))
        )
    finally:
        loop.close()


def test_no_leak_throwing_into_suspended(assert_no_leak):
    def once():
        coroutine = probe.relay(probe.relay(Tracked()))
        coroutine.send(None)
        try:
            coroutine.throw(ValueError("x"))
        except ValueError:
            pass

    assert_no_leak(once)
