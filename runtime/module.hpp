// The module frame: multi-phase initialisation with a one-interpreter guard,
// refusal of re-initialisation and a warning on a Python version mismatch;
// and the Module handle through which a module body binds its names.
#pragma once

#include <initializer_list>

#include "function.hpp"

namespace rt {

class ClassBuilder;

// The state every module of the package has of its own: a dict of values
// its functions reach (Module::keep, Call::state), held by the module object
// and seen by the collector.
struct ModuleState {
  PyObject* values;
};

// A module being executed, as its body sees it.
class Module {
 public:
  Module(PyObject* module, ModuleState* state) : module_(module), state_(state) {}
  Borrowed object() const { return module_; }
  // The values the module keeps (borrowed).
  Borrowed values() const { return state_->values; }
  Borrowed dict() const { return PyModule_GetDict(module_); }

  // Binds a value under a name.
  void add(const char* name, Borrowed value) const;
  // `import a.b` (binds `a`), or `import a.b as name`.
  Ref import(const char* module, const char* as = nullptr) const;
  // `from module import name, ...` (each bound under its own name).
  void from_import(const char* module, std::initializer_list<const char*> names) const;
  // `from module import name as alias`.
  void from_import_as(const char* module, const char* name, const char* alias) const;
  // A module-level native function, bound under its name.
  Ref def(const Def& def) const;
  // Keeps `value` in the module's own state under `name`: not a name of
  // the module, reached by its functions through Call::state.
  void keep(Name name, Borrowed value) const;
  // An ordinary class of this module (see ClassBuilder).
  ClassBuilder cls(const char* name) const;

 private:
  PyObject* module_;
  ModuleState* state_;
};

using ModuleBody = void (*)(Module&);

// The frame of one extension module. Each module has one, made by RT_MODULE,
// whose create and exec slots forward to it.
class ModuleFrame {
 public:
  using CreateSlot = PyObject* (*)(PyObject*, PyModuleDef*);
  using ExecSlot = int (*)(PyObject*);
  ModuleFrame(const char* name, const char* doc, ModuleBody body, CreateSlot create, ExecSlot exec);
  PyObject* init();
  PyObject* create(PyObject* spec);
  int exec(PyObject* module);

 private:
  PyModuleDef def_;
  PyModuleDef_Slot slots_[3];
  const char* name_;
  ModuleBody body_;
  int64_t interpreter_ = -1;
  PyObject* module_ = nullptr;    // the one module object, once created
  ModuleState* state_ = nullptr;  // its state, as the interpreter allocated it
  bool executed_ = false;
};

}  // namespace rt

// Defines PyInit_<name> for a module whose body is `body`. The frame is a
// function-local static whose constructor runs no Python code, so its guard
// is never held while a thread waits for the interpreter lock; it is
// process-wide state, safe because the frame admits one interpreter.
#define RT_MODULE(name, doc, body)                                                    \
  namespace {                                                                         \
  PyObject* rt_module_create(PyObject* spec, PyModuleDef*);                           \
  int rt_module_exec(PyObject* module);                                               \
  rt::ModuleFrame& rt_module_frame() {                                                \
    static rt::ModuleFrame frame(#name, doc, body, rt_module_create, rt_module_exec); \
    return frame;                                                                     \
  }                                                                                   \
  PyObject* rt_module_create(PyObject* spec, PyModuleDef*) {                          \
    return rt_module_frame().create(spec);                                            \
  }                                                                                   \
  int rt_module_exec(PyObject* module) { return rt_module_frame().exec(module); }     \
  }                                                                                   \
  PyMODINIT_FUNC PyInit_##name() { return rt_module_frame().init(); }
