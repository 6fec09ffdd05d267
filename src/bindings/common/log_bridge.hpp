#pragma once
// The bridge from log records to Python's logging module.

#include "pyref.hpp"

namespace quorlin::py {

// Imports logging and installs the bridge as the process-wide sink. False
// with an exception set when logging cannot be imported, memory for the
// bridge is exhausted (MemoryError; nothing is installed then) or a sink is
// already installed.
bool install_log_bridge() noexcept;

// The method definition of reset_log_cache().
extern PyMethodDef g_reset_log_cache_def;

}  // namespace quorlin::py
