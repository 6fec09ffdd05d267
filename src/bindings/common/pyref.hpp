#pragma once
// A small RAII layer over the CPython C API: an owning handle for PyObject*,
// a scope guard, and the saving and restoring of a pending exception.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <unistd.h>

#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
// A finalizing interpreter (3.13 and earlier) ends each daemon thread that
// tries to take the interpreter lock back with pthread_exit, which unwinds the
// thread's C++ frames with this exception. It must be let through, never
// swallowed; a frame that cannot let it through (noexcept) parks the thread.
#define QUORLIN_HAS_FORCED_UNWIND 1
#endif

namespace quorlin::py {

inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Whether the calling thread holds the interpreter lock, read from the
// thread's own state. PyGILState_Check() cannot tell: once finalization has
// deleted its thread-specific key it answers yes on every thread.
inline bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // this thread's attached state
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();  // the state holding the lock
    return holder != nullptr && holder == PyGILState_GetThisThreadState();
#endif
}

// Whether a reference may be dropped now. It may not on a thread that a
// finalizing interpreter is ending while it does not hold the interpreter
// lock: dropping it there would free memory of a dying interpreter without
// the lock. Such a reference is left alone; the process is about to end.
inline bool can_drop_reference() noexcept {
    return !interpreter_finalizing() || holds_interpreter_lock();
}

// Parks the calling thread for the rest of the process (later interpreters
// do the same with threads they no longer run): used where a thread that the
// finalizing interpreter ends cannot be unwound further.
[[noreturn]] inline void park_thread() noexcept {
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    for (;;) {
        pause();
    }
}

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
    ~PyRef() {
        if (obj_ != nullptr && can_drop_reference()) {
            Py_DECREF(obj_);
        }
    }

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
