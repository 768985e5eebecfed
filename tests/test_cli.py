"""The settings checker: python3 -m vesprand_python_configuration check ..."""

import itertools
import json
import os
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import vesprand_python_configuration
from vesprand_python_configuration.__main__ import (
    KEYS,
    PROGRAM,
    component_problems,
    loader_schema,
    main,
    reference_table,
)
from vesprand_python_configuration.settingsmith import (
    ConfigurationBuilder,
    InvalidConfigurationError,
    properties,
)

ROOT = pathlib.Path(__file__).resolve().parent.parent
BASE = {"environ": "staging", "log_enabled": "staging", "is_async_logger": False, "log_level": "INFO"}
COMMON = '"environ": "staging", "log_enabled": "staging", "is_async_logger": false, "log_level": "INFO"'
# Every secret planted below holds one of these.
PLANTED = ("S3cret", "9876543")
FIFO, ZERO, MISSING = object(), object(), object()


def settings(**extra):
    return {**BASE, **extra}


LEVEL_FORM = "(DEBUG, INFO, WARNING, ERROR or CRITICAL, in any case)"
NEEDS = "missing or empty: component"
REQUIRED = [f"F: error: {key}: required key is missing ({KEYS[key][1]})" for key in BASE]
REDIS_SCHEME = (
    'F: warning: redis_host: give host:port without "redis://": the cluster client reads the '
    'scheme as the host "redis", and configure_redis with its default client type 1 fails on it'
)
ALL = "sql,clickhouse,aws,elastic,kafka,redis"

# Hostile settings files with secrets planted in every position: (content, options, status,
# expected lines). A content is the settings (a dict, or the file's text or bytes), or several
# such files (a list); F stands for the first file's path, F2 for the second's. Lines with
# "error:", "warning:" or "cannot check:" are standard error, exactly and in order; the others
# are lines of standard output.
CASES = {
    "secret of a wrong type": (
        settings(sql_pass_word=98765432), [], 1,
        ["F: error: sql_pass_word: must be a string, not an integer (the SQL Server password)"]),
    "secret as a list": (
        settings(aws_secret_key=["S3cret"]), [], 1,
        ["F: error: aws_secret_key: must be a string, not an array (the secret access key)"]),
    "secret as a dict": (
        settings(db_credentials={"user": "svc", "value": "S3cret"}), [], 0,
        ["    db_credentials = '***'"]),
    "password holding a slash": (
        settings(redis_host="redis://u:pa/S3cret@h:6379"), [], 0,
        [REDIS_SCHEME, "    redis_host = 'redis://u:***@h:6379'"]),
    "password holding @ ? #": (
        settings(cache_url="redis://u:p@S3?c#ret@h/0"), [], 0,
        ["    cache_url = 'redis://u:***@h/0'"]),
    "brokers with passwords": (
        settings(broker="SASL_SSL://u:S3cret@b:9093,SASL_SSL://v:S3cret@c:9093"), [], 0,
        ["    broker = 'SASL_SSL://u:***@b:9093,SASL_SSL://v:***@c:9093'"]),
    "token as the user part": (
        settings(service_url="https://S3cret@host/1"), [], 0,
        ["    service_url = 'https://***@host/1'"]),
    "query values under any key": (
        settings(callback="see https://h/cb?token=S3cret&sig=S3cret&S3cret#top"), [], 0,
        ["    callback = 'see https://h/cb?token=***&sig=***&***#top'"]),
    "address without a scheme": (
        settings(redis_host="u:S3cret@h:6379"), [], 0,
        ["    redis_host = 'u:***@h:6379'"]),
    "scheme with a plus": (
        settings(mongo="mongodb+srv://u:S3cret@c0/db?authSource=admin"), [], 0,
        ["    mongo = 'mongodb+srv://u:***@c0/db?authSource=***'"]),
    "secret words": (
        settings(pwd="S3cret", auth={"basic": "S3cret"}, Authorization="Bearer S3cret",
                 dbPassword="S3cret", x_api_key="S3cret", aws_access_key_id="S3cret"), [], 0,
        ["    pwd = '***'", "    auth = '***'", "    Authorization = '***'",
         "    dbPassword = '***'", "    x_api_key = '***'", "    aws_access_key_id = '***'"]),
    "not secrets": (
        settings(sort_key="created_at", monkey_name="Bubbles", key_prefix="svc:"), [], 0,
        ["    sort_key = 'created_at'", "    monkey_name = 'Bubbles'", "    key_prefix = 'svc:'"]),
    "secrets deep inside": (
        settings(outer={"inner": {"apiKey": "S3cret", "n": 1}},
                 users=[{"name": "a", "password": 98765432}]), [], 0,
        ["    outer = {'inner': {'apiKey': '***', 'n': 1}}",
         "    users = [{'name': 'a', 'password': '***'}]"]),
    "webhooks": (
        settings(g_chat_webhook="https://chat/v1/spaces/A/messages?key=S3cret&token=S3cret",
                 error_g_chat_webhook="S3cret", g_chat_error_hook=""), [], 0,
        ["    g_chat_webhook = 'https://chat/v1/spaces/A/messages?key=***&token=***'",
         "    error_g_chat_webhook = '***'", "    g_chat_error_hook = ''"]),
    "secrets of every type": (
        "{" + COMMON + ', "token": 98765432, "secret_flag": true, "api_keys": null, '
        '"password": NaN, "client_secret": -Infinity, "ratio": Infinity}', [], 0,
        ["    token = '***'", "    secret_flag = '***'", "    api_keys = None",
         "    password = '***'", "    client_secret = '***'", "    ratio = inf"]),
    "secret in a rejected file": (
        {**settings(clickhouse_password=98765432), "log_level": None}, [], 1,
        ["F: error: clickhouse_password: must be a string, not an integer (the password; "
         "needed in production)",
         f"F: warning: log_level: not a level name {LEVEL_FORM}: not a string"]),
    "secret under the key extra": (
        settings(extra={"password": 98765432}, password="S3cret"), [], 1,
        ["F: error: extra.password: must be a string, not an integer"]),
    "misspelt secret key": (
        settings(sql_pass_wrod="S3cret", Redis_Host="h"), [], 0,
        ["F: warning: sql_pass_wrod: not a key the package reads; did you mean sql_pass_word?",
         "F: warning: Redis_Host: not a key the package reads; did you mean redis_host?",
         "    sql_pass_wrod = '***'"]),
    "keys given twice": (
        "{" + COMMON + ', "password": "S3cret", "nested": {"a": 1, "a": 2}, "password": "S3cret"}',
        [], 0,
        ["F: warning: nested.a: given twice in the file; the loader keeps the last",
         "F: warning: password: given twice in the file; the loader keeps the last",
         "    password = '***'", "    nested = {'a': 2}"]),
    "unterminated secret": (
        '{"password": "S3cret', [], 2,
        ["F: cannot check: not a JSON file (line 1, column 14: Unterminated string starting at)"]),
    "bad escape in a secret": (
        '{"password": "S3c\\ret\\q"}', [], 2,
        ["F: cannot check: not a JSON file (line 1, column 22: Invalid \\escape)"]),
    "secret not in the encoding": (
        b'{"password": "\xffS3cret"}', [], 2,
        ["F: cannot check: not text in the utf-8 encoding (byte 14)"]),
    "huge number": (
        '{"password": 9876543' + "0" * 5000 + "}", [], 2,
        ["F: cannot check: not a JSON file the loader can read (Exceeds the limit (4300 digits) "
         "for integer string conversion: value has 5007 digits; use sys.set_int_max_str_digits() "
         "to increase the limit)"]),
    "not an object": (
        '["S3cret"]', [], 1, ["F: error: the settings must be a JSON object, not an array"]),
    "nested 500 deep": (
        "{" + COMMON + ', "a": ' + '{"password": "S3cret", "a": ' * 248 + "[" * 250 + "]" * 250
        + "}" * 249, [], 0, []),
    "nested 600 deep": (
        '{"password": ' + "[" * 600 + '"S3cret"' + "]" * 600 + "}", [], 2,
        ["F: cannot check: nested more than 500 levels deep"]),
    "100,000 [": ("[" * 100_000, [], 2, ["F: cannot check: nested more than 500 levels deep"]),
    "larger than 16 MiB": (
        '{"password": "S3cret' + " " * (16 << 20), [], 2, ["F: cannot check: larger than 16 MiB"]),
    "FIFO": (FIFO, [], 2, ["F: cannot check: not a regular file"]),
    "/dev/zero": (ZERO, [], 2, ["F: cannot check: not a regular file"]),
    "missing": (MISSING, [], 2, ["F: cannot check: no such file"]),
    "empty, every component required": (
        {}, ["--require", ALL], 1,
        [*REQUIRED,
         f"F: error: sql_user_name, sql_server_ip, sql_pass_word: {NEEDS} sql needs "
         "connection_string, or all of sql_user_name, sql_server_ip and sql_pass_word, "
         "each a non-empty string",
         f"F: error: clickhouse_host, clickhouse_port: {NEEDS} clickhouse needs clickhouse_host "
         "and clickhouse_port, each a non-empty string",
         f"F: error: aws_access_key, aws_secret_key: {NEEDS} aws needs aws_access_key and "
         "aws_secret_key, each a non-empty string",
         f"F: error: elastic_host, elastic_username, elastic_password: {NEEDS} elastic needs "
         "elastic_host, elastic_username and elastic_password, each a non-empty string",
         f"F: error: broker, read_topic, push_topic: {NEEDS} kafka needs broker, read_topic and "
         "push_topic, each a non-empty string",
         f"F: error: redis_host: {NEEDS} redis needs redis_host, a non-empty string"]),
    "production without ClickHouse credentials": (
        settings(environ="Production", clickhouse_host="ch", clickhouse_port="9000",
                 clickhouse_username="CLICKHOUSE_WRITE_USERNAME", clickhouse_password="S3cret"),
        ["--require", "clickhouse"], 1,
        ["F: error: clickhouse_username, clickhouse_password: in production configure_clickhouse "
         "needs both, other than the placeholders CLICKHOUSE_WRITE_USERNAME and "
         "CLICKHOUSE_WRITE_PASS_WORD"]),
    "SQL Server port": (
        settings(sql_user_name="u", sql_server_ip="db,S3cret", sql_pass_word="S3cret"),
        ["--require", "sql"], 1,
        ["F: error: sql_server_ip: the port after the comma must be a whole number"]),
    "SQL Server address of three parts": (
        settings(sql_user_name="u", sql_server_ip="db,1433,x", sql_pass_word="S3cret"),
        ["--require", "sql"], 1,
        ["F: error: sql_server_ip: must be a host, or a host and a port joined by one comma, "
         "not 3 parts"]),
    "likely mistakes": (
        settings(log_level="VERBOSE", is_async_logger="false", redis_hsot="h",
                 log_enabled="staging, production", g_chat_hook="https://c/h?key=S3cret"), [], 0,
        [f"F: warning: log_level: not a level name {LEVEL_FORM}: the logger would log at ERROR",
         'F: warning: is_async_logger: a string counts as true unless empty, "false" too: write '
         "true or false unquoted",
         "F: warning: log_enabled: a blank beside a comma becomes part of an environment's name, "
         "which never matches",
         "F: warning: g_chat_hook: the bootstrap does not read this key; it reads g_chat_webhook",
         "F: warning: redis_hsot: not a key the package reads; did you mean redis_host?",
         "    g_chat_hook = 'https://c/h?key=***'"]),
    "warnings under --strict": (
        settings(is_async_gchat="true", token="S3cret"), ["--strict"], 1,
        ['F: warning: is_async_gchat: a string counts as true unless empty, "false" too: write '
         "true or false unquoted",
         "F: valid (required: none)"]),
    "several files": (
        [settings(token="S3cret"), settings(log_level=98765432), MISSING], ["--require", "redis"], 2,
        [f"F: error: redis_host: {NEEDS} redis needs redis_host, a non-empty string",
         f"F2: error: redis_host: {NEEDS} redis needs redis_host, a non-empty string",
         f"F2: warning: log_level: not a level name {LEVEL_FORM}: not a string",
         "F3: cannot check: no such file"]),
    "unknown component": (
        settings(password="S3cret"), ["--require", "sql,mongo"], 2,
        [f"{PROGRAM} check: unknown component 'mongo' "
         "(known: sql, clickhouse, aws, elastic, redis, kafka)"]),
}  # fmt: skip


def files(tmp_path, content):
    """The paths of a case's files, made in tmp_path."""
    paths = []
    for i, item in enumerate(content if isinstance(content, list) else [content], 1):
        path = tmp_path / f"settings-{i}.json"
        if item is FIFO:
            os.mkfifo(path)
        elif item is ZERO:
            path = pathlib.Path("/dev/zero")
        elif isinstance(item, bytes):
            path.write_bytes(item)
        elif item is not MISSING:
            path.write_text(item if isinstance(item, str) else json.dumps(item))
        paths.append(str(path))
    return paths


def run(capsys, tmp_path, case, *more):
    """Checks the case's files: the status, standard output and error, and the paths."""
    content, options, _, _ = CASES[case]
    paths = files(tmp_path, content)
    code = main(["check", *paths, *options, *more])
    return (code, *capsys.readouterr(), paths)


@pytest.mark.parametrize("case", CASES)
def test_reports(capsys, tmp_path, case):
    code, out, err, paths = run(capsys, tmp_path, case)
    _, _, status, lines = CASES[case]
    for i, path in reversed(list(enumerate(paths, 1))):
        lines = [line.replace(f"F{i}:" if i > 1 else "F:", f"{path}:") for line in lines]
    problems = ("error:", "warning:", "cannot check:", PROGRAM)
    assert code == status
    assert err.splitlines() == [line for line in lines if any(p in line for p in problems)]
    assert {line for line in lines if not any(p in line for p in problems)} <= set(out.splitlines())
    assert out.startswith(f"{paths[0]}: valid (required: ") == (out != "")


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_no_planted_secret_in_any_output(capsys, tmp_path, as_json):
    for i, case in enumerate(CASES):
        folder = tmp_path / str(i)
        folder.mkdir()
        code, out, err, _ = run(capsys, folder, case, *["--json"] * as_json)
        for secret in PLANTED:
            assert secret not in out + err, case
        if as_json:
            report = json.loads(out, parse_constant=pytest.fail)  # one object, no NaN
            assert (report["status"], err) == (code, "")


@pytest.mark.parametrize("component, keys", [(c, ks) for c, ks in properties.items()])
def test_component_rules_agree_with_the_loader(component, keys):
    for empty in itertools.chain.from_iterable(
        itertools.combinations(keys, n) for n in range(len(keys) + 1)
    ):
        data = {**BASE, **{key: "" if key in empty else "x" for key in keys}}
        try:
            ConfigurationBuilder().load_from_dict(data, [component])
            loaded = True
        except InvalidConfigurationError:
            loaded = False
        assert loaded == (list(component_problems(data, [component])) == []), (component, empty)


def test_settings_reference_is_the_schemas():
    schema = loader_schema({})
    assert set(KEYS) >= set(schema["properties"]) | set(schema["required"])
    assert set(KEYS) >= {key for keys in properties.values() for key in keys}
    assert reference_table() in (ROOT / "docs" / "settings.md").read_text(), reference_table()


def test_one_version():
    meson = re.search(r"version: '(.*)'", (ROOT / "meson.build").read_text()).group(1)
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert meson == project == vesprand_python_configuration.__version__


def test_schema_is_the_loaders(capsys):
    assert main(["check", "--schema"]) == 0
    printed = json.loads(capsys.readouterr().out)
    assert printed == loader_schema({}) and printed["required"] == list(BASE)


@pytest.mark.parametrize(
    "command",
    [
        "python3 -m vesprand_python_configuration check examples/settings.json | head -1",
        "python3 -m vesprand_python_configuration check --json examples/settings.json | head -1",
        "python3 -P -m vesprand_python_configuration check examples/settings.json | head -1",
    ],
)
def test_commands_from_the_repository_root(command):
    """The source folder comes first on sys.path there; the built package is found beyond it.
    Output cut short by the reader ends quietly."""
    build = os.path.dirname(os.path.dirname(vesprand_python_configuration.__file__))
    result = subprocess.run(
        ["bash", "-o", "pipefail", "-c", command.replace("python3", sys.executable)],
        capture_output=True,
        cwd=ROOT,
        env={**os.environ, "PYTHONPATH": build},
        text=True,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout in ("examples/settings.json: valid (required: none)\n", "{\n")
