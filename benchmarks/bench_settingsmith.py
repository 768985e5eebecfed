"""load_from_dict on a realistic settings dictionary, against jsonschema.validate
of the same data and schema alone, in one run.

    PYTHONPATH=build /usr/bin/python3 -P benchmarks/bench_settingsmith.py
"""

import json
import pathlib
import timeit

import jsonschema

from vesprand_python_configuration.cachesmith import RedisConfigurationBuilder
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


def best(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    for _ in range(300):  # fill the schema library's caches
        load()
        validate_only()
    ours = best(load, 300)
    floor = best(validate_only, 300)
    print(f"load_from_dict:      {ours * 1e6:9.1f} us per load")
    print(f"jsonschema.validate: {floor * 1e6:9.1f} us per validation")
    print(f"ratio {ours / floor:.3f}  (our own share {100 * (ours - floor) / ours:.1f}% of a load)")


if __name__ == "__main__":
    main()
