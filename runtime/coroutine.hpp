// Native coroutines: the bodies of native coroutine functions are C++20
// coroutines that `co_await` Python awaitables. The coroutine object handed to
// Python drives the awaited object's iterator the way `yield from` does:
// values sent and exceptions thrown in are forwarded to it, and its result (or
// exception) resumes the body. Cancellation arrives as a thrown CancelledError.
//
// The garbage collector sees a coroutine's bound arguments and the object it
// awaits, not the locals of its body: a reference that could close a cycle
// belongs in the arguments rather than in a local held across an await.
#pragma once

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "function.hpp"

namespace rt {

class Awaiting;

// The return type of a coroutine body: `rt::Task body(rt::Args& a)`.
class Task {
 public:
  struct promise_type {
    Ref result;                           // the value of `co_return`
    std::exception_ptr error;             // an exception that left the body
    Ref delegate;                         // the iterator of the awaited object
    Ref resume_value;                     // what the awaited object returned ...
    std::optional<PyError> resume_error;  // ... or raised

    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref value) { result = std::move(value); }
    void unhandled_exception() noexcept { error = std::current_exception(); }
    // A body suspends only at `co_await rt::await(...)`.
    Awaiting&& await_transform(Awaiting&& awaiting) noexcept {
      return static_cast<Awaiting&&>(awaiting);
    }
  };
  using Handle = std::coroutine_handle<promise_type>;

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

// `co_await rt::await(awaitable)` inside a body: suspends until the awaitable
// is done, then gives its result or throws its exception as PyError.
class Awaiting {
 public:
  explicit Awaiting(Ref iterator) : iterator_(std::move(iterator)) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(Task::Handle h) noexcept {
    promise_ = &h.promise();
    promise_->delegate = std::move(iterator_);
  }
  Ref await_resume();

 private:
  Ref iterator_;
  Task::promise_type* promise_ = nullptr;
};

// The iterator of an awaitable, as the `await` expression gets it.
Awaiting await(Borrowed awaitable);

// Creates the coroutine object of one call of a native coroutine function
// (used by native function objects; the body starts on the first send).
Ref make_coroutine(Borrowed name, Borrowed qualname, Borrowed code, CoroutineBody body,
                   std::unique_ptr<Args> args);

// The coroutine object of an internal body, one that no Python-visible
// function declares, for another body to await as a helper: `values` are its
// arguments (a[0], a[1], ...), and `function` is the native function whose
// module it reads globals from (usually the caller's a.function()).
Ref make_coroutine(const char* qualname, CoroutineBody body, Borrowed function,
                   std::initializer_list<Borrowed> values);

// The type of native coroutine objects.
PyTypeObject* coroutine_type();

}  // namespace rt
