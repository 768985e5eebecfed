// Redis access: initialize_redis, which hands out a library client; the
// wrappers that log a failed get/set/delete and answer a neutral value, with
// a default expiry on set and the per-operation category counters; and the
// factory that chooses between them.
#include "rt.hpp"

namespace {

using namespace rt;

Ref piece(const char* text) { return str(text); }
Ref piece(Borrowed object) { return object.ref(); }

// `a + b + ...`, as the expression evaluates it: a str followed by anything
// but a str raises TypeError.
template <class... P>
Ref concat(const P&... parts) {
  Ref result;
  auto add = [&](Ref next) {
    result = result ? Ref::steal(PyNumber_Add(result, next)) : std::move(next);
  };
  (add(piece(parts)), ...);
  return result;
}

bool is_production(Borrowed environ) {
  return environ.method("lower"_n).equals("production"_n.get());
}

// Writes "<prefix><subject>': <exception text>" through self.logger.error.
// Callers run it while `error` is handled, as an except clause would.
void log_failure(Borrowed self, const char* prefix, Borrowed subject, const PyError& error) {
  Ref log_error = self.attr("logger"_n).attr("error"_n);
  log_error(concat(prefix, subject, "': ", error.value().str()));
}

// Runs `op` as the wrappers guard their operations: an Exception it raises is
// logged (prefix, the subject, "': ", the error) while it is being handled,
// then answered with `neutral`, or raised again when there is none. Anything
// else goes on unchanged.
template <class F>
Ref guarded_by_log(Borrowed self, const char* prefix, Borrowed subject, F&& op,
                   Ref neutral = Ref()) {
  try {
    return op();
  } catch (const PyError& error) {
    if (!error.matches(PyExc_Exception)) throw;
    Handling handling(error);
    log_failure(self, prefix, subject, error);
    if (!neutral) throw;
    return neutral;
  }
}

// ------------------------------------------------------ the simple client

Ref initialize_redis(Call& call, Borrowed url, Borrowed environ, Borrowed logger,
                     Borrowed decode_responses) {
  if (!is_production(environ)) {
    Ref from_url = call.global("redis"_n).attr("Redis"_n).attr("from_url"_n);
    return from_url.call(
        {}, {{"url"_n, concat("redis://", url)}, {"decode_responses"_n, decode_responses}});
  }
  logger.method("info"_n, concat("Url received for redis prod is ", url));
  auto [host, port_text] = unpack<2>(url.method("split"_n, str(":")));
  Ref port;
  try {
    port = Ref::steal(PyNumber_Long(port_text));
  } catch (const PyError& error) {
    if (!error.matches(PyExc_ValueError)) throw;
    port = integer(6379);
  }
  logger.method("info"_n, concat("After splitting ", host));
  Ref client =
      call.global("RedisClusterClient"_n)
          .call({}, {{"host"_n, host}, {"port"_n, port}, {"decode_responses"_n, decode_responses}});
  // As text: a logger may take nothing else (the queued logger refuses it).
  logger.method("info"_n, client.method("get_nodes"_n).str());
  logger.method("info"_n, str("Connection to redis is successful"));
  return client;
}

// ------------------------------------------------------------ the wrappers

template <class... P>
Ref not_implemented(P...) {
  raise_object(PyExc_NotImplementedError);
}

Ref base_init(Borrowed self, Borrowed url, Borrowed logger, Borrowed decode_responses) {
  self.set_attr("url"_n, url);
  self.set_attr("logger"_n, logger);
  self.set_attr("decode_responses"_n, decode_responses);
  self.set_attr("client"_n, self.method("connect"_n));
  return none();
}

Ref base_get(Borrowed self, Borrowed key) {
  return guarded_by_log(
      self, "Error getting key '", key, [&] { return self.attr("client"_n).method("get"_n, key); },
      none());
}

Ref base_set(Borrowed self, Borrowed key, Borrowed value, Borrowed ex) {
  return guarded_by_log(
      self, "Error setting key '", key,
      [&] {
        Ref zero = integer(0);
        Ref ttl = check(PyObject_RichCompareBool(ex, zero, Py_NE)) ? ex.ref()
                                                                   : self.attr("DEFAULT_TTL"_n);
        return self.attr("client"_n).attr("set"_n).call({key, value}, {{"ex"_n, ttl}});
      },
      boolean(false));
}

Ref base_delete(Borrowed self, Borrowed key) {
  return guarded_by_log(
      self, "Error deleting key '", key,
      [&] { return self.attr("client"_n).method("delete"_n, key); }, boolean(false));
}

// ---------------------------------------------------- the category counters

// Queues one increment of the identifier's field.
void count(Borrowed pipe, Borrowed key, Borrowed record, Borrowed one) {
  pipe.method("hincrby"_n, key, record.method("get"_n, "id"_n.get()).str(), one);
}

// Counts every identifier of the batch, at all three levels, in one hash per
// operation, sent as one pipeline. The expiry goes first and, when anything
// was counted, once more after the increments: a hash that the batch creates
// gets its expiry too. Nothing is sent when the walk fails.
Ref increment_category_counts(Borrowed self, Borrowed operation_id, Borrowed batch_data) {
  Ref key = concat("Mod:RetagOperations:", operation_id, ":category_counts");
  auto send = [&] {
    Ref pipe = self.attr("client"_n).method("pipeline"_n);
    Ref expiry = integer(10800), one = integer(1);
    pipe.method("expire"_n, key, expiry);
    bool counted = false;
    for (const Ref& category : Iterate(batch_data)) {
      count(pipe, key, category, one);
      counted = true;
      Ref subs = category.method("get"_n, "subCategories"_n.get(), new_list());
      for (const Ref& sub : Iterate(subs)) {
        count(pipe, key, sub, one);
        Ref sub_subs = sub.method("get"_n, "subSubCategories"_n.get(), new_list());
        for (const Ref& sub_sub : Iterate(sub_subs)) count(pipe, key, sub_sub, one);
      }
    }
    if (counted) pipe.method("expire"_n, key, expiry);
    pipe.method("execute"_n);
    return none();
  };
  return guarded_by_log(self, "Error incrementing category counts for operation '", operation_id,
                        send, none());
}

// ----------------------------------------------------- connecting a wrapper

Ref production_connect(Call& call, Borrowed self) {
  return guarded_by_log(self, "Error connecting to Production Redis at '", self.attr("url"_n), [&] {
    auto [host, port] = unpack<2>(self.method("_parse_url"_n, self.attr("url"_n)));
    return call.global("RedisClusterClient"_n)
        .call({}, {{"host"_n, host},
                   {"port"_n, port},
                   {"decode_responses"_n, self.attr("decode_responses"_n)}});
  });
}

// "host:port" as (host, port); the port is 6379 unless the second part is
// all digits. Parts after the second are ignored.
Ref parse_url(Borrowed, Borrowed url) {
  Ref parts = url.method("split"_n, str(":"));
  Ref host = Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
  if (PyList_GET_SIZE(parts.get()) >= 2) {
    Borrowed port_text = PyList_GET_ITEM(parts.get(), 1);
    if (port_text.method("isdigit"_n).truthy())
      return tuple(host, Ref::steal(PyNumber_Long(port_text)));
  }
  return tuple(host, integer(6379));
}

Ref development_connect(Call& call, Borrowed self) {
  Ref url = self.attr("url"_n);
  return guarded_by_log(self, "Error connecting to Development Redis at '", url, [&] {
    Ref address =
        url.method("startswith"_n, str("redis://")).truthy() ? url : concat("redis://", url);
    Ref from_url = call.global("redis"_n).attr("Redis"_n).attr("from_url"_n);
    return from_url.call({address}, {{"decode_responses"_n, self.attr("decode_responses"_n)}});
  });
}

// ------------------------------------------------------------- the factory

Ref create(Call& call, Borrowed url, Borrowed environ, Borrowed client_type, Borrowed logger,
           Borrowed decode_responses) {
  if (client_type.equals(integer(1)))
    return call.global("initialize_redis"_n)(url, environ, logger, decode_responses);
  Name wrapper = is_production(environ) ? "ProductionRedisClient"_n : "DevelopmentRedisClient"_n;
  return call.global(wrapper)(url, logger, decode_responses);
}

// ---------------------------------------------------------------- the module

const Param self{"self"};
const Param key{"key", "str"};
const Param value{"value", "str"};
const Param ex{"ex", "int", 0};
const Param operation_id{"operation_id", "str"};
const Param batch_data{"batch_data", "list"};
const Param decode_responses{"decode_responses", "bool", true};

const char* const get_returns = "Union[str, None]";

void body(Module& m) {
  m.from_import("typing", {"Union"});
  m.import("redis");
  m.from_import_as("redis.cluster", "RedisCluster", "RedisClusterClient");

  m.def(
      {.name = "initialize_redis",
       .params = {{"url", "str"}, {"environ", "str"}, {"logger", nullptr, None}, decode_responses},
       .body = initialize_redis,
       .doc =
           "\n    Simple Redis initialization.\n    If a logger is not provided, it will use the "
           "default logger from logger_util.\n    "});

  Ref interface = m.cls("IRedisClient")
                      .doc("Interface for Redis clients.")
                      .method({.name = "get",
                               .params = {self, key},
                               .returns = get_returns,
                               .body = not_implemented<Borrowed, Borrowed>})
                      .method({.name = "set",
                               .params = {self, key, value, ex},
                               .returns = "bool",
                               .body = not_implemented<Borrowed, Borrowed, Borrowed, Borrowed>})
                      .method({.name = "delete",
                               .params = {self, key},
                               .returns = "bool",
                               .body = not_implemented<Borrowed, Borrowed>})
                      .method({.name = "increment_category_counts",
                               .params = {self, operation_id, batch_data},
                               .body = not_implemented<Borrowed, Borrowed, Borrowed>})
                      .create();

  Ref base =
      m.cls("BaseRedisClient")
          .base(interface)
          .doc("Base Redis client with common functionality and error handling.")
          .attr("DEFAULT_TTL", integer(604800))
          .method({.name = "__init__",
                   .params = {self, {"url", "str"}, {"logger", "any"}, decode_responses},
                   .body = base_init})
          .method({.name = "connect",
                   .params = {self},
                   .body = not_implemented<Borrowed>,
                   .doc = "Override this method in subclasses to implement connection logic."})
          .method({.name = "get", .params = {self, key}, .returns = get_returns, .body = base_get})
          .method({.name = "set",
                   .params = {self, key, value, ex},
                   .returns = "bool",
                   .body = base_set})
          .method({.name = "delete", .params = {self, key}, .returns = "bool", .body = base_delete})
          .method({.name = "increment_category_counts",
                   .params = {self, operation_id, batch_data},
                   .body = increment_category_counts})
          .create();

  m.cls("ProductionRedisClient")
      .base(base)
      .doc("Production Redis client using Redis Cluster.")
      .method({.name = "connect", .params = {self}, .body = production_connect})
      .method({.name = "_parse_url", .params = {self, {"url", "str"}}, .body = parse_url})
      .create();

  m.cls("DevelopmentRedisClient")
      .base(base)
      .doc("Development Redis client using redis-py.")
      .method({.name = "connect", .params = {self}, .body = development_connect})
      .create();

  m.cls("RedisClientFactory")
      .doc("Factory for creating Redis clients.")
      .staticmethod({.name = "create",
                     .params = {{"url", "str"},
                                {"environ", "str"},
                                {"client_type", "int", 2},
                                {"logger", "any", None},
                                decode_responses},
                     .returns = "Union[IRedisClient, object]",
                     .body = create,
                     .doc = "\n        Create a Redis client instance.\n        - client_type: 1 "
                            "for simple implementation, 2 for advanced (default).\n        "})
      .create();
}

}  // namespace

RT_MODULE(cachelink, nullptr, body)
