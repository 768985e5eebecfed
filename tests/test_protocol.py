"""Native coroutines and generators held against CPython's own: each case runs
the same operations on a native object and on the same function written in
Python, and every outcome must be the same."""

import asyncio
import inspect
import json
import types

import pytest

from probes import load
from vesprand_python_configuration import toolchest

coro = load("_coroprobe")
gen = load("_runtimeprobe")


class Once:
    """Suspends once; the await gives what is sent in."""

    def __await__(self):
        return (yield "suspended")


async def relay(awaitable):
    return await awaitable


def count_up(n, received=None):
    for i in range(n):
        sent = yield i
        if received is not None:
            received.append(sent)


def send(value):
    return lambda c: c.send(value)


def throw(error):
    return lambda c: c.throw(error)


def close(c):
    return c.close()


def delegate(inner):
    """`yield from inner` in a plain generator: what it yields, and its result."""

    def outer():
        return (yield from inner)

    values, g = [], outer()
    try:
        while True:
            values.append(next(g))
    except StopIteration as stop:
        return values, stop.value


def outcome(action, target):
    """What one operation gives: a value, a StopIteration's value, or an error
    (its type, and its message unless it names the object's own type)."""
    try:
        return ("value", action(target))
    except StopIteration as stop:
        return ("stop", stop.value)
    except Exception as error:
        message = str(error)
        return ("raised", type(error), None if "object" in message else message)


def outcomes(make, script):
    target = make()
    try:
        return [outcome(action, target) for action in script]
    finally:
        target.close()


COROUTINE_SCRIPTS = {
    "finished, then misused": [send(None), send("x"), send(None), throw(ValueError("late")),
                               close, send(None)],
    "thrown into while new": [throw(ValueError("early")), send(None), throw(KeyError("k"))],
    "closed while new": [close, send(None), throw(KeyError("k")), close],
    "closed while suspended": [send(None), close, send(None), throw(ValueError("v"))],
    "thrown into while suspended": [send(None), throw(ValueError("in")), throw(ValueError("x"))],
    "non-None sent to a new one": [send(1), send(None)],
    "not iterable": [iter, next, list, delegate, close],
    "driven through __await__": [lambda c: c.__await__() is c, lambda c: next(c.__await__()),
                                 lambda c: c.__await__().send("sent"), send(None),
                                 lambda c: next(c.__await__())],
    "what inspect and isinstance see": [inspect.iscoroutine, inspect.isawaitable,
                                        lambda c: isinstance(c, types.CoroutineType),
                                        inspect.getcoroutinestate, send(None),
                                        inspect.getcoroutinestate, close,
                                        inspect.getcoroutinestate],
}  # fmt: skip


@pytest.mark.parametrize("script", COROUTINE_SCRIPTS.values(), ids=COROUTINE_SCRIPTS)
def test_coroutine_as_cpythons(script):
    python = outcomes(lambda: relay(Once()), script)
    assert outcomes(lambda: coro.relay(Once()), script) == python


GENERATOR_SCRIPTS = {
    "exhausted, then misused": [next, next, next, next, send(None), throw(ValueError("x")), close,
                                next],
    "yield from an exhausted one": [list, delegate, delegate],
    "yield from a fresh one": [delegate, next],
    "non-None sent to a new one": [send(1), next, send("a"), next],
    "closed while suspended": [next, close, next, send(None)],
    "thrown into while suspended": [next, throw(ValueError("in")), next],
    "thrown into while new": [throw(KeyError("k")), next],
    "what inspect and isinstance see": [inspect.isgenerator, lambda g: iter(g) is g,
                                        lambda g: isinstance(g, types.GeneratorType),
                                        inspect.getgeneratorstate, next,
                                        inspect.getgeneratorstate],
}  # fmt: skip


@pytest.mark.parametrize("script", GENERATOR_SCRIPTS.values(), ids=GENERATOR_SCRIPTS)
def test_generator_as_cpythons(script):
    python = outcomes(lambda: count_up(2), script)
    assert outcomes(lambda: gen.count_up(2), script) == python


# ------------------------------------------- GeneratorExit through handlers


@types.coroutine
def suspend():
    yield


class FakeAiohttp:
    """A session whose post never answers and whose exit suspends, as a
    session's exit does while it closes its connections."""

    def __init__(self):
        self.exits = []

    def ClientSession(self):
        return Manager(self, "session", entered=self)

    def post(self, **request):
        return Manager(self, "post", hangs=True)


class Manager:
    def __init__(self, fake, name, entered=None, hangs=False):
        self.fake, self.name, self.entered, self.hangs = fake, name, entered, hangs

    async def __aenter__(self):
        while self.hangs:
            await suspend()
        return self.entered

    async def __aexit__(self, *exc):
        self.fake.exits.append((self.name, exc[0]))
        await suspend()


class Logger:
    def __init__(self):
        self.errors = []

    def error(self, msg, *args, **kwargs):
        self.errors.append(msg)


async def python_send_message_async(self, text_message, message_type, aiohttp):
    """_send_message_async written in Python, with the same card."""
    try:
        headers = {"Content-Type": "application/json; charset=UTF-8"}
        if self.environ not in self.log_enabled:
            return
        url = self.g_chat_error_webhook if message_type == 0 else self.g_chat_webhook
        async with aiohttp.ClientSession() as session:
            async with session.post(url=url, headers=headers, data=json.dumps({})) as response:
                response.raise_for_status()
    except Exception:
        if self.logger:
            self.logger.error("Error in webhookApi", exc_info=True)


def closed_mid_post(send_message_async, monkeypatch):
    fake = FakeAiohttp()
    monkeypatch.setattr(toolchest, "aiohttp", fake)
    messenger = types.SimpleNamespace(
        environ="production", log_enabled=["production"], logger=Logger(),
        g_chat_webhook="http://hook", g_chat_error_webhook="http://error", service_name="svc",
        color_dict={1: "#008000", 0: "#FF0000"})  # fmt: skip
    coroutine = send_message_async(messenger, "text", 1, fake)
    assert coroutine.send(None) is None  # suspended in the post
    result = outcome(close, coroutine)
    return result, fake.exits, messenger.logger.errors, inspect.getcoroutinestate(coroutine)


def test_generator_exit_passes_a_bodys_exception_handler(monkeypatch):
    native = toolchest.GoogleChatAsyncMessenger._send_message_async
    python = closed_mid_post(python_send_message_async, monkeypatch)
    assert python[0] == ("raised", RuntimeError, "coroutine ignored GeneratorExit")
    assert closed_mid_post(lambda self, t, m, fake: native(self, t, m), monkeypatch) == python
