#include "jsonpage.hpp"

#include <cmath>
#include <cstring>

namespace quorlin::native {
namespace {

using quorlin::py::PyRef;

constexpr long long kMaxIntCoordinate = static_cast<long long>(kMaxCoordinate);

// A coordinate as the package accepts it: an int (not a bool) or a float,
// finite and at most 2^24 in magnitude (an int compared exactly), read as
// float(value). False for anything else.
inline bool coordinate(PyObject* value, double& out) {
    // A float subclass (OverflowedFloat, of a number too large for a double)
    // is a float too; the exact types are tested first, as the usual ones.
    if (PyFloat_CheckExact(value) || (!PyLong_CheckExact(value) && PyFloat_Check(value))) {
        const double d = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(d) || std::fabs(d) > kMaxCoordinate) {
            return false;
        }
        out = d;
        return true;
    }
    if (PyLong_Check(value) && !PyBool_Check(value)) {
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

bool is_id(PyObject* value) { return (PyLong_Check(value) && !PyBool_Check(value)) || PyUnicode_Check(value); }

struct Keys {
    PyRef width, height, elements, id, box, x1, y1, x2, y2, label, type, subtype, order, empty;
    bool ok = false;
    Keys() {
        const char* names[] = {"width", "height", "elements", "id",    "box",     "x1",    "y1",
                               "x2",    "y2",     "label",    "type",  "subtype", "order", ""};
        PyRef* slots[] = {&width, &height, &elements, &id,    &box,     &x1,    &y1,
                          &x2,    &y2,     &label,    &type,  &subtype, &order, &empty};
        for (std::size_t i = 0; i < std::size(names); ++i) {
            *slots[i] = PyRef::steal(PyUnicode_InternFromString(names[i]));
            if (!*slots[i]) {
                return;
            }
        }
        ok = true;
    }
};

// A key looked up in a dict: the value (borrowed), or null when the key is
// absent; `failed` when the lookup raised.
PyObject* lookup(PyObject* dict, PyObject* key, bool& failed) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    failed = value == nullptr && PyErr_Occurred() != nullptr;
    return value;
}

// Whether two texts (or two Nones) are equal: compared, never hashed (the
// texts of a decoded page are new objects, whose hash is not computed yet).
bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) {
        return true;
    }
    if (a == Py_None || b == Py_None) {
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Each element's (label, kind, role), asked of element_label once per
// distinct ("label", "type", "subtype") texts of a page: a label is a
// function of those texts alone. A page has a few distinct ones, and an
// element mostly has those of the element before it.
class Labels {
public:
    Labels(PyObject* element_label, PyObject* role_code, PyObject* empty)
        : element_label_(element_label), role_code_(role_code), empty_(empty) {}

    // The role code of the answer given last (0 without role_code).
    std::uint8_t code() const noexcept { return code_; }

    // Borrowed (the answers are kept for the page); null with an error set
    // when element_label raised or answered something else than (label,
    // kind, role).
    PyObject* of_label(PyObject* text) { return answer(text, Py_None, empty_); }
    PyObject* of_type(PyObject* type, PyObject* subtype) { return answer(Py_None, type, subtype); }
    // An element with neither.
    PyObject* plain() { return answer(Py_None, Py_None, empty_); }

private:
    struct Known {
        PyRef label;
        PyRef type;
        PyRef subtype;
        PyRef answer;
        std::uint8_t code;
    };

    PyObject* answer(PyObject* label, PyObject* type, PyObject* subtype) {
        const auto matches = [&](const Known& k) {
            return same_text(k.label.get(), label) && same_text(k.type.get(), type) &&
                   same_text(k.subtype.get(), subtype);
        };
        if (last_ < known_.size() && matches(known_[last_])) {
            code_ = known_[last_].code;
            return known_[last_].answer.get();
        }
        for (std::size_t i = 0; i < known_.size(); ++i) {
            if (matches(known_[i])) {
                last_ = i;
                code_ = known_[i].code;
                return known_[i].answer.get();
            }
        }
        PyObject* args[] = {label, type, subtype};
        PyRef made = PyRef::steal(PyObject_Vectorcall(element_label_, args, 3, nullptr));
        if (!made) {
            return nullptr;
        }
        if (!PyTuple_Check(made.get()) || PyTuple_GET_SIZE(made.get()) != 3 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(made.get(), 2))) {
            PyErr_Format(PyExc_TypeError, "element_label: expected a tuple (label, kind, role), got %R", made.get());
            return nullptr;
        }
        std::uint8_t code = 0;
        if (role_code_ != nullptr) {
            PyObject* kind = PyTuple_GET_ITEM(made.get(), 1);
            PyRef given = PyRef::steal(PyObject_CallOneArg(role_code_, kind));
            if (!given) {
                return nullptr;
            }
            const long value = PyLong_Check(given.get()) ? PyLong_AsLong(given.get()) : -1;
            if (value < 0 || value > 255) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "role_code: expected an int 0..255, got %R", given.get());
                return nullptr;
            }
            code = static_cast<std::uint8_t>(value);
        }
        last_ = known_.size();
        known_.push_back(
            Known{PyRef::borrow(label), PyRef::borrow(type), PyRef::borrow(subtype), std::move(made), code});
        code_ = code;
        return known_.back().answer.get();
    }

    PyObject* element_label_;
    PyObject* role_code_;
    PyObject* empty_;
    std::uint8_t code_ = 0;
    std::vector<Known> known_;
    std::size_t last_ = 0;
};

// The reading of one page.
class Reader {
public:
    Reader(const Keys& keys, const JsonReading& reading, JsonPage& out, JsonProblem& problem)
        : keys_(keys), reading_(reading), out_(out), problem_(problem),
          labels_(reading.element_label, reading.role_code, keys.empty.get()) {}

    JsonRead read(PyObject* page) {
        if (!PyDict_Check(page)) {
            return report(JsonProblem::Kind::NotAnObject, page);
        }
        double size[2] = {};
        int sizes = 0;
        for (int k = 0; k < 2; ++k) {
            bool failed = false;
            PyObject* value = lookup(page, k == 0 ? keys_.width.get() : keys_.height.get(), failed);
            if (failed) {
                return JsonRead::Failed;
            }
            if (value == nullptr) {
                continue;
            }
            problem_.key = k == 0 ? "width" : "height";
            if (!coordinate(value, size[k])) {
                return report(JsonProblem::Kind::BadSize, value);
            }
            if (size[k] < 0.0) {
                return report(JsonProblem::Kind::NegativeSize, nullptr);
            }
            problem_.key = nullptr;
            sizes |= 1 << k;
        }
        bool failed = false;
        PyObject* elements = lookup(page, keys_.elements.get(), failed);
        if (failed) {
            return JsonRead::Failed;
        }
        if (elements == nullptr) {
            return report(JsonProblem::Kind::NoElements, nullptr);
        }
        if (!PyList_Check(elements)) {
            return report(JsonProblem::Kind::ElementsNotAList, elements);
        }
        const PyRef held_elements = PyRef::borrow(elements);
        seen_ = PyRef::steal(PySet_New(nullptr));
        if (!seen_ || (building() && !(out_.regions = PyRef::steal(PyList_New(0)))) ||
            (building() && !(out_.skipped = PyRef::steal(PyList_New(0))))) {
            return JsonRead::Failed;
        }
        out_.ids.reserve(static_cast<std::size_t>(PyList_GET_SIZE(elements)));
        out_.boxes.reserve(static_cast<std::size_t>(PyList_GET_SIZE(elements)));
        // Read one by one, the size checked on each step: a label callback
        // runs Python code.
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(elements); ++index) {
            const JsonRead read = element(index, PyRef::borrow(PyList_GET_ITEM(elements, index)).get());
            if (read != JsonRead::Page) {
                return read;
            }
        }
        const JsonRead order = stored_order(page);
        if (order != JsonRead::Page) {
            return order;
        }
        bounds(sizes == 3 ? size : nullptr);
        if (building()) {
            out_.width = PyRef::steal((sizes & 1) != 0 ? PyFloat_FromDouble(size[0]) : Py_NewRef(Py_None));
            out_.height = PyRef::steal((sizes & 2) != 0 ? PyFloat_FromDouble(size[1]) : Py_NewRef(Py_None));
            if (!out_.reading_order) {
                out_.reading_order = PyRef::borrow(Py_None);
            }
            if (!out_.width || !out_.height) {
                return JsonRead::Failed;
            }
        }
        return JsonRead::Page;
    }

private:
    bool building() const noexcept { return reading_.region != nullptr; }

    // The first problem: of the element being read (index_, id_), if any.
    JsonRead report(JsonProblem::Kind kind, PyObject* value) {
        problem_.kind = kind;
        problem_.index = index_;
        problem_.id = PyRef::borrow(id_);
        problem_.value = PyRef::borrow(value);
        return JsonRead::Problem;
    }

    // One element, which the caller holds.
    JsonRead element(Py_ssize_t index, PyObject* item) {
        index_ = index;
        id_ = nullptr;
        if (!PyDict_Check(item)) {
            return report(JsonProblem::Kind::ElementNotAnObject, item);
        }
        bool failed = false;
        PyObject* given = lookup(item, keys_.id.get(), failed);
        if (failed) {
            return JsonRead::Failed;
        }
        if (given != nullptr && !is_id(given)) {
            return report(JsonProblem::Kind::BadId, given);
        }
        const PyRef id = given != nullptr ? PyRef::borrow(given) : PyRef::steal(PyLong_FromSsize_t(index));
        if (!id) {
            return JsonRead::Failed;
        }
        const int known = PySet_Contains(seen_.get(), id.get());
        if (known < 0 || (known == 0 && PySet_Add(seen_.get(), id.get()) < 0)) {
            return JsonRead::Failed;
        }
        id_ = id.get();
        if (known == 1) {
            return report(JsonProblem::Kind::DuplicateId, nullptr);
        }
        double c[4] = {};
        const JsonRead box = corners(item, c);
        if (box != JsonRead::Page) {
            return box;
        }
        PyObject* label = nullptr;  // (label, kind, role), borrowed from the cache
        const JsonRead labelled = label_of(item, label);
        if (labelled != JsonRead::Page) {
            return labelled;
        }
        const bool skipped = PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(label, 2)) > 0;
        const quorlin::engine::PageBox b{c[0], c[1], c[2], c[3]};
        for (const int k : {0, 2}) {
            xs_[skipped ? 1 : 0].add(c[k]);
            ys_[skipped ? 1 : 0].add(c[k + 1]);
        }
        if (!skipped) {
            out_.ids.push_back(id);
            out_.boxes.push_back(b);
            if (reading_.role_code != nullptr) {
                out_.roles.push_back(labels_.code());
            }
        } else if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(label, 2), "separator") == 0) {
            out_.separators.push_back(b);
        }
        index_ = -1;
        id_ = nullptr;
        return building() ? region(id.get(), c, label, skipped) : JsonRead::Page;
    }

    // The box: "box" (a list of 4) or "x1", "y1", "x2", "y2".
    JsonRead corners(PyObject* item, double (&c)[4]) {
        bool failed = false;
        PyObject* box = lookup(item, keys_.box.get(), failed);
        if (failed) {
            return JsonRead::Failed;
        }
        if (box != nullptr) {
            if (!PyList_Check(box) || PyList_GET_SIZE(box) != 4) {
                return report(JsonProblem::Kind::BoxNotFour, nullptr);
            }
            for (int k = 0; k < 4; ++k) {
                if (!coordinate(PyList_GET_ITEM(box, k), c[k])) {
                    problem_.position = k;
                    return report(JsonProblem::Kind::BadBoxValue, PyList_GET_ITEM(box, k));
                }
            }
            return JsonRead::Page;
        }
        PyObject* corner_keys[] = {keys_.x1.get(), keys_.y1.get(), keys_.x2.get(), keys_.y2.get()};
        PyObject* values[4] = {};
        for (int k = 0; k < 4; ++k) {
            values[k] = lookup(item, corner_keys[k], failed);
            if (failed) {
                return JsonRead::Failed;
            }
            if (values[k] == nullptr) {
                return report(JsonProblem::Kind::MissingCorners, nullptr);
            }
        }
        static const char* const kNames[] = {"x1", "y1", "x2", "y2"};
        for (int k = 0; k < 4; ++k) {
            if (!coordinate(values[k], c[k])) {
                problem_.key = kNames[k];
                return report(JsonProblem::Kind::BadCorner, values[k]);
            }
        }
        return JsonRead::Page;
    }

    // The (label, kind, role) of an element: by its "label" text, else by its
    // "type" text, else the plain one.
    JsonRead label_of(PyObject* item, PyObject*& label) {
        bool failed = false;
        PyObject* text = lookup(item, keys_.label.get(), failed);
        if (failed) {
            return JsonRead::Failed;
        }
        if (text != nullptr) {
            if (!PyUnicode_Check(text)) {
                return report(JsonProblem::Kind::LabelNotText, text);
            }
            label = labels_.of_label(PyRef::borrow(text).get());
            return label != nullptr ? JsonRead::Page : JsonRead::Failed;
        }
        PyObject* type = lookup(item, keys_.type.get(), failed);
        if (failed) {
            return JsonRead::Failed;
        }
        if (type == nullptr || !PyUnicode_Check(type)) {
            label = labels_.plain();
            return label != nullptr ? JsonRead::Page : JsonRead::Failed;
        }
        PyObject* subtype = lookup(item, keys_.subtype.get(), failed);
        if (failed) {
            return JsonRead::Failed;
        }
        const PyRef held_type = PyRef::borrow(type);
        const PyRef held_subtype =
            PyRef::borrow(subtype != nullptr && PyUnicode_Check(subtype) ? subtype : keys_.empty.get());
        label = labels_.of_type(held_type.get(), held_subtype.get());
        return label != nullptr ? JsonRead::Page : JsonRead::Failed;
    }

    // One region of the Page: region(id, box, label, kind), with its role
    // after them for a skipped one.
    JsonRead region(PyObject* id, const double (&c)[4], PyObject* label, bool skipped) {
        const PyRef box = PyRef::steal(Py_BuildValue("(dddd)", c[0], c[1], c[2], c[3]));
        if (!box) {
            return JsonRead::Failed;
        }
        PyObject* args[] = {id, box.get(), PyTuple_GET_ITEM(label, 0), PyTuple_GET_ITEM(label, 1),
                            PyTuple_GET_ITEM(label, 2)};
        const PyRef made = PyRef::steal(PyObject_Vectorcall(reading_.region, args, skipped ? 5 : 4, nullptr));
        return made && PyList_Append((skipped ? out_.skipped : out_.regions).get(), made.get()) == 0
                   ? JsonRead::Page
                   : JsonRead::Failed;
    }

    // "order", when the page has one: a list of ids of its elements.
    JsonRead stored_order(PyObject* page) {
        bool failed = false;
        PyObject* stored = lookup(page, keys_.order.get(), failed);
        if (failed) {
            return JsonRead::Failed;
        }
        if (stored == nullptr) {
            return JsonRead::Page;
        }
        if (!PyList_Check(stored)) {
            return report(JsonProblem::Kind::OrderNotAList, nullptr);
        }
        const PyRef held = PyRef::borrow(stored);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stored); ++i) {
            const PyRef id = PyRef::borrow(PyList_GET_ITEM(stored, i));
            const int known = is_id(id.get()) ? PySet_Contains(seen_.get(), id.get()) : 0;
            if (known < 0) {
                return JsonRead::Failed;
            }
            if (known == 0) {
                return report(JsonProblem::Kind::UnknownOrderId, id.get());
            }
        }
        if (building() && !(out_.reading_order = PyRef::steal(PySequence_List(stored)))) {
            return JsonRead::Failed;
        }
        return JsonRead::Page;
    }

    // Page.bounds: (0, 0, width, height) when the page has both, else the
    // union of every element's box (of the regions to order, then of the
    // others: Page.bounds unites them in that order), else (0, 0, 0, 0).
    void bounds(const double* size) {
        if (size != nullptr) {
            out_.bounds = quorlin::engine::PageBox{0.0, 0.0, size[0], size[1]};
            return;
        }
        for (Range* r : {&xs_[0], &ys_[0]}) {
            const Range& others = r == &xs_[0] ? xs_[1] : ys_[1];
            if (others.any) {
                r->add(others.lo);
                r->add(others.hi);
            }
        }
        if (xs_[0].any) {
            out_.bounds = quorlin::engine::PageBox{xs_[0].lo, ys_[0].lo, xs_[0].hi, ys_[0].hi};
        }
    }

    const Keys& keys_;
    const JsonReading& reading_;
    JsonPage& out_;
    JsonProblem& problem_;
    Labels labels_;
    PyRef seen_;  // every element's id, those of skipped ones too
    Py_ssize_t index_ = -1;     // the element being read, for a problem ...
    PyObject* id_ = nullptr;    // ... and its id once known (borrowed)
    Range xs_[2];  // of the regions to order, and of the others
    Range ys_[2];
};

}  // namespace

PyObject* JsonProblem::to_tuple() const {
    static const char* const kNames[] = {
        "not_an_object", "bad_size",   "negative_size", "no_elements",  "elements_not_a_list",
        "element_not_an_object", "bad_id", "duplicate_id", "box_not_four", "bad_box_value",
        "missing_corners", "bad_corner", "label_not_text", "order_not_a_list", "unknown_order_id",
    };
    PyRef where = PyRef::steal(key != nullptr ? PyUnicode_FromString(key)
                                              : position >= 0 ? PyLong_FromLong(position) : Py_NewRef(Py_None));
    PyRef at = PyRef::steal(index >= 0 ? PyLong_FromSsize_t(index) : Py_NewRef(Py_None));
    if (!where || !at) {
        return nullptr;
    }
    return Py_BuildValue("(sOOOO)", kNames[static_cast<std::size_t>(kind)], at.get(), id ? id.get() : Py_None,
                         where.get(), value ? value.get() : Py_None);
}

JsonRead read_json_page(PyObject* page, const JsonReading& reading, JsonPage& out, JsonProblem& problem) {
    static Keys* keys = new Keys();  // kept for the process; interned names only
    if (!keys->ok) {
        PyErr_NoMemory();
        return JsonRead::Failed;
    }
    return Reader(*keys, reading, out, problem).read(page);
}

}  // namespace quorlin::native
