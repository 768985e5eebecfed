// The Redis component builder.
#include "component_builder.hpp"

namespace {

constexpr component_builder::Component component{
    "InvalidRedisConfigurationError", "RedisConfigurationBuilder", {"redis_host"}};

}  // namespace

RT_MODULE(cachesmith, nullptr, component_builder::body<component>)
