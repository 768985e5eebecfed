"""Chat alerts: SingletonMeta, the message card, the synchronous messenger and
the queued one, against a real webhook receiver on the loopback interface."""

import ast
import asyncio
import inspect
import json
import os
import pathlib
import pydoc
import re
import sys
import textwrap
import types

import aiohttp
import pytest
from webhook_receiver import WebhookReceiver, closed_url

from vesprand_python_configuration import toolchest
from vesprand_python_configuration.toolchest import (
    GoogleChatAsyncMessenger,
    GoogleChatSyncMessenger,
    SingletonMeta,
    setup_google_chat_messenger,
)

MODULE = "vesprand_python_configuration.toolchest"
HEADER = "application/json; charset=UTF-8"
NORMAL = "/v1/spaces/normal/messages?key=k%2B1&token=t"
KINDS = ["sync", "queued"]


@pytest.fixture(autouse=True)
def fresh_registry():
    """The registry is process-wide: every test starts without messengers."""
    SingletonMeta._instances.clear()
    yield
    SingletonMeta._instances.clear()


@pytest.fixture(scope="module")
def receiver():
    with WebhookReceiver(process=True) as running:
        yield running


@pytest.fixture
def hook(receiver):
    receiver.answer(200)
    receiver.clear()
    return receiver


class Recorder:
    """A logger keeping each error call with the exception being handled."""

    def __init__(self, fail=None, truth=True):
        self.calls, self.fail, self.truth = [], fail, truth

    def __bool__(self):
        return self.truth

    def error(self, msg, *args, **kwargs):
        self.calls.append((msg, args, kwargs, sys.exc_info()[1]))
        if self.fail:
            raise self.fail


def make(kind, hook, environ="PRODUCTION", error="/error", **kwargs):
    cls = GoogleChatSyncMessenger if kind == "sync" else GoogleChatAsyncMessenger
    return cls("svc", hook.url(NORMAL), error and hook.url(error), environ, **kwargs)


async def settle(messenger, rounds=10):
    """Lets the scheduled puts run, then waits until the worker has sent all."""
    for _ in range(rounds):
        await asyncio.sleep(0)
    await messenger.log_queue.join()


def deliver(messenger, *messages):
    """Sends each message (a tuple of send_message's arguments); returns once
    every request is through."""
    if type(messenger) is GoogleChatSyncMessenger:
        assert all(messenger.send_message(*m) is None for m in messages)
        return

    async def main():
        assert all(messenger.send_message(*m) is None for m in messages)
        await settle(messenger)

    asyncio.run(main())


def shown(request):
    """(colour, text) of a received card."""
    card = json.loads(request.body)["cards"][0]
    font = card["sections"][0]["widgets"][0]["textParagraph"]["text"]
    return re.fullmatch(r"<font color='(#[0-9A-F]{6})'>(.*)</font>", font, re.S).groups()


def texts(hook):
    return [shown(r)[1] for r in hook.requests]


# ------------------------------------------------------------------ shapes


def test_module_names_in_binding_order():
    assert [n for n in vars(toolchest) if not n.startswith("__")] == [
        "asyncio", "json", "logging", "Optional", "Union", "Dict", "Any", "aiohttp",
        "requests", "add_extra_properties_to_schema", "SingletonMeta",
        "GoogleChatSyncMessenger", "GoogleChatAsyncMessenger", "setup_google_chat_messenger",
    ]  # fmt: skip


INIT = (
    "(self, service_name: 'str', g_chat_webhook: 'str', g_chat_error_webhook: 'str', "
    "environ: 'str', log_enabled: 'Optional[list[str]]' = None, "
    "logger: 'Optional[logging.Logger]' = None"
)
SEND = "(self, text_message: 'str', message_type: 'int' = 1, webhook_url: 'Optional[str]' = None) -> 'None'"
PAIR = "(self, text_message: 'str', message_type: 'int') -> 'None'"


@pytest.mark.parametrize(
    "function, signature",
    [
        (SingletonMeta.__call__, "(cls, *args: 'Any', **kwargs: 'Any') -> 'Any'"),
        (GoogleChatSyncMessenger.__init__, INIT + ") -> 'None'"),
        (GoogleChatSyncMessenger.send_message, SEND),
        (GoogleChatAsyncMessenger.__init__, INIT + ", max_queue_size: 'int' = 100) -> 'None'"),
        (GoogleChatAsyncMessenger.send_message, "(self, text_message: 'str', message_type: 'int' = None) -> 'None'"),
        (GoogleChatAsyncMessenger._ensure_queue_processing, "(self) -> 'None'"),
        (GoogleChatAsyncMessenger._enqueue_message, PAIR),
        (GoogleChatAsyncMessenger._process_log_queue, "(self) -> 'None'"),
        (GoogleChatAsyncMessenger._send_message_async, PAIR),
        (
            setup_google_chat_messenger,
            INIT.replace("(self, ", "(").replace("environ: 'str', ", "environ: 'str', async_mode: 'bool' = False, ")
            + ") -> 'Union[GoogleChatSyncMessenger, GoogleChatAsyncMessenger]'",
        ),
    ],
    ids=lambda v: getattr(v, "__qualname__", "sig"),
)  # fmt: skip
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature
    assert function.__module__ == MODULE


def test_help_shows_signature_and_docstring():
    text = pydoc.plain(pydoc.render_doc(GoogleChatSyncMessenger.send_message))
    assert "send_message" + SEND in text
    assert "Send a message to Google Chat synchronously, allowing dynamic webhook overrides." in text
    assert GoogleChatAsyncMessenger.send_message.__doc__ == "Send message to Google Chat asynchronously."


def test_classes():
    assert SingletonMeta.__bases__ == (type,) and SingletonMeta.__module__ == MODULE
    assert SingletonMeta.__doc__ == "\n    This is a thread-safe implementation of Singleton.\n    "
    assert SingletonMeta.__annotations__ == {"_instances": "Dict[type, Any]"}
    assert type(vars(SingletonMeta)["_instances"]) is dict
    for cls in (GoogleChatSyncMessenger, GoogleChatAsyncMessenger):
        assert type(cls) is SingletonMeta and cls.__bases__ == (object,)
        assert cls.__doc__ is None and cls.__module__ == MODULE


def stub_parameters(node):
    a = node.args
    names = [p.arg for p in a.args] + [f"*{p.arg}" for p in [a.vararg] if p] + [f"**{p.arg}" for p in [a.kwarg] if p]
    return names, [ast.literal_eval(d) for d in a.defaults]


def runtime_parameters(function):
    stars = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    parameters = inspect.signature(function).parameters.values()
    names = [stars.get(p.kind, "") + p.name for p in parameters]
    return names, [p.default for p in parameters if p.default is not p.empty]


def test_type_stub_and_coroutine_functions_match_the_module():
    stub = ast.parse(pathlib.Path(toolchest.__file__).with_name("toolchest.pyi").read_text())
    names = []
    for node in stub.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names += [alias.asname for alias in node.names if alias.asname]  # re-exported
            continue
        names.append(node.name)
        owner = getattr(toolchest, node.name) if isinstance(node, ast.ClassDef) else toolchest
        for f in node.body if isinstance(node, ast.ClassDef) else [node]:
            if isinstance(f, (ast.FunctionDef, ast.AsyncFunctionDef)):
                function = getattr(owner, f.name)
                assert stub_parameters(f) == runtime_parameters(function), f.name
                coroutine = isinstance(f, ast.AsyncFunctionDef)
                assert coroutine == inspect.iscoroutinefunction(function) == asyncio.iscoroutinefunction(function)
        if isinstance(node, ast.ClassDef) and node.name != "SingletonMeta":
            fields = [a.target.id for a in node.body if isinstance(a, ast.AnnAssign)]
            assert fields == ATTRIBUTES["sync" if "Sync" in node.name else "queued"]
    assert names == [n for n in vars(toolchest) if not n.startswith("__")]


# --------------------------------------------------------------- singleton


def test_first_construction_fixes_the_settings():
    first = GoogleChatSyncMessenger("first", "a", "", "production")
    assert GoogleChatSyncMessenger("second", "b", "c", "staging", ["x"], Recorder()) is first
    assert first.service_name == "first" and first.log_enabled == ["PRODUCTION", "production"]
    assert SingletonMeta._instances == {GoogleChatSyncMessenger: first}
    queued = GoogleChatAsyncMessenger("q", "a", "", "PRODUCTION")
    assert queued is not first and SingletonMeta._instances[GoogleChatAsyncMessenger] is queued


def test_failed_first_construction_registers_nothing():
    with pytest.raises(TypeError, match=r"^Argument 'service_name' has incorrect type \(expected str, got int\)$"):
        GoogleChatSyncMessenger(1, "a", "b", "c")
    assert SingletonMeta._instances == {}
    assert GoogleChatSyncMessenger("ok", "a", "b", "c").service_name == "ok"


def test_python_classes_with_the_metaclass():
    class Base(metaclass=SingletonMeta):
        def __init__(self, value):
            self.value = value

    class Sub(Base):
        pass

    class Own(metaclass=SingletonMeta):
        _instances = {}

    assert Base(1) is Base(2) and Base(value=3).value == 1
    assert Sub(5) is not Base(0) and Sub(6).value == 5
    own = Own()
    assert Own._instances == {Own: own} and Own() is own
    assert list(SingletonMeta._instances) == [Base, Sub]
    with pytest.raises((TypeError, AttributeError)):
        SingletonMeta.__call__(5)


def test_threads_racing_the_first_construction(child):
    # The main thread has to run while 15 threads wait for the construction:
    # a waiter holding the interpreter lock would hang the child.
    out = child("""
        import threading, time
        from vesprand_python_configuration.toolchest import SingletonMeta
        release, inits, results = threading.Event(), [], []
        class Inner(metaclass=SingletonMeta):
            pass
        class Slow(metaclass=SingletonMeta):
            def __init__(self, n):
                inits.append(n)
                self.inner = Inner()
                release.wait(60)
        threads = [threading.Thread(target=lambda n=n: results.append(Slow(n))) for n in range(16)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        release.set()
        for t in threads:
            t.join()
        print(len(inits), len(results), len({id(r) for r in results}), results[0].inner is Inner())
    """).stdout
    assert out == "1 16 1 True\n"


@pytest.mark.parametrize("script", [
    # An __init__ that waits for another thread constructing another class.
    """
        from concurrent.futures import ThreadPoolExecutor
        class Other(metaclass=SingletonMeta):
            pass
        class Waiting(metaclass=SingletonMeta):
            def __init__(self):
                with ThreadPoolExecutor(1) as pool:
                    self.other = pool.submit(Other).result(timeout=20)
        print(Waiting().other is Other())
    """,
    # A child forked while another thread is in a first construction.
    """
        import os, threading
        entered, release = threading.Event(), threading.Event()
        class Slow(metaclass=SingletonMeta):
            def __init__(self):
                entered.set()
                release.wait(20)
        threading.Thread(target=Slow).start()
        entered.wait(20)
        pid = os.fork()
        if pid == 0:  # the child's own construction does not wait
            release.set()
            os._exit(0 if Slow() is Slow() else 1)
        _, status = os.waitpid(pid, 0)
        release.set()
        print(os.waitstatus_to_exitcode(status) == 0)
    """,
], ids=["init waits for another class", "fork during a construction"])  # fmt: skip
def test_one_constructions_lock_never_holds_up_another(script, child):
    header = "from vesprand_python_configuration.toolchest import SingletonMeta\n"
    assert child(header + textwrap.dedent(script)).stdout == "True\n"


# ------------------------------------------------------------- the messengers


ATTRIBUTES = {
    "sync": ["service_name", "default_g_chat_webhook", "default_g_chat_error_webhook", "environ",
             "log_enabled", "logger", "color_dict"],
    "queued": ["g_chat_error_webhook", "service_name", "g_chat_webhook", "environ", "log_enabled",
               "logger", "color_dict", "log_queue", "queue_task"],
}  # fmt: skip
DEFAULT_ENABLED = {"sync": ["PRODUCTION", "production"], "queued": ["PRODUCTION"]}


@pytest.mark.parametrize("kind", KINDS)
def test_constructor_attributes(hook, kind):
    enabled, logger = ["staging"], Recorder()
    m = make(kind, hook, "staging", "", log_enabled=enabled, logger=logger)
    assert list(vars(m)) == ATTRIBUTES[kind]
    assert {v for k, v in vars(m).items() if "webhook" in k} == {hook.url(NORMAL)}
    assert (m.service_name, m.environ, m.logger) == ("svc", "staging", logger) and m.log_enabled is enabled
    assert m.color_dict == {1: "#008000", 0: "#FF0000"} and list(m.color_dict) == [1, 0]
    SingletonMeta._instances.clear()
    default = make(kind, hook)
    assert default.log_enabled == DEFAULT_ENABLED[kind] and default.log_enabled is not m.log_enabled
    assert hook.url("/error") in vars(default).values()
    if kind == "queued":
        assert type(m.log_queue) is asyncio.Queue and m.log_queue.maxsize == 100
        assert m.queue_task is None


@pytest.mark.parametrize("size", [1, 0, -5])
def test_queue_size(size):
    assert GoogleChatAsyncMessenger("s", "a", "b", "c", max_queue_size=size).log_queue.maxsize == size


ESCAPES = [
    ('say "hi"', r"say \"hi\""),
    ("back\\slash \\n", r"back\\slash \\n"),
    ("a\nb\tc\rd\x00e\x1f\x7f", r"a\nb\tc\rd\u0000e\u001f\u007f"),
    ("café Über", r"caf\u00e9 \u00dcber"),
    ("😀 𝄞", r"\ud83d\ude00 \ud834\udd1e"),
    ("<b>a & b</b> 'q' </font>", "<b>a & b</b> 'q' </font>"),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("text, escaped", ESCAPES, ids=range(len(ESCAPES)))
def test_body_bytes_and_header(hook, kind, text, escaped):
    deliver(make(kind, hook), (text, 1))
    (request,) = hook.requests
    assert request.body == (
        b'{"cards": [{"header": {"title": "*svc*", "subtitle": "_PRODUCTION_"}, '
        b'"sections": [{"widgets": [{"textParagraph": {"text": '
        b"\"<font color='#008000'>" + escaped.encode("ascii") + b'</font>"}}]}]}]}'
    )
    assert (request.method, request.path) == ("POST", NORMAL)
    assert [v for k, v in request.headers if k.lower() == "content-type"] == [HEADER]


@pytest.mark.parametrize("kind", KINDS)
def test_card_reads_the_attributes_at_send_time(hook, kind):
    m = make(kind, hook)
    m.service_name, m.environ, m.log_enabled = 42, 3.5, (3.5,)
    deliver(m, ("x", 1))
    card = json.loads(hook.requests[0].body)["cards"][0]
    assert card["header"] == {"title": "*42*", "subtitle": "_3.5_"}


@pytest.mark.parametrize(
    "kind, message_type, override, path, colour",
    [
        ("sync", 0, None, "/error", "#FF0000"),
        ("sync", 1, None, NORMAL, "#008000"),
        ("sync", 7, None, NORMAL, "#000000"),
        ("sync", -1, None, NORMAL, "#000000"),
        ("sync", 0, "/override?a=1", "/override?a=1", "#FF0000"),
        ("sync", 2, "/override", "/override", "#000000"),
        ("sync", 0, "", "/error", "#FF0000"),
        ("queued", 0, None, "/error", "#FF0000"),
        ("queued", 1, None, NORMAL, "#008000"),
        ("queued", 7, None, NORMAL, "#000000"),
        ("queued", None, None, NORMAL, "#008000"),
    ],
)
def test_webhook_and_colour_per_message_type(hook, kind, message_type, override, path, colour):
    args = ("m", message_type) if override is None else ("m", message_type, override and hook.url(override))
    deliver(make(kind, hook), args)
    (request,) = hook.requests
    assert (request.path, shown(request)) == (path, (colour, "m"))


@pytest.mark.parametrize(
    "kind, environ, log_enabled, sent",
    [
        ("sync", "production", None, True),
        ("sync", "PRODUCTION", None, True),
        ("sync", "Production", None, False),
        ("sync", "production ", None, False),
        ("sync", "staging", ["staging"], True),
        ("queued", "PRODUCTION", None, True),
        ("queued", "production", None, False),
        ("queued", "staging", ["dev", "staging"], True),
        ("queued", "PRODUCTION", [], False),
    ],
)
def test_environment_gate(hook, kind, environ, log_enabled, sent):
    logger = Recorder()
    deliver(make(kind, hook, environ, log_enabled=log_enabled, logger=logger), ("gated", 1))
    assert texts(hook) == (["gated"] if sent else []) and logger.calls == []


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("status", [404, 500])
def test_http_error_status(hook, kind, status):
    logger = Recorder()
    hook.answer(status, count=1)
    deliver(make(kind, hook, logger=logger), ("failed", 1), ("next", 1))
    assert texts(hook) == ["failed", "next"]
    if kind == "sync":  # the synchronous sender does not look at the answer
        assert logger.calls == []
    else:
        ((msg, args, kwargs, error),) = logger.calls
        assert (msg, args, kwargs) == ("Error in webhookApi", (), {"exc_info": True})
        assert type(error) is aiohttp.ClientResponseError and error.status == status


SPOILERS = {
    "refused": lambda m: setattr(m, "g_chat_webhook" if hasattr(m, "queue_task") else "default_g_chat_webhook", closed_url("/x")),
    "not a url": lambda m: setattr(m, "g_chat_webhook" if hasattr(m, "queue_task") else "default_g_chat_webhook", "not a url"),
    "no membership test": lambda m: setattr(m, "log_enabled", 5),
}  # fmt: skip


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("spoil", SPOILERS.values(), ids=SPOILERS.keys())
@pytest.mark.parametrize("truth", [True, False])
def test_sending_failure_is_logged_not_raised(hook, kind, spoil, truth):
    logger = Recorder(truth=truth)
    m = make(kind, hook, logger=logger)
    spoil(m)
    deliver(m, ("lost", 1))
    assert hook.requests == []
    if not truth:  # a false logger: dropped silently
        assert logger.calls == []
        return
    ((msg, args, kwargs, error),) = logger.calls
    assert (msg, args, kwargs) == ("Error in webhookApi", (), {"exc_info": True})
    assert isinstance(error, Exception)


def test_sync_logger_failure_reaches_the_caller():
    m = GoogleChatSyncMessenger("s", closed_url(), "", "production", logger=Recorder(fail=RuntimeError("down")))
    with pytest.raises(RuntimeError, match="down"):
        m.send_message("x")


def test_collaborators_are_looked_up_at_each_call(hook, monkeypatch):
    posted = []
    monkeypatch.setattr(toolchest, "requests", types.SimpleNamespace(post=lambda **kw: posted.append(kw)))
    monkeypatch.setattr(toolchest, "json", types.SimpleNamespace(dumps=lambda card: f"{list(card)}"))
    make("sync", hook).send_message("x")
    assert posted == [{"url": hook.url(NORMAL), "headers": {"Content-Type": HEADER}, "data": "['cards']"}]
    deliver(make("queued", hook), ("x", 1))
    assert [r.body for r in hook.requests] == [b"['cards']"]
    monkeypatch.setattr(toolchest, "GoogleChatSyncMessenger", lambda *a: a)
    assert setup_google_chat_messenger("s", "a", "b", "c") == ("s", "a", "b", "c", None, None)


@pytest.mark.parametrize(
    "async_mode, cls",
    [(True, GoogleChatAsyncMessenger), ("yes", GoogleChatAsyncMessenger),
     (False, GoogleChatSyncMessenger), (0, GoogleChatSyncMessenger), (None, GoogleChatSyncMessenger)],
)  # fmt: skip
def test_setup_picks_the_messenger(async_mode, cls):
    enabled, logger = ["x"], Recorder()
    m = setup_google_chat_messenger("svc", "n", "e", "x", async_mode, enabled, logger)
    assert type(m) is cls and (m.log_enabled, m.logger) == (enabled, logger)
    assert setup_google_chat_messenger("other", "n2", "e2", "y", async_mode) is m
    assert (m.service_name, m.environ) == ("svc", "x")
    assert cls is GoogleChatSyncMessenger or m.log_queue.maxsize == 100


# -------------------------------------------------------- the queued sender


@pytest.mark.parametrize("size", [1, 100])
def test_queue_order_with_one_request_in_flight(hook, size):
    hook.answer(200, delay=0.01)
    deliver(make("queued", hook, max_queue_size=size), *[(f"m{i}", i % 3) for i in range(12)])
    assert texts(hook) == [f"m{i}" for i in range(12)] and hook.max_in_flight == 1


def test_full_queue_makes_the_producer_wait(hook):
    async def main():
        m = make("queued", hook, max_queue_size=1)
        await m._enqueue_message("first", 1)
        second = asyncio.ensure_future(m._enqueue_message("second", 1))
        await settle_rounds()
        waited = not second.done() and m.log_queue.qsize() == 1
        m._ensure_queue_processing()  # the worker takes "first", making room
        await second
        await settle(m)
        return waited

    assert asyncio.run(main()) and texts(hook) == ["first", "second"]


async def settle_rounds(rounds=10):
    for _ in range(rounds):
        await asyncio.sleep(0)


def test_worker_life_cycle(hook):
    async def main():
        m = make("queued", hook)
        assert m.queue_task is None
        m.send_message("one", 1)
        worker = m.queue_task
        assert isinstance(worker, asyncio.Task) and not worker.done()
        m.send_message("two")
        assert m.queue_task is worker
        await settle(m)
        worker.cancel()
        await asyncio.gather(worker, return_exceptions=True)
        m.send_message("three", 0)
        assert m.queue_task is not worker and not m.queue_task.done()
        await settle(m)

    asyncio.run(main())
    assert texts(hook) == ["one", "two", "three"]


def fail_once(m, hook):
    hook.answer(500, count=1)
    m.logger = Recorder(fail=RuntimeError("logger down"))
    m.send_message("fails", 1)


@pytest.mark.parametrize(
    "spoil, error",
    [
        (fail_once, RuntimeError),
        (lambda m, hook: m.log_queue.put_nowait(("three", 1, "items")), ValueError),
        (lambda m, hook: m.log_queue.put_nowait(None), TypeError),
        (lambda m, hook: m.log_queue.put_nowait(("text", "1")), TypeError),
    ],
    ids=["logger raises", "three items", "not a tuple", "type not an int"],
)
def test_worker_reports_an_escaping_error_and_goes_on(hook, spoil, error):
    async def main():
        reported = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
        m = make("queued", hook)
        spoil(m, hook)
        m.send_message("next", 1)
        await settle(m)
        return reported, m.log_queue._unfinished_tasks, m.queue_task.done()

    (context,), unfinished, done = asyncio.run(main())
    assert type(context["exception"]) is error and context["message"]
    assert (unfinished, done) == (0, False)
    assert texts(hook)[-1:] == ["next"]


CHILD = """
import asyncio, sys, time
from vesprand_python_configuration.toolchest import GoogleChatAsyncMessenger

class Recorder:
    def error(self, msg, **kwargs):
        print(msg, kwargs, type(sys.exc_info()[1]).__name__)

m = GoogleChatAsyncMessenger("svc", sys.argv[1], "", "PRODUCTION", None, Recorder(), int(sys.argv[2]))

async def settle():
    for _ in range(10):
        await asyncio.sleep(0)
    await m.log_queue.join()

async def main(*texts):
    for text in texts:
        m.send_message(text, 1)
    await settle()

def finish(task):  # ends a worker left pending, so that exit stays quiet
    task.cancel()
    task.get_loop().run_until_complete(asyncio.gather(task, return_exceptions=True))
"""

LIFE_CYCLES = {
    # Without a running loop the worker goes to the thread's loop and the
    # entry waits there until that loop runs.
    "no loop at all": ("""
        m.send_message("a", 1)
        worker_loop = m.queue_task.get_loop()
        print(asyncio.get_event_loop() is not worker_loop, m.log_queue.qsize())
        worker_loop.run_until_complete(settle())
        finish(m.queue_task)
    """, 100, ["a"], "True 1\n"),
    # A start-up alert before asyncio.run() must not strand the later ones.
    "alert before asyncio.run": ("""
        m.send_message("early", 1)
        first = m.queue_task
        asyncio.run(main("late"))
        print(first.cancelling(), m.queue_task is not first)
        finish(first)
    """, 100, ["early", "late"], "1 True\n"),
    "a second asyncio.run": ("""
        asyncio.run(main("one"))
        asyncio.run(main("two", "three"))
    """, 100, ["one", "two", "three"], ""),
    "worker loop closed": ("""
        m.send_message("a", 1)
        m.queue_task.get_loop().close()
        m.send_message("b", 1)
        m.queue_task.get_loop().run_until_complete(settle())
        finish(m.queue_task)
    """, 100, ["a", "b"], ""),
    # A full queue without a running loop can never drain: the alert is
    # reported and dropped instead of blocking the service.
    "full queue without a running loop": ("""
        m.send_message("a", 1)
        first = m.queue_task
        print(m.send_message("b", 1))
        asyncio.run(main("c"))
        finish(first)
    """, 1, ["a", "c"], "Error in webhookApi {'exc_info': True} QueueFull\nNone\n"),
    # What is sent before the loop ends is posted while it ends, also what
    # waits for room in the queue; what is left at exit, by the exit hook.
    "sent last": ("""
        async def last():
            m.send_message("one", 1)
            await asyncio.sleep(0.1)
            m.send_message("last", 1)
        asyncio.run(last())
    """, 100, ["one", "last"], ""),
    "a burst through a small queue": ("""
        async def burst():
            for text in "abcd":
                m.send_message(text, 1)
            await asyncio.sleep(0)
        asyncio.run(burst())
    """, 1, ["a", "b", "c", "d"], ""),
    "sent outside any loop": ("""
        m.send_message("at exit", 1)
    """, 100, ["at exit"], ""),
    "flushed in the next loop": ("""
        m.send_message("early", 1)
        async def flushed():
            await m.flush()
            print(m.log_queue.qsize())
        asyncio.run(flushed())
    """, 100, ["early"], "0\n"),
}  # fmt: skip


@pytest.mark.parametrize("script, size, sent, out", LIFE_CYCLES.values(), ids=LIFE_CYCLES.keys())
def test_worker_life_cycle_in_a_fresh_interpreter(hook, child, script, size, sent, out):
    assert child(CHILD + textwrap.dedent(script), hook.url(NORMAL), str(size)).stdout == out
    assert texts(hook) == sent


def test_a_webhook_that_never_answers_holds_the_loop_end_5_seconds_at_most(hook, child):
    hook.answer(None)
    out = child(CHILD + textwrap.dedent("""
        async def main():
            m.send_message("in flight", 1)
            await asyncio.sleep(0.2)
            m.send_message("queued", 1)
            m.send_message("scheduled", 1)
        start = time.monotonic()
        asyncio.run(main())
        print(time.monotonic() - start < 6)
    """), hook.url(NORMAL), "100").stdout  # fmt: skip
    # The one in flight may have arrived: reported, not posted again.
    lines = [f"Error in webhookApi {{'exc_info': True}} {error}\n" for error in
             ["CancelledError", "TimeoutError", "TimeoutError"]]  # fmt: skip
    assert out == "".join(lines) + "True\n"
    assert texts(hook) == ["in flight", "queued"]


@pytest.mark.parametrize("size, delay", [(1, 0), (100, 0.02)])
def test_flush_returns_once_every_message_sent_before_is_done(hook, size, delay):
    hook.answer(200, delay=delay)

    async def main():
        m = make("queued", hook, max_queue_size=size)
        for i in range(4):
            m.send_message(f"m{i}", 1)
        await m.flush()
        return texts(hook), m.log_queue.qsize()

    assert asyncio.run(main()) == ([f"m{i}" for i in range(4)], 0)


# ---------------------------------------------------------- hostile input


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: GoogleChatSyncMessenger("s", "a", "b", None), "Argument 'environ' has incorrect type (expected str, got NoneType)"),
        (lambda: GoogleChatSyncMessenger("s", "a", "b", "c", ("x",)), "Argument 'log_enabled' has incorrect type (expected list, got tuple)"),
        (lambda: GoogleChatAsyncMessenger("s", "a", "b", "c", max_queue_size=True), "(expected int, got bool)"),
        (lambda: GoogleChatAsyncMessenger("s", "a", b"b", "c"), "Argument 'g_chat_error_webhook'"),
        (lambda: GoogleChatSyncMessenger("s", "a"), "positional argument"),
        (lambda: GoogleChatAsyncMessenger("s", "a", "b", "c", None, None, 1, 2), "positional argument"),
        (lambda: setup_google_chat_messenger("s", "a", "b", 3), "Argument 'environ'"),
        (lambda: setup_google_chat_messenger("s", "a", "b", "c", True, "x"), "Argument 'log_enabled'"),
        (lambda: setup_google_chat_messenger("s", "a", "b", "c", nope=1), "unexpected keyword argument 'nope'"),
    ],
)  # fmt: skip
def test_constructor_argument_checks(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert message in str(raised.value) and SingletonMeta._instances == {}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s, q: s.send_message(None), "Argument 'text_message' has incorrect type (expected str, got NoneType)"),
        (lambda s, q: s.send_message("x", True), "Argument 'message_type' has incorrect type (expected int, got bool)"),
        (lambda s, q: s.send_message("x", None), "(expected int, got NoneType)"),
        (lambda s, q: s.send_message("x", 1, b"url"), "Argument 'webhook_url'"),
        (lambda s, q: s.send_message(), "positional argument"),
        (lambda s, q: q.send_message(b"x"), "Argument 'text_message'"),
        (lambda s, q: q.send_message("x", "1"), "(expected int, got str)"),
        (lambda s, q: q.send_message("x", 1, 2), "positional argument"),
        (lambda s, q: q._enqueue_message("x", None), "Argument 'message_type'"),
        (lambda s, q: q._send_message_async(1, 1), "Argument 'text_message'"),
        (lambda s, q: q._process_log_queue(1), "positional argument"),
    ],
)  # fmt: skip
def test_method_argument_checks(hook, call, message):
    queued = make("queued", hook)
    with pytest.raises(TypeError) as raised:
        call(make("sync", hook), queued)
    assert message in str(raised.value)
    assert queued.queue_task is None and queued.log_queue.qsize() == 0 and hook.requests == []


# -------------------------------------------------------------------- leaks


class Sink:
    def error(self, msg, **kwargs):
        pass


def test_no_leak_through_the_sync_messenger(hook, assert_no_leak):
    m = make("sync", hook, logger=Sink())
    refused = closed_url()

    def once():
        m.send_message("leak check é", 0)
        m.send_message("refused", 1, refused)
        hook.clear()

    assert_no_leak(once, repeat=1000, warmup=100, slack=256)


def test_no_leak_through_the_queued_messenger(hook, assert_no_leak):
    loop = asyncio.new_event_loop()
    m = make("queued", hook, logger=Sink(), max_queue_size=4)
    m.g_chat_error_webhook = closed_url()

    async def burst():
        for i in range(10):
            m.send_message("leak check 😀", i % 5)
        await settle(m)

    try:
        # aiohttp's own caches settle only after about a thousand requests.
        run = lambda: (loop.run_until_complete(burst()), hook.clear())  # noqa: E731
        assert_no_leak(run, repeat=300, warmup=100, slack=512)
    finally:
        m.queue_task.cancel()
        loop.run_until_complete(asyncio.sleep(0))
        loop.close()
