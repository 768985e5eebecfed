"""Service bootstrap: the records a starting service gets its components in,
and the configure functions that make them from the configuration record's
attribute dictionary."""

import sys
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional

from vesprand_python_configuration.cachelink import RedisClientFactory
from vesprand_python_configuration.scribeset import setup_logger
from vesprand_python_configuration.toolchest import setup_google_chat_messenger

@dataclass
class LoggerConfig:
    logger: Any
    log_enabled: List[str]
    def __iter__(self) -> Iterator[Any]: ...

@dataclass
class GoogleChatConfig:
    g_chat: Any
    def __iter__(self) -> Iterator[Any]: ...

@dataclass
class KafkaConfig:
    broker: Any
    read_topic: Any
    push_topic: Optional[Any]
    consumer_group_id: Optional[Any]
    def __iter__(self) -> Iterator[Any]: ...

@dataclass
class DBConfig:
    host: str
    port: int
    # None when the settings have no SQL Server login.
    username: Optional[str]
    password: Optional[str]
    database: str

@dataclass
class RedisConfig:
    redis_obj: Any
    def __iter__(self) -> Iterator[Any]: ...

async def configure_logger(service_name: str, configuration: Dict[str, Any]) -> LoggerConfig: ...
async def configure_google_chat(
    service_name: str,
    configuration: Dict[str, Any],
    environ: Any,
    log_enabled: List[str],
    logger: Any,
) -> GoogleChatConfig: ...
async def configure_clickhouse(
    configuration: Dict[str, Any], environ: str, logger: Any
) -> Dict[str, Any]: ...
async def configuration_kafka(configuration: Dict[str, Any]) -> KafkaConfig: ...
async def configure_db_auth(configuration: Dict[str, Any], database_name: str) -> DBConfig: ...

# Ends the process (SystemExit with status 0) when the factory returns
# nothing usable.
def configure_redis(
    configuration: Dict[str, Any],
    environ: Any,
    logger: Any,
    client_type: int = 1,
    decode_responses: bool = False,
) -> RedisConfig: ...
