"""The Redis wrapper's hot paths against a local server, each against the same
work done with the redis library directly: increment_category_counts on a
batch of 10,000 identifiers against the same pipeline written with the
library (its floor), the wrapped get/set against the library client's, and a
get from a server that is down against the same failure handled in Python.

Run with the built package on the path:
    PYTHONPATH=<build dir> python3 -P benchmarks/bench_cachelink.py
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]  # the harness; the local servers

import harness  # noqa: E402
import redis  # noqa: E402
import redis_servers  # noqa: E402

from vesprand_python_configuration.cachelink import DevelopmentRedisClient  # noqa: E402

CALLS = 2000  # get or set calls in one round

# 1,000 categories with 3 sub-categories of 2 sub-sub-categories each: 10,000
# identifiers, 1,000 distinct fields.
BATCH = [
    {
        "id": c,
        "subCategories": [
            {"id": f"{c}.{s}", "subSubCategories": [{"id": f"{c}.{s}.{t}"} for t in range(2)]}
            for s in range(3)
        ],
    }
    for c in range(1000)
]


class Refuse:
    """A logger that fails the run: a benchmark that logs measures failures."""

    def error(self, message):
        raise AssertionError(message)


def counts_with_the_library(client, operation_id, batch_data):
    key = "Mod:RetagOperations:" + operation_id + ":category_counts"
    pipe = client.pipeline()
    pipe.expire(key, 10800)
    for category in batch_data:
        pipe.hincrby(key, str(category.get("id")), 1)
        for sub in category.get("subCategories", []):
            pipe.hincrby(key, str(sub.get("id")), 1)
            for sub_sub in sub.get("subSubCategories", []):
                pipe.hincrby(key, str(sub_sub.get("id")), 1)
    pipe.expire(key, 10800)
    pipe.execute()


class Count:
    """A logger that counts the failures it is told of."""

    def __init__(self):
        self.errors = 0

    def error(self, message):
        self.errors += 1


def get_logging_failures(client, logger, key):
    """The wrapper's get written in Python."""
    try:
        return client.get(key)
    except Exception as error:
        logger.error("Error getting key '" + key + "': " + str(error))
        return None


def repeat(call, *args):
    def run():
        for _ in range(CALLS):
            call(*args)

    return run


def cases(stack):
    server = stack.enter_context(redis_servers.single_server())
    wrapper = DevelopmentRedisClient(server.address, Refuse())
    client = redis.Redis.from_url(server.url, decode_responses=True)
    client.set("bench-key", "value")
    # A server that is down: every call fails, is logged and answers None.
    down = stack.enter_context(redis_servers.single_server())
    failing = DevelopmentRedisClient(down.address, Count())
    failing_client = redis.Redis.from_url(down.url, decode_responses=True)
    down.stop()
    return [
        harness.Case(
            "get from a server that is down (the failure logged)",
            repeat(failing.get, "bench-key"),
            repeat(get_logging_failures, failing_client, Count(), "bench-key"),
            ops=CALLS,
        ),
        harness.Case(
            "increment_category_counts, 10,000 ids",
            native=lambda: wrapper.increment_category_counts("bench", BATCH),
            floor=lambda: counts_with_the_library(client, "bench-floor", BATCH),
        ),
        harness.Case(
            "get", repeat(wrapper.get, "bench-key"), repeat(client.get, "bench-key"), ops=CALLS
        ),
        harness.Case(
            "set (default expiry)",
            repeat(wrapper.set, "bench-key", "value"),
            repeat(lambda k, v: client.set(k, v, ex=604800), "bench-key", "value"),
            ops=CALLS,
        ),
    ]


if __name__ == "__main__":
    harness.run(cases)
