// The ClickHouse component builder.
#include "component_builder.hpp"

namespace {

constexpr component_builder::Component component{
    "InvalidClickHouseConfigurationError",
    "ClickHouseConfigurationBuilder",
    {"clickhouse_host", "clickhouse_port", "clickhouse_username", "clickhouse_password"}};

}  // namespace

RT_MODULE(olapsmith, nullptr, component_builder::body<component>)
