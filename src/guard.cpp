#include "guard.hpp"

namespace quorlin::py {
namespace {

OnceObject g_invariant_error;

}  // namespace

void raise_invariant_failure(const char* what) noexcept {
    PyObject* type = g_invariant_error.get([] {
        return PyErr_NewExceptionWithDoc("_quorlin_core.InvariantError",
                                         "An internal invariant of _quorlin_core failed.", PyExc_BaseException,
                                         nullptr);
    });
    if (type != nullptr) {
        PyErr_SetString(type, what);
    }
}

}  // namespace quorlin::py
