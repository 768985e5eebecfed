"""A service's whole start-up, end to end, against local servers.

Starts a redis-server on a free loopback port and a chat webhook receiver,
points a copy of the settings file at them, assembles the configuration with
every component builder registered, turns it into ready components with the
bootstrap functions inside the event loop, and then uses each of them: a log
line, a chat alert (shown as the receiver got it), a key and category counters
in Redis (read back from the server itself), and the ClickHouse, SQL Server and
Kafka settings the service would hand to its own clients.

What it started is stopped by its pid on the way out, also when a step fails;
a failing step ends the run with one message naming the step and status 1.

    python3 examples/service.py [SETTINGS.json]
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import json
import pathlib
import sys
import tempfile
from typing import Any, Iterator

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

from redis_servers import RedisServer, single_server  # type: ignore[import]  # noqa: E402
from webhook_receiver import WebhookReceiver  # type: ignore[import]  # noqa: E402

from vesprand_python_configuration import bootkit  # noqa: E402
from vesprand_python_configuration.cachesmith import RedisConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.cloudsmith import AWSConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.olapsmith import ClickHouseConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.relsmith import SQLConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.scribeset import AsyncLogger  # noqa: E402
from vesprand_python_configuration.searchsmith import ElasticSearchConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.settingsmith import ConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.streamsmith import KafkaConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.toolchest import GoogleChatAsyncMessenger  # noqa: E402

SERVICE = "example-service"
REQUIRED = ["sql", "clickhouse", "aws", "elastic", "kafka", "redis"]
DATABASE = "reports"
GREETING_KEY = f"{SERVICE}:greeting"
OPERATION = "startup-check"
# Categories 7 > 8 > 7 and 7 > 9: fields 7, 8 and 9 end at 2, 1 and 1.
BATCH = [{"id": 7, "subCategories": [{"id": 8, "subSubCategories": [{"id": 7}]}, {"id": 9}]}]


class StepFailed(Exception):
    """A start-up step failed; the message names the step and the cause."""


@contextlib.contextmanager
def step(name: str) -> Iterator[None]:
    try:
        yield
    except StepFailed:
        raise
    except SystemExit as stop:  # configure_redis ends the process when it gets no client
        raise StepFailed(f"{name} gave up and asked to exit (status {stop.code})") from stop
    except Exception as error:
        raise StepFailed(f"{name}: {type(error).__name__}: {error}") from error


def show(text: str) -> None:
    print(text, flush=True)


def point_at(settings_path: str, redis: RedisServer, hook: WebhookReceiver, folder: str) -> str:
    """A copy of the settings with Redis and the chat webhooks on the local
    servers. A file that cannot be read as a JSON object is passed on as it
    is, for the configuration builder to reject in its own words."""
    try:
        settings = json.loads(pathlib.Path(settings_path).read_text())
    except (OSError, ValueError):
        return settings_path
    if not isinstance(settings, dict):
        return settings_path
    settings["redis_host"] = redis.address
    settings["g_chat_hook"] = settings["g_chat_webhook"] = hook.url("/hooks/alerts")
    settings["g_chat_error_hook"] = settings["error_g_chat_webhook"] = hook.url("/hooks/errors")
    local = pathlib.Path(folder) / "settings.json"
    local.write_text(json.dumps(settings, indent=2))
    return str(local)


def load(settings_path: str) -> dict[str, Any]:
    """The configuration record's attribute dictionary, assembled with every
    component builder registered."""
    builder = ConfigurationBuilder()
    record = builder.get_configuration()
    builder.set_sql_builder(SQLConfigurationBuilder(record))
    builder.set_clickhouse_builder(ClickHouseConfigurationBuilder(record))
    builder.set_aws_builder(AWSConfigurationBuilder(record))
    builder.set_elastic_builder(ElasticSearchConfigurationBuilder(record))
    builder.set_kafka_builder(KafkaConfigurationBuilder(record))
    builder.set_redis_builder(RedisConfigurationBuilder(record))
    with step("load_from_file"):
        builder.load_from_file(settings_path, REQUIRED)
    show(f"configuration: loaded with components {', '.join(REQUIRED)}")
    configuration: dict[str, Any] = builder.get_configuration().__dict__
    return configuration


def masked(values: dict[str, Any]) -> dict[str, Any]:
    return {k: "***" if k == "password" and v else v for k, v in values.items()}


async def start(configuration: dict[str, Any], redis: RedisServer, hook: WebhookReceiver) -> None:
    with step("configure_logger"):
        logger, log_enabled = await bootkit.configure_logger(SERVICE, configuration)
    # What a queued logger is given is written at the latest when the loop
    # ends (asyncio.run returns), also when a step fails.
    await configure_and_use(configuration, logger, log_enabled, redis, hook)


async def configure_and_use(
    configuration: dict[str, Any],
    logger: Any,
    log_enabled: list[str],
    redis: RedisServer,
    hook: WebhookReceiver,
) -> None:
    environ = configuration["_environ"]
    with step("configure_google_chat"):
        (g_chat,) = await bootkit.configure_google_chat(
            SERVICE, configuration, environ, log_enabled, logger
        )
    with step("configure_clickhouse"):
        clickhouse = await bootkit.configure_clickhouse(configuration, environ, logger)
    with step("configuration_kafka"):
        kafka = await bootkit.configuration_kafka(configuration)
    with step("configure_db_auth"):
        database = await bootkit.configure_db_auth(configuration, DATABASE)
    with step("configure_redis"):
        (client,) = bootkit.configure_redis(
            configuration, environ, logger, client_type=2, decode_responses=True
        )

    with step("logging"):
        logger.info(f"{SERVICE} is ready")
        if isinstance(logger, AsyncLogger):
            await logger.flush()  # the line is on the console before the next one
    show(f"logger: {type(logger).__name__}, logging enabled for {log_enabled}")

    with step("chat alert"):
        if environ in log_enabled:
            g_chat.send_message(f"{SERVICE} started in {environ}", 1)
            if isinstance(g_chat, GoogleChatAsyncMessenger):
                await g_chat.flush()  # posted (or failed) by now
            (request,) = await asyncio.to_thread(hook.wait_for, 1, 10.0)
            card = json.loads(request.body)
            text = card["cards"][0]["sections"][0]["widgets"][0]["textParagraph"]["text"]
            show(f"chat: {type(g_chat).__name__} -> {request.method} {request.path}: {text}")
        else:
            show(f"chat: alerts are off in {environ!r} (enabled for {log_enabled})")

    with step("redis"):
        if client is None:
            raise RuntimeError("the settings name no Redis server")
        if client.set(GREETING_KEY, f"hello from {SERVICE}") is not True:
            raise RuntimeError(f"could not set {GREETING_KEY!r} (see the log)")
        stored = redis.command("GET", GREETING_KEY)
        show(f"redis: {type(client).__name__}; {GREETING_KEY!r} on the server: {stored!r}")
        client.increment_category_counts(OPERATION, BATCH)
        key = f"Mod:RetagOperations:{OPERATION}:category_counts"
        reply = redis.command("HGETALL", key)
        counts = dict(zip(reply[::2], reply[1::2]))
        if not counts:
            raise RuntimeError(f"no category counts under {key!r} (see the log)")
        show(f"redis: category counts of {OPERATION!r} on the server: {counts}")

    show(f"clickhouse: {masked(clickhouse)}")
    show(f"sql server: {dataclasses.replace(database, password='***')}")
    show(f"kafka: {kafka}")


def main(settings_path: str) -> int:
    try:
        with contextlib.ExitStack() as started:
            with step("starting redis-server"):
                redis = started.enter_context(single_server())
            assert redis.process is not None
            show(f"redis-server: {redis.address} (pid {redis.process.pid})")
            with step("starting the webhook receiver"):
                hook = started.enter_context(WebhookReceiver())
            show(f"webhook receiver: {hook.url()}")
            folder = started.enter_context(tempfile.TemporaryDirectory())
            configuration = load(point_at(settings_path, redis, hook, folder))
            asyncio.run(start(configuration, redis, hook))
    except StepFailed as failure:
        print(f"start-up failed at {failure}", file=sys.stderr, flush=True)
        return 1
    show("start-up complete; local servers stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "examples" / "settings.json")))
