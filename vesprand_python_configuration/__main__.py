"""The settings checker, for deploy pipelines and people:

    python3 -m vesprand_python_configuration check SETTINGS.json... [--require sql,redis,...]
                                                   [--json] [--strict]
    python3 -m vesprand_python_configuration check --schema

checks each settings file as a service's ``ConfigurationBuilder`` loads it, every component
builder registered, and names every mistake in one run, each with the key it is about: every
schema error, every rule of a required component that fails, and the bootstrap's own checks
that need no server (ClickHouse credentials in production, the SQL Server address). Then it
warns of what the loader accepts but is almost surely a mistake. A valid file's assembled
record is printed with its secrets masked; no value of a secret key and no credential of an
address is printed in any case. Exit status, the worst over the files: 0 valid, 1 rejected (or
warned of, with --strict), 2 not checked (an unknown component; a file that is missing, not a
regular file, larger than 16 MiB, not JSON, or nested too deeply to check).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import dataclasses
import io
import json
import math
import os
import re
import stat
import sys
import urllib.parse
from collections.abc import Iterator
from typing import Any, Callable, Dict, List, NoReturn, Optional, Tuple

import jsonschema

from vesprand_python_configuration import bootkit, settingsmith
from vesprand_python_configuration.cachesmith import RedisConfigurationBuilder
from vesprand_python_configuration.cloudsmith import AWSConfigurationBuilder
from vesprand_python_configuration.olapsmith import ClickHouseConfigurationBuilder
from vesprand_python_configuration.relsmith import SQLConfigurationBuilder
from vesprand_python_configuration.searchsmith import ElasticSearchConfigurationBuilder
from vesprand_python_configuration.settingsmith import ConfigurationBuilder, properties
from vesprand_python_configuration.streamsmith import KafkaConfigurationBuilder

PROGRAM = "python3 -m vesprand_python_configuration"
MASK = "***"
MAX_BYTES = 16 * 1024 * 1024
MAX_DEPTH = 500
TOO_DEEP = f"nested more than {MAX_DEPTH} levels deep"
SPELLING_CHECKS = 1000  # undeclared keys compared with the known ones, at most
LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")

# ------------------------------------------------------------------ the keys

# Every key the package reads (and the few it declares without reading): which part of it
# reads the key, and the form of the value. The key table of docs/settings.md is made from
# this table and the loader's schema (reference_table).
KEYS: Dict[str, Tuple[str, str]] = {
    "environ": ("common", 'the environment\'s name, e.g. "production"'),
    "log_enabled": ("common", 'environment names joined by commas, no blanks: "staging,production"'),
    "log_level": ("common", "DEBUG, INFO, WARNING, ERROR or CRITICAL, in any case"),
    "is_async_logger": ("common", "true for the queued logger, false for a plain one"),
    "sql_user_name": ("sql", "the SQL Server login"),
    "sql_server_ip": ("sql", 'a host, or a host and port joined by a comma: "db,1433"'),
    "sql_pass_word": ("sql", "the SQL Server password"),
    "connection_string": ("sql", "a connection string, in place of the three keys above"),
    "clickhouse_host": ("clickhouse", "the ClickHouse host"),
    "clickhouse_port": ("clickhouse", 'the port, as a string: "9000"'),
    "clickhouse_username": ("clickhouse", "the user; needed in production"),
    "clickhouse_password": ("clickhouse", "the password; needed in production"),
    "aws_access_key": ("aws", "the access key id"),
    "aws_secret_key": ("aws", "the secret access key"),
    "s3_bucket_name": ("nothing", "a bucket name, left in the extra properties"),
    "aws_s3_base_url": ("nothing", "an address, left in the extra properties"),
    "elastic_host": ("elastic", 'the Elasticsearch address: "https://search:9200"'),
    "elastic_username": ("elastic", "the user"),
    "elastic_password": ("elastic", "the password"),
    "broker": ("kafka", 'the broker address: "kafka-1:9092"'),
    "read_topic": ("kafka", "the topic the service consumes"),
    "push_topic": ("kafka", "the topic the service produces to"),
    "dead_letter_topic_name": ("kafka", "the dead-letter topic, never required"),
    "redis_host": ("redis", 'host:port, without "redis://"'),
    "g_chat_hook": ("nothing", "not read: the bootstrap reads g_chat_webhook"),
    "g_chat_error_hook": ("nothing", "not read: the bootstrap reads error_g_chat_webhook"),
    "g_chat_webhook": ("bootstrap", "the Google Chat webhook address"),
    "error_g_chat_webhook": ("bootstrap", "the webhook of error messages (else g_chat_webhook)"),
    "is_async_gchat": ("bootstrap", "true for the queued chat sender"),
    "consumer_group_id": ("bootstrap", "the Kafka consumer group"),
}

# The rules of ConfigurationBuilder.validate_required_components, in its order: the keys a
# required component needs, each non-empty (SQL: these three, or connection_string).
RULES: Dict[str, Tuple[str, ...]] = {
    "sql": ("sql_user_name", "sql_server_ip", "sql_pass_word"),
    "clickhouse": ("clickhouse_host", "clickhouse_port"),
    "aws": ("aws_access_key", "aws_secret_key"),
    "elastic": ("elastic_host", "elastic_username", "elastic_password"),
    "kafka": ("broker", "read_topic", "push_topic"),
    "redis": ("redis_host",),
}

# ---------------------------------------------------------------- the secrets

# A key is secret when one of its words (split at anything not a letter or digit, and where
# a capital follows a small letter) is one of these, or two neighbours form one of the pairs;
# its value is then never shown. "key" is a secret's word (api_key, aws_secret_key) unless a
# neighbour makes it a data key (sort_key, key_prefix). A webhook's address is shown with its
# credentials hidden, as the bootstrap logs it.
SECRET_WORDS = frozenset(
    "password passwords passwd passphrase pass pwd secret secrets token tokens auth "
    "authorization oauth credential credentials creds apikey dsn".split()
)
SECRET_PAIRS = frozenset({("connection", "string"), ("conn", "str")})
KEY_WORDS = frozenset({"key", "keys"})
DATA_KEY_BEFORE = frozenset(
    "sort partition primary foreign cache hash row range shard routing idempotency lookup "
    "dedup group index unique composite public order map redis".split()
)
DATA_KEY_AFTER = frozenset(
    "prefix suffix name names field fields pattern format count ttl type column columns "
    "separator path".split()
)
ADDRESS_WORDS = frozenset({"webhook", "webhooks", "hook", "hooks"})


def words(name: str) -> List[str]:
    return [word.lower() for word in re.findall(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|[0-9]+", name)]


def secrecy(name: str) -> Optional[str]:
    """"secret" for a key whose value is hidden whole, "address" for a webhook's, else None."""
    found = words(name)
    neighbours = list(zip([""] + found, found, found[1:] + [""]))
    if (
        SECRET_WORDS.intersection(found)
        or SECRET_PAIRS.intersection(zip(found, found[1:]))
        or any(
            word in KEY_WORDS and before not in DATA_KEY_BEFORE and after not in DATA_KEY_AFTER
            for before, word, after in neighbours
        )
    ):
        return "secret"
    return "address" if ADDRESS_WORDS.intersection(found) else None


def mask_url(url: str) -> str:
    """The address as it may be shown: the password of a user:password@ part (the whole user
    part when it has no password) and every query value replaced by ***; scheme, host, path,
    fragment and parameter names kept. The user part runs to the last @, so a password holding
    "/", "?", "#" or "@" is hidden whole; an address that urlsplit refuses keeps only its
    scheme. The bootstrap logs webhooks masked exactly so."""
    scheme, sep, rest = url.partition("://")
    if not sep:
        return url
    userinfo, at, location = rest.rpartition("@")
    try:
        parts = urllib.parse.urlsplit("//" + location)
    except ValueError:
        return f"{scheme}://{MASK}"
    if not userinfo and not parts.query:
        return url
    if userinfo:
        user, colon, _ = userinfo.partition(":")
        userinfo = f"{user}:{MASK}" if colon else MASK
    parameters = [p.partition("=") for p in parts.query.split("&")]
    query = "&".join(f"{name}={MASK}" if eq else name and MASK for name, eq, _ in parameters)
    text = f"{scheme}://{userinfo}{at}{parts.netloc}{parts.path}"
    if parts.query:
        text += f"?{query}"
    return text + (f"#{parts.fragment}" if parts.fragment else "")


def mask_addresses(text: str) -> str:
    """The text with the credentials of every address in it hidden (mask_url). Each
    "scheme://" starts an address that runs to the next one, so addresses joined by commas are
    masked one by one. A "user:password@host" without a scheme (which the Redis client
    completes with redis://) has its password hidden too."""
    found = text.find("://")
    if found < 0:
        userinfo, at, host = text.rpartition("@")
        user, colon, _ = userinfo.partition(":")
        return f"{user}:{MASK}@{host}" if colon else text
    starts: List[int] = []
    floor = 0
    while found >= 0:
        start = found
        while start > floor and (text[start - 1].isalnum() or text[start - 1] in "+-._"):
            start -= 1
        starts.append(start)
        floor = found + 3
        found = text.find("://", floor)
    ends = starts[1:] + [len(text)]
    before = mask_addresses(text[: starts[0]])
    return before + "".join(mask_url(text[s:e]) for s, e in zip(starts, ends))


def masked(value: Any, name: str = "") -> Any:
    """The value of the key `name` as it may be shown: a secret's value hidden whatever its type
    (None and "" are shown, so an absent or empty secret can be told apart), a webhook's
    address masked, containers walked by their own keys, addresses in strings masked."""
    kind = secrecy(name)
    if kind and not (value is None or value == ""):
        if kind == "address" and isinstance(value, str) and "://" in value:
            return mask_url(value)
        return MASK
    if isinstance(value, dict):  # loops, not comprehensions: one frame a level
        shown = {}
        for key, item in value.items():
            shown[key] = masked(item, str(key))
        return shown
    if isinstance(value, list):
        return list(map(masked, value))
    if isinstance(value, str):
        return mask_addresses(value)
    return value


# ------------------------------------------------------------- reading a file


class Unreadable(Exception):
    """A file that cannot be checked (status 2); the message is one line."""


def read_settings(path: str) -> Tuple[Any, List[str]]:
    """The parsed settings file, read as the loader reads it (text in the interpreter's default
    encoding, then json), and the key paths given twice in it. Only a regular file of at most
    16 MiB is read (a FIFO or a device is refused before reading); a document nested more than
    MAX_DEPTH levels is refused."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except FileNotFoundError:
        raise Unreadable("no such file") from None
    except OSError as error:
        raise Unreadable(f"cannot be read ({error.strerror})") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise Unreadable("not a regular file")
        with open(fd, "rb", closefd=False) as file:
            raw = file.read(MAX_BYTES + 1)
    except OSError as error:
        raise Unreadable(f"cannot be read ({error.strerror})") from None
    finally:
        os.close(fd)
    if len(raw) > MAX_BYTES:
        raise Unreadable("larger than 16 MiB")
    try:
        text = io.TextIOWrapper(io.BytesIO(raw)).read()
    except UnicodeDecodeError as error:
        where = f"{error.encoding} encoding (byte {error.start})"
        raise Unreadable(f"not text in the {where}") from None

    repeated: List[Tuple[Dict[str, Any], str]] = []

    def gather(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
        obj: Dict[str, Any] = {}
        for key, value in pairs:
            if key in obj:
                repeated.append((obj, key))
            obj[key] = value
        return obj

    try:
        settings = json.loads(text, object_pairs_hook=gather)
    except json.JSONDecodeError as error:
        where = f"line {error.lineno}, column {error.colno}"
        raise Unreadable(f"not a JSON file ({where}: {error.msg})") from None
    except RecursionError:
        raise Unreadable(TOO_DEEP) from None
    except ValueError as error:  # a number of more digits than int() takes
        raise Unreadable(f"not a JSON file the loader can read ({error})") from None
    paths = object_paths(settings)
    return settings, [key_path(paths[id(obj)], key) for obj, key in repeated]


def key_path(path: str, key: Any) -> str:
    """The path of `key` inside the object at `path` ("feature_flags.retag", "regions[1]"),
    shortened in the middle when long; a key that is not printable is quoted."""
    if isinstance(key, int):
        step = f"[{key}]"
    else:
        name = str(key)
        step = name if name.isprintable() and name else json.dumps(name)
        step = f".{step}" if path else step
    whole = path + step
    return whole if len(whole) <= 160 else f"{whole[:70]}...{whole[-70:]}"


def object_paths(document: Any) -> Dict[int, str]:
    """The key path of every object of the document, by id; raises Unreadable for a document
    nested more than MAX_DEPTH levels (walked without recursion)."""
    paths: Dict[int, str] = {}
    stack: List[Tuple[Any, str, int]] = [(document, "", 1)]
    while stack:
        value, path, depth = stack.pop()
        if depth > MAX_DEPTH:
            raise Unreadable(TOO_DEEP)
        if isinstance(value, dict):
            paths[id(value)] = path
            stack.extend((item, key_path(path, key), depth + 1) for key, item in value.items())
        elif isinstance(value, list):
            stack.extend((item, key_path(path, i), depth + 1) for i, item in enumerate(value))
    return paths


# ------------------------------------------------------------------ the checks


@dataclasses.dataclass(frozen=True)
class Problem:
    key: str  # the key path it is about; "" for the whole file
    message: str


class GatheringValidation:
    """Stands in for jsonschema in settingsmith's module namespace, where the loader finds it at
    each call: the loader validates as ever, while the schema it validates against and every
    error of the validation, not only the one it raises, are kept. The loader's schema is made
    by the package, so it is not checked first as jsonschema.validate would (at a cost that
    grows with the number of undeclared keys); the error raised is the one it would raise."""

    def __init__(self) -> None:
        self.schema: Dict[str, Any] = {}
        self.errors: List[Any] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(jsonschema, name)

    def validate(self, instance: Any, schema: Dict[str, Any]) -> None:
        self.schema = schema
        validator = jsonschema.validators.validator_for(schema)(schema)
        self.errors = list(validator.iter_errors(instance))
        error = jsonschema.exceptions.best_match(self.errors)
        if error is not None:
            raise error


@contextlib.contextmanager
def loader_validation() -> Iterator[GatheringValidation]:
    """The loader's validation gathered while the block runs; the checker is the only user of
    the module meanwhile."""
    gathering = GatheringValidation()
    settingsmith.jsonschema = gathering
    try:
        yield gathering
    finally:
        settingsmith.jsonschema = jsonschema


def loader_schema(settings: Dict[str, Any]) -> Dict[str, Any]:
    """The schema the loader validates `settings` against: the base schema, with the settings'
    undeclared keys declared under "extra"."""
    with loader_validation() as seen, contextlib.suppress(settingsmith.InvalidConfigurationError):
        ConfigurationBuilder().load_from_dict(settings)
    return seen.schema


def load(settings: Dict[str, Any], required: List[str]) -> Tuple[Dict[str, Any], List[Any], bool]:
    """Loads the settings as a service does, every component builder registered: the record's
    attributes, every schema error, and whether the loader refused them."""
    builder = ConfigurationBuilder()
    record = builder.get_configuration()
    builder.set_sql_builder(SQLConfigurationBuilder(record))
    builder.set_clickhouse_builder(ClickHouseConfigurationBuilder(record))
    builder.set_aws_builder(AWSConfigurationBuilder(record))
    builder.set_elastic_builder(ElasticSearchConfigurationBuilder(record))
    builder.set_kafka_builder(KafkaConfigurationBuilder(record))
    builder.set_redis_builder(RedisConfigurationBuilder(record))
    refused = False
    with loader_validation() as seen:
        try:
            builder.load_from_dict(settings, required)
        except Exception:  # its message may hold a value: the checker names the mistakes itself
            refused = True
    return dict(record.__dict__), seen.errors, refused


JSON_TYPES = {
    bool: "boolean",
    int: "integer",
    float: "number",
    str: "string",
    list: "array",
    dict: "object",
    type(None): "null",
}


def article(name: str) -> str:
    return ("an " if name[0] in "aeiou" else "a ") + name


def json_type(value: Any) -> str:
    return article(JSON_TYPES.get(type(value), "value"))


def schema_problem(error: jsonschema.ValidationError) -> Problem:
    """One schema error, named by its key and the form the key expects; never its value."""
    path = ""
    for step in error.path:
        path = key_path(path, step)
    if error.validator == "required":
        for key in error.validator_value:
            if error.message == f"{key!r} is a required property":
                form = f" ({KEYS[key][1]})" if not path and key in KEYS else ""
                return Problem(key_path(path, key), f"required key is missing{form}")
    if error.validator == "type" and isinstance(error.validator_value, str):
        form = f" ({KEYS[path][1]})" if path in KEYS else ""
        expected = article(error.validator_value)
        return Problem(path, f"must be {expected}, not {json_type(error.instance)}{form}")
    return Problem(path, f"does not meet the schema's {error.validator!r} rule")


def and_list(names: Tuple[str, ...]) -> str:
    return names[0] if len(names) == 1 else f"{', '.join(names[:-1])} and {names[-1]}"


def component_problems(settings: Dict[str, Any], required: List[str]) -> Iterator[Problem]:
    """Every rule of a required component that fails, naming the keys it needs."""
    for component, keys in RULES.items():
        if component not in required:
            continue
        missing = tuple(key for key in keys if not settings.get(key))
        if component == "sql" and settings.get("connection_string"):
            continue
        needs = ("connection_string, or all of " if component == "sql" else "") + and_list(keys)
        form = "each a non-empty string" if len(keys) > 1 else "a non-empty string"
        if missing:
            message = f"missing or empty: component {component} needs {needs}, {form}"
            yield Problem(", ".join(missing), message)


def startup_problems(settings: Dict[str, Any], required: List[str]) -> Iterator[Problem]:
    """The bootstrap's checks of the required components that need no server."""
    if "clickhouse" in required and settings["environ"].lower() == "production":
        user, password = settings.get("clickhouse_username"), settings.get("clickhouse_password")
        if not (
            user
            and password
            and user != "CLICKHOUSE_WRITE_USERNAME"
            and password != "CLICKHOUSE_WRITE_PASS_WORD"
        ):
            yield Problem(
                "clickhouse_username, clickhouse_password",
                "in production configure_clickhouse needs both, other than the placeholders "
                "CLICKHOUSE_WRITE_USERNAME and CLICKHOUSE_WRITE_PASS_WORD",
            )
    server = settings.get("sql_server_ip")
    if "sql" in required and isinstance(server, str) and "," in server:
        parts = server.split(",")
        if len(parts) != 2:
            form = f"a host, or a host and a port joined by one comma, not {len(parts)} parts"
            yield Problem("sql_server_ip", f"must be {form}")
        else:
            try:
                int(parts[1])
            except ValueError:
                yield Problem("sql_server_ip", "the port after the comma must be a whole number")


class Quiet:
    """The logger the bootstrap steps get here: what they refuse they also raise."""

    def _drop(self, msg: str, *args: Any, **kwargs: Any) -> None:
        pass

    info = warning = error = debug = _drop


def bootstrap_refusal(record: Dict[str, Any], required: List[str]) -> Optional[str]:
    """Runs the bootstrap steps of the required components that check their settings without a
    server; names the one that refuses the settings, in case the checks above miss a reason."""
    steps: List[Tuple[str, Callable[[], Any]]] = []
    if "clickhouse" in required:
        environ = record["_environ"]
        steps.append(
            ("configure_clickhouse", lambda: bootkit.configure_clickhouse(record, environ, Quiet()))
        )
    if "sql" in required and record.get("_sql_server_ip") is not None:
        steps.append(("configure_db_auth", lambda: bootkit.configure_db_auth(record, "check")))
    if "kafka" in required:
        steps.append(("configuration_kafka", lambda: bootkit.configuration_kafka(record)))
    for name, step in steps:
        try:
            asyncio.run(step())
        except Exception as error:
            return f"bootkit.{name} refuses these settings ({type(error).__name__})"
    return None


def osa_distance(a: str, b: str) -> int:
    """Edits (insert, delete, replace, swap of neighbours) that turn a into b."""
    before: List[int] = []
    previous = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        current = [i] + [0] * len(b)
        for j, y in enumerate(b, 1):
            current[j] = min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (x != y))
            if i > 1 and j > 1 and x == b[j - 2] and a[i - 2] == y:
                current[j] = min(current[j], before[j - 2] + 1)
        before, previous = previous, current
    return previous[-1]


def nearest_key(key: str) -> Optional[str]:
    """The known key that `key` is likely a misspelling of: one edit away (two for a long key),
    letter case aside."""
    best: Optional[Tuple[int, str]] = None
    for known in KEYS:
        limit = 1 if len(known) <= 10 else 2
        if abs(len(known) - len(key)) <= limit:
            distance = osa_distance(key.lower(), known)
            if distance <= limit and (best is None or distance < best[0]):
                best = (distance, known)
    return best[1] if best else None


# What the loader accepts and is almost surely a mistake.
LEVEL_NAME = f"not a level name ({', '.join(LEVELS[:-1])} or {LEVELS[-1]}, in any case): "
NOT_A_BOOLEAN = 'a string counts as true unless empty, "false" too: write true or false unquoted'
BLANK_NAME = "a blank beside a comma becomes part of an environment's name, which never matches"
REDIS_SCHEME = (
    'give host:port without "redis://": the cluster client reads the scheme as the host '
    '"redis", and configure_redis with its default client type 1 fails on it'
)
UNREAD_HOOKS = {"g_chat_hook": "g_chat_webhook", "g_chat_error_hook": "error_g_chat_webhook"}


def lint(settings: Dict[str, Any]) -> Iterator[Problem]:
    level = settings.get("log_level")
    if "log_level" in settings and not (isinstance(level, str) and level.upper() in LEVELS):
        outcome = "the logger would log at ERROR" if isinstance(level, str) else "not a string"
        yield Problem("log_level", LEVEL_NAME + outcome)
    for key in ("is_async_logger", "is_async_gchat"):
        if isinstance(settings.get(key), str):
            yield Problem(key, NOT_A_BOOLEAN)
    enabled = settings.get("log_enabled")
    if isinstance(enabled, str) and any(name != name.strip() for name in enabled.split(",")):
        yield Problem("log_enabled", BLANK_NAME)
    redis_host = settings.get("redis_host")
    if isinstance(redis_host, str) and "://" in redis_host:
        yield Problem("redis_host", REDIS_SCHEME)
    for key, read in UNREAD_HOOKS.items():
        if settings.get(key) and not settings.get(read):
            yield Problem(key, f"the bootstrap does not read this key; it reads {read}")
    for key in [key for key in settings if key not in KEYS][:SPELLING_CHECKS]:
        near = nearest_key(key)
        if near:
            yield Problem(key, f"not a key the package reads; did you mean {near}?")


@dataclasses.dataclass
class Report:
    file: str
    required: List[str]
    readable: bool = True
    errors: List[Problem] = dataclasses.field(default_factory=list)
    warnings: List[Problem] = dataclasses.field(default_factory=list)
    record: Optional[Dict[str, Any]] = None

    def status(self, strict: bool) -> int:
        if not self.readable:
            return 2
        return 1 if self.errors or (strict and self.warnings) else 0


def check_file(path: str, required: List[str]) -> Report:
    report = Report(path, required)
    try:
        settings, repeated = read_settings(path)
    except Unreadable as error:
        report.readable = False
        report.errors.append(Problem("", str(error)))
        return report
    if not isinstance(settings, dict):
        not_object = f"the settings must be a JSON object, not {json_type(settings)}"
        report.errors.append(Problem("", not_object))
        return report
    twice = "given twice in the file; the loader keeps the last"
    report.warnings += [Problem(key, twice) for key in repeated]
    report.warnings += lint(settings)
    record, schema_errors, refused = load(settings, required)
    report.errors += map(schema_problem, schema_errors)
    report.errors += component_problems(settings, required)
    if not report.errors:
        report.errors += startup_problems(settings, required)
    if not report.errors and refused:
        report.errors.append(Problem("", "the loader refuses these settings"))
    if not report.errors:
        refusal = bootstrap_refusal(record, required)
        if refusal:
            report.errors.append(Problem("", refusal))
    if not report.errors:
        report.record = record
    return report


def reference_table() -> str:
    """The key table of docs/settings.md, made from the loader's schema, RULES and KEYS."""
    schema = loader_schema({})
    declared, required = schema["properties"], schema["required"]
    rows = [
        "| key | JSON type | required | read by | the checker shows | the value |",
        "|---|---|---|---|---|---|",
    ]
    shown = {"secret": "nothing", "address": "the address, credentials hidden", None: "the value"}
    readers = {"common": "the record", "bootstrap": "the bootstrap", "nothing": "nothing"}
    for key, (reader, form) in KEYS.items():
        kind = declared[key]["type"] if key in declared else "any (not declared)"
        needed = "always" if key in required else "no"
        for component, keys in RULES.items():
            if key in keys or (component, key) == ("sql", "connection_string"):
                needed = f"with `{component}`"
        if reader == "sql":
            other = "the three others" if key == "connection_string" else "`connection_string`"
            needed += f", unless {other}"
        by = readers.get(reader, f"the `{reader}` builder")
        rows.append(f"| `{key}` | {kind} | {needed} | {by} | {shown[secrecy(key)]} | {form} |")
    return "\n".join(rows) + "\n"


# ------------------------------------------------------------------ the output


def say(stream_name: str, text: str) -> None:
    """Writes a line to sys.stdout or sys.stderr; once the reader has gone (`check ... | head`)
    the rest is dropped quietly."""
    stream = getattr(sys, stream_name)
    try:
        stream.write(text + "\n")
    except BrokenPipeError:
        drop_output(stream)


def drop_output(stream: Any) -> None:
    with contextlib.suppress(OSError, ValueError, AttributeError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())


def show(record: Dict[str, Any]) -> str:
    lines = []
    for name, value in record.items():
        if isinstance(value, dict) and value:
            lines.append(f"{name}:")
            lines.extend(f"    {key} = {item!r}" for key, item in value.items())
        else:
            lines.append(f"{name} = {value!r}")
    return "\n".join(lines)


def finite(value: Any) -> Any:
    """The value with every NaN and infinity as the string json would write for it, so that the
    output is JSON."""
    if isinstance(value, float) and not math.isfinite(value):
        return json.dumps(value)
    if isinstance(value, dict):
        return dict(zip(value, map(finite, value.values())))
    if isinstance(value, list):
        return list(map(finite, value))
    return value


def print_text(report: Report) -> None:
    if not report.readable:
        say("stderr", f"{report.file}: cannot check: {report.errors[0].message}")
        return
    for kind, problems in (("error", report.errors), ("warning", report.warnings)):
        for problem in problems:
            key = f"{problem.key}: " if problem.key else ""
            say("stderr", f"{report.file}: {kind}: {key}{problem.message}")
    if report.record is not None:
        say("stdout", f"{report.file}: valid (required: {', '.join(report.required) or 'none'})")
        say("stdout", show(masked(report.record)))


def as_json(report: Report, strict: bool) -> Dict[str, Any]:
    return {
        "file": report.file,
        "status": report.status(strict),
        "required": report.required,
        "errors": [dataclasses.asdict(problem) for problem in report.errors],
        "warnings": [dataclasses.asdict(problem) for problem in report.warnings],
        "record": None if report.record is None else masked(report.record),
    }


def say_json(document: Dict[str, Any]) -> None:
    say("stdout", json.dumps(finite(document), indent=2, allow_nan=False))


def parse_components(text: Optional[str]) -> List[str]:
    names = [name.strip() for name in (text or "").split(",") if name.strip()]
    unknown = [name for name in names if name not in properties]
    if unknown:
        known = ", ".join(properties)
        raise Unreadable(f"unknown component {', '.join(map(repr, unknown))} (known: {known})")
    return names


def check(args: argparse.Namespace) -> int:
    if args.schema:
        say("stdout", json.dumps(loader_schema({}), indent=2))
        return 0
    try:
        required = parse_components(args.require)
    except Unreadable as error:
        if args.json:
            say_json({"status": 2, "error": str(error), "reports": []})
        else:
            say("stderr", f"{PROGRAM} check: {error}")
        return 2
    reports = []
    for path in args.settings:
        report = check_file(path, required)
        reports.append(report)
        if not args.json:
            print_text(report)
    status = max(report.status(args.strict) for report in reports)
    if args.json:
        say_json({"status": status, "reports": [as_json(r, args.strict) for r in reports]})
    return status


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def main(argv: Optional[List[str]] = None) -> int:
    parser = Parser(prog=PROGRAM, description="Tools for the settings of a service.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    checker = commands.add_parser(
        "check",
        help="check settings files as the service's loader would",
        description="Checks each SETTINGS file as ConfigurationBuilder.load_from_file does, every "
        "component builder registered, and names every mistake with its key; warns of what "
        "the loader accepts but is likely a mistake; prints a valid file's record with its "
        "secrets masked. Exit status, the worst over the files: 0 valid, 1 rejected (or warned "
        "of, with --strict), 2 not checked.",
    )
    checker.add_argument("settings", metavar="SETTINGS.json", nargs="*")
    checker.add_argument(
        "--require",
        metavar="COMPONENTS",
        help=f"comma-separated components the service requires ({', '.join(properties)})",
    )
    checker.add_argument("--json", action="store_true", help="print one JSON object: the reports")
    checker.add_argument("--strict", action="store_true", help="a warning rejects the file")
    checker.add_argument(
        "--schema", action="store_true", help="print the JSON schema the loader validates against"
    )
    args = parser.parse_args(argv)
    if args.schema == bool(args.settings):
        parser.error("check needs SETTINGS files, or --schema alone")
    try:
        return check(args)
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except BrokenPipeError:
                drop_output(stream)


if __name__ == "__main__":
    sys.exit(main())
