"""A service's whole start-up, from settings file to ready components, and
each configure function, against the same steps written in plain Python.

"start-up" runs the road of a service start: a ConfigurationBuilder with
every component builder, load_from_file, then inside one event loop the six
configure functions with the real collaborators (console logger, chat
messenger, Redis wrapper), against a local redis-server and webhook receiver
started once, outside the timing. Its floor is the same road with the
configure steps in plain Python. The per-function rows time the functions'
own work, with collaborators that return at once, on both sides.

Run with the built package on the path:
    PYTHONPATH=<build dir> python3 -P benchmarks/bench_bootkit.py
"""

from __future__ import annotations

import asyncio
import json
import logging
import pathlib
import sys
import tempfile
import types
from dataclasses import dataclass
from typing import Any, Optional

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]  # the harness; the local servers

import harness  # noqa: E402
from redis_servers import single_server  # noqa: E402
from webhook_receiver import WebhookReceiver  # noqa: E402

from vesprand_python_configuration import bootkit  # noqa: E402
from vesprand_python_configuration.__main__ import mask_url  # noqa: E402
from vesprand_python_configuration.cachesmith import RedisConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.cloudsmith import AWSConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.olapsmith import ClickHouseConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.relsmith import SQLConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.searchsmith import (  # noqa: E402
    ElasticSearchConfigurationBuilder,
)
from vesprand_python_configuration.settingsmith import ConfigurationBuilder  # noqa: E402
from vesprand_python_configuration.streamsmith import KafkaConfigurationBuilder  # noqa: E402

SERVICE = "bench-bootkit"
CALLS = 20000
EXAMPLE = HERE.parent / "examples" / "settings.json"

# ------------------------------------------------- the steps in plain Python


@dataclass
class LoggerConfig:
    logger: Any
    log_enabled: list[str]

    def __iter__(self):
        yield self.logger
        yield self.log_enabled


@dataclass
class GoogleChatConfig:
    g_chat: Any

    def __iter__(self):
        yield self.g_chat


@dataclass
class KafkaConfig:
    broker: Any
    read_topic: Any
    push_topic: Optional[Any]
    consumer_group_id: Optional[Any]


@dataclass
class DBConfig:
    host: str
    port: int
    username: str
    password: str
    database: str


@dataclass
class RedisConfig:
    redis_obj: Any

    def __iter__(self):
        yield self.redis_obj


def python_kit(collaborators):
    """The configure functions in plain Python, calling `collaborators`."""

    def check(name, value, expected):
        if type(value) is not expected:
            raise TypeError(f"Argument '{name}' has incorrect type")

    async def logger_steps(service_name, configuration):
        is_async_logger = configuration.get("_is_async_logger", False)
        log_level = configuration["_log_level"]
        logger = collaborators.setup_logger(
            service_name, async_mode=is_async_logger, log_level_str=log_level
        )
        logger.info("Logger configured" + (" in async mode" if is_async_logger else ""))
        log_enabled = configuration.get("_log_enabled", "PRODUCTION").split(",")
        logger.info("Log enabled for environment: " + str(log_enabled))
        return LoggerConfig(logger=logger, log_enabled=log_enabled)

    def configure_logger(service_name, configuration):
        check("service_name", service_name, str)
        check("configuration", configuration, dict)
        return logger_steps(service_name, configuration)

    def masked(address):
        return mask_url(address) if type(address) is str else address

    async def chat_steps(service_name, configuration, environ, log_enabled, logger):
        extra = configuration.get("_extra_properties", {})
        is_async_gchat = extra.get("is_async_gchat", False)
        hook = extra.get("g_chat_webhook", None)
        error_hook = extra.get("error_g_chat_webhook", None)
        logger.info("Google Chat async mode: " + str(is_async_gchat))
        logger.info("Google Chat webhook: " + str(masked(hook)))
        logger.info("Error Google Chat webhook: " + str(masked(error_hook)))
        g_chat = collaborators.setup_google_chat_messenger(
            service_name, hook, error_hook, environ, is_async_gchat, log_enabled, logger
        )
        return GoogleChatConfig(g_chat=g_chat)

    def configure_google_chat(service_name, configuration, environ, log_enabled, logger):
        check("service_name", service_name, str)
        check("configuration", configuration, dict)
        check("log_enabled", log_enabled, list)
        return chat_steps(service_name, configuration, environ, log_enabled, logger)

    async def clickhouse_steps(configuration, environ, logger):
        host = configuration.get("_clickhouse_host", None)
        port = configuration.get("_clickhouse_port", None)
        username = configuration.get("_clickhouse_username", None)
        password = configuration.get("_clickhouse_password", None)
        logger.info("Configuring ClickHouse for " + environ.upper() + " environment.")
        if not host or not port:
            logger.error("Missing ClickHouse host or port in configuration.")
            raise ValueError("Missing ClickHouse host or port in configuration.")
        secure = environ.lower() == "production"
        requires_auth = (
            username
            and password
            and username != "CLICKHOUSE_WRITE_USERNAME"
            and password != "CLICKHOUSE_WRITE_PASS_WORD"
        )
        if secure and not requires_auth:
            logger.error("Invalid ClickHouse credentials in production.")
            raise ValueError("Invalid ClickHouse username or password in production.")
        auth_config = {"host": host, "port": port, "secure": secure, "verify": secure,
                       "max_query_size": 20000000}  # fmt: skip
        if requires_auth:
            auth_config.update({"username": username, "password": password})
        logger.info("ClickHouse connection configured successfully for " + environ.upper() + ".")
        return auth_config

    def configure_clickhouse(configuration, environ, logger):
        check("configuration", configuration, dict)
        check("environ", environ, str)
        return clickhouse_steps(configuration, environ, logger)

    async def kafka_steps(configuration):
        broker = configuration["_broker"]
        read_topic = configuration["_read_topic"]
        push_topic = configuration.get("_push_topic", None)
        consumer_group_id = configuration.get("_extra_properties", {}).get("consumer_group_id")
        return KafkaConfig(broker=broker, read_topic=read_topic, push_topic=push_topic,
                           consumer_group_id=consumer_group_id)  # fmt: skip

    def configuration_kafka(configuration):
        check("configuration", configuration, dict)
        return kafka_steps(configuration)

    async def db_steps(configuration, database_name):
        sql_server_ip = configuration.get("_sql_server_ip", None)
        sql_user_name = configuration.get("_sql_user_name", None)
        sql_pass_word = configuration.get("_sql_pass_word", None)
        if "," in sql_server_ip:
            host, port = sql_server_ip.split(",")
            port = int(port)
        else:
            host, port = sql_server_ip, 1433
        return DBConfig(host=host, port=port, username=sql_user_name, password=sql_pass_word,
                        database=database_name)  # fmt: skip

    def configure_db_auth(configuration, database_name):
        check("configuration", configuration, dict)
        check("database_name", database_name, str)
        return db_steps(configuration, database_name)

    def configure_redis(configuration, environ, logger, client_type=1, decode_responses=False):
        check("configuration", configuration, dict)
        check("client_type", client_type, int)
        redis_obj = None
        redis_url = configuration.get("_redis_host")
        if redis_url and redis_url != "REDIS_SERVER" and redis_url != "" and redis_url != " ":
            redis_obj = collaborators.RedisClientFactory.create(
                redis_url, environ, client_type, logger, decode_responses
            )
            if not redis_obj:
                logger.warning("Exception while initializing the redis")
                collaborators.sys.exit(0)
        return RedisConfig(redis_obj=redis_obj)

    return types.SimpleNamespace(**{k: v for k, v in locals().items() if k.startswith("conf")})


# ------------------------------------------------------------------- the cases


def finish(coroutine):
    """The value of a coroutine that completes without suspending."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")


def start_up(kit, settings_path):
    """From the settings file to ready components, as a service starts."""
    builder = ConfigurationBuilder()
    record = builder.get_configuration()
    builder.set_sql_builder(SQLConfigurationBuilder(record))
    builder.set_clickhouse_builder(ClickHouseConfigurationBuilder(record))
    builder.set_aws_builder(AWSConfigurationBuilder(record))
    builder.set_elastic_builder(ElasticSearchConfigurationBuilder(record))
    builder.set_kafka_builder(KafkaConfigurationBuilder(record))
    builder.set_redis_builder(RedisConfigurationBuilder(record))
    builder.load_from_file(settings_path, ["sql", "clickhouse", "aws", "elastic", "kafka", "redis"])
    configuration = record.__dict__

    async def configure():
        environ = configuration["_environ"]
        logger, log_enabled = await kit.configure_logger(SERVICE, configuration)
        await kit.configure_google_chat(SERVICE, configuration, environ, log_enabled, logger)
        await kit.configure_clickhouse(configuration, environ, logger)
        await kit.configuration_kafka(configuration)
        await kit.configure_db_auth(configuration, "reports")
        kit.configure_redis(configuration, environ, logger, client_type=2, decode_responses=True)

    asyncio.run(configure())
    logging.getLogger(SERVICE).handlers.clear()  # each start-up adds a console handler


class Quiet:
    def info(self, msg):
        pass

    error = warning = info


def calls(make):
    def run():
        for _ in range(CALLS):
            result = make()
            if hasattr(result, "send"):
                finish(result)

    return run


def cases(stack):
    redis = stack.enter_context(single_server())
    hook = stack.enter_context(WebhookReceiver())
    settings = json.loads(EXAMPLE.read_text()) | {
        "log_level": "ERROR",  # the start-up's info lines are filtered, not printed
        "is_async_logger": False,
        "is_async_gchat": False,
        "redis_host": redis.address,
        "g_chat_webhook": hook.url("/alerts"),
        "error_g_chat_webhook": hook.url("/errors"),
    }
    folder = stack.enter_context(tempfile.TemporaryDirectory())
    settings_path = str(pathlib.Path(folder) / "settings.json")
    pathlib.Path(settings_path).write_text(json.dumps(settings))
    plain = python_kit(bootkit)  # the real collaborators, found on the module at each call

    quiet = Quiet()
    stand_ins = types.SimpleNamespace(
        setup_logger=lambda *a, **k: quiet,
        setup_google_chat_messenger=lambda *a: object(),
        RedisClientFactory=types.SimpleNamespace(create=lambda *a: object()),
        sys=sys,
    )
    fast = python_kit(stand_ins)
    saved = {name: getattr(bootkit, name) for name in vars(stand_ins)}

    def use(collaborators):
        for name, value in vars(collaborators).items():
            setattr(bootkit, name, value)

    configuration = {
        "_log_level": "INFO", "_log_enabled": "staging,production", "_is_async_logger": False,
        "_extra_properties": {"g_chat_webhook": "http://h/a", "consumer_group_id": "g"},
        "_clickhouse_host": "ch", "_clickhouse_port": "9000", "_clickhouse_username": "u",
        "_clickhouse_password": "p", "_broker": "b", "_read_topic": "r", "_push_topic": "p",
        "_sql_server_ip": "db,1500", "_sql_user_name": "u", "_sql_pass_word": "p",
        "_redis_host": "127.0.0.1:6379",
    }  # fmt: skip
    steps = {
        "configure_logger": lambda kit: kit.configure_logger(SERVICE, configuration),
        "configure_google_chat": lambda kit: kit.configure_google_chat(
            SERVICE, configuration, "staging", [], quiet
        ),
        "configure_clickhouse": lambda kit: kit.configure_clickhouse(
            configuration, "production", quiet
        ),
        "configuration_kafka": lambda kit: kit.configuration_kafka(configuration),
        "configure_db_auth": lambda kit: kit.configure_db_auth(configuration, "reports"),
        "configure_redis": lambda kit: kit.configure_redis(configuration, "staging", quiet, 2),
    }

    def with_stand_ins(run):
        def timed():
            use(stand_ins)
            try:
                run()
            finally:
                use(types.SimpleNamespace(**saved))

        return timed

    return [
        harness.Case(
            "bootkit: start-up, settings file to ready components",
            lambda: start_up(bootkit, settings_path),
            lambda: start_up(plain, settings_path),
            rounds=15,
            warmup=2,
        ),
        *[
            harness.Case(
                f"bootkit.{name}",
                with_stand_ins(calls(lambda step=step: step(bootkit))),
                calls(lambda step=step: step(fast)),
                ops=CALLS,
            )
            for name, step in steps.items()
        ],
    ]


if __name__ == "__main__":
    rows = harness.run(cases)
    print(f"\nstart-ups per second: {1 / rows[0].native:.0f} (plain Python: {1 / rows[0].floor:.0f})")
