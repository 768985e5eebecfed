// Test-only native module for the runtime's mechanisms other than
// coroutines: generators, classes (metaclass, static methods, fields, build
// before bind, super()), the `with` statement, dict walks and recursion.
#include <stdexcept>

#include "rt.hpp"

namespace {

using namespace rt;

// Yields 0, 1, ... n-1; each value sent in is appended to `received`.
Task count_up(Call& call, Borrowed n, Borrowed received) {
  long limit = PyLong_AsLong(n);
  (void)call;
  for (long i = 0; i < limit; ++i) {
    Ref sent = co_yield integer(i);
    if (!received.is_none()) list_append(received, sent);
  }
  co_return none();
}

// Yields each attribute of `object` named in `names`, read when advanced to.
Task attributes(Borrowed object, Borrowed names) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i)
    co_yield object.attr(PyTuple_GET_ITEM(names.get(), i));
  co_return none();
}

// A metaclass whose __call__ counts constructions in `calls`, then
// constructs through type.__call__.
Ref counting_call(Call& call, Borrowed cls, Borrowed args, Borrowed kwargs) {
  Ref calls = cls.attr("calls"_n);
  cls.set_attr("calls"_n, Ref::steal(PyNumber_Add(calls.get(), integer(1).get())));
  return call_with(super_attr(call, cls, "__call__"_n), {}, args, kwargs);
}

Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a, b)); }

Ref base_describe(Borrowed) { return str("base"); }

// super().describe() + "+native"
Ref describe(Call& call, Borrowed self) {
  Ref base = super_attr(call, self, "describe"_n)();
  return Ref::steal(PyNumber_Add(base.get(), str("+native").get()));
}

// `with manager as value: return body(value)`; `fail` = "python" raises
// ValueError in the body, "cpp" throws a C++ exception.
Ref run_with(Borrowed manager, Borrowed body, Borrowed fail) {
  Ref result = with(manager, [&](Borrowed value) -> Ref {
    Ref result = body(value);
    if (fail.equals(str("python").get())) raise(PyExc_ValueError, "body failed");
    if (fail.equals(str("cpp").get())) throw std::runtime_error("native failure");
    return result;
  });
  return result;  // None when __exit__ suppressed the error
}

// The keys of `d`, walked with the runtime's dict walk, each compared with
// `probe` (whose __eq__ may change the dict).
Ref walk(Borrowed d, Borrowed probe) {
  Ref keys = new_list();
  for (auto [key, value] : dict_items(d)) {
    key.equals(probe);
    list_append(keys, key);
  }
  return keys;
}

// Calls callback(depth + 1) from native code.
Ref recurse(Borrowed callback, Borrowed depth) {
  return callback(Ref::steal(PyNumber_Add(depth, integer(1).get())));
}

Ref wrong_arity(Borrowed a) { return a.ref(); }

// Declares `wrong_arity` with two parameters when asked to.
Ref declare_wrong_arity(Call& call) {
  PyObject* module = PyImport_AddModule("_runtimeprobe");
  Module m(module, static_cast<ModuleState*>(PyModule_GetState(module)));
  (void)call;
  return make_function({.name = "bad", .params = {{"a"}, {"b"}}, .body = wrong_arity}, m, "bad");
}

void body(Module& m) {
  m.def({.name = "count_up",
         .params = {{"n", "int"}, {"received", "Optional[list]", None}},
         .generator = count_up});
  m.def(
      {.name = "attributes", .params = {{"object"}, {"names", "tuple"}}, .generator = attributes});
  Ref meta = m.cls("CountingMeta")
                 .base(reinterpret_cast<PyObject*>(&PyType_Type))
                 .attr("calls", integer(0), "int")
                 .method({.name = "__call__",
                          .params = {{"cls"}, varargs("args", "Any"), varkw("kwargs", "Any")},
                          .returns = "Any",
                          .body = counting_call})
                 .create();
  m.cls("Counted").metaclass(meta).field("value", "int").create();
  m.cls("Tools")
      .staticmethod(
          {.name = "add", .params = {{"a", "int"}, {"b", "int"}}, .returns = "int", .body = add})
      .create();
  Ref base =
      m.cls("Base")
          .method(
              {.name = "describe", .params = {{"self"}}, .returns = "str", .body = base_describe})
          .create();
  m.cls("Described")
      .base(base)
      .method({.name = "describe", .params = {{"self"}}, .returns = "str", .body = describe})
      .create();
  Ref record = m.cls("Record").field("name", "str").field("size", "int").build();
  m.add("RecordUnbound", record);
  m.def({.name = "run_with",
         .params = {{"manager"}, {"body"}, {"fail", "str", ""}},
         .body = run_with});
  m.def({.name = "walk", .params = {{"d", "dict"}, {"probe"}}, .body = walk});
  m.def({.name = "recurse", .params = {{"callback"}, {"depth", "int"}}, .body = recurse});
  m.def({.name = "declare_wrong_arity", .params = {}, .body = declare_wrong_arity});
}

}  // namespace

RT_MODULE(_runtimeprobe, nullptr, body)
