// The runtime's shared state: one set per interpreter, shared by every module
// of the package. Each module links its own copy of the runtime's code; the
// first module imported makes the runtime's types and publishes them in a
// capsule of the interpreter's state dictionary, and every later module finds
// them there. So a native function of one module has the same type as one of
// another, a coroutine of one module is recognised by all, and `isinstance`
// holds across modules.
#pragma once

#include <atomic>

#include "error.hpp"

namespace rt {

struct Internals {
  PyTypeObject* function_type;  // owned
  // Static types of the module that made the internals:
  PyTypeObject* coroutine_type;
  PyTypeObject* generator_type;
  PyTypeObject* await_type;  // the iterator a native coroutine's __await__ returns
  // The suspension check's reference counter of the calling thread (used by
  // debug builds only; present in all so that the layout never differs).
  long* (*live_refs)();
  // Set by the interpreter's atexit phase (see may_touch_python).
  std::atomic<bool> exiting{false};
  // The objects the package's exit hook finishes (exit_registry()): a dict,
  // made with the hook on first use; null until then.
  PyObject* exit_registry = nullptr;
};

// The interpreter's internals, as this module's copy of the runtime found or
// made them; null until the module's exec step has run ensure_runtime. Each
// module keeps this pointer of its own; what it points to is shared.
inline Internals* internals_ = nullptr;

inline const Internals& internals() { return *internals_; }

// Finds the interpreter's internals, or makes them when this is the first
// module of the package to be imported. Called by every module's exec step,
// under the interpreter lock; a failed attempt leaves nothing behind and is
// repeated by the next import.
void ensure_runtime();

// The objects whose leftover work the package finishes when the interpreter
// exits: a dict from an object's own weak reference (the one that
// PyWeakref_NewRef(object, nullptr) gives while the dict holds it) to the
// object's state, a dict whose "finish" item the package's exit hook calls
// with the object, once. One hook for the whole interpreter, registered with
// atexit by the first call: it runs once the main module has finished, before
// the interpreter finalises, and before every atexit handler registered
// earlier (atexit calls the last registered first), so a module asks for the
// registry only after importing logging, whose shutdown must come after the
// hook. Objects that died are skipped; an exception of one finisher is
// reported as unraisable and the next object is finished.
Borrowed exit_registry();

// The makers of the shared types, called once per interpreter.
Ref make_function_type();
void make_coroutine_types(Internals& internals);

}  // namespace rt
