"""The SQL component builder."""

from typing import Any, Dict


class InvalidSQLConfigurationError(Exception): ...


class SQLConfigurationBuilder:
    _config: Any  # the record the settings are copied onto

    def __init__(self, config: Any) -> None: ...
    def build(self, data: Dict[str, Any]) -> None: ...
