#include "module.hpp"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "internals.hpp"
#include "klass.hpp"

namespace rt {

namespace {

int module_state_traverse(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state != nullptr) Py_VISIT(state->values);
  return 0;
}

int module_state_clear(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state != nullptr) Py_CLEAR(state->values);
  return 0;
}

}  // namespace

void Module::add(const char* name, Borrowed value) const {
  check(PyModule_AddObjectRef(module_, name, value));
}

Ref Module::import(const char* module, const char* as) const {
  Ref imported = Ref::steal(PyImport_ImportModule(module));
  if (as != nullptr) {
    add(as, imported);
    return imported;
  }
  const char* dot = std::strchr(module, '.');
  if (dot == nullptr) {
    add(module, imported);
    return imported;
  }
  Ref top = str(std::string_view(module, static_cast<std::size_t>(dot - module)));
  Ref package = Ref::steal(PyImport_Import(top.get()));
  add(PyUnicode_AsUTF8(top.get()), package);
  return imported;
}

namespace {

// `from module import names[0], ...`: the imported values, in order.
std::vector<Ref> import_from(Borrowed globals, const char* module,
                             std::initializer_list<const char*> names) {
  Ref from = new_list();
  for (const char* name : names) list_append(from, str(name));
  Ref imported = Ref::steal(PyImport_ImportModuleLevel(module, globals, nullptr, from.get(), 0));
  std::vector<Ref> values;
  for (const char* name : names) {
    Ref value = Ref::steal_or_null(PyObject_GetAttrString(imported.get(), name));
    if (!value) {
      PyError error;
      Handling handling(error);
      raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    values.push_back(std::move(value));
  }
  return values;
}

}  // namespace

void Module::from_import(const char* module, std::initializer_list<const char*> names) const {
  std::vector<Ref> values = import_from(dict(), module, names);
  std::size_t i = 0;
  for (const char* name : names) add(name, values[i++]);
}

void Module::from_import_as(const char* module, const char* name, const char* alias) const {
  add(alias, import_from(dict(), module, {name})[0]);
}

void Module::keep(Name name, Borrowed value) const { values().set_item(name, value); }

Ref Module::def(const Def& d) const {
  Ref f = make_function(d, *this, d.name);
  add(d.name, f);
  return f;
}

ClassBuilder Module::cls(const char* name) const { return ClassBuilder(*this, name); }

ModuleFrame::ModuleFrame(const char* name, const char* doc, ModuleBody body, CreateSlot create,
                         ExecSlot exec)
    : name_(name), body_(body) {
  slots_[0] = {Py_mod_create, reinterpret_cast<void*>(create)};
  slots_[1] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
  slots_[2] = {0, nullptr};
  def_ = {PyModuleDef_HEAD_INIT,
          name,
          doc,
          sizeof(ModuleState),
          nullptr,
          slots_,
          module_state_traverse,
          module_state_clear,
          nullptr};
}

PyObject* ModuleFrame::init() {
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) == 2 &&
      (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION)) {
    if (PyErr_WarnFormat(
            nullptr, 1,
            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
            PY_MAJOR_VERSION, PY_MINOR_VERSION, name_, "does not match", major, minor) < 0)
      return nullptr;
  }
  return PyModuleDef_Init(&def_);
}

PyObject* ModuleFrame::create(PyObject* spec) {
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter_ == -1) {
    interpreter_ = current;
  } else if (interpreter_ != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (module_ != nullptr) return Py_NewRef(module_);
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  return module;
}

int ModuleFrame::exec(PyObject* module) {
  if (executed_) {
    if (module == module_) {
      // Imported again (after `del sys.modules[...]`): the interpreter gave
      // the same module object a fresh, empty state, losing the first one.
      // The module keeps its values; the first state block is freed.
      auto* fresh = static_cast<ModuleState*>(PyModule_GetState(module));
      if (fresh != state_ && state_ != nullptr) {
        fresh->values = std::exchange(state_->values, nullptr);
        PyMem_Free(std::exchange(state_, fresh));
      }
      return 0;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 name_);
    return -1;
  }
  executed_ = true;
  module_ = Py_NewRef(module);
  int status = boundary_status([&] {
    ensure_runtime();
    state_ = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state_->values == nullptr) state_->values = new_dict().release();
    Module m(module, state_);
    body_(m);
  });
  if (status < 0) {
    executed_ = false;  // a failed import may be tried again
    state_ = nullptr;
    Py_CLEAR(module_);
  }
  return status;
}

}  // namespace rt
