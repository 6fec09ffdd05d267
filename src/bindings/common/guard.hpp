#pragma once
// Turns C++ failures inside a call into Python exceptions, so that no C++
// exception ever reaches the interpreter.

#include <exception>
#include <new>
#include <type_traits>

#include "once.hpp"
#include "pyref.hpp"

namespace quorlin::py {

// Raises the internal invariant failure: an exception class derived directly
// from BaseException, so that a plain `except Exception` does not swallow it,
// carrying `what` as its message. Created on first use.
void raise_invariant_failure(const char* what) noexcept;

// Inside a catch handler: the C++ exception being handled as a Python one,
// exhausted memory as MemoryError, anything else as the invariant failure.
inline void raise_handled_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_invariant_failure(e.what());
    } catch (...) {
        raise_invariant_failure("unknown internal error");
    }
}

// Runs `body` (which returns a new reference, or null with a Python error
// set; or a status, 0 or -1 with a Python error set), turning any C++
// exception into a Python one: exhausted memory into MemoryError, anything
// else into the invariant failure. The unwinding of a thread that the
// finalizing interpreter ends passes through. Every function the interpreter
// calls that may allocate in C++ runs its whole body inside it.
template <class Body>
auto guarded(Body body) -> decltype(body()) {
    using Result = decltype(body());
    static_assert(std::is_same_v<Result, PyObject*> || std::is_same_v<Result, int>,
                  "a guarded body returns an object or a status");
    try {
        return body();
    }
#if defined(QUORLIN_HAS_FORCED_UNWIND)
    catch (const abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        raise_handled_exception();
    }
    if constexpr (std::is_same_v<Result, int>) {
        return -1;
    } else {
        return nullptr;
    }
}

}  // namespace quorlin::py
