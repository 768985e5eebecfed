#include "internals.hpp"

#include <memory>

namespace rt {

namespace {

// The capsule's name, which is also its key in the interpreter's state
// dictionary. It names the layout of Internals and of the objects of the
// shared types: a module built differently never shares with this one.
#define RT_STRINGIFY(x) #x
#define RT_VERSION(x) RT_STRINGIFY(x)
#if defined(__clang__)
#define RT_COMPILER "clang"
#elif defined(__GNUC__)
#define RT_COMPILER "gcc"
#else
#define RT_COMPILER "unknown"
#endif
constexpr const char* capsule_name = "vesprand_python_configuration.runtime.v3." RT_COMPILER
                                     ".cxxabi" RT_VERSION(_GLIBCXX_USE_CXX11_ABI);

long* own_live_refs() {
  static thread_local long count = 0;
  return &count;
}

void release_internals(PyObject* capsule) {
  auto* made = static_cast<Internals*>(PyCapsule_GetPointer(capsule, capsule_name));
  if (made == nullptr) return PyErr_Clear();
  // The coroutine types are static, the function type is the capsule's.
  Py_XDECREF(reinterpret_cast<PyObject*>(made->function_type));
  Py_XDECREF(made->exit_registry);
  delete made;
}

// The internals a capsule holds.
Internals* held_by(Borrowed capsule) {
  auto* held = static_cast<Internals*>(PyCapsule_GetPointer(capsule, capsule_name));
  if (held == nullptr) throw_error();
  return held;
}

// The exit hook: each live object of the registry, in the order added, is
// finished by its state's "finish".
PyObject* finish_at_exit(PyObject*, PyObject*) {
  return boundary([] {
    Borrowed registry = internals_->exit_registry;
    Ref items = Ref::steal(PyDict_Items(registry));
    for (const Ref& item : Iterate(items)) {
      auto [ref, state] = unpack<2>(item);
      Ref object = Ref::borrow(PyWeakref_GetObject(ref.get()));
      if (object.is_none()) continue;
      Ref finish = state.dict_get("finish"_n);
      if (!guarded([&] { finish(object); })) PyErr_WriteUnraisable(finish.get());
    }
    return none();
  });
}

PyMethodDef exit_hook = {"finish_queued_work", finish_at_exit, METH_NOARGS,
                         "Finishes what the package's queued objects still hold."};

}  // namespace

Borrowed exit_registry() {
  Internals& shared = *internals_;
  if (shared.exit_registry != nullptr) return shared.exit_registry;
  Ref registry = new_dict();
  Ref hook = Ref::steal(PyCFunction_New(&exit_hook, nullptr));
  Ref::steal(PyImport_ImportModule("atexit")).method("register"_n, hook);
  shared.exit_registry = registry.release();
  return shared.exit_registry;
}

#ifdef RT_CHECK_SUSPENSIONS
long& live_refs() {
  static thread_local long* shared = nullptr;
  if (shared != nullptr) return *shared;
  if (internals_ == nullptr) return *own_live_refs();  // this module's set-up, before sharing
  shared = internals_->live_refs();
  return *shared;
}
#endif

void ensure_runtime() {
  if (internals_ != nullptr) return;
  Borrowed states = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!states) raise(PyExc_SystemError, "the interpreter has no state dictionary");
  Ref key = str(capsule_name);
  if (Ref found = states.dict_get(key, nullptr)) {
    internals_ = held_by(found);
    return;
  }
  auto made = std::make_unique<Internals>();
  made->live_refs = own_live_refs;
  // Owned by the capsule from here on, also when a type fails below.
  Ref capsule = Ref::steal(PyCapsule_New(made.get(), capsule_name, release_internals));
  Internals& internals = *made.release();
  internals.function_type = reinterpret_cast<PyTypeObject*>(make_function_type().release());
  make_coroutine_types(internals);
  // Making the types may have let another thread run the exec step of
  // another module meanwhile: the first internals published are the ones.
  PyObject* published = PyDict_SetDefault(states, key.get(), capsule.get());
  if (published == nullptr) throw_error();
  internals_ = held_by(published);
}

}  // namespace rt
