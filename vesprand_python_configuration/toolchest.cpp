// Utilities and chat alerts: the JSON-schema extension of the settings
// loader, the singleton metaclass, and the two Google Chat messengers, which
// post a coloured message card to a webhook at once (requests) or from a
// queue worker on the service's event loop (aiohttp). A sending failure never
// reaches the service: it goes to the messenger's logger.
#include "queue_worker.hpp"
#include "rt.hpp"
#include "schema_extra.hpp"

namespace {

using namespace rt;

// ------------------------------------------------------- schema extension

// Reads the settings file and declares its undeclared keys in the schema.
Ref add_extra_properties_to_schema(Call& call, Borrowed schema, Borrowed appsettings_path) {
  Ref file = call.global("open"_n)(appsettings_path, str("r"));
  Ref appsettings;  // unbound when the file's manager suppresses an error of the load
  with(file, [&](Borrowed f) { appsettings = call.global("json"_n).method("load"_n, f); });
  if (!appsettings)
    raise(PyExc_UnboundLocalError,
          "cannot access local variable 'appsettings' where it is not associated with a value");
  schema_extra::declare(schema, appsettings);
  return schema.ref();
}

// -------------------------------------------------------------- singleton

// The lock of the first construction of `cls`, made on first use.
Ref construction_lock(const Call& call, Borrowed cls) {
  Ref locks = call.state("construction_locks"_n);
  if (Ref lock = locks.dict_get(cls, nullptr)) return lock;
  return locks.method("setdefault"_n, cls, call.state("RLock"_n)());
}

// The one instance of `cls`, constructed by the first call. The first
// construction of each singleton class is serialised across threads by a lock
// of that class's own: re-entrant, so an __init__ may construct another
// singleton class (or wait for another thread constructing one) without
// waiting on itself, and a thread waiting for the lock does not hold the
// interpreter lock (threading.RLock's acquire lets go of it while blocked).
// A process forked meanwhile starts with no lock held: the child's table of
// locks is emptied at the fork.
Ref singleton_call(Call& call, Borrowed cls, Borrowed args, Borrowed kwargs) {
  if (!cls.attr("_instances"_n).contains(cls)) {
    with(construction_lock(call, cls), [&](Borrowed) {
      // Another thread may have constructed it while this one waited.
      if (cls.attr("_instances"_n).contains(cls)) return;
      Ref instance = call_with(super_attr(call, cls, "__call__"_n), {}, args, kwargs);
      cls.attr("_instances"_n).set_item(cls, instance);
    });
  }
  return cls.attr("_instances"_n).item(cls);
}

// -------------------------------------------------------------- the card

Ref string_list(std::initializer_list<const char*> items) {
  Ref list = new_list();
  for (const char* item : items) list_append(list, str(item));
  return list;
}

Ref colour_table() {
  Ref colours = new_dict();
  colours.set_item(integer(1), str("#008000"));
  colours.set_item(integer(0), str("#FF0000"));
  return colours;
}

Ref message_headers() {
  Ref headers = new_dict();
  headers.set_item("Content-Type"_n, str("application/json; charset=UTF-8"));
  return headers;
}

// Whether the messenger's environment is one of its enabled environments,
// by the membership test of `log_enabled` itself.
bool environment_enabled(Borrowed self) {
  return self.attr("log_enabled"_n).contains(self.attr("environ"_n));
}

Ref colour_for(Borrowed self, Borrowed message_type) {
  return self.attr("color_dict"_n).method("get"_n, message_type, str("#000000"));
}

bool is_error(Borrowed message_type) { return message_type.equals(integer(0)); }

Ref member(Name key, Borrowed value) {
  Ref object = new_dict();
  object.set_item(key, value);
  return object;
}

Ref one_element(Borrowed item) {
  Ref list = new_list();
  list_append(list, item);
  return list;
}

// The message card: one card with a header naming the service and its
// environment, and one text paragraph holding the message in its colour.
// The message goes in as it is (no HTML escaping); JSON escapes what it must.
Ref card(Borrowed self, Borrowed color, Borrowed text_message) {
  Ref header = new_dict();
  header.set_item("title"_n, format("*%S*", self.attr("service_name"_n).get()));
  header.set_item("subtitle"_n, format("_%S_", self.attr("environ"_n).get()));
  Ref text = format("<font color='%S'>%S</font>", color.get(), text_message.get());
  Ref widget = member("textParagraph"_n, member("text"_n, text));
  Ref section = member("widgets"_n, one_element(widget));
  Ref card = new_dict();
  card.set_item("header"_n, header);
  card.set_item("sections"_n, one_element(section));
  return member("cards"_n, one_element(card));
}

// A failed send: "Error in webhookApi" with the exception attached, through
// the messenger's logger when it has one; dropped otherwise.
void log_send_failure(Borrowed self, const PyError& error) {
  Handling handling(error);
  Ref logger = self.attr("logger"_n);
  if (!logger.truthy()) return;
  logger.attr("error"_n).call({str("Error in webhookApi")}, {{"exc_info"_n, Py_True}});
}

// ------------------------------------------------ the synchronous messenger

Ref sync_messenger_init(Borrowed self, Borrowed service_name, Borrowed g_chat_webhook,
                        Borrowed g_chat_error_webhook, Borrowed environ, Borrowed log_enabled,
                        Borrowed logger) {
  Ref enabled =
      log_enabled.is_none() ? string_list({"PRODUCTION", "production"}) : log_enabled.ref();
  self.set_attr("service_name"_n, service_name);
  self.set_attr("default_g_chat_webhook"_n, g_chat_webhook);
  self.set_attr("default_g_chat_error_webhook"_n,
                g_chat_error_webhook.truthy() ? g_chat_error_webhook : g_chat_webhook);
  self.set_attr("environ"_n, environ);
  self.set_attr("log_enabled"_n, enabled);
  self.set_attr("logger"_n, logger);
  self.set_attr("color_dict"_n, colour_table());
  return none();
}

// Posts the card at once, to `webhook_url` when given, else to the error or
// the normal webhook by the message type. The answer is not looked at.
Ref sync_send_message(Call& call, Borrowed self, Borrowed text_message, Borrowed message_type,
                      Borrowed webhook_url) {
  try {
    Ref headers = message_headers();
    if (!environment_enabled(self)) return none();
    Ref color = colour_for(self, message_type);
    Ref url = webhook_url.truthy()
                  ? webhook_url.ref()
                  : self.attr(is_error(message_type) ? "default_g_chat_error_webhook"_n
                                                     : "default_g_chat_webhook"_n);
    Ref bot_message = card(self, color, text_message);
    Ref post = call.global("requests"_n).attr("post"_n);
    Ref data = call.global("json"_n).method("dumps"_n, bot_message);
    post.call({}, {{"url"_n, url}, {"headers"_n, headers}, {"data"_n, data}});
  } catch (const PyError& error) {
    if (!error.matches(PyExc_Exception)) throw;
    log_send_failure(self, error);
  }
  return none();
}

// ----------------------------------------------------- the queued messenger

Ref async_messenger_init(Call& call, Borrowed self, Borrowed service_name, Borrowed g_chat_webhook,
                         Borrowed g_chat_error_webhook, Borrowed environ, Borrowed log_enabled,
                         Borrowed logger, Borrowed max_queue_size) {
  Ref enabled = log_enabled.is_none() ? string_list({"PRODUCTION"}) : log_enabled.ref();
  self.set_attr("g_chat_error_webhook"_n,
                g_chat_error_webhook.truthy() ? g_chat_error_webhook : g_chat_webhook);
  self.set_attr("service_name"_n, service_name);
  self.set_attr("g_chat_webhook"_n, g_chat_webhook);
  self.set_attr("environ"_n, environ);
  self.set_attr("log_enabled"_n, enabled);
  self.set_attr("logger"_n, logger);
  self.set_attr("color_dict"_n, colour_table());
  self.set_attr("log_queue"_n, call.global("asyncio"_n).attr("Queue"_n)(max_queue_size));
  self.set_attr("queue_task"_n, Py_None);
  return none();
}

// No loop runs in this thread: the put runs to completion on a new loop made
// current, where no worker runs. A full queue could never drain there, so
// the message is then reported as a failed send instead of blocking for ever.
void enqueue_without_running_loop(const Call& call, Borrowed self, Borrowed text_message,
                                  Borrowed message_type) {
  Ref asyncio = call.global("asyncio"_n);
  if (self.attr("log_queue"_n).method("full"_n).truthy()) {
    log_send_failure(self, PyError(asyncio.attr("QueueFull"_n)()));
    return;
  }
  Ref loop = asyncio.method("new_event_loop"_n);
  asyncio.method("set_event_loop"_n, loop);
  loop.method("run_until_complete"_n,
              self.method("_enqueue_message"_n, text_message, message_type));
}

// Queues a message for the worker (started first if need be). A message
// without a type is a normal one.
Ref async_send_message(Call& call, Borrowed self, Borrowed text_message, Borrowed message_type) {
  self.method("_ensure_queue_processing"_n);
  Ref type = message_type.is_none() ? integer(1) : message_type.ref();
  Ref asyncio = call.global("asyncio"_n);
  try {
    Ref loop = asyncio.method("get_running_loop"_n);
    Ref producer = self.method("_enqueue_message"_n, text_message, type);
    asyncio.method("run_coroutine_threadsafe"_n, producer, loop);
    queue_worker::schedule(queue_worker::state_of(call, self), producer, loop);
  } catch (const PyError& error) {
    if (!error.matches(PyExc_RuntimeError)) throw;
    Handling handling(error);
    enqueue_without_running_loop(call, self, text_message, type);
  }
  return none();
}

// Starts a worker on asyncio.get_event_loop() when there is none that can
// still run: none yet, a finished one, or a stranded one.
Ref ensure_queue_processing(Call& call, Borrowed self) {
  Ref asyncio = call.global("asyncio"_n);
  Borrowed state = queue_worker::state_of(call, self);
  Ref previous = self.attr("queue_task"_n);
  if (previous.truthy() && !previous.method("done"_n).truthy() &&
      !(previous.has_attr("get_loop"_n) &&
        queue_worker::stranded(asyncio, state, previous, previous.method("get_loop"_n))))
    return none();
  Ref loop = asyncio.method("get_event_loop"_n);
  queue_worker::renew_queue(call, self, loop);
  Ref worker = loop.method("create_task"_n, self.method("_process_log_queue"_n));
  self.set_attr("queue_task"_n, worker);
  queue_worker::started(state, worker);
  return none();
}

// Puts messages on the queue, in order: the messages still pending from loops
// that ended, then, for a producer (`text_message` not None), its own one,
// unless something else has handled it.
template <bool Producer>
Task put_claimed(Call& call, Borrowed self, Borrowed /*text_message*/, Borrowed /*message_type*/) {
  Borrowed state = queue_worker::state_of(call, self);
  auto running_loop = [&] { return call.global("asyncio"_n).method("get_running_loop"_n); };
  queue_worker::Claimed claimed = Producer ? queue_worker::claim(call, state, running_loop)
                                           : queue_worker::claim_ended(call, state, running_loop());
  while (claimed.next(state)) {
    bool full = queue_worker::queue_full(self);
    co_await await([&] { return self.attr("log_queue"_n).method("put"_n, claimed.to_put(full)); });
    claimed.queued(state);
  }
  co_return none();
}

// Sends one queued entry, a (text_message, message_type) pair.
Ref send_entry(Borrowed self, Borrowed entry) {
  auto [text_message, message_type] = unpack<2>(entry);
  return self.method("_send_message_async"_n, text_message, message_type);
}

// How long, once its loop ends, the worker goes on sending what it was given.
constexpr double drain_seconds = 5.0;

// Reports a message that is not sent, as a failed send: `why` is the
// exception attached to the error line.
void not_sent(const Call& call, Borrowed self, const PyError& why) {
  try {
    log_send_failure(self, why);
  } catch (const PyError& error) {
    if (!error.matches(PyExc_Exception)) throw;
    queue_worker::report_failure(call, "GoogleChatAsyncMessenger could not report a message",
                                 error);
  }
}

PyError timed_out() {
  return PyError(Ref::borrow(PyExc_TimeoutError)(
      str("not sent within 5 seconds of the end of its event loop")));
}

double loop_time(const Call& call) {
  Ref now = call.global("asyncio"_n).method("get_running_loop"_n).method("time"_n);
  double seconds = PyFloat_AsDouble(now.get());
  if (seconds == -1.0 && PyErr_Occurred()) throw_error();
  return seconds;
}

// Sends what is left (the queued messages, then those not queued yet, in
// order) as the worker does, until `drain_seconds` after the start; each
// message not sent by then is reported as a failed send.
Task drain_messages(Call& call, Borrowed self) {
  Borrowed state = queue_worker::state_of(call, self);
  double deadline = loop_time(call) + drain_seconds;
  for (;;) {
    Borrowed entries;
    Py_ssize_t queued = 0;
    {
      queue_worker::Left left = queue_worker::take_left(call, self, state);
      if (PyList_GET_SIZE(left.entries.get()) == 0) break;
      queued = left.queued;
      entries = call.keep(std::move(left.entries));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
      Borrowed entry = PyList_GET_ITEM(entries.get(), i);
      double remaining = deadline - loop_time(call);
      try {
        if (remaining <= 0) throw timed_out();
        co_await await([&] {
          Ref seconds = Ref::steal(PyFloat_FromDouble(remaining));
          return call.global("asyncio"_n).attr("wait_for"_n)(send_entry(self, entry), seconds);
        });
      } catch (const PyError& error) {
        if (error.matches(PyExc_TimeoutError)) {
          not_sent(call, self, remaining <= 0 ? error : timed_out());
        } else if (error.matches(call.global("asyncio"_n).attr("CancelledError"_n))) {
          deadline = 0;  // cancelled again: what is left is reported at once
          not_sent(call, self, error);
        } else if (error.matches(PyExc_Exception)) {
          queue_worker::report_failure(
              call, "GoogleChatAsyncMessenger could not send a queued message", error);
        } else {
          throw;
        }
      }
      if (i < queued) queue_worker::done(self.attr("log_queue"_n), state);
    }
  }
  co_return none();
}

// The message the worker was sending: done on the queue it came from, and,
// when `why` is given, reported as not sent.
void end_in_flight(const Call& call, Borrowed self, Borrowed state, const PyError* why = nullptr) {
  Ref in_flight = queue_worker::field(state, "in_flight"_n).ref();
  if (in_flight.is_none()) return;
  state.set_item("in_flight"_n, Py_None);
  if (why) not_sent(call, self, *why);
  queue_worker::done(PyTuple_GET_ITEM(in_flight.get(), 1), state);
}

// The worker: sends the queued messages one at a time, in order, for ever.
// An exception escaping one of them is handed to the loop's exception
// handler, and the worker goes on with the next. Cancelled (as when its loop
// ends), it reports the message it was sending, whose fate is unknown, as
// not sent, sends what is left within `drain_seconds`, and ends cancelled.
Task process_log_queue(Call& call, Borrowed self) {
  Borrowed state = queue_worker::state_of(call, self);  // kept while `self` lives
  Borrowed cancelled;
  while (!cancelled) {
    try {
      Ref entry = co_await await([&] { return self.attr("log_queue"_n).method("get"_n); });
      if (queue_worker::skipped(state, entry)) {
        queue_worker::done(self.attr("log_queue"_n), state);
        continue;
      }
      state.set_item("in_flight"_n, tuple(entry, self.attr("log_queue"_n)));
      entry.reset();
      try {
        co_await await([&] {
          return send_entry(self,
                            PyTuple_GET_ITEM(queue_worker::field(state, "in_flight"_n).get(), 0));
        });
      } catch (const PyError& error) {
        if (!error.matches(PyExc_Exception)) throw;
        queue_worker::report_failure(
            call, "GoogleChatAsyncMessenger could not send a queued message", error);
      }
      end_in_flight(call, self, state);
    } catch (const PyError& error) {
      if (!error.matches(call.global("asyncio"_n).attr("CancelledError"_n))) throw;
      cancelled = call.keep(error.value().ref());
    }
  }
  {
    PyError why(cancelled.ref());
    end_in_flight(call, self, state, &why);
  }
  co_await await([&] {
    return make_coroutine<drain_messages>("GoogleChatAsyncMessenger._drain_messages", call, {self});
  });
  throw PyError(cancelled.ref());
}

bool any_pending(Borrowed state, Borrowed producers) {
  for (const Ref& producer : Iterate(producers))
    if (queue_worker::field(state, "pending"_n).contains(producer)) return true;
  return false;
}

Ref next_progress(const Call& call, Borrowed state) {
  return queue_worker::progress(state, call.global("asyncio"_n).method("get_running_loop"_n));
}

// Returns once every message sent before the call has been sent or has
// failed: the worker is ensured, the messages still pending from loops that
// ended are queued, the producers scheduled before are waited for, and then
// the worker, until it has done as many messages as there were ahead.
Task flush(Call& call, Borrowed self) {
  self.method("_ensure_queue_processing"_n);
  co_await await([&] {
    return make_coroutine<put_claimed<false>>("GoogleChatAsyncMessenger._put_claimed", call,
                                              {self, Py_None, Py_None});
  });
  Borrowed state = queue_worker::state_of(call, self);
  Borrowed before = call.keep(Ref::steal(PyDict_Keys(queue_worker::field(state, "pending"_n))));
  while (any_pending(state, before)) co_await await([&] { return next_progress(call, state); });
  Py_ssize_t ahead = queue_worker::as_size(self.attr("log_queue"_n).method("qsize"_n)) +
                     (queue_worker::field(state, "in_flight"_n).is_none() ? 0 : 1);
  Py_ssize_t target = queue_worker::count(state, "finished"_n) + ahead;
  while (queue_worker::count(state, "finished"_n) < target)
    co_await await([&] { return next_progress(call, state); });
  co_return none();
}

// The exit hook's part: what a worker whose loop never ran again left is
// sent on a loop of its own, within `drain_seconds`; a message it was
// sending when its loop stopped is reported as not sent.
Ref finish_at_exit(Call& call, Borrowed self) {
  Borrowed state = queue_worker::state_of(call, self);
  if (queue_worker::left_alone(self, state)) return none();
  PyError stopped(Ref::borrow(PyExc_RuntimeError)(
      str("its event loop stopped while the message was being sent")));
  end_in_flight(call, self, state, &stopped);
  if (!queue_worker::nothing_left(self, state)) {
    // asyncio.run's steps, on a loop that is never made current.
    Ref asyncio = call.global("asyncio"_n);
    Ref runner =
        asyncio.attr("Runner"_n).call({}, {{"loop_factory"_n, asyncio.attr("new_event_loop"_n)}});
    with(runner, [&](Borrowed running) {
      running.method("run"_n, make_coroutine<drain_messages>(
                                  "GoogleChatAsyncMessenger._drain_messages", call, {self}));
    });
  }
  queue_worker::close_at_exit(state);
  return none();
}

// async with session.post(...) as response: response.raise_for_status()
Task check_response(Borrowed response) {
  response.method("raise_for_status"_n);
  co_return none();
}

// async with session.post(url=url, headers=headers, data=json.dumps(card)) as response: ...
Task post_card(Call& call, Borrowed session, Borrowed url, Borrowed headers, Borrowed bot_message) {
  co_await await([&] {
    Ref post = session.attr("post"_n);
    Ref data = call.global("json"_n).method("dumps"_n, bot_message);
    Ref response = post.call({}, {{"url"_n, url}, {"headers"_n, headers}, {"data"_n, data}});
    return async_with<check_response>(call, response);
  });
  co_return none();
}

// Posts the card in a session of its own; an HTTP error status counts as a
// failed send.
Task send_message_async(Call& call, Borrowed self, Borrowed text_message, Borrowed message_type) {
  try {
    Borrowed headers = call.keep(message_headers());
    if (!environment_enabled(self)) co_return none();
    Borrowed color = call.keep(colour_for(self, message_type));
    Borrowed url = call.keep(
        self.attr(is_error(message_type) ? "g_chat_error_webhook"_n : "g_chat_webhook"_n));
    Borrowed bot_message = call.keep(card(self, color, text_message));
    co_await await([&] {
      Ref session = call.global("aiohttp"_n).method("ClientSession"_n);
      return async_with<post_card>(call, session, url, headers, bot_message);
    });
  } catch (const PyError& error) {
    if (!error.matches(PyExc_Exception)) throw;
    log_send_failure(self, error);
  }
  co_return none();
}

// The queued messenger when `async_mode` is true, else the synchronous one;
// the first of each kind in the process.
Ref setup_google_chat_messenger(Call& call, Borrowed service_name, Borrowed g_chat_webhook,
                                Borrowed g_chat_error_webhook, Borrowed environ,
                                Borrowed async_mode, Borrowed log_enabled, Borrowed logger) {
  Ref messenger =
      call.global(async_mode.truthy() ? "GoogleChatAsyncMessenger"_n : "GoogleChatSyncMessenger"_n);
  return messenger(service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled,
                   logger);
}

// ---------------------------------------------------------------- the module

const Param self{"self"};
const Param text_message{"text_message", "str"};
const std::vector<Param> messenger_params = {
    self,
    {"service_name", "str"},
    {"g_chat_webhook", "str"},
    {"g_chat_error_webhook", "str"},
    {"environ", "str"},
    {"log_enabled", "Optional[list[str]]", None},
    {"logger", "Optional[logging.Logger]", None},
};

std::vector<Param> with_param(std::vector<Param> params, Param more, std::size_t at) {
  params.insert(params.begin() + static_cast<std::ptrdiff_t>(at), more);
  return params;
}

void body(Module& m) {
  m.import("asyncio");
  m.import("json");
  m.import("logging");
  m.from_import("typing", {"Optional", "Union", "Dict", "Any"});
  m.import("aiohttp");
  m.import("requests");
  m.def({.name = "add_extra_properties_to_schema",
         .params = {{"schema", "Dict[str, Any]"}, {"appsettings_path", "str"}},
         .returns = "Dict[str, Any]",
         .body = add_extra_properties_to_schema});

  Ref locks = new_dict();
  m.keep("construction_locks"_n, locks);
  m.keep("RLock"_n, Ref::steal(PyImport_ImportModule("threading")).attr("RLock"_n));
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  os.attr("register_at_fork"_n).call({}, {{"after_in_child"_n, locks.attr("clear"_n)}});
  Ref singleton_meta =
      m.cls("SingletonMeta")
          .base(reinterpret_cast<PyObject*>(&PyType_Type))
          .doc("\n    This is a thread-safe implementation of Singleton.\n    ")
          .attr("_instances", new_dict(), "Dict[type, Any]")
          .method({.name = "__call__",
                   .params = {{"cls"}, varargs("args", "Any"), varkw("kwargs", "Any")},
                   .returns = "Any",
                   .body = singleton_call})
          .create();

  m.cls("GoogleChatSyncMessenger")
      .metaclass(singleton_meta)
      .method({.name = "__init__",
               .params = messenger_params,
               .returns = "None",
               .body = sync_messenger_init})
      .method({.name = "send_message",
               .params = {self,
                          text_message,
                          {"message_type", "int", 1},
                          {"webhook_url", "Optional[str]", None}},
               .returns = "None",
               .body = sync_send_message,
               .doc = "Send a message to Google Chat synchronously, allowing dynamic webhook "
                      "overrides."})
      .create();

  const Param message_type{"message_type", "int"};
  m.keep(
      "finish_at_exit"_n,
      make_function(
          {.name = "_finish_at_exit", .params = {self}, .returns = "None", .body = finish_at_exit},
          m, "GoogleChatAsyncMessenger._finish_at_exit"));
  m.cls("GoogleChatAsyncMessenger")
      .metaclass(singleton_meta)
      .method({.name = "__init__",
               .params = with_param(messenger_params, {"max_queue_size", "int", 100},
                                    messenger_params.size()),
               .returns = "None",
               .body = async_messenger_init})
      .method({.name = "send_message",
               .params = {self, text_message, {"message_type", "int", None}},
               .returns = "None",
               .body = async_send_message,
               .doc = "Send message to Google Chat asynchronously."})
      .method({.name = "_ensure_queue_processing",
               .params = {self},
               .returns = "None",
               .body = ensure_queue_processing})
      .method({.name = "_enqueue_message",
               .params = {self, text_message, message_type},
               .returns = "None",
               .coroutine = put_claimed<true>})
      .method({.name = "_process_log_queue",
               .params = {self},
               .returns = "None",
               .coroutine = process_log_queue})
      .method({.name = "_send_message_async",
               .params = {self, text_message, message_type},
               .returns = "None",
               .coroutine = send_message_async})
      .method({.name = "flush", .params = {self}, .returns = "None", .coroutine = flush})
      .create();

  m.def({.name = "setup_google_chat_messenger",
         .params = with_param({messenger_params.begin() + 1, messenger_params.end()},
                              {"async_mode", "bool", false}, 4),
         .returns = "Union[GoogleChatSyncMessenger, GoogleChatAsyncMessenger]",
         .body = setup_google_chat_messenger});
}

}  // namespace

RT_MODULE(toolchest, nullptr, body)
