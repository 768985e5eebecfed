// The Elasticsearch component builder.
#include "component_builder.hpp"

namespace {

using Component = component_builder::Component<"InvalidElasticConfigurationError",
                                               "ElasticSearchConfigurationBuilder", "elastic_host",
                                               "elastic_username", "elastic_password">;

}  // namespace

RT_MODULE(searchsmith, nullptr, Component::body)
