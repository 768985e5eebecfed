// The `async with` statement inside native coroutine bodies:
//
//   async with manager as entered:
//       return await body(entered, values...)
//
// is `co_await await([&] { return async_with<body>(call, manager, values...); })`,
// where `body` is a coroutine body `Task body(Call&, Borrowed entered,
// Borrowed value, ...)` (the Call& may be left out). async_with makes the
// awaitable of the whole statement, a native coroutine that follows the
// statement as `with` (context.hpp) does: __aenter__ and __aexit__ looked up on
// the manager's type (both before __aenter__ is called), each result awaited,
// the body's exception reaching __aexit__ as (type, value, traceback) while it
// is being handled (so an exception __aexit__ raises has it as __context__),
// a true result of __aexit__ suppressing it, and __aexit__ awaited exactly once
// on every path out of the body: its result, its exception, and a
// cancellation or close() thrown in while it awaits. Awaiting the statement
// gives the body's result, or None when __aexit__ suppressed its exception.
//
// The body runs as a coroutine object of its own: a C++ exception leaving it
// arrives at the statement as the Python error it becomes at that boundary.
// A C++ exception of the statement's own steps reaches __aexit__ likewise and
// goes on as itself, whatever __aexit__ answers.
#pragma once

#include <cstddef>
#include <exception>
#include <utility>

#include "context.hpp"
#include "coroutine.hpp"

namespace rt {

namespace async_context {

constexpr const char* protocol = "asynchronous context manager";

// What __aenter__ or __aexit__ returned, once it is known to be awaitable.
inline Ref awaitable_from(Ref result, const char* method) {
  if (!is_awaitable(result))
    raise_format(PyExc_TypeError,
                 "'async with' received an object from %s that does not implement __await__: "
                 "%.100s",
                 method, result.type_name());
  return result;
}

// The statement: its Call holds the manager and the body's values; what
// must outlive a suspension is kept there too.
template <auto Body, class... B>
Task statement(Call& call, Borrowed manager, B... values) {
  Borrowed enter = call.keep(special_method(manager, "__aenter__"_n, "", protocol));
  Borrowed exit =
      call.keep(special_method(manager, "__aexit__"_n, " (missed __aexit__ method)", protocol));
  Borrowed entered =
      call.keep(co_await await([&] { return awaitable_from(enter(), "__aenter__"); }));

  Borrowed result;
  Borrowed failure;           // the exception that left the body
  std::exception_ptr native;  // ... when it is a C++ one
  try {
    result = call.keep(co_await await([&] {
      return make_coroutine<Body>("async_with.<body>", call, {entered, values...}, false, true);
    }));
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const PyError& error) {
    failure = call.keep(error.value().ref());
  } catch (...) {
    native = std::current_exception();
    failure = call.keep(current_exception_as_error().value().ref());
  }

  if (!failure) {
    co_await await([&] { return awaitable_from(exit(Py_None, Py_None, Py_None), "__aexit__"); });
    co_return result.ref();
  }
  bool suppress;
  {
    Handling handling{PyError(failure.ref())};
    Ref answer = co_await await([&] {
      PyError error(failure.ref());
      return awaitable_from(exit(Borrowed(failure.type()), failure, error.traceback()),
                            "__aexit__");
    });
    suppress = answer.truthy();
  }
  if (native) std::rethrow_exception(native);
  if (!suppress) throw PyError(failure.ref());
  co_return none();
}

template <class F>
struct BodyValues;  // how many values a body takes after `entered`
template <class... P>
struct BodyValues<Task (*)(Call&, Borrowed, P...)> {
  static constexpr std::size_t count = sizeof...(P);
};
template <class... P>
struct BodyValues<Task (*)(Borrowed, P...)> {
  static constexpr std::size_t count = sizeof...(P);
};

template <class, class T>
using As = T;

}  // namespace async_context

// The awaitable of `async with manager as entered: return await
// Body(entered, values...)`, for a native coroutine body to await; globals
// of the body are read through the function of `caller`.
template <auto Body, class... V>
Ref async_with(const Call& caller, Borrowed manager, const V&... values) {
  static_assert(async_context::BodyValues<decltype(Body)>::count == sizeof...(V),
                "the body takes `entered` and then one Borrowed per value");
  // Both the statement and its body are steps of the awaiting frame's own
  // statement; the statement's handlers run on close().
  return make_coroutine<async_context::statement<Body, async_context::As<V, Borrowed>...>>(
      "async_with", caller, {manager, Borrowed(values)...}, true, true);
}

}  // namespace rt
