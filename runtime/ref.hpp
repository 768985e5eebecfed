// Owned and borrowed references to Python objects, and the object operations
// that module code uses on them. Every operation that can fail throws PyError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace rt {

class Ref;
class Borrowed;

[[noreturn]] void throw_error();  // throws the error set in the interpreter

// A pointer returned by the C API as a new reference, or null with an error set.
inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw_error();
  return p;
}
// A C API status code: negative means an error is set.
inline int check(int status) {
  if (status < 0) throw_error();
  return status;
}

// An interned string, created on first use and kept for the life of the process.
// Written as a literal: "name"_n.
template <std::size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// One interned string per literal, each module's pointer to the
// interpreter's object: set under the interpreter lock and never by a C++
// static guard (so no thread can wait on the guard while holding the lock);
// a failed creation is tried again on the next use. The module frame admits
// one interpreter per process, whose interned strings live as long as it.
template <Literal L>
struct Interned {
  static inline PyObject* object = nullptr;
  static PyObject* make() {
    object = PyUnicode_InternFromString(L.text);
    return object;
  }
};

class Name {
 public:
  using Maker = PyObject* (*)();
  constexpr Name(PyObject* const* object, Maker make) : object_(object), make_(make) {}
  PyObject* get() const {
    PyObject* object = *object_;
    return object != nullptr ? object : check(make_());
  }

 private:
  PyObject* const* object_;
  Maker make_;
};

inline namespace literals {
template <Literal L>
constexpr Name operator""_n() {
  return Name(&Interned<L>::object, &Interned<L>::make);
}
}  // namespace literals

#ifdef RT_CHECK_SUSPENSIONS
// References held by Ref objects of this thread, one count shared by every
// module (internals.hpp): native coroutines check at each suspension that
// their body holds none of its own (coroutine.hpp).
long& live_refs();
#endif
inline void count_refs([[maybe_unused]] long n) noexcept {
#ifdef RT_CHECK_SUSPENSIONS
  live_refs() += n;
#endif
}

// Set by the runtime's set-up to the interpreter's flag of its atexit phase
// (internals.hpp); null before.
inline const std::atomic<bool>* exiting = nullptr;

// False only on a thread that has lost the interpreter for good: once the
// interpreter finalises, a daemon thread that waits for the interpreter lock
// is ended by a forced unwind, and the destructors on its stack run without
// the lock: they must leave reference counts and allocators alone. Until the
// atexit phase (when that cannot happen yet) the test is one load.
inline bool may_touch_python() noexcept {
  return exiting == nullptr || !exiting->load(std::memory_order_relaxed) || !_Py_IsFinalizing() ||
         PyGILState_Check();
}

// Py_DECREF, unless this thread has lost the interpreter for good.
inline void release_reference(PyObject* p) noexcept {
  if (may_touch_python()) Py_DECREF(p);
}

struct Kw;

// A null reference reaching a call, an attribute or a tuple is a fault of
// the native code: builds with assertions turn it into SystemError instead of
// a crash.
[[noreturn]] void null_reference();
inline PyObject* nonnull(PyObject* p) {
#ifndef NDEBUG
  if (p == nullptr) null_reference();
#endif
  return p;
}

// The operations shared by Ref and Borrowed; D provides get().
template <class D>
class Api {
 public:
  PyObject* ptr() const { return static_cast<const D*>(this)->get(); }
  explicit operator bool() const { return ptr() != nullptr; }
  bool is(Borrowed other) const;
  bool is_none() const { return ptr() == Py_None; }
  PyTypeObject* type() const { return Py_TYPE(ptr()); }
  const char* type_name() const { return Py_TYPE(ptr())->tp_name; }
  bool is_exactly(PyTypeObject* t) const { return Py_IS_TYPE(ptr(), t); }

  Ref attr(Name name) const;
  Ref attr(Borrowed name) const;
  void set_attr(Name name, Borrowed value) const;
  void set_attr(Borrowed name, Borrowed value) const;
  bool has_attr(Name name) const;

  Ref item(Borrowed key) const;
  Ref item(Name key) const;
  void set_item(Borrowed key, Borrowed value) const;
  void set_item(Name key, Borrowed value) const;
  bool contains(Borrowed key) const;

  // dict.get(key, fallback) on a dict: a new reference to the value, or to
  // `fallback` (None unless told; null gives an empty Ref) when absent.
  Ref dict_get(Borrowed key, Borrowed fallback) const;
  Ref dict_get(Name key, Borrowed fallback) const;
  Ref dict_get(Borrowed key) const;
  Ref dict_get(Name key) const;

  bool truthy() const { return check(PyObject_IsTrue(ptr())) != 0; }
  bool equals(Borrowed other) const;
  Ref str() const;

  template <class... A>
  Ref operator()(const A&... args) const;
  Ref call(std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs) const;
  Ref call_tuple(Borrowed args, Borrowed kwargs) const;
  Ref call_tuple(Borrowed args) const;

  template <class... A>
  Ref method(Name name, const A&... args) const;

  // As call() and method(), but a Python error is left set in the
  // interpreter and answered with an empty Ref instead of thrown: for a
  // failure that is common and handled at once, without the cost of an
  // unwind (take it with PyError()).
  Ref call_or_error(std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs) const;
  template <class... A>
  Ref method_or_error(Name name, const A&... args) const;
};

// A reference that is not owned: valid while some owner keeps the object.
class Borrowed : public Api<Borrowed> {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr Borrowed(PyObject* p) noexcept : p_(p) {}
  template <class T>
  requires(!std::is_same_v<T, PyObject>) Borrowed(T* p)
  noexcept : p_(reinterpret_cast<PyObject*>(p)) {}
  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }
  Ref ref() const;

 private:
  PyObject* p_ = nullptr;
};

// An owned (strong) reference, released when it goes out of scope.
class Ref : public Api<Ref> {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {
    if (p_ != nullptr) count_refs(1);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_ != nullptr) {
      count_refs(-1);
      release_reference(p_);
    }
  }

  // Takes over a new reference returned by the C API (null means an error).
  static Ref steal(PyObject* p) { return Ref(check(p)); }
  // Takes over a reference that may be null without an error.
  static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to an object someone else owns.
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  PyObject* get() const noexcept { return p_; }
  // A raw pointer only when asked for: an owned reference never turns
  // silently into one that may outlive it.
  explicit operator PyObject*() const noexcept { return p_; }
  operator Borrowed() const noexcept { return Borrowed(p_); }
  PyObject* release() noexcept {
    if (p_ != nullptr) count_refs(-1);
    return std::exchange(p_, nullptr);
  }
  void reset() noexcept {
    if (PyObject* p = std::exchange(p_, nullptr)) {
      count_refs(-1);
      release_reference(p);
    }
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {
    if (p_ != nullptr) count_refs(1);
  }
  PyObject* p_ = nullptr;
};

inline Ref Borrowed::ref() const { return Ref::borrow(p_); }

// A keyword argument of a call: "name"_n = value.
struct Kw {
  Name name;
  Borrowed value;
};

// Constructors of common values.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
inline Ref interned(Name n) { return Ref::borrow(n.get()); }
// PyUnicode_FromFormat, as an owned reference.
template <class... A>
Ref format(const char* format, const A&... args) {
  return Ref::steal(PyUnicode_FromFormat(format, args...));
}

template <class... A>
Ref tuple(const A&... items) {
  Ref t = Ref::steal(PyTuple_New(sizeof...(A)));
  Py_ssize_t i = 0;
  ((PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(nonnull(static_cast<PyObject*>(items))))), ...);
  return t;
}

inline void list_append(Borrowed list, Borrowed item) { check(PyList_Append(list, item)); }

// Iterates a dict's (key, value) pairs as iterating dict.items() does: the
// walk holds the dict and each pair while in use, and a body that adds or
// removes keys ends it with RuntimeError, as Python's dict iterator does.
class DictItems {
 public:
  explicit DictItems(Borrowed dict) : dict_(dict.ref()) {}
  struct It {
    PyObject* dict;
    Py_ssize_t pos = 0;
    Py_ssize_t used;  // the size the walk started with
    Py_ssize_t left;  // pairs not yet given
    Ref key;
    Ref value;
    bool done = false;
    void advance() {
      if (PyDict_GET_SIZE(dict) != used) changed("dictionary changed size during iteration");
      PyObject *k = nullptr, *v = nullptr;
      done = !PyDict_Next(dict, &pos, &k, &v);
      if (!done && left-- == 0) changed("dictionary keys changed during iteration");
      key = Ref::borrow(k);
      value = Ref::borrow(v);
    }
    [[noreturn]] static void changed(const char* message) {
      PyErr_SetString(PyExc_RuntimeError, message);
      throw_error();
    }
    std::pair<Borrowed, Borrowed> operator*() const { return {key, value}; }
    It& operator++() {
      advance();
      return *this;
    }
    bool operator!=(std::nullptr_t) const { return !done; }
  };
  It begin() const {
    Py_ssize_t size = PyDict_GET_SIZE(dict_.get());
    It it{dict_.get(), 0, size, size, Ref(), Ref()};
    it.advance();
    return it;
  }
  std::nullptr_t end() const { return nullptr; }

 private:
  Ref dict_;
};
inline DictItems dict_items(Borrowed d) { return DictItems(d); }

// Iterates any iterable, yielding owned references.
class Iterate {
 public:
  explicit Iterate(Borrowed iterable) : it_(Ref::steal(PyObject_GetIter(iterable))) {}
  struct It {
    PyObject* it;
    Ref current;
    void advance() {
      current = Ref::steal_or_null(PyIter_Next(it));
      if (!current && PyErr_Occurred()) throw_error();
    }
    const Ref& operator*() const { return current; }
    It& operator++() {
      advance();
      return *this;
    }
    bool operator!=(std::nullptr_t) const { return static_cast<bool>(current); }
  };
  It begin() const {
    It i{it_.get(), Ref()};
    i.advance();
    return i;
  }
  std::nullptr_t end() const { return nullptr; }

 private:
  Ref it_;
};

// `a, b, ... = object` for N names, with the interpreter's errors for
// anything that is not an iterable of exactly N items.
template <std::size_t N>
std::array<Ref, N> unpack(Borrowed object) {
  std::array<Ref, N> items;
  PyObject* p = object.get();
  if (PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) == static_cast<Py_ssize_t>(N)) {
    for (std::size_t i = 0; i < N; ++i)
      items[i] = Ref::borrow(PyTuple_GET_ITEM(p, static_cast<Py_ssize_t>(i)));
    return items;
  }
  if (Py_TYPE(p)->tp_iter == nullptr && !PySequence_Check(p)) {
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(p)->tp_name);
    throw_error();
  }
  std::size_t count = 0;
  for (const Ref& item : Iterate(p)) {
    if (count == N) {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
      throw_error();
    }
    items[count++] = item;
  }
  if (count < N) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, count);
    throw_error();
  }
  return items;
}

// --- Api definitions ---

template <class D>
Ref Api<D>::attr(Name name) const {
  return Ref::steal(PyObject_GetAttr(nonnull(ptr()), name.get()));
}
template <class D>
Ref Api<D>::attr(Borrowed name) const {
  return Ref::steal(PyObject_GetAttr(nonnull(ptr()), nonnull(name)));
}
template <class D>
void Api<D>::set_attr(Name name, Borrowed value) const {
  check(PyObject_SetAttr(ptr(), name.get(), value));
}
template <class D>
void Api<D>::set_attr(Borrowed name, Borrowed value) const {
  check(PyObject_SetAttr(ptr(), name, value));
}
template <class D>
bool Api<D>::has_attr(Name name) const {
  PyObject* result = nullptr;
  int found = check(_PyObject_LookupAttr(ptr(), name.get(), &result));
  Py_XDECREF(result);
  return found != 0;
}
template <class D>
Ref Api<D>::item(Borrowed key) const {
  return Ref::steal(PyObject_GetItem(ptr(), key));
}
template <class D>
Ref Api<D>::item(Name key) const {
  return item(key.get());
}
template <class D>
void Api<D>::set_item(Borrowed key, Borrowed value) const {
  check(PyObject_SetItem(ptr(), key, value));
}
template <class D>
void Api<D>::set_item(Name key, Borrowed value) const {
  set_item(key.get(), value);
}
template <class D>
bool Api<D>::contains(Borrowed key) const {
  return check(PySequence_Contains(ptr(), key)) != 0;
}
template <class D>
Ref Api<D>::dict_get(Borrowed key, Borrowed fallback) const {
  PyObject* v = PyDict_GetItemWithError(ptr(), key);
  if (v == nullptr && PyErr_Occurred()) throw_error();
  return Ref::borrow(v != nullptr ? v : fallback.get());
}
template <class D>
Ref Api<D>::dict_get(Name key, Borrowed fallback) const {
  return dict_get(key.get(), fallback);
}
template <class D>
Ref Api<D>::dict_get(Borrowed key) const {
  return dict_get(key, Py_None);
}
template <class D>
Ref Api<D>::dict_get(Name key) const {
  return dict_get(key.get(), Py_None);
}
template <class D>
bool Api<D>::is(Borrowed other) const {
  return ptr() == other.get();
}
template <class D>
bool Api<D>::equals(Borrowed other) const {
  return check(PyObject_RichCompareBool(ptr(), other, Py_EQ)) != 0;
}
template <class D>
Ref Api<D>::str() const {
  return Ref::steal(PyObject_Str(ptr()));
}
template <class D>
template <class... A>
Ref Api<D>::operator()(const A&... args) const {
  PyObject* stack[sizeof...(A) + 1] = {nullptr, nonnull(static_cast<PyObject*>(args))...};
  return Ref::steal(PyObject_Vectorcall(nonnull(ptr()), stack + 1,
                                        sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class D>
Ref Api<D>::call_or_error(std::initializer_list<Borrowed> args,
                          std::initializer_list<Kw> kwargs) const {
  constexpr std::size_t max = 16;
  if (args.size() + kwargs.size() > max) throw std::length_error("too many arguments in one call");
  PyObject* stack[max + 1];
  std::size_t n = 1;
  for (Borrowed a : args) stack[n++] = nonnull(a);
  Ref names;
  if (kwargs.size() != 0) names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
  Py_ssize_t k = 0;
  for (const Kw& kw : kwargs) {
    PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(kw.name.get()));
    stack[n++] = nonnull(kw.value);
  }
  return Ref::steal_or_null(PyObject_Vectorcall(
      nonnull(ptr()), stack + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}
template <class D>
Ref Api<D>::call(std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs) const {
  Ref result = call_or_error(args, kwargs);
  if (!result) throw_error();
  return result;
}
template <class D>
Ref Api<D>::call_tuple(Borrowed args, Borrowed kwargs) const {
  return Ref::steal(PyObject_Call(nonnull(ptr()), nonnull(args), kwargs));
}
template <class D>
Ref Api<D>::call_tuple(Borrowed args) const {
  return call_tuple(args, nullptr);
}
template <class D>
template <class... A>
Ref Api<D>::method_or_error(Name name, const A&... args) const {
  PyObject* stack[] = {nonnull(ptr()), nonnull(static_cast<PyObject*>(args))...};
  return Ref::steal_or_null(PyObject_VectorcallMethod(
      name.get(), stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class D>
template <class... A>
Ref Api<D>::method(Name name, const A&... args) const {
  Ref result = method_or_error(name, args...);
  if (!result) throw_error();
  return result;
}

}  // namespace rt
