#pragma once
// One-time creation of a process-wide Python object. Concurrent first uses
// create it only once; a thread that waits for another thread's creation
// releases the interpreter lock while it waits, so the creating thread can
// run even when its creation lets other threads in.

#include <atomic>
#include <mutex>

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
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        std::lock_guard<std::mutex> lock(mutex_, std::adopt_lock);
        if (PyObject* value = value_.load(std::memory_order_acquire)) {
            return value;
        }
        PyObject* value = create();
        if (value != nullptr) {
            value_.store(value, std::memory_order_release);
        }
        return value;
    }

private:
    std::mutex mutex_;
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace quorlin::py
