import copy
import inspect
import json

import pytest

from vesprand_python_configuration import toolchest
from vesprand_python_configuration.toolchest import add_extra_properties_to_schema


@pytest.fixture
def settings_file(tmp_path):
    def write(text):
        path = tmp_path / "appsettings.json"
        path.write_text(text if isinstance(text, str) else json.dumps(text))
        return str(path)

    return write


def test_all_keys_declared_leaves_schema_unchanged(settings_file):
    schema = {"properties": {"a": {"type": "string"}, "extra": {"kept": True}}}
    before = copy.deepcopy(schema)
    assert add_extra_properties_to_schema(schema, settings_file({"a": "x"})) is schema
    assert schema == before


def test_undeclared_keys_in_file_order(settings_file):
    schema = {"type": "object", "properties": {"declared": {"type": "string"}, "extra": {"old": 1}}}
    document = '{"n": 5, "declared": 1, "b": true, "f": 1.5, "z": null, "l": [1], "o": {"k": 1}, "s": "x"}'
    result = add_extra_properties_to_schema(schema, settings_file(document))
    assert result is schema
    assert schema["properties"]["declared"] == {"type": "string"}
    extra = schema["properties"]["extra"]
    assert list(extra) == ["type", "properties"] and extra["type"] == "object"
    assert list(extra["properties"].items()) == [
        ("n", {"type": "integer"}),
        ("b", {"type": "boolean"}),
        ("f", {"type": "number"}),
        ("z", {"type": "null"}),
        ("l", {"type": "array"}),
        ("o", {"type": "object"}),
        ("s", {"type": "string"}),
    ]


def test_empty_object_needs_no_properties(settings_file):
    schema = {}
    assert add_extra_properties_to_schema(schema, settings_file("{}")) == {}


@pytest.mark.parametrize(
    "document, schema, error",
    [
        ("null", {"properties": {}}, AttributeError),
        ("[1]", {"properties": {}}, AttributeError),
        ('{"a": 1}', {}, KeyError),
        ('{"a": ', {"properties": {}}, json.JSONDecodeError),
    ],
)
def test_failures_leave_schema_untouched(settings_file, document, schema, error):
    before = copy.deepcopy(schema)
    with pytest.raises(error):
        add_extra_properties_to_schema(schema, settings_file(document))
    assert schema == before


def test_argument_errors(tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'appsettings_path' has incorrect type \(expected str, got NoneType\)$"):
        add_extra_properties_to_schema({}, None)
    with pytest.raises(TypeError, match="Argument 'schema' has incorrect type"):
        add_extra_properties_to_schema(None, None)
    with pytest.raises(FileNotFoundError):
        add_extra_properties_to_schema({}, str(tmp_path / "missing.json"))
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        add_extra_properties_to_schema({})


def test_signature_and_module_names():
    assert str(inspect.signature(add_extra_properties_to_schema)) == (
        "(schema: 'Dict[str, Any]', appsettings_path: 'str') -> 'Dict[str, Any]'"
    )
    assert add_extra_properties_to_schema.__module__ == "vesprand_python_configuration.toolchest"
    names = [n for n in vars(toolchest) if not n.startswith("__")]
    assert names[:10] == ["asyncio", "json", "logging", "Optional", "Union", "Dict", "Any",
                          "aiohttp", "requests", "add_extra_properties_to_schema"]


def test_file_is_closed_and_opened_through_module_namespace(monkeypatch, settings_file):
    opened = []
    real_open = open

    def tracking_open(*args, **kwargs):
        assert args[1:] == ("r",) and not kwargs
        f = real_open(*args, **kwargs)
        opened.append(f)
        return f

    monkeypatch.setattr(toolchest, "open", tracking_open, raising=False)
    add_extra_properties_to_schema({"properties": {}}, settings_file('{"a": 1}'))
    with pytest.raises(json.JSONDecodeError):
        add_extra_properties_to_schema({"properties": {}}, settings_file("{"))
    assert len(opened) == 2 and all(f.closed for f in opened)


def test_no_leaks(assert_no_leak, settings_file):
    path = settings_file({"a": 1, "b": [1, 2]})

    def run():
        add_extra_properties_to_schema({"properties": {}}, path)
        try:
            add_extra_properties_to_schema({}, path)
        except KeyError:
            pass

    assert_no_leak(run)


class Suppressing:
    """A file whose reading fails, opened by a manager that suppresses the failure."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return True

    def read(self):
        raise OSError("unreadable")


def test_a_suppressed_load_leaves_the_settings_unbound_as_python_does(monkeypatch):
    def python_version(appsettings_path):
        with open(appsettings_path, "r") as f:
            appsettings = json.load(f)
        return appsettings

    opener = lambda *args: Suppressing()  # noqa: E731
    monkeypatch.setattr(toolchest, "open", opener, raising=False)
    monkeypatch.setitem(globals(), "open", opener)
    with pytest.raises(UnboundLocalError) as native:
        add_extra_properties_to_schema({"properties": {}}, "settings.json")
    with pytest.raises(UnboundLocalError) as python:
        python_version("settings.json")
    assert str(native.value) == str(python.value)
