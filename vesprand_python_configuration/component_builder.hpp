// The shape shared by the component builder modules: an exception class of
// the component and a builder that copies the component's settings keys onto
// the configuration record as "_" + key attributes.
#pragma once

#include <initializer_list>

#include "rt.hpp"

namespace component_builder {

using namespace rt::literals;

struct Component {
  const char* exception_class;
  const char* builder_class;
  std::initializer_list<const char*> keys;  // in the order they are copied
};

inline rt::Ref init(rt::Args& a) {
  a[0].set_attr("_config"_n, a[1]);
  return rt::none();
}

template <const Component& C>
rt::Ref build(rt::Args& a) {
  rt::Borrowed self = a[0], data = a[1];
  for (const char* key : C.keys) {
    rt::Ref value = data.dict_get(rt::str(key));
    self.attr("_config"_n).set_attr(rt::Ref::steal(PyUnicode_FromFormat("_%s", key)), value);
  }
  return rt::none();
}

// The module body: `from typing import Any, Dict`, the exception class, then
// the builder class.
template <const Component& C>
void body(rt::Module& m) {
  m.from_import("typing", {"Any", "Dict"});
  rt::subclass(m, C.exception_class, PyExc_Exception);
  m.cls(C.builder_class)
      .method({.name = "__init__",
               .params = {{"self"}, {"config", "Any"}},
               .returns = "None",
               .body = init})
      .method({.name = "build",
               .params = {{"self"}, {"data", "Dict[str, Any]"}},
               .returns = "None",
               .body = build<C>})
      .create();
}

}  // namespace component_builder
