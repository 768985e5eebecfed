// The Kafka component builder.
#include "component_builder.hpp"

namespace {

constexpr component_builder::Component component{
    "InvalidKafkaConfigurationError",
    "KafkaConfigurationBuilder",
    {"broker", "push_topic", "read_topic", "dead_letter_topic_name"}};

}  // namespace

RT_MODULE(streamsmith, nullptr, component_builder::body<component>)
