#include "coroutine.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstring>

namespace rt {

Ref Awaiting::await_resume() {
  if (promise_->resume_error) {
    PyError error = std::move(*promise_->resume_error);
    promise_->resume_error.reset();
    throw error;
  }
  return std::move(promise_->resume_value);
}

namespace {

// A generator made awaitable by types.coroutine (as asyncio's own sleep(0)).
bool is_iterable_coroutine(Borrowed o) {
  return PyGen_CheckExact(o.get()) &&
         (reinterpret_cast<PyGenObject*>(o.get())->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

bool is_coroutine(Borrowed o) {
  return PyCoro_CheckExact(o.get()) || o.type() == coroutine_type() || is_iterable_coroutine(o);
}

}  // namespace

Awaiting await(Borrowed awaitable) {
  if (is_coroutine(awaitable)) {
    // A coroutine suspended in an await of its own is someone else's to drive.
    if (!is_iterable_coroutine(awaitable) && !awaitable.attr("cr_await"_n).is_none())
      raise(PyExc_RuntimeError, "coroutine is being awaited already");
    return Awaiting(awaitable.ref());
  }
  PyTypeObject* type = awaitable.type();
  unaryfunc get_await = type->tp_as_async != nullptr ? type->tp_as_async->am_await : nullptr;
  if (get_await == nullptr)
    raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 type->tp_name);
  Ref iterator = Ref::steal(get_await(awaitable.get()));
  if (is_coroutine(iterator)) raise(PyExc_TypeError, "__await__() returned a coroutine");
  if (!PyIter_Check(iterator.get()))
    raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 iterator.type_name());
  return Awaiting(std::move(iterator));
}

namespace {

struct CoroutineObject {
  PyObject_HEAD PyObject* name;
  PyObject* qualname;
  PyObject* code;   // the declaring function's __code__, or None
  PyObject* frame;  // a frame of that code for cr_frame, made when first asked for
  PyObject* weakrefs;
  Args* args;  // owned; the body refers to it
  Task task;
  bool started;
  bool running;
  bool finished;
};

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

// What one step delivers: a value, or an exception.
struct Outcome {
  Ref value;
  std::optional<PyError> error;
  static Outcome raised() { return Outcome{Ref(), PyError()}; }
};

enum class Step { Yielded, Returned, Raised };

struct Result {
  Step step;
  Ref value;  // yielded or returned value; for Raised the error is set
};

// Forwards an outcome to the awaited iterator, as `yield from` does.
Result forward(Borrowed delegate, Outcome& outcome) {
  if (!outcome.error) {
    PyObject* out = nullptr;
    PySendResult r = PyIter_Send(delegate, outcome.value ? outcome.value.get() : Py_None, &out);
    if (r == PYGEN_NEXT) return {Step::Yielded, Ref::steal(out)};
    if (r == PYGEN_RETURN) return {Step::Returned, Ref::steal(out)};
    return {Step::Raised, Ref()};
  }
  if (outcome.error->matches(PyExc_GeneratorExit)) {
    PyObject* close = nullptr;
    if (_PyObject_LookupAttr(delegate, "close"_n.get(), &close) < 0) return {Step::Raised, Ref()};
    if (close != nullptr) {
      Ref closer = Ref::steal_or_null(close);
      Ref ignored = Ref::steal_or_null(PyObject_CallNoArgs(closer));
      if (!ignored) return {Step::Raised, Ref()};
    }
    outcome.error->restore();
    return {Step::Raised, Ref()};
  }
  PyObject* thrower = nullptr;
  if (_PyObject_LookupAttr(delegate, "throw"_n.get(), &thrower) < 0) return {Step::Raised, Ref()};
  if (thrower == nullptr) {
    outcome.error->restore();
    return {Step::Raised, Ref()};
  }
  Ref method = Ref::steal_or_null(thrower);
  PyObject* out = PyObject_CallOneArg(method, outcome.error->value());
  if (out != nullptr) return {Step::Yielded, Ref::steal(out)};
  PyObject* returned = nullptr;
  if (PyErr_ExceptionMatches(PyExc_StopIteration) && _PyGen_FetchStopIterationValue(&returned) == 0)
    return {Step::Returned, Ref::steal(returned)};
  return {Step::Raised, Ref()};
}

// Marks a coroutine as executing for the life of the guard.
class Running {
 public:
  explicit Running(CoroutineObject* c) : c_(c) { c_->running = true; }
  ~Running() { c_->running = false; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  CoroutineObject* c_;
};

// Sets the error of a body that has finished by raising. StopIteration may
// not leave a coroutine: it becomes RuntimeError, caused by it.
void set_body_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (PyError& e) {
    if (e.matches(PyExc_StopIteration)) {
      Ref replaced = Borrowed(PyExc_RuntimeError)(str("coroutine raised StopIteration"));
      replaced.set_attr("__cause__"_n, e.value());
      replaced.set_attr("__context__"_n, e.value());
      PyError(std::move(replaced)).restore();
    } else {
      e.restore();
    }
  } catch (...) {
    set_error_from_current_exception();
  }
}

// Runs the coroutine until it yields, returns or raises.
Result drive(CoroutineObject* c, Outcome outcome) {
  Running running(c);
  Task::promise_type& promise = c->task.handle().promise();
  for (;;) {
    if (promise.delegate) {
      Ref delegate = promise.delegate;
      Result r = forward(delegate, outcome);
      if (r.step == Step::Yielded) return r;
      promise.delegate.reset();
      outcome =
          r.step == Step::Returned ? Outcome{std::move(r.value), std::nullopt} : Outcome::raised();
    }
    promise.resume_value = std::move(outcome.value);
    promise.resume_error = std::move(outcome.error);
    c->task.handle().resume();
    if (c->task.handle().done()) {
      c->finished = true;
      std::exception_ptr error = std::exchange(promise.error, nullptr);
      Ref result = promise.result ? std::move(promise.result) : none();
      c->task.destroy();
      if (error) {
        try {
          set_body_error(error);
        } catch (...) {
          set_error_from_current_exception();
        }
        return {Step::Raised, Ref()};
      }
      return {Step::Returned, std::move(result)};
    }
    outcome = Outcome{};  // the body awaits something new: start it
  }
}

// One step from Python: send(value) or throw(error).
Result step(CoroutineObject* c, Outcome outcome) {
  if (c->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return {Step::Raised, Ref()};
  }
  if (c->finished) {
    if (outcome.error) {
      outcome.error->restore();
    } else {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }
    return {Step::Raised, Ref()};
  }
  if (!c->started) {
    if (outcome.error) {
      c->finished = true;
      c->task.destroy();
      outcome.error->restore();
      return {Step::Raised, Ref()};
    }
    if (outcome.value && !outcome.value.is_none()) {
      PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
      return {Step::Raised, Ref()};
    }
    c->started = true;
  }
  return drive(c, std::move(outcome));
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  try {
    Result r = step(as_coroutine(self), Outcome{Ref::borrow(arg), std::nullopt});
    *out = r.value.release();
    if (r.step == Step::Yielded) return PYGEN_NEXT;
    if (r.step == Step::Returned) return PYGEN_RETURN;
    return PYGEN_ERROR;
  } catch (...) {
    set_error_from_current_exception();
    *out = nullptr;
    return PYGEN_ERROR;
  }
}

// send() and __next__: a return becomes StopIteration(value).
PyObject* send_as_iterator(PyObject* self, PyObject* arg) {
  PyObject* out = nullptr;
  PySendResult r = coroutine_am_send(self, arg, &out);
  if (r == PYGEN_NEXT) return out;
  if (r == PYGEN_RETURN) {
    if (out == Py_None) {
      PyErr_SetNone(PyExc_StopIteration);
    } else {
      _PyGen_SetStopIterationValue(out);
    }
    Py_DECREF(out);
  }
  return nullptr;
}

PyObject* coroutine_iternext(PyObject* self) { return send_as_iterator(self, Py_None); }

PyObject* coroutine_send(PyObject* self, PyObject* arg) { return send_as_iterator(self, arg); }

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!_PyArg_CheckPositional("throw", nargs, 1, 3)) return nullptr;
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : Py_None;
  PyObject* traceback = nargs > 2 ? args[2] : Py_None;
  if (traceback != Py_None && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  if (PyExceptionClass_Check(type)) {
    PyErr_SetObject(type, value);
  } else if (PyExceptionInstance_Check(type)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
  }
  try {
    PyError error;
    if (traceback != Py_None) PyException_SetTraceback(error.value(), traceback);
    Result r = step(as_coroutine(self), Outcome{Ref(), std::move(error)});
    if (r.step == Step::Yielded) return r.value.release();
    if (r.step == Step::Returned) {
      if (r.value.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
      } else {
        _PyGen_SetStopIterationValue(r.value);
      }
    }
    return nullptr;
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// close(): GeneratorExit is thrown in at the point of suspension.
int close_coroutine(CoroutineObject* c) {
  if (c->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return -1;
  }
  if (!c->started || c->finished) {
    c->finished = true;
    c->task.destroy();
    return 0;
  }
  try {
    PyErr_SetNone(PyExc_GeneratorExit);
    Result r = drive(c, Outcome::raised());
    if (r.step == Step::Yielded) {
      PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
      return -1;
    }
    if (r.step == Step::Raised) {
      if (!PyErr_ExceptionMatches(PyExc_GeneratorExit) &&
          !PyErr_ExceptionMatches(PyExc_StopIteration))
        return -1;
      PyErr_Clear();
    }
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
  if (close_coroutine(as_coroutine(self)) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* coroutine_await(PyObject* self) { return Py_NewRef(self); }

void coroutine_finalize(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  if (c->finished || !c->task.handle()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!c->started) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", c->qualname) <
        0)
      PyErr_WriteUnraisable(self);
    c->finished = true;
    c->task.destroy();
  } else if (close_coroutine(c) < 0) {
    PyErr_WriteUnraisable(self);
  }
  PyErr_Restore(type, value, traceback);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroutineObject* c = as_coroutine(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->name);
  Py_VISIT(c->qualname);
  Py_VISIT(c->code);
  Py_VISIT(c->frame);
  if (c->args != nullptr) {
    int r = c->args->traverse(visit, arg);
    if (r != 0) return r;
  }
  if (c->task.handle()) {
    const Task::promise_type& p = c->task.handle().promise();
    Py_VISIT(p.delegate.get());
    Py_VISIT(p.resume_value.get());
    Py_VISIT(p.result.get());
  }
  return 0;
}

int coroutine_clear(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  c->finished = true;
  c->task.destroy();
  if (c->args != nullptr) c->args->clear();
  Py_CLEAR(c->frame);
  return 0;
}

void coroutine_dealloc(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  PyObject_GC_UnTrack(self);
  if (c->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  if (c->task.handle()) {
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
  }
  c->task.destroy();
  c->task.~Task();
  delete c->args;
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  Py_CLEAR(c->code);
  Py_CLEAR(c->frame);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* coroutine_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->qualname); }
PyObject* get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coroutine(self)->running);
}
PyObject* get_suspended(PyObject* self, void*) {
  CoroutineObject* c = as_coroutine(self);
  return PyBool_FromLong(c->started && !c->running && !c->finished);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_await(PyObject* self, void*) {
  CoroutineObject* c = as_coroutine(self);
  if (c->finished || !c->task.handle() || !c->task.handle().promise().delegate) Py_RETURN_NONE;
  return Py_NewRef(c->task.handle().promise().delegate.get());
}
// A frame of the declaring function's code while the coroutine has not
// finished (so inspect tells a new coroutine from a closed one), else None.
PyObject* get_frame(PyObject* self, void*) {
  return boundary([&] {
    CoroutineObject* c = as_coroutine(self);
    if (c->finished || !PyCode_Check(c->code)) return none();
    if (c->frame == nullptr) {
      Ref globals = c->args != nullptr && c->args->function()
                        ? c->args->function().attr("__globals__"_n)
                        : new_dict();
      c->frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(c->code),
                                globals, nullptr)))
                     .release();
    }
    return Ref::borrow(c->frame);
  });
}
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->code); }

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_members, coroutine_members},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "vesprand_python_configuration.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

}  // namespace

PyTypeObject* coroutine_type() {
  static PyObject* type = [] {
    PyObject* t = PyType_FromSpec(&coroutine_spec);
    if (t == nullptr) return t;
    // Registered as a collections.abc.Coroutine, so asyncio accepts it.
    try {
      Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
      abc.attr("Coroutine"_n).method("register"_n, Borrowed(t));
    } catch (const PyError&) {
      Py_DECREF(t);
      return static_cast<PyObject*>(nullptr);
    }
    return t;
  }();
  if (type == nullptr) throw_error();
  return reinterpret_cast<PyTypeObject*>(type);
}

Ref make_coroutine(Borrowed name, Borrowed qualname, Borrowed code, CoroutineBody body,
                   std::unique_ptr<Args> args) {
  PyTypeObject* type = coroutine_type();
  auto* c = PyObject_GC_New(CoroutineObject, type);
  if (c == nullptr) throw_error();
  c->name = Py_NewRef(name.get());
  c->qualname = Py_NewRef(qualname.get());
  c->code = Py_NewRef(code ? code.get() : Py_None);
  c->frame = nullptr;
  c->weakrefs = nullptr;
  c->args = args.release();
  new (&c->task) Task();
  c->started = c->running = c->finished = false;
  Ref object = Ref::steal(reinterpret_cast<PyObject*>(c));
  c->task = body(*c->args);
  PyObject_GC_Track(c);
  return object;
}

Ref make_coroutine(const char* qualname, CoroutineBody body, Borrowed function,
                   std::initializer_list<Borrowed> values) {
  const char* dot = std::strrchr(qualname, '.');
  Ref name = str(dot != nullptr ? dot + 1 : qualname);
  return make_coroutine(name, str(qualname), Borrowed(), body,
                        std::make_unique<Args>(function, values));
}

}  // namespace rt
