"""Configuration assembly: the Configuration record, the table of component
keys, and the ConfigurationBuilder that loads, validates and assembles it."""

import json as json
from typing import Any, Dict, List, Optional

import jsonschema as jsonschema

# The settings keys of each component ("sql", "clickhouse", "aws", "elastic",
# "redis", "kafka").
properties: Dict[str, List[str]]


class Configuration:
    _config_file_path: Optional[str]
    # Common settings, as found in the settings (None when absent).
    _environ: Any
    _log_enabled: Any
    _log_level: Any
    _is_async_logger: Any
    _extra_properties: Dict[str, Any]
    # Written by the component builders; each exists once its builder has run.
    _sql_user_name: Any
    _sql_server_ip: Any
    _sql_pass_word: Any
    _connection_string: Any
    _clickhouse_host: Any
    _clickhouse_port: Any
    _clickhouse_username: Any
    _clickhouse_password: Any
    _aws_access_key: Any
    _aws_secret_key: Any
    _elastic_host: Any
    _elastic_username: Any
    _elastic_password: Any
    _broker: Any
    _push_topic: Any
    _read_topic: Any
    _dead_letter_topic_name: Any
    _redis_host: Any

    def __init__(self, config_file_path: Optional[str] = None) -> None: ...
    def set_common_config(self, data: Dict[str, Any], required_components: List[str]) -> None: ...
    def get_extra_properties(self) -> Dict[str, Any]: ...


class InvalidConfigurationError(Exception): ...


class ConfigurationBuilder:
    # Component builder slots: any object with a build(data) method, or None.
    _sql_builder: Any
    _clickhouse_builder: Any
    _aws_builder: Any
    _elastic_builder: Any
    _kafka_builder: Any
    _redis_builder: Any
    _configuration: Configuration
    required_components: List[str]
    _app_settings_path: Optional[str]

    def __init__(self) -> None: ...
    def load_from_file(
        self, file_path: str, required_components: Optional[List[str]] = None
    ) -> None: ...
    def load_from_dict(
        self, data: Dict[str, Any], required_components: Optional[List[str]] = None
    ) -> None: ...
    def validate_json(self, data: Dict[str, Any]) -> None: ...
    def validate_required_components(self, data: Dict[str, Any]) -> None: ...
    def set_configuration(
        self, data: Dict[str, Any], required_components: Optional[List[str]] = None
    ) -> None: ...
    def set_sql_builder(self, builder: Any) -> None: ...
    def set_clickhouse_builder(self, builder: Any) -> None: ...
    def set_aws_builder(self, builder: Any) -> None: ...
    def set_elastic_builder(self, builder: Any) -> None: ...
    def set_kafka_builder(self, builder: Any) -> None: ...
    def set_redis_builder(self, builder: Any) -> None: ...
    def get_configuration(self) -> Configuration: ...
