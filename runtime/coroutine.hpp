// Native coroutines and generators: their bodies are C++20 coroutines. A
// coroutine body `co_await`s Python awaitables; a generator body `co_yield`s
// values. The object handed to Python drives an awaited object's iterator the
// way `yield from` does: values sent and exceptions thrown in are forwarded
// to it, and its result (or exception) resumes the body. Cancellation arrives
// as a thrown CancelledError.
//
// What a suspended body holds must be visible to the garbage collector: its
// Call (arguments, and what it keeps through Call::keep) and the awaited
// object are; a Ref local or temporary alive across a suspension is not. So
// `await` takes a function that makes the awaitable (its temporaries end
// before the suspension), a temporary Ref is refused, and an object that must
// live across suspensions is kept with call.keep(...). Builds with
// RT_CHECK_SUSPENSIONS verify at every suspension that the body holds no
// other reference.
#pragma once

#include <coroutine>
#include <exception>
#include <new>
#include <optional>
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

  struct promise_type {
    Ref result;                           // the value of `co_return`
    std::exception_ptr error;             // an exception that left the body
    Ref delegate;                         // the iterator of the awaited object
    Ref yielded;                          // the value of `co_yield`
    Ref resume_value;                     // what the awaited object returned ...
    std::optional<PyError> resume_error;  // ... or raised
#ifdef RT_CHECK_SUSPENSIONS
    long window = 0;  // live_refs when the body was resumed
#endif

    // Frames come from the interpreter's small-object allocator (they are
    // made and freed under the interpreter lock), as Python's own frames do.
    static void* operator new(std::size_t size) {
      if (void* p = PyMem_Malloc(size)) return p;
      throw std::bad_alloc();
    }
    static void operator delete(void* p) noexcept {
      if (may_touch_python()) PyMem_Free(p);
    }

    Task get_return_object() { return Task(Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref value) { result = std::move(value); }
    void unhandled_exception();
    // A body suspends only at `co_await rt::await(...)` or `co_yield value`.
    Awaiting&& await_transform(Awaiting&& awaiting) noexcept {
      return static_cast<Awaiting&&>(awaiting);
    }
    Resumption yield_value(Ref value);
    // Fails when the body holds references across the suspension.
    void check_suspension() noexcept;
  };

  Task() = default;
  Task(Task&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}
  Task& operator=(Task&& o) noexcept {
    std::swap(handle_, o.handle_);
    return *this;
  }
  ~Task() {
    if (handle_) handle_.destroy();
  }
  Handle handle() const { return handle_; }
  // Destroys the frame, releasing the references its locals hold.
  void destroy() noexcept {
    if (handle_) std::exchange(handle_, nullptr).destroy();
  }

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
    promise_->delegate = std::move(iterator_);
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

enum class FrameKind { Coroutine, Generator };

// A coroutine (or generator) object for one call of a native function: the
// object is made, `bind` fills its Call, then the body is created from it
// (it starts on the first send).
Ref new_coroutine_object(FrameKind kind, Borrowed name, Borrowed qualname, Borrowed code);
Call& call_of(Borrowed coroutine_object);
void start_body(Borrowed coroutine_object, const CoroutineBody& body);

template <class Bind>
Ref make_coroutine(FrameKind kind, Borrowed name, Borrowed qualname, Borrowed code,
                   const CoroutineBody& body, Bind&& bind) {
  Ref object = new_coroutine_object(kind, name, qualname, code);
  bind(call_of(object));
  start_body(object, body);
  return object;
}

// The coroutine object of an internal body, one that no Python-visible
// function declares, for another body to await as a helper: `values` are its
// arguments, and it reads globals through the function of `caller`.
Ref make_coroutine(const char* qualname, const CoroutineBody& body, const Call& caller,
                   std::initializer_list<Borrowed> values);

// The type of native coroutine objects.
PyTypeObject* coroutine_type();

}  // namespace rt
