// The native runtime shared by the package's extension modules.
#pragma once

#include "async_context.hpp"
#include "context.hpp"
#include "coroutine.hpp"
#include "error.hpp"
#include "function.hpp"
#include "klass.hpp"
#include "module.hpp"
#include "ref.hpp"
