// Ordinary Python classes whose methods are native functions: the class is
// made by calling its metaclass (type, unless told) with the name, the bases
// and a namespace, as a `class` statement does.
#pragma once

#include <string>
#include <vector>

#include "module.hpp"

namespace rt {

class ClassBuilder {
 public:
  ClassBuilder(const Module& module, const char* name);

  ClassBuilder& base(PyObject* base);
  ClassBuilder& metaclass(PyObject* metaclass);
  ClassBuilder& doc(const char* doc);
  ClassBuilder& method(const Def& def);
  ClassBuilder& classmethod(const Def& def);
  // A class attribute, with its annotation (source text) when given.
  ClassBuilder& attr(const char* name, PyObject* value, const char* annotation = nullptr);

  // Creates the class and binds it in the module under its name.
  Ref create();

 private:
  Ref function(const Def& def);

  Module module_;
  const char* name_;
  Ref namespace_;
  Ref annotations_;
  std::vector<Ref> bases_;
  Ref metaclass_;
};

// A class deriving from `base` with no body (such as an exception class).
Ref subclass(const Module& module, const char* name, PyObject* base);

}  // namespace rt
