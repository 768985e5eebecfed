// The `with` statement: runs a body inside a context manager's __enter__ and
// __exit__, as the statement does: both looked up on the manager's type,
// __exit__ called exactly once on every path, and its true result
// suppressing a Python exception that left the body (never a C++ one).
#pragma once

#include <type_traits>
#include <utility>

#include "error.hpp"

namespace rt {

// `type(manager).<name>` bound to the manager, as the `with` statement (or,
// with `protocol` "asynchronous context manager", `async with`) looks it up.
Ref special_method(Borrowed manager, Name name, const char* missing,
                   const char* protocol = "context manager");

// Calls `exit` with the exception `error`, while it is being handled;
// returns whether __exit__ asked to suppress it.
bool exit_with(Borrowed exit, const PyError& error);

template <class F>
RT_PASSES_FORCED_UNWIND auto with(Borrowed manager, F&& body) -> decltype(body(Borrowed())) {
  using R = decltype(body(Borrowed()));
  Ref enter = special_method(manager, "__enter__"_n, "");
  Ref exit = special_method(manager, "__exit__"_n, " (missed __exit__ method)");
  Ref entered = enter();
  auto run = [&]() -> std::conditional_t<std::is_void_v<R>, int, R> {
    if constexpr (std::is_void_v<R>) {
      body(Borrowed(entered));
      return 0;
    } else {
      return body(Borrowed(entered));
    }
  };
  decltype(run()) result{};
  try {
    result = run();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (PyError& error) {
    if (!exit_with(exit, error)) throw;
    // Suppressed: the statement gives nothing, as `async with` gives None.
    if constexpr (std::is_same_v<R, Ref>)
      return none();
    else if constexpr (!std::is_void_v<R>)
      return R();
    else
      return;
  } catch (...) {
    // A C++ failure reaches __exit__ as the error it becomes at the
    // boundary, and goes on as itself whatever __exit__ answers.
    exit_with(exit, current_exception_as_error());
    throw;
  }
  exit(Py_None, Py_None, Py_None);
  if constexpr (!std::is_void_v<R>) return result;
}

}  // namespace rt
