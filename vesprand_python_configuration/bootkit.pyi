"""Service bootstrap: the records a starting service gets its components in,
and the configure functions that make them from the configuration record's
attribute dictionary."""

import sys
from dataclasses import dataclass
from logging import Logger
from typing import Any, Dict, Iterator, List, Optional, Union

import redis
from redis.cluster import RedisCluster
from vesprand_python_configuration import LoggerLike
from vesprand_python_configuration.cachelink import IRedisClient, RedisClientFactory
from vesprand_python_configuration.scribeset import AsyncLogger, setup_logger
from vesprand_python_configuration.toolchest import (
    GoogleChatAsyncMessenger,
    GoogleChatSyncMessenger,
    setup_google_chat_messenger,
)

@dataclass
class LoggerConfig:
    logger: Union[Logger, AsyncLogger]
    log_enabled: List[str]
    def __iter__(self) -> Iterator[Any]: ...

@dataclass
class GoogleChatConfig:
    g_chat: Union[GoogleChatSyncMessenger, GoogleChatAsyncMessenger]
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
    # None when the settings name no Redis server.
    redis_obj: Union[IRedisClient, RedisCluster, redis.Redis, None]
    def __iter__(self) -> Iterator[Any]: ...

async def configure_logger(service_name: str, configuration: Dict[str, Any]) -> LoggerConfig: ...
async def configure_google_chat(
    service_name: str,
    configuration: Dict[str, Any],
    environ: Any,
    log_enabled: List[str],
    logger: LoggerLike,
) -> GoogleChatConfig: ...
async def configure_clickhouse(
    configuration: Dict[str, Any], environ: str, logger: LoggerLike
) -> Dict[str, Any]: ...
async def configuration_kafka(configuration: Dict[str, Any]) -> KafkaConfig: ...
async def configure_db_auth(configuration: Dict[str, Any], database_name: str) -> DBConfig: ...

# Ends the process (SystemExit with status 0) when the factory returns
# nothing usable.
def configure_redis(
    configuration: Dict[str, Any],
    environ: Any,
    logger: LoggerLike,
    client_type: int = 1,
    decode_responses: bool = False,
) -> RedisConfig: ...
