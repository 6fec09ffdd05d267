#pragma once
// The bridge from log records to Python's logging module.

#include <cstdint>

#include "pyref.hpp"

namespace quorlin::py {

// Which records of this module's engine copy the bridge sees.
enum class LogReach : std::uint8_t {
    // Every record at a level Python's loggers enable: the copy's global
    // level is raised to debug at installation.
    EveryCall,
    // Only the records of a thread inside a quorlin::log::ThreadScope: the
    // copy's global level stays off, and a module opens a scope around each
    // call it decides to log.
    ScopedCalls,
};

// Imports logging and installs the bridge as the process-wide sink of this
// module's engine copy. False with an exception set when logging cannot be
// imported, memory for the bridge is exhausted (MemoryError; nothing is
// installed then) or a sink is already installed; with ScopedCalls, a bridge
// this copy installed before (a module imported again) is kept and true
// returned.
bool install_log_bridge(LogReach reach) noexcept;

// reset_log_cache() of a module (METH_NOARGS): empties the bridge's cache of
// the levels Python enables, so that the next records look again.
PyObject* reset_log_cache(PyObject* self, PyObject* unused);

}  // namespace quorlin::py
