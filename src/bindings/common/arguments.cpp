#include "arguments.hpp"

#include <string>

#include "quorlin/engine/sorter.hpp"

namespace quorlin::py {
namespace {

// "from 2 to 3" or just "6" when every parameter is required.
std::string positional_count_text(const Signature& sig) {
    if (sig.required == sig.names.size()) {
        return std::to_string(sig.names.size());
    }
    return "from " + std::to_string(sig.required) + " to " + std::to_string(sig.names.size());
}

bool too_many_positional(const Signature& sig, Py_ssize_t nargs) {
    PyErr_Format(PyExc_TypeError, "%s takes %s positional arguments but %zd were given",
                 sig.function_name, positional_count_text(sig).c_str(), nargs);
    return false;
}

// Places one keyword argument; false with TypeError when it names no
// parameter or a parameter that already has a value.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.function_name);
        return false;
    }
    for (std::size_t i = 0; i < sig.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             sig.function_name, sig.names[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.function_name, key);
    return false;
}

// Reports the missing required parameters the way the interpreter does:
// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
bool check_missing(const Signature& sig, PyObject* const* out) {
    std::string names;
    std::size_t missing = 0;
    std::size_t total = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        total += out[i] == nullptr ? 1 : 0;
    }
    if (total == 0) {
        return true;
    }
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] != nullptr) {
            continue;
        }
        ++missing;
        if (missing > 1) {
            names += total == 2 ? " and " : (missing == total ? ", and " : ", ");
        }
        names += '\'';
        names += sig.names[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.function_name,
                 total, total == 1 ? "" : "s", names.c_str());
    return false;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    const Py_ssize_t npos = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(npos) > sig.names.size()) {
        return too_many_positional(sig, npos);
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        out[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[npos + k], out)) {
            return false;
        }
    }
    return check_missing(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(npos) > sig.names.size()) {
        return too_many_positional(sig, npos);
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        out[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, out)) {
                return false;
            }
        }
    }
    return check_missing(sig, out);
}

void prefix_type_error(const char* name) {
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr || pending != PyExc_TypeError) {
        return;
    }
    PyRef old = take_error();
    PyRef text = PyRef::steal(PyObject_Str(old.get()));
    if (!text) {
        return;  // the error raised by str() is pending instead
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        return;
    }
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        return;
    }
    if (PyObject* cause = PyException_GetCause(old.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    restore_error(std::move(replacement));
}

void raise_not_instance(PyObject* obj, const char* expected) noexcept {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool to_f32(PyObject* obj, float* out) {
    double value = 0.0;
    if (PyFloat_CheckExact(obj)) {
        value = PyFloat_AS_DOUBLE(obj);
    } else {
        value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return false;
        }
    }
    *out = quorlin::engine::round_to_single(value);
    return true;
}

bool to_u64(PyObject* obj, std::uint64_t* out) {
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = PyRef::steal(PyNumber_Index(obj));
        if (!index) {
            return false;
        }
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return false;
    }
    *out = value;
    return true;
}

}  // namespace quorlin::py
