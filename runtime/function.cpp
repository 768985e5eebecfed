#include "function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "coroutine.hpp"
#include "internals.hpp"
#include "module.hpp"

namespace rt {

Ref Default::make() const {
  switch (kind_) {
    case Kind::None:
      return none();
    case Kind::Bool:
      return boolean(int_ != 0);
    case Kind::Int:
      return integer(int_);
    case Kind::Str:
      return Ref::steal(PyUnicode_InternFromString(str_));
    case Kind::Absent:
      break;
  }
  return Ref();
}

namespace {

// The exact type an annotation asks for under the argument convention, or
// null when the annotation is not checked.
struct TypeCheck {
  PyTypeObject* exact = nullptr;
  bool none_ok = false;
};

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

PyTypeObject* builtin_type_of(std::string_view a, bool for_return) {
  if (a == "str") return &PyUnicode_Type;
  if (a == "int") return &PyLong_Type;
  if (a == "dict" || starts_with(a, "Dict[") || starts_with(a, "dict[")) return &PyDict_Type;
  if (for_return) return nullptr;  // results are checked for str, int and dict only
  if (a == "list" || starts_with(a, "List[") || starts_with(a, "list[")) return &PyList_Type;
  return nullptr;
}

TypeCheck check_for(const char* annotation, bool default_is_none, bool for_return) {
  TypeCheck check;
  if (annotation == nullptr) return check;
  std::string_view a = annotation;
  if (starts_with(a, "Optional[") && a.back() == ']') {
    a = a.substr(9, a.size() - 10);
    check.none_ok = true;
  }
  check.exact = builtin_type_of(a, for_return);
  check.none_ok = check.none_ok || default_is_none || for_return;
  return check;
}

struct Slot {
  Ref name;
  TypeCheck check;
  Ref default_value;  // null when the parameter is required
  ParamKind kind;
};

}  // namespace

// What a function object knows about its parameters, for binding a call.
struct Signature {
  std::string name;
  std::vector<Slot> slots;     // in declaration order
  std::size_t positional = 0;  // leading ordinary parameters
  std::size_t required = 0;    // of which have no default
  int varargs = -1;            // slot index of *args, or -1
  int varkw = -1;              // slot index of **kwargs, or -1
  TypeCheck result;
  Body body;
  CoroutineBody coroutine;  // a coroutine or generator body
  FrameKind kind = FrameKind::Coroutine;
  bool handles_close = false;
  std::size_t frame_size = 0;  // of the body's frame, learned from the first coroutine
  bool checks = false;         // whether any ordinary parameter's type is checked
};

namespace {

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* defaults;
  PyObject* code;
  PyObject* globals;
  PyObject* builtins;  // the builtins of the module's namespace
  PyObject* owner;     // the class that defines the function, or null
  PyObject* state;     // the values the module keeps (Module::keep)
  Signature* signature;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

}  // namespace

// Binds the arguments of one vectorcall to a signature, with the
// interpreter's texts for count and keyword errors and the exact-type checks.
struct Binder {
  static void too_many(const Signature& s, Py_ssize_t given) {
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 s.name.c_str(), s.required == s.positional ? "exactly" : "at most",
                 static_cast<Py_ssize_t>(s.positional), s.positional == 1 ? "" : "s", given);
  }
  static void too_few(const Signature& s, Py_ssize_t given) {
    bool exact = s.required == s.positional && s.varargs < 0;
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 s.name.c_str(), exact ? "exactly" : "at least",
                 static_cast<Py_ssize_t>(s.required), s.required == 1 ? "" : "s", given);
  }

  static int find_keyword(const Signature& s, PyObject* key) {
    for (std::size_t i = 0; i < s.positional; ++i)
      if (s.slots[i].name.get() == key) return static_cast<int>(i);
    for (std::size_t i = 0; i < s.positional; ++i) {
      int eq = PyUnicode_Compare(s.slots[i].name.get(), key);
      if (eq == 0) return static_cast<int>(i);
      if (eq == -1 && PyErr_Occurred()) throw_error();
    }
    return -1;
  }

  // Binds the arguments to `out`, which borrows them from the caller. The
  // slots go to `room` (room for every parameter); a call that gives each
  // parameter by position, in order, may instead keep the caller's own
  // argument array, unless `room_required`.
  static void bind(FunctionObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                   Call& out, PyObject** room, bool room_required) {
    const Signature& s = *f->signature;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto positional = static_cast<Py_ssize_t>(s.positional);
    out.function_ = reinterpret_cast<PyObject*>(f);
    out.size_ = static_cast<std::uint16_t>(s.slots.size());
    if (kwnames == nullptr && nargs == positional && s.varargs < 0 && s.varkw < 0) {
      if (room_required) {
        std::copy_n(args, nargs, room);
        out.slots_ = room;
      } else {
        out.slots_ = args;
      }
    } else {
      bind_slowly(s, args, nargs, kwnames, out, room);
    }
    if (!s.checks) return;
    for (std::size_t i = 0; i < s.positional; ++i) {
      const TypeCheck& c = s.slots[i].check;
      PyObject* v = out.slots_[i];
      if (c.exact == nullptr || Py_IS_TYPE(v, c.exact) || (c.none_ok && v == Py_None)) continue;
      raise_format(PyExc_TypeError,
                   "Argument '%U' has incorrect type (expected %.200s, got %.200s)",
                   s.slots[i].name.get(), c.exact->tp_name, Py_TYPE(v)->tp_name);
    }
  }

  static void bind_slowly(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Call& out, PyObject** room) {
    std::fill_n(room, s.slots.size(), nullptr);
    out.slots_ = room;
    auto positional = static_cast<Py_ssize_t>(s.positional);
    if (nargs > positional && s.varargs < 0) too_many(s, nargs);
    Py_ssize_t taken = std::min(nargs, positional);
    std::copy_n(args, taken, room);
    if (s.varargs >= 0) {
      Py_ssize_t extra = nargs - taken;
      room[s.varargs] = check(PyTuple_New(extra));
      out.made_[0] = static_cast<std::int16_t>(s.varargs);
      for (Py_ssize_t i = 0; i < extra; ++i)
        PyTuple_SET_ITEM(room[s.varargs], i, Py_NewRef(args[taken + i]));
    }
    if (s.varkw >= 0) {
      room[s.varkw] = check(PyDict_New());
      out.made_[1] = static_cast<std::int16_t>(s.varkw);
    }
    if (kwnames != nullptr) {
      Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        int index = find_keyword(s, key);
        if (index >= 0) {
          if (room[index] != nullptr)
            raise_format(PyExc_TypeError, "%.200s() got multiple values for argument '%U'",
                         s.name.c_str(), key);
          room[index] = value;
        } else if (s.varkw >= 0) {
          check(PyDict_SetItem(room[s.varkw], key, value));
        } else {
          raise_format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                       s.name.c_str(), key);
        }
      }
    }
    for (std::size_t i = 0; i < s.positional; ++i) {
      if (room[i] != nullptr) continue;
      if (!s.slots[i].default_value) too_few(s, nargs);
      room[i] = s.slots[i].default_value.get();  // held by the function, which the caller holds
    }
  }

  static void check_result(const Signature& s, PyObject* r) {
    const TypeCheck& c = s.result;
    if (c.exact == nullptr || Py_IS_TYPE(r, c.exact) || r == Py_None) return;
    raise_format(PyExc_TypeError, "Expected %s, got %.200s", c.exact->tp_name, Py_TYPE(r)->tp_name);
  }
};

Ref Call::global(Name name) const {
  FunctionObject* f = as_function(function_);
  PyObject* key = name.get();
  PyObject* v = PyDict_GetItemWithError(f->globals, key);
  if (v == nullptr && !PyErr_Occurred()) v = PyDict_GetItemWithError(f->builtins, key);
  if (v == nullptr) {
    if (PyErr_Occurred()) throw_error();
    raise_format(PyExc_NameError, "name '%U' is not defined", key);
  }
  return Ref::borrow(v);
}

void Call::assign(Borrowed function, std::initializer_list<Borrowed> values, PyObject** slots) {
  clear();
  std::size_t i = 0;
  for (Borrowed v : values) slots[i++] = v.get();
  slots_ = slots;
  size_ = static_cast<std::uint16_t>(values.size());
  function_ = function.get();
  own();
}

void Call::own() noexcept {
  if (owned_) return;
  for (std::size_t i = 0; i < size_; ++i)
    if (static_cast<int>(i) != made_[0] && static_cast<int>(i) != made_[1]) Py_INCREF(slots_[i]);
  Py_XINCREF(function_);
  owned_ = true;
}

Ref Call::state(Name name) const {
  PyObject* values = as_function(function_)->state;
  if (values == nullptr) raise(PyExc_SystemError, "the module keeps no state");
  return Borrowed(values).item(name);
}

Borrowed Call::keep(Ref object) {
  if (kept_ == nullptr) kept_ = check(PyList_New(0));
  list_append(kept_, object);
  return object;  // the list holds it
}

Ref call_with(Borrowed callable, std::initializer_list<Borrowed> leading, Borrowed args,
              Borrowed kwargs) {
  Ref rest =
      !args || PyTuple_CheckExact(args.get()) ? args.ref() : Ref::steal(PySequence_Tuple(args));
  Py_ssize_t extra = rest ? PyTuple_GET_SIZE(rest.get()) : 0;
  Ref all = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(leading.size()) + extra));
  Py_ssize_t n = 0;
  for (Borrowed item : leading) PyTuple_SET_ITEM(all.get(), n++, Py_NewRef(item.get()));
  for (Py_ssize_t i = 0; i < extra; ++i)
    PyTuple_SET_ITEM(all.get(), n++, Py_NewRef(PyTuple_GET_ITEM(rest.get(), i)));
  // The callee gets a dict of its own, whatever mapping was given.
  Ref keywords;
  if (kwargs && !(PyDict_Check(kwargs.get()) && PyDict_GET_SIZE(kwargs.get()) == 0)) {
    keywords = new_dict();
    check(PyDict_Merge(keywords.get(), kwargs, 1));
  }
  return callable.call_tuple(all, keywords.get());
}

Ref super_attr(const Call& call, Borrowed self, Name name) {
  PyObject* owner = as_function(call.function())->owner;
  if (owner == nullptr) raise(PyExc_RuntimeError, "super(): __class__ cell not found");
  Ref proxy = Borrowed(&PySuper_Type)(owner, self);
  return proxy.attr(name);
}

void set_defining_class(Borrowed function, Borrowed cls) {
  Ref f = function.ref();
  if (PyObject_TypeCheck(f.get(), &PyClassMethod_Type) ||
      PyObject_TypeCheck(f.get(), &PyStaticMethod_Type))
    f = f.attr("__func__"_n);
  if (!f.is_exactly(function_type())) return;
  Py_XSETREF(as_function(f.get())->owner, Py_NewRef(cls.get()));
}

Ref module_name(Borrowed module) { return Ref::steal(PyModule_GetNameObject(module)); }

void Call::clear() noexcept {
  // Released one by one after being taken out, so a destructor that runs
  // meanwhile finds the call consistent.
  std::size_t size = std::exchange(size_, 0);
  PyObject* const* slots = std::exchange(slots_, nullptr);
  PyObject* function = std::exchange(function_, nullptr);
  PyObject* kept = std::exchange(kept_, nullptr);
  bool owned = std::exchange(owned_, false);
  std::int16_t made[2] = {made_[0], made_[1]};
  made_[0] = made_[1] = -1;
  if (!may_touch_python()) return;
  for (std::size_t i = size; i-- > 0;) {
    bool own = owned || static_cast<int>(i) == made[0] || static_cast<int>(i) == made[1];
    if (own) Py_XDECREF(slots[i]);
  }
  if (owned) Py_XDECREF(function);
  Py_XDECREF(kept);
}

int Call::traverse(visitproc visit, void* arg) const {
  if (!owned_) return 0;  // a plain call's arguments are its caller's
  for (std::size_t i = 0; i < size_; ++i) Py_VISIT(slots_[i]);
  Py_VISIT(function_);
  Py_VISIT(kept_);
  return 0;
}

namespace {

// A plain function's call: the arguments stay the caller's; only what
// binding makes (the *args tuple, the **kwargs dict) is the call's own.
PyObject* call_plain(FunctionObject* f, PyObject* const* args, std::size_t nargsf,
                     PyObject* kwnames) {
  const Signature& s = *f->signature;
  RecursionGuard guard(" while calling a Python object");
  if (!guard.entered()) return nullptr;
  PyObject* result = nullptr;
  guarded([&] {
    constexpr std::size_t on_stack = 8;
    PyObject* room[on_stack];
    std::unique_ptr<PyObject*[]> spilled;
    if (s.slots.size() > on_stack) spilled = std::make_unique<PyObject*[]>(s.slots.size());
    Call call;
    Binder::bind(f, args, nargsf, kwnames, call, spilled ? spilled.get() : room, false);
    Ref r = s.body(call);
    Binder::check_result(s, r.get());
    result = r.release();
  });
  return result;
}

// A coroutine or generator function's call: the object made owns its
// arguments.
PyObject* call_coroutine(FunctionObject* f, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) {
  Signature& s = *f->signature;
  return boundary([&] {
    CoroutineSpec spec{s.kind, s.coroutine, s.frame_size, s.handles_close};
    return make_coroutine(spec, s.slots.size(), [&](Call& call, PyObject** room) {
      Binder::bind(f, args, nargsf, kwnames, call, room, true);
      call.own();
    });
  });
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* f = as_function(callable);
  if (f->signature->coroutine) return call_coroutine(f, args, nargsf, kwnames);
  return call_plain(f, args, nargsf, kwnames);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->dict);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->defaults);
  Py_VISIT(f->code);
  Py_VISIT(f->globals);
  Py_VISIT(f->builtins);
  Py_VISIT(f->owner);
  Py_VISIT(f->state);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->code);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->builtins);
  Py_CLEAR(f->owner);
  Py_CLEAR(f->state);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  delete f->signature;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return boundary([&] { return format("<function %U at %p>", as_function(self)->qualname, self); });
}

// Getters and setters of the function attributes.
template <PyObject* FunctionObject::*Field>
PyObject* get_field(PyObject* self, void*) {
  PyObject* v = as_function(self)->*Field;
  return Py_NewRef(v != nullptr ? v : Py_None);
}

int set_string(PyObject* self, PyObject* value, PyObject* FunctionObject::*field,
               const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(as_function(self)->*field, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
  return set_string(self, value, &FunctionObject::name, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_string(self, value, &FunctionObject::qualname, "__qualname__");
}
int set_doc(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_function(self)->doc, Py_XNewRef(value != nullptr ? value : Py_None));
  return 0;
}
int set_module(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_function(self)->module, Py_XNewRef(value != nullptr ? value : Py_None));
  return 0;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) value = Py_None;
  if (value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, Py_NewRef(value));
  return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (f->annotations == nullptr || f->annotations == Py_None) {
    Py_XSETREF(f->annotations, PyDict_New());
    if (f->annotations == nullptr) return nullptr;
  }
  return Py_NewRef(f->annotations);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionObject::name>, set_name, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, set_qualname, nullptr, nullptr},
    {"__doc__", get_field<&FunctionObject::doc>, set_doc, nullptr, nullptr},
    {"__module__", get_field<&FunctionObject::module>, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_field<&FunctionObject::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_field<&FunctionObject::code>, nullptr, nullptr, nullptr},
    {"__globals__", get_field<&FunctionObject::globals>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vesprand_python_configuration.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// A code object that describes the parameters, as the compiler would make
// for a `def` with this signature (it is never executed).
Ref make_code(const Signature& s, Borrowed module, Borrowed name, Borrowed qualname) {
  Ref file = Ref::steal_or_null(PyObject_GetAttrString(module, "__file__"));
  if (!file) {
    PyErr_Clear();
    file = module_name(module);
  }
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(PyUnicode_AsUTF8(file.get()), PyUnicode_AsUTF8(name), 1)));
  Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(s.slots.size())));
  std::size_t i = 0;
  for (const Slot& slot : s.slots)
    PyTuple_SET_ITEM(varnames.get(), i++, Py_NewRef(slot.name.get()));
  int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  if (s.varargs >= 0) flags |= CO_VARARGS;
  if (s.varkw >= 0) flags |= CO_VARKEYWORDS;
  if (s.coroutine) flags |= s.kind == FrameKind::Generator ? CO_GENERATOR : CO_COROUTINE;
  Ref replace = empty.attr("replace"_n);
  Ref argcount = integer(static_cast<long long>(s.positional));
  Ref nlocals = integer(static_cast<long long>(s.slots.size()));
  Ref zero = integer(0);
  Ref flag_value = integer(flags);
  return replace.call({}, {{"co_argcount"_n, argcount},
                           {"co_posonlyargcount"_n, zero},
                           {"co_kwonlyargcount"_n, zero},
                           {"co_nlocals"_n, nlocals},
                           {"co_varnames"_n, varnames},
                           {"co_flags"_n, flag_value},
                           {"co_qualname"_n, qualname}});
}

}  // namespace

PyTypeObject* function_type() { return internals().function_type; }

FunctionNames function_names(Borrowed function) {
  FunctionObject* f = as_function(function.get());
  return {f->name, f->qualname, f->code};
}

Ref make_function_type() { return Ref::steal(PyType_FromSpec(&function_spec)); }

Ref make_function(const Def& def, const Module& in, const char* qualname) {
  Borrowed module = in.object();
  auto sig = std::make_unique<Signature>();
  sig->name = def.name;
  sig->body = def.body;
  sig->coroutine = def.coroutine ? def.coroutine : def.generator;
  if (def.generator) sig->kind = FrameKind::Generator;
  sig->handles_close = def.handles_close;
  std::size_t bodies = (def.body ? 1 : 0) + (def.coroutine ? 1 : 0) + (def.generator ? 1 : 0);
  if (bodies != 1)
    raise_format(PyExc_SystemError, "%s: a native function needs exactly one body", def.name);
  std::size_t arity = def.body ? def.body.arity() : sig->coroutine.arity();
  if (arity != def.params.size())
    raise_format(PyExc_SystemError,
                 "%s: the native body takes %zu parameters, the declaration names %zu", def.name,
                 arity, def.params.size());
  Ref annotations = new_dict();
  Ref defaults = new_list();
  for (const Param& p : def.params) {
    Slot slot{Ref::steal(PyUnicode_InternFromString(p.name)),
              check_for(p.annotation, p.default_value.is_none(), false), p.default_value.make(),
              p.kind};
    int index = static_cast<int>(sig->slots.size());
    if (p.kind == ParamKind::VarArgs) {
      sig->varargs = index;
      slot.check = {};
    } else if (p.kind == ParamKind::VarKw) {
      sig->varkw = index;
      slot.check = {};
    } else {
      if (sig->varargs >= 0 || sig->varkw >= 0)
        raise_format(PyExc_SystemError, "%s: keyword-only parameters are not supported", def.name);
      ++sig->positional;
      if (slot.default_value) {
        list_append(defaults, slot.default_value);
      } else {
        if (PyList_GET_SIZE(defaults.get()) != 0)
          raise_format(PyExc_SystemError, "%s: a required parameter follows a default", def.name);
        ++sig->required;
      }
    }
    if (p.annotation != nullptr) annotations.set_item(slot.name, str(p.annotation));
    sig->checks = sig->checks || slot.check.exact != nullptr;
    sig->slots.push_back(std::move(slot));
  }
  if (def.returns != nullptr) {
    annotations.set_item("return"_n, str(def.returns));
    sig->result = check_for(def.returns, false, true);
  }

  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  Ref qual = str(qualname);
  Ref code = make_code(*sig, module, name, qual);
  Ref module_name_ = module_name(module);
  Ref globals = Ref::borrow(PyModule_GetDict(module));
  // As for a `def`: the namespace's __builtins__, else the interpreter's.
  Ref builtins = globals.dict_get("__builtins__"_n);
  if (builtins.is_none()) builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (PyModule_Check(builtins.get())) builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
  if (!PyDict_Check(builtins.get())) raise(PyExc_TypeError, "__builtins__ must be a dict");

  Ref doc = def.doc != nullptr ? str(def.doc) : none();
  Ref defaults_tuple =
      PyList_GET_SIZE(defaults.get()) != 0 ? Ref::steal(PyList_AsTuple(defaults.get())) : none();
  PyTypeObject* type = function_type();
  auto* f = PyObject_GC_New(FunctionObject, type);
  if (f == nullptr) throw_error();
  f->vectorcall = function_vectorcall;
  f->dict = nullptr;
  f->weakrefs = nullptr;
  f->name = name.release();
  f->qualname = qual.release();
  f->module = module_name_.release();
  f->doc = doc.release();
  f->annotations = annotations.release();
  f->defaults = defaults_tuple.release();
  f->code = code.release();
  f->globals = globals.release();
  f->builtins = builtins.release();
  f->owner = nullptr;
  f->state = Py_NewRef(in.values().get());
  f->signature = sig.release();
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace rt
