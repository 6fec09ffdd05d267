#include "jsonpage.hpp"

#include <cmath>

namespace quorlin::native {
namespace {

using quorlin::py::PyRef;

// The largest coordinate magnitude a page may have (2^24: every integer up
// to it is a float exactly).
constexpr double kMaxCoordinate = 16777216.0;
constexpr long long kMaxIntCoordinate = 16777216;

// A coordinate as the reader accepts it: an int (not a bool) or a float,
// finite and at most 2^24 in magnitude, as the reader's float(value). False
// for anything else.
bool coordinate(PyObject* value, double& out) {
    if (PyFloat_Check(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(d) || std::fabs(d) > kMaxCoordinate) {
            return false;
        }
        out = d;
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0 || v > kMaxIntCoordinate || v < -kMaxIntCoordinate) {
            return false;
        }
        out = static_cast<double>(v);
        return true;
    }
    return false;
}

// The least and greatest of some values, the first of equal ones kept (as
// Python's min() and max() of a list).
struct Range {
    bool any = false;
    double lo = 0.0;
    double hi = 0.0;
    void add(double v) noexcept {
        lo = !any || v < lo ? v : lo;
        hi = !any || v > hi ? v : hi;
        any = true;
    }
};

bool is_id(PyObject* value) { return PyLong_CheckExact(value) || PyUnicode_CheckExact(value); }

// Looks a key up without raising (the keys are str, the dict exact).
PyObject* item(PyObject* dict, PyObject* key) { return PyDict_GetItemWithError(dict, key); }

struct Keys {
    PyRef width, height, elements, id, box, x1, y1, x2, y2, label, type, order;
    PyRef separator, noise, separator_role;
    bool ok = false;
    Keys() {
        const char* names[] = {"width",  "height", "elements", "id",    "box",
                               "x1",     "y1",     "x2",       "y2",    "label",
                               "type",   "order",  "SeparatorRegion", "NoiseRegion", "separator"};
        PyRef* slots[] = {&width, &height, &elements, &id,    &box,       &x1,    &y1,           &x2,
                          &y2,    &label,  &type,     &order, &separator, &noise, &separator_role};
        for (std::size_t i = 0; i < std::size(names); ++i) {
            *slots[i] = PyRef::steal(PyUnicode_InternFromString(names[i]));
            if (!*slots[i]) {
                return;
            }
        }
        ok = true;
    }
};

}  // namespace

int read_json_page(PyObject* page, PyObject* label_role, JsonPage& out) {
    static Keys* keys = new Keys();  // kept for the process; interned names only
    if (!keys->ok) {
        PyErr_NoMemory();
        return -1;
    }
    if (!PyDict_CheckExact(page)) {
        return 0;
    }
    double size[2] = {};
    int sizes = 0;
    for (PyObject* key : {keys->width.get(), keys->height.get()}) {
        PyObject* value = item(page, key);
        if (value == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                return -1;
            }
            continue;
        }
        double f = 0.0;
        if (!coordinate(value, f) || f < 0.0) {
            return 0;
        }
        size[key == keys->width.get() ? 0 : 1] = f;
        sizes += key == keys->width.get() ? 1 : 2;
    }
    PyObject* elements = item(page, keys->elements.get());
    if (elements == nullptr || !PyList_CheckExact(elements)) {
        return PyErr_Occurred() != nullptr ? -1 : 0;
    }
    const Py_ssize_t n = PyList_GET_SIZE(elements);
    out.ids.reserve(static_cast<std::size_t>(n));
    out.boxes.reserve(static_cast<std::size_t>(n));
    PyRef seen = PyRef::steal(PySet_New(nullptr));
    if (!seen) {
        return -1;
    }
    // The union of every element's box, the page bounds without a size: of the
    // regions to order, then of the others (Page.bounds unites them in that order).
    Range xs[2];
    Range ys[2];
    // The ids of every element: those of skipped ones count for duplicates
    // and for "order" too. Index ids are made only where an element has none.
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(elements); ++index) {
        const PyRef element_ref = PyRef::borrow(PyList_GET_ITEM(elements, index));
        PyObject* element = element_ref.get();
        if (!PyDict_CheckExact(element)) {
            return 0;
        }
        PyObject* id = item(element, keys->id.get());
        PyRef made;
        if (id == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                return -1;
            }
            made = PyRef::steal(PyLong_FromSsize_t(index));
            if (!made) {
                return -1;
            }
            id = made.get();
        } else if (!is_id(id)) {
            return 0;
        }
        PyRef id_ref = made ? std::move(made) : PyRef::borrow(id);
        const int known = PySet_Contains(seen.get(), id);
        if (known != 0) {
            return known < 0 ? -1 : 0;
        }
        if (PySet_Add(seen.get(), id) < 0) {
            return -1;
        }
        double c[4] = {};
        PyObject* box = item(element, keys->box.get());
        if (box != nullptr) {
            if (!PyList_CheckExact(box) || PyList_GET_SIZE(box) != 4) {
                return 0;
            }
            for (Py_ssize_t k = 0; k < 4; ++k) {
                if (!coordinate(PyList_GET_ITEM(box, k), c[k])) {
                    return 0;
                }
            }
        } else {
            if (PyErr_Occurred() != nullptr) {
                return -1;
            }
            PyObject* corner_keys[] = {keys->x1.get(), keys->y1.get(), keys->x2.get(), keys->y2.get()};
            for (int k = 0; k < 4; ++k) {
                PyObject* value = item(element, corner_keys[k]);
                if (value == nullptr) {
                    return PyErr_Occurred() != nullptr ? -1 : 0;
                }
                if (!coordinate(value, c[k])) {
                    return 0;
                }
            }
        }
        bool skipped = false;
        bool separator = false;
        PyObject* label = item(element, keys->label.get());
        if (label != nullptr) {
            if (!PyUnicode_Check(label)) {
                return 0;
            }
            // Python code: everything read from the element is held first.
            const PyRef held_label = PyRef::borrow(label);
            const PyRef answer = PyRef::steal(PyObject_CallOneArg(label_role, held_label.get()));
            const int skip = answer ? PyObject_IsTrue(answer.get()) : -1;
            if (skip < 0) {
                return -1;
            }
            skipped = skip != 0;
            if (skipped && PyUnicode_Check(answer.get())) {
                separator = PyUnicode_Compare(answer.get(), keys->separator_role.get()) == 0;
                if (PyErr_Occurred() != nullptr) {
                    return -1;
                }
            }
        } else {
            if (PyErr_Occurred() != nullptr) {
                return -1;
            }
            PyObject* type = item(element, keys->type.get());
            if (type != nullptr && PyUnicode_Check(type)) {
                separator = PyUnicode_Compare(type, keys->separator.get()) == 0;
                skipped = separator || PyUnicode_Compare(type, keys->noise.get()) == 0;
            }
            if (PyErr_Occurred() != nullptr) {
                return -1;
            }
        }
        xs[skipped ? 1 : 0].add(c[0]);
        xs[skipped ? 1 : 0].add(c[2]);
        ys[skipped ? 1 : 0].add(c[1]);
        ys[skipped ? 1 : 0].add(c[3]);
        if (!skipped) {
            out.ids.push_back(std::move(id_ref));
            out.boxes.push_back(quorlin::engine::PageBox{c[0], c[1], c[2], c[3]});
        } else if (separator) {
            out.separators.push_back(quorlin::engine::PageBox{c[0], c[1], c[2], c[3]});
        }
    }
    if (PyList_GET_SIZE(elements) != n) {
        return 0;  // a label check changed the page
    }
    PyObject* stored = item(page, keys->order.get());
    if (stored != nullptr) {
        if (!PyList_CheckExact(stored)) {
            return 0;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stored); ++i) {
            PyObject* id = PyList_GET_ITEM(stored, i);
            if (!is_id(id)) {
                return 0;
            }
            const int known = PySet_Contains(seen.get(), id);
            if (known <= 0) {
                return known < 0 ? -1 : 0;
            }
        }
    } else if (PyErr_Occurred() != nullptr) {
        return -1;
    }
    if (sizes == 3) {
        out.bounds = quorlin::engine::PageBox{0.0, 0.0, size[0], size[1]};
    } else {
        for (Range* r : {&xs[0], &ys[0]}) {
            Range& others = r == &xs[0] ? xs[1] : ys[1];
            if (others.any) {
                r->add(others.lo);
                r->add(others.hi);
            }
        }
        if (xs[0].any) {
            out.bounds = quorlin::engine::PageBox{xs[0].lo, ys[0].lo, xs[0].hi, ys[0].hi};
        }
    }
    return 1;
}

}  // namespace quorlin::native
