// The SQL component builder.
#include "component_builder.hpp"

namespace {

using Component =
    component_builder::Component<"InvalidSQLConfigurationError", "SQLConfigurationBuilder",
                                 "sql_user_name", "sql_server_ip", "sql_pass_word",
                                 "connection_string">;

}  // namespace

RT_MODULE(relsmith, nullptr, Component::body)
