#include "coroutine.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internals.hpp"

namespace rt {

Ref Task::Resumption::await_resume() {
  if (promise->resume_error) {
    PyError error = std::move(*promise->resume_error);
    promise->resume_error.reset();
    throw error;
  }
  return std::move(promise->resume_value);
}

RT_PASSES_FORCED_UNWIND void Task::promise_type::unhandled_exception() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being ended: never stored
  } catch (...) {
    error = std::current_exception();
  }
}

Task::Resumption Task::promise_type::yield_value(Ref value) {
  yielded = std::move(value);
  check_suspension();
  return Resumption{this};
}

void Task::promise_type::check_suspension() noexcept {
#ifdef RT_CHECK_SUSPENSIONS
  // The awaited iterator or the yielded value is the one reference allowed.
  long held = live_refs - window - 1;
  if (held > 0) {
    std::fprintf(stderr,
                 "native coroutine body holds %ld reference(s) across a suspension, unseen by "
                 "the garbage collector\n",
                 held);
    std::abort();
  }
#endif
}

bool is_iterable_coroutine(Borrowed o) {
  return PyGen_CheckExact(o.get()) &&
         (reinterpret_cast<PyGenObject*>(o.get())->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

bool is_awaitable(Borrowed o) {
  PyTypeObject* type = o.type();
  return (type->tp_as_async != nullptr && type->tp_as_async->am_await != nullptr) ||
         is_iterable_coroutine(o);
}

namespace {

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
  FrameKind kind;
  Call call;  // the body's arguments; the body refers to them
  Task task;
  _PyErr_StackItem exc_state;  // the body's own handled exception
  bool started;
  bool running;
  bool finished;
};

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

const char* kind_name(const CoroutineObject* c) {
  return c->kind == FrameKind::Generator ? "generator" : "coroutine";
}

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

// Sets the error of a frame that ends by raising `error`. StopIteration may
// not leave a coroutine or generator: it becomes RuntimeError, caused by it.
void set_frame_error(const CoroutineObject* c, PyError error) {
  if (!error.matches(PyExc_StopIteration)) return error.restore();
  guarded([&] {
    Ref replaced = Borrowed(PyExc_RuntimeError)(format("%s raised StopIteration", kind_name(c)));
    replaced.set_attr("__cause__"_n, error.value());
    replaced.set_attr("__context__"_n, error.value());
    PyError(std::move(replaced)).restore();
  });
}

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

// For the life of the guard the coroutine is executing, and its own handled
// exception is the top of the thread's stack, as for a Python frame.
class Running {
 public:
  explicit Running(CoroutineObject* c) : c_(c), thread_(PyThreadState_Get()) {
    c_->running = true;
    c_->exc_state.previous_item = thread_->exc_info;
    thread_->exc_info = &c_->exc_state;
  }
  ~Running() {
    if (!may_touch_python()) return;
    thread_->exc_info = c_->exc_state.previous_item;
    c_->exc_state.previous_item = nullptr;
    c_->running = false;
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  CoroutineObject* c_;
  PyThreadState* thread_;
};

// Resumes the body once, with what the promise holds for it.
void resume_body(CoroutineObject* c) {
  Task::promise_type& promise = c->task.handle().promise();
#ifdef RT_CHECK_SUSPENSIONS
  // What the body is resumed with enters its frame; what the frame holds
  // afterwards belongs to the coroutine object, not to whatever frame is
  // running this resumption (it may itself be a body, as when the collector
  // closes a coroutine while a body runs).
  promise.window = live_refs - (promise.resume_value ? 1 : 0) -
                   (promise.resume_error && promise.resume_error->value() ? 1 : 0);
  c->task.handle().resume();
  live_refs = promise.window;
#else
  c->task.handle().resume();
  (void)promise;
#endif
}

// Runs the coroutine until it yields, returns or raises.
// The caller holds a RecursionGuard, taken before any change of state.
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
    resume_body(c);
    if (c->task.handle().done()) {
      c->finished = true;
      std::exception_ptr error = std::exchange(promise.error, nullptr);
      Ref result = promise.result ? std::move(promise.result) : none();
      c->task.destroy();
      if (!error) return {Step::Returned, std::move(result)};
      try {
        std::rethrow_exception(error);
      } catch (PyError& e) {
        set_frame_error(c, std::move(e));
      } catch (...) {
        set_error_from_current_exception();
      }
      return {Step::Raised, Ref()};
    }
    if (promise.yielded) return {Step::Yielded, std::move(promise.yielded)};
    outcome = Outcome{};  // the body awaits something new: start it
  }
}

// One step from Python: send(value) or throw(error).
Result step(CoroutineObject* c, Outcome outcome) {
  RecursionGuard guard(" in a native coroutine");
  if (c->running) {
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(c));
    return {Step::Raised, Ref()};
  }
  if (c->finished) {
    if (outcome.error) {
      outcome.error->restore();
    } else if (c->kind == FrameKind::Generator) {
      PyErr_SetNone(PyExc_StopIteration);  // an exhausted generator stops again
    } else {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }
    return {Step::Raised, Ref()};
  }
  if (!c->started) {
    if (outcome.error) {
      // Thrown into a frame that never ran: it leaves that frame at once.
      c->finished = true;
      c->task.destroy();
      set_frame_error(c, std::move(*outcome.error));
      return {Step::Raised, Ref()};
    }
    if (outcome.value && !outcome.value.is_none()) {
      PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(c));
      return {Step::Raised, Ref()};
    }
    c->started = true;
    outcome.value.reset();  // the start of a body takes no value
  }
  return drive(c, std::move(outcome));
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  *out = nullptr;
  PySendResult status = PYGEN_ERROR;
  guarded([&] {
    Result r = step(as_coroutine(self), Outcome{Ref::borrow(arg), std::nullopt});
    *out = r.value.release();
    status = r.step == Step::Yielded    ? PYGEN_NEXT
             : r.step == Step::Returned ? PYGEN_RETURN
                                        : PYGEN_ERROR;
  });
  return status;
}

// What send(), throw() and __next__ give for a step: a yielded value, or
// null with the error set, a return becoming StopIteration(value).
PyObject* as_iterator_result(Result r) {
  if (r.step == Step::Yielded) return r.value.release();
  if (r.step == Step::Returned) {
    if (r.value.is_none()) {
      PyErr_SetNone(PyExc_StopIteration);
    } else {
      _PyGen_SetStopIterationValue(r.value);
    }
  }
  return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) {
  PyObject* result = nullptr;
  guarded([&] {
    result = as_iterator_result(step(as_coroutine(self), Outcome{Ref::borrow(arg), std::nullopt}));
  });
  return result;
}

PyObject* coroutine_iternext(PyObject* self) { return coroutine_send(self, Py_None); }

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
  PyObject* result = nullptr;
  guarded([&] {
    PyError error;
    if (traceback != Py_None) PyException_SetTraceback(error.value(), traceback);
    result = as_iterator_result(step(as_coroutine(self), Outcome{Ref(), std::move(error)}));
  });
  return result;
}

// close(): GeneratorExit is thrown in at the point of suspension.
int close_coroutine(CoroutineObject* c) {
  if (c->running) {
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(c));
    return -1;
  }
  if (!c->started || c->finished) {
    c->finished = true;
    c->task.destroy();
    return 0;
  }
  int status = -1;
  guarded([&] {
    RecursionGuard guard(" in a native coroutine");
    PyErr_SetNone(PyExc_GeneratorExit);
    Result r = drive(c, Outcome::raised());
    if (r.step == Step::Yielded) {
      PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(c));
      return;
    }
    if (r.step == Step::Raised) {
      if (!PyErr_ExceptionMatches(PyExc_GeneratorExit) &&
          !PyErr_ExceptionMatches(PyExc_StopIteration))
        return;
      PyErr_Clear();
    }
    status = 0;
  });
  return status;
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
    if (c->kind == FrameKind::Coroutine &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", c->qualname) <
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
  Py_VISIT(c->exc_state.exc_value);
  if (int r = c->call.traverse(visit, arg)) return r;
  if (c->task.handle()) {
    const Task::promise_type& p = c->task.handle().promise();
    Py_VISIT(p.delegate.get());
    Py_VISIT(p.yielded.get());
    Py_VISIT(p.resume_value.get());
    Py_VISIT(p.result.get());
  }
  return 0;
}

int coroutine_clear(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  c->finished = true;
  c->task.destroy();
  c->call.clear();
  Py_CLEAR(c->frame);
  Py_CLEAR(c->exc_state.exc_value);
  return 0;
}

// A chain of coroutines each holding the next is freed through the
// interpreter's trashcan, as its own generators are, so a long chain cannot
// overflow the C stack.
void coroutine_dealloc(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, coroutine_dealloc) if (c->weakrefs != nullptr)
      PyObject_ClearWeakRefs(self);
  if (c->task.handle()) {
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) goto done;  // resurrected
    PyObject_GC_UnTrack(self);
  }
  c->task.~Task();
  c->call.~Call();
  Py_CLEAR(c->name);
  Py_CLEAR(c->qualname);
  Py_CLEAR(c->code);
  Py_CLEAR(c->frame);
  Py_CLEAR(c->exc_state.exc_value);
  {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  }
done:
  Py_TRASHCAN_END
}

PyObject* coroutine_repr(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  return boundary([&] { return format("<%s object %U at %p>", kind_name(c), c->qualname, self); });
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
      Ref globals = c->call.function() ? c->call.function().attr("__globals__"_n) : new_dict();
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

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_await, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into the frame,\nreturn next iterated value or raise "
     "StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in the frame."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside the frame."},
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

PyType_Slot generator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {Py_tp_getset, generator_getset},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_members, coroutine_members},
    {0, nullptr},
};

constexpr unsigned frame_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                 Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec coroutine_spec = {"vesprand_python_configuration.native_coroutine",
                              sizeof(CoroutineObject), 0, frame_flags, coroutine_slots};
PyType_Spec generator_spec = {"vesprand_python_configuration.native_generator",
                              sizeof(CoroutineObject), 0, frame_flags, generator_slots};

// Registers `type` as a virtual subclass of collections.abc.<abc>.
void register_abc(PyTypeObject* type, Name abc) {
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  module.attr(abc).method("register"_n, Borrowed(type));
}

}  // namespace

void make_coroutine_types(Internals& internals) {
  Ref coroutine = Ref::steal(PyType_FromSpec(&coroutine_spec));
  register_abc(reinterpret_cast<PyTypeObject*>(coroutine.get()), "Coroutine"_n);
  Ref generator = Ref::steal(PyType_FromSpec(&generator_spec));
  register_abc(reinterpret_cast<PyTypeObject*>(generator.get()), "Generator"_n);
  internals.coroutine_type = reinterpret_cast<PyTypeObject*>(coroutine.release());
  internals.generator_type = reinterpret_cast<PyTypeObject*>(generator.release());
}

PyTypeObject* coroutine_type() { return internals().coroutine_type; }

Ref new_coroutine_object(FrameKind kind, Borrowed name, Borrowed qualname, Borrowed code) {
  PyTypeObject* type =
      kind == FrameKind::Generator ? internals().generator_type : internals().coroutine_type;
  auto* c = PyObject_GC_New(CoroutineObject, type);
  if (c == nullptr) throw_error();
  c->name = Py_NewRef(name.get());
  c->qualname = Py_NewRef(qualname.get());
  c->code = Py_NewRef(code ? code.get() : Py_None);
  c->frame = nullptr;
  c->weakrefs = nullptr;
  c->kind = kind;
  new (&c->call) Call();
  new (&c->task) Task();
  c->exc_state = {nullptr, nullptr};
  c->started = c->running = c->finished = false;
  return Ref::steal(reinterpret_cast<PyObject*>(c));
}

Call& call_of(Borrowed coroutine_object) { return as_coroutine(coroutine_object)->call; }

void start_body(Borrowed coroutine_object, const CoroutineBody& body) {
  CoroutineObject* c = as_coroutine(coroutine_object);
  c->task = body(c->call);
  PyObject_GC_Track(c);
}

Ref make_coroutine(const char* qualname, const CoroutineBody& body, const Call& caller,
                   std::initializer_list<Borrowed> values) {
  if (body.arity() != values.size())
    raise_format(PyExc_SystemError, "%s: the native body takes %zu parameters, given %zu", qualname,
                 body.arity(), values.size());
  const char* dot = std::strrchr(qualname, '.');
  Ref name = str(dot != nullptr ? dot + 1 : qualname);
  Ref object = new_coroutine_object(FrameKind::Coroutine, name, str(qualname), Borrowed());
  call_of(object).assign(caller.function(), values);
  start_body(object, body);
  return object;
}

}  // namespace rt
