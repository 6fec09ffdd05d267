#include "guard.hpp"

// The module whose failures this reports; each module that links the guard
// names itself.
#ifndef QUORLIN_MODULE_NAME
#define QUORLIN_MODULE_NAME "_quorlin_core"
#endif

namespace quorlin::py {
namespace {

OnceObject g_invariant_error;

}  // namespace

void raise_invariant_failure(const char* what) noexcept {
    PyObject* type = g_invariant_error.get([] {
        return PyErr_NewExceptionWithDoc(QUORLIN_MODULE_NAME ".InvariantError",
                                         "An internal invariant of " QUORLIN_MODULE_NAME " failed.", PyExc_BaseException,
                                         nullptr);
    });
    if (type != nullptr) {
        PyErr_SetString(type, what);
    }
}

}  // namespace quorlin::py
