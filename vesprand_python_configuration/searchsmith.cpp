// The Elasticsearch component builder.
#include "component_builder.hpp"

namespace {

constexpr component_builder::Component component{
    "InvalidElasticConfigurationError",
    "ElasticSearchConfigurationBuilder",
    {"elastic_host", "elastic_username", "elastic_password"}};

}  // namespace

RT_MODULE(searchsmith, nullptr, component_builder::body<component>)
