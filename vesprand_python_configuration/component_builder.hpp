// The shape shared by the component builder modules: an exception class of
// the component and a builder that copies the component's settings keys onto
// the configuration record as "_" + key attributes.
#pragma once

#include "rt.hpp"

namespace component_builder {

using rt::Borrowed;
using rt::Literal;
using rt::Ref;
using namespace rt::literals;

// "_" + key, made when the module is compiled.
template <Literal Key>
constexpr auto underscored() {
  char text[sizeof(Key.text) + 1] = {'_'};
  for (std::size_t i = 0; i < sizeof(Key.text); ++i) text[i + 1] = Key.text[i];
  return Literal<sizeof(Key.text) + 1>(text);
}

template <Literal ExceptionClass, Literal BuilderClass, Literal... Keys>
struct Component {
  static Ref init(Borrowed self, Borrowed config) {
    self.set_attr("_config"_n, config);
    return rt::none();
  }

  // Copies one key: its value (None when absent) is read first, then the
  // record is fetched and the "_" + key attribute set on it.
  template <Literal Key>
  static void copy(Borrowed self, Borrowed data) {
    Ref value = data.dict_get(rt::operator""_n<Key>());
    self.attr("_config"_n).set_attr(rt::operator""_n<underscored<Key>() > (), value);
  }

  // Copies each key of the component, in order.
  static Ref build(Borrowed self, Borrowed data) {
    (copy<Keys>(self, data), ...);
    return rt::none();
  }

  // The module body: `from typing import Any, Dict`, the exception class,
  // then the builder class.
  static void body(rt::Module& m) {
    m.from_import("typing", {"Any", "Dict"});
    rt::subclass(m, ExceptionClass.text, PyExc_Exception);
    m.cls(BuilderClass.text)
        .method({.name = "__init__",
                 .params = {{"self"}, {"config", "Any"}},
                 .returns = "None",
                 .body = init})
        .method({.name = "build",
                 .params = {{"self"}, {"data", "Dict[str, Any]"}},
                 .returns = "None",
                 .body = build})
        .create();
  }
};

}  // namespace component_builder
