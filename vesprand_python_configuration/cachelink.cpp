// Redis access: initialize_redis, which hands out a library client; the
// wrappers that log a failed get/set/delete and answer a neutral value, with
// a default expiry on set and the per-operation category counters; and the
// factory that chooses between them.
#include <cstdio>

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
    result = result ? Ref::steal(PyNumber_Add(result.get(), next.get())) : std::move(next);
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

// A failed operation of a wrapper: an Exception is logged (prefix, the
// subject, "': ", the error) while it is being handled, then answered with
// `neutral`, or raised again when there is none. Anything else goes on
// unchanged.
Ref failed(Borrowed self, const char* prefix, Borrowed subject, const PyError& error, Ref neutral) {
  if (!error.matches(PyExc_Exception)) throw error;
  Handling handling(error);
  log_failure(self, prefix, subject, error);
  if (!neutral) throw error;
  return neutral;
}

// Runs `op` as the wrappers guard their operations (see failed). The
// operation may answer an empty Ref with the error set rather than throw it,
// as the server's answer does: a failing server then costs no unwind.
template <class F>
Ref guarded_by_log(Borrowed self, const char* prefix, Borrowed subject, F&& op,
                   Ref neutral = Ref()) {
  try {
    if (Ref result = op()) return result;
  } catch (const PyError& error) {
    return failed(self, prefix, subject, error, std::move(neutral));
  }
  return failed(self, prefix, subject, PyError(), std::move(neutral));
}

// ----------------------------------------- cluster clients of redis-py < 4.4

// The cluster client of redis-py before 4.4.0 does not recover from every
// failover by itself:
// - a rebuild of its slot table that meets a startup node without a
//   connection deep-copies the connection arguments; they hold a bound method
//   of the client, so the copy reaches the client's lock and fails, and so
//   does every later rebuild. A cluster client this module creates answers a
//   deep copy with itself, which the copied arguments then share.
// - its pipeline raises a refused connection without rebuilding the slot
//   table, so the counters of a moved slot would keep failing: the counters
//   rebuild it themselves after a pipeline lost its connection.
// The module keeps the library's cluster class as "fragile_cluster" when the
// library is such a release (None otherwise), decided once at import.

bool is_fragile_cluster(const Call& call, Borrowed client) {
  Ref fragile = call.state("fragile_cluster"_n);
  return !fragile.is_none() && check(PyObject_IsInstance(client, fragile.get()));
}

Ref itself(Borrowed self, Borrowed) { return self.ref(); }

// A cluster client just created by this module, made safe to rebuild.
Ref created(const Call& call, Ref client) {
  if (is_fragile_cluster(call, client))
    client.set_attr("__deepcopy__"_n,
                    Ref::steal(PyMethod_New(call.state("itself"_n).get(), client.get())));
  return client;
}

// Rebuilds the slot table of a cluster client. A failed rebuild is left for
// the client's next command to repeat.
void rebuild_slot_table(Borrowed client) {
  try {
    client.attr("nodes_manager"_n).method("initialize"_n);
  } catch (const PyError& failed) {
    if (!failed.matches(PyExc_Exception)) throw;
  }
}

// Whether the library's version text names a release before 4.4.0.
bool before_4_4(Borrowed redis) {
  if (!redis.has_attr("__version__"_n)) return false;
  int major = 0, minor = 0;
  Ref version = redis.attr("__version__"_n).str();
  const char* text = PyUnicode_AsUTF8(version.get());
  if (text == nullptr) throw_error();
  return std::sscanf(text, "%d.%d", &major, &minor) == 2 &&
         (major < 4 || (major == 4 && minor < 4));
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
    port = Ref::steal(PyNumber_Long(port_text.get()));
  } catch (const PyError& error) {
    if (!error.matches(PyExc_ValueError)) throw;
    port = integer(6379);
  }
  logger.method("info"_n, concat("After splitting ", host));
  Ref client = created(call, call.global("RedisClusterClient"_n)
                                 .call({}, {{"host"_n, host},
                                            {"port"_n, port},
                                            {"decode_responses"_n, decode_responses}}));
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
      self, "Error getting key '", key,
      [&] { return self.attr("client"_n).method_or_error("get"_n, key); }, none());
}

Ref base_set(Borrowed self, Borrowed key, Borrowed value, Borrowed ex) {
  return guarded_by_log(
      self, "Error setting key '", key,
      [&] {
        Ref zero = integer(0);
        Ref ttl = check(PyObject_RichCompareBool(ex, zero.get(), Py_NE))
                      ? ex.ref()
                      : self.attr("DEFAULT_TTL"_n);
        return self.attr("client"_n).attr("set"_n).call_or_error({key, value}, {{"ex"_n, ttl}});
      },
      boolean(false));
}

Ref base_delete(Borrowed self, Borrowed key) {
  return guarded_by_log(
      self, "Error deleting key '", key,
      [&] { return self.attr("client"_n).method_or_error("delete"_n, key); }, boolean(false));
}

// ---------------------------------------------------- the category counters

// Queues one increment of the identifier's field.
void count(Borrowed pipe, Borrowed key, Borrowed record, Borrowed one) {
  pipe.method("hincrby"_n, key, record.method("get"_n, "id"_n.get()).str(), one);
}

// Sends the counts of a batch through one pipeline of `client`. The expiry
// goes first and, when anything was counted, once more after the increments:
// a hash that the batch creates gets its expiry too. Nothing is sent when
// the walk fails.
void send_counts(Borrowed client, Borrowed key, Borrowed batch_data) {
  Ref pipe = client.method("pipeline"_n);
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
}

// Counts every identifier of the batch, at all three levels, in one hash per
// operation. When the pipeline of a fragile cluster client lost its
// connection, the client's slot table is rebuilt after the failure is
// logged, so that the next batch finds the slot's new master.
Ref increment_category_counts(Call& call, Borrowed self, Borrowed operation_id,
                              Borrowed batch_data) {
  Ref key = concat("Mod:RetagOperations:", operation_id, ":category_counts");
  Ref client;
  bool lost_connection = false;
  guarded_by_log(
      self, "Error incrementing category counts for operation '", operation_id,
      [&] {
        client = self.attr("client"_n);
        try {
          send_counts(client, key, batch_data);
        } catch (const PyError& error) {
          lost_connection = error.matches(call.state("lost_connection"_n));
          throw;
        }
        return none();
      },
      none());
  if (lost_connection && is_fragile_cluster(call, client)) rebuild_slot_table(client);
  return none();
}

// ----------------------------------------------------- connecting a wrapper

Ref production_connect(Call& call, Borrowed self) {
  return guarded_by_log(self, "Error connecting to Production Redis at '", self.attr("url"_n), [&] {
    auto [host, port] = unpack<2>(self.method("_parse_url"_n, self.attr("url"_n)));
    return created(call, call.global("RedisClusterClient"_n)
                             .call({}, {{"host"_n, host},
                                        {"port"_n, port},
                                        {"decode_responses"_n, self.attr("decode_responses"_n)}}));
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
  Ref redis = m.import("redis");
  m.from_import_as("redis.cluster", "RedisCluster", "RedisClusterClient");
  m.keep("fragile_cluster"_n, before_4_4(redis) ? m.dict().item("RedisClusterClient"_n) : none());
  Ref errors = redis.attr("exceptions"_n);
  m.keep("lost_connection"_n,
         tuple(errors.attr("ConnectionError"_n), errors.attr("TimeoutError"_n)));
  m.keep("itself"_n,
         make_function({.name = "__deepcopy__", .params = {self, {"memo"}}, .body = itself}, m,
                       "__deepcopy__"));

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
