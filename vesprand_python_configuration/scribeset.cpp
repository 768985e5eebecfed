// Logging: console loggers with one line format and Asia/Kolkata time stamps,
// the CustomLogger whose error() records exception information by default,
// and the AsyncLogger that queues records and writes them from a worker task
// on the service's event loop.
#include <optional>

#include "queue_worker.hpp"
#include "rt.hpp"

namespace {

using namespace rt;

// ------------------------------------------------------------ logger setup

// The current time in Asia/Kolkata. Its arguments are ignored: as the
// converter of logging.Formatter it is called as a method of the formatter
// with the record's creation time.
Ref time_tz(Call& call, Borrowed) {
  Ref now = call.global("datetime"_n).attr("now"_n);
  Ref zone = call.global("timezone"_n)("Asia/Kolkata"_n.get());
  return now(zone).method("timetuple"_n);
}

// error() with exception information unless the call says otherwise.
Ref custom_logger_error(Call& call, Borrowed self, Borrowed msg, Borrowed args, Borrowed kwargs) {
  if (!kwargs.contains("exc_info"_n.get())) kwargs.set_item("exc_info"_n, Py_True);
  call_with(super_attr(call, self, "error"_n), {msg}, args, kwargs);
  return none();
}

Ref setup_base_logger(Call& call, Borrowed service_name, Borrowed log_level) {
  Ref logging = call.global("logging"_n);
  logging.method("setLoggerClass"_n, call.global("CustomLogger"_n));
  Ref logger = logging.method("getLogger"_n, service_name);
  logger.method("setLevel"_n, log_level);
  Ref console_handler = logging.method("StreamHandler"_n);
  console_handler.method("setLevel"_n, log_level);
  Ref formatter = logging.attr("Formatter"_n)
                      .call({str("\n%(levelname)s - %(asctime)s - %(message)s\n")},
                            {{"datefmt"_n, str("%m/%d/%Y %H:%M:%S")}});
  console_handler.method("setFormatter"_n, formatter);
  logger.method("addHandler"_n, console_handler);
  return logger;
}

Ref setup_sync_logger(Call& call, Borrowed service_name, Borrowed log_level) {
  return call.global("setup_base_logger"_n)(service_name, log_level);
}

Ref setup_async_logger(Call& call, Borrowed service_name, Borrowed log_level) {
  return call.global("AsyncLogger"_n)(service_name, log_level);
}

Ref get_log_level_from_string(Call& call, Borrowed level_str) {
  Ref upper = level_str.method("upper"_n);
  Ref logging = call.global("logging"_n);
  Ref levels = new_dict();
  for (Name name : {"DEBUG"_n, "INFO"_n, "WARNING"_n, "ERROR"_n, "CRITICAL"_n})
    levels.set_item(name, logging.attr(name));
  return levels.method("get"_n, upper, logging.attr("ERROR"_n));
}

Ref setup_logger(Call& call, Borrowed service_name, Borrowed async_mode, Borrowed log_level_str) {
  Ref log_level = call.global("get_log_level_from_string"_n)(log_level_str);
  if (async_mode.truthy()) return call.global("setup_async_logger"_n)(service_name, log_level);
  return call.global("setup_sync_logger"_n)(service_name, log_level);
}

// -------------------------------------------------------- the queued logger

Ref async_logger_init(Call& call, Borrowed self, Borrowed service_name, Borrowed log_level,
                      Borrowed max_queue_size) {
  self.set_attr("logger"_n, call.global("setup_base_logger"_n)(service_name, log_level));
  self.set_attr("log_queue"_n, call.global("asyncio"_n).attr("Queue"_n)(max_queue_size));
  self.set_attr("executor"_n, call.global("ThreadPoolExecutor"_n)());
  self.set_attr("log_level"_n, log_level);
  Ref logger = self.attr("logger"_n);
  Ref log_methods = new_dict();
  for (Name level : {"error"_n, "warning"_n, "info"_n, "debug"_n})
    log_methods.set_item(level, logger.attr(level));
  self.set_attr("log_methods"_n, log_methods);
  self.method("_ensure_queue_processing"_n);
  return none();
}

// Starts one worker on the running loop, or on a new loop made current.
Ref ensure_queue_processing(Call& call, Borrowed self) {
  Ref asyncio = call.global("asyncio"_n);
  Ref loop;
  try {
    loop = asyncio.method("get_running_loop"_n);
  } catch (const PyError& error) {
    if (!error.matches(PyExc_RuntimeError)) throw;
    Handling handling(error);
    loop = asyncio.method("new_event_loop"_n);
    asyncio.method("set_event_loop"_n, loop);
  }
  Ref worker = loop.method("create_task"_n, self.method("_process_log_queue"_n));
  queue_worker::started(queue_worker::state_of(call, self), worker);
  return none();
}

// A worker stranded on a loop that is not running (or is closed, or gone)
// is replaced by one on the running loop.
void keep_worker_running(const Call& call, Borrowed self, Borrowed state, Borrowed loop) {
  Borrowed worker_loop = queue_worker::referent(state, "worker_loop"_n);
  if (worker_loop.is(loop) || !queue_worker::stranded(call.global("asyncio"_n), state,
                                                      queue_worker::worker(state), worker_loop))
    return;
  queue_worker::renew_queue(call, self, loop);
  self.method("_ensure_queue_processing"_n);
}

// Writes one record through the logger method of its level. An exception
// raised meanwhile is reported rather than ending the caller, so the records
// after it are still written.
void write_record(const Call& call, Borrowed self, Borrowed entry) {
  try {
    // A queued record: (level, msg, args, kwargs).
    auto [level, msg, args, kwargs] = unpack<4>(entry);
    Ref log_method = self.attr("log_methods"_n).method("get"_n, level);
    if (log_method.truthy()) call_with(log_method, {msg}, args, kwargs);
  } catch (const PyError& error) {
    if (!error.matches(PyExc_Exception)) throw;
    queue_worker::report_failure(call, "AsyncLogger could not write a queued log record", error);
  }
}

// A record taken off the queue: written, unless it is a copy queued after
// the record was written, and marked done.
void write_queued(const Call& call, Borrowed self, Borrowed state, Borrowed entry) {
  if (!queue_worker::skipped(state, entry)) write_record(call, self, entry);
  self.attr("log_queue"_n).method("task_done"_n);
}

// Writes, in order, every record still queued, then every record whose
// producer has not queued it yet.
void write_left(const Call& call, Borrowed self, Borrowed state) {
  queue_worker::Left left = queue_worker::take_left(call, self, state);
  Py_ssize_t written = 0;
  for (const Ref& entry : Iterate(left.entries)) {
    write_record(call, self, entry);
    if (written++ < left.queued) queue_worker::done(self.attr("log_queue"_n), state);
  }
}

// The worker: writes the queued records in order, for ever. Cancelled (as
// when its loop ends), it first writes every record still queued, then those
// not yet queued, in order, then ends as cancelled.
Task process_log_queue(Call& call, Borrowed self) {
  Borrowed state = queue_worker::state_of(call, self);  // kept while `self` lives
  std::optional<PyError> cancelled;
  while (!cancelled) {
    try {
      Ref entry = co_await await([&] { return self.attr("log_queue"_n).method("get"_n); });
      write_queued(call, self, state, entry);
    } catch (const PyError& error) {
      if (!error.matches(call.global("asyncio"_n).attr("CancelledError"_n))) throw;
      cancelled = error;
    }
  }
  // Written as in normal operation: the cancellation is not being handled.
  write_left(call, self, state);
  throw *cancelled;
}

// The in-line drain of a producer that found the queue full: writes queued
// records in order until there is room again.
Task drain_log_queue(Call& call, Borrowed self) {
  Borrowed state = queue_worker::state_of(call, self);
  while (queue_worker::queue_full(self)) {
    Ref entry = co_await await([&] { return self.attr("log_queue"_n).method("get"_n); });
    write_queued(call, self, state, entry);
  }
  co_return none();
}

bool droppable(Borrowed level) {
  return level.equals("info"_n.get()) || level.equals("debug"_n.get());
}

// Queues one record. A full queue is drained first; if it is full again by
// then, info and debug records are dropped while the others wait for room.
// A record that a public method scheduled is queued only while nothing else
// has written it, and after the records still pending from loops that ended.
// The record is the call's arguments, as `claimed` reads them.
Task log_message(Call& call, Borrowed self, Borrowed /*level*/, Borrowed /*msg*/, Borrowed /*args*/,
                 Borrowed /*kwargs*/) {
  Borrowed state = queue_worker::state_of(call, self);
  queue_worker::Claimed claimed = queue_worker::claim(call, state, [&] {
    // A call nobody scheduled, maybe on a new loop.
    Ref loop = call.global("asyncio"_n).method("get_running_loop"_n);
    keep_worker_running(call, self, state, loop);
    return loop;
  });
  while (claimed.next(state)) {
    if (queue_worker::queue_full(self)) {
      co_await await([&] {
        return make_coroutine<drain_log_queue>("AsyncLogger._drain_log_queue", call, {self});
      });
      if (!claimed.refresh(state)) continue;  // written meanwhile
    }
    bool full = queue_worker::queue_full(self);
    if (full && droppable(claimed.arg(1))) {
      claimed.dropped(state);
      continue;
    }
    co_await await([&] { return self.attr("log_queue"_n).method("put"_n, claimed.to_put(full)); });
    claimed.queued(state);
  }
  co_return none();
}

// A record written later by the worker is outside the caller's exception
// handler, where the logger would find no exception. So while the caller
// handles one, a record that asks for the current exception (exc_info true,
// or absent when `by_default`) carries that exception object instead.
void attach_handled_exception(Borrowed kwargs, bool by_default) {
  Ref handled = handled_exception();
  if (!handled) return;
  if (kwargs.contains("exc_info"_n.get())) {
    Ref exc_info = kwargs.item("exc_info"_n);
    if (!exc_info.truthy() || PyTuple_Check(exc_info.get()) ||
        PyExceptionInstance_Check(exc_info.get()))
      return;
  } else if (!by_default) {
    return;
  }
  kwargs.set_item("exc_info"_n, handled);
}

// One public logging method: the level it queues, the threshold it is
// filtered by, and whether exception information is on by default.
template <Literal Level, Literal Threshold, bool ExcInfoByDefault>
Ref log_at(Call& call, Borrowed self, Borrowed msg, Borrowed args, Borrowed kwargs) {
  Ref threshold = call.global("logging"_n).attr(operator""_n<Threshold>());
  if (!check(PyObject_RichCompareBool(self.attr("log_level"_n).get(), threshold.get(), Py_LE)))
    return none();
  Ref asyncio = call.global("asyncio"_n);
  Ref loop = asyncio.method("get_running_loop"_n);
  Borrowed state = queue_worker::state_of(call, self);
  keep_worker_running(call, self, state, loop);
  attach_handled_exception(kwargs, ExcInfoByDefault);
  Borrowed level = operator""_n<Level>().get();
  Ref coroutine = call_with(self.attr("_log_message"_n), {level, msg}, args, kwargs);
  asyncio.method("run_coroutine_threadsafe"_n, coroutine, loop);
  queue_worker::schedule(state, coroutine, loop);
  return none();
}

// Writes, now and in order, every record logged before the call: those
// queued, then those not queued yet (their producers then write nothing).
Task flush(Call& call, Borrowed self) {
  write_left(call, self, queue_worker::state_of(call, self));
  co_return none();
}

// The exit hook's part: writes the records that a worker whose loop never
// ran again left behind.
Ref finish_at_exit(Call& call, Borrowed self) {
  Borrowed state = queue_worker::state_of(call, self);
  if (queue_worker::left_alone(self, state)) return none();
  write_left(call, self, state);
  queue_worker::close_at_exit(state);
  return none();
}

Ref print_queue_length(Call& call, Borrowed self) {
  Ref size = self.attr("log_queue"_n).method("qsize"_n).str();
  call.global("print"_n)(format("Log queue length: %U", size.get()));
  return none();
}

// ---------------------------------------------------------------- the module

const Param self{"self"};
const Param msg{"msg", "str"};
const Param any_args = varargs("args", "Any");
const Param any_kwargs = varkw("kwargs", "Any");
const Param service_name{"service_name", "str"};
const Param log_level{"log_level", "int"};

Def public_method(const char* name, Body body) {
  return {
      .name = name, .params = {self, msg, any_args, any_kwargs}, .returns = "None", .body = body};
}

void body(Module& m) {
  m.import("asyncio");
  Ref logging = m.import("logging");
  m.from_import("concurrent.futures", {"ThreadPoolExecutor"});
  m.from_import("datetime", {"datetime"});
  m.from_import("logging", {"Logger"});
  m.from_import("typing", {"Union", "Callable", "Optional", "Dict", "Any"});
  m.from_import("pytz", {"timezone"});

  Ref converter = m.def({.name = "time_tz",
                         .params = {varargs("args", "Any")},
                         .returns = "datetime.timetuple",
                         .body = time_tz,
                         .doc = "Get the current time in the Asia/Kolkata timezone."});
  logging.attr("Formatter"_n).set_attr("converter"_n, converter);

  m.cls("CustomLogger")
      .base(logging.attr("Logger"_n))
      .method({.name = "error",
               .params = {self, msg, any_args, any_kwargs},
               .returns = "None",
               .body = custom_logger_error})
      .create();

  m.def({.name = "setup_base_logger",
         .params = {service_name, log_level},
         .returns = "Logger",
         .body = setup_base_logger});
  m.def({.name = "setup_sync_logger",
         .params = {service_name, log_level},
         .returns = "Logger",
         .body = setup_sync_logger});
  m.def({.name = "setup_async_logger",
         .params = {service_name, log_level},
         .returns = "AsyncLogger",
         .body = setup_async_logger});
  m.def({.name = "get_log_level_from_string",
         .params = {{"level_str", "str"}},
         .returns = "int",
         .body = get_log_level_from_string,
         .doc = "Convert a log level string to a logging level int."});
  m.def({.name = "setup_logger",
         .params = {service_name, {"async_mode", "bool", false}, {"log_level_str", "str", "DEBUG"}},
         .returns = "Union[Logger, AsyncLogger]",
         .body = setup_logger});

  m.keep(
      "finish_at_exit"_n,
      make_function(
          {.name = "_finish_at_exit", .params = {self}, .returns = "None", .body = finish_at_exit},
          m, "AsyncLogger._finish_at_exit"));
  m.cls("AsyncLogger")
      .method({.name = "__init__",
               .params = {self, service_name, log_level, {"max_queue_size", "int", 100}},
               .returns = "None",
               .body = async_logger_init})
      .method({.name = "_ensure_queue_processing",
               .params = {self},
               .returns = "None",
               .body = ensure_queue_processing})
      .method({.name = "_log_message",
               .params = {self, {"level", "str"}, msg, any_args, any_kwargs},
               .returns = "None",
               .coroutine = log_message})
      .method({.name = "_process_log_queue",
               .params = {self},
               .returns = "None",
               .coroutine = process_log_queue})
      .method(public_method("error", log_at<"error", "ERROR", true>))
      .method(public_method("info", log_at<"info", "INFO", false>))
      .method(public_method("debug", log_at<"debug", "DEBUG", false>))
      .method(public_method("warning", log_at<"warning", "WARNING", false>))
      .method({.name = "flush", .params = {self}, .returns = "None", .coroutine = flush})
      .method({.name = "print_queue_length",
               .params = {self},
               .returns = "None",
               .body = print_queue_length,
               .doc = "Print the current length of the log queue."})
      .create();
}

}  // namespace

RT_MODULE(scribeset, nullptr, body)
