"""A service's start-up: load its settings file, with the component builders
registered, and print the assembled configuration record."""

import json
import sys

from vesprand_python_configuration.cachesmith import RedisConfigurationBuilder
from vesprand_python_configuration.cloudsmith import AWSConfigurationBuilder
from vesprand_python_configuration.olapsmith import ClickHouseConfigurationBuilder
from vesprand_python_configuration.relsmith import SQLConfigurationBuilder
from vesprand_python_configuration.searchsmith import ElasticSearchConfigurationBuilder
from vesprand_python_configuration.settingsmith import (
    ConfigurationBuilder,
    InvalidConfigurationError,
)
from vesprand_python_configuration.streamsmith import KafkaConfigurationBuilder

REQUIRED = ["sql", "clickhouse", "aws", "elastic", "kafka", "redis"]


def main(path: str) -> int:
    builder = ConfigurationBuilder()
    record = builder.get_configuration()
    builder.set_sql_builder(SQLConfigurationBuilder(record))
    builder.set_clickhouse_builder(ClickHouseConfigurationBuilder(record))
    builder.set_aws_builder(AWSConfigurationBuilder(record))
    builder.set_elastic_builder(ElasticSearchConfigurationBuilder(record))
    builder.set_kafka_builder(KafkaConfigurationBuilder(record))
    builder.set_redis_builder(RedisConfigurationBuilder(record))
    try:
        builder.load_from_file(path, REQUIRED)
    except InvalidConfigurationError as error:
        print(f"configuration rejected: {error}", file=sys.stderr)
        return 1
    print(json.dumps(builder.get_configuration().__dict__, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "examples/settings.json"))
