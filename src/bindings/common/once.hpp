#pragma once
// One-time creation of a process-wide Python object. Concurrent first uses
// create it only once; a thread that waits for another thread's creation
// releases the interpreter lock while it waits, so the creating thread can
// run even when its creation lets other threads in.
//
// A creation that runs Python code (an import goes through
// builtins.__import__, which may be replaced) can reach the same object again
// on the creating thread. That nested use cannot wait for the lock its own
// thread holds; it creates the object itself, and whichever creation finishes
// first is kept.

#include <atomic>
#include <mutex>
#include <thread>

#include "pyref.hpp"

namespace quorlin::py {

class OnceObject {
public:
    // Returns the object (borrowed, kept for the process lifetime), creating
    // it with `create` (which returns a new reference or null with an error
    // set) on first use.
    template <class Create>
    PyObject* get(Create create) {
        if (PyObject* value = value_.load(std::memory_order_acquire)) {
            return value;
        }
        if (creator_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            return publish(create());  // nested use during this thread's own creation
        }
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        std::lock_guard<std::mutex> lock(mutex_, std::adopt_lock);
        if (PyObject* value = value_.load(std::memory_order_acquire)) {
            return value;
        }
        creator_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        PyObject* created = create();
        creator_.store(std::thread::id(), std::memory_order_relaxed);
        return publish(created);
    }

private:
    // Keeps `created` unless a nested creation was kept first, in which case
    // `created` is dropped and the kept object returned. Null passes through.
    PyObject* publish(PyObject* created) {
        if (created == nullptr) {
            return nullptr;
        }
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, created, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return created;
        }
        Py_DECREF(created);
        return expected;
    }

    std::mutex mutex_;
    std::atomic<PyObject*> value_{nullptr};
    // The thread running `create`, so that a nested use on it is recognised.
    std::atomic<std::thread::id> creator_{};
};

}  // namespace quorlin::py
