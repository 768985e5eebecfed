#include "klass.hpp"

namespace rt {

ClassBuilder::ClassBuilder(const Module& module, const char* name)
    : module_(module), name_(name), namespace_(new_dict()) {
  namespace_.set_item("__module__"_n, module_name(module.object()));
  namespace_.set_item("__qualname__"_n, str(name));
}

ClassBuilder& ClassBuilder::base(Borrowed b) {
  bases_.push_back(b.ref());
  return *this;
}

ClassBuilder& ClassBuilder::metaclass(Borrowed m) {
  metaclass_ = m.ref();
  return *this;
}

ClassBuilder& ClassBuilder::doc(const char* d) {
  namespace_.set_item("__doc__"_n, str(d));
  return *this;
}

Ref ClassBuilder::function(const Def& def) {
  std::string qualname = std::string(name_) + "." + def.name;
  Ref f = make_function(def, module_, qualname.c_str());
  functions_.push_back(f);
  return f;
}

ClassBuilder& ClassBuilder::method(const Def& def) {
  namespace_.set_item(str(def.name), function(def));
  return *this;
}

ClassBuilder& ClassBuilder::classmethod(const Def& def) {
  Ref wrapped = Ref::steal(PyClassMethod_New(function(def).get()));
  namespace_.set_item(str(def.name), wrapped);
  return *this;
}

ClassBuilder& ClassBuilder::staticmethod(const Def& def) {
  Ref wrapped = Ref::steal(PyStaticMethod_New(function(def).get()));
  namespace_.set_item(str(def.name), wrapped);
  return *this;
}

void ClassBuilder::annotate(const char* name, const char* annotation) {
  if (!annotations_) {
    annotations_ = new_dict();
    namespace_.set_item("__annotations__"_n, annotations_);
  }
  annotations_.set_item(str(name), str(annotation));
}

ClassBuilder& ClassBuilder::attr(const char* name, Borrowed value, const char* annotation) {
  namespace_.set_item(str(name), value);
  if (annotation != nullptr) annotate(name, annotation);
  return *this;
}

ClassBuilder& ClassBuilder::field(const char* name, const char* annotation) {
  annotate(name, annotation);
  return *this;
}

Ref ClassBuilder::build() {
  Ref bases = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases_.size())));
  for (std::size_t i = 0; i < bases_.size(); ++i)
    PyTuple_SET_ITEM(bases.get(), static_cast<Py_ssize_t>(i), Py_NewRef(bases_[i].get()));
  Borrowed meta = metaclass_ ? Borrowed(metaclass_) : Borrowed(&PyType_Type);
  Ref cls = meta(str(name_), bases, namespace_);
  for (const Ref& f : functions_) set_defining_class(f, cls);
  return cls;
}

Ref ClassBuilder::create() {
  Ref cls = build();
  module_.add(name_, cls);
  return cls;
}

Ref subclass(const Module& module, const char* name, Borrowed base) {
  return ClassBuilder(module, name).base(base).create();
}

}  // namespace rt
