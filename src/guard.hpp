#pragma once
// Turns C++ failures inside a call into Python exceptions, so that no C++
// exception ever reaches the interpreter.

#include <exception>
#include <new>

#include "once.hpp"
#include "pyref.hpp"

namespace quorlin::py {

// Raises the internal invariant failure: an exception class derived directly
// from BaseException, so that a plain `except Exception` does not swallow it,
// carrying `what` as its message. Created on first use.
void raise_invariant_failure(const char* what) noexcept;

// Runs `body` (which returns a new reference, or null with a Python error
// set), turning any C++ exception into a Python one: exhausted memory into
// MemoryError, anything else into the invariant failure. The unwinding of a
// thread that the finalizing interpreter ends passes through.
template <class Body>
PyObject* guarded(Body body) {
    try {
        return body();
    }
#if defined(QUORLIN_HAS_FORCED_UNWIND)
    catch (const abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_invariant_failure(e.what());
    } catch (...) {
        raise_invariant_failure("unknown internal error");
    }
    return nullptr;
}

}  // namespace quorlin::py
