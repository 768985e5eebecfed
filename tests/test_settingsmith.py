import inspect
import json

import jsonschema
import pytest

from vesprand_python_configuration import settingsmith
from vesprand_python_configuration.cachesmith import RedisConfigurationBuilder
from vesprand_python_configuration.relsmith import SQLConfigurationBuilder
from vesprand_python_configuration.settingsmith import (
    Configuration,
    ConfigurationBuilder,
    InvalidConfigurationError,
)

BASE = {"environ": "production", "log_enabled": "true", "is_async_logger": False, "log_level": "INFO"}

SQL_MESSAGE = (
    "Missing SQL configuration properties. Either provide (sql_user_name, sql_server_ip, "
    "sql_pass_word) OR sql_connection_string."
)


@pytest.fixture
def write_settings(tmp_path):
    def write(content, name="settings.json"):
        path = tmp_path / name
        if isinstance(content, (bytes, str)):
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
        else:
            path.write_text(json.dumps(content))
        return str(path)

    return write


class Recorder:
    """A component builder that records its calls."""

    def __init__(self, name, calls):
        self.name, self.calls = name, calls

    def build(self, data):
        self.calls.append((self.name, data))


# ------------------------------------------------------------------ the record


def test_fresh_record():
    record = Configuration()
    assert record.__dict__ == {
        "_config_file_path": None,
        "_environ": None,
        "_log_enabled": None,
        "_log_level": None,
        "_is_async_logger": None,
        "_extra_properties": {},
    }
    assert type(record.__dict__) is dict
    with pytest.raises(AttributeError):
        record._redis_host
    assert Configuration("app.json")._config_file_path == "app.json"
    assert Configuration(config_file_path=None)._config_file_path is None


@pytest.mark.parametrize(
    "required, extra",
    [
        ([], ["redis_host", "outside"]),
        (["redis"], ["outside"]),
        (["kafka"], ["redis_host", "dead_letter_topic_name", "outside"]),
        (["no-such-component", "redis", "redis"], ["outside"]),
    ],
)
def test_set_common_config_extra_keys(required, extra):
    data = {"environ": "dev", "redis_host": "r", "dead_letter_topic_name": "d", "outside": 1}
    if "kafka" not in required:
        del data["dead_letter_topic_name"]
        extra = [k for k in extra if k != "dead_letter_topic_name"]
    record = Configuration()
    record.set_common_config(data, required)
    assert record._environ == "dev" and record._log_level is None
    assert list(record._extra_properties) == extra
    assert record._extra_properties["outside"] is data["outside"]


def test_set_common_config_replaces_extra_and_keeps_table():
    record = Configuration()
    record.set_common_config({"a": 1}, [])
    record.set_common_config({"b": 2, "broker": "x"}, ["kafka"])
    assert record._extra_properties == {"b": 2}
    assert settingsmith.properties["kafka"] == ["broker", "read_topic", "push_topic"]
    assert list(settingsmith.properties) == ["sql", "clickhouse", "aws", "elastic", "redis", "kafka"]


def test_set_common_config_unhashable_component_after_common_settings():
    record = Configuration()
    with pytest.raises(TypeError):
        record.set_common_config({"environ": "e"}, [["sql"]])
    assert record._environ == "e"


def test_get_extra_properties_returns_the_stored_dict():
    record = Configuration()
    assert record.get_extra_properties() is record._extra_properties
    record._extra_properties = None
    assert record.get_extra_properties() is None
    record._extra_properties = ["x"]
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        record.get_extra_properties()


# ------------------------------------------------------------- failure table


def test_missing_file(tmp_path):
    builder = ConfigurationBuilder()
    path = str(tmp_path / "absent.json")
    with pytest.raises(InvalidConfigurationError) as info:
        builder.load_from_file(path)
    assert str(info.value) == f"Configuration file '{path}' not found."
    assert info.value.args == (str(info.value),)
    assert isinstance(info.value.__context__, FileNotFoundError)
    assert info.value.__cause__ is None
    assert builder._app_settings_path is None


@pytest.mark.parametrize("content", ['{"environ": "dev", "log_enabled": ', "", "{'a': 1}"])
def test_malformed_json(write_settings, content):
    builder = ConfigurationBuilder()
    with pytest.raises(InvalidConfigurationError) as info:
        builder.load_from_file(write_settings(content), ["sql"])
    assert str(info.value) == "Invalid JSON format."
    assert isinstance(info.value.__context__, json.JSONDecodeError)
    assert builder._app_settings_path is None and builder.required_components == []


@pytest.mark.parametrize(
    "change, passes",
    [
        ({"log_level": None}, False),
        ({"log_enabled": True}, False),
        ({"log_enabled": "false"}, True),
        ({"clickhouse_port": 9000}, False),
        ({"push_topic": 5, "is_async_logger": [1], "log_level": {"a": 1}}, True),
    ],
)
def test_schema_validation(write_settings, change, passes):
    data = {**BASE, **change}
    data = {k: v for k, v in data.items() if v is not None}
    builder = ConfigurationBuilder()
    path = write_settings(data)
    if passes:
        builder.load_from_file(path)
        return
    with pytest.raises(InvalidConfigurationError) as info:
        builder.load_from_file(path)
    assert str(info.value).startswith("JSON validation error: ")
    assert isinstance(info.value.__context__, jsonschema.ValidationError)
    assert str(info.value) == "JSON validation error: " + info.value.__context__.message
    # The file was parsed, so the builder keeps the new path.
    assert builder._app_settings_path == path


def test_schema_error_is_mapped(monkeypatch, write_settings):
    monkeypatch.setattr(settingsmith, "add_extra_properties_to_schema", lambda s, p: {"type": 5})
    for load in (
        lambda b: b.load_from_file(write_settings(BASE)),
        lambda b: b.load_from_dict(dict(BASE)),
    ):
        builder = ConfigurationBuilder()
        builder._app_settings_path = "unused"
        with pytest.raises(InvalidConfigurationError, match=r"^JSON schema error: 5 is not valid"):
            load(builder)


@pytest.mark.parametrize("document", ["[1, 2]", '"text"', "3", "null"])
def test_document_that_is_not_an_object(write_settings, document):
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        ConfigurationBuilder().load_from_file(write_settings(document))


# ----------------------------------------------------------- component rules


@pytest.mark.parametrize(
    "required, settings, message",
    [
        (["sql"], {"connection_string": "Server=x"}, None),
        (["sql"], {"sql_user_name": "u", "sql_server_ip": "i"}, SQL_MESSAGE),
        (["sql"], {"sql_user_name": "u", "sql_server_ip": "i", "sql_pass_word": "p"}, None),
        (["clickhouse"], {"clickhouse_host": "", "clickhouse_port": "9000"},
         "Missing ClickHouse configuration properties"),
        (["clickhouse"], {"clickhouse_host": "h", "clickhouse_port": "9000"}, None),
        (["aws"], {"aws_access_key": "k"}, "Missing AWS configuration properties"),
        (["elastic"], {"elastic_host": "h", "elastic_username": "u"},
         "Missing ElasticSearch configuration properties"),
        (["kafka"], {"broker": "b", "read_topic": "r", "dead_letter_topic_name": "d"},
         "Missing Kafka configuration properties"),
        (["kafka"], {"broker": "b", "read_topic": "r", "push_topic": "p"}, None),
        (["redis"], {}, "Missing Redis configuration properties"),
        (["redis", "sql"], {}, SQL_MESSAGE),
        (["unknown"], {}, None),
    ],
)
def test_component_rules(write_settings, required, settings, message):
    path = write_settings({**BASE, **settings})
    builder = ConfigurationBuilder()
    if message is None:
        builder.load_from_file(path, required)
    else:
        with pytest.raises(InvalidConfigurationError) as info:
            builder.load_from_file(path, required)
        assert str(info.value) == message
        assert info.value.__context__ is None
    assert builder.required_components is required


def test_rules_read_required_components_from_the_attribute():
    builder = ConfigurationBuilder()
    builder.required_components = ("redis",)
    with pytest.raises(InvalidConfigurationError, match="Missing Redis"):
        builder.validate_required_components({})
    builder.required_components = []
    assert builder.validate_required_components({}) is None


# ---------------------------------------------------------- builders and state


def test_builders_run_in_fixed_order_with_the_same_data():
    calls = []
    builder = ConfigurationBuilder()
    setters = ["redis", "kafka", "elastic", "aws", "clickhouse", "sql"]
    for name in setters:
        getattr(builder, f"set_{name}_builder")(Recorder(name, calls))
    data = dict(BASE)
    builder.load_from_dict(data)
    assert [n for n, _ in calls] == ["sql", "clickhouse", "aws", "elastic", "kafka", "redis"]
    assert all(d is data for _, d in calls)


def test_registration_replace_remove_and_falsy_builders():
    calls = []

    class Falsy:
        def __bool__(self):
            return False

        def __getattr__(self, name):
            raise AssertionError("looked up " + name)

    builder = ConfigurationBuilder()
    builder.set_sql_builder(Recorder("first", calls))
    builder.set_sql_builder(Recorder("second", calls))
    builder.set_redis_builder(Falsy())
    builder.set_configuration(dict(BASE))
    assert [n for n, _ in calls] == ["second"]
    builder.set_sql_builder(builder=None)
    builder.set_configuration(dict(BASE), None)
    assert len(calls) == 1


def test_builder_failure_stops_the_sequence():
    calls = []
    builder = ConfigurationBuilder()
    builder.set_sql_builder(Recorder("sql", calls))
    builder.set_aws_builder(object())
    builder.set_redis_builder(Recorder("redis", calls))
    with pytest.raises(AttributeError):
        builder.load_from_dict(dict(BASE), ["aws-not-a-rule"])
    assert [n for n, _ in calls] == ["sql"]
    assert builder.get_configuration()._environ == "production"


def test_real_builders_fill_the_record(write_settings):
    builder = ConfigurationBuilder()
    record = builder.get_configuration()
    builder.set_sql_builder(SQLConfigurationBuilder(record))
    builder.set_redis_builder(RedisConfigurationBuilder(record))
    builder.load_from_file(write_settings({**BASE, "redis_host": "h", "connection_string": "c"}), ["sql"])
    assert builder.get_configuration() is record
    assert record._redis_host == "h" and record._connection_string == "c"
    assert record._sql_user_name is None
    assert "redis_host" in record._extra_properties
    assert "connection_string" not in record._extra_properties
    assert record._config_file_path is None


def test_no_builder_registered():
    builder = ConfigurationBuilder()
    builder.set_configuration(dict(BASE, extra_key=1))
    record = builder.get_configuration()
    assert record._extra_properties == {"extra_key": 1}
    with pytest.raises(AttributeError):
        record._sql_user_name


def test_required_components_storage(write_settings):
    builder = ConfigurationBuilder()
    initial = builder.required_components
    builder.load_from_file(write_settings(BASE))
    assert builder.required_components == [] and builder.required_components is not initial
    wanted = ["redis"]
    with pytest.raises(InvalidConfigurationError):
        builder.load_from_dict(dict(BASE), wanted)
    assert builder.required_components is wanted


# ------------------------------------------------- the schema extension's use


def test_file_load_extends_schema_from_the_file(monkeypatch, write_settings):
    seen = []
    original = settingsmith.add_extra_properties_to_schema

    def spy(schema, path):
        seen.append((dict(schema["properties"]), path))
        return original(schema, path)

    monkeypatch.setattr(settingsmith, "add_extra_properties_to_schema", spy)
    path = write_settings({**BASE, "retries": 3})
    ConfigurationBuilder().load_from_file(path)
    assert len(seen) == 1 and seen[0][1] == path and len(seen[0][0]) == 23


def test_dict_load_without_a_file_declares_the_data_keys(monkeypatch):
    def refuse(*args):
        raise AssertionError("the schema extension reads files only")

    monkeypatch.setattr(settingsmith, "add_extra_properties_to_schema", refuse)
    builder = ConfigurationBuilder()
    builder.load_from_dict({**BASE, "retries": 3})
    # The undeclared keys are declared under "extra", so an "extra" object that
    # contradicts the data's own types is refused.
    with pytest.raises(InvalidConfigurationError, match="'x' is not of type 'integer'"):
        builder.load_from_dict({**BASE, "retries": 3, "extra": {"retries": "x"}})


# --------------------------------------------------------------- hostile input


def test_hostile_files(tmp_path, write_settings):
    builder = ConfigurationBuilder()
    with pytest.raises(IsADirectoryError):
        builder.load_from_file(str(tmp_path))
    with pytest.raises(UnicodeDecodeError):
        builder.load_from_file(write_settings(b'{"environ": "\xff\xfe"}'))
    with pytest.raises(RecursionError):
        builder.load_from_file(write_settings("[" * 200000 + "]" * 200000))
    with pytest.raises(InvalidConfigurationError, match="Invalid JSON format."):
        builder.load_from_file(write_settings(b"\x00\x01{"))


def test_several_megabyte_file(write_settings):
    data = dict(BASE)
    data.update({f"key_{i}": "v" * 2000 for i in range(2000)})
    path = write_settings(data)
    builder = ConfigurationBuilder()
    builder.load_from_file(path)
    assert len(builder.get_configuration()._extra_properties) == 2000


# ------------------------------------------------- signatures and arguments

SIGNATURES = [
    (Configuration.__init__, "(self, config_file_path: 'Optional[str]' = None) -> 'None'"),
    (Configuration.set_common_config,
     "(self, data: 'Dict[str, Any]', required_components: 'List[str]') -> 'None'"),
    (Configuration.get_extra_properties, "(self) -> 'Dict[str, Any]'"),
    (ConfigurationBuilder.__init__, "(self) -> 'None'"),
    (ConfigurationBuilder.load_from_file,
     "(self, file_path: 'str', required_components: 'Optional[List[str]]' = None) -> 'None'"),
    (ConfigurationBuilder.load_from_dict,
     "(self, data: 'Dict[str, Any]', required_components: 'Optional[List[str]]' = None) -> 'None'"),
    (ConfigurationBuilder.validate_json, "(self, data: 'Dict[str, Any]') -> 'None'"),
    (ConfigurationBuilder.validate_required_components, "(self, data: 'Dict[str, Any]') -> 'None'"),
    (ConfigurationBuilder.set_configuration,
     "(self, data: 'Dict[str, Any]', required_components: 'Optional[List[str]]' = None) -> 'None'"),
    (ConfigurationBuilder.get_configuration, "(self) -> 'Configuration'"),
] + [
    (getattr(ConfigurationBuilder, f"set_{c}_builder"), "(self, builder: 'Any') -> 'None'")
    for c in ("sql", "clickhouse", "aws", "elastic", "kafka", "redis")
]


@pytest.mark.parametrize("function, expected", SIGNATURES, ids=lambda v: getattr(v, "__qualname__", ""))
def test_signatures(function, expected):
    assert str(inspect.signature(function)) == expected
    assert function.__module__ == "vesprand_python_configuration.settingsmith"
    assert all(isinstance(a, str) for a in function.__annotations__.values())
    assert not inspect.iscoroutinefunction(function)
    bound = getattr(ConfigurationBuilder() if "Builder" in function.__qualname__ else Configuration(),
                    function.__name__)
    assert inspect.ismethod(bound) and bound.__func__ is function


def test_help_shows_the_signature():
    import pydoc

    text = pydoc.render_doc(ConfigurationBuilder.load_from_file, renderer=pydoc.plaintext)
    assert ("load_from_file(self, file_path: 'str', required_components: "
            "'Optional[List[str]]' = None) -> 'None'") in text


class DictSub(dict):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.load_from_file(None), "Argument 'file_path' has incorrect type (expected str, got NoneType)"),
        (lambda b: b.load_from_file(StrSub("x")), "Argument 'file_path' has incorrect type (expected str, got StrSub)"),
        (lambda b: b.load_from_file(__import__("pathlib").Path("x")), "expected str, got PosixPath"),
        (lambda b: b.load_from_file("x", ("sql",)), "Argument 'required_components' has incorrect type (expected list, got tuple)"),
        (lambda b: b.load_from_dict([]), "Argument 'data' has incorrect type (expected dict, got list)"),
        (lambda b: b.load_from_dict(DictSub()), "expected dict, got DictSub"),
        (lambda b: b.validate_json(None), "expected dict, got NoneType"),
        (lambda b: b.validate_required_components("x"), "expected dict, got str"),
        (lambda b: b.set_configuration({}, "sql"), "expected list, got str"),
        (lambda b: Configuration(5), "Argument 'config_file_path' has incorrect type (expected str, got int)"),
        (lambda b: Configuration().set_common_config(DictSub(), []), "Argument 'data'"),
        (lambda b: Configuration().set_common_config({}, None), "Argument 'required_components' has incorrect type (expected list, got NoneType)"),
        (lambda b: Configuration().set_common_config([], None), "Argument 'data'"),
        (lambda b: b.load_from_file(), "load_from_file() takes at least 2 positional arguments (1 given)"),
        (lambda b: b.load_from_file("a", [], 1), "load_from_file() takes at most 3 positional arguments (4 given)"),
        (lambda b: b.get_configuration(1), "get_configuration() takes exactly 1 positional argument (2 given)"),
        (lambda b: b.set_sql_builder(), "set_sql_builder() takes exactly 2 positional arguments (1 given)"),
        (lambda b: b.load_from_dict({}, data={}), "load_from_dict() got multiple values for argument 'data'"),
        (lambda b: b.load_from_dict(dat={}), "load_from_dict() got an unexpected keyword argument 'dat'"),
        (lambda b: ConfigurationBuilder(1), "__init__() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_convention(call, message):
    builder = ConfigurationBuilder()
    before = dict(builder.__dict__)
    with pytest.raises(TypeError) as info:
        call(builder)
    assert message in str(info.value)
    assert builder.__dict__ == before


def test_keyword_arguments_bind(write_settings):
    builder = ConfigurationBuilder()
    builder.load_from_file(required_components=["redis"], file_path=write_settings({**BASE, "redis_host": "h"}))
    builder.load_from_dict(data=dict(BASE), required_components=None)
    assert builder.required_components == []


# ------------------------------------------------------- classes and lookups


def test_plain_classes():
    for cls in (Configuration, ConfigurationBuilder):
        assert type(cls) is type and cls.__bases__ == (object,)
        assert cls.__module__ == "vesprand_python_configuration.settingsmith"
        assert cls.__qualname__ == cls.__name__ and cls.__doc__ is None
    assert InvalidConfigurationError.__bases__ == (Exception,)
    assert list(ConfigurationBuilder().__dict__) == [
        "_redis_builder", "_configuration", "_sql_builder", "_clickhouse_builder", "_aws_builder",
        "_elastic_builder", "_kafka_builder", "required_components", "_app_settings_path",
    ]


def test_module_names_are_looked_up_at_call_time(monkeypatch):
    class Marked(Configuration):
        pass

    monkeypatch.setattr(settingsmith, "Configuration", Marked)
    assert type(ConfigurationBuilder().get_configuration()) is Marked
    monkeypatch.setattr(settingsmith, "InvalidConfigurationError", KeyError)
    with pytest.raises(KeyError):
        ConfigurationBuilder().load_from_file("/definitely/not/here.json")


# ---------------------------------------------------------------------- leaks


def _ignore(error_type, call):
    try:
        call()
    except error_type:
        pass


LEAK_CASES = {
    "dict": lambda paths: ConfigurationBuilder().load_from_dict({**BASE, "k": [1, 2]}),
    "file with builder": lambda paths: _load_with_builder(paths["good"]),
    "invalid file": lambda paths: _ignore(
        InvalidConfigurationError, lambda: ConfigurationBuilder().load_from_file(paths["bad"])),
    "missing file": lambda paths: _ignore(
        InvalidConfigurationError, lambda: ConfigurationBuilder().load_from_file(paths["missing"])),
    "wrong type": lambda paths: _ignore(TypeError, lambda: ConfigurationBuilder().load_from_dict([])),
    "component rule": lambda paths: _ignore(
        InvalidConfigurationError, lambda: ConfigurationBuilder().load_from_dict({}, ["sql"])),
}


def _load_with_builder(path):
    builder = ConfigurationBuilder()
    builder.set_redis_builder(RedisConfigurationBuilder(builder.get_configuration()))
    builder.load_from_file(path, ["redis"])


@pytest.mark.parametrize("case", list(LEAK_CASES))
def test_no_leaks(assert_no_leak, write_settings, tmp_path, case):
    paths = {
        "good": write_settings({**BASE, "redis_host": "h", "retries": 1}),
        "bad": write_settings({**BASE, "log_enabled": False}, "bad.json"),
        "missing": str(tmp_path / "missing.json"),
    }
    # The schema library keeps bounded caches that fill during the first
    # couple of thousand validations of a file-extended schema.
    warmup = 2500 if case == "file with builder" else 200
    assert_no_leak(lambda: LEAK_CASES[case](paths), repeat=1000, warmup=warmup)
