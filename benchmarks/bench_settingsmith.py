"""load_from_dict on a realistic settings dictionary, against jsonschema.validate
of the same data and schema alone; and a component builder's build() against
the same steps written in plain Python.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_settingsmith.py
"""

import functools
import json
import pathlib
import types

import jsonschema
from harness import Case, run, repeat

from vesprand_python_configuration.cachesmith import RedisConfigurationBuilder
from vesprand_python_configuration.olapsmith import ClickHouseConfigurationBuilder
from vesprand_python_configuration.relsmith import SQLConfigurationBuilder
from vesprand_python_configuration.settingsmith import ConfigurationBuilder
from vesprand_python_configuration.streamsmith import KafkaConfigurationBuilder

SETTINGS = json.loads(
    (pathlib.Path(__file__).parent.parent / "examples" / "settings.json").read_text()
)
REQUIRED = ["sql", "kafka", "redis"]


def load():
    builder = ConfigurationBuilder()
    record = builder.get_configuration()
    builder.set_sql_builder(SQLConfigurationBuilder(record))
    builder.set_kafka_builder(KafkaConfigurationBuilder(record))
    builder.set_redis_builder(RedisConfigurationBuilder(record))
    builder.load_from_dict(SETTINGS, REQUIRED)


def schema_used_by_the_load():
    captured = {}
    original = jsonschema.validate

    def capture(instance, schema):
        captured["schema"] = schema
        return original(instance=instance, schema=schema)

    jsonschema.validate = capture
    try:
        load()
    finally:
        jsonschema.validate = original
    return captured["schema"]


SCHEMA = schema_used_by_the_load()


def validate_only():
    jsonschema.validate(instance=SETTINGS, schema=SCHEMA)


class PyConfigurationBuilder:
    def __init__(self):
        self._configuration = types.SimpleNamespace()

    def get_configuration(self):
        return self._configuration


# The component builders' steps as a service would write them in Python.
class PyRedisConfigurationBuilder:
    def __init__(self, config):
        self._config = config

    def build(self, data):
        self._config._redis_host = data.get("redis_host")


class PyClickHouseConfigurationBuilder:
    def __init__(self, config):
        self._config = config

    def build(self, data):
        self._config._clickhouse_host = data.get("clickhouse_host")
        self._config._clickhouse_port = data.get("clickhouse_port")
        self._config._clickhouse_username = data.get("clickhouse_username")
        self._config._clickhouse_password = data.get("clickhouse_password")


def cases(stack):
    loads = 200
    out = [
        Case(
            "settingsmith load_from_dict (3 builders) / jsonschema.validate",
            repeat(load, loads),
            repeat(validate_only, loads),
            ops=loads,
            warmup=2,  # fills the schema library's caches
        )
    ]
    calls = 200_000
    builder = ConfigurationBuilder()
    python_builder = PyConfigurationBuilder()
    out.append(
        Case(
            "ConfigurationBuilder.get_configuration / plain Python",
            repeat(builder.get_configuration, calls),
            repeat(python_builder.get_configuration, calls),
            ops=calls,
        )
    )
    builds = 100_000
    for native_class, python_class in [
        (RedisConfigurationBuilder, PyRedisConfigurationBuilder),
        (ClickHouseConfigurationBuilder, PyClickHouseConfigurationBuilder),
    ]:
        native = native_class(types.SimpleNamespace()).build
        python = python_class(types.SimpleNamespace()).build
        out.append(
            Case(
                f"{native_class.__name__}.build / plain Python",
                repeat(functools.partial(native, SETTINGS), builds),
                repeat(functools.partial(python, SETTINGS), builds),
                ops=builds,
            )
        )
    return out


if __name__ == "__main__":
    run(cases)
