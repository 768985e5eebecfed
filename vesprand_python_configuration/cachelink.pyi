"""Redis access: the simple client, the wrappers that log a failure and answer
a neutral value, their factory, and the per-operation category counters."""

from typing import Any, Mapping, Union

import redis as redis
from redis.cluster import RedisCluster as RedisClusterClient

def initialize_redis(
    url: str, environ: str, logger: Any = None, decode_responses: bool = True
) -> Union[RedisClusterClient, redis.Redis]:
    """
    Simple Redis initialization.
    If a logger is not provided, it will use the default logger from logger_util.
    """

class IRedisClient:
    """Interface for Redis clients."""

    def get(self, key: str) -> Union[str, bytes, None]: ...
    def set(self, key: str, value: str, ex: int = 0) -> bool: ...
    def delete(self, key: str) -> int: ...
    def increment_category_counts(
        self, operation_id: str, batch_data: list[Mapping[str, Any]]
    ) -> None: ...

class BaseRedisClient(IRedisClient):
    """Base Redis client with common functionality and error handling."""

    DEFAULT_TTL: int
    url: str
    logger: Any
    decode_responses: bool
    client: Any
    def __init__(self, url: str, logger: Any, decode_responses: bool = True) -> None: ...
    def connect(self) -> Any:
        """Override this method in subclasses to implement connection logic."""

class ProductionRedisClient(BaseRedisClient):
    """Production Redis client using Redis Cluster."""

    client: RedisClusterClient
    def connect(self) -> RedisClusterClient: ...
    def _parse_url(self, url: str) -> tuple[str, int]: ...

class DevelopmentRedisClient(BaseRedisClient):
    """Development Redis client using redis-py."""

    client: redis.Redis
    def connect(self) -> redis.Redis: ...

class RedisClientFactory:
    """Factory for creating Redis clients."""

    @staticmethod
    def create(
        url: str,
        environ: str,
        client_type: int = 2,
        logger: Any = None,
        decode_responses: bool = True,
    ) -> Union[IRedisClient, RedisClusterClient, redis.Redis]:
        """
        Create a Redis client instance.
        - client_type: 1 for simple implementation, 2 for advanced (default).
        """
