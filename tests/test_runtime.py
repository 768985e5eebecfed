"""Mechanisms of the native runtime layer, through the test-only module
_runtimeprobe and the package's own modules: declarations, classes, `with`,
generators, dict walks, recursion, exception state, builtins, process-wide
state and interpreter exit."""

import asyncio
import dataclasses
import gc
import inspect
import logging
import os
import subprocess
import sys
import textwrap
import warnings
import weakref

import pytest

from probes import load

import vesprand_python_configuration as package
from vesprand_python_configuration.settingsmith import (
    ConfigurationBuilder,
    Configuration,
    InvalidConfigurationError,
)
from vesprand_python_configuration.scribeset import AsyncLogger

probe = load("_runtimeprobe")
coro = load("_coroprobe")

BUILD = os.path.dirname(os.path.dirname(package.__file__))


def run_child(script, timeout=60):
    """Runs `script` in a fresh interpreter with the build on its path."""
    env = dict(os.environ, PYTHONPATH=BUILD)
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def test_body_whose_arity_differs_from_its_declaration_is_refused():
    with pytest.raises(SystemError, match="takes 1 parameters, the declaration names 2"):
        probe.declare_wrong_arity()


def test_native_types_say_where_they_come_from():
    assert repr(type(probe.walk)) == "<class 'vesprand_python_configuration.native_function'>"
    assert type(probe.count_up(1)).__module__ == "vesprand_python_configuration"


def test_one_runtime_serves_every_module():
    from vesprand_python_configuration import bootkit, toolchest

    assert type(Configuration.__init__) is type(toolchest.setup_google_chat_messenger)
    native, probed = bootkit.configure_db_auth({}, "db"), coro.relay(None)
    assert type(native) is type(probed)
    native.close(), probed.close()

    async def main():
        logger = AsyncLogger("one-runtime", logging.CRITICAL)
        worker = asyncio.ensure_future(logger._process_log_queue())  # waits on the queue
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            await coro.relay(worker.get_coro())
        worker.cancel()

    asyncio.run(main())


# ---------------------------------------------------------------- with


class Manager:
    def __init__(self, suppress=False, exit_raises=False):
        self.calls, self.suppress, self.exit_raises = [], suppress, exit_raises

    def __enter__(self):
        self.calls.append("enter")
        return "entered"

    def __exit__(self, *exc):
        self.calls.append(("exit", exc[0]))
        if self.exit_raises:
            raise KeyError("from exit")
        return self.suppress


@pytest.mark.parametrize(
    "fail, suppress, exit_raises, outcome, exit_type",
    [
        ("", False, False, "entered!", None),
        ("", False, True, KeyError, None),
        ("python", False, False, ValueError, ValueError),
        ("python", True, False, None, ValueError),
        ("python", False, True, KeyError, ValueError),
        ("cpp", False, False, SystemError, SystemError),
        ("cpp", True, False, SystemError, SystemError),  # a C++ failure is never suppressed
    ],
)
def test_with_calls_exit_exactly_once(fail, suppress, exit_raises, outcome, exit_type):
    manager = Manager(suppress, exit_raises)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            probe.run_with(manager, lambda v: v + "!", fail)
    else:
        assert probe.run_with(manager, lambda v: v + "!", fail) == outcome
    assert manager.calls == ["enter", ("exit", exit_type)]


def test_with_looks_the_protocol_up_on_the_type():
    manager = Manager()
    manager.__enter__ = manager.__exit__ = None  # instance attributes do not count
    assert probe.run_with(manager, lambda v: v) == "entered"

    class NoExit:
        def __enter__(self):
            return self

    with pytest.raises(TypeError, match="missed __exit__"):
        probe.run_with(NoExit(), lambda v: v)


# ---------------------------------------------------------------- classes


def test_native_metaclass_call_and_class_attributes():
    class Mine(metaclass=probe.CountingMeta):
        def __init__(self, value):
            self.value = value

    assert Mine(5).value == 5 and Mine.calls == 1
    assert isinstance(probe.Counted(), probe.Counted) and probe.Counted.__annotations__ == {"value": "int"}


def test_static_method_is_a_native_function_with_its_signature():
    wrapped = probe.Tools.__dict__["add"]
    assert isinstance(wrapped, staticmethod) and type(wrapped.__func__).__name__ == "native_function"
    assert str(inspect.signature(probe.Tools.add)) == "(a: 'int', b: 'int') -> 'int'"
    assert probe.Tools().add(2, 3) == 5


def test_class_built_without_binding_takes_a_decorator():
    assert not hasattr(probe, "Record")
    record = dataclasses.dataclass(probe.RecordUnbound)
    assert [f.name for f in dataclasses.fields(record)] == ["name", "size"]
    assert record("a", 1) == record("a", 1)


def test_super_starts_after_the_defining_class():
    class Other:
        def describe(self):
            return "other"

    class Pinned(Other, probe.Described):
        describe = probe.Described.describe

    assert probe.Described().describe() == "base+native"
    assert Pinned().describe() == "base+native"
    with pytest.raises(TypeError, match="must be an instance or subtype"):
        probe.Described.describe(object())


# ---------------------------------------------------------------- generators


def test_generator_objects():
    received = []
    g = probe.count_up(3, received)
    assert g.__qualname__ == "count_up" and inspect.isgeneratorfunction(probe.count_up)
    assert (next(g), g.send("a"), g.send("b")) == (0, 1, 2)
    with pytest.raises(StopIteration):
        g.send("c")
    with pytest.raises(StopIteration):
        next(g)
    assert received == ["a", "b", "c"] and list(probe.count_up(4)) == [0, 1, 2, 3]


def test_generator_reads_lazily():
    obj = type("Obj", (), {})()
    obj.a, obj.b = 1, 2
    it = probe.attributes(obj, ("a", "b"))
    assert next(it) == 1
    obj.b = 5
    assert next(it) == 5


@pytest.mark.parametrize(
    "make, kind",
    [(lambda: probe.count_up(2), "generator"), (lambda: coro.relay(None), "coroutine")],
)
def test_stop_iteration_thrown_into_a_frame_becomes_runtime_error(make, kind):
    frame = make()
    with pytest.raises(RuntimeError, match=f"{kind} raised StopIteration"):
        frame.throw(StopIteration)
    frame.close()


# ---------------------------------------------------------------- dict walks


class Probe:
    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        action, self.action = self.action, lambda: None
        action()
        return False

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda d: d.__setitem__(object(), 1), "changed size"),
        (lambda d: d.clear(), "changed size"),
    ],
)
def test_dict_changed_during_a_walk_raises(change, message):
    data = {"a": 1, "b": 2, "c": 3}
    with pytest.raises(RuntimeError, match=f"dictionary {message} during iteration"):
        probe.walk(data, Probe(lambda: change(data)))


def test_configuration_walk_refuses_a_growing_dict():
    data = {"environ": "dev", "log_enabled": "x", "log_level": "INFO", "is_async_logger": False}

    class Growing(str):
        def __eq__(self, other):
            data[object()] = 1
            return False

        __hash__ = str.__hash__

    data[Growing("k")] = 1
    with pytest.raises(RuntimeError, match="changed size"):
        Configuration().set_common_config(data, [])


# ---------------------------------------------------------------- recursion


def test_native_recursion_raises_recursion_error():
    def again(depth):
        return probe.recurse(again, depth)

    with pytest.raises(RecursionError):
        again(0)


def test_deep_chain_of_native_coroutines_raises_recursion_error():
    async def chain():
        awaitable = asyncio.sleep(0)
        for _ in range(100_000):
            awaitable = coro.relay(awaitable)
        return await awaitable

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the chain's inner ones never ran
        with pytest.raises(RecursionError):
            asyncio.run(chain())
        gc.collect()


# ---------------------------------------------------------------- exception state


def test_guard_inside_a_generator_keeps_the_frames_own_exception_state(tmp_path):
    def generator():
        yield
        with pytest.raises(InvalidConfigurationError):
            ConfigurationBuilder().load_from_file(str(tmp_path / "missing.json"))
        yield
        try:
            raise KeyError("unrelated")
        except KeyError as error:
            yield sys.exception(), error.__context__

    g = generator()
    next(g)
    try:
        raise ValueError("the caller's")
    except ValueError:
        next(g)  # the guard runs while the caller handles its own exception
    assert next(g)[1] is None  # resumed outside any handler: nothing leaked in


def test_globals_resolve_builtins_of_the_module_not_of_the_caller(tmp_path):
    path = tmp_path / "s.json"
    path.write_text('{"environ": "dev", "log_enabled": "x", "log_level": "INFO", "is_async_logger": false}')
    builder = ConfigurationBuilder()
    exec("builder.load_from_file(path)", {"__builtins__": {}, "builder": builder, "path": str(path)})
    assert builder.get_configuration()._environ == "dev"


# ---------------------------------------------------------------- process-wide state


def test_threads_importing_the_package_at_once_finish():
    result = run_child("""
        import threading
        names = ["settingsmith", "scribeset", "codebook", "toolchest", "olapsmith", "cachesmith"]
        barrier = threading.Barrier(len(names))
        def load(name):
            barrier.wait()
            __import__("vesprand_python_configuration." + name)
        threads = [threading.Thread(target=load, args=(n,)) for n in names]
        for t in threads: t.start()
        for t in threads: t.join()
        print("done")
    """, timeout=60)
    assert result.stdout.strip() == "done", result.stderr


EXIT_WITH_DAEMONS = """
    import asyncio, logging, threading, time
    from vesprand_python_configuration.codebook import EnumUtils, SentimentEnum
    from vesprand_python_configuration.scribeset import AsyncLogger

    def lookups():
        while True:
            EnumUtils.get_key(SentimentEnum, 0)
            try:
                EnumUtils.get_key(SentimentEnum, 99)
            except ValueError:
                pass

    async def logs():
        logger = AsyncLogger("exit-test", logging.CRITICAL)
        while True:
            logger.error("dropped by the threshold")
            await asyncio.sleep(0)

    threading.Thread(target=lookups, daemon=True).start()
    threading.Thread(target=lambda: asyncio.run(logs()), daemon=True).start()
    time.sleep(0.05)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer's runtime checks itself when a thread is ended "
                    "by the interpreter's exit, whatever that thread runs")
def test_interpreter_exits_cleanly_while_daemon_threads_run_native_code():
    env = dict(os.environ, PYTHONPATH=BUILD)
    runs = [subprocess.Popen([sys.executable, "-P", "-c", textwrap.dedent(EXIT_WITH_DAEMONS)],
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            for _ in range(20)]
    codes = [(run.wait(timeout=120), run.stderr.read()) for run in runs]
    for run in runs:
        run.stderr.close()
    assert [code for code, _ in codes] == [0] * 20, [err for _, err in codes if err][:1]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_logger_abandoned_with_its_loop_is_collected():
    queues = []

    async def make():
        logger = AsyncLogger("abandoned", logging.CRITICAL)
        queues.append(weakref.ref(logger.log_queue))
        await asyncio.sleep(0)

    for i in range(20):
        loop = asyncio.new_event_loop()
        loop.run_until_complete(make())
        if i % 2:
            loop.close()
        del loop
    loop = None
    asyncio.set_event_loop(None)
    gc.collect()
    assert [q for q in queues if q() is not None] == []
