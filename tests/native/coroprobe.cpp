// Test-only native coroutine functions, small enough that each test states
// what the body does: they exercise the runtime's coroutine objects from
// Python without any module logic in between.
#include "rt.hpp"

namespace {

using namespace rt;

// Awaits the awaitable and returns its result.
Task relay(Args& a) { co_return co_await await(a[0]); }

// Awaits each awaitable in turn; returns the list of their results.
Task relay_each(Args& a) {
  Ref results = new_list();
  for (const Ref& awaitable : Iterate(a[0])) list_append(results, co_await await(awaitable));
  co_return results;
}

// Awaits the awaitable; when that raises, awaits fallback(exception) instead.
Task recover(Args& a) {
  Ref failure;
  try {
    co_return co_await await(a[0]);
  } catch (const PyError& error) {
    failure = error.value().ref();
  }
  co_return co_await await(a[1](failure));
}

// Raises the exception before awaiting anything.
Task fail(Args& a) {
  raise_object(a[0]);
  co_return none();
}

// Awaits factory() again and again, swallowing the first `forgive`
// exceptions it gets (GeneratorExit included); the next one ends it.
Task persist(Args& a) {
  long forgive = PyLong_AsLong(a[1]);
  for (;;) {
    try {
      co_await await(a[0]());
    } catch (const PyError&) {
      if (forgive-- == 0) throw;
    }
  }
}

// A coroutine body that awaits an internal coroutine of the same kind.
Task relay_inner(Args& a) {
  Ref inner = make_coroutine("relay_inner.<inner>", relay, a.function(), {a[0]});
  co_return co_await await(inner);
}

void body(Module& m) {
  m.def({.name = "relay", .params = {{"awaitable"}}, .coroutine = relay});
  m.def({.name = "relay_each", .params = {{"awaitables", "list"}}, .coroutine = relay_each});
  m.def({.name = "recover", .params = {{"awaitable"}, {"fallback"}}, .coroutine = recover});
  m.def({.name = "fail", .params = {{"exception"}}, .coroutine = fail});
  m.def({.name = "persist", .params = {{"factory"}, {"forgive", "int"}}, .coroutine = persist});
  m.def({.name = "relay_inner", .params = {{"awaitable"}}, .coroutine = relay_inner});
}

}  // namespace

RT_MODULE(_coroprobe, nullptr, body)
