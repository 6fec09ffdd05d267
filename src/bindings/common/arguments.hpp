#pragma once
// Argument binding with the interpreter's customary messages, and the number
// conversions shared by the constructors, the setters and the entry.

#include <cstdint>
#include <span>

#include "pyref.hpp"

namespace quorlin::py {

// Parameters of one callable: all positional-or-keyword, the first
// `required` of them mandatory.
struct Signature {
    const char* function_name;  // as shown in messages, e.g. "Element.__new__()"
    std::span<const char* const> names;
    std::size_t required;
};

// Binds vectorcall arguments into out[0..names.size()) as borrowed references
// (null where absent). On a binding error raises TypeError and returns false.
// Building some messages allocates, so both may throw std::bad_alloc: their
// callers run guarded (guard.hpp).
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// The same for a tuple of positional arguments and an optional dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The conversions below may run Python code (__float__, __index__, __str__)
// and so are not noexcept: a thread that a finalizing interpreter ends inside
// them must be unwound through them (see pyref.hpp).

// If the pending exception is exactly a TypeError, replaces it with a
// TypeError whose message is "argument '<name>': " followed by the old
// message, keeping the old error's cause. Other errors are left as they are.
void prefix_type_error(const char* name);

// Raises TypeError "'<qualified type name of obj>' object is not an instance of '<expected>'".
void raise_not_instance(PyObject* obj, const char* expected) noexcept;

// Converts to a 32-bit float: an exact float is read directly, anything else
// goes through the interpreter's float conversion. False with an error set.
bool to_f32(PyObject* obj, float* out);

// Converts to an unsigned 64-bit integer: an int directly, anything else
// through __index__. OverflowError outside the range. False with an error set.
bool to_u64(PyObject* obj, std::uint64_t* out);

}  // namespace quorlin::py
