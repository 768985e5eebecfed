#include "coroutine.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internals.hpp"

namespace rt {

// ------------------------------------------------------------ the frames

namespace {

// The room for the frame of the body being started, inside its coroutine
// object, set by start_body around the call that starts the body (whose
// first act is the frame's allocation), and what the allocation made. Both
// are this file's, so both are the same module's.
struct FrameSpace {
  void* room;
  std::size_t capacity;
  std::size_t asked = 0;
  void* frame = nullptr;
};
FrameSpace* frame_space = nullptr;  // set and used under the interpreter lock

}  // namespace

// A frame is released by its object, which knows where it lives (see
// destroy_frame): so a frame is made only for an object being made.
void* Task::promise_type::operator new(std::size_t size) {
  FrameSpace* space = std::exchange(frame_space, nullptr);
  if (space == nullptr) {
    PyErr_SetString(PyExc_SystemError, "a native body started outside its object");
    throw_error();
  }
  space->asked = size;
  space->frame = size <= space->capacity ? space->room : PyMem_Malloc(size);
  if (space->frame == nullptr) throw std::bad_alloc();
  return space->frame;
}

void Task::promise_type::operator delete(void*) noexcept {}

Task::promise_type::~promise_type() {
  if (!may_touch_python()) return;
  Py_XDECREF(value);
  Py_XDECREF(thrown);
  Py_XDECREF(delegate);
}

Ref Task::Resumption::await_resume() {
  if (PyObject* thrown = std::exchange(promise->thrown, nullptr)) throw PyError(Ref::steal(thrown));
  PyObject* value = std::exchange(promise->value, nullptr);
  return value != nullptr ? Ref::steal(value) : none();
}

RT_PASSES_FORCED_UNWIND void Task::promise_type::unhandled_exception() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being ended: never stored
  } catch (PyError& error) {
    thrown = error.take().release();
  } catch (...) {
    thrown = current_exception_as_error().take().release();
  }
}

Task::Resumption Task::promise_type::yield_value(Ref yielded) {
  value = yielded.release();
  check_suspension();
  return Resumption{this};
}

void Task::promise_type::check_suspension() noexcept {
#ifdef RT_CHECK_SUSPENSIONS
  // What the body yields or awaits has left its frame for the promise.
  long held = live_refs() - window;
  if (held > 0) {
    std::fprintf(stderr,
                 "native coroutine body holds %ld reference(s) across a suspension, unseen by "
                 "the garbage collector\n",
                 held);
    std::abort();
  }
#endif
}

// ------------------------------------------------------------ awaiting

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

struct CoroutineObject {
  PyObject_VAR_HEAD PyObject* weakrefs;
  PyObject* frame;       // a frame of the function's code for cr_frame, made when asked for
  const char* internal;  // the qualified name of an internal body, else null
  Task::Handle handle;   // the body's frame, until it has finished
  PyObject* exc_value;   // the body's own handled exception
  Call call;
  FrameKind kind;
  bool started;
  bool running;
  bool finished;
  bool handles_close;
  bool inline_statement;
  // Then the tail: room for the frame (once its size is known), and the
  // call's argument slots.
};

// The fixed part, rounded so that the frame gets the alignment that
// operator new gives.
constexpr std::size_t rounded(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }
constexpr std::size_t head_size =
    rounded(sizeof(CoroutineObject), __STDCPP_DEFAULT_NEW_ALIGNMENT__);

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }
unsigned char* tail_of(CoroutineObject* c) {
  return reinterpret_cast<unsigned char*>(c) + head_size;
}

bool is_native(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  return type == internals().coroutine_type || type == internals().generator_type;
}

bool is_coroutine(Borrowed o) {
  return PyCoro_CheckExact(o.get()) || o.type() == coroutine_type() || is_iterable_coroutine(o);
}

}  // namespace

Awaiting await(Borrowed awaitable) {
  if (is_coroutine(awaitable)) {
    // A coroutine suspended in an await of its own is someone else's to drive.
    bool awaiting =
        awaitable.type() == coroutine_type()
            ? as_coroutine(awaitable)->handle &&
                  as_coroutine(awaitable)->handle.promise().delegate != nullptr
            : !is_iterable_coroutine(awaitable) && !awaitable.attr("cr_await"_n).is_none();
    if (awaiting) raise(PyExc_RuntimeError, "coroutine is being awaited already");
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

// ------------------------------------------------------------ one step

namespace {

const char* kind_name(const CoroutineObject* c) {
  return c->kind == FrameKind::Generator ? "generator" : "coroutine";
}

// The error set in the interpreter, taken out as an exception instance with
// its traceback (a new reference).
PyObject* fetch_exception() { return PyError().take().release(); }

// Sets `exception` (a new reference) as the interpreter's error.
void restore_exception(PyObject* exception) { PyError(Ref::steal(exception)).restore(); }

// Sets the error of a frame that ends by raising `exception` (a new
// reference). StopIteration may not leave a coroutine or generator: it
// becomes RuntimeError, caused by it.
void set_frame_error(const CoroutineObject* c, PyObject* exception) {
  bool stop = PyErr_GivenExceptionMatches(exception, PyExc_StopIteration) != 0;
  restore_exception(exception);
  if (stop) _PyErr_FormatFromCause(PyExc_RuntimeError, "%s raised StopIteration", kind_name(c));
}

// Destroys a frame that is not running, after marking the coroutine
// finished, so that a destructor that runs meanwhile finds it so; then
// frees it, unless it lives in the object. (The handle's address is the
// frame that operator new gave, as start_body checks.)
void destroy_frame(CoroutineObject* c) noexcept {
  c->finished = true;
  if (Task::Handle h = std::exchange(c->handle, nullptr)) {
    void* frame = h.address();
    h.destroy();
    if (frame != tail_of(c) && may_touch_python()) PyMem_Free(frame);
  }
  if (may_touch_python()) Py_CLEAR(c->exc_value);
}

// For the life of the guard the coroutine is executing, and its own handled
// exception is the top of the thread's stack, as for a Python frame. (The
// C API has no call that pushes a frame's exception state; this is what the
// interpreter does for its own frames. The stack item lives here, for the
// run; the object keeps only its value between runs.)
class Running {
 public:
  explicit Running(CoroutineObject* c) : c_(c), thread_(PyThreadState_Get()) {
    c_->running = true;
    item_.exc_value = std::exchange(c_->exc_value, nullptr);
    item_.previous_item = thread_->exc_info;
    thread_->exc_info = &item_;
  }
  ~Running() {
    if (!may_touch_python()) return;
    thread_->exc_info = item_.previous_item;
    if (c_->finished) {
      Py_CLEAR(item_.exc_value);
    } else {
      Py_XSETREF(c_->exc_value, item_.exc_value);
    }
    c_->running = false;
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  CoroutineObject* c_;
  PyThreadState* thread_;
  _PyErr_StackItem item_;
};

PySendResult step(CoroutineObject* c, PyObject* value, PyObject* thrown, PyObject** out);
int close_coroutine(CoroutineObject* c);

// close() of an awaited iterator, as `yield from` closes it: 0, or -1 with
// the error set.
int close_iterator(PyObject* iterator) {
  if (is_native(iterator)) return close_coroutine(as_coroutine(iterator));
  PyObject* close = nullptr;
  if (_PyObject_LookupAttr(iterator, "close"_n.get(), &close) < 0) return -1;
  if (close == nullptr) return 0;
  PyObject* result = PyObject_CallNoArgs(close);
  Py_DECREF(close);
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

// The result of a throw() method: a yielded value, or the value of its
// StopIteration, or its error (left set).
PySendResult thrown_result(PyObject* result, PyObject** out) {
  if (result != nullptr) {
    *out = result;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration) && _PyGen_FetchStopIterationValue(out) == 0)
    return PYGEN_RETURN;
  return PYGEN_ERROR;
}

// Forwards a value sent in (borrowed, may be null) or an exception thrown
// in (a new reference, or null) to the awaited iterator, as `yield from`
// does. An error result leaves the error set: it is what the frame gets.
PySendResult forward(PyObject* delegate, PyObject* value, PyObject* thrown, PyObject** out) {
  *out = nullptr;
  if (thrown == nullptr) return PyIter_Send(delegate, value != nullptr ? value : Py_None, out);
  bool native = is_native(delegate);
  if (PyErr_GivenExceptionMatches(thrown, PyExc_GeneratorExit)) {
    // A step of this frame's own statement gets it as the statement would;
    // anything else is closed first, and then the frame gets it.
    if (native && as_coroutine(delegate)->inline_statement)
      return step(as_coroutine(delegate), nullptr, thrown, out);
    if (close_iterator(delegate) < 0) {
      Py_DECREF(thrown);
      return PYGEN_ERROR;
    }
    restore_exception(thrown);
    return PYGEN_ERROR;
  }
  if (native) return step(as_coroutine(delegate), nullptr, thrown, out);
  PyObject* method = nullptr;
  if (_PyObject_LookupAttr(delegate, "throw"_n.get(), &method) < 0) {
    Py_DECREF(thrown);
    return PYGEN_ERROR;
  }
  if (method == nullptr) {
    restore_exception(thrown);
    return PYGEN_ERROR;
  }
  PyObject* result = PyObject_CallOneArg(method, thrown);
  Py_DECREF(method);
  Py_DECREF(thrown);
  return thrown_result(result, out);
}

// Resumes the body once, with what its promise holds for it.
void resume_body(CoroutineObject* c) {
#ifdef RT_CHECK_SUSPENSIONS
  // What the frame holds afterwards belongs to the coroutine object, not to
  // whatever frame is running this resumption (it may itself be a body, as
  // when the collector closes a coroutine while a body runs).
  Task::promise_type& promise = c->handle.promise();
  promise.window = live_refs();
  c->handle.resume();
  live_refs() = promise.window;
#else
  c->handle.resume();
#endif
}

// A finished body's end: its result, or its error set.
PySendResult finish(CoroutineObject* c, PyObject** out) {
  Task::promise_type& promise = c->handle.promise();
  PyObject* thrown = std::exchange(promise.thrown, nullptr);
  PyObject* value = std::exchange(promise.value, nullptr);
  destroy_frame(c);
  if (thrown != nullptr) {
    Py_XDECREF(value);
    set_frame_error(c, thrown);
    return PYGEN_ERROR;
  }
  *out = value != nullptr ? value : Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

// Runs a started coroutine until it yields, returns or raises: `value`
// (borrowed, may be null) is sent in, or `thrown` (a new reference) thrown
// in. The caller has checked the state and holds the recursion guard.
PySendResult drive(CoroutineObject* c, PyObject* value, PyObject* thrown, PyObject** out) {
  Running running(c);
  Task::promise_type& promise = c->handle.promise();
  PyObject* sent = Py_XNewRef(value);  // owned from here on
  for (;;) {
    if (PyObject* delegate = promise.delegate) {
      Py_INCREF(delegate);  // held while it runs: it may drop the frame's reference
      PySendResult r = forward(delegate, sent, thrown, out);
      Py_DECREF(delegate);
      Py_CLEAR(sent);
      thrown = nullptr;
      if (r == PYGEN_NEXT) return r;
      Py_CLEAR(promise.delegate);
      if (r == PYGEN_RETURN) {
        sent = std::exchange(*out, nullptr);
      } else {
        thrown = fetch_exception();
      }
    }
    promise.value = std::exchange(sent, nullptr);
    promise.thrown = std::exchange(thrown, nullptr);
    resume_body(c);
    if (c->handle.done()) return finish(c, out);
    if (promise.delegate == nullptr) {
      *out = std::exchange(promise.value, nullptr);  // yielded
      return PYGEN_NEXT;
    }
    // A new await starts its iterator with None.
  }
}

// One step, as the interpreter's generators take one: checks the state,
// then resumes the frame. `value` is what send() gives (null for
// __next__), `thrown` a new reference to an exception thrown in. (close()
// checks the state itself: a finished coroutine is no error there.)
PySendResult step(CoroutineObject* c, PyObject* value, PyObject* thrown, PyObject** out) {
  *out = nullptr;
  if (!c->started && thrown == nullptr && value != nullptr && value != Py_None) {
    PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(c));
    return PYGEN_ERROR;
  }
  if (c->running) {
    Py_XDECREF(thrown);
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(c));
    return PYGEN_ERROR;
  }
  if (c->finished) {
    if (c->kind == FrameKind::Coroutine) {
      Py_XDECREF(thrown);
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      return PYGEN_ERROR;
    }
    if (thrown != nullptr) {
      restore_exception(thrown);
      return PYGEN_ERROR;
    }
    if (value == nullptr) return PYGEN_ERROR;  // an exhausted iterator, without an error
    *out = Py_NewRef(Py_None);                 // an exhausted generator returns None again
    return PYGEN_RETURN;
  }
  RecursionGuard guard(" in a native coroutine");
  if (!guard.entered()) {
    Py_XDECREF(thrown);
    return PYGEN_ERROR;
  }
  if (!c->started) {
    if (thrown != nullptr) {
      // Thrown into a frame that never ran: it leaves that frame at once.
      destroy_frame(c);
      set_frame_error(c, thrown);
      return PYGEN_ERROR;
    }
    c->started = true;
    value = nullptr;  // the start of a body takes no value
  }
  return drive(c, value, thrown, out);
}

// close(): GeneratorExit raised at the point of suspension. 0, or -1 with
// the error set.
int close_coroutine(CoroutineObject* c) {
  if (c->running) {
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(c));
    return -1;
  }
  if (!c->started || c->finished) {
    destroy_frame(c);
    return 0;
  }
  RecursionGuard guard(" in a native coroutine");
  if (!guard.entered()) return -1;
  Task::promise_type& promise = c->handle.promise();
  PyObject* thrown = nullptr;  // what the frame gets
  PyObject* delegate = promise.delegate;
  if (delegate != nullptr && !(is_native(delegate) && as_coroutine(delegate)->inline_statement)) {
    // Closed first, as `yield from` closes it; an error it raises is
    // raised in the frame instead of GeneratorExit.
    Py_INCREF(delegate);
    c->running = true;
    int closed = close_iterator(delegate);
    c->running = false;
    Py_DECREF(delegate);
    Py_CLEAR(promise.delegate);
    if (closed < 0) thrown = fetch_exception();
  }
  PyObject* exit = nullptr;  // the GeneratorExit raised here, when the frame gets it
  // Nothing but the body's own handlers would see GeneratorExit: none is
  // declared, and no step of its own statement is pending.
  bool direct = !c->handles_close && promise.delegate == nullptr;
  if (thrown == nullptr) {
#ifndef RT_CHECK_SUSPENSIONS
    if (direct) {
      destroy_frame(c);  // no handler of the body would keep GeneratorExit from ending it
      return 0;
    }
#endif
    PyErr_SetNone(PyExc_GeneratorExit);
    thrown = fetch_exception();
    exit = Py_NewRef(thrown);
  }
  PyObject* out = nullptr;
  PySendResult r = drive(c, nullptr, thrown, &out);
  int status = -1;
  if (r != PYGEN_ERROR) {
    Py_DECREF(out);
    if (r == PYGEN_RETURN) {
      status = 0;
    } else {
      PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(c));
    }
  } else if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
             PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    status = 0;
  }
#ifdef RT_CHECK_SUSPENSIONS
  // A body without declared handlers must end by the very GeneratorExit.
  if (exit != nullptr && direct && (status != 0 || r != PYGEN_ERROR)) {
    std::fprintf(stderr,
                 "native %s '%s' handled GeneratorExit on close() without declaring "
                 "handles_close\n",
                 kind_name(c), c->internal != nullptr ? c->internal : "(declared)");
    std::abort();
  }
#endif
  Py_XDECREF(exit);
  return status;
}

// ------------------------------------------------------------ the protocol

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  return step(as_coroutine(self), arg, nullptr, out);
}

// What send(), throw() and __next__ give for a step: a yielded value, or
// null with the error set, a return becoming StopIteration(value).
PyObject* as_iterator_result(PySendResult r, PyObject* out) {
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

PyObject* coroutine_send(PyObject* self, PyObject* arg) {
  PyObject* out = nullptr;
  PySendResult r = step(as_coroutine(self), arg, nullptr, &out);
  return as_iterator_result(r, out);
}

// __next__: the end of iteration is signalled without an exception object.
PyObject* next_of(CoroutineObject* c) {
  PyObject* out = nullptr;
  PySendResult r = step(c, nullptr, nullptr, &out);
  if (r == PYGEN_RETURN && out == Py_None) {
    Py_DECREF(out);  // the end of iteration, without an exception object
    return nullptr;
  }
  return as_iterator_result(r, out);
}

PyObject* coroutine_iternext(PyObject* self) { return next_of(as_coroutine(self)); }

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
  PyObject* thrown = fetch_exception();
  if (traceback != Py_None) PyException_SetTraceback(thrown, traceback);
  PyObject* out = nullptr;
  PySendResult r = step(as_coroutine(self), nullptr, thrown, &out);
  return as_iterator_result(r, out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
  if (close_coroutine(as_coroutine(self)) < 0) return nullptr;
  Py_RETURN_NONE;
}

// ------------------------------------------------------------ __await__

// What a native coroutine's __await__ returns: an iterator over it, as
// CPython's coroutine wrapper is.
struct AwaitObject {
  PyObject_HEAD PyObject* coroutine;
};

PyObject* awaited(PyObject* self) { return reinterpret_cast<AwaitObject*>(self)->coroutine; }

PyObject* coroutine_await(PyObject* self) {
  auto* wrapper = PyObject_GC_New(AwaitObject, internals().await_type);
  if (wrapper == nullptr) return nullptr;
  wrapper->coroutine = Py_NewRef(self);
  PyObject_GC_Track(wrapper);
  return reinterpret_cast<PyObject*>(wrapper);
}

PySendResult await_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  return coroutine_am_send(awaited(self), arg, out);
}
PyObject* await_iternext(PyObject* self) { return next_of(as_coroutine(awaited(self))); }
PyObject* await_send(PyObject* self, PyObject* arg) { return coroutine_send(awaited(self), arg); }
PyObject* await_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coroutine_throw(awaited(self), args, nargs);
}
PyObject* await_close(PyObject* self, PyObject*) { return coroutine_close(awaited(self), nullptr); }

int await_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(awaited(self));
  return 0;
}

void await_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_CLEAR(reinterpret_cast<AwaitObject*>(self)->coroutine);
  Py_TYPE(self)->tp_free(self);
}

// ------------------------------------------------------------ the object

PyObject* get_qualname(PyObject* self, void*);

void coroutine_finalize(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  if (c->finished || !c->handle) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!c->started) {
    if (c->kind == FrameKind::Coroutine) {
      PyObject* qualname = get_qualname(self, nullptr);
      if (qualname == nullptr || PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                                  "coroutine '%U' was never awaited", qualname) < 0)
        PyErr_WriteUnraisable(self);
      Py_XDECREF(qualname);
    }
    destroy_frame(c);
  } else if (close_coroutine(c) < 0) {
    PyErr_WriteUnraisable(self);
  }
  PyErr_Restore(type, value, traceback);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroutineObject* c = as_coroutine(self);
  Py_VISIT(c->frame);
  Py_VISIT(c->exc_value);
  if (int r = c->call.traverse(visit, arg)) return r;
  if (c->handle) {
    const Task::promise_type& p = c->handle.promise();
    Py_VISIT(p.delegate);
    Py_VISIT(p.value);
    Py_VISIT(p.thrown);
  }
  return 0;
}

int coroutine_clear(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  destroy_frame(c);
  c->call.clear();
  Py_CLEAR(c->frame);
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
  if (c->handle) {
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) goto done;  // resurrected
    PyObject_GC_UnTrack(self);
  }
  destroy_frame(c);  // before the object, which may hold it
  c->call.~Call();
  Py_CLEAR(c->frame);
  Py_TYPE(self)->tp_free(self);
done:
  Py_TRASHCAN_END
}

// The names: an internal body's own, else those of its function (gone only
// once the collector has cleared the object).
PyObject* get_qualname(PyObject* self, void*) {
  CoroutineObject* c = as_coroutine(self);
  if (c->internal != nullptr) return PyUnicode_FromString(c->internal);
  if (!c->call.function()) return PyUnicode_FromString("");
  return Py_NewRef(function_names(c->call.function()).qualname);
}
PyObject* get_name(PyObject* self, void*) {
  CoroutineObject* c = as_coroutine(self);
  if (c->internal != nullptr) {
    const char* dot = std::strrchr(c->internal, '.');
    return PyUnicode_FromString(dot != nullptr ? dot + 1 : c->internal);
  }
  if (!c->call.function()) return PyUnicode_FromString("");
  return Py_NewRef(function_names(c->call.function()).name);
}
PyObject* get_code(PyObject* self, void*) {
  CoroutineObject* c = as_coroutine(self);
  if (c->internal != nullptr || !c->call.function()) Py_RETURN_NONE;
  return Py_NewRef(function_names(c->call.function()).code);
}

PyObject* coroutine_repr(PyObject* self) {
  return boundary([&] {
    Ref qualname = Ref::steal(get_qualname(self, nullptr));
    return format("<%s object %U at %p>", kind_name(as_coroutine(self)), qualname.get(), self);
  });
}

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
  if (c->finished || !c->handle || c->handle.promise().delegate == nullptr) Py_RETURN_NONE;
  return Py_NewRef(c->handle.promise().delegate);
}
// A frame of the declaring function's code while the coroutine has not
// finished (so inspect tells a new coroutine from a closed one), else None.
PyObject* get_frame(PyObject* self, void*) {
  return boundary([&] {
    CoroutineObject* c = as_coroutine(self);
    Ref code = Ref::steal(get_code(self, nullptr));
    if (c->finished || !PyCode_Check(code.get())) return none();
    if (c->frame == nullptr) {
      Ref globals = c->call.function().attr("__globals__"_n);
      c->frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                                globals.get(), nullptr)))
                     .release();
    }
    return Ref::borrow(c->frame);
  });
}
// The class the object says it is, for isinstance() and so inspect: the
// interpreter's coroutine or generator type, whose protocol it follows.
PyObject* get_class(PyObject* self, void*) {
  return Py_NewRef(as_coroutine(self)->kind == FrameKind::Generator
                       ? reinterpret_cast<PyObject*>(&PyGen_Type)
                       : reinterpret_cast<PyObject*>(&PyCoro_Type));
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__class__", get_class, nullptr, nullptr, nullptr},
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
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_await, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* send_doc =
    "send(arg) -> send 'arg' into the frame,\nreturn next iterated value or raise StopIteration.";
constexpr const char* throw_doc =
    "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in the frame.";
constexpr const char* close_doc = "close() -> raise GeneratorExit inside the frame.";

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL, throw_doc},
    {"close", coroutine_close, METH_NOARGS, close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(await_throw)),
     METH_FASTCALL, throw_doc},
    {"close", await_close, METH_NOARGS, close_doc},
    {nullptr, nullptr, 0, nullptr},
};

// The types are static, as the interpreter's own coroutine and generator
// types are (so their objects hold no reference to them); the first module
// imported readies its copies, and every module uses those (internals.hpp).
constexpr unsigned long frame_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// A coroutine is not iterable (its __await__ gives the iterator); a
// generator is.
PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};
PyAsyncMethods generator_async = {nullptr, nullptr, nullptr, coroutine_am_send};
PyAsyncMethods await_async = {nullptr, nullptr, nullptr, await_am_send};

// The objects are of variable size: the tail holds the frame and the
// arguments, one byte an item.
PyTypeObject unready_type() {
  PyTypeObject type{};
  Py_SET_REFCNT(&type, 1);  // as PyVarObject_HEAD_INIT leaves it
  return type;
}
PyTypeObject coroutine_type_object = unready_type();
PyTypeObject generator_type_object = unready_type();
PyTypeObject await_type_object = unready_type();

void describe_frame_type(PyTypeObject& t, const char* name, PyAsyncMethods* async,
                         PyGetSetDef* getset) {
  t.tp_name = name;
  t.tp_basicsize = static_cast<Py_ssize_t>(head_size);
  t.tp_itemsize = 1;
  t.tp_flags = frame_flags;
  t.tp_dealloc = coroutine_dealloc;
  t.tp_finalize = coroutine_finalize;
  t.tp_traverse = coroutine_traverse;
  t.tp_clear = coroutine_clear;
  t.tp_repr = coroutine_repr;
  t.tp_as_async = async;
  t.tp_getset = getset;
  t.tp_methods = coroutine_methods;
  t.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
}

// Registers `type` as a virtual subclass of collections.abc.<abc>.
void register_abc(PyTypeObject* type, Name abc) {
  Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
  module.attr(abc).method("register"_n, Borrowed(type));
}

}  // namespace

void make_coroutine_types(Internals& internals) {
  // This module's static types, readied once: a failed attempt leaves them
  // unready, to be tried again by the next import.
  if (coroutine_type_object.tp_name == nullptr) {
    describe_frame_type(coroutine_type_object, "vesprand_python_configuration.native_coroutine",
                        &coroutine_async, coroutine_getset);
    describe_frame_type(generator_type_object, "vesprand_python_configuration.native_generator",
                        &generator_async, generator_getset);
    generator_type_object.tp_iter = PyObject_SelfIter;
    generator_type_object.tp_iternext = coroutine_iternext;
    PyTypeObject& w = await_type_object;
    w.tp_name = "vesprand_python_configuration.native_coroutine_wrapper";
    w.tp_basicsize = sizeof(AwaitObject);
    w.tp_flags = frame_flags;
    w.tp_dealloc = await_dealloc;
    w.tp_traverse = await_traverse;
    w.tp_iter = PyObject_SelfIter;
    w.tp_iternext = await_iternext;
    w.tp_as_async = &await_async;
    w.tp_methods = await_methods;
  }
  for (PyTypeObject* type : {&coroutine_type_object, &generator_type_object, &await_type_object})
    check(PyType_Ready(type));
  register_abc(&coroutine_type_object, "Coroutine"_n);
  register_abc(&generator_type_object, "Generator"_n);
  internals.coroutine_type = &coroutine_type_object;
  internals.generator_type = &generator_type_object;
  internals.await_type = &await_type_object;
}

PyTypeObject* coroutine_type() { return internals().coroutine_type; }

Ref new_coroutine_object(const CoroutineSpec& spec, std::size_t slots, PyObject*** room) {
  PyTypeObject* type =
      spec.kind == FrameKind::Generator ? internals().generator_type : internals().coroutine_type;
  std::size_t frame_bytes = rounded(spec.frame_size, sizeof(PyObject*));
  auto* c = PyObject_GC_NewVar(CoroutineObject, type,
                               static_cast<Py_ssize_t>(frame_bytes + slots * sizeof(PyObject*)));
  if (c == nullptr) throw_error();
  c->weakrefs = nullptr;
  c->frame = nullptr;
  c->internal = spec.internal;
  new (&c->handle) Task::Handle();
  c->exc_value = nullptr;
  new (&c->call) Call();
  c->kind = spec.kind;
  c->started = c->running = c->finished = false;
  c->handles_close = spec.handles_close;
  c->inline_statement = spec.inline_statement;
  *room = reinterpret_cast<PyObject**>(tail_of(c) + frame_bytes);
  return Ref::steal(reinterpret_cast<PyObject*>(c));
}

Call& call_of(Borrowed coroutine_object) { return as_coroutine(coroutine_object)->call; }

void start_body(Borrowed coroutine_object, const CoroutineSpec& spec) {
  CoroutineObject* c = as_coroutine(coroutine_object);
  std::size_t slot_bytes = c->call.size() * sizeof(PyObject*);
  FrameSpace space{tail_of(c), static_cast<std::size_t>(Py_SIZE(c)) - slot_bytes};
  frame_space = &space;
  Task task = spec.body(c->call);
  frame_space = nullptr;  // consumed by the frame's allocation
  c->handle = task.release();
  if (c->handle.address() != space.frame) {
    destroy_frame(c);
    raise(PyExc_SystemError, "a native coroutine's frame is not where it was allocated");
  }
  if (spec.frame_size == 0) spec.frame_size = space.asked;
  PyObject_GC_Track(c);
}

}  // namespace rt
