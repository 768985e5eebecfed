// Python errors carried as C++ exceptions, and their translation back into the
// interpreter at every entry point from Python.
#pragma once

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
  bool matches(PyObject* exception_type) const {
    return PyErr_GivenExceptionMatches(value_.get(), exception_type) != 0;
  }
  // Puts the error back into the interpreter; the object is empty afterwards.
  void restore() noexcept;

 private:
  Ref value_;
};

// Raises `type(message)` (or `type(*args)` for the tuple form).
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// Raises an exception instance (or class) as the `raise` statement does.
[[noreturn]] void raise_object(PyObject* exception);

// While alive, `caught` is the exception being handled, as inside an `except`
// clause: an exception raised meanwhile gets it as its implicit __context__.
class Handling {
 public:
  explicit Handling(const PyError& caught);
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  Ref saved_;
};

// The exception being handled by the calling code (sys.exception()), or null.
Ref handled_exception();

// Call inside `catch (...)`: sets the interpreter's error from the C++
// exception in flight. Never throws.
void set_error_from_current_exception() noexcept;

// Runs `body` at an entry point from the interpreter: a returned Ref is handed
// over as a new reference, any exception becomes the Python error and null.
template <class F>
PyObject* boundary(F&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The same for slots that return a status code (0 ok, -1 error).
template <class F>
int boundary_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

}  // namespace rt
