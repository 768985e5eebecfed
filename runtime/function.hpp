// Native functions: Python-visible callables implemented in C++, declared with
// the signature a Python `def` would have. They bind as methods, carry
// __annotations__, __defaults__ and a __code__ describing their parameters
// (so inspect and help() show the truth), and check their arguments by the
// package's argument convention before the body runs.
#pragma once

#include <cstddef>
#include <initializer_list>
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

class Args;
class Task;
using Body = Ref (*)(Args&);
using CoroutineBody = Task (*)(Args&);

// The declaration of one native function.
struct Def {
  const char* name;
  std::vector<Param> params;
  const char* returns = nullptr;      // return annotation; null for none
  Body body = nullptr;                // a plain function ...
  CoroutineBody coroutine = nullptr;  // ... or a coroutine function
  const char* doc = nullptr;
};

// The arguments of one call, bound to the parameters in declaration order.
// Parameters are indexed in the order they were declared (`*args` and
// `**kwargs` included); absent ones read as null.
class Args {
 public:
  static constexpr std::size_t max_params = 8;

  Args() = default;
  // Arguments given by C++ code rather than bound from a call: `values` fill
  // the first slots, and globals are read through `function`'s module.
  Args(Borrowed function, std::initializer_list<Borrowed> values);

  Borrowed operator[](std::size_t i) const { return slots_[i]; }
  // A name of the function's module, looked up at the time of the call
  // (the module namespace first, then builtins), as Python code does.
  Ref global(Name name) const;
  Borrowed function() const { return function_; }
  // Releases every reference the arguments hold.
  void clear() noexcept;
  // For the garbage collector: visits every held reference.
  int traverse(visitproc visit, void* arg) const;

 private:
  friend struct Binder;
  Ref slots_[max_params];
  Ref function_;
};

// `callable(*leading, *args, **kwargs)`: forwards the `*args` and
// `**kwargs` a native function was given (either may be null; any iterable
// and any mapping will do). The callee gets its own copy of the keywords.
Ref call_with(Borrowed callable, std::initializer_list<PyObject*> leading, Borrowed args,
              Borrowed kwargs);

// `super().name` inside the method whose arguments are `a` and whose first
// argument is `self`: looked up past the class in type(self).__mro__ that
// defines this very function, as the `__class__` cell of a `def` would do.
Ref super_attr(const Args& a, Borrowed self, Name name);

// Creates a native function object. `qualname` is the function's qualified
// name ("Class.method" for a method); `module` is the module object whose
// namespace the function reads its globals from.
Ref make_function(const Def& def, Borrowed module, const char* qualname);

// The type of native function objects.
PyTypeObject* function_type();

}  // namespace rt
