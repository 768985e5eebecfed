// Test-only native coroutine functions, small enough that each test states
// what the body does: they exercise the runtime's coroutine objects from
// Python without any module logic in between.
#include "rt.hpp"

namespace {

using namespace rt;

// Awaits the awaitable and returns its result.
Task relay(Borrowed awaitable) { co_return co_await await(awaitable); }

// Awaits each awaitable in turn; returns the list of their results.
Task relay_each(Call& call, Borrowed awaitables) {
  Borrowed results = call.keep(new_list());
  Borrowed items = call.keep(Ref::steal(PySequence_Tuple(awaitables)));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
    list_append(results, co_await await(PyTuple_GET_ITEM(items.get(), i)));
  co_return results.ref();
}

// Awaits the awaitable; when that raises, awaits fallback(exception) instead.
Task recover(Call& call, Borrowed awaitable, Borrowed fallback) {
  Borrowed failure;
  try {
    co_return co_await await(awaitable);
  } catch (const PyError& error) {
    failure = call.keep(error.value().ref());
  }
  co_return co_await await([&] { return fallback(failure); });
}

// Raises the exception before awaiting anything.
Task fail(Borrowed exception) {
  raise_object(exception);
  co_return none();
}

// Awaits factory() again and again, swallowing the first `forgive`
// exceptions it gets (GeneratorExit included); the next one ends it.
Task persist(Borrowed factory, Borrowed forgive_count) {
  long forgive = PyLong_AsLong(forgive_count);
  for (;;) {
    try {
      co_await await([&] { return factory(); });
    } catch (const PyError&) {
      if (forgive-- == 0) throw;
    }
  }
}

// A coroutine body that awaits an internal coroutine of the same kind.
Task relay_inner(Call& call, Borrowed awaitable) {
  co_return co_await await(
      [&] { return make_coroutine<relay>("relay_inner.<inner>", call, {awaitable}); });
}

void body(Module& m) {
  m.def({.name = "relay", .params = {{"awaitable"}}, .coroutine = relay});
  m.def({.name = "relay_each", .params = {{"awaitables", "list"}}, .coroutine = relay_each});
  m.def({.name = "recover",
         .params = {{"awaitable"}, {"fallback"}},
         .coroutine = recover,
         .handles_close = true});
  m.def({.name = "fail", .params = {{"exception"}}, .coroutine = fail});
  m.def({.name = "persist",
         .params = {{"factory"}, {"forgive", "int"}},
         .coroutine = persist,
         .handles_close = true});
  m.def({.name = "relay_inner", .params = {{"awaitable"}}, .coroutine = relay_inner});
}

}  // namespace

RT_MODULE(_coroprobe, nullptr, body)
