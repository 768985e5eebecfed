// The Kafka component builder.
#include "component_builder.hpp"

namespace {

using Component =
    component_builder::Component<"InvalidKafkaConfigurationError", "KafkaConfigurationBuilder",
                                 "broker", "push_topic", "read_topic", "dead_letter_topic_name">;

}  // namespace

RT_MODULE(streamsmith, nullptr, Component::body)
