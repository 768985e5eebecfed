"""Property-based fuzzing of every public callable of the package's extension
modules: module functions, class constructors and methods (on instances where
a class can be constructed, and with an arbitrary `self` too), called with
generated positional and keyword arguments: well-typed ones, wrong types,
subclasses of the built-in types, None, bools, huge and deeply nested values,
objects whose __eq__, __hash__, __str__, __bool__ or get raise, wrong counts
and unknown keywords. A call must return a result or raise a clean Python
exception; a coroutine result is run one step and closed.

The modules are discovered in the package directory, so a module added later
is fuzzed without a change here. The run is derandomized (the same calls on
every run) and its size is fixed: about CALLS calls in all (FUZZ_CALLS in the
environment, 12,000 by default), spread over the callables found."""

import asyncio
import functools
import gc
import importlib
import importlib.machinery
import inspect
import logging
import math
import os
import pathlib
import random
import re
import types
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vesprand_python_configuration

CALLS = int(os.environ.get("FUZZ_CALLS", 12_000))  # calls in all per run

# Callables never called here, matched against "module.qualname" (a method or
# constructor of a listed class is skipped with its class). Each would block,
# sleep, end the process or reach the network.
SKIP = {
    # Sending chat messages posts message cards to webhooks.
    r"\.send\w*$": "sends to a chat webhook",
    r"\.\w*post\w*$": "posts over HTTP",
    # The chat messengers are process-wide singletons that post to webhooks:
    # the first construction would also fix the instance for the other tests.
    r"^toolchest\.(GoogleChat\w*Messenger|setup_google_chat_messenger)\b": "chat messengers",
    r"^bootkit\.configure_google_chat$": "sets up a chat messenger",
    # These connect to a Redis server (the interface class and the base
    # class, whose connect() is abstract, do not).
    r"^cachelink\.(initialize_redis|RedisClientFactory|ProductionRedisClient)\b": "Redis",
    r"^cachelink\.DevelopmentRedisClient\b": "connects to a Redis server",
    # Sets up a Redis client, and ends the process (sys.exit) without one.
    r"^bootkit\.configure_redis$": "Redis client, sys.exit",
}


def skipped(name):
    return any(re.search(pattern, name) for pattern in SKIP)


# ------------------------------------------------------------- the callables


def extension_modules():
    folder = pathlib.Path(vesprand_python_configuration.__path__[0])
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    names = set()
    for path in folder.iterdir():
        suffix = next((s for s in suffixes if path.name.endswith(s)), None)
        if suffix and path.is_file():
            names.add(path.name[: -len(suffix)])
    return [importlib.import_module(f"vesprand_python_configuration.{name}") for name in sorted(names)]


MODULES = extension_modules()


def own(obj, module):
    return getattr(obj, "__module__", None) == module.__name__


def public_callables():
    """(name, callable, class or None) for each public callable defined by a
    module: a method is given as its class attribute (unbound, `self` first)."""
    found = []
    for module in MODULES:
        short = module.__name__.rpartition(".")[2]
        for name, obj in vars(module).items():
            if name.startswith("_") or not own(obj, module) or not callable(obj):
                continue
            qualified = f"{short}.{name}"
            if not isinstance(obj, type):
                found.append((qualified, obj, None))
                continue
            init = vars(obj).get("__init__")
            if init is not None and own(init, module):
                found.append((qualified, obj, None))
            for attr, member in vars(obj).items():
                function = getattr(member, "__func__", member)
                if attr.startswith("_") or not callable(function) or not own(function, module):
                    continue
                bound = isinstance(member, (classmethod, staticmethod))
                found.append((f"{qualified}.{attr}", getattr(obj, attr), None if bound else obj))
    return [entry for entry in found if not skipped(entry[0])]


CALLABLES = public_callables()


def parameters(function):
    try:
        return list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        return []


# --------------------------------------------------------- hostile arguments


class Boom(Exception):
    pass


class Hostile:
    """An object that fails whatever the code does with it: converting it to
    text, iterating it, setting attributes on it, reading the attributes a
    mapping or builder would have; and, as chosen by `what`, hashing it,
    testing its truth, comparing it or reading any attribute. Its hash is
    that of a key the code looks up (`like`), so lookups reach its __eq__."""

    def __init__(self, what, like="environ"):
        self.what, self.like = what, like

    def __repr__(self):
        return f"Hostile({self.what!r})"

    def __hash__(self):
        if self.what == "hash":
            raise Boom("hash")
        return hash(self.like)

    def __eq__(self, other):
        if self.what == "eq":
            raise Boom("eq")
        return self is other

    def __str__(self):
        raise Boom("str")

    def __format__(self, spec):
        raise Boom("format")

    def __bool__(self):
        if self.what == "bool":
            raise Boom("bool")
        return True

    def __getattr__(self, name):
        if self.what in ("get", "getattr") or name in ("get", "items", "keys", "build", "upper"):
            raise Boom(name)
        raise AttributeError(name)

    def __setattr__(self, name, value):
        if name in ("what", "like"):
            object.__setattr__(self, name, value)
        else:
            raise Boom("setattr")

    def __iter__(self):
        raise Boom("iter")

    def __len__(self):
        raise Boom("len")

    def __getitem__(self, key):
        raise Boom("getitem")


class Str(str):
    pass


class Int(int):
    pass


class Dict(dict):
    def get(self, *args):
        raise Boom("get")


class List(list):
    def __iter__(self):
        raise Boom("iter")


def nested(depth, make):
    value = None
    for _ in range(depth):
        value = make(value)
    return value


# Fixed values a generator would rarely reach. The generated arguments hold
# them as tokens, put in place just before the call (printing a deeply nested
# value would exhaust the recursion limit of the test framework's reports).
SPECIAL = [
    10**400,
    -(2**63),
    2**64,
    math.inf,
    math.nan,
    "x" * 1_000_000,
    "\udcff\x00",
    nested(5000, lambda inner: [inner]),
    nested(5000, lambda inner: {"properties": inner}),
    type,
    object(),
    print,
    *(Hostile(what, like) for what in ("eq", "hash", "bool", "get") for like in ("environ", "sql")),
]


class Special:
    def __init__(self, index):
        self.index = index

    def __repr__(self):
        return f"SPECIAL[{self.index}]"


def materialize(value):
    if isinstance(value, Special):
        return SPECIAL[value.index]
    if isinstance(value, list):  # List's own iteration raises
        return type(value)([materialize(item) for item in list.__iter__(value)])
    if isinstance(value, tuple):
        return tuple(materialize(item) for item in value)
    if isinstance(value, dict):
        return type(value)((key, materialize(item)) for key, item in dict.items(value))
    return value


# Settings files in the folder the calls run in; a generated path names one
# of them or no file at all.
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "settings.json"
FILES = {"settings.json": EXAMPLE.read_text(), "array.json": "[1, 2]", "broken.json": '{"a":'}


def harvest_strings():
    """Strings the modules know: names, keys of their tables, enum members."""
    found = {"", "production", "DEBUG", "info", "error", *FILES}
    found |= {"exc_info", "stack_info", "stacklevel", "extra"}  # logging keywords

    def walk(value, depth=0):
        if isinstance(value, str):
            found.add(value)
        elif isinstance(value, (list, tuple)) and depth < 3:
            for item in value:
                walk(item, depth + 1)
        elif isinstance(value, dict) and depth < 3:
            for key, item in value.items():
                walk(key, depth + 1)
                walk(item, depth + 1)

    for module in MODULES:
        for name, obj in vars(module).items():
            found.add(name)
            if isinstance(obj, type) and hasattr(obj, "__members__"):
                found.update(obj.__members__)
            elif not callable(obj) and not isinstance(obj, types.ModuleType):
                walk(obj)
    return sorted(found)


KNOWN = harvest_strings()
ENUMS = [
    obj
    for module in MODULES
    for obj in vars(module).values()
    if isinstance(obj, type) and own(obj, module) and hasattr(obj, "__members__")
]

# Plain values of every kind a parameter may meet.
PLAIN = [
    None, True, False, 0, 1, -1, 10, 40, 2**31, -(2**64), 10**30, 0.0, -2.5, 1e308,
    "", " ", "a", "é", "\x00", "%s %d", b"", b"\xff", (), [], {}, frozenset(), 3j,
    Str("environ"), Str(""), Int(0), Int(20), Dict(), Dict(environ="x"), List(), List(["sql"]),
]  # fmt: skip


class Pool:
    """Arguments drawn by index from values built once, from a fixed seed:
    drawing whole nested values through the test framework would cost the
    run most of its time, and an index shrinks as well as a value (the
    simplest values come first). Containers are copied at each call."""

    def __init__(self, seed):
        self.random = random.Random(seed)

    def leaf(self):
        r = self.random
        kind = r.randrange(6)
        if kind == 0:
            return r.choice(PLAIN)
        if kind == 1:
            return r.choice(KNOWN)
        if kind == 2:
            return Special(r.randrange(len(SPECIAL)))
        if kind == 3:
            return r.choice([r.randint(-3, 60), r.getrandbits(r.randrange(1, 200)) - 2**63])
        if kind == 4:
            return "".join(chr(r.choice([r.randrange(32, 127), r.randrange(0x10FFFF)]))
                           for _ in range(r.randrange(8)))  # fmt: skip
        return r.choice([Str("x"), Int(7), Str("sql"), Int(-1)])

    def value(self, depth=0):
        r = self.random
        kind = r.randrange(8) if depth < 3 else 0
        if kind <= 3:
            return self.leaf()
        size = r.randrange(4)
        if kind == 4:
            return [self.value(depth + 1) for _ in range(size)]
        if kind == 5:
            return self.mapping(depth + 1, size)
        if kind == 6:
            return tuple(self.value(depth + 1) for _ in range(size))
        return r.choice([List, Dict])()

    def text(self):
        leaf = self.leaf()
        return leaf if isinstance(leaf, str) and type(leaf) is str else self.random.choice(KNOWN)

    def names(self):
        """A list of mostly strings, as a list of component names is."""
        r = self.random
        return [self.text() if r.random() < 0.7 else self.value() for _ in range(r.randrange(5))]

    def mapping(self, depth=0, size=None):
        """A dict, sometimes holding a key whose hash is that of a key the
        code looks up and whose __eq__ raises."""
        r = self.random
        size = r.randrange(6) if size is None else size
        mapping = {self.text(): self.value(depth + 1) for _ in range(size)}
        like = r.choice(["environ", "sql", "redis_host", "properties", None, None, None])
        if like is not None and like not in mapping:
            mapping[Hostile("eq", like)] = self.value(depth + 1)
        return mapping


def pooled(build, size=400):
    return st.sampled_from([build() for _ in range(size)])


POOL = Pool(20240601)
anything = st.one_of(st.sampled_from(PLAIN), pooled(POOL.value, 2000))
texts = st.one_of(st.sampled_from(KNOWN), st.text(max_size=8), pooled(POOL.text))
ints = st.one_of(st.integers(-3, 60), st.integers())
mappings = pooled(POOL.mapping)
lists = pooled(POOL.names)


@functools.lru_cache(maxsize=None)
def typed(annotation):
    """Values of the type an annotation text names, so that bodies run."""
    text = annotation if isinstance(annotation, str) else ""
    if text.startswith("Optional["):
        return st.one_of(st.none(), typed(text[len("Optional[") : -1]))
    if text == "str":
        return texts
    if text == "int":
        return ints
    if text.startswith(("Dict", "dict")):
        return mappings
    if text.startswith(("List", "list")):
        return lists
    if text.startswith("Type[") and ENUMS:
        return st.sampled_from(ENUMS)
    return anything


rolls = st.integers(0, 19)
star_args = st.lists(anything, max_size=2)
star_kwargs = st.dictionaries(st.sampled_from(KNOWN), anything, max_size=2)
too_many = st.lists(anything, min_size=1, max_size=3)
unknown_keywords = st.dictionaries(texts, anything, min_size=1, max_size=2)


def calls(params, selves):
    """Positional and keyword arguments for one call: each parameter given a
    value of its type, of any type, or left out, by position or keyword;
    sometimes too many arguments, sometimes unknown keywords."""
    plan = [(p, typed(p.annotation)) for p in params]
    self_values = st.sampled_from(selves) if selves else anything

    @st.composite
    def strategy(draw):
        positional, keywords, by_keyword = [], {}, False
        for index, (param, values) in enumerate(plan):
            if param.kind is param.VAR_POSITIONAL:
                positional += [] if by_keyword else draw(star_args)
                continue
            if param.kind is param.VAR_KEYWORD:
                keywords.update(draw(star_kwargs))
                continue
            roll = draw(rolls)
            if roll == 0:  # left out
                by_keyword = True
                continue
            if index == 0 and selves is not None and roll < 16:
                value = draw(self_values)
            else:
                value = draw(anything if roll >= 16 else values)
            if by_keyword or roll % 3 == 0:
                keywords[param.name] = value
                by_keyword = True
            else:
                positional.append(value)
        if draw(rolls) < 2:
            positional += draw(too_many)
        if draw(rolls) < 2:
            keywords.update(draw(unknown_keywords))
        return positional, keywords

    return strategy()


# -------------------------------------------------------------- the fuzzing


def canonical(param):
    """A plain, well-typed argument for constructing an instance."""
    annotation = param.annotation if isinstance(param.annotation, str) else ""
    if annotation == "int":
        return logging.DEBUG
    if annotation in ("Any", "Optional[Any]"):
        return types.SimpleNamespace()
    return "fuzz"


def construct(cls):
    params = [p for p in parameters(cls) if p.default is p.empty and p.kind <= p.KEYWORD_ONLY]
    try:
        instance = cls(*[canonical(p) for p in params])
    except Exception:
        return None
    if isinstance(instance, logging.Logger):  # keep the fuzzed log calls quiet
        instance.addHandler(logging.NullHandler())
        instance.propagate = False
    return instance


def close_current_loop():
    """Closes the event loop a call set as current (AsyncLogger's constructor
    does so when no loop runs), with the worker tasks started on it, so that
    no pending task is left for the garbage collector to report at some
    later, arbitrary point."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            loop = asyncio.get_event_loop_policy().get_event_loop()
        except RuntimeError:  # none set (after set_event_loop(None))
            return
    tasks = asyncio.all_tasks(loop)
    for task in tasks:
        task.cancel()
    loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
    loop.close()
    asyncio.set_event_loop(None)


@pytest.fixture(scope="module")
def instances(tmp_path_factory):
    """One instance of each class that can be constructed, made while an event
    loop runs (a constructor that starts a worker task finds that loop); the
    calls run in a folder holding the settings FILES."""
    made = {}

    async def make():
        for cls in {c for _, c, _ in CALLABLES if isinstance(c, type)} | {
            owner for _, _, owner in CALLABLES if owner is not None
        }:
            made[cls] = construct(cls)

    asyncio.run(make())
    folder = tmp_path_factory.mktemp("fuzz")
    for name, text in FILES.items():
        (folder / name).write_text(text)
    with pytest.MonkeyPatch.context() as mp:
        mp.chdir(folder)
        yield {cls: obj for cls, obj in made.items() if obj is not None}


@pytest.fixture
def isolated(instances):
    """Keeps what the fuzzed calls change out of the other tests: the loggers
    they create, handlers added to the root logger, the logger class and the
    event loop a constructor set as current."""
    asyncio.set_event_loop(None)
    manager = logging.Logger.manager
    loggers, root = dict(manager.loggerDict), logging.getLogger()
    handlers, level, logger_class = list(root.handlers), root.level, logging.getLoggerClass()
    yield instances
    manager.loggerDict.clear()
    manager.loggerDict.update(loggers)
    root.handlers[:], root.level = handlers, level
    logging.setLoggerClass(logger_class)
    gc.collect()


COUNT = {"calls": 0, "callables": 0}


def clean(error):
    """A clean exception, but never the interpreter's report of a native
    function that returned an error without setting one, or vice versa."""
    assert not isinstance(error, SystemError), repr(error)


def call(function, positional, keywords):
    """One call; a coroutine it returns is run one step (a body that does not
    suspend runs to its end) and closed."""
    COUNT["calls"] += 1
    positional, keywords = materialize(positional), materialize(keywords)
    try:
        result = function(*positional, **keywords)
        if asyncio.iscoroutine(result):
            try:
                result.send(None)
            except StopIteration:
                pass
            finally:
                result.close()
    except Exception as error:
        clean(error)
    finally:
        close_current_loop()


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::RuntimeWarning")
@pytest.mark.parametrize("name, function, owner", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_fuzz(isolated, name, function, owner, capsys):
    params = parameters(function)
    selves = None
    if owner is not None:
        selves = [isolated[owner]] if owner in isolated else []
    COUNT["callables"] += 1

    @settings(
        max_examples=max(50, math.ceil(CALLS / len(CALLABLES))),
        derandomize=True,
        database=None,
        deadline=None,
        suppress_health_check=list(HealthCheck),
    )
    @given(calls(params, selves))
    def fuzz(arguments):
        call(function, *arguments)

    fuzz()
    capsys.readouterr()  # what the calls printed


def test_call_count(capsys):
    """The size of the run, and a report of it."""
    if COUNT["callables"] < len(CALLABLES):
        pytest.skip("only part of the fuzzing ran")
    with capsys.disabled():
        print(f" [fuzzing: {COUNT['calls']} calls of {len(CALLABLES)} callables] ", end="")
    assert COUNT["calls"] >= min(CALLS, 10_000)
