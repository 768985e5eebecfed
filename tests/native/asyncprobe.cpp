// Test-only native coroutines around the `async with` helper: each states the
// statement it runs, so a test can hold it against the same Python code.
#include "rt.hpp"

namespace {

using namespace rt;

// return await body(entered)
Task await_body(Borrowed entered, Borrowed body) {
  co_return co_await await([&] { return body(entered); });
}

// async with manager as entered:
//     return await body(entered)
Task async_with_body(Call& call, Borrowed manager, Borrowed body) {
  co_return co_await await([&] { return async_with<await_body>(call, manager, body); });
}

// async with outer as entered:
//     return await async_with_body(inner(entered), body)
Task nest_inner(Call& call, Borrowed entered, Borrowed inner, Borrowed body) {
  co_return co_await await([&] { return async_with<await_body>(call, inner(entered), body); });
}

Task nested(Call& call, Borrowed outer, Borrowed inner, Borrowed body) {
  co_return co_await await([&] { return async_with<nest_inner>(call, outer, inner, body); });
}

void body(Module& m) {
  m.def(
      {.name = "async_with_body", .params = {{"manager"}, {"body"}}, .coroutine = async_with_body});
  m.def({.name = "nested", .params = {{"outer"}, {"inner"}, {"body"}}, .coroutine = nested});
}

}  // namespace

RT_MODULE(_asyncprobe, nullptr, body)
