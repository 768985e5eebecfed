import importlib
import inspect

import pytest

from vesprand_python_configuration.settingsmith import ConfigurationBuilder

COMPONENTS = [
    ("olapsmith", "ClickHouseConfigurationBuilder", "InvalidClickHouseConfigurationError",
     "set_clickhouse_builder",
     ["clickhouse_host", "clickhouse_port", "clickhouse_username", "clickhouse_password"]),
    ("relsmith", "SQLConfigurationBuilder", "InvalidSQLConfigurationError", "set_sql_builder",
     ["sql_user_name", "sql_server_ip", "sql_pass_word", "connection_string"]),
    ("streamsmith", "KafkaConfigurationBuilder", "InvalidKafkaConfigurationError", "set_kafka_builder",
     ["broker", "push_topic", "read_topic", "dead_letter_topic_name"]),
    ("searchsmith", "ElasticSearchConfigurationBuilder", "InvalidElasticConfigurationError",
     "set_elastic_builder", ["elastic_host", "elastic_username", "elastic_password"]),
    ("cloudsmith", "AWSConfigurationBuilder", "InvalidAWSConfigurationError", "set_aws_builder",
     ["aws_access_key", "aws_secret_key"]),
    ("cachesmith", "RedisConfigurationBuilder", "InvalidRedisConfigurationError", "set_redis_builder",
     ["redis_host"]),
]

ids = [c[0] for c in COMPONENTS]


class Plain:
    pass


class Writes(dict):
    """A record that logs attribute writes in order."""

    def __setattr__(self, name, value):
        self.setdefault("order", []).append(name)
        object.__setattr__(self, name, value)


def load(module_name):
    return importlib.import_module("vesprand_python_configuration." + module_name)


@pytest.mark.parametrize("module_name, builder_name, error_name, setter, keys", COMPONENTS, ids=ids)
def test_module_shape(module_name, builder_name, error_name, setter, keys):
    module = load(module_name)
    qualified = "vesprand_python_configuration." + module_name
    assert module.__name__ == qualified
    public = [n for n in vars(module) if not n.startswith("__")]
    assert public == ["Any", "Dict", error_name, builder_name]
    error, builder = getattr(module, error_name), getattr(module, builder_name)
    assert error.__bases__ == (Exception,) and error.__module__ == qualified and error.__doc__ is None
    assert builder.__bases__ == (object,) and type(builder) is type and builder.__doc__ is None
    assert [n for n in vars(builder) if not n.startswith("__")] == ["build"]
    assert str(inspect.signature(builder.__init__)) == "(self, config: 'Any') -> 'None'"
    assert str(inspect.signature(builder.build)) == "(self, data: 'Dict[str, Any]') -> 'None'"
    assert builder.build.__qualname__ == builder_name + ".build"
    assert builder.build.__module__ == qualified


@pytest.mark.parametrize("module_name, builder_name, error_name, setter, keys", COMPONENTS, ids=ids)
def test_build_copies_keys_in_order(module_name, builder_name, error_name, setter, keys):
    cls = getattr(load(module_name), builder_name)
    record = Writes()
    data = {key: object() for key in keys}
    data["s3_bucket_name"] = "not copied"
    data["unrelated"] = 1
    built = cls(record)
    assert built._config is record
    assert built.build(data) is None
    assert record["order"] == ["_" + k for k in keys]
    for key in keys:
        assert getattr(record, "_" + key) is data[key]
    # A second run overwrites with the new settings; absent keys become None.
    built.build({keys[0]: "second"})
    assert getattr(record, "_" + keys[0]) == "second"
    assert all(getattr(record, "_" + k) is None for k in keys[1:])
    empty = Plain()
    cls(config=empty).build(data={})
    assert vars(empty) == {"_" + k: None for k in keys}


@pytest.mark.parametrize("module_name, builder_name, error_name, setter, keys", COMPONENTS, ids=ids)
def test_build_failures(module_name, builder_name, error_name, setter, keys):
    cls = getattr(load(module_name), builder_name)
    for bad in (None, [], type("D", (dict,), {})()):
        with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict"):
            cls(Plain()).build(bad)
    with pytest.raises(AttributeError):
        cls(None).build({})
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        cls()
    with pytest.raises(TypeError, match="unexpected keyword argument 'settings'"):
        cls(Plain()).build(settings={})


class Frozen:
    """Accepts the first attribute, refuses the rest."""

    def __setattr__(self, name, value):
        if self.__dict__:
            raise AttributeError(name)
        self.__dict__[name] = value


def test_partial_failure_keeps_earlier_attributes():
    from vesprand_python_configuration.olapsmith import ClickHouseConfigurationBuilder

    record = Frozen()
    with pytest.raises(AttributeError):
        ClickHouseConfigurationBuilder(record).build({"clickhouse_host": "h"})
    assert record.__dict__ == {"_clickhouse_host": "h"}


def test_registered_builders_fill_the_loaded_record():
    builder = ConfigurationBuilder()
    record = builder.get_configuration()
    settings = {"environ": "dev", "log_enabled": "true", "is_async_logger": True, "log_level": "INFO"}
    for module_name, builder_name, _, setter, keys in COMPONENTS:
        getattr(builder, setter)(getattr(load(module_name), builder_name)(record))
        settings.update({k: f"{k}-value" for k in keys})
    builder.load_from_dict(settings, ["sql", "clickhouse", "aws", "elastic", "kafka", "redis"])
    for *_, keys in COMPONENTS:
        for key in keys:
            assert getattr(record, "_" + key) == f"{key}-value"
    assert "dead_letter_topic_name" in record._extra_properties


def test_no_leaks(assert_no_leak):
    classes = [getattr(load(c[0]), c[1]) for c in COMPONENTS]
    data = {k: "v" for c in COMPONENTS for k in c[4]}

    def run():
        for cls in classes:
            cls(Plain()).build(data)
            try:
                cls(None).build(data)
            except AttributeError:
                pass

    assert_no_leak(run)
