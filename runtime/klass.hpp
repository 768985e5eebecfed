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

  // A base class (in order; none means object). A base that is `type`
  // makes a metaclass, whose `__call__` method runs when its classes are
  // called.
  ClassBuilder& base(Borrowed base);
  ClassBuilder& metaclass(Borrowed metaclass);
  ClassBuilder& doc(const char* doc);
  ClassBuilder& method(const Def& def);
  ClassBuilder& classmethod(const Def& def);
  ClassBuilder& staticmethod(const Def& def);
  // A class attribute, with its annotation (source text) when given.
  ClassBuilder& attr(const char* name, Borrowed value, const char* annotation = nullptr);
  // An annotation without a value (`name: annotation` in a class body), as
  // dataclasses take their fields.
  ClassBuilder& field(const char* name, const char* annotation);

  // Creates the class without binding it, for a decorator to be applied
  // before the module binds the result.
  Ref build();
  // Creates the class and binds it in the module under its name.
  Ref create();

 private:
  Ref function(const Def& def);
  void annotate(const char* name, const char* annotation);

  Module module_;
  const char* name_;
  Ref namespace_;
  Ref annotations_;
  std::vector<Ref> bases_;
  Ref metaclass_;
  std::vector<Ref> functions_;  // the native functions, told their class once made
};

// A class deriving from `base` with no body (such as an exception class).
Ref subclass(const Module& module, const char* name, Borrowed base);

}  // namespace rt
