#include "error.hpp"

#include <cstdarg>
#include <new>

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

void throw_error() { throw PyError(); }

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyError();
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PyError();
}

void raise_object(PyObject* exception) {
  if (PyExceptionClass_Check(exception)) {
    PyErr_SetNone(exception);
  } else if (PyExceptionInstance_Check(exception)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
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

Handling::Handling(const PyError& caught) : saved_(handled_exception()) {
  PyErr_SetHandledException(caught.value());
}

Handling::~Handling() { PyErr_SetHandledException(saved_.get()); }

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

}  // namespace rt
