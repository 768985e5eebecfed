// Python errors carried as C++ exceptions, and their translation back into the
// interpreter at every entry point from Python.
#pragma once

#include <cxxabi.h>

#include <exception>

#include "ref.hpp"

namespace rt {

// A Python exception taken out of the interpreter, with its traceback.
class PyError : public std::exception {
 public:
  // Takes the error currently set in the interpreter (there must be one).
  PyError();
  // Wraps an exception instance.
  explicit PyError(Ref exception) : value_(std::move(exception)) {}

  const char* what() const noexcept override { return "Python exception"; }
  Borrowed value() const noexcept { return value_; }
  bool matches(Borrowed exception_type) const {
    return PyErr_GivenExceptionMatches(value_.get(), exception_type) != 0;
  }
  // Puts the error back into the interpreter; the object is empty afterwards.
  void restore() noexcept;
  // Takes the exception out; the object is empty afterwards.
  Ref take() noexcept { return std::move(value_); }
  // The exception's type, value and traceback as `__exit__` receives them.
  Ref traceback() const;

 private:
  Ref value_;
};

// Raises `type(message)` (or `type(*args)` for the tuple form).
[[noreturn]] void raise(Borrowed type, const char* message);
[[noreturn]] void raise_format(Borrowed type, const char* format, ...);
// Raises an exception instance (or class) as the `raise` statement does.
[[noreturn]] void raise_object(Borrowed exception);

// While alive, `caught` is the exception being handled, as inside an `except`
// clause: an exception raised meanwhile gets it as its implicit __context__.
// It sets and restores the current frame's own slot (the top of the thread's
// stack of handled exceptions), as the interpreter does for an `except`
// block, so a generator or coroutine frame never takes its caller's state.
class Handling {
 public:
  explicit Handling(const PyError& caught);
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* saved_;  // the slot's own value, owned; may be null or None
};

// The exception being handled by the calling code (sys.exception()), or null.
Ref handled_exception();

// Call inside `catch (...)`: sets the interpreter's error from the C++
// exception in flight. Never throws.
void set_error_from_current_exception() noexcept;

// The C++ exception in flight, as the Python error it becomes at a boundary.
PyError current_exception_as_error() noexcept;

// A thread that the interpreter ends while it waits for the interpreter lock
// (a daemon thread at exit) unwinds its stack by a forced unwind: it is never
// caught for good, and nothing may touch Python objects meanwhile. Every
// handler that catches everything lets it pass first:
//   catch (abi::__forced_unwind&) { throw; }
// The forced unwind has no exception object, so those functions are exempt
// from the sanitizer's check of references bound to null.
#define RT_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null")))

// Runs `body` and turns any exception into the interpreter's error; returns
// false when it did. A forced unwind passes through (so no boundary is
// noexcept).
template <class F>
RT_PASSES_FORCED_UNWIND bool guarded(F&& body) {
  try {
    body();
    return true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_error_from_current_exception();
    return false;
  }
}

// Runs `body` at an entry point from the interpreter: a returned Ref is handed
// over as a new reference, any exception becomes the Python error and null.
template <class F>
PyObject* boundary(F&& body) {
  PyObject* result = nullptr;
  guarded([&] { result = body().release(); });
  return result;
}

// The same for slots that return a status code (0 ok, -1 error).
template <class F>
int boundary_status(F&& body) {
  return guarded(body) ? 0 : -1;
}

// Counts a native call or coroutine step against the interpreter's recursion
// limit while alive, as CPython's own C functions do: deep recursion through
// native code raises RecursionError instead of overflowing the C stack. At
// the limit the error is set and entered() is false.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
  ~RecursionGuard() {
    if (entered_ && may_touch_python()) Py_LeaveRecursiveCall();
  }
  bool entered() const { return entered_; }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;

 private:
  bool entered_;
};

}  // namespace rt
