"""The Redis component builder."""

from typing import Any, Dict


class InvalidRedisConfigurationError(Exception): ...


class RedisConfigurationBuilder:
    _config: Any  # the record the settings are copied onto

    def __init__(self, config: Any) -> None: ...
    def build(self, data: Dict[str, Any]) -> None: ...
