// The Redis component builder.
#include "component_builder.hpp"

namespace {

using Component = component_builder::Component<"InvalidRedisConfigurationError",
                                               "RedisConfigurationBuilder", "redis_host">;

}  // namespace

RT_MODULE(cachesmith, nullptr, Component::body)
