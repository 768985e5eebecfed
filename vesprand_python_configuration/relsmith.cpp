// The SQL component builder.
#include "component_builder.hpp"

namespace {

constexpr component_builder::Component component{
    "InvalidSQLConfigurationError",
    "SQLConfigurationBuilder",
    {"sql_user_name", "sql_server_ip", "sql_pass_word", "connection_string"}};

}  // namespace

RT_MODULE(relsmith, nullptr, component_builder::body<component>)
