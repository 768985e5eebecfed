// What the package's queued objects (the queued logger and the queued chat
// sender) share. Each hands its entries to a producer coroutine scheduled on
// the running loop, which puts them on the object's queue for its worker
// task. So that nothing handed over is lost, each object keeps beside it (in
// the package's exit registry, rt::exit_registry) a state dict:
//
//   "finish"    the class's finisher, which the package's exit hook calls
//   "pending"   {producer: its coroutine}: the producers scheduled whose
//               entry (their arguments after `self`) is not queued yet, in
//               call order; a producer is named by the address of its call
//   "loop"      the loop of the latest producer scheduled
//   "foreign"   {producer: loop}: the pending producers of other loops
//   "taken"     {producer: weak reference to its coroutine}: producers
//               whose entry was handled without them; they queue nothing
//   "takes"     how many entries were handled without their producer
//   "skip"      [entry]: entries a producer queued after they had been
//               handled; the worker takes them off without handling them
//   "worker"    the latest worker task, and "worker_loop" its loop
//   "retired"   [task]: workers replaced while pending
//   "in_flight" (entry, queue) the worker is handling, or None
//   "finished"  how many queued entries were handled (task_done)
//   "waiters"   [future]: flushes waiting for progress
//
// Loops and the worker are held by weak references ("loop", "worker",
// "worker_loop"), so that a logger abandoned with its loop is collected; an
// entry that is pending holds its producer, and so the object.
//
// The worker, when cancelled (its loop ending), handles what is still queued,
// then what is still pending; the exit hook does the same for objects whose
// loop never ran again; a producer that starts on a new loop queues the
// pending entries of loops that ended before its own.
#pragma once

#include "internals.hpp"
#include "rt.hpp"

namespace queue_worker {

using namespace rt::literals;
using rt::Borrowed;
using rt::PyError;
using rt::Ref;

// loop.call_exception_handler({"message": message, "exception": error}) on
// the running loop, asyncio as the module's namespace has it; with no loop
// running (at exit), the error is reported as unraisable.
inline void report_failure(const rt::Call& call, const char* message, const PyError& error) {
  Ref loop = call.global("asyncio"_n).method("_get_running_loop"_n);
  if (loop.is_none()) {
    PyError(error.value().ref()).restore();
    PyErr_WriteUnraisable(rt::str(message).get());
    return;
  }
  Ref context = rt::new_dict();
  context.set_item("message"_n, rt::str(message));
  context.set_item("exception"_n, error.value());
  loop.method("call_exception_handler"_n, context);
}

// --------------------------------------------------------------- the state

inline Ref weak(Borrowed object) { return Ref::steal(PyWeakref_NewRef(object, nullptr)); }

inline void del_item(Borrowed dict, Borrowed key) { rt::check(PyDict_DelItem(dict, key)); }

// Drops the items of `dict` whose key (or value, when `values`) is a weak
// reference to an object that died.
inline void drop_dead(Borrowed dict, bool values = false) {
  Ref dead = rt::new_list();
  for (auto [key, value] : rt::dict_items(dict))
    if (PyWeakref_GetObject(values ? value : key) == Py_None) rt::list_append(dead, key);
  for (const Ref& key : rt::Iterate(dead)) del_item(dict, key);
}

// The state of `self`, made on first use with the module's finisher (kept
// as "finish_at_exit"). Borrowed from the registry, which keeps it while
// `self` lives.
inline Borrowed state_of(const rt::Call& call, Borrowed self) {
  Borrowed registry = rt::exit_registry();
  Ref key = weak(self);
  if (PyObject* found = PyDict_GetItemWithError(registry, key.get())) return found;
  if (PyErr_Occurred()) rt::throw_error();
  drop_dead(registry);  // the states of objects that died
  Ref state = rt::new_dict();
  state.set_item("finish"_n, call.state("finish_at_exit"_n));
  for (rt::Name list : {"skip"_n, "retired"_n, "waiters"_n}) state.set_item(list, rt::new_list());
  for (rt::Name dict : {"pending"_n, "foreign"_n, "taken"_n}) state.set_item(dict, rt::new_dict());
  for (rt::Name none : {"loop"_n, "worker"_n, "worker_loop"_n, "in_flight"_n})
    state.set_item(none, Py_None);
  for (rt::Name count : {"takes"_n, "finished"_n}) state.set_item(count, rt::integer(0));
  registry.set_item(key, state);
  return PyDict_GetItem(registry, key.get());
}

inline Borrowed field(Borrowed state, rt::Name name) {
  return PyDict_GetItemWithError(state, name.get());
}

// What a field holding a weak reference points to; None if it died, or
// when the field holds None.
inline Borrowed referent(Borrowed ref) {
  return ref.is_none() ? ref : Borrowed(PyWeakref_GetObject(ref));
}
inline Borrowed referent(Borrowed state, rt::Name name) { return referent(field(state, name)); }

inline Py_ssize_t as_size(Borrowed number) {
  Py_ssize_t value = PyLong_AsSsize_t(number);
  if (value == -1 && PyErr_Occurred()) rt::throw_error();
  return value;
}

inline Py_ssize_t count(Borrowed state, rt::Name name) { return as_size(field(state, name)); }

inline bool queue_full(Borrowed self) { return self.attr("log_queue"_n).method("full"_n).truthy(); }

inline void add(Borrowed state, rt::Name name, Py_ssize_t delta) {
  state.set_item(name, Ref::steal(PyLong_FromSsize_t(count(state, name) + delta)));
}

// A task that can never run again, whose work is done by others: its
// coroutine is closed and the task is not reported when collected. (Should
// its loop run after all, the task ends with the error of a closed
// coroutine, which nobody reads.)
inline void silence(Borrowed task) {
  task.method("get_coro"_n).method("close"_n);
  task.set_attr("_log_destroy_pending"_n, Py_False);
}

// The name of a producer in "pending" and "taken": the address of the call
// of its native coroutine, which the body reaches as its own.
inline Ref producer_key(const rt::Call& call) {
  return Ref::steal(PyLong_FromVoidPtr(const_cast<rt::Call*>(&call)));
}

// A producer's entry: its arguments after `self`, as the tuple it queues.
inline Ref entry_of(const rt::Call& producer) {
  Ref entry = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(producer.size()) - 1));
  for (std::size_t i = 1; i < producer.size(); ++i)
    PyTuple_SET_ITEM(entry.get(), static_cast<Py_ssize_t>(i) - 1, producer[i].ref().release());
  return entry;
}

// The loop of a pending producer (None if that loop is gone).
inline Borrowed loop_of(Borrowed state, Borrowed key) {
  Borrowed foreign = field(state, "foreign"_n);
  if (PyDict_GET_SIZE(foreign.get()) != 0)
    if (PyObject* loop = PyDict_GetItemWithError(foreign, key)) return loop;
  return referent(state, "loop"_n);
}

// Takes a producer out of "pending" (and "foreign").
inline void unpend(Borrowed state, Borrowed key) {
  del_item(field(state, "pending"_n), key);
  Borrowed foreign = field(state, "foreign"_n);
  if (PyDict_GET_SIZE(foreign.get()) != 0 && PyDict_Contains(foreign, key)) del_item(foreign, key);
}

// Producers whose entries others took: they will queue nothing; counted in
// "takes", which tells a producer whether what it holds is still pending.
// Those whose loop does not run can never do anything: their tasks are
// silenced.
inline void mark_taken(const rt::Call& call, Borrowed state, Borrowed keys) {
  Borrowed pending = field(state, "pending"_n);
  Borrowed taken = field(state, "taken"_n);
  drop_dead(taken, true);
  Ref loops = Ref::steal(PySet_New(nullptr));
  Ref producers = Ref::steal(PySet_New(nullptr));
  for (const Ref& key : rt::Iterate(keys)) {
    Borrowed producer = PyDict_GetItemWithError(pending, key.get());
    taken.set_item(key, weak(producer));
    if (Borrowed loop = loop_of(state, key);
        !loop.is_none() && !loop.method("is_running"_n).truthy()) {
      rt::check(PySet_Add(loops.get(), loop));
      rt::check(PySet_Add(producers.get(), producer));
    }
  }
  add(state, "takes"_n, PyList_GET_SIZE(keys.get()));
  Ref all_tasks = call.global("asyncio"_n).attr("all_tasks"_n);
  for (const Ref& loop : rt::Iterate(loops))
    for (const Ref& task : rt::Iterate(all_tasks(loop)))
      if (producers.contains(task.method("get_coro"_n))) silence(task);
}

// Wakes every flush waiting for progress.
inline void notify(Borrowed state) {
  Borrowed waiters = field(state, "waiters"_n);
  if (PyList_GET_SIZE(waiters.get()) == 0) return;
  Ref woken = Ref::steal(PyList_GetSlice(waiters, 0, PY_SSIZE_T_MAX));
  rt::check(PyList_SetSlice(waiters, 0, PY_SSIZE_T_MAX, nullptr));
  for (const Ref& future : rt::Iterate(woken))
    if (!future.method("done"_n).truthy()) future.method("set_result"_n, Py_None);
}

// An awaitable that completes at the next progress of the object.
inline Ref progress(Borrowed state, Borrowed loop) {
  Ref future = loop.method("create_future"_n);
  rt::list_append(field(state, "waiters"_n), future);
  return future;
}

// `queue.task_done()`, counted.
inline void done(Borrowed queue, Borrowed state) {
  queue.method("task_done"_n);
  add(state, "finished"_n, 1);
  notify(state);
}

// ------------------------------------------------------------ the producers

// Called by the public method that schedules `producer` on `loop`. A
// producer that is not the class's own native coroutine is left alone.
inline void schedule(Borrowed state, Borrowed producer, Borrowed loop) {
  if (!producer.is_exactly(rt::coroutine_type())) return;
  Borrowed pending = field(state, "pending"_n);
  if (Borrowed latest = referent(state, "loop"_n); !latest.is(loop)) {
    // The producers pending so far are of the loop before, or foreign already.
    Borrowed foreign = field(state, "foreign"_n);
    for (auto [key, coroutine] : rt::dict_items(pending))
      if (!foreign.contains(key)) foreign.set_item(key, latest);
    state.set_item("loop"_n, weak(loop));
  }
  pending.set_item(producer_key(rt::call_of(producer)), producer);
}

// The entries that a producer starting now queues, in order: the pending
// entries of loops that ended before its own (their producers, if they ever
// start, queue nothing), then its own entry, unless that was handled
// without it. A flush queues only the former. Holds no reference of its own:
// the producers it points to are pending (as long as "takes" has not
// changed) or kept by the call.
class Claimed {
 public:
  // The next entry to queue; false when there is none left.
  bool next(Borrowed state) {
    while (++index_ <= count_) {
      if (index_ < count_) {
        producer_ = PyDict_GetItemWithError(field(state, "pending"_n), key().get());
        if (producer_) return true;
      } else {
        return own_ != Own::none && refresh(state);
      }
    }
    return false;
  }
  // After an await: whether the entry is still the producer's to queue.
  bool refresh(Borrowed state) {
    if (!scheduled()) return true;
    if (Py_ssize_t takes = count(state, "takes"_n); takes != takes_) {
      takes_ = takes;
      producer_ = PyDict_GetItemWithError(field(state, "pending"_n), key().get());
      if (!producer_ && index_ == count_) own_ = Own::none;
    }
    return index_ < count_ ? static_cast<bool>(producer_) : own_ != Own::none;
  }
  // An argument of the entry's producer (1 is the first after `self`).
  Borrowed arg(std::size_t i) const { return call()[i]; }
  // The entry to put. A put on a full queue waits, and meanwhile a flush may
  // take the entry from "pending": the call keeps it then, to skip the copy.
  Ref to_put(bool full) {
    Ref entry = entry_of(call());
    if (full) entry_ = call_->keep(entry);
    return entry;
  }
  // The entry is on the queue; if it was handled meanwhile, the worker skips it.
  void queued(Borrowed state) {
    if (scheduled()) {
      if (refresh(state))
        unpend(state, key());
      else if (entry_)
        rt::list_append(field(state, "skip"_n), entry_);
    }
    entry_ = nullptr;
    notify(state);
  }
  // The entry was dropped (as a full queue lets the logger do).
  void dropped(Borrowed state) {
    if (scheduled() && refresh(state)) unpend(state, key());
    notify(state);
  }

  friend Claimed claim_ended(rt::Call&, Borrowed, Borrowed);
  template <class RunningLoop>
  friend Claimed claim(rt::Call&, Borrowed, RunningLoop);

 private:
  enum class Own : char { none, scheduled, unscheduled };

  explicit Claimed(rt::Call& call) : call_(&call) {}

  bool scheduled() const { return index_ < count_ || own_ == Own::scheduled; }
  Ref key() const {
    return index_ < count_ ? Ref::borrow(PyList_GET_ITEM(ended_.get(), index_))
                           : producer_key(*call_);
  }
  const rt::Call& call() const { return index_ < count_ ? rt::call_of(producer_) : *call_; }

  // Keys of the pending producers of loops that are not running, in call
  // order, up to the producer's own (all of them for a flush); kept by the
  // call.
  void take_ended(Borrowed state, Borrowed loop) {
    if (PyDict_GET_SIZE(field(state, "foreign"_n).get()) != 0 ||
        !referent(state, "loop"_n).is(loop)) {
      Ref ended = rt::new_list();
      for (auto [key, coroutine] : rt::dict_items(field(state, "pending"_n))) {
        if (own_ != Own::none && PyLong_AsVoidPtr(key) == call_) break;
        Borrowed entry_loop = loop_of(state, key);
        if (entry_loop.is(loop) ||
            (!entry_loop.is_none() && entry_loop.method("is_running"_n).truthy()))
          continue;
        rt::list_append(ended, key);
      }
      if (PyList_GET_SIZE(ended.get()) != 0) {
        mark_taken(*call_, state, ended);
        count_ = PyList_GET_SIZE(ended.get());
        ended_ = call_->keep(std::move(ended));
      }
    }
    takes_ = count(state, "takes"_n);
  }

  rt::Call* call_;
  Borrowed ended_;
  Borrowed producer_;  // of the entry of `ended_` being queued
  Borrowed entry_;     // kept while a put waits
  Py_ssize_t count_ = 0;
  Py_ssize_t index_ = -1;
  Py_ssize_t takes_ = 0;
  Own own_ = Own::none;
};

// What the producer whose body runs with `call` queues; `running_loop` gives
// the running loop when nobody scheduled it.
template <class RunningLoop>
Claimed claim(rt::Call& call, Borrowed state, RunningLoop running_loop) {
  Claimed claimed(call);
  Ref key = producer_key(call);
  if (PyDict_Contains(field(state, "pending"_n), key.get())) {
    claimed.own_ = Claimed::Own::scheduled;
    claimed.take_ended(state, loop_of(state, key));
    return claimed;
  }
  Borrowed taken = field(state, "taken"_n);
  if (PyDict_GET_SIZE(taken.get()) != 0) {
    if (Ref ref = taken.dict_get(key, nullptr)) {
      del_item(taken, key);
      Borrowed producer = PyWeakref_GetObject(ref.get());
      if (producer.is_exactly(rt::coroutine_type()) && &rt::call_of(producer) == &call)
        return claimed;  // handled without it: nothing to queue
    }
  }
  claimed.own_ = Claimed::Own::unscheduled;
  claimed.take_ended(state, running_loop());
  return claimed;
}

// What a flush on `loop` queues: the pending entries of loops that ended.
inline Claimed claim_ended(rt::Call& call, Borrowed state, Borrowed loop) {
  Claimed claimed(call);
  claimed.take_ended(state, loop);
  return claimed;
}

// --------------------------------------------------------------- the worker

// Whether `entry`, just taken off the queue, is a copy to skip.
inline bool skipped(Borrowed state, Borrowed entry) {
  Borrowed skip = field(state, "skip"_n);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(skip.get()); ++i) {
    if (PyList_GET_ITEM(skip.get(), i) == entry.get()) {
      rt::check(PySequence_DelItem(skip, i));
      return true;
    }
  }
  return false;
}

// What is left to handle: the queued entries (the first `queued` of
// `entries`, each to be marked done once handled), then the pending ones, in
// call order. All of them are the taker's from now on.
struct Left {
  Ref entries = rt::new_list();
  Py_ssize_t queued = 0;
};

inline Left take_left(const rt::Call& call, Borrowed self, Borrowed state) {
  Left left;
  Ref queue = self.attr("log_queue"_n);
  while (!queue.method("empty"_n).truthy()) {
    Ref entry = queue.method("get_nowait"_n);
    if (skipped(state, entry)) {
      done(queue, state);
      continue;
    }
    rt::list_append(left.entries, entry);
    ++left.queued;
  }
  Borrowed pending = field(state, "pending"_n);
  Ref keys = Ref::steal(PyDict_Keys(pending));
  for (auto [key, producer] : rt::dict_items(pending))
    rt::list_append(left.entries, entry_of(rt::call_of(producer)));
  mark_taken(call, state, keys);
  PyDict_Clear(pending);
  PyDict_Clear(field(state, "foreign"_n));
  notify(state);
  return left;
}

inline bool nothing_left(Borrowed self, Borrowed state) {
  return PyDict_GET_SIZE(field(state, "pending"_n).get()) == 0 &&
         self.attr("log_queue"_n).method("empty"_n).truthy() &&
         field(state, "in_flight"_n).is_none();
}

// ------------------------------------------------------------- the workers

// The object's latest worker task, or an empty Ref (none, or collected).
inline Ref worker(Borrowed state) {
  Borrowed task = referent(state, "worker"_n);
  return task.is_none() ? Ref() : task.ref();
}

inline void started(Borrowed state, Borrowed task) {
  state.set_item("worker"_n, weak(task));
  state.set_item("worker_loop"_n, weak(task.method("get_loop"_n)));
}

// Whether a worker can never run again: its loop is closed (or gone), or
// this thread runs another loop while nobody runs the worker's. Then it is
// replaced: silenced at once if its loop is closed, else cancelled and kept
// among the retired (its loop may still run it).
inline bool stranded(Borrowed asyncio, Borrowed state, Borrowed worker, Borrowed worker_loop) {
  if (worker_loop.is_none() || worker_loop.method("is_closed"_n).truthy()) {
    if (worker && !worker.method("done"_n).truthy()) silence(worker);
    return true;
  }
  Ref running = asyncio.method("_get_running_loop"_n);
  if (running.is_none() || running.is(worker_loop) || worker_loop.method("is_running"_n).truthy())
    return false;
  worker.method("cancel"_n);
  Ref live = rt::new_list();
  for (const Ref& task : rt::Iterate(field(state, "retired"_n)))
    if (!task.method("done"_n).truthy()) rt::list_append(live, task);
  rt::list_append(live, worker);
  state.set_item("retired"_n, live);
  return true;
}

// Before a worker starts on `loop`: a queue that has waited on another loop
// refuses this one, so its entries move, in order, to a new queue of the
// same size.
inline void renew_queue(const rt::Call& call, Borrowed self, Borrowed loop) {
  Ref old = self.attr("log_queue"_n);
  PyObject* found = nullptr;  // asyncio.Queue's _loop: the loop it has waited on, if any
  rt::check(_PyObject_LookupAttr(old.get(), "_loop"_n.get(), &found));
  Ref bound = Ref::steal_or_null(found);
  if (!bound || bound.is_none() || bound.is(loop)) return;
  Ref renewed = call.global("asyncio"_n).attr("Queue"_n)(old.attr("maxsize"_n));
  while (!old.method("empty"_n).truthy())
    renewed.method("put_nowait"_n, old.method("get_nowait"_n));
  self.set_attr("log_queue"_n, renewed);
}

// At exit: whether the hook leaves the object alone, as it has no queue (a
// method was called on something else), or a worker of the object still runs
// on the loop of another thread, so that the queue is not this thread's.
inline bool left_alone(Borrowed self, Borrowed state) {
  if (!self.has_attr("log_queue"_n)) return true;
  Ref task = worker(state);
  return task && !task.method("done"_n).truthy() &&
         task.method("get_loop"_n).method("is_running"_n).truthy();
}

// At exit, once the hook has done their work: the object's workers left
// pending on loops that do not run are silenced.
inline void close_at_exit(Borrowed state) {
  Ref tasks = Ref::steal(PySequence_List(field(state, "retired"_n)));
  rt::list_append(tasks, referent(state, "worker"_n));
  for (const Ref& task : rt::Iterate(tasks))
    if (!task.is_none() && !task.method("done"_n).truthy() &&
        !task.method("get_loop"_n).method("is_running"_n).truthy())
      silence(task);
}

}  // namespace queue_worker
