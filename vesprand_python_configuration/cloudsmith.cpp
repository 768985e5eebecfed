// The AWS component builder.
#include "component_builder.hpp"

namespace {

using Component =
    component_builder::Component<"InvalidAWSConfigurationError", "AWSConfigurationBuilder",
                                 "aws_access_key", "aws_secret_key">;

}  // namespace

RT_MODULE(cloudsmith, nullptr, Component::body)
