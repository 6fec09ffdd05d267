#pragma once
// A small RAII layer over the CPython C API: an owning handle for PyObject*,
// a scope guard, and the saving and restoring of a pending exception.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorlin::py {

// Owns one strong reference (or none).
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Runs a callable when the scope ends, unless dismissed.
template <class F>
class ScopeGuard {
public:
    explicit ScopeGuard(F f) noexcept : f_(std::move(f)) {}
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ~ScopeGuard() {
        if (active_) {
            f_();
        }
    }
    void dismiss() noexcept { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

// Takes the pending exception (normalised) out of the interpreter; null when
// none is pending.
inline PyRef take_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return {};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

// Makes `error` the pending exception (replacing any); does nothing for null.
inline void restore_error(PyRef error) noexcept {
    if (!error) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace quorlin::py
