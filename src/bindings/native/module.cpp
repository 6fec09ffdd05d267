// The extension module quorlin._native: the package's own path to the
// ordering engine. Boxes come in as one N x 4 array (or a sequence of
// 4-item sequences) and are converted once; the engine (or the quality
// profile around it) orders its own copy, without the interpreter lock on
// large pages; the order goes out as a list of ints or a NumPy int64 array,
// and on request with the cut tree as data.
//
// The engine library is linked into this module and into _quorlin_core as
// two private copies (hidden visibility), each with its own log facade. This
// module installs no log sink, so every log call of its engine copy ends
// after one load and one comparison with the level it was built with (off)
// and never reaches Python: that is what lets the engine run here without
// the interpreter lock, and why nothing ordered here is ever logged.

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/guard.hpp"
#include "common/once.hpp"
#include "boxes.hpp"
#include "jsonpage.hpp"
#include "quorlin/engine/observer.hpp"
#include "quorlin/engine/profile.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::native {
namespace {

using quorlin::py::OnceObject;
using quorlin::py::PyRef;
using quorlin::engine::Box;
using quorlin::engine::PageBox;
using quorlin::engine::ProfileOptions;

// From this many boxes on the engine runs without the interpreter lock. A
// page of this size takes the engine about a millisecond, far more than the
// cost of giving the lock away and taking it back (a microsecond or two when
// no other thread wants it); smaller pages, the usual ones of a few dozen
// boxes, keep it, so that threads running Python code are not made to wait
// for the lock to come back several times per page.
constexpr std::size_t kReleaseThreshold = 4096;

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

// A Python error is set: raised through the profile by a Python orderer and
// turned back into the pending error at the entry.
struct PythonError {};

// Frees the memory of boxes no longer needed (assigning {} would keep it).
void free_boxes(std::vector<PageBox>& boxes) noexcept { std::vector<PageBox>().swap(boxes); }

// What the quality profile reads beside the boxes.
struct ProfileArguments {
    std::vector<PageBox> separators;
    PageBox bounds;
    bool have_bounds = false;
    ProfileOptions options;
    PyObject* core = nullptr;  // borrowed; a callable that orders each part, or null for the engine
};

// Whether the error set is a TypeError or a ValueError, which loose bounds
// forgive (cleared; the bounds then count as none).
bool forgiven() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) != 0 || PyErr_ExceptionMatches(PyExc_ValueError) != 0) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// page_bounds: None, or 4 numbers (read as Python's float() reads them).
// With `loose`, anything else counts as no bounds, as the package reads the
// bounds for the profile (it reports bad bounds itself); errors other than
// TypeError and ValueError are raised all the same.
bool parse_bounds(PyObject* obj, bool loose, ProfileArguments& out) {
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    PyRef values = PyRef::steal(PySequence_Tuple(obj));
    if (!values || PyTuple_GET_SIZE(values.get()) != 4) {
        if (loose) {
            return values || forgiven();  // another error stays set
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "page_bounds: expected None or 4 numbers, got %R", obj);
        return false;
    }
    if (loose) {
        for (Py_ssize_t i = 0; i < 4; ++i) {  // text is no number, whatever it reads
            PyObject* item = PyTuple_GET_ITEM(values.get(), i);
            if (PyUnicode_Check(item) || PyBytes_Check(item)) {
                return true;
            }
        }
    }
    double v[4] = {};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        v[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(values.get(), i));
        if (v[i] == -1.0 && PyErr_Occurred() != nullptr) {
            if (loose && forgiven()) {
                return true;
            }
            quorlin::py::prefix_type_error("page_bounds");
            return false;
        }
    }
    out.bounds = PageBox{v[0], v[1], v[2], v[3]};
    out.have_bounds = true;
    return true;
}

bool parse_separators(PyObject* obj, ProfileArguments& out) {
    return obj == nullptr || obj == Py_None || convert_boxes(obj, out.separators, BoxNames{"separators", "separator"});
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
    struct Number {
        const char* name;
        double ProfileOptions::*field;
    };
    struct Switch {
        const char* name;
        bool ProfileOptions::*field;
    };
    static constexpr Number kNumbers[] = {
        {"tol_x", &ProfileOptions::tol_x},
        {"tol_y", &ProfileOptions::tol_y},
        {"margin_max", &ProfileOptions::margin_max},
        {"spread_window", &ProfileOptions::spread_window},
        {"top_strip_max", &ProfileOptions::top_strip_max},
        {"body_fraction", &ProfileOptions::body_fraction},
        {"rule_aspect", &ProfileOptions::rule_aspect},
        {"rule_min_length", &ProfileOptions::rule_min_length},
        {"rule_along", &ProfileOptions::rule_along},
        {"rule_edge", &ProfileOptions::rule_edge},
    };
    static constexpr Switch kSwitches[] = {
        {"spread", &ProfileOptions::spread},       {"rules", &ProfileOptions::rules},
        {"tolerance", &ProfileOptions::tolerance}, {"top_strip", &ProfileOptions::top_strip},
        {"margins", &ProfileOptions::margins},
    };
    // A copy of the items: a value's __float__ may change the dict.
    PyRef items = PyRef::steal(PyDict_Items(obj));
    if (!items) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        const PyRef held_key = PyRef::borrow(key);
        const PyRef held_value = PyRef::borrow(PyTuple_GET_ITEM(item, 1));
        bool known = false;
        for (const Number& n : kNumbers) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, n.name) == 0) {
                const double d = PyFloat_AsDouble(held_value.get());
                if (d == -1.0 && PyErr_Occurred() != nullptr) {
                    PyErr_Clear();
                    PyErr_Format(PyExc_TypeError, "options: %s must be a number, got %R", n.name, held_value.get());
                    return false;
                }
                out.*n.field = d;
                known = true;
            }
        }
        for (const Switch& w : kSwitches) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, w.name) == 0) {
                const int on = PyObject_IsTrue(held_value.get());
                if (on < 0) {
                    return false;
                }
                out.*w.field = on != 0;
                known = true;
            }
        }
        if (!known) {
            PyErr_Format(PyExc_ValueError, "options: unknown setting %R", held_key.get());
            return false;
        }
    }
    if (const char* name = quorlin::engine::invalid_profile_setting(out)) {
        PyErr_Format(PyExc_ValueError, "options: %s must be a finite number, at least 0%s", name,
                     std::string(name) == "rule_edge" ? " and below 0.5" : "");
        return false;
    }
    return true;
}

// Orders each part of the profile by calling core(indices, boxes, frame), a
// Python callable: the input indices of the part, its shrunk boxes as
// 4-tuples of the single-precision values the engine would take, and the
// page's frame; it returns the indices in reading order. The package passes
// one that hands the part to _quorlin_core, whose log lines then show it.
class PythonOrderer final : public quorlin::engine::PartOrderer {
public:
    explicit PythonOrderer(PyObject* core) : core_(core) {}

    std::vector<std::uint32_t> order(std::span<const std::uint32_t> indices, std::span<const Box> boxes,
                                     const PageBox& frame, quorlin::engine::Observer* /*observer*/) override {
        const auto n = static_cast<Py_ssize_t>(indices.size());
        PyRef index_list = PyRef::steal(PyList_New(n));
        PyRef box_list = PyRef::steal(index_list ? PyList_New(n) : nullptr);
        if (!box_list) {
            throw PythonError{};
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Box& b = boxes[static_cast<std::size_t>(i)];
            PyObject* index = PyLong_FromUnsignedLong(indices[static_cast<std::size_t>(i)]);
            if (index == nullptr) {
                throw PythonError{};
            }
            PyList_SET_ITEM(index_list.get(), i, index);
            PyObject* box = Py_BuildValue("(dddd)", double{b.x1}, double{b.y1}, double{b.x2}, double{b.y2});
            if (box == nullptr) {
                throw PythonError{};
            }
            PyList_SET_ITEM(box_list.get(), i, box);
        }
        PyRef bounds = PyRef::steal(Py_BuildValue("(dddd)", frame.x1, frame.y1, frame.x2, frame.y2));
        PyRef result = PyRef::steal(
            bounds ? PyObject_CallFunctionObjArgs(core_, index_list.get(), box_list.get(), bounds.get(), nullptr)
                   : nullptr);
        PyRef items = PyRef::steal(result ? PySequence_Tuple(result.get()) : nullptr);
        if (!items) {
            throw PythonError{};
        }
        // The indices back to positions in the part; each exactly once.
        std::vector<std::uint32_t> positions;
        std::vector<bool> seen(indices.size(), false);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            const unsigned long long value = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(items.get(), i));
            const auto at = std::lower_bound(indices.begin(), indices.end(), value);
            if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
                PyErr_Clear();
            } else if (at != indices.end() && *at == value && !seen[static_cast<std::size_t>(at - indices.begin())]) {
                seen[static_cast<std::size_t>(at - indices.begin())] = true;
                positions.push_back(static_cast<std::uint32_t>(at - indices.begin()));
                continue;
            }
            PyErr_Format(PyExc_ValueError, "core: returned %R, which is not one of the part's indices (once each)",
                         PyTuple_GET_ITEM(items.get(), i));
            throw PythonError{};
        }
        if (positions.size() != indices.size()) {
            PyErr_Format(PyExc_ValueError, "core: returned %zd indices for a part of %zd boxes",
                         PyTuple_GET_SIZE(items.get()), n);
            throw PythonError{};
        }
        return positions;
    }

private:
    PyObject* core_;
};

// Runs `work` (which touches no Python object) without the interpreter lock
// when the page is large. A C++ exception is carried across and rethrown once
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
std::vector<std::uint32_t> run_exact(std::vector<Box>&& boxes, quorlin::engine::Observer* observer) {
    return without_lock_if(boxes.size() >= kReleaseThreshold, [&] {
        return quorlin::engine::order_boxes(std::move(boxes), observer);
    });
}

// The quality profile. With a Python orderer it keeps the lock, which that
// orderer needs; a PythonError it throws leaves its Python error set.
std::vector<std::uint32_t> run_quality(const std::vector<PageBox>& boxes, const ProfileArguments& args,
                                       quorlin::engine::ProfileTrace* trace) {
    if (args.core != nullptr) {
        PythonOrderer orderer(args.core);
        return quorlin::engine::order_profile(boxes, args.have_bounds ? &args.bounds : nullptr, args.separators,
                                              args.options, trace, &orderer);
    }
    return without_lock_if(boxes.size() >= kReleaseThreshold, [&] {
        return quorlin::engine::order_profile(boxes, args.have_bounds ? &args.bounds : nullptr, args.separators,
                                              args.options, trace);
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

constexpr const char* kOrderParams[] = {"boxes",   "as_array", "profile",     "page_bounds",
                                         "separators", "options", "core", "loose_bounds"};
constexpr quorlin::py::Signature kOrderSignature = {"order()", kOrderParams, 1};

// The profile's arguments beside the boxes (bound[0..4): page_bounds,
// separators, options, core); the exact profile reads none of them.
bool parse_profile_arguments(PyObject* const* bound, std::size_t count, bool loose_bounds, ProfileArguments& out) {
    if (!parse_bounds(bound[0], loose_bounds, out) || !parse_separators(bound[1], out) ||
        !parse_options(bound[2], out.options)) {
        return false;
    }
    if (count > 3 && bound[3] != nullptr && bound[3] != Py_None) {
        if (!PyCallable_Check(bound[3])) {
            PyErr_Format(PyExc_TypeError, "core: expected None or a callable, got %R", bound[3]);
            return false;
        }
        out.core = bound[3];
    }
    return true;
}

PyObject* order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[8] = {};
        if (!quorlin::py::bind_fast(kOrderSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const int as_array = bound[1] == nullptr ? 0 : PyObject_IsTrue(bound[1]);
        const int loose_bounds = bound[7] == nullptr ? 0 : PyObject_IsTrue(bound[7]);
        Profile profile{};
        if (as_array < 0 || loose_bounds < 0 || !parse_profile(bound[2], profile)) {
            return nullptr;
        }
        std::vector<std::uint32_t> ordered;
        if (profile == Profile::Exact) {
            // The other arguments are checked (and the separators converted,
            // which checks them) but do not change the exact order.
            std::vector<Box> boxes;
            ProfileArguments arguments;
            if (!convert_boxes(bound[0], boxes) ||
                !parse_profile_arguments(bound + 3, 4, loose_bounds != 0, arguments)) {
                return nullptr;
            }
            free_boxes(arguments.separators);  // checked, not needed
            ordered = run_exact(std::move(boxes), nullptr);
        } else {
            std::vector<PageBox> boxes;
            ProfileArguments arguments;
            if (!convert_boxes(bound[0], boxes) ||
                !parse_profile_arguments(bound + 3, 4, loose_bounds != 0, arguments)) {
                return nullptr;
            }
            try {
                ordered = run_quality(boxes, arguments, nullptr);
            } catch (const PythonError&) {
                return nullptr;
            }
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
        try {
            f();
        } catch (...) {
            failed_ = true;
        }
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

OnceObject g_profile_kind_names[6];

// One event of the profile's trace, in the shape of event_tuple().
PyObject* trace_tuple(const quorlin::engine::TraceEvent& e) {
    static const char* const kKinds[] = {"cut", "one_group", "no_valid_cut", "all_cross_layout", "fold", "top_strip"};
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

// (lo, hi, depth, size, top_strip, frame, dx, dy) of one part the engine ordered.
PyObject* part_tuple(const quorlin::engine::TracePart& p) {
    return Py_BuildValue("(IIIIO(dddd)dd)", p.lo, p.hi, p.depth, p.size, p.top_strip ? Py_True : Py_False,
                         p.frame.x1, p.frame.y1, p.frame.x2, p.frame.y2, p.dx, p.dy);
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

constexpr const char* kExplainParams[] = {"boxes", "profile", "page_bounds", "separators", "options"};
constexpr quorlin::py::Signature kExplainSignature = {"explain()", kExplainParams, 1};

PyObject* explain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[5] = {};
        if (!quorlin::py::bind_fast(kExplainSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Profile profile{};
        if (!parse_profile(bound[1], profile)) {
            return nullptr;
        }
        if (profile == Profile::Quality) {
            std::vector<PageBox> boxes;
            ProfileArguments arguments;
            if (!convert_boxes(bound[0], boxes) || !parse_profile_arguments(bound + 2, 3, false, arguments)) {
                return nullptr;
            }
            quorlin::engine::ProfileTrace trace;
            const std::vector<std::uint32_t> ordered = run_quality(boxes, arguments, &trace);
            return explanation(ordered, trace.segment_order, trace.set_aside, tuple_list(trace.events, trace_tuple),
                               &trace);
        }
        std::vector<Box> boxes;
        ProfileArguments arguments;
        if (!convert_boxes(bound[0], boxes) || !parse_profile_arguments(bound + 2, 3, false, arguments)) {
            return nullptr;
        }
        free_boxes(arguments.separators);  // checked, not needed
        const std::size_t n = boxes.size();
        Recorder recorder;
        const std::vector<std::uint32_t> ordered = run_exact(std::move(boxes), &recorder);
        recorder.check();
        if (n < 2) {
            recorder.segmented_ = ordered;  // no segmentation ran: the one box, or none
        }
        return explanation(ordered, recorder.segmented_, recorder.set_aside_,
                           tuple_list(recorder.events_, event_tuple), nullptr);
    });
}


// ---- order_json_page() -----------------------------------------------------

constexpr const char* kPageParams[] = {"page", "label_role", "profile", "options"};
constexpr quorlin::py::Signature kPageSignature = {"order_json_page()", kPageParams, 2};

PyObject* order_json_page(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[4] = {};
        if (!quorlin::py::bind_fast(kPageSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Profile profile{};
        ProfileArguments arguments;
        if (!parse_profile(bound[2], profile) || !parse_options(bound[3], arguments.options)) {
            return nullptr;
        }
        JsonPage page;
        const int status = read_json_page(bound[0], bound[1], page);
        if (status <= 0) {
            return status < 0 ? nullptr : Py_NewRef(Py_None);
        }
        std::vector<std::uint32_t> ordered;
        if (profile == Profile::Exact) {
            std::vector<Box> boxes;
            boxes.reserve(page.boxes.size());
            for (const PageBox& b : page.boxes) {  // each within 2^24: exact in single precision
                boxes.push_back(Box{static_cast<float>(b.x1), static_cast<float>(b.y1), static_cast<float>(b.x2),
                                    static_cast<float>(b.y2)});
            }
            free_boxes(page.boxes);  // copied
            ordered = run_exact(std::move(boxes), nullptr);
        } else {
            arguments.separators = std::move(page.separators);
            arguments.bounds = page.bounds;
            arguments.have_bounds = true;
            ordered = run_quality(page.boxes, arguments, nullptr);
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ordered.size())));
        if (!list) {
            return nullptr;
        }
        for (std::size_t i = 0; i < ordered.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(page.ids[ordered[i]].get()));
        }
        return list.release();
    });
}

// ---- Module ----------------------------------------------------------------

PyMethodDef g_methods[] = {
    {"order", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(order)), METH_FASTCALL | METH_KEYWORDS,
     "order(boxes, as_array=False, profile=None, page_bounds=None, separators=None, options=None, core=None,\n"
     "      loose_bounds=False)\n--\n\n"
     "The reading order of the boxes (an N x 4 array or a sequence of\n"
     "(x1, y1, x2, y2)) as box indices: a list, or a NumPy int64 array.\n"
     "profile is None or 'exact' (the engine alone) or 'quality' (the quality\n"
     "profile, which also reads page_bounds, separators (boxes) and options, a\n"
     "dict of its settings; core(indices, boxes, frame), when given, orders\n"
     "each part of the page instead of the engine). With loose_bounds,\n"
     "page_bounds that are not 4 numbers count as none instead of raising a\n"
     "TypeError or ValueError."},
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(explain)), METH_FASTCALL | METH_KEYWORDS,
     "explain(boxes, profile=None, page_bounds=None, separators=None, options=None)\n--\n\n"
     "The order of the boxes with the steps that made it: a tuple (order,\n"
     "segment_order, set_aside, events, margin_notes, non_finite, parts).\n"
     "segment_order is the boxes the engine segmented, in reading order, before\n"
     "the set-aside boxes, margin notes and non-finite boxes are merged back;\n"
     "each event is (kind, axis, position, gap, lo, mid, hi, depth, bounds),\n"
     "where lo, mid and hi are positions in segment_order; each part is (lo, hi,\n"
     "depth, size, top_strip, frame, dx, dy)."},
    {"order_json_page", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(order_json_page)),
     METH_FASTCALL | METH_KEYWORDS,
     "order_json_page(page, label_role, profile=None, options=None)\n--\n\n"
     "The ids of a JSON page's regions in reading order, read straight from\n"
     "the page dict; None when the page needs the Python reader (it is not\n"
     "valid, or has something the fast path does not decide). label_role(text)\n"
     "gives the role of an element with that \"label\": false to order it,\n"
     "'separator' for a separator, anything else true to leave it out."},
    {nullptr, nullptr, 0, nullptr},
};

// The quality profile's default settings by name, as options= takes them.
PyObject* profile_defaults() {
    const ProfileOptions d;
    return Py_BuildValue(
        "{sdsdsdsdsdsdsdsdsdsdsOsOsOsOsO}", "tol_x", d.tol_x, "tol_y", d.tol_y, "margin_max", d.margin_max,
        "spread_window", d.spread_window, "top_strip_max", d.top_strip_max, "body_fraction", d.body_fraction,
        "rule_aspect", d.rule_aspect, "rule_min_length", d.rule_min_length, "rule_along", d.rule_along, "rule_edge",
        d.rule_edge, "spread", d.spread ? Py_True : Py_False, "rules", d.rules ? Py_True : Py_False, "tolerance",
        d.tolerance ? Py_True : Py_False, "top_strip", d.top_strip ? Py_True : Py_False, "margins",
        d.margins ? Py_True : Py_False);
}

int exec_module(PyObject* module) {
    return quorlin::py::guarded([&] {
        PyRef threshold = PyRef::steal(PyLong_FromSize_t(kReleaseThreshold));
        PyRef defaults = PyRef::steal(threshold ? profile_defaults() : nullptr);
        const bool ok = defaults && PyModule_AddObjectRef(module, "RELEASE_THRESHOLD", threshold.get()) == 0 &&
                        PyModule_AddObjectRef(module, "PROFILE_DEFAULTS", defaults.get()) == 0 &&
                        PyModule_AddFunctions(module, g_methods) == 0;
        return ok ? 0 : -1;
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // A few objects (numpy.frombuffer, interned names) are kept process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Calls keep no shared mutable state: each converts its argument into its
    // own copy and the engine copy of this module never calls Python.
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
