// What the package's queue workers (the queued logger's and the queued chat
// sender's) share: an exception met while handling one entry goes to the
// running loop's exception handler, so the worker can go on with the next.
#pragma once

#include "rt.hpp"

namespace queue_worker {

using namespace rt::literals;

// loop.call_exception_handler({"message": message, "exception": error}) on
// the running loop, asyncio as the module's namespace has it.
inline void report_failure(const rt::Call& call, const char* message, const rt::PyError& error) {
  rt::Ref context = rt::new_dict();
  context.set_item("message"_n, rt::str(message));
  context.set_item("exception"_n, error.value());
  call.global("asyncio"_n).method("get_running_loop"_n).method("call_exception_handler"_n, context);
}

}  // namespace queue_worker
