// Native functions: Python-visible callables implemented in C++, declared with
// the signature a Python `def` would have. They bind as methods, carry
// __annotations__, __defaults__ and a __code__ describing their parameters
// (so inspect and help() show the truth), and check their arguments by the
// package's argument convention before the body runs.
//
// A body names its parameters in its own C++ signature, one `Borrowed` per
// declared parameter (`*args` and `**kwargs` included), optionally preceded
// by the `Call&` of the call:
//
//   Ref load_from_file(Call& call, Borrowed self, Borrowed file_path,
//                      Borrowed required_components);
//
// A body whose parameter count differs from its declaration fails the
// module's import.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"

namespace rt {

// A parameter's default value, as written in the signature.
class Default {
 public:
  enum class Kind { Absent, None, Bool, Int, Str };
  constexpr Default() = default;
  constexpr Default(std::nullptr_t) : kind_(Kind::None) {}
  constexpr Default(bool b) : kind_(Kind::Bool), int_(b) {}
  constexpr Default(int v) : kind_(Kind::Int), int_(v) {}
  constexpr Default(const char* s) : kind_(Kind::Str), str_(s) {}
  constexpr bool present() const { return kind_ != Kind::Absent; }
  constexpr bool is_none() const { return kind_ == Kind::None; }
  Ref make() const;

 private:
  Kind kind_ = Kind::Absent;
  long long int_ = 0;
  const char* str_ = nullptr;
};

// `None` as a default value in a parameter list.
inline constexpr std::nullptr_t None = nullptr;

enum class ParamKind { Normal, VarArgs, VarKw };

struct Param {
  const char* name;
  const char* annotation = nullptr;  // source text; null for none
  Default default_value = {};
  ParamKind kind = ParamKind::Normal;
};

// `*name` and `**name` parameters.
constexpr Param varargs(const char* name, const char* annotation = nullptr) {
  return {name, annotation, {}, ParamKind::VarArgs};
}
constexpr Param varkw(const char* name, const char* annotation = nullptr) {
  return {name, annotation, {}, ParamKind::VarKw};
}

// One call of a native function: its arguments, bound to the parameters in
// declaration order, and what the body reaches besides them (the module's
// globals, the function itself). The call of a plain function borrows its
// arguments from the caller's frame, which holds them for the whole call; a
// coroutine or generator object owns the call of its body, with strong
// references, for the body's whole life.
class Call {
 public:
  Call() = default;
  ~Call() {
    if (owned_ || kept_ != nullptr || made_[0] >= 0 || made_[1] >= 0) clear();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  // Arguments given by C++ code rather than bound from a call, owned by the
  // call: `values` go to `slots` (room for as many), and globals are read
  // through `function`'s module.
  void assign(Borrowed function, std::initializer_list<Borrowed> values, PyObject** slots);

  Borrowed operator[](std::size_t i) const { return slots_[i]; }
  std::size_t size() const { return size_; }
  // A name of the function's module, looked up at the time of the call
  // (the module namespace first, then the module's builtins), as Python
  // code does.
  Ref global(Name name) const;
  // A value the module keeps in its own state (Module::keep).
  Ref state(Name name) const;
  Borrowed function() const { return function_; }
  // Keeps `object` alive for as long as the call (for a coroutine: its
  // whole life), where the garbage collector sees it; returns it.
  Borrowed keep(Ref object);
  // Takes strong references to the borrowed arguments and the function,
  // for a call that outlives the caller's frame (a coroutine's).
  void own() noexcept;
  // Releases every reference the call holds; its slots are left empty.
  void clear() noexcept;
  // For the garbage collector: visits every held reference.
  int traverse(visitproc visit, void* arg) const;

 private:
  friend struct Binder;

  // The slots are storage of the caller's (or, when nothing needs binding,
  // the caller's own argument array), never of the call. As references
  // outside any frame of the body they are not Ref objects, so the
  // collector can see a coroutine's.
  PyObject* const* slots_ = nullptr;
  PyObject* function_ = nullptr;
  PyObject* kept_ = nullptr;  // a list, made on the first keep
  std::uint16_t size_ = 0;
  // The slots holding what binding made (the *args tuple and **kwargs
  // dict): the call's own references even when it borrows the others.
  std::int16_t made_[2] = {-1, -1};
  bool owned_ = false;
};

class Task;

// A body of any arity, with the parameter count it takes, called with the
// slots of a Call. R is the result type (Ref, or Task for coroutine and
// generator bodies).
template <class R>
class BodyRef {
 public:
  constexpr BodyRef() = default;
  constexpr BodyRef(std::nullptr_t) {}
  // Implicit by design: `.body = load_from_file`.
  template <class... P>
  BodyRef(R (*body)(Call&, P...)) : BodyRef(body, Shape<true, P...>()) {}
  template <class... P>
  BodyRef(R (*body)(P...)) : BodyRef(body, Shape<false, P...>()) {}

  explicit operator bool() const { return body_ != nullptr; }
  std::size_t arity() const { return arity_; }
  R operator()(Call& call) const { return invoke_(body_, call); }

 private:
  template <bool TakesCall, class... P>
  struct Shape {
    static_assert((std::is_same_v<P, Borrowed> && ...),
                  "a body takes Borrowed parameters, after an optional Call&");
    static R invoke(void (*f)(), Call& call) {
      return [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (TakesCall)
          return reinterpret_cast<R (*)(Call&, P...)>(f)(call, call[I]...);
        else
          return reinterpret_cast<R (*)(P...)>(f)(call[I]...);
      }
      (std::index_sequence_for<P...>{});
    }
  };
  template <class F, bool TakesCall, class... P>
  BodyRef(F body, Shape<TakesCall, P...>)
      : body_(reinterpret_cast<void (*)()>(body)),
        invoke_(&Shape<TakesCall, P...>::invoke),
        arity_(sizeof...(P)) {}

  void (*body_)() = nullptr;
  R (*invoke_)(void (*)(), Call&) = nullptr;
  std::size_t arity_ = 0;
};

using Body = BodyRef<Ref>;
using CoroutineBody = BodyRef<Task>;

// The declaration of one native function.
struct Def {
  const char* name;
  std::vector<Param> params;
  const char* returns = nullptr;      // return annotation; null for none
  Body body = nullptr;                // a plain function ...
  CoroutineBody coroutine = nullptr;  // ... or a coroutine function
  CoroutineBody generator = nullptr;  // ... or a generator function
  const char* doc = nullptr;
  // For a coroutine or generator body with handlers that must run when its
  // object is closed (coroutine.hpp, "Closing").
  bool handles_close = false;
};

// `callable(*leading, *args, **kwargs)`: forwards the `*args` and
// `**kwargs` a native function was given (either may be null; any iterable
// and any mapping will do). The callee gets its own copy of the keywords.
Ref call_with(Borrowed callable, std::initializer_list<Borrowed> leading, Borrowed args,
              Borrowed kwargs);

// `super().name` inside the method run by `call`, whose first argument is
// `self`: super(C, self).name with C the class that defines the method, as
// the `__class__` cell of a `def` gives it.
Ref super_attr(const Call& call, Borrowed self, Name name);

class Module;

// Creates a native function object. `qualname` is the function's qualified
// name ("Class.method" for a method); `module` is the module whose namespace
// the function reads its globals from and whose kept values it reaches.
Ref make_function(const Def& def, const Module& module, const char* qualname);

// Records `cls` as the class that defines `function` (for super_attr), when
// `function` is a native function or a class/static method wrapping one.
void set_defining_class(Borrowed function, Borrowed cls);

// The module's name (its `__name__`), as `__module__` values take it.
Ref module_name(Borrowed module);

// The type of native function objects.
PyTypeObject* function_type();

// The names and code object of a native function, as its coroutines give
// them.
struct FunctionNames {
  PyObject* name;
  PyObject* qualname;
  PyObject* code;
};
FunctionNames function_names(Borrowed function);

}  // namespace rt
