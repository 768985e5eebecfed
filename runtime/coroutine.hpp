// Native coroutines and generators: their bodies are C++20 coroutines. A
// coroutine body `co_await`s Python awaitables; a generator body `co_yield`s
// values. The object handed to Python drives an awaited object's iterator the
// way `yield from` does: values sent and exceptions thrown in are forwarded
// to it, and its result (or exception) resumes the body. Cancellation arrives
// as a thrown CancelledError. The objects follow CPython's own coroutines and
// generators in every observable way (send, throw, close, __await__,
// iteration, the states, the errors of misuse).
//
// What a suspended body holds must be visible to the garbage collector: its
// Call (arguments, and what it keeps through Call::keep) and the awaited
// object are; a Ref local or temporary alive across a suspension is not. So
// `await` takes a function that makes the awaitable (its temporaries end
// before the suspension), a temporary Ref is refused, and an object that must
// live across suspensions is kept with call.keep(...). Builds with
// RT_CHECK_SUSPENSIONS verify at every suspension that the body holds no
// other reference.
//
// Closing. close() (and dropping a suspended object) raises GeneratorExit at
// the point of suspension. A body that declares no handler for it (the
// default) is then simply destroyed: its locals are released as an unwind
// would release them, without the cost of one, since a handler that lets
// GeneratorExit pass (as one that filters on Exception does) changes
// nothing. A body with a handler that must see it (one that catches every
// PyError, cleans up in a `catch` and rethrows, or awaits in a handler, as
// the `async with` statement does) declares `handles_close`, and then
// GeneratorExit is thrown into it. Debug builds unwind every body and abort
// when one that declared no handler kept GeneratorExit from ending it.
//
// Allocation. A coroutine object and its body's frame are one block: the
// first object made for a body learns the frame's size, and every later one
// reserves room for it.
#pragma once

#include <coroutine>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "function.hpp"

namespace rt {

class Awaiting;

// The return type of coroutine and generator bodies:
// `rt::Task body(rt::Call& call, rt::Borrowed self, ...)`.
class Task {
 public:
  struct promise_type;
  using Handle = std::coroutine_handle<promise_type>;

  // Resumes the body after a suspension with the value sent in, or raises
  // the exception thrown in.
  struct Resumption {
    promise_type* promise;
    bool await_ready() const noexcept { return false; }
    void await_suspend(Handle) noexcept {}
    Ref await_resume();
  };

  // What passes between the body and its object. Each is a strong
  // reference or null; the object takes each out as it reads it.
  struct promise_type {
    PyObject* value = nullptr;     // sent in, yielded, or returned
    PyObject* thrown = nullptr;    // thrown in, or raised out of the body
    PyObject* delegate = nullptr;  // the iterator awaited, while suspended on it
#ifdef RT_CHECK_SUSPENSIONS
    long window = 0;  // live_refs when the body was resumed
#endif

    // Frames live in their coroutine object when there is room, else come
    // from the interpreter's allocator, as Python's
    // own frames do (they are made and freed under the interpreter lock).
    static void* operator new(std::size_t size);
    static void operator delete(void* frame) noexcept;

    promise_type() = default;
    promise_type(const promise_type&) = delete;
    promise_type& operator=(const promise_type&) = delete;
    ~promise_type();

    Task get_return_object() { return Task(Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref result) { value = result.release(); }
    void unhandled_exception();
    // A body suspends only at `co_await rt::await(...)` or `co_yield value`.
    Awaiting&& await_transform(Awaiting&& awaiting) noexcept {
      return static_cast<Awaiting&&>(awaiting);
    }
    Resumption yield_value(Ref yielded);
    // Fails when the body holds references across the suspension.
    void check_suspension() noexcept;
  };

  Task(Task&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}
  Task& operator=(Task&&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }
  // Hands the frame over to its coroutine object.
  Handle release() noexcept { return std::exchange(handle_, nullptr); }

 private:
  explicit Task(Handle h) : handle_(h) {}
  Handle handle_ = nullptr;
};

// `co_await rt::await(...)` inside a body: suspends until the awaitable is
// done, then gives its result or throws its exception as PyError.
class Awaiting {
 public:
  explicit Awaiting(Ref iterator) : iterator_(std::move(iterator)) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(Task::Handle h) noexcept {
    promise_ = &h.promise();
    promise_->delegate = iterator_.release();
    promise_->check_suspension();
  }
  Ref await_resume() { return Task::Resumption{promise_}.await_resume(); }

 private:
  Ref iterator_;
  Task::promise_type* promise_ = nullptr;
};

// A generator made awaitable by types.coroutine (as asyncio's own sleep(0)).
bool is_iterable_coroutine(Borrowed o);
// Whether `await o` can take it: it has __await__, or is such a generator.
bool is_awaitable(Borrowed o);

// The iterator of an awaitable, as the `await` expression gets it. The
// awaitable is an object someone else holds (an argument, a kept object) ...
Awaiting await(Borrowed awaitable);
// ... or is made by `make`, whose temporaries end before the suspension:
// co_await await([&] { return self.attr("queue"_n).method("get"_n); })
template <class F>
requires std::is_invocable_r_v<Ref, F> Awaiting await(F&& make) {
  Ref awaitable = make();
  return await(Borrowed(awaitable));
}
// A temporary Ref would stay alive, unseen, across the suspension.
Awaiting await(Ref&&) = delete;

enum class FrameKind : std::uint8_t { Coroutine, Generator };

// What a coroutine object is made of, besides its call's arguments.
struct CoroutineSpec {
  FrameKind kind;
  const CoroutineBody& body;
  std::size_t& frame_size;  // learned from the first object made, 0 before
  bool handles_close;
  // The qualified name of an internal body (one that no Python-visible
  // function declares), or null for a declared function's.
  const char* internal = nullptr;
  // An internal body that is part of its awaiter's own statement (as the
  // steps of `async with` are): GeneratorExit reaches it as a throw, as it
  // reaches an inline statement of a Python frame, not as a close.
  bool inline_statement = false;
};

// A coroutine (or generator) object with room for `slots` arguments: `bind`
// fills its Call, given the room, then the body is created from the call
// (it starts on the first send).
Ref new_coroutine_object(const CoroutineSpec& spec, std::size_t slots, PyObject*** room);
Call& call_of(Borrowed coroutine_object);
void start_body(Borrowed coroutine_object, const CoroutineSpec& spec);

template <class Bind>
Ref make_coroutine(const CoroutineSpec& spec, std::size_t slots, Bind&& bind) {
  PyObject** room = nullptr;
  Ref object = new_coroutine_object(spec, slots, &room);
  bind(call_of(object), room);
  start_body(object, spec);
  return object;
}

// The coroutine object of an internal body, for another body to await as a
// helper: `values` are its arguments, and it reads globals through the
// function of `caller`.
template <auto Body>
Ref make_coroutine(const char* qualname, const Call& caller, std::initializer_list<Borrowed> values,
                   bool handles_close = false, bool inline_statement = false) {
  // Set under the interpreter lock; constant-initialised, so no C++ static
  // guard is involved.
  static std::size_t frame_size = 0;
  CoroutineBody body(Body);
  if (body.arity() != values.size())
    raise_format(PyExc_SystemError, "%s: the native body takes %zu parameters, given %zu", qualname,
                 body.arity(), values.size());
  CoroutineSpec spec{FrameKind::Coroutine, body,     frame_size,
                     handles_close,        qualname, inline_statement};
  return make_coroutine(spec, values.size(), [&](Call& call, PyObject** room) {
    call.assign(caller.function(), values, room);
  });
}

// The type of native coroutine objects.
PyTypeObject* coroutine_type();

}  // namespace rt
