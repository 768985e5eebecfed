// The AWS component builder.
#include "component_builder.hpp"

namespace {

constexpr component_builder::Component component{"InvalidAWSConfigurationError",
                                                 "AWSConfigurationBuilder",
                                                 {"aws_access_key", "aws_secret_key"}};

}  // namespace

RT_MODULE(cloudsmith, nullptr, component_builder::body<component>)
