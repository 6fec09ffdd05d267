// The extension module quorlin._native: the package's own path to the
// ordering engine. Boxes come in as one N x 4 array (or a sequence of
// 4-item sequences) and are converted once; the engine orders its own copy,
// without the interpreter lock on large pages; the order goes out as a list
// of ints or a NumPy int64 array, and on request with the cut tree as data.
//
// The engine library is linked into this module and into _quorlin_core as
// two private copies (hidden visibility), each with its own log facade. This
// module installs no log sink, so every log call of its engine copy ends
// after one load and one comparison with the level it was built with (off)
// and never reaches Python: that is what lets the engine run here without
// the interpreter lock, and why nothing ordered here is ever logged.

#include <cstring>
#include <exception>
#include <vector>

#include "../arguments.hpp"
#include "../guard.hpp"
#include "../once.hpp"
#include "boxes.hpp"
#include "jsonpage.hpp"
#include "quorlin_sorter/observer.hpp"
#include "quorlin_sorter/sorter.hpp"

namespace quorlin::native {
namespace {

using quorlin::py::OnceObject;
using quorlin::py::PyRef;
using quorlin::sorter::Box;

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
// alone, which gives exactly the order of _quorlin_core on the same boxes.
// Other profiles will adjust the geometry before the engine runs (and may
// map its order afterwards); they go in run_profile().

enum class Profile : std::uint8_t { Exact };

bool parse_profile(PyObject* obj, Profile& out) {
    if (obj == nullptr || obj == Py_None) {
        out = Profile::Exact;
        return true;
    }
    if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "exact") == 0) {
        out = Profile::Exact;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "profile: expected None or 'exact', got %R", obj);
    return false;
}

std::vector<std::uint32_t> run_profile(Profile profile, std::vector<Box>&& boxes,
                                       quorlin::sorter::Observer* observer) {
    switch (profile) {
        case Profile::Exact:
            break;
    }
    return quorlin::sorter::order_boxes(std::move(boxes), observer);
}

// Runs the profile, without the interpreter lock when the page is large. The
// engine touches no Python object (see the top of this file), and the boxes
// are this call's own copy. A C++ exception is carried across and rethrown
// once the lock is back, for guarded() to translate.
std::vector<std::uint32_t> run_ordering(Profile profile, std::vector<Box>&& boxes,
                                        quorlin::sorter::Observer* observer) {
    if (boxes.size() < kReleaseThreshold) {
        return run_profile(profile, std::move(boxes), observer);
    }
    std::vector<std::uint32_t> order;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        order = run_profile(profile, std::move(boxes), observer);
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

constexpr const char* kOrderParams[] = {"boxes", "as_array", "profile"};
constexpr quorlin::py::Signature kOrderSignature = {"order()", kOrderParams, 1};

PyObject* order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!quorlin::py::bind_fast(kOrderSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const int as_array = bound[1] == nullptr ? 0 : PyObject_IsTrue(bound[1]);
        Profile profile{};
        if (as_array < 0 || !parse_profile(bound[2], profile)) {
            return nullptr;
        }
        std::vector<Box> boxes;
        if (!convert_boxes(bound[0], boxes)) {
            return nullptr;
        }
        const std::vector<std::uint32_t> ordered = run_ordering(profile, std::move(boxes), nullptr);
        return as_array != 0 ? index_array(ordered) : index_list(ordered);
    });
}


// ---- explain() -------------------------------------------------------------

// Keeps every report of the engine as plain values; Python objects are made
// from them once the engine is done.
class Recorder final : public quorlin::sorter::Observer {
public:
    enum class Kind : std::uint8_t { Cut, OneGroup, NoValidCut, AllCrossLayout };
    struct Event {
        Kind kind;
        quorlin::sorter::CutReport cut;
    };

    void set_aside(std::span<const std::uint32_t> indices) noexcept override {
        record([&] { set_aside_.assign(indices.begin(), indices.end()); });
    }
    void all_cross_layout() noexcept override {
        record([&] { events_.push_back(Event{Kind::AllCrossLayout, {}}); });
    }
    void cut(const quorlin::sorter::CutReport& cut) noexcept override {
        record([&] { events_.push_back(Event{Kind::Cut, cut}); });
    }
    void one_group(const quorlin::sorter::CutReport& cut) noexcept override {
        record([&] { events_.push_back(Event{Kind::OneGroup, cut}); });
    }
    void no_valid_cut(const quorlin::sorter::FallbackReport& set) noexcept override {
        record([&] {
            events_.push_back(Event{Kind::NoValidCut,
                                    {quorlin::sorter::CutAxis::Horizontal, 0.0F, 0.0F, set.lo, set.lo, set.hi,
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
    const quorlin::sorter::Bounds& b = e.cut.bounds;
    if (e.kind == Recorder::Kind::NoValidCut) {
        return Py_BuildValue("(OOOOIIII(dddd))", kind, Py_None, Py_None, Py_None, e.cut.lo, e.cut.mid, e.cut.hi,
                             e.cut.depth, double{b.left}, double{b.top}, double{b.right}, double{b.bottom});
    }
    const bool horizontal = e.cut.axis == quorlin::sorter::CutAxis::Horizontal;
    PyObject* axis = interned(g_axis_names[horizontal ? 0 : 1], horizontal ? "y" : "x");
    if (axis == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(OOddIIII(dddd))", kind, axis, double{e.cut.position}, double{e.cut.gap}, e.cut.lo,
                         e.cut.mid, e.cut.hi, e.cut.depth, double{b.left}, double{b.top}, double{b.right},
                         double{b.bottom});
}

constexpr const char* kExplainParams[] = {"boxes", "profile"};
constexpr quorlin::py::Signature kExplainSignature = {"explain()", kExplainParams, 1};

PyObject* explain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[2] = {};
        if (!quorlin::py::bind_fast(kExplainSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Profile profile{};
        if (!parse_profile(bound[1], profile)) {
            return nullptr;
        }
        std::vector<Box> boxes;
        if (!convert_boxes(bound[0], boxes)) {
            return nullptr;
        }
        const std::size_t n = boxes.size();
        Recorder recorder;
        const std::vector<std::uint32_t> ordered = run_ordering(profile, std::move(boxes), &recorder);
        recorder.check();
        if (n < 2) {
            recorder.segmented_ = ordered;  // no segmentation ran: the one box, or none
        }
        PyRef order_list = PyRef::steal(index_list(ordered));
        PyRef segmented = PyRef::steal(order_list ? index_list(recorder.segmented_) : nullptr);
        PyRef set_aside = PyRef::steal(segmented ? index_list(recorder.set_aside_) : nullptr);
        if (!set_aside) {
            return nullptr;
        }
        PyRef events = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(recorder.events_.size())));
        if (!events) {
            return nullptr;
        }
        for (std::size_t i = 0; i < recorder.events_.size(); ++i) {
            PyObject* item = event_tuple(recorder.events_[i]);
            if (item == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(events.get(), static_cast<Py_ssize_t>(i), item);
        }
        return PyTuple_Pack(4, order_list.get(), segmented.get(), set_aside.get(), events.get());
    });
}


// ---- order_json_page() -----------------------------------------------------

constexpr const char* kPageParams[] = {"page", "skip_label", "profile"};
constexpr quorlin::py::Signature kPageSignature = {"order_json_page()", kPageParams, 2};

PyObject* order_json_page(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quorlin::py::guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!quorlin::py::bind_fast(kPageSignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Profile profile{};
        if (!parse_profile(bound[2], profile)) {
            return nullptr;
        }
        JsonPage page;
        const int status = read_json_page(bound[0], bound[1], page);
        if (status <= 0) {
            return status < 0 ? nullptr : Py_NewRef(Py_None);
        }
        const std::vector<std::uint32_t> ordered = run_ordering(profile, std::move(page.boxes), nullptr);
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
     "order(boxes, as_array=False, profile=None)\n--\n\n"
     "The reading order of the boxes (an N x 4 array or a sequence of\n"
     "(x1, y1, x2, y2)) as box indices: a list, or a NumPy int64 array."},
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(explain)), METH_FASTCALL | METH_KEYWORDS,
     "explain(boxes, profile=None)\n--\n\n"
     "The order of the boxes with the steps that made it: a tuple (order,\n"
     "segment_order, set_aside, events). segment_order is the main boxes in\n"
     "reading order before the set-aside boxes are merged back; each event is\n"
     "(kind, axis, position, gap, lo, mid, hi, depth, bounds), where lo, mid\n"
     "and hi are positions in segment_order."},
    {"order_json_page", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(order_json_page)),
     METH_FASTCALL | METH_KEYWORDS,
     "order_json_page(page, skip_label, profile=None)\n--\n\n"
     "The ids of a JSON page's regions in reading order, read straight from\n"
     "the page dict; None when the page needs the Python reader (it is not\n"
     "valid, or has something the fast path does not decide). skip_label(text)\n"
     "says whether an element with that \"label\" is left out of the order."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    return quorlin::py::guarded([&] {
        PyRef threshold = PyRef::steal(PyLong_FromSize_t(kReleaseThreshold));
        const bool ok = threshold && PyModule_AddObjectRef(module, "RELEASE_THRESHOLD", threshold.get()) == 0 &&
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
