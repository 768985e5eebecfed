// Configuration assembly: the Configuration record, the table of component
// keys, and the ConfigurationBuilder that loads, validates and assembles it.
#include <array>

#include "rt.hpp"
#include "schema_extra.hpp"

namespace {

using namespace rt;

// ---------------------------------------------------------------- the record

// The settings keys of each component, as the module table `properties`.
struct ComponentKeys {
  const char* component;
  std::vector<const char*> keys;
};
const std::vector<ComponentKeys> component_keys = {
    {"sql", {"sql_user_name", "sql_server_ip", "sql_pass_word", "connection_string"}},
    {"clickhouse",
     {"clickhouse_host", "clickhouse_port", "clickhouse_username", "clickhouse_password"}},
    {"aws", {"aws_access_key", "aws_secret_key"}},
    {"elastic", {"elastic_host", "elastic_username", "elastic_password"}},
    {"redis", {"redis_host"}},
    {"kafka", {"broker", "read_topic", "push_topic"}},
};

Ref configuration_init(Borrowed self, Borrowed config_file_path) {
  self.set_attr("_config_file_path"_n, config_file_path);
  self.set_attr("_environ"_n, Py_None);
  self.set_attr("_log_enabled"_n, Py_None);
  self.set_attr("_log_level"_n, Py_None);
  self.set_attr("_is_async_logger"_n, Py_None);
  self.set_attr("_extra_properties"_n, new_dict());
  return none();
}

// Writes the common settings, and gathers every key that is neither common
// nor a key of a required component into _extra_properties.
Ref set_common_config(Call& call, Borrowed self, Borrowed data, Borrowed required_components) {
  self.set_attr("_environ"_n, data.dict_get("environ"_n));
  self.set_attr("_log_enabled"_n, data.dict_get("log_enabled"_n));
  self.set_attr("_log_level"_n, data.dict_get("log_level"_n));
  self.set_attr("_is_async_logger"_n, data.dict_get("is_async_logger"_n));

  Ref excluded = new_list();
  for (Name key : {"environ"_n, "log_enabled"_n, "log_level"_n, "is_async_logger"_n})
    list_append(excluded, interned(key));
  Ref properties = call.global("properties"_n);
  for (const Ref& component : Iterate(required_components)) {
    if (!properties.contains(component)) continue;
    for (const Ref& key : Iterate(properties.item(component))) list_append(excluded, key);
  }

  Ref extra = new_dict();
  for (auto [key, value] : dict_items(data))
    if (!excluded.contains(key)) extra.set_item(key, value);
  self.set_attr("_extra_properties"_n, extra);
  return none();
}

Ref get_extra_properties(Borrowed self) { return self.attr("_extra_properties"_n); }

// --------------------------------------------------------------- the builder

Ref builder_init(Call& call, Borrowed self) {
  self.set_attr("_redis_builder"_n, Py_None);
  self.set_attr("_configuration"_n, call.global("Configuration"_n)());
  for (Name slot : {"_sql_builder"_n, "_clickhouse_builder"_n, "_aws_builder"_n,
                    "_elastic_builder"_n, "_kafka_builder"_n})
    self.set_attr(slot, Py_None);
  self.set_attr("required_components"_n, new_list());
  self.set_attr("_app_settings_path"_n, Py_None);
  return none();
}

[[noreturn]] void raise_invalid(const Call& call, Ref message) {
  raise_object(call.global("InvalidConfigurationError"_n)(message));
}

// Raises InvalidConfigurationError(message) in place of `error`, while the
// caught error is handled (so it becomes the implicit context).
[[noreturn]] void replace_error(const Call& call, const PyError& error, Ref message) {
  Handling handling(error);
  raise_invalid(call, std::move(message));
}

// Maps the schema library's errors to InvalidConfigurationError. Returns
// when the error is not one of them.
void map_schema_errors(const Call& call, const PyError& error) {
  Ref jsonschema = call.global("jsonschema"_n);
  const char* message = nullptr;
  if (error.matches(jsonschema.attr("ValidationError"_n))) {
    message = "JSON validation error: %S";
  } else if (error.matches(jsonschema.attr("SchemaError"_n))) {
    message = "JSON schema error: %S";
  } else {
    return;
  }
  replace_error(call, error, format(message, error.value().attr("message"_n).get()));
}

Ref load_from_file(Call& call, Borrowed self, Borrowed file_path, Borrowed optional_components) {
  Ref required_components = optional_components.is_none() ? new_list() : optional_components.ref();
  try {
    Ref file = call.global("open"_n)(file_path, str("r"));
    with(file, [&](Borrowed f) {
      Ref data = call.global("json"_n).method("load"_n, f);
      self.set_attr("_app_settings_path"_n, file_path);
      self.set_attr("required_components"_n, required_components);
      self.method("validate_json"_n, data);
      self.method("set_configuration"_n, data, self.attr("required_components"_n));
    });
  } catch (const PyError& error) {
    if (error.matches(PyExc_FileNotFoundError))
      replace_error(call, error, format("Configuration file '%U' not found.", file_path.get()));
    if (error.matches(call.global("json"_n).attr("JSONDecodeError"_n)))
      replace_error(call, error, str("Invalid JSON format."));
    map_schema_errors(call, error);
    throw;
  }
  return none();
}

Ref load_from_dict(Call& call, Borrowed self, Borrowed data, Borrowed optional_components) {
  Ref required_components = optional_components.is_none() ? new_list() : optional_components.ref();
  try {
    self.set_attr("required_components"_n, required_components);
    self.method("validate_json"_n, data);
    self.method("set_configuration"_n, data, required_components);
  } catch (const PyError& error) {
    map_schema_errors(call, error);
    throw;
  }
  return none();
}

// The base schema, built anew for every validation.
Ref base_schema() {
  static constexpr std::array declared = {"environ",
                                          "sql_user_name",
                                          "sql_server_ip",
                                          "sql_pass_word",
                                          "connection_string",
                                          "clickhouse_host",
                                          "clickhouse_port",
                                          "clickhouse_username",
                                          "clickhouse_password",
                                          "elastic_host",
                                          "elastic_username",
                                          "elastic_password",
                                          "aws_access_key",
                                          "aws_secret_key",
                                          "s3_bucket_name",
                                          "aws_s3_base_url",
                                          "broker",
                                          "read_topic",
                                          "dead_letter_topic_name",
                                          "g_chat_hook",
                                          "g_chat_error_hook",
                                          "log_enabled",
                                          "redis_host"};
  Ref properties = new_dict();
  for (const char* key : declared)
    properties.set_item(str(key), schema_extra::type_entry("string"));
  Ref required = new_list();
  for (const char* key : {"environ", "log_enabled", "is_async_logger", "log_level"})
    list_append(required, str(key));
  Ref schema = new_dict();
  schema.set_item("type"_n, str("object"));
  schema.set_item("properties"_n, properties);
  schema.set_item("required"_n, required);
  return schema;
}

Ref validate_json(Call& call, Borrowed self, Borrowed data) {
  Ref schema = base_schema();
  Ref path = self.attr("_app_settings_path"_n);
  Ref updated_schema;
  if (path.is_none()) {
    // No settings file: the data's own undeclared keys are declared instead.
    schema_extra::declare(schema, data);
    updated_schema = schema;
  } else {
    updated_schema = call.global("add_extra_properties_to_schema"_n)(schema, path);
  }
  call.global("jsonschema"_n)
      .attr("validate"_n)
      .call({}, {{"instance"_n, data}, {"schema"_n, updated_schema}});
  self.method("validate_required_components"_n, data);
  return none();
}

// The rule of one component: its keys, and the message when they are missing.
struct ComponentRule {
  Name component;
  std::initializer_list<Name> keys;
  const char* message;
};

Ref validate_required_components(Call& call, Borrowed self, Borrowed data) {
  // A constant: no guard, allocation or initialiser at run time. (Built as a
  // std::vector, clang 14 crashes on it: printing why the vector is not a
  // constant, it cannot print a "..."_n literal.)
  static constexpr ComponentRule rules[] = {
      {"clickhouse"_n,
       {"clickhouse_host"_n, "clickhouse_port"_n},
       "Missing ClickHouse configuration properties"},
      {"aws"_n, {"aws_access_key"_n, "aws_secret_key"_n}, "Missing AWS configuration properties"},
      {"elastic"_n,
       {"elastic_host"_n, "elastic_username"_n, "elastic_password"_n},
       "Missing ElasticSearch configuration properties"},
      {"kafka"_n,
       {"broker"_n, "read_topic"_n, "push_topic"_n},
       "Missing Kafka configuration properties"},
      {"redis"_n, {"redis_host"_n}, "Missing Redis configuration properties"},
  };
  auto required = [&](Name component) {
    return self.attr("required_components"_n).contains(component.get());
  };

  if (required("sql"_n)) {
    // Either a connection string, or all of user name, server and password.
    Ref user = data.dict_get("sql_user_name"_n);
    Ref server = data.dict_get("sql_server_ip"_n);
    Ref password = data.dict_get("sql_pass_word"_n);
    Ref connection_string = data.dict_get("connection_string"_n);
    if (!connection_string.truthy() && !(user.truthy() && server.truthy() && password.truthy()))
      raise_invalid(call,
                    str("Missing SQL configuration properties. Either provide (sql_user_name, "
                        "sql_server_ip, sql_pass_word) OR sql_connection_string."));
  }
  for (const ComponentRule& rule : rules) {
    if (!required(rule.component)) continue;
    for (Name key : rule.keys)
      if (!data.dict_get(key).truthy()) raise_invalid(call, str(rule.message));
  }
  return none();
}

// Writes the common settings, then runs each registered component builder.
Ref set_configuration(Borrowed self, Borrowed data, Borrowed optional_components) {
  Ref required_components = optional_components.is_none() ? new_list() : optional_components.ref();
  self.attr("_configuration"_n).method("set_common_config"_n, data, required_components);
  for (Name slot : {"_sql_builder"_n, "_clickhouse_builder"_n, "_aws_builder"_n,
                    "_elastic_builder"_n, "_kafka_builder"_n, "_redis_builder"_n}) {
    if (!self.attr(slot).truthy()) continue;
    self.attr(slot).attr("build"_n)(data);
  }
  return none();
}

template <Literal Slot>
Ref set_builder(Borrowed self, Borrowed builder) {
  self.set_attr(operator""_n<Slot>(), builder);
  return none();
}

Def setter(const char* name, Body body) {
  return {.name = name, .params = {{"self"}, {"builder", "Any"}}, .returns = "None", .body = body};
}

Ref get_configuration(Borrowed self) { return self.attr("_configuration"_n); }

const Param self{"self"};
const Param data{"data", "Dict[str, Any]"};
const Param optional_components{"required_components", "Optional[List[str]]", None};

void body(Module& m) {
  m.import("json");
  m.import("jsonschema");
  m.from_import("typing", {"Any", "Dict", "List", "Optional"});
  m.from_import("vesprand_python_configuration.toolchest", {"add_extra_properties_to_schema"});

  Ref properties = new_dict();
  for (const ComponentKeys& c : component_keys) {
    Ref keys = new_list();
    for (const char* key : c.keys) list_append(keys, str(key));
    properties.set_item(str(c.component), keys);
  }
  m.add("properties", properties);

  m.cls("Configuration")
      .method({.name = "__init__",
               .params = {self, {"config_file_path", "Optional[str]", None}},
               .returns = "None",
               .body = configuration_init})
      .method({.name = "set_common_config",
               .params = {self, data, {"required_components", "List[str]"}},
               .returns = "None",
               .body = set_common_config})
      .method({.name = "get_extra_properties",
               .params = {self},
               .returns = "Dict[str, Any]",
               .body = get_extra_properties})
      .create();

  subclass(m, "InvalidConfigurationError", PyExc_Exception);

  m.cls("ConfigurationBuilder")
      .method({.name = "__init__", .params = {self}, .returns = "None", .body = builder_init})
      .method({.name = "load_from_file",
               .params = {self, {"file_path", "str"}, optional_components},
               .returns = "None",
               .body = load_from_file})
      .method({.name = "load_from_dict",
               .params = {self, data, optional_components},
               .returns = "None",
               .body = load_from_dict})
      .method({.name = "validate_json",
               .params = {self, data},
               .returns = "None",
               .body = validate_json})
      .method({.name = "validate_required_components",
               .params = {self, data},
               .returns = "None",
               .body = validate_required_components})
      .method({.name = "set_configuration",
               .params = {self, data, optional_components},
               .returns = "None",
               .body = set_configuration})
      .method(setter("set_sql_builder", set_builder<"_sql_builder">))
      .method(setter("set_clickhouse_builder", set_builder<"_clickhouse_builder">))
      .method(setter("set_aws_builder", set_builder<"_aws_builder">))
      .method(setter("set_elastic_builder", set_builder<"_elastic_builder">))
      .method(setter("set_kafka_builder", set_builder<"_kafka_builder">))
      .method(setter("set_redis_builder", set_builder<"_redis_builder">))
      .method({.name = "get_configuration",
               .params = {self},
               .returns = "Configuration",
               .body = get_configuration})
      .create();
}

}  // namespace

RT_MODULE(settingsmith, nullptr, body)
