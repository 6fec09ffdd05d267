// The extension module quorlin._native: the package's own path to the
// ordering engine. Boxes come in as one N x 4 array (or a sequence of
// 4-item sequences) and are converted once, with the separators and the page
// bounds, before anything is ordered; the engine (or the quality profile
// around it) orders its own copy; the order goes out as a list of ints or a
// NumPy int64 array, and on request with the cut tree as data.
//
// The engine library is linked into this module and into _quorlin_core as
// two private copies (hidden visibility), each with its own log facade. Both
// forward records to Python's logging through the log bridge, but this one
// only in the calls that log (see "Logging" below): the others keep the
// global level of its copy off, so that each of its log calls ends after one
// load and one comparison, and may run without the interpreter lock.

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/arguments.hpp"
#include "common/guard.hpp"
#include "common/log_bridge.hpp"
#include "common/once.hpp"
#include "boxes.hpp"
#include "direction.hpp"
#include "jsonpage.hpp"
#include "quorlin/engine/log.hpp"
#include "quorlin/engine/observer.hpp"
#include "quorlin/engine/profile.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::native {
namespace {

using quorlin::py::OnceObject;
using quorlin::py::PyRef;
using quorlin::native::Direction;
using quorlin::engine::Box;
using quorlin::engine::PageBox;
using quorlin::engine::ProfileOptions;
using quorlin::engine::ProfileSetting;

// From this many boxes on the engine runs without the interpreter lock (in a
// call that does not log). A page of this size takes the engine about a
// millisecond, far more than the cost of giving the lock away and taking it
// back (a microsecond or two when no other thread wants it); smaller pages,
// the usual ones of a few dozen boxes, keep it, so that threads running
// Python code are not made to wait for the lock to come back several times
// per page.
constexpr std::size_t kReleaseThreshold = 4096;

// ---- Logging ---------------------------------------------------------------
//
// A call logs when the package's loggers "quorlinpy" or "quorlinpy.mervane"
// have debug enabled: both are asked on every call, as logger.isEnabledFor(10)
// answers now (this module keeps no answer between calls). A logging call
// keeps the interpreter lock and opens a scope in which the records of its
// thread reach the bridge: a line saying what it orders, the profile's
// decisions and every line of the engine, in the order they are made. Any
// other call logs nothing, even while another thread's call logs.

// One of the two loggers, kept from the import on, with its attribute dict.
struct KeptLogger {
    PyObject* logger = nullptr;
    PyObject* attributes = nullptr;
};

KeptLogger g_loggers[2];  // quorlinpy, quorlinpy.mervane
PyObject* g_logger_class = nullptr;    // logging.Logger
PyObject* g_is_enabled_for = nullptr;  // logging.Logger.isEnabledFor, as the import found it
PyObject* g_debug = nullptr;           // 10, logging.DEBUG
PyObject* g_names[3] = {};             // "isEnabledFor", "disabled", "_cache"

const quorlin::log::TargetGate g_package_gate{"quorlinpy"};

// A line of the package's own on the target "quorlinpy", at debug level.
template <std::uint32_t Line, class... Values>
void package_log(std::string_view format, const Values&... values) noexcept {
    static constexpr quorlin::log::Site kWhere{"quorlinpy", "quorlin._native", "src/bindings/native/module.cpp",
                                                Line};
    quorlin::log::emit(g_package_gate, quorlin::log::Level::Debug, kWhere, format, values...);
}

// Keeps the two loggers and what asking them needs; at import.
bool keep_loggers() {
    const char* const names[] = {"isEnabledFor", "disabled", "_cache"};
    for (std::size_t i = 0; i < 3; ++i) {
        if (g_names[i] == nullptr && (g_names[i] = PyUnicode_InternFromString(names[i])) == nullptr) {
            return false;
        }
    }
    if (g_debug == nullptr && (g_debug = PyLong_FromLong(10)) == nullptr) {
        return false;
    }
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    PyRef logger_class = PyRef::steal(logging ? PyObject_GetAttrString(logging.get(), "Logger") : nullptr);
    if (!logger_class) {
        return false;
    }
    // The method as the class defines it (a function, not a bound method).
    PyObject* method = PyType_Check(logger_class.get())
                           ? PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(logger_class.get())->tp_dict,
                                                     g_names[0])
                           : nullptr;
    if (method == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_ImportError, "quorlin._native: logging.Logger defines no isEnabledFor");
        }
        return false;
    }
    const char* const logger_names[] = {"quorlinpy", "quorlinpy.mervane"};
    for (std::size_t i = 0; i < 2; ++i) {
        PyRef logger = PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", logger_names[i]));
        PyRef attributes = PyRef::steal(logger ? PyObject_GenericGetDict(logger.get(), nullptr) : nullptr);
        if (!attributes) {
            return false;
        }
        Py_XSETREF(g_loggers[i].logger, logger.release());
        Py_XSETREF(g_loggers[i].attributes, attributes.release());
    }
    Py_XSETREF(g_is_enabled_for, Py_NewRef(method));
    Py_XSETREF(g_logger_class, logger_class.release());
    return true;
}

// An attribute set on the logger itself, or null (no error: the keys are
// interned strings, the dict a plain one).
PyObject* own_attribute(const KeptLogger& kept, PyObject* name) {
    return PyDict_GetItemWithError(kept.attributes, name);
}

// logger.isEnabledFor(10): 1, 0, or -1 with an error set. When the logger's
// method is logging's own (`stock`: the class still has the method the import
// found) and the logger is not disabled, the answer is the one that method
// returns without computing anything: the one logging keeps in the logger's
// _cache, which logging empties whenever a level changes. Otherwise, and
// while the cache has no answer, the method itself is called (which computes
// the answer and keeps it there).
int debug_enabled(const KeptLogger& kept, bool stock) {
    if (stock && Py_TYPE(kept.logger) == reinterpret_cast<PyTypeObject*>(g_logger_class) &&
        own_attribute(kept, g_names[0]) == nullptr && own_attribute(kept, g_names[1]) == Py_False) {
        PyObject* cache = own_attribute(kept, g_names[2]);
        PyObject* answer = cache != nullptr && PyDict_CheckExact(cache) ? PyDict_GetItemWithError(cache, g_debug)
                                                                        : nullptr;
        if (answer == Py_False || answer == Py_True) {
            return answer == Py_True ? 1 : 0;
        }
    }
    if (PyErr_Occurred() != nullptr) {
        return -1;
    }
    PyRef answer = PyRef::steal(PyObject_CallMethodOneArg(kept.logger, g_names[0], g_debug));
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// Whether one call logs, decided when its arguments are converted and before
// it orders anything; the scope of a logging call lasts as long as this.
class CallLog {
public:
    // False with an error set when asking a logger raised.
    bool decide() {
        const bool stock = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(g_logger_class)->tp_dict,
                                                   g_names[0]) == g_is_enabled_for;
        for (const KeptLogger& kept : g_loggers) {
            const int enabled = debug_enabled(kept, stock);
            if (enabled < 0) {
                return false;
            }
            if (enabled == 1) {
                scope_.emplace(quorlin::log::LevelFilter::Debug);
                return true;
            }
        }
        return true;
    }

    // Whether the engine may run on `n` boxes without the interpreter lock:
    // not in a logging call, whose records go to Python.
    bool may_release(std::size_t n) const noexcept { return !scope_ && n >= kReleaseThreshold; }

    // An error a logging handler or filter raised is left pending by the
    // bridge: the call reports it instead of a result.
    static bool failed() noexcept { return PyErr_Occurred() != nullptr; }

private:
    std::optional<quorlin::log::ThreadScope> scope_;
};

enum class Call : std::uint8_t { Order, Explain };

// The line of a call: what it orders. A page read right to left or
// vertically says so, since the engine's lines that follow give the
// coordinates of the turned page (see direction.hpp).
void log_call(Call call, std::size_t boxes, bool quality, std::size_t separators, Direction direction) {
    const auto n = std::uint64_t{boxes};
    const auto s = std::uint64_t{separators};
    if (call == Call::Order) {
        quality ? package_log<__LINE__>("order: {} boxes, {} separators (quality profile)", n, s)
                : package_log<__LINE__>("order: {} boxes (exact)", n);
    } else {
        quality ? package_log<__LINE__>("explain: {} boxes, {} separators (quality profile)", n, s)
                : package_log<__LINE__>("explain: {} boxes (exact)", n);
    }
    if (direction == Direction::Rtl) {
        package_log<__LINE__>("read right to left: the engine's lines below give x mirrored (-x)");
    } else if (direction == Direction::Ttb) {
        package_log<__LINE__>("read in vertical columns from the right: the engine's lines below give the page "
                              "turned, (x, y) as (y, -x)");
    }
}

// direction: None or "ltr", "rtl" or "ttb".
bool parse_direction(PyObject* obj, Direction& out) {
    out = Direction::Ltr;
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    if (PyUnicode_Check(obj)) {
        static constexpr std::pair<const char*, Direction> kNames[] = {
            {"ltr", Direction::Ltr}, {"rtl", Direction::Rtl}, {"ttb", Direction::Ttb}};
        for (const auto& [name, direction] : kNames) {
            if (PyUnicode_CompareWithASCIIString(obj, name) == 0) {
                out = direction;
                return true;
            }
        }
    }
    PyErr_Format(PyExc_ValueError, "direction: expected 'ltr', 'rtl' or 'ttb', got %R", obj);
    return false;
}

// ---- Profiles ------------------------------------------------------------
//
// A profile names how boxes are turned into an order. "exact" is the engine
// alone, which gives exactly the order of _quorlin_core on the same boxes;
// "quality" is the quality profile around it (quorlin/engine/profile.hpp),
// which reads the page bounds and separators too and computes in double
// precision on the coordinates as given.

enum class Profile : std::uint8_t { Exact, Quality };

bool parse_profile(PyObject* obj, Profile& out) {
    if (obj == nullptr || obj == Py_None) {
        out = Profile::Exact;
        return true;
    }
    if (PyUnicode_Check(obj)) {
        if (PyUnicode_CompareWithASCIIString(obj, "exact") == 0) {
            out = Profile::Exact;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(obj, "quality") == 0) {
            out = Profile::Quality;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "profile: expected None, 'exact' or 'quality', got %R", obj);
    return false;
}

// Frees the memory of boxes no longer needed (assigning {} would keep it).
void free_boxes(std::vector<PageBox>& boxes) noexcept { std::vector<PageBox>().swap(boxes); }

// What the quality profile reads beside the boxes.
struct ProfileArguments {
    std::vector<PageBox> separators;
    PageBox bounds;
    bool have_bounds = false;
    ProfileOptions options;
    std::vector<std::uint8_t> roles;  // one code of quorlin.engine::Role per box, or none
};

// roles: None, or a bytes-like object or a sequence of ints 0..255, one role
// code (quorlin.labels.ROLES) per box.
bool parse_roles(PyObject* obj, ProfileArguments& out) {
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    if (PyObject_CheckBuffer(obj) != 0 && !PyUnicode_Check(obj)) {
        Py_buffer view;
        if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) {
            return false;
        }
        const auto* data = static_cast<const std::uint8_t*>(view.buf);
        out.roles.assign(data, data + view.len);
        PyBuffer_Release(&view);
        return true;
    }
    PyRef items = PyRef::steal(PySequence_Fast(obj, "roles: expected None, bytes or a sequence of role codes"));
    if (!items) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.roles.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        const long code = PyLong_Check(item) && !PyBool_Check(item) ? PyLong_AsLong(item) : -1;
        if (code < 0 || code > 255) {
            if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
                return false;
            }
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "roles: item %zd: expected a role code 0..255, got %R", i, item);
            return false;
        }
        out.roles.push_back(static_cast<std::uint8_t>(code));
    }
    return true;
}

// The roles, when given, are one per box.
bool check_roles(const ProfileArguments& arguments, std::size_t boxes) {
    if (!arguments.roles.empty() && arguments.roles.size() != boxes) {
        PyErr_Format(PyExc_ValueError, "got %zu labels for %zu boxes", arguments.roles.size(), boxes);
        return false;
    }
    return true;
}

// labels: None, or a list or tuple of class names or SemanticLabels, one per
// box, checked and (for the quality profile, `keep`) turned into role codes
// in one pass. `table` is quorlin.labels' table of codes: a dict whose misses
// compute the code of a name and refuse anything but a text or a
// SemanticLabel with a TypeError. A page has a few distinct names, and the
// page readers give each distinct name as one object: the last few label
// objects and their codes are kept (held, so that no other object can take
// their address), and most labels are found among them without a lookup.
bool parse_labels(PyObject* labels, PyObject* table, std::size_t boxes, bool keep, ProfileArguments& out) {
    if (labels == nullptr || labels == Py_None) {
        return true;
    }
    if (!out.roles.empty()) {
        PyErr_SetString(PyExc_ValueError, "give roles or labels, not both");
        return false;
    }
    if (table == nullptr || !PyDict_Check(table)) {
        PyErr_SetString(PyExc_TypeError, "labels: label_codes must be the dict of role codes");
        return false;
    }
    if (!PyList_Check(labels) && !PyTuple_Check(labels)) {
        PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(labels)));
        PyErr_Format(PyExc_TypeError, "labels must be a list or a tuple, not %S", name.get());
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(labels);
    if (static_cast<std::size_t>(n) != boxes) {
        PyErr_Format(PyExc_ValueError, "got %zd labels for %zu boxes", n, boxes);
        return false;
    }
    if (keep) {
        out.roles.reserve(static_cast<std::size_t>(n));
    }
    constexpr std::size_t kRecent = 8;
    PyRef recent[kRecent];
    long recent_code[kRecent] = {};
    std::size_t next = 0;  // the slot the next new label takes
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A list may change under a lookup that runs Python code (a miss):
        // the item is held, and the size read again.
        if (i >= PySequence_Fast_GET_SIZE(labels)) {
            PyErr_SetString(PyExc_RuntimeError, "labels changed while they were read");
            return false;
        }
        PyObject* const seen = PySequence_Fast_GET_ITEM(labels, i);
        const auto hit = std::find_if(std::begin(recent), std::end(recent),
                                      [seen](const PyRef& r) { return r.get() == seen; });
        if (hit != std::end(recent)) {
            if (keep) {
                out.roles.push_back(static_cast<std::uint8_t>(recent_code[hit - std::begin(recent)]));
            }
            continue;
        }
        PyRef item = PyRef::borrow(seen);
        PyRef code = PyRef::borrow(PyDict_GetItemWithError(table, item.get()));
        if (!code && PyErr_Occurred() == nullptr) {
            code = PyRef::steal(PyObject_GetItem(table, item.get()));
        }
        if (!code) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) != 0) {
                PyErr_Clear();
                PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(item.get())));
                PyErr_Format(PyExc_TypeError, "label %zd: expected a SemanticLabel or a class name, got %S", i,
                             name.get());
            }
            return false;
        }
        const long value = PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : -1;
        if (value < 0 || value > 255) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "label %zd: the table gave %R, not a role code", i, code.get());
            return false;
        }
        if (keep) {
            out.roles.push_back(static_cast<std::uint8_t>(value));
        }
        recent[next] = std::move(item);
        recent_code[next] = value;
        next = (next + 1) % kRecent;
    }
    return true;
}

// page_bounds: None, or 4 coordinates by the rule of one box.
bool parse_bounds(PyObject* obj, ProfileArguments& out) {
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    out.have_bounds = convert_bounds(obj, out.bounds);
    return out.have_bounds;
}

bool parse_separators(PyObject* obj, ProfileArguments& out) {
    return obj == nullptr || obj == Py_None || convert_boxes(obj, out.separators, BoxNames{"separators", "separator"});
}

// A number in its shortest form ("0.5"), for a message.
std::string number_text(double value) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

// options: None, or a dict of settings of ProfileOptions by name (numbers for
// the parameters, anything true or false for the step switches).
bool parse_options(PyObject* obj, ProfileOptions& out) {
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    if (!PyDict_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "options: expected a dict of settings, got %R", obj);
        return false;
    }
    // A copy of the items: a value's __float__ may change the dict.
    PyRef items = PyRef::steal(PyDict_Items(obj));
    if (!items) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        const PyRef key = PyRef::borrow(PyTuple_GET_ITEM(item, 0));
        const PyRef value = PyRef::borrow(PyTuple_GET_ITEM(item, 1));
        // The key's UTF-8 (kept by the str itself) against each name: a
        // length and a memcmp per setting, where a comparison through the C
        // API cost some thousand instructions per key.
        std::string_view name;  // empty, as no setting's name is, for a key that is no str
        if (PyUnicode_Check(key.get())) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key.get(), &size);
            if (utf8 == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                    return false;  // out of memory
                }
                PyErr_Clear();  // a lone surrogate: no setting's name
            } else {
                name = std::string_view(utf8, static_cast<std::size_t>(size));
            }
        }
        const auto known = std::find_if(std::begin(quorlin::engine::kProfileSettings),
                                        std::end(quorlin::engine::kProfileSettings),
                                        [&](const ProfileSetting& s) { return s.name == name; });
        if (known == std::end(quorlin::engine::kProfileSettings)) {
            PyErr_Format(PyExc_ValueError, "options: unknown setting %R", key.get());
            return false;
        }
        if (known->kind == ProfileSetting::Kind::Number) {
            // A boolean is refused as a coordinate is (True is no share of
            // a page); an integer too large for a double is out of range,
            // which the range check below says (not "no number").
            if (PyBool_Check(value.get())) {
                PyErr_Format(PyExc_TypeError, "options: %s must be a number, not a boolean, got %R",
                             known->name.data(), value.get());
                return false;
            }
            double d = PyFloat_AsDouble(value.get());
            if (d == -1.0 && PyErr_Occurred() != nullptr) {
                if (PyLong_Check(value.get()) && PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    PyErr_Clear();
                    d = std::numeric_limits<double>::infinity();
                } else {
                    PyErr_Clear();
                    PyErr_Format(PyExc_TypeError, "options: %s must be a number, got %R", known->name.data(),
                                 value.get());
                    return false;
                }
            }
            out.*known->number = d;
        } else {
            const int on = PyObject_IsTrue(value.get());
            if (on < 0) {
                return false;
            }
            out.*known->flag = on != 0;
        }
    }
    if (const ProfileSetting* invalid = quorlin::engine::invalid_profile_setting(out)) {
        const std::string limit =
            invalid->below < quorlin::engine::kUnbounded ? " and below " + number_text(invalid->below) : "";
        PyErr_Format(PyExc_ValueError, "options: %s must be a finite number, at least 0%s", invalid->name.data(),
                     limit.c_str());
        return false;
    }
    return true;
}

// page_bounds, separators and options (bound[0..3)); the exact profile
// checks them and reads none.
// page_bounds, separators, options and roles, in this order.
bool parse_profile_arguments(PyObject* const* bound, ProfileArguments& out) {
    return parse_bounds(bound[0], out) && parse_separators(bound[1], out) && parse_options(bound[2], out.options) &&
           parse_roles(bound[3], out);
}

// The boxes, separators and bounds of a page as the turned page has them.
// A page of vertical columns turned is not a page of rows: its running head,
// its fold, its foot and its margins lie elsewhere, and the shrink along its
// text opens cuts across its short columns. The steps that were measured on
// pages of rows only (no vertical page with a human order is at hand) are
// off there; the rules, captions, folios and non-finite boxes are read as on
// any page.
template <class B>
void turn_page(std::vector<B>& boxes, ProfileArguments& arguments, Direction direction) noexcept {
    if (direction == Direction::Ltr) {
        return;
    }
    if (direction == Direction::Ttb) {
        ProfileOptions& o = arguments.options;
        o.spread = o.top_strip = o.foot_line = o.margins = o.tolerance = o.furniture = o.footnotes = o.initials =
            false;
    }
    for (B& b : boxes) {
        b = quorlin::native::turned(b, direction);
    }
    for (PageBox& b : arguments.separators) {
        b = quorlin::native::turned(b, direction);
    }
    arguments.bounds = quorlin::native::turned(arguments.bounds, direction);
}

// Runs `work` (which touches no Python object) without the interpreter lock
// when `release` says so. A C++ exception is carried across and rethrown once
// the lock is back, for guarded() to translate.
template <class Work>
std::vector<std::uint32_t> without_lock_if(bool release, Work work) {
    if (!release) {
        return work();
    }
    std::vector<std::uint32_t> order;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        order = work();
    } catch (...) {
        failure = std::current_exception();
    }
    // Not in a destructor: at interpreter exit this may end the thread by
    // unwinding it, which must pass through this frame.
    PyEval_RestoreThread(state);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return order;
}

// The engine alone, on the boxes in single precision.
std::vector<std::uint32_t> run_exact(std::vector<Box>&& boxes, quorlin::engine::Observer* observer,
                                     const CallLog& log) {
    return without_lock_if(log.may_release(boxes.size()), [&] {
        return quorlin::engine::order_boxes(std::move(boxes), observer);
    });
}

// The quality profile.
std::vector<std::uint32_t> run_quality(const std::vector<PageBox>& boxes, const ProfileArguments& args,
                                       quorlin::engine::ProfileTrace* trace, const CallLog& log) {
    return without_lock_if(log.may_release(boxes.size()), [&] {
        return quorlin::engine::order_profile(boxes, args.roles, args.have_bounds ? &args.bounds : nullptr,
                                              args.separators, args.options, trace);
    });
}

// ---- Results -------------------------------------------------------------

PyObject* index_list(std::span<const std::uint32_t> order) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        PyObject* index = PyLong_FromUnsignedLong(order[i]);
        if (index == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), index);
    }
    return list.release();
}

OnceObject g_frombuffer;

// numpy.frombuffer, imported on first need; NumPy stays optional.
PyObject* frombuffer() {
    return g_frombuffer.get([]() -> PyObject* {
        PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!numpy) {
            if (PyErr_ExceptionMatches(PyExc_ImportError)) {
                PyRef cause = quorlin::py::take_error();
                PyErr_SetString(PyExc_ImportError, "as_array=True needs NumPy (pip install numpy)");
                PyRef error = quorlin::py::take_error();
                PyException_SetCause(error.get(), cause.release());
                quorlin::py::restore_error(std::move(error));
            }
            return nullptr;
        }
        return PyObject_GetAttrString(numpy.get(), "frombuffer");
    });
}

// The order as a NumPy int64 array, built without NumPy's headers: the
// values are written into a bytearray that the array then uses as its memory.
PyObject* index_array(std::span<const std::uint32_t> order) {
    PyObject* make = frombuffer();
    if (make == nullptr) {
        return nullptr;
    }
    PyRef bytes = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(order.size() * 8)));
    if (!bytes) {
        return nullptr;
    }
    char* out = PyByteArray_AS_STRING(bytes.get());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto value = static_cast<std::int64_t>(order[i]);
        std::memcpy(out + i * 8, &value, 8);
    }
    PyRef dtype = PyRef::steal(PyUnicode_FromString("int64"));
    if (!dtype) {
        return nullptr;
    }
    return PyObject_CallFunctionObjArgs(make, bytes.get(), dtype.get(), nullptr);
}

// ---- order() -------------------------------------------------------------

constexpr const char* kOrderParams[] = {"boxes",   "as_array", "profile",   "page_bounds", "separators",
                                         "options", "roles",    "direction", "labels",      "label_codes"};
constexpr quorlin::py::Signature kOrderSignature = {"order()", kOrderParams, 1};

PyObject* order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[10] = {};
        if (!quorlin::py::bind_fast(kOrderSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const int as_array = bound[1] == nullptr ? 0 : PyObject_IsTrue(bound[1]);
        Profile profile{};
        Direction direction{};
        if (as_array < 0 || !parse_profile(bound[2], profile) || !parse_direction(bound[7], direction)) {
            return nullptr;
        }
        std::vector<std::uint32_t> ordered;
        CallLog log;
        if (profile == Profile::Exact) {
            // The other arguments are checked (and the separators converted,
            // which checks them) but do not change the exact order.
            std::vector<Box> boxes;
            ProfileArguments arguments;
            if (!convert_boxes(bound[0], boxes) || !parse_profile_arguments(bound + 3, arguments) ||
                !check_roles(arguments, boxes.size()) ||
                !parse_labels(bound[8], bound[9], boxes.size(), false, arguments) || !log.decide()) {
                return nullptr;
            }
            free_boxes(arguments.separators);  // checked, not needed
            log_call(Call::Order, boxes.size(), false, 0, direction);
            turn_page(boxes, arguments, direction);
            ordered = run_exact(std::move(boxes), nullptr, log);
        } else {
            std::vector<PageBox> boxes;
            ProfileArguments arguments;
            if (!convert_boxes(bound[0], boxes) || !parse_profile_arguments(bound + 3, arguments) ||
                !check_roles(arguments, boxes.size()) ||
                !parse_labels(bound[8], bound[9], boxes.size(), true, arguments) || !log.decide()) {
                return nullptr;
            }
            log_call(Call::Order, boxes.size(), true, arguments.separators.size(), direction);
            turn_page(boxes, arguments, direction);
            ordered = run_quality(boxes, arguments, nullptr, log);
        }
        if (CallLog::failed()) {
            return nullptr;
        }
        return as_array != 0 ? index_array(ordered) : index_list(ordered);
    });
}

// ---- explain() -------------------------------------------------------------

// Keeps every report of the engine as plain values; Python objects are made
// from them once the engine is done.
class Recorder final : public quorlin::engine::Observer {
public:
    enum class Kind : std::uint8_t { Cut, OneGroup, NoValidCut, AllCrossLayout };
    struct Event {
        Kind kind;
        quorlin::engine::CutReport cut;
    };

    void set_aside(std::span<const std::uint32_t> indices) noexcept override {
        record([&] { set_aside_.assign(indices.begin(), indices.end()); });
    }
    void all_cross_layout() noexcept override {
        record([&] { events_.push_back(Event{Kind::AllCrossLayout, {}}); });
    }
    void cut(const quorlin::engine::CutReport& cut) noexcept override {
        record([&] { events_.push_back(Event{Kind::Cut, cut}); });
    }
    void one_group(const quorlin::engine::CutReport& cut) noexcept override {
        record([&] { events_.push_back(Event{Kind::OneGroup, cut}); });
    }
    void no_valid_cut(const quorlin::engine::FallbackReport& set) noexcept override {
        record([&] {
            events_.push_back(Event{Kind::NoValidCut,
                                    {quorlin::engine::CutAxis::Horizontal, 0.0F, 0.0F, set.lo, set.lo, set.hi,
                                     set.depth, set.bounds}});
        });
    }
    void segmented(std::span<const std::uint32_t> order) noexcept override {
        record([&] { segmented_.assign(order.begin(), order.end()); });
    }

    // The cuts and extents of a turned page as the page has them.
    void turn_back(Direction direction) noexcept {
        for (Event& e : events_) {
            quorlin::native::turn_back(e.cut.axis, e.cut.position, direction);
            quorlin::engine::Bounds& b = e.cut.bounds;
            quorlin::native::turn_back(b.left, b.top, b.right, b.bottom, direction);
        }
    }

    // Memory that ran out while recording is reported once the engine is done.
    void check() const {
        if (failed_) {
            throw std::bad_alloc();
        }
    }

    std::vector<std::uint32_t> set_aside_;
    std::vector<std::uint32_t> segmented_;
    std::vector<Event> events_;

private:
    template <class F>
    void record(F f) noexcept {
        quorlin::engine::keep_report(failed_, f);
    }
    bool failed_ = false;
};

OnceObject g_kind_names[4];
OnceObject g_axis_names[2];

PyObject* interned(OnceObject& slot, const char* text) {
    return slot.get([text] { return PyUnicode_InternFromString(text); });
}

PyObject* event_tuple(const Recorder::Event& e) {
    static const char* const kKinds[] = {"cut", "one_group", "no_valid_cut", "all_cross_layout"};
    const auto k = static_cast<std::size_t>(e.kind);
    PyObject* kind = interned(g_kind_names[k], kKinds[k]);
    if (kind == nullptr) {
        return nullptr;
    }
    if (e.kind == Recorder::Kind::AllCrossLayout) {
        return Py_BuildValue("(OOOOIIIIO)", kind, Py_None, Py_None, Py_None, 0U, 0U, 0U, 0U, Py_None);
    }
    const quorlin::engine::Bounds& b = e.cut.bounds;
    if (e.kind == Recorder::Kind::NoValidCut) {
        return Py_BuildValue("(OOOOIIII(dddd))", kind, Py_None, Py_None, Py_None, e.cut.lo, e.cut.mid, e.cut.hi,
                             e.cut.depth, double{b.left}, double{b.top}, double{b.right}, double{b.bottom});
    }
    const bool horizontal = e.cut.axis == quorlin::engine::CutAxis::Horizontal;
    PyObject* axis = interned(g_axis_names[horizontal ? 0 : 1], horizontal ? "y" : "x");
    if (axis == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(OOddIIII(dddd))", kind, axis, double{e.cut.position}, double{e.cut.gap}, e.cut.lo,
                         e.cut.mid, e.cut.hi, e.cut.depth, double{b.left}, double{b.top}, double{b.right},
                         double{b.bottom});
}

OnceObject g_profile_kind_names[7];

// One event of the profile's trace, in the shape of event_tuple().
PyObject* trace_tuple(const quorlin::engine::TraceEvent& e) {
    static const char* const kKinds[] = {"cut",  "one_group", "no_valid_cut", "all_cross_layout",
                                         "fold", "top_strip", "foot_line"};
    const auto k = static_cast<std::size_t>(e.kind);
    PyObject* kind = interned(g_profile_kind_names[k], kKinds[k]);
    if (kind == nullptr) {
        return nullptr;
    }
    using quorlin::engine::TraceKind;
    if (e.kind == TraceKind::AllCrossLayout) {
        return Py_BuildValue("(OOOOIIIIO)", kind, Py_None, Py_None, Py_None, e.lo, e.mid, e.hi, e.depth, Py_None);
    }
    const PageBox& b = e.bounds;
    if (e.kind == TraceKind::NoValidCut) {
        return Py_BuildValue("(OOOOIIII(dddd))", kind, Py_None, Py_None, Py_None, e.lo, e.mid, e.hi, e.depth, b.x1,
                             b.y1, b.x2, b.y2);
    }
    const bool horizontal = e.axis == quorlin::engine::CutAxis::Horizontal;
    PyObject* axis = interned(g_axis_names[horizontal ? 0 : 1], horizontal ? "y" : "x");
    if (axis == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(OOddIIII(dddd))", kind, axis, e.position, e.gap, e.lo, e.mid, e.hi, e.depth, b.x1, b.y1,
                         b.x2, b.y2);
}

OnceObject g_part_kind_names[9];

// (lo, hi, depth, size, top_strip, frame, dx, dy, kind) of one part the profile ordered.
PyObject* part_tuple(const quorlin::engine::TracePart& p) {
    static const char* const kKinds[] = {"body", "top_strip", "head", "foot", "page_numbers", "footnotes",
                                         "foot_line", "initials", "captions"};
    const auto k = static_cast<std::size_t>(p.kind);
    PyObject* kind = interned(g_part_kind_names[k], kKinds[k]);
    if (kind == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(IIIIO(dddd)ddO)", p.lo, p.hi, p.depth, p.size, p.top_strip ? Py_True : Py_False,
                         p.frame.x1, p.frame.y1, p.frame.x2, p.frame.y2, p.dx, p.dy, kind);
}

template <class Item, class Make>
PyObject* tuple_list(const std::vector<Item>& items, Make make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = make(items[i]);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// The cuts, extents and shrinks of the profile's trace of a turned page as the page has them.
void turn_back(quorlin::engine::ProfileTrace& trace, Direction direction) noexcept {
    if (direction == Direction::Ltr) {
        return;
    }
    for (quorlin::engine::TraceEvent& e : trace.events) {
        quorlin::native::turn_back(e.axis, e.position, direction);
        quorlin::native::turn_back(e.bounds.x1, e.bounds.y1, e.bounds.x2, e.bounds.y2, direction);
    }
    for (quorlin::engine::TracePart& p : trace.parts) {
        quorlin::native::turn_back(p.frame.x1, p.frame.y1, p.frame.x2, p.frame.y2, direction);
        if (direction == Direction::Ttb) {
            std::swap(p.dx, p.dy);
        }
    }
}

// (order, segment_order, set_aside, events, margin_notes, non_finite, parts);
// `events` is a new reference (or null with an error set).
PyObject* explanation(std::span<const std::uint32_t> ordered, std::span<const std::uint32_t> segmented,
                      std::span<const std::uint32_t> set_aside, PyObject* events,
                      const quorlin::engine::ProfileTrace* trace) {
    PyRef event_list = PyRef::steal(events);
    if (!event_list) {
        return nullptr;
    }
    static const std::vector<std::uint32_t> kNone;
    static const std::vector<quorlin::engine::TracePart> kNoParts;
    PyRef order_list = PyRef::steal(index_list(ordered));
    PyRef segment_list = PyRef::steal(order_list ? index_list(segmented) : nullptr);
    PyRef aside_list = PyRef::steal(segment_list ? index_list(set_aside) : nullptr);
    PyRef notes = PyRef::steal(aside_list ? index_list(trace != nullptr ? trace->margin_notes : kNone) : nullptr);
    PyRef non_finite = PyRef::steal(notes ? index_list(trace != nullptr ? trace->non_finite : kNone) : nullptr);
    PyRef parts =
        PyRef::steal(non_finite ? tuple_list(trace != nullptr ? trace->parts : kNoParts, part_tuple) : nullptr);
    if (!parts) {
        return nullptr;
    }
    return PyTuple_Pack(7, order_list.get(), segment_list.get(), aside_list.get(), event_list.get(), notes.get(),
                        non_finite.get(), parts.get());
}

constexpr const char* kExplainParams[] = {"boxes", "profile",   "page_bounds", "separators", "options",
                                           "roles", "direction", "labels",      "label_codes"};
constexpr quorlin::py::Signature kExplainSignature = {"explain()", kExplainParams, 1};

PyObject* explain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[9] = {};
        if (!quorlin::py::bind_fast(kExplainSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Profile profile{};
        Direction direction{};
        if (!parse_profile(bound[1], profile) || !parse_direction(bound[6], direction)) {
            return nullptr;
        }
        CallLog log;
        if (profile == Profile::Quality) {
            std::vector<PageBox> boxes;
            ProfileArguments arguments;
            if (!convert_boxes(bound[0], boxes) || !parse_profile_arguments(bound + 2, arguments) ||
                !check_roles(arguments, boxes.size()) ||
                !parse_labels(bound[7], bound[8], boxes.size(), true, arguments) || !log.decide()) {
                return nullptr;
            }
            log_call(Call::Explain, boxes.size(), true, arguments.separators.size(), direction);
            turn_page(boxes, arguments, direction);
            quorlin::engine::ProfileTrace trace;
            const std::vector<std::uint32_t> ordered = run_quality(boxes, arguments, &trace, log);
            if (CallLog::failed()) {
                return nullptr;
            }
            turn_back(trace, direction);
            return explanation(ordered, trace.segment_order, trace.set_aside, tuple_list(trace.events, trace_tuple),
                               &trace);
        }
        std::vector<Box> boxes;
        ProfileArguments arguments;
        if (!convert_boxes(bound[0], boxes) || !parse_profile_arguments(bound + 2, arguments) ||
            !check_roles(arguments, boxes.size()) ||
            !parse_labels(bound[7], bound[8], boxes.size(), false, arguments) || !log.decide()) {
            return nullptr;
        }
        free_boxes(arguments.separators);  // checked, not needed
        const std::size_t n = boxes.size();
        log_call(Call::Explain, n, false, 0, direction);
        turn_page(boxes, arguments, direction);
        Recorder recorder;
        const std::vector<std::uint32_t> ordered = run_exact(std::move(boxes), &recorder, log);
        recorder.check();
        if (CallLog::failed()) {
            return nullptr;
        }
        recorder.turn_back(direction);
        if (n < 2) {
            recorder.segmented_ = ordered;  // no segmentation ran: the one box, or none
        }
        return explanation(ordered, recorder.segmented_, recorder.set_aside_,
                           tuple_list(recorder.events_, event_tuple), nullptr);
    });
}

// ---- JSON pages ----------------------------------------------------------------

// (result, None), or (None, problem) for a page that is not valid.
PyObject* result_or_problem(JsonRead read, PyRef result, const JsonProblem& problem) {
    if (read == JsonRead::Failed) {
        return nullptr;
    }
    if (read == JsonRead::Problem) {
        PyRef described = PyRef::steal(problem.to_tuple());
        return described ? PyTuple_Pack(2, Py_None, described.get()) : nullptr;
    }
    return result ? PyTuple_Pack(2, result.get(), Py_None) : nullptr;
}

constexpr const char* kReadParams[] = {"page", "element_label", "region"};
constexpr quorlin::py::Signature kReadSignature = {"read_json_page()", kReadParams, 3};

PyObject* read_json_page(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!quorlin::py::bind_fast(kReadSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        JsonPage page;
        JsonProblem problem;
        const JsonRead read = quorlin::native::read_json_page(bound[0], JsonReading{bound[1], bound[2], nullptr}, page, problem);
        PyRef parts;
        if (read == JsonRead::Page) {
            parts = PyRef::steal(PyTuple_Pack(5, page.width.get(), page.height.get(), page.regions.get(),
                                              page.skipped.get(), page.reading_order.get()));
        }
        return result_or_problem(read, std::move(parts), problem);
    });
}

constexpr const char* kPageParams[] = {"page", "element_label", "profile", "options", "role_code", "direction"};
constexpr quorlin::py::Signature kPageSignature = {"order_json_page()", kPageParams, 2};

PyObject* order_json_page(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[6] = {};
        if (!quorlin::py::bind_fast(kPageSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Profile profile{};
        Direction direction{};
        ProfileArguments arguments;
        if (!parse_profile(bound[2], profile) || !parse_options(bound[3], arguments.options) ||
            !parse_direction(bound[5], direction)) {
            return nullptr;
        }
        JsonPage page;
        JsonProblem problem;
        PyObject* role_code = bound[4] == Py_None ? nullptr : bound[4];
        const JsonRead read =
            quorlin::native::read_json_page(bound[0], JsonReading{bound[1], nullptr, role_code}, page, problem);
        if (read != JsonRead::Page) {
            return result_or_problem(read, {}, problem);
        }
        CallLog log;
        if (!log.decide()) {
            return nullptr;
        }
        log_call(Call::Order, page.boxes.size(), profile == Profile::Quality, page.separators.size(), direction);
        std::vector<std::uint32_t> ordered;
        if (profile == Profile::Exact) {
            std::vector<Box> boxes;
            boxes.reserve(page.boxes.size());
            for (const PageBox& b : page.boxes) {  // each within 2^24: exact in single precision
                boxes.push_back(Box{static_cast<float>(b.x1), static_cast<float>(b.y1), static_cast<float>(b.x2),
                                    static_cast<float>(b.y2)});
            }
            free_boxes(page.boxes);  // copied
            turn_page(boxes, arguments, direction);
            ordered = run_exact(std::move(boxes), nullptr, log);
        } else {
            arguments.separators = std::move(page.separators);
            arguments.bounds = page.bounds;
            arguments.have_bounds = true;
            arguments.roles = std::move(page.roles);
            turn_page(page.boxes, arguments, direction);
            ordered = run_quality(page.boxes, arguments, nullptr, log);
        }
        if (CallLog::failed()) {
            return nullptr;
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ordered.size())));
        if (!list) {
            return nullptr;
        }
        for (std::size_t i = 0; i < ordered.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(page.ids[ordered[i]].get()));
        }
        return result_or_problem(read, std::move(list), problem);
    });
}

// ---- Module ----------------------------------------------------------------

PyMethodDef g_methods[] = {
    {"order", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(order)), METH_FASTCALL | METH_KEYWORDS,
     "order(boxes, as_array=False, profile=None, page_bounds=None, separators=None, options=None, roles=None,\n"
     "      direction=None, labels=None, label_codes=None)\n--\n\n"
     "The reading order of the boxes (an N x 4 array or a sequence of\n"
     "(x1, y1, x2, y2)) as box indices: a list, or a NumPy int64 array.\n"
     "profile is None or 'exact' (the engine alone) or 'quality' (the quality\n"
     "profile, which also reads page_bounds, separators (boxes) and options, a\n"
     "dict of its settings, and roles, one role code per box as bytes or ints).\n"
     "labels (instead of roles) is a list or tuple of class names or\n"
     "SemanticLabels, one per box, checked with either profile and turned into\n"
     "role codes by label_codes, quorlin.labels' dict of codes.\n"
     "direction is None or 'ltr', 'rtl' (columns from the right) or 'ttb'\n"
     "(vertical columns from the right, each top to bottom).\n"
     "Every argument is checked before anything is\n"
     "ordered. The call logs (to the loggers quorlinpy and quorlinpy.mervane)\n"
     "when either has DEBUG enabled."},
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(explain)), METH_FASTCALL | METH_KEYWORDS,
     "explain(boxes, profile=None, page_bounds=None, separators=None, options=None, roles=None, direction=None,\n"
     "        labels=None, label_codes=None)\n--\n\n"
     "The order of the boxes with the steps that made it: a tuple (order,\n"
     "segment_order, set_aside, events, margin_notes, non_finite, parts).\n"
     "segment_order is the boxes the engine segmented, in reading order, before\n"
     "the set-aside boxes, margin notes and non-finite boxes are merged back;\n"
     "each event is (kind, axis, position, gap, lo, mid, hi, depth, bounds),\n"
     "where lo, mid and hi are positions in segment_order; each part is (lo, hi,\n"
     "depth, size, top_strip, frame, dx, dy, kind). Logs as order() does, from the\n"
     "same run."},
    {"read_json_page", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_json_page)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_json_page(page, element_label, region)\n--\n\n"
     "The reader of a JSON page (a dict as a JSON decoder gives it): a tuple\n"
     "((width, height, regions, skipped, reading_order), None) for a valid\n"
     "page, or (None, problem) for the first problem of one that is not, where\n"
     "problem is (kind, element index, element id, key or box position, value)\n"
     "with None for what the kind does not name. element_label(label, type,\n"
     "subtype) gives (label, kind, role) of an element with a \"label\" text\n"
     "(type None), else of one with a \"type\" text (label None), else of a\n"
     "plain one (both None); role is \"\" for a region to order. region(id,\n"
     "box, label, kind[, role]) makes one region (with its role when skipped)."},
    {"order_json_page", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(order_json_page)),
     METH_FASTCALL | METH_KEYWORDS,
     "order_json_page(page, element_label, profile=None, options=None, role_code=None, direction=None)\n--\n\n"
     "The ids of a JSON page's regions in reading order, read by the reader of\n"
     "read_json_page() straight into the ordering: (ids, None), or (None,\n"
     "problem) for a page that is not valid. role_code(kind), when given, gives\n"
     "the role code of a region's kind, for the quality profile; direction as\n"
     "for order(). Logs as order() does."},
    {"reset_log_cache", quorlin::py::reset_log_cache, METH_NOARGS,
     "reset_log_cache()\n--\n\n"
     "Empties this module's cache of the levels Python's loggers enable, which\n"
     "decides which lines of a logging call are forwarded; call it after\n"
     "reconfiguring logging (quorlin.reset_log_cache() resets both modules').\n"
     "Whether a call logs at all is asked anew on every call."},
    {nullptr, nullptr, 0, nullptr},
};

// The quality profile's settings, one (name, kind, default, group, doc) each,
// in the order of ProfileOptions.
PyObject* profile_settings() {
    constexpr std::size_t n = std::size(quorlin::engine::kProfileSettings);
    PyRef table = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!table) {
        return nullptr;
    }
    static const char* const kGroups[] = {"tuned", "fixed", "step"};
    for (std::size_t i = 0; i < n; ++i) {
        const ProfileSetting& s = quorlin::engine::kProfileSettings[i];
        const bool number = s.kind == ProfileSetting::Kind::Number;
        PyRef value = PyRef::steal(number ? PyFloat_FromDouble(s.default_value)
                                          : PyBool_FromLong(s.default_value != 0.0 ? 1 : 0));
        PyObject* entry = value ? Py_BuildValue("(s#sOss#)", s.name.data(), static_cast<Py_ssize_t>(s.name.size()),
                                                number ? "number" : "switch", value.get(),
                                                kGroups[static_cast<std::size_t>(s.group)], s.doc.data(),
                                                static_cast<Py_ssize_t>(s.doc.size()))
                                : nullptr;
        if (entry == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return table.release();
}

int exec_module(PyObject* module) {
    return quorlin::py::guarded([&] {
        if (!quorlin::py::install_log_bridge(quorlin::py::LogReach::ScopedCalls) || !keep_loggers()) {
            return -1;
        }
        PyRef threshold = PyRef::steal(PyLong_FromSize_t(kReleaseThreshold));
        PyRef settings = PyRef::steal(threshold ? profile_settings() : nullptr);
        PyRef max_coordinate = PyRef::steal(settings ? PyFloat_FromDouble(kMaxCoordinate) : nullptr);
        const bool ok = max_coordinate && PyModule_AddObjectRef(module, "RELEASE_THRESHOLD", threshold.get()) == 0 &&
                        PyModule_AddObjectRef(module, "MAX_COORDINATE", max_coordinate.get()) == 0 &&
                        PyModule_AddObjectRef(module, "PROFILE_SETTINGS", settings.get()) == 0 &&
                        PyModule_AddFunctions(module, g_methods) == 0;
        return ok ? 0 : -1;
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The log bridge, the loggers and a few objects (numpy.frombuffer,
    // interned names) are kept process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Calls keep no shared mutable state: each converts its argument into its
    // own copy, and a logging call reaches Python only through the bridge,
    // whose cache is safe across threads.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "quorlin._native", nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorlin::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quorlin::native::g_module_def); }
