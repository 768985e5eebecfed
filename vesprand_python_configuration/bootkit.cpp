// Service bootstrap: the records a starting service gets its components in,
// and the configure functions that turn the assembled configuration (the
// record's attribute dictionary) into a ready logger, chat messenger, Redis
// client, ClickHouse connection arguments, SQL Server credentials and Kafka
// settings. The functions find their collaborators in the module namespace
// at each call, so replacing a module attribute replaces the collaborator.
#include "rt.hpp"

namespace {

using namespace rt;

// ---------------------------------------------------------------- the records

// __iter__ of a record: yields the fields in order, each read from the
// instance only when the generator is advanced to it (no copies).
template <Literal... Fields>
Task iterate_fields(Borrowed self) {
  for (Name field : {operator""_n<Fields>()...}) co_yield self.attr(field);
  co_return none();
}

// A record constructed by keyword, as the configure functions make them.
Ref make_record(const Call& call, Name cls, std::initializer_list<Kw> fields) {
  return call.global(cls).call({}, fields);
}

// ------------------------------------------------------- configuration reads

// configuration.get(key, default) is `configuration.dict_get(key, default)`:
// the argument check admits only an exact dict, for which the dict's own
// lookup is what its get method does.

// The extra properties, or a new empty dict when the key is absent.
Ref extra_properties(Borrowed configuration) {
  Ref extra = configuration.dict_get("_extra_properties"_n, nullptr);
  return extra ? extra : new_dict();
}

// `value != text`, by the value's own comparison.
bool differs(Borrowed value, Name text) {
  return check(PyObject_RichCompareBool(value, text.get(), Py_NE)) != 0;
}

// One log line: a call of the logger method `level` with the whole message.
void log(Borrowed logger, Name level, Borrowed message) { logger.method(level, message); }

// The message `prefix + str(value) + suffix`.
Ref line(Name prefix, Borrowed value, Name suffix = ""_n) {
  Ref text = Ref::steal(PyUnicode_Concat(prefix.get(), value.str().get()));
  return Ref::steal(PyUnicode_Concat(text.get(), suffix.get()));
}

// ------------------------------------------------------------------ the logger

Task configure_logger(Call& call, Borrowed service_name, Borrowed configuration) {
  Ref is_async_logger = configuration.dict_get("_is_async_logger"_n, Py_False);
  Ref log_level = configuration.item("_log_level"_n);
  Ref logger = call.global("setup_logger"_n)
                   .call({service_name},
                         {{"async_mode"_n, is_async_logger}, {"log_level_str"_n, log_level}});
  log(logger, "info"_n,
      (is_async_logger.truthy() ? "Logger configured in async mode"_n : "Logger configured"_n)
          .get());
  Ref log_enabled =
      configuration.dict_get("_log_enabled"_n, "PRODUCTION"_n.get()).method("split"_n, ","_n.get());
  log(logger, "info"_n, line("Log enabled for environment: "_n, log_enabled));
  co_return make_record(call, "LoggerConfig"_n,
                        {{"logger"_n, logger}, {"log_enabled"_n, log_enabled}});
}

// ---------------------------------------------------------- the chat messenger

// The address as it may be logged: the password of a user:password@ part
// (the whole user part when it has no password) and every query value
// replaced by ***; scheme, host, path, fragment and parameter names are kept,
// so the line still tells which address is set. The user part runs to the
// last @, so a password holding "/", "?", "#" or "@" is hidden whole; an
// address that urlsplit refuses keeps only its scheme. Anything else (no
// "://", nothing to hide, not a string) is returned as it is.
Ref masked_address(const Call& call, Borrowed address) {
  if (!PyUnicode_Check(address.get())) return address.ref();
  auto [scheme, sep, rest] = unpack<3>(address.method("partition"_n, "://"_n.get()));
  if (!sep.truthy()) return address.ref();
  auto [userinfo, at, location] = unpack<3>(rest.method("rpartition"_n, "@"_n.get()));
  Ref parts;
  try {
    parts = call.state("urlsplit"_n)(format("//%U", location.get()));
  } catch (const PyError& error) {
    if (!error.matches(PyExc_ValueError)) throw;
    return format("%U://***", scheme.get());
  }
  Ref query = parts.attr("query"_n);
  if (!userinfo.truthy() && !query.truthy()) return address.ref();
  if (userinfo.truthy()) {
    auto [user, colon, password] = unpack<3>(userinfo.method("partition"_n, ":"_n.get()));
    userinfo = colon.truthy() ? format("%U:***", user.get()) : str("***");
  }
  Ref parameters = new_list();
  for (const Ref& parameter : Iterate(query.method("split"_n, "&"_n.get()))) {
    auto [name, equals, value] = unpack<3>(parameter.method("partition"_n, "="_n.get()));
    if (equals.truthy())
      list_append(parameters, format("%U=***", name.get()));
    else
      list_append(parameters, name.truthy() ? str("***") : name);
  }
  Ref netloc = parts.attr("netloc"_n), path = parts.attr("path"_n);
  Ref fragment = parts.attr("fragment"_n);
  Ref text =
      format("%U://%U%U%U%U", scheme.get(), userinfo.get(), at.get(), netloc.get(), path.get());
  if (query.truthy())
    text = format("%U?%U", text.get(),
                  Ref::steal(PyUnicode_Join(str("&").get(), parameters.get())).get());
  if (fragment.truthy()) text = format("%U#%U", text.get(), fragment.get());
  return text;
}

Task configure_google_chat(Call& call, Borrowed service_name, Borrowed configuration,
                           Borrowed environ, Borrowed log_enabled, Borrowed logger) {
  Ref extra = extra_properties(configuration);
  Ref is_async_gchat = extra.method("get"_n, "is_async_gchat"_n.get(), Py_False);
  Ref g_chat_hook = extra.method("get"_n, "g_chat_webhook"_n.get(), Py_None);
  Ref error_gchat_hook = extra.method("get"_n, "error_g_chat_webhook"_n.get(), Py_None);
  log(logger, "info"_n, line("Google Chat async mode: "_n, is_async_gchat));
  log(logger, "info"_n, line("Google Chat webhook: "_n, masked_address(call, g_chat_hook)));
  log(logger, "info"_n,
      line("Error Google Chat webhook: "_n, masked_address(call, error_gchat_hook)));
  Ref g_chat = call.global("setup_google_chat_messenger"_n)(
      service_name, g_chat_hook, error_gchat_hook, environ, is_async_gchat, log_enabled, logger);
  co_return make_record(call, "GoogleChatConfig"_n, {{"g_chat"_n, g_chat}});
}

// ------------------------------------------------------------------ ClickHouse

[[noreturn]] void refuse(Borrowed logger, const char* logged, const char* raised) {
  log(logger, "error"_n, str(logged).get());
  raise(PyExc_ValueError, raised);
}

// Production gets a verified secure connection and needs real credentials;
// elsewhere the connection is plain, with the credentials when valid ones
// are given.
Task configure_clickhouse(Borrowed configuration, Borrowed environ, Borrowed logger) {
  Ref host = configuration.dict_get("_clickhouse_host"_n);
  Ref port = configuration.dict_get("_clickhouse_port"_n);
  Ref username = configuration.dict_get("_clickhouse_username"_n);
  Ref password = configuration.dict_get("_clickhouse_password"_n);
  Ref upper = environ.method("upper"_n);
  log(logger, "info"_n, line("Configuring ClickHouse for "_n, upper, " environment."_n));
  if (!host.truthy() || !port.truthy()) {
    const char* missing = "Missing ClickHouse host or port in configuration.";
    refuse(logger, missing, missing);
  }
  bool secure = environ.method("lower"_n).equals("production"_n.get());
  bool requires_auth = username.truthy() && password.truthy() &&
                       differs(username, "CLICKHOUSE_WRITE_USERNAME"_n) &&
                       differs(password, "CLICKHOUSE_WRITE_PASS_WORD"_n);
  if (secure && !requires_auth)
    refuse(logger, "Invalid ClickHouse credentials in production.",
           "Invalid ClickHouse username or password in production.");
  Ref auth_config = new_dict();
  auth_config.set_item("host"_n, host);
  auth_config.set_item("port"_n, port);
  auth_config.set_item("secure"_n, boolean(secure));
  auth_config.set_item("verify"_n, boolean(secure));
  auth_config.set_item("max_query_size"_n, integer(20000000));
  if (requires_auth) {
    auth_config.set_item("username"_n, username);
    auth_config.set_item("password"_n, password);
  }
  log(logger, "info"_n, line("ClickHouse connection configured successfully for "_n, upper, "."_n));
  co_return auth_config;
}

// ----------------------------------------------------------------------- Kafka

Task configuration_kafka(Call& call, Borrowed configuration) {
  Ref broker = configuration.item("_broker"_n);
  Ref read_topic = configuration.item("_read_topic"_n);
  Ref push_topic = configuration.dict_get("_push_topic"_n);
  Ref consumer_group_id =
      extra_properties(configuration).method("get"_n, "consumer_group_id"_n.get());
  co_return make_record(call, "KafkaConfig"_n,
                        {{"broker"_n, broker},
                         {"read_topic"_n, read_topic},
                         {"push_topic"_n, push_topic},
                         {"consumer_group_id"_n, consumer_group_id}});
}

// ------------------------------------------------------------------ SQL Server

// The server value is a host, or a host and a port joined by a comma.
Task configure_db_auth(Call& call, Borrowed configuration, Borrowed database_name) {
  Ref sql_server_ip = configuration.dict_get("_sql_server_ip"_n);
  Ref sql_user_name = configuration.dict_get("_sql_user_name"_n);
  Ref sql_pass_word = configuration.dict_get("_sql_pass_word"_n);
  Ref host = sql_server_ip, port;
  if (sql_server_ip.contains(","_n.get())) {
    auto [host_part, port_part] = unpack<2>(sql_server_ip.method("split"_n, ","_n.get()));
    host = host_part;
    port = Ref::steal(PyNumber_Long(port_part.get()));
  } else {
    port = integer(1433);
  }
  co_return make_record(call, "DBConfig"_n,
                        {{"host"_n, host},
                         {"port"_n, port},
                         {"username"_n, sql_user_name},
                         {"password"_n, sql_pass_word},
                         {"database"_n, database_name}});
}

// ----------------------------------------------------------------------- Redis

// A configuration without a usable Redis address gets no client; a factory
// that returns nothing usable ends the process with status 0.
Ref configure_redis(Call& call, Borrowed configuration, Borrowed environ, Borrowed logger,
                    Borrowed client_type, Borrowed decode_responses) {
  Ref redis_obj = none();
  Ref redis_url = configuration.dict_get("_redis_host"_n);
  if (redis_url.truthy() && differs(redis_url, "REDIS_SERVER"_n) && differs(redis_url, ""_n) &&
      differs(redis_url, " "_n)) {
    redis_obj = call.global("RedisClientFactory"_n)
                    .attr("create"_n)(redis_url, environ, client_type, logger, decode_responses);
    if (!redis_obj.truthy()) {
      log(logger, "warning"_n, "Exception while initializing the redis"_n.get());
      call.global("sys"_n).attr("exit"_n)(integer(0));
    }
  }
  return make_record(call, "RedisConfig"_n, {{"redis_obj"_n, redis_obj}});
}

// ----------------------------------------------------------------- the module

struct Field {
  const char* name;
  const char* annotation;
};

// A record class: annotated fields (and __iter__, when given) on a plain
// class, which dataclasses.dataclass then completes, as a decorator would.
void record(Module& m, const char* name, std::initializer_list<Field> fields,
            CoroutineBody iterate = nullptr) {
  ClassBuilder cls = m.cls(name);
  for (const Field& field : fields) cls.field(field.name, field.annotation);
  if (iterate) cls.method({.name = "__iter__", .params = {{"self"}}, .generator = iterate});
  Ref plain = cls.build();
  m.add(name, m.dict().item("dataclass"_n)(plain));
}

const Param configuration{"configuration", "Dict[str, Any]"};
const Param service_name{"service_name", "str"};

const char* const clickhouse_doc = R"(
    Configures ClickHouse authentication based on the environment.
    - Production: Secure connection with verification enabled.
    - Staging: Secure connection disabled, unless valid credentials are provided.
    )";
const char* const db_auth_doc = R"(
    Retrieves authentication details for the database from the configuration.
    Expected keys: sql_server_ip, sql_user_name, sql_pass_word.
    The database name is passed as a parameter.
    )";

void body(Module& m) {
  m.import("sys");
  m.from_import("dataclasses", {"dataclass"});
  m.from_import("typing", {"Any", "Dict", "Optional", "List"});
  m.from_import("vesprand_python_configuration.scribeset", {"setup_logger"});
  m.from_import("vesprand_python_configuration.cachelink", {"RedisClientFactory"});
  m.from_import("vesprand_python_configuration.toolchest", {"setup_google_chat_messenger"});
  m.keep("urlsplit"_n, Ref::steal(PyImport_ImportModule("urllib.parse")).attr("urlsplit"_n));

  record(m, "LoggerConfig", {{"logger", "Any"}, {"log_enabled", "List[str]"}},
         iterate_fields<"logger", "log_enabled">);
  record(m, "GoogleChatConfig", {{"g_chat", "Any"}}, iterate_fields<"g_chat">);
  record(m, "KafkaConfig",
         {{"broker", "Any"},
          {"read_topic", "Any"},
          {"push_topic", "Optional[Any]"},
          {"consumer_group_id", "Optional[Any]"}},
         iterate_fields<"broker", "read_topic", "push_topic", "consumer_group_id">);
  record(m, "DBConfig",
         {{"host", "str"},
          {"port", "int"},
          {"username", "str"},
          {"password", "str"},
          {"database", "str"}});
  record(m, "RedisConfig", {{"redis_obj", "Any"}}, iterate_fields<"redis_obj">);

  m.def({.name = "configure_logger",
         .params = {service_name, configuration},
         .returns = "LoggerConfig",
         .coroutine = configure_logger});
  m.def({.name = "configure_google_chat",
         .params = {service_name,
                    configuration,
                    {"environ", "Any"},
                    {"log_enabled", "List[str]"},
                    {"logger", "Any"}},
         .returns = "GoogleChatConfig",
         .coroutine = configure_google_chat});
  m.def({.name = "configure_clickhouse",
         .params = {configuration, {"environ", "str"}, {"logger"}},
         .returns = "Dict[str, Any]",
         .coroutine = configure_clickhouse,
         .doc = clickhouse_doc});
  m.def({.name = "configuration_kafka",
         .params = {configuration},
         .returns = "KafkaConfig",
         .coroutine = configuration_kafka});
  m.def({.name = "configure_db_auth",
         .params = {configuration, {"database_name", "str"}},
         .returns = "DBConfig",
         .coroutine = configure_db_auth,
         .doc = db_auth_doc});
  m.def({.name = "configure_redis",
         .params = {configuration,
                    {"environ", "Any"},
                    {"logger", "Any"},
                    {"client_type", "int", 1},
                    {"decode_responses", "bool", false}},
         .returns = "RedisConfig",
         .body = configure_redis});
}

}  // namespace

RT_MODULE(bootkit, nullptr, body)
