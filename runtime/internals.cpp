#include "internals.hpp"

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

// The counters of the suspension check (debug builds) are in the static TLS
// block: dynamic TLS of a module loaded at run time is what the leak
// checker's scan of other threads trips over.
#define RT_STATIC_TLS __attribute__((tls_model("initial-exec")))

long* own_live_refs() {
  static thread_local long count RT_STATIC_TLS = 0;
  return &count;
}

// The internals this module's copy of the runtime makes when it is the
// first: static, so they outlive the interpreter's state dictionary (a
// daemon thread ended at exit still reads the exit flag) and are never freed.
Internals made;

// The interpreter's exit hook: from its atexit phase on, a daemon thread may
// be ended while it waits for the interpreter lock (see may_touch_python).
PyObject* mark_exiting(PyObject*, PyObject*) {
  made.exiting.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}
PyMethodDef mark_exiting_def = {"_mark_exiting", mark_exiting, METH_NOARGS, nullptr};

// Registers a function of this file with atexit.
void at_exit(PyMethodDef& def) {
  Ref hook = Ref::steal(PyCFunction_New(&def, nullptr));
  Ref::steal(PyImport_ImportModule("atexit")).method("register"_n, hook);
}

// The internals a capsule holds.
Internals* held_by(Borrowed capsule) {
  auto* held = static_cast<Internals*>(PyCapsule_GetPointer(capsule, capsule_name));
  if (held == nullptr) throw_error();
  return held;
}

void share(Internals* internals) {
  internals_ = internals;
  exiting = &internals->exiting;
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
  at_exit(exit_hook);
  shared.exit_registry = registry.release();
  return shared.exit_registry;
}

#ifdef RT_CHECK_SUSPENSIONS
long& live_refs() {
  static thread_local long* shared RT_STATIC_TLS = nullptr;
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
  if (Ref found = states.dict_get(key, nullptr)) return share(held_by(found));
  // Made once; a failed attempt is made again by the next import.
  if (made.function_type == nullptr) {
    made.live_refs = own_live_refs;
    made.function_type = reinterpret_cast<PyTypeObject*>(make_function_type().release());
  }
  make_coroutine_types(made);
  Ref capsule = Ref::steal(PyCapsule_New(&made, capsule_name, nullptr));
  // Making the types may have let another thread run the exec step of
  // another module meanwhile: the first internals published are the ones.
  PyObject* published = PyDict_SetDefault(states, key.get(), capsule.get());
  if (published == nullptr) throw_error();
  Internals* shared = held_by(published);
  if (shared == &made) at_exit(mark_exiting_def);
  share(shared);
}

}  // namespace rt
