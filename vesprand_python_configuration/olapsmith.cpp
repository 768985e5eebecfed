// The ClickHouse component builder.
#include "component_builder.hpp"

namespace {

using Component =
    component_builder::Component<"InvalidClickHouseConfigurationError",
                                 "ClickHouseConfigurationBuilder", "clickhouse_host",
                                 "clickhouse_port", "clickhouse_username", "clickhouse_password">;

}  // namespace

RT_MODULE(olapsmith, nullptr, Component::body)
