// The `with` statement: runs a body inside a context manager's __enter__ and
// __exit__, passing an exception that leaves the body to __exit__.
#pragma once

#include <type_traits>

#include "error.hpp"

namespace rt {

template <class F>
auto with(Borrowed manager, F&& body) -> decltype(body(Borrowed())) {
  using R = decltype(body(Borrowed()));
  Ref exit = manager.attr("__exit__"_n);
  Ref entered = manager.method("__enter__"_n);
  try {
    if constexpr (std::is_void_v<R>) {
      body(Borrowed(entered));
      exit(Py_None, Py_None, Py_None);
      return;
    } else {
      R result = body(Borrowed(entered));
      exit(Py_None, Py_None, Py_None);
      return result;
    }
  } catch (PyError& error) {
    bool suppress;
    {
      Handling handling(error);
      Ref traceback = Ref::steal_or_null(PyException_GetTraceback(error.value()));
      Ref suppressed = exit(Borrowed(Py_TYPE(error.value().get())), error.value(),
                            traceback ? traceback.get() : Py_None);
      suppress = suppressed.truthy();
    }
    if (!suppress) throw;
    if constexpr (!std::is_void_v<R>) return R();
  }
}

}  // namespace rt
