#include "error.hpp"

#include <cstdarg>
#include <new>

#include "context.hpp"

namespace rt {

PyError::PyError() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    PyErr_Fetch(&type, &value, &traceback);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  value_ = Ref::steal_or_null(value);
}

void PyError::restore() noexcept {
  PyObject* value = value_.release();
  if (value == nullptr) {
    PyErr_SetString(PyExc_SystemError, "exception restored twice");
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
}

Ref PyError::traceback() const {
  Ref tb = Ref::steal_or_null(PyException_GetTraceback(value_.get()));
  return tb ? tb : none();
}

void throw_error() { throw PyError(); }

void null_reference() { raise(PyExc_SystemError, "a null reference reached a call"); }

void raise(Borrowed type, const char* message) {
  PyErr_SetString(type, message);
  throw PyError();
}

void raise_format(Borrowed type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PyError();
}

void raise_object(Borrowed exception) {
  if (PyExceptionClass_Check(exception.get())) {
    PyErr_SetNone(exception);
  } else if (PyExceptionInstance_Check(exception.get())) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(exception.type()), exception);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  throw PyError();
}

Ref handled_exception() {
  PyObject* current = PyErr_GetHandledException();
  // Python 3.11 hands out None here without a reference of its own.
  if (current == nullptr || current == Py_None) return Ref();
  return Ref::steal(current);
}

// The slot is read directly (the C API reads only the topmost exception
// of the whole stack, which may be a caller's); it is written through the
// C API, which sets the current frame's slot.
Handling::Handling(const PyError& caught)
    : saved_(Py_XNewRef(PyThreadState_Get()->exc_info->exc_value)) {
  PyErr_SetHandledException(caught.value().get());
}

Handling::~Handling() {
  if (!may_touch_python()) return;
  PyErr_SetHandledException(saved_);
  Py_XDECREF(saved_);
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (PyError& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

PyError current_exception_as_error() noexcept {
  set_error_from_current_exception();
  return PyError();
}

}  // namespace rt

namespace rt {

Ref special_method(Borrowed manager, Name name, const char* missing, const char* protocol) {
  PyObject* found = _PyType_Lookup(manager.type(), name.get());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw_error();
    raise_format(PyExc_TypeError, "'%.200s' object does not support the %s protocol%s",
                 manager.type_name(), protocol, missing);
  }
  descrgetfunc get = Py_TYPE(found)->tp_descr_get;
  if (get == nullptr) return Ref::borrow(found);
  Ref attribute = Ref::borrow(found);  // held while the descriptor runs
  return Ref::steal(get(attribute.get(), manager, reinterpret_cast<PyObject*>(manager.type())));
}

bool exit_with(Borrowed exit, const PyError& error) {
  Handling handling(error);
  Borrowed value = error.value();
  return exit(Borrowed(value.type()), value, error.traceback()).truthy();
}

}  // namespace rt
