// Forwards log records to Python's logging module. A cache keeps, per
// target, the Python logger object and the most verbose level it had enabled
// when first fetched, so that suppressed records are dropped without taking
// the interpreter lock or calling Python. reset_log_cache() empties it.

#include "log_bridge.hpp"

#include <new>
#include <string>

#include "cache_tree.hpp"
#include "guard.hpp"
#include "quorlin/engine/log.hpp"

namespace quorlin::py {
namespace {

using quorlin::log::Level;
using quorlin::log::LevelFilter;

// A strong reference that may be dropped by a thread without the
// interpreter lock (for instance the last reader of a replaced cache tree):
// it takes the lock for the decrement when needed.
class SharedRef {
public:
    explicit SharedRef(PyRef ref) noexcept : obj_(ref.release()) {}
    SharedRef(const SharedRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
    SharedRef& operator=(SharedRef other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~SharedRef() {
        if (obj_ == nullptr || Py_IsInitialized() == 0) {
            return;  // after finalisation the object is gone with the interpreter
        }
        if (holds_interpreter_lock()) {
            Py_DECREF(obj_);
            return;
        }
        if (interpreter_finalizing()) {
            return;  // taking the lock now would end this thread inside a destructor
        }
        const PyGILState_STATE state = PyGILState_Ensure();
        Py_DECREF(obj_);
        PyGILState_Release(state);
    }
    PyObject* get() const noexcept { return obj_; }

private:
    PyObject* obj_;
};

struct LoggerEntry {
    LevelFilter filter;
    SharedRef logger;
};

using Cache = CacheTree<LoggerEntry>;

int python_level(Level level) noexcept {
    switch (level) {
        case Level::Error:
            return 40;
        case Level::Warn:
            return 30;
        case Level::Info:
            return 20;
        case Level::Debug:
            return 10;
        case Level::Trace:
            return 5;
    }
    return 0;
}

// The Python logger name of a target: "a::b" becomes "a.b".
std::string logger_name(std::string_view target) {
    std::string name;
    name.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target.compare(i, 2, "::") == 0) {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

// Holds the interpreter lock for a scope, taking it only when the calling
// thread does not hold it already.
class GilScope {
public:
    GilScope() noexcept : state_(PyGILState_Ensure()) {}
    GilScope(const GilScope&) = delete;
    GilScope& operator=(const GilScope&) = delete;
    ~GilScope() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

class PythonBridge final : public quorlin::log::Sink {
public:
    // Allocates the empty cache: may throw std::bad_alloc.
    explicit PythonBridge(PyRef logging) : logging_(std::move(logging)) {}

    bool enabled(const quorlin::log::Metadata& metadata) const noexcept override {
        const Cache::NodePtr tree = cache_.current();
        return enabled_at(Cache::find(*tree, metadata.target), metadata.level);
    }

    void log(const quorlin::log::Record& record) noexcept override {
        Cache::NodePtr tree = cache_.current();
        const Cache::Node* node = Cache::find(*tree, record.metadata.target);
        if (!enabled_at(node, record.metadata.level)) {
            return;
        }
        GilScope gil;
        PyRef set_aside = take_error();
        try {
            forward(record, tree, node);
        }
#if defined(QUORLIN_HAS_FORCED_UNWIND)
        catch (const abi::__forced_unwind&) {
            // The finalizing interpreter is ending this daemon thread inside a
            // logging call; the unwinding cannot pass this noexcept sink.
            park_thread();
        }
#endif
        catch (...) {
            raise_handled_exception();
        }
        restore_error(std::move(set_aside));
        tree.reset();  // may release replaced loggers: done while holding the lock
    }

    void reset() {
        cache_.reset();
        quorlin::log::invalidate_enabled();
    }

private:
    // A cached filter can only silence; what it lets through is still
    // bounded by the bridge's own filter.
    bool enabled_at(const Cache::Node* node, Level level) const noexcept {
        if (node != nullptr && node->entry && !quorlin::log::passes(level, node->entry->filter)) {
            return false;
        }
        return quorlin::log::passes(level, own_filter_);
    }

    // Calls into logging; any Python error is left pending. `node` is the
    // target's node in `tree`, the cache tree the caller looked it up in.
    void forward(const quorlin::log::Record& record, const Cache::NodePtr& tree, const Cache::Node* node) {
        const std::string text = record.message.to_string();
        const int level = python_level(record.metadata.level);
        const std::string name = logger_name(record.metadata.target);
        PyRef py_name = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!py_name) {
            return;
        }
        const bool cached = node != nullptr && node->entry.has_value();
        PyRef logger = cached ? PyRef::borrow(node->entry->logger.get())
                              : PyRef::steal(PyObject_CallMethod(logging_.get(), "getLogger", "O", py_name.get()));
        if (!logger) {
            return;
        }
        PyRef enabled = PyRef::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "i", level));
        if (!enabled) {
            return;
        }
        const int truth = PyObject_IsTrue(enabled.get());
        if (truth < 0) {
            return;
        }
        if (truth == 1 && !handle(logger.get(), py_name.get(), level, record, text)) {
            return;
        }
        if (!cached) {
            // Published only over the tree the lookup started from: the probe
            // calls Python, so another thread may have reset the cache (after
            // a logging reconfiguration) meanwhile, and this answer belongs
            // to the old configuration. The entry is then dropped and fetched
            // again by the target's next record.
            const LevelFilter filter = probe(logger.get());
            if (cache_.store_from(tree, record.metadata.target, LoggerEntry{filter, SharedRef(std::move(logger))})) {
                quorlin::log::invalidate_enabled();
            }
        }
    }

    // makeRecord with its nine positional arguments, then handle.
    static bool handle(PyObject* logger, PyObject* name, int level, const quorlin::log::Record& record,
                       const std::string& text) {
        PyRef path = record.file ? PyRef::steal(PyUnicode_FromStringAndSize(
                                       record.file->data(), static_cast<Py_ssize_t>(record.file->size())))
                                 : PyRef::borrow(Py_None);
        PyRef msg = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        PyRef args = PyRef::steal(PyTuple_New(0));
        if (!path || !msg || !args) {
            return false;
        }
        PyRef py_record = PyRef::steal(PyObject_CallMethod(logger, "makeRecord", "OiOkOOOOO", name, level, path.get(),
                                                           static_cast<unsigned long>(record.line.value_or(0)),
                                                           msg.get(), args.get(), Py_None, Py_None, Py_None));
        if (!py_record) {
            return false;
        }
        PyRef handled = PyRef::steal(PyObject_CallMethod(logger, "handle", "O", py_record.get()));
        return static_cast<bool>(handled);
    }

    // The most verbose level the logger has enabled now; a probe that raises
    // leaves its error pending and counts as trace.
    static LevelFilter probe(PyObject* logger) {
        constexpr struct {
            int python_level;
            LevelFilter filter;
        } kProbes[] = {{5, LevelFilter::Trace}, {10, LevelFilter::Debug}, {20, LevelFilter::Info},
                       {30, LevelFilter::Warn}, {40, LevelFilter::Error}};
        for (const auto& p : kProbes) {
            PyRef result = PyRef::steal(PyObject_CallMethod(logger, "isEnabledFor", "i", p.python_level));
            const int truth = result ? PyObject_IsTrue(result.get()) : -1;
            if (truth < 0) {
                return LevelFilter::Trace;
            }
            if (truth == 1) {
                return p.filter;
            }
        }
        return LevelFilter::Off;
    }

    const LevelFilter own_filter_ = LevelFilter::Debug;
    PyRef logging_;
    Cache cache_;
};

// Filled once, at installation; reset_log_cache() reaches the cache through
// it. The bridge lives until the process ends.
std::atomic<PythonBridge*> g_reset_handle{nullptr};

}  // namespace

PyObject* reset_log_cache(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        if (PythonBridge* bridge = g_reset_handle.load(std::memory_order_acquire)) {
            bridge->reset();  // allocates the new empty tree
        }
        Py_RETURN_NONE;
    });
}

bool install_log_bridge(LogReach reach) noexcept {
    if (reach == LogReach::ScopedCalls && g_reset_handle.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (!logging) {
        PyRef cause = take_error();
        PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(cause.get())));
        PyRef text = PyRef::steal(PyObject_Str(cause.get()));
        if (!type_name || !text) {
            return false;
        }
        PyErr_Format(PyExc_ImportError, "Failed to initialize python logging: %U: %U", type_name.get(), text.get());
        PyRef error = take_error();
        PyException_SetCause(error.get(), cause.release());
        restore_error(std::move(error));
        return false;
    }
    PythonBridge* bridge = nullptr;
    try {
        bridge = new PythonBridge(std::move(logging));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    if (!quorlin::log::set_sink(bridge)) {
        delete bridge;
        PyErr_SetString(PyExc_ImportError,
                        "SetLoggerError: attempted to set a logger after the logging system was already "
                        "initialized");
        return false;
    }
    if (reach == LogReach::EveryCall) {
        quorlin::log::set_max_level(LevelFilter::Debug);
    }
    g_reset_handle.store(bridge, std::memory_order_release);
    return true;
}

}  // namespace quorlin::py
