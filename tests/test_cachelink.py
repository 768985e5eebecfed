"""Redis clients, their factory and the category counters, against local
servers; a fake library client only where the exact call shapes matter."""

import asyncio
import collections
import copy
import itertools
import os
import re
import subprocess
import sys
import threading
import time
from types import SimpleNamespace

import pytest
import redis
import redis.cluster
import redis.crc
import redis_servers
from redis_fixtures import failover_cluster, redis_cluster, redis_server  # noqa: F401
from redis_fixtures import stoppable_redis_server  # noqa: F401

from vesprand_python_configuration import cachelink
from vesprand_python_configuration.cachelink import (
    BaseRedisClient,
    DevelopmentRedisClient,
    IRedisClient,
    ProductionRedisClient,
    RedisClientFactory,
    initialize_redis,
)
from vesprand_python_configuration.scribeset import AsyncLogger

_unique = itertools.count()
# Category 7 with sub-categories 8 and 9, and 7 again under 8.
BATCH = [{"id": 7, "subCategories": [{"id": 8, "subSubCategories": [{"id": 7}]}, {"id": 9}]}]


def unique():
    return f"cachelink-test-{next(_unique)}"


def counts_key(op):
    return f"Mod:RetagOperations:{op}:category_counts"


class Log:
    def __init__(self):
        self.infos, self.errors = [], []

    def info(self, message):
        self.infos.append(message)

    def error(self, message):
        self.errors.append(message)


class Fake:
    """A library client, its pipeline and its constructor in one: records
    every call as (name, args, kwargs) and raises ``fail`` when set."""

    def __init__(self, fail=None, result="result"):
        self.calls, self.fail, self.result = [], fail, result

    def __call__(self, *args, **kwargs):
        return self.__getattr__("new")(*args, **kwargs)

    def __getattr__(self, name):
        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if self.fail is not None:
                raise self.fail
            return self if name in ("new", "pipeline") else self.result

        return method


@pytest.fixture
def fake(monkeypatch):
    """`redis.Redis.from_url` and `RedisClusterClient` replaced on the module."""
    fake = Fake()
    monkeypatch.setattr(cachelink, "redis", SimpleNamespace(Redis=fake))
    monkeypatch.setattr(cachelink, "RedisClusterClient", fake)
    return fake


def over(client, logger=None):
    """A wrapper whose library client is replaced after construction."""
    wrapper = DevelopmentRedisClient("127.0.0.1:1", Log() if logger is None else logger)
    wrapper.client = client
    return wrapper


# ------------------------------------------------------------ module shape


def test_module_shape():
    assert cachelink.RedisClusterClient is redis.cluster.RedisCluster
    classes = [IRedisClient, BaseRedisClient, ProductionRedisClient, DevelopmentRedisClient]
    assert [c.__bases__ for c in classes + [RedisClientFactory]] == [
        (object,), (IRedisClient,), (BaseRedisClient,), (BaseRedisClient,), (object,)]  # fmt: skip
    assert isinstance(vars(RedisClientFactory)["create"], staticmethod)
    assert RedisClientFactory().create("a:1", "dev").url == "a:1"


@pytest.mark.parametrize(
    "call",
    [
        lambda: IRedisClient().get("k"),
        lambda: IRedisClient().set("k", "v"),
        lambda: IRedisClient().delete("k"),
        lambda: IRedisClient().increment_category_counts("op", []),
        lambda: BaseRedisClient("node-a:6379", Log()),
    ],
)
def test_interface_raises_bare_not_implemented(call):
    with pytest.raises(NotImplementedError) as raised:
        call()
    assert type(raised.value) is NotImplementedError and raised.value.args == ()


# ----------------------------------------------------------- argument checks


@pytest.mark.parametrize(
    "call, wrong",
    [
        (lambda w: RedisClientFactory.create("a", "dev", True), ("client_type", "int", "bool")),
        (lambda w: initialize_redis("a:1", None), ("environ", "str", "NoneType")),
        (lambda w: initialize_redis("a:1", "production", w.logger, True, 1), None),
        (lambda w: w.get(type("StrSub", (str,), {})("k")), ("key", "str", "StrSub")),
        (lambda w: w.set("k", 5), ("value", "str", "int")),
        (lambda w: w.delete(), None),
        (lambda w: w.increment_category_counts("op", ({},)), ("batch_data", "list", "tuple")),
    ],
)  # fmt: skip
def test_wrong_arguments_refused_before_any_call(fake, call, wrong):
    wrapper = over(fake)
    fake.calls.clear()
    message = "Argument '%s' has incorrect type (expected %s, got %s)" % wrong if wrong else ""
    with pytest.raises(TypeError, match=re.escape(message)):
        call(wrapper)
    assert fake.calls == [] and wrapper.logger.errors == wrapper.logger.infos == []


# ----------------------------------------------- factory and library call shapes


@pytest.mark.parametrize(
    "environ, client_type, expected, library_call",
    [
        ("PRODUCTION", 2, ProductionRedisClient, "new"),
        ("prod", 2, DevelopmentRedisClient, "from_url"),
        ("production", 7, ProductionRedisClient, "new"),
        ("production", 1, Fake, "new"),  # the library's cluster client itself
        ("Dev", 1, str, "from_url"),  # whatever from_url returned
    ],
)
def test_factory_chooses(fake, environ, client_type, expected, library_call):
    log = Log()
    made = RedisClientFactory.create("node-a:7000", environ, client_type, log, False)
    assert type(made) is expected and fake.calls[0][0] == library_call
    if isinstance(made, BaseRedisClient):
        assert (made.url, made.logger, made.decode_responses) == ("node-a:7000", log, False)
        assert made.client == (fake if library_call == "new" else fake.result)


def new(host, port, decode=True):
    return ("new", (), {"host": host, "port": port, "decode_responses": decode})


def from_url(url, decode=True, keyword=False):
    if keyword:
        return ("from_url", (), {"url": url, "decode_responses": decode})
    return ("from_url", (url,), {"decode_responses": decode})


@pytest.mark.parametrize(
    "make, library_call",
    [
        (lambda log: DevelopmentRedisClient("node-a:6379", log), from_url("redis://node-a:6379")),
        (lambda log: DevelopmentRedisClient("redis://node-a:6379", log, 0),
         from_url("redis://node-a:6379", 0)),
        (lambda log: initialize_redis("node-a:6379", "dev", log, 0),
         from_url("redis://node-a:6379", 0, keyword=True)),
        (lambda log: initialize_redis("redis://node-a:6379", "Dev"),
         from_url("redis://redis://node-a:6379", keyword=True)),
        (lambda log: initialize_redis("node-a:abc", "production", log), new("node-a", 6379)),
        (lambda log: ProductionRedisClient("node-a:7000", log, 0), new("node-a", 7000, 0)),
        (lambda log: ProductionRedisClient("node-a", log), new("node-a", 6379)),
        (lambda log: ProductionRedisClient("node-a:7000:x", log), new("node-a", 7000)),
        (lambda log: ProductionRedisClient("redis://node-a:7000", log), new("redis", 6379)),
    ],
)  # fmt: skip
def test_library_call_shapes(fake, make, library_call):
    make(Log())
    assert fake.calls[0] == library_call


@pytest.mark.parametrize("url", ["node-a:7000", "node-a", "redis://node-a:7000", None])
def test_initialize_redis_in_production(fake, url):
    fake.result, log = ["node-1", "node-2"], Log()  # what get_nodes answers
    if url is None:  # no logger to report to
        pytest.raises(AttributeError, initialize_redis, "node-a:7000", "production")
    elif url != "node-a:7000":  # not exactly one ":"
        pytest.raises(ValueError, initialize_redis, url, "production", log)
        assert log.infos == ["Url received for redis prod is " + url] and fake.calls == []
    else:
        assert initialize_redis(url, "Production", log) is fake
        assert [name for name, *_ in fake.calls] == ["new", "get_nodes"]
        assert log.infos == [
            "Url received for redis prod is node-a:7000", "After splitting node-a",
            "['node-1', 'node-2']",  # as text: a queued logger refuses anything else
            "Connection to redis is successful",
        ]  # fmt: skip


# ------------------------------------------------------------ wrapper methods


@pytest.mark.parametrize(
    "call, library_call, line",
    [
        (lambda w: w.get("k"), ("get", ("k",), {}), "Error getting key 'k': boom"),
        (lambda w: w.set("k", "v"), ("set", ("k", "v"), {"ex": 604800}),
         "Error setting key 'k': boom"),
        (lambda w: w.set("k", "v", -5), ("set", ("k", "v"), {"ex": -5}), None),
        (lambda w: setattr(w, "DEFAULT_TTL", 9) or w.set("k", "v", ex=0),
         ("set", ("k", "v"), {"ex": 9}), None),
        (lambda w: w.delete("k"), ("delete", ("k",), {}), "Error deleting key 'k': boom"),
    ],
)  # fmt: skip
def test_methods_pass_through_or_log(call, library_call, line):
    client = Fake()
    assert call(over(client)) == "result" and client.calls == [library_call]
    if line:
        wrapper = over(Fake(fail=RuntimeError("boom")))
        assert call(wrapper) in (None, False) and wrapper.logger.errors == [line]
        wrapper.client.fail = KeyboardInterrupt()  # not an Exception: not caught
        pytest.raises(KeyboardInterrupt, call, wrapper)
        pytest.raises(AttributeError, call, over(Fake(fail=RuntimeError()), logger=False))


def test_connect_failure_of_the_real_library(redis_server):
    log, refused = Log(), f"127.0.0.1:{redis_servers.free_port()}"
    with pytest.raises(Exception) as raised:
        ProductionRedisClient(refused, log)
    with pytest.raises(ValueError) as bad_port:
        DevelopmentRedisClient("node-a:7000:x", log)
    assert log.errors == [
        f"Error connecting to Production Redis at '{refused}': {raised.value}",
        f"Error connecting to Development Redis at 'node-a:7000:x': {bad_port.value}",
    ]
    with pytest.raises(Exception, match="Cluster mode is not enabled"):
        ProductionRedisClient(redis_server.address, log)


# ------------------------------------------------------- the counter pipeline


def queued(*fields):
    expire = ("expire", (counts_key("op"), 10800), {})
    hincrby = [("hincrby", (counts_key("op"), f, 1), {}) for f in fields]
    trailing = [expire] if fields else []
    return [("pipeline", (), {}), expire, *hincrby, *trailing, ("execute", (), {})]


class Unprintable:
    __str__ = None


@pytest.mark.parametrize(
    "batch, calls",
    [
        ([], queued()),
        (BATCH, queued("7", "8", "7", "9")),
        ([{}, {"id": None, "subCategories": ({"name": "x"},)}], queued("None", "None", "None")),
        ([{"id": "a", "subCategories": iter([{"id": 1.5, "subSubCategories": ({"id": True},)}])},
          collections.UserDict(id=42)], queued("a", "1.5", "True", "42")),
        ([{"id": 1, "subCategories": None}], None),
        ([{"id": 1, "subCategories": [{"id": 2, "subSubCategories": 3}]}], None),
        ([{"id": 1}, "not a record"], None),
        ([{"id": 1, "subCategories": [{"id": Unprintable()}]}], None),
    ],
)  # fmt: skip
def test_counter_pipeline(batch, calls):
    wrapper = over(Fake())
    assert wrapper.increment_category_counts("op", batch) is None
    if calls:
        assert wrapper.client.calls == calls and wrapper.logger.errors == []
    else:  # the walk failed: one line, nothing sent
        assert "execute" not in [name for name, *_ in wrapper.client.calls]
        [line] = wrapper.logger.errors
        assert line.startswith("Error incrementing category counts for operation 'op': ")


# -------------------------------------------------------- a standalone server


@pytest.mark.parametrize(
    "make, value",
    [
        (lambda s, log: DevelopmentRedisClient(s.address, log), "v"),
        (lambda s, log: DevelopmentRedisClient(s.url, log, False), b"v"),
        (lambda s, log: RedisClientFactory.create(s.address, "dev", 1, log), "v"),
    ],
)
def test_round_trip(redis_server, make, value):
    log, key = Log(), unique()
    client = make(redis_server, log)
    assert client.set(key, "v") is True and client.get(key) == value
    assert client.delete(key) == 1 and client.get(key) is None and client.delete(key) == 0
    assert log.errors == []


@pytest.mark.parametrize("args, ttl", [((), 604800), ((60,), 60), ((-5,), None)])
def test_expiry_as_the_server_reports(redis_server, args, ttl):
    log, key = Log(), unique()
    stored = DevelopmentRedisClient(redis_server.address, log).set(key, "v", *args)
    if ttl is None:  # refused by the server: logged, not raised
        assert stored is False
        assert log.errors == [f"Error setting key '{key}': invalid expire time in 'set' command"]
    else:
        assert stored is True and ttl - 5 <= redis_server.command("TTL", key) <= ttl


def test_counters_on_the_server(redis_server):
    wrapper = DevelopmentRedisClient(redis_server.address, Log())
    op, empty, big = unique(), unique(), unique()
    wrapper.increment_category_counts(op, BATCH)
    assert redis_server.hgetall(counts_key(op)) == {"7": "2", "8": "1", "9": "1"}
    assert 10790 <= redis_server.command("TTL", counts_key(op)) <= 10800  # from its first batch
    threads = [threading.Thread(target=lambda: [wrapper.increment_category_counts(op, BATCH)
                                                for _ in range(50)]) for _ in range(8)]  # fmt: skip
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert redis_server.hgetall(counts_key(op)) == {"7": "802", "8": "401", "9": "401"}
    wrapper.increment_category_counts(empty, [])
    assert redis_server.command("EXISTS", counts_key(empty)) == 0
    wrapper.increment_category_counts(big, [{"id": i % 1000} for i in range(100_000)])
    assert set(redis_server.hgetall(counts_key(big)).values()) == {"100"}
    assert redis_server.command("HLEN", counts_key(big)) == 1000 and wrapper.logger.errors == []
    redis_server.command("SET", counts_key(empty), "a string")  # HINCRBY fails on the server
    wrapper.increment_category_counts(empty, BATCH)
    [line] = wrapper.logger.errors
    assert line.startswith(f"Error incrementing category counts for operation '{empty}': ")
    assert "WRONGTYPE" in line


def test_server_stopped_then_restarted(stoppable_redis_server):
    server, log = stoppable_redis_server, Log()
    wrapper = DevelopmentRedisClient(server.address, log)
    assert wrapper.set("k", "v")
    server.stop()
    results = [wrapper.get("k"), wrapper.set("k", "v"), wrapper.delete("k"),
               wrapper.increment_category_counts("op", BATCH)]  # fmt: skip
    assert results == [None, False, False, None]
    assert [line.split(":")[0] for line in log.errors] == [
        "Error getting key 'k'", "Error setting key 'k'", "Error deleting key 'k'",
        "Error incrementing category counts for operation 'op'",
    ]  # fmt: skip
    server.start()
    again = DevelopmentRedisClient(server.address, Log())
    assert again.set("k", "w") and again.get("k") == "w"


class Counter:
    errors = 0

    def error(self, message):
        self.errors += 1


@pytest.mark.parametrize("running", [True, False], ids=["running", "stopped"])
@pytest.mark.parametrize(
    "call",
    [
        lambda w: (w.get("k"), w.set("k", "v"), w.delete("k")),
        lambda w: w.increment_category_counts("op", BATCH),
        lambda w: w.increment_category_counts("op", [{"subCategories": None}]),
        lambda w: pytest.raises(TypeError, w.set, "k", 5),
    ],
    ids=["get-set-delete", "counters", "bad-batch", "refused-argument"],
)
def test_no_leak(stoppable_redis_server, assert_no_leak, running, call):
    wrapper = DevelopmentRedisClient(stoppable_redis_server.address, Counter())
    if not running:
        stoppable_redis_server.stop()
    assert_no_leak(lambda: call(wrapper))


# ------------------------------------------------------------------- a cluster


def test_production_client_on_the_cluster(redis_cluster):
    wrapper = ProductionRedisClient(redis_cluster.address, Log())
    for key in redis_cluster.names_per_master():
        assert wrapper.set(key, "v") is True and wrapper.get(key) == "v"
        assert wrapper.delete(key) == 1 and wrapper.get(key) is None
    for op in redis_cluster.names_per_master(counts_key):
        wrapper.increment_category_counts(op, BATCH)
        node = redis_cluster.master_of_slot(redis_cluster.keyslot(counts_key(op)))
        assert node.hgetall(counts_key(op)) == {"7": "2", "8": "1", "9": "1"}
        assert 10790 <= node.command("TTL", counts_key(op)) <= 10800
    assert wrapper.logger.errors == [] and copy.deepcopy(wrapper.client) is wrapper.client


def test_production_start_up_with_the_queued_logger(redis_cluster, capsys):
    async def start():
        logger = AsyncLogger(unique(), 20)
        client = RedisClientFactory.create(redis_cluster.address, "production", 1, logger)
        for _ in range(10):
            await asyncio.sleep(0)
        await logger.log_queue.join()
        return client

    client, key = asyncio.run(start()), unique()
    logged = re.findall(r"INFO - [^-]* - (.*)", capsys.readouterr().err)
    assert logged[0] == f"Url received for redis prod is {redis_cluster.address}"
    assert all(str(m.port) in logged[2] for m in redis_cluster.masters)
    assert logged[3] == "Connection to redis is successful"
    assert type(client) is redis.cluster.RedisCluster and client.set(key, "v") and client.get(key)
    assert copy.deepcopy(client) is client  # a rebuild of its slot table copies it


@pytest.mark.parametrize("rebuild_error", [None, redis.cluster.RedisClusterException("no node")])
@pytest.mark.parametrize(
    "error, rebuilt",
    [
        (redis.ConnectionError("Connection refused"), True),
        (redis.TimeoutError("Timeout reading from socket"), True),
        (redis.ResponseError("WRONGTYPE"), False),
        (ConnectionRefusedError("not the library's"), False),
    ],
)
def test_counters_rebuild_the_slot_table_after_a_lost_connection(
    redis_cluster, error, rebuilt, rebuild_error
):
    wrapper, rebuilds = ProductionRedisClient(redis_cluster.address, Log()), Fake(rebuild_error)
    wrapper.client.pipeline = Fake(fail=error).pipeline
    wrapper.client.nodes_manager.initialize = rebuilds.initialize
    assert wrapper.increment_category_counts("op", BATCH) is None
    [line] = wrapper.logger.errors
    assert line == f"Error incrementing category counts for operation 'op': {error}"
    assert rebuilds.calls == ([("initialize", (), {})] if rebuilt else [])


# Run with the library claiming another version: prints whether a cluster
# client is answered a deep copy with itself, then "rebuilt" when a lost
# connection of the counters' pipeline rebuilds the slot table.
VERSION_PROBE = """
import sys, types, redis
redis.__version__ = sys.argv[2]
from vesprand_python_configuration.cachelink import ProductionRedisClient
wrapper = ProductionRedisClient(sys.argv[1], types.SimpleNamespace(error=id))
print("__deepcopy__" in vars(wrapper.client))
def refused():
    raise redis.ConnectionError("refused")
wrapper.client.pipeline, wrapper.client.nodes_manager.initialize = refused, lambda: print("rebuilt")
wrapper.increment_category_counts("op", [])
"""


@pytest.mark.parametrize(
    "version, fragile", [("4.3.4", True), ("3.5.3", True), ("4.4.0", False), ("4.10.1", False)]
)
def test_only_releases_before_4_4_are_helped(redis_cluster, version, fragile):
    result = subprocess.run(
        [sys.executable, "-P", "-c", VERSION_PROBE, redis_cluster.address, version],
        capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )  # fmt: skip
    assert result.stdout.split() == (["True", "rebuilt"] if fragile else ["False"]), result.stderr


def test_a_silent_node_holds_the_calls_it_serves(redis_cluster):
    """A node that accepts connections but does not answer holds every call
    routed to it until it answers again: the library sets no socket timeout."""
    wrapper = ProductionRedisClient(redis_cluster.address, Log())
    silent_key, other_key = redis_cluster.names_per_master()[:2]
    assert wrapper.set(silent_key, "v")
    redis_cluster.masters[0].pause()
    # Resumed by a timer: this thread is held by its own calls meanwhile.
    threading.Timer(1.5, redis_cluster.masters[0].resume).start()
    start = time.monotonic()
    assert wrapper.set(other_key, "w") and time.monotonic() - start < 1
    assert wrapper.get(silent_key) == "v" and time.monotonic() - start > 1
    assert wrapper.logger.errors == []


# -------------------------------------------------------------------- failover

@pytest.fixture(scope="module")
def failover_run():
    """Kills the master serving the last slot in the middle of a run of
    get/set/counter calls, until its replica has taken over."""
    with redis_servers.cluster(replicas=1) as cluster:
        keys, survivors = cluster.names_per_master(), cluster.names_per_master()
        ops = cluster.names_per_master(counts_key)
        wrapper = ProductionRedisClient(cluster.address, Log())
        counters = ProductionRedisClient(cluster.address, Log())  # pipelines only
        assert all(wrapper.set(key, "before") for key in keys + survivors)
        for op in ops:
            counters.increment_category_counts(op, BATCH)
        victim, calls, deadline = cluster.master_of_slot(16383), [], time.monotonic() + 60
        cluster.kill(victim)
        while time.monotonic() < deadline:
            settled = cluster.healthy()
            for key, op in zip(keys, ops):
                for name, call in [
                    ("get", lambda: wrapper.get(key)),
                    ("set", lambda: wrapper.set(key, "during")),
                    ("counters", lambda: counters.increment_category_counts(op, BATCH)),
                ]:
                    start = time.monotonic()
                    try:
                        result = call()
                    except Exception as error:  # recorded: the test fails on it
                        result = error
                    calls.append((name, result, time.monotonic() - start))
            if settled:
                break
        cluster.wait_for_takeover(victim)
        yield SimpleNamespace(cluster=cluster, victim=victim, keys=keys, survivors=survivors,
                              ops=ops, wrapper=wrapper, counters=counters, calls=calls)  # fmt: skip


def test_failover_answers_neutral_values_meanwhile(failover_run):
    run = failover_run
    assert not [c for c in run.calls if isinstance(c[1], BaseException)]
    assert max(seconds for *_, seconds in run.calls) < 20
    failed = [n for n, result, _ in run.calls if result in (None, False) and n != "counters"]
    lines = sorted(line.split(" key")[0] for line in run.wrapper.logger.errors)
    assert lines == sorted({"get": "Error getting", "set": "Error setting"}[n] for n in failed)
    assert len(run.counters.logger.errors) <= sum(name == "counters" for name, *_ in run.calls)


def test_failover_same_wrapper_serves_every_slot_after(failover_run):
    run, errors_before = failover_run, len(failover_run.wrapper.logger.errors)
    for key in run.keys:
        assert run.wrapper.set(key, "after") is True and run.wrapper.get(key) == "after"
    moved = run.cluster.masters.index(run.victim)
    assert [run.wrapper.get(k) for i, k in enumerate(run.survivors) if i != moved] == ["before"] * 2
    assert len(run.wrapper.logger.errors) == errors_before


def test_failover_counters_reach_every_slot_after(failover_run):
    run, errors_before = failover_run, len(failover_run.counters.logger.errors)
    for op in run.ops:
        run.counters.increment_category_counts(op, [{"id": "after"}])
        node = run.cluster.master_of_slot(run.cluster.keyslot(counts_key(op)))
        assert node.hgetall(counts_key(op)).get("after") == "1"
    assert len(run.counters.logger.errors) == errors_before


def names_by_slot(to_key=str):
    """Fresh names, one for each of the 16384 slots in slot order, such that
    the key ``to_key(name)`` lands on that slot."""
    names = {}
    while len(names) < 16384:
        name = unique()
        names.setdefault(redis.crc.key_slot(to_key(name).encode()), name)
    return [names[slot] for slot in range(16384)]


def test_repeated_failovers_of_the_slot_zero_master(failover_cluster):
    """The master serving slot 0 is the first node that a rebuild of the slot
    table asks. It is killed, comes back as its successor's replica, and its
    successor is killed in turn: each time the same wrapper serves every slot
    again, with every write it confirmed, and counts on the moved slots."""
    cluster, names, ops = failover_cluster, names_by_slot(), names_by_slot(counts_key)
    wrapper = ProductionRedisClient(cluster.address, Log())
    assert all(wrapper.set(name, "before") for name in names)
    confirmed = dict.fromkeys(names, "before")
    for turn in range(2):
        victim, during, after = cluster.master_of_slot(0), ops[2 * turn], ops[2 * turn + 1]
        cluster.wait_for_replication()
        cluster.kill(victim)
        deadline = time.monotonic() + 60
        while not cluster.healthy() and time.monotonic() < deadline:  # the slot moves meanwhile
            if wrapper.set(names[0], f"during {turn}"):
                confirmed[names[0]] = f"during {turn}"
            wrapper.get(names[0]), wrapper.increment_category_counts(during, BATCH)
        cluster.wait_for_takeover(victim)
        errors_before = len(wrapper.logger.errors)
        assert next((n for n, value in confirmed.items() if wrapper.get(n) != value), None) is None
        wrapper.increment_category_counts(after, BATCH)
        counted = cluster.master_of_slot(0).hgetall(counts_key(after))
        assert counted == {"7": "2", "8": "1", "9": "1"}
        assert len(wrapper.logger.errors) == errors_before
        cluster.rejoin(victim)
