#include "boxes.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/arguments.hpp"

namespace quorlin::native {
namespace {

using quorlin::engine::Box;
using quorlin::engine::PageBox;

// A float32 value as the core sees it after Python's float(): widening to
// double and rounding back keep every number and quiet a signalling NaN.
float from_f32(float value) noexcept {
    if (std::isnan(value)) {
        return std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | 0x00400000U);
    }
    return value;
}

// IEEE half precision to single precision: exact, NaN payloads kept.
float from_f16(std::uint16_t h) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000U) << 16;
    const std::uint32_t exponent = (h >> 10) & 0x1FU;
    std::uint32_t mantissa = h & 0x3FFU;
    if (exponent == 0x1FU) {
        return from_f32(std::bit_cast<float>(sign | 0x7F800000U | (mantissa << 13)));
    }
    if (exponent != 0) {
        return std::bit_cast<float>(sign | ((exponent + 112U) << 23) | (mantissa << 13));
    }
    if (mantissa == 0) {
        return std::bit_cast<float>(sign);
    }
    // Subnormal half: normalise into single precision.
    std::uint32_t e = 113U;
    while ((mantissa & 0x400U) == 0) {
        mantissa <<= 1;
        --e;
    }
    return std::bit_cast<float>(sign | (e << 23) | ((mantissa & 0x3FFU) << 13));
}

template <class T>
T load(const char* p, bool swap) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    if (swap) {
        auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(value);
        std::reverse(bytes.begin(), bytes.end());
        value = std::bit_cast<T>(bytes);
    }
    return value;
}

enum class Kind { F16, F32, F64, Signed, Unsigned };

struct Format {
    Kind kind;
    std::size_t size;
    bool swap;
};

float to_f32(Kind kind, std::size_t size, const char* p, bool swap) noexcept {
    switch (kind) {
        case Kind::F16:
            return from_f16(load<std::uint16_t>(p, swap));
        case Kind::F32:
            return from_f32(load<float>(p, swap));
        case Kind::F64:
            return quorlin::engine::round_to_single(load<double>(p, swap));
        case Kind::Signed:
            switch (size) {
                case 1:
                    return quorlin::engine::round_to_single(load<std::int8_t>(p, swap));
                case 2:
                    return quorlin::engine::round_to_single(load<std::int16_t>(p, swap));
                case 4:
                    return quorlin::engine::round_to_single(load<std::int32_t>(p, swap));
                default:
                    return quorlin::engine::round_to_single(static_cast<double>(load<std::int64_t>(p, swap)));
            }
        case Kind::Unsigned:
            switch (size) {
                case 1:
                    return quorlin::engine::round_to_single(load<std::uint8_t>(p, swap));
                case 2:
                    return quorlin::engine::round_to_single(load<std::uint16_t>(p, swap));
                case 4:
                    return quorlin::engine::round_to_single(load<std::uint32_t>(p, swap));
                default:
                    return quorlin::engine::round_to_single(static_cast<double>(load<std::uint64_t>(p, swap)));
            }
    }
    return 0.0F;
}

// The value as a double, as Python's float() gives it for the item: exact for
// every float type, the nearest double for a 64-bit integer.
double to_f64(Kind kind, std::size_t size, const char* p, bool swap) noexcept {
    switch (kind) {
        case Kind::F16:
            return from_f16(load<std::uint16_t>(p, swap));
        case Kind::F32:
            return load<float>(p, swap);
        case Kind::F64:
            return load<double>(p, swap);
        case Kind::Signed:
            switch (size) {
                case 1:
                    return load<std::int8_t>(p, swap);
                case 2:
                    return load<std::int16_t>(p, swap);
                case 4:
                    return load<std::int32_t>(p, swap);
                default:
                    return static_cast<double>(load<std::int64_t>(p, swap));
            }
        case Kind::Unsigned:
            switch (size) {
                case 1:
                    return load<std::uint8_t>(p, swap);
                case 2:
                    return load<std::uint16_t>(p, swap);
                case 4:
                    return load<std::uint32_t>(p, swap);
                default:
                    return static_cast<double>(load<std::uint64_t>(p, swap));
            }
    }
    return 0.0;
}

template <Kind K, std::size_t Size>
Box row_box(const char* row, Py_ssize_t col_stride, bool swap, Box*) noexcept {
    return Box{to_f32(K, Size, row, swap), to_f32(K, Size, row + col_stride, swap),
               to_f32(K, Size, row + 2 * col_stride, swap), to_f32(K, Size, row + 3 * col_stride, swap)};
}

template <Kind K, std::size_t Size>
PageBox row_box(const char* row, Py_ssize_t col_stride, bool swap, PageBox*) noexcept {
    return PageBox{to_f64(K, Size, row, swap), to_f64(K, Size, row + col_stride, swap),
                   to_f64(K, Size, row + 2 * col_stride, swap), to_f64(K, Size, row + 3 * col_stride, swap)};
}

// The copy loop, instantiated per kind, size and precision so that each reads its type directly.
template <Kind K, std::size_t Size, class Out>
void copy_rows(const Py_buffer& view, std::vector<Out>& out, bool swap) noexcept {
    const auto* base = static_cast<const char*>(view.buf);
    const Py_ssize_t row_stride = view.strides[0];
    const Py_ssize_t col_stride = view.strides[1];
    for (std::size_t i = 0; i < out.size(); ++i) {
        const char* row = base + static_cast<Py_ssize_t>(i) * row_stride;
        out[i] = row_box<K, Size>(row, col_stride, swap, static_cast<Out*>(nullptr));
    }
}

bool raise_format(const BoxNames& names, const char* format) {
    const std::string f = format == nullptr ? "B" : format;
    const char* what = "items of format '%s'";
    if (f.find('?') != std::string::npos) {
        what = "booleans (format '%s')";
    } else if (f.find('Z') != std::string::npos) {
        what = "complex numbers (format '%s')";
    } else if (f.find('O') != std::string::npos) {
        what = "objects (format '%s')";
    } else if (f.find('w') != std::string::npos || f.find('s') != std::string::npos) {
        what = "strings (format '%s')";
    }
    const std::string message = std::string(names.plural) + ": expected an N x 4 array of numbers, got " + what;
    PyErr_Format(PyExc_TypeError, message.c_str(), f.c_str());
    return false;
}

// Parses a struct-module format of one number; false with TypeError otherwise.
bool parse_format(const BoxNames& names, const char* format, Py_ssize_t itemsize, Format& out) {
    const char* f = format == nullptr ? "B" : format;
    bool standard = false;
    bool big = false;
    if (*f == '@') {
        ++f;
    } else if (*f == '=' || *f == '<') {
        standard = true;
        ++f;
    } else if (*f == '>' || *f == '!') {
        standard = true;
        big = true;
        ++f;
    }
    if (f[0] == '\0' || f[1] != '\0') {
        return raise_format(names, format);
    }
    std::size_t size = 0;
    switch (f[0]) {
        case 'e': out.kind = Kind::F16; size = 2; break;
        case 'f': out.kind = Kind::F32; size = 4; break;
        case 'd': out.kind = Kind::F64; size = 8; break;
        case 'b': out.kind = Kind::Signed; size = 1; break;
        case 'B': out.kind = Kind::Unsigned; size = 1; break;
        case 'h': out.kind = Kind::Signed; size = 2; break;
        case 'H': out.kind = Kind::Unsigned; size = 2; break;
        case 'i': out.kind = Kind::Signed; size = standard ? 4 : sizeof(int); break;
        case 'I': out.kind = Kind::Unsigned; size = standard ? 4 : sizeof(unsigned); break;
        case 'l': out.kind = Kind::Signed; size = standard ? 4 : sizeof(long); break;
        case 'L': out.kind = Kind::Unsigned; size = standard ? 4 : sizeof(unsigned long); break;
        case 'q': out.kind = Kind::Signed; size = 8; break;
        case 'Q': out.kind = Kind::Unsigned; size = 8; break;
        case 'n': out.kind = Kind::Signed; size = sizeof(Py_ssize_t); break;
        case 'N': out.kind = Kind::Unsigned; size = sizeof(std::size_t); break;
        default: return raise_format(names, format);
    }
    if (static_cast<Py_ssize_t>(size) != itemsize) {
        return raise_format(names, format);
    }
    out.size = size;
    out.swap = big != (std::endian::native == std::endian::big);
    return true;
}

std::string shape_text(const Py_buffer& view) {
    std::string text = "(";
    for (int i = 0; i < view.ndim; ++i) {
        text += std::to_string(view.shape[i]);
        text += i + 1 < view.ndim ? ", " : (view.ndim == 1 ? "," : "");
    }
    return text + ")";
}

bool too_many(const BoxNames& names, std::size_t n) {
    PyErr_Format(PyExc_ValueError, "%s: at most %zu boxes, got %zu", names.plural, quorlin::engine::kMaxBoxes, n);
    return false;
}

template <class Out>
bool convert_buffer(const BoxNames& names, PyObject* obj, std::vector<Out>& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
        // An exporter that cannot describe its items as plain strided
        // values (NumPy string or structured arrays, for example).
        quorlin::py::PyRef cause = quorlin::py::take_error();
        quorlin::py::PyRef type_name = quorlin::py::PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
        if (type_name) {
            PyErr_Format(PyExc_TypeError,
                         "%s: expected an N x 4 array of numbers, got a '%U' whose items are not numbers",
                         names.plural, type_name.get());
        }
        return false;
    }
    quorlin::py::ScopeGuard release([&view] { PyBuffer_Release(&view); });
    if (view.ndim == 1 && view.shape[0] == 0) {
        return true;  // an empty page, however its items are typed
    }
    Format format{};
    if (!parse_format(names, view.format, view.itemsize, format)) {
        return false;
    }
    if (view.ndim != 2 || view.shape[1] != 4) {
        PyErr_Format(PyExc_ValueError, "%s: expected an N x 4 array of numbers, got shape %s", names.plural,
                     shape_text(view).c_str());
        return false;
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    if (n > quorlin::engine::kMaxBoxes) {
        return too_many(names, n);
    }
    out.resize(n);
    switch (format.kind) {
        case Kind::F16: copy_rows<Kind::F16, 2>(view, out, format.swap); break;
        case Kind::F32: copy_rows<Kind::F32, 4>(view, out, format.swap); break;
        case Kind::F64: copy_rows<Kind::F64, 8>(view, out, format.swap); break;
        case Kind::Signed:
            switch (format.size) {
                case 1: copy_rows<Kind::Signed, 1>(view, out, format.swap); break;
                case 2: copy_rows<Kind::Signed, 2>(view, out, format.swap); break;
                case 4: copy_rows<Kind::Signed, 4>(view, out, format.swap); break;
                default: copy_rows<Kind::Signed, 8>(view, out, format.swap); break;
            }
            break;
        case Kind::Unsigned:
            switch (format.size) {
                case 1: copy_rows<Kind::Unsigned, 1>(view, out, format.swap); break;
                case 2: copy_rows<Kind::Unsigned, 2>(view, out, format.swap); break;
                case 4: copy_rows<Kind::Unsigned, 4>(view, out, format.swap); break;
                default: copy_rows<Kind::Unsigned, 8>(view, out, format.swap); break;
            }
            break;
    }
    return true;
}

bool raise_type(const char* prefix, PyObject* obj) {
    quorlin::py::PyRef name = quorlin::py::PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "%s, not %U", prefix, name.get());
    }
    return false;
}

// What a value that is neither a float nor an int exactly is, by its type:
// a boolean (Python's, or NumPy's, which offers its value as a buffer of
// format '?'), a complex number (Python's, or NumPy's, whose buffer format
// holds 'Z': float() would drop its imaginary part with a mere warning), or
// anything else, which float() decides.
enum class Scalar { Boolean, Complex, Other };

Scalar scalar_kind(PyObject* value) {
    if (PyBool_Check(value)) {
        return Scalar::Boolean;
    }
    if (PyComplex_Check(value)) {
        return Scalar::Complex;
    }
    if (!PyObject_CheckBuffer(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
        return Scalar::Other;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_FORMAT) < 0) {
        PyErr_Clear();  // float() decides
        return Scalar::Other;
    }
    const char* format = view.format;
    const Scalar kind = format == nullptr                    ? Scalar::Other
                        : std::strchr(format, '?') != nullptr ? Scalar::Boolean
                        : std::strchr(format, 'Z') != nullptr ? Scalar::Complex
                                                              : Scalar::Other;
    PyBuffer_Release(&view);
    return kind;
}

enum class Coordinate { Number, Boolean, NotANumber, Failed };

// One coordinate as Python's float() converts it: a float or an int read
// directly, anything else (a number type of its own, text) through float()
// itself; booleans are refused, and complex numbers are NotANumber (as float() of a
// Python complex). NotANumber when float() raises TypeError or
// ValueError (cleared), Failed when it raises anything else (left set).
Coordinate coordinate(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return Coordinate::Number;
    }
    if (PyLong_CheckExact(value)) {
        out = PyLong_AsDouble(value);
        return out == -1.0 && PyErr_Occurred() != nullptr ? Coordinate::Failed : Coordinate::Number;
    }
    switch (scalar_kind(value)) {
        case Scalar::Boolean:
            return Coordinate::Boolean;
        case Scalar::Complex:
            return Coordinate::NotANumber;
        case Scalar::Other:
            break;
    }
    quorlin::py::PyRef number = quorlin::py::PyRef::steal(PyNumber_Float(value));
    if (!number) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) == 0 && PyErr_ExceptionMatches(PyExc_ValueError) == 0) {
            return Coordinate::Failed;  // OverflowError of a huge int, or an error of the object itself
        }
        PyErr_Clear();
        return Coordinate::NotANumber;
    }
    out = PyFloat_AS_DOUBLE(number.get());
    return Coordinate::Number;
}

void store(const double (&c)[4], Box& out) {
    out = Box{quorlin::engine::round_to_single(c[0]), quorlin::engine::round_to_single(c[1]),
              quorlin::engine::round_to_single(c[2]), quorlin::engine::round_to_single(c[3])};
}

void store(const double (&c)[4], PageBox& out) { out = PageBox{c[0], c[1], c[2], c[3]}; }

// Whether an item may be a row: a list, a tuple or another sequence, but no
// text, no dict and no set (whose items are no coordinates).
bool is_row(PyObject* item) {
    if (PyList_Check(item) || PyTuple_Check(item)) {
        return true;
    }
    return !(PyUnicode_Check(item) || PyBytes_Check(item) || PyByteArray_Check(item) || PyDict_Check(item) ||
             PyAnySet_Check(item)) &&
           PySequence_Check(item) != 0;
}

// How messages name a row: "box 3", or "page_bounds" (index -1).
struct RowName {
    const char* name;
    Py_ssize_t index;
};

std::string row_text(const RowName& row) {
    return row.index < 0 ? std::string(row.name) : std::string(row.name) + " " + std::to_string(row.index);
}

// One row of four coordinates.
bool convert_row(const RowName& row, PyObject* item, double (&c)[4]) {
    if (!is_row(item)) {
        quorlin::py::PyRef name = quorlin::py::PyRef::steal(PyType_GetQualName(Py_TYPE(item)));
        if (name) {
            PyErr_Format(PyExc_TypeError, "%s: expected 4 numbers, got %U", row_text(row).c_str(), name.get());
        }
        return false;
    }
#ifdef Py_GIL_DISABLED
    quorlin::py::PyRef values = quorlin::py::PyRef::steal(PySequence_Tuple(item));
#else
    quorlin::py::PyRef values = quorlin::py::PyRef::steal(PySequence_Fast(item, row.name));
#endif
    if (!values) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(values.get());
    if (n != 4) {
        PyErr_Format(PyExc_ValueError, "%s: expected 4 numbers (x1, y1, x2, y2), got %zd", row_text(row).c_str(), n);
        return false;
    }
    // Held here: a __float__ that runs Python code may change the sequence.
    const quorlin::py::PyRef v[4] = {
        quorlin::py::PyRef::borrow(PySequence_Fast_GET_ITEM(values.get(), 0)),
        quorlin::py::PyRef::borrow(PySequence_Fast_GET_ITEM(values.get(), 1)),
        quorlin::py::PyRef::borrow(PySequence_Fast_GET_ITEM(values.get(), 2)),
        quorlin::py::PyRef::borrow(PySequence_Fast_GET_ITEM(values.get(), 3)),
    };
    for (int k = 0; k < 4; ++k) {
        const Coordinate read = coordinate(v[k].get(), c[k]);
        if (read == Coordinate::Number) {
            continue;
        }
        if (read == Coordinate::Failed) {
            return false;
        }
        quorlin::py::PyRef tuple = quorlin::py::PyRef::steal(PySequence_Tuple(values.get()));
        if (tuple) {
            PyErr_Format(PyExc_TypeError,
                         read == Coordinate::Boolean ? "%s: coordinates must be numbers, not booleans, got %R"
                                                     : "%s: coordinates must be numbers, got %R",
                         row_text(row).c_str(), tuple.get());
        }
        return false;
    }
    return true;
}

template <class Out>
bool convert_sequence(const BoxNames& names, PyObject* obj, std::vector<Out>& out) {
    const std::string must = std::string(names.plural) + " must be a sequence";
    // Texts and bytes would be read as characters, a dict as its keys, a set
    // in an order of its own: none of them holds boxes in an order.
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || PyDict_Check(obj) ||
        PyAnySet_Check(obj)) {
        return raise_type(must.c_str(), obj);
    }
#ifdef Py_GIL_DISABLED
    // Without the interpreter lock another thread may change a list while it
    // is read: read a tuple copy of it instead.
    quorlin::py::PyRef items = quorlin::py::PyRef::steal(PySequence_Tuple(obj));
#else
    quorlin::py::PyRef items = quorlin::py::PyRef::steal(PySequence_Fast(obj, names.plural));
#endif
    if (!items) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return raise_type(must.c_str(), obj);
        }
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (static_cast<std::size_t>(n) > quorlin::engine::kMaxBoxes) {
        return too_many(names, static_cast<std::size_t>(n));
    }
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // The items are read one by one: a __float__ that runs Python code may
        // change a list it belongs to, so the size is checked on each step.
        if (i >= PySequence_Fast_GET_SIZE(items.get())) {
            out.resize(static_cast<std::size_t>(i));
            break;
        }
        quorlin::py::PyRef item = quorlin::py::PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        double c[4] = {};
        if (!convert_row(RowName{names.singular, i}, item.get(), c)) {
            return false;
        }
        store(c, out[static_cast<std::size_t>(i)]);
    }
    return true;
}

// An array without the buffer protocol (one that only offers shape and
// tolist()): its shape checked, then its rows as Python gives them. Null
// (with an error set, or none when `obj` is no such array) otherwise.
quorlin::py::PyRef array_rows(const BoxNames& names, PyObject* obj, bool& is_array) {
    is_array = false;
    if (PyObject_HasAttrString(obj, "shape") == 0 || PyObject_HasAttrString(obj, "tolist") == 0) {
        return {};
    }
    is_array = true;
    quorlin::py::PyRef shape_attr = quorlin::py::PyRef::steal(PyObject_GetAttrString(obj, "shape"));
    quorlin::py::PyRef shape = quorlin::py::PyRef::steal(shape_attr ? PySequence_Tuple(shape_attr.get()) : nullptr);
    if (!shape) {
        return {};
    }
    const Py_ssize_t dims = PyTuple_GET_SIZE(shape.get());
    const auto dim_is = [&](Py_ssize_t d, long value) {
        return PyLong_Check(PyTuple_GET_ITEM(shape.get(), d)) &&
               PyLong_AsLong(PyTuple_GET_ITEM(shape.get(), d)) == value;
    };
    if (!((dims == 2 && dim_is(1, 4)) || (dims == 1 && dim_is(0, 0)))) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s: expected an N x 4 array of numbers, got shape %R", names.plural,
                     shape.get());
        return {};
    }
    return quorlin::py::PyRef::steal(PyObject_CallMethod(obj, "tolist", nullptr));
}

template <class Out>
bool convert(const BoxNames& names, PyObject* obj, std::vector<Out>& out) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        return convert_sequence(names, obj, out);
    }
    if (PyObject_CheckBuffer(obj) && !PyBytes_Check(obj) && !PyByteArray_Check(obj)) {
        return convert_buffer(names, obj, out);
    }
    bool is_array = false;
    quorlin::py::PyRef rows = array_rows(names, obj, is_array);
    if (is_array) {
        return rows && convert_sequence(names, rows.get(), out);
    }
    return PyErr_Occurred() == nullptr && convert_sequence(names, obj, out);
}

}  // namespace

bool convert_boxes(PyObject* obj, std::vector<Box>& out, const BoxNames& names) { return convert(names, obj, out); }

bool convert_boxes(PyObject* obj, std::vector<PageBox>& out, const BoxNames& names) {
    return convert(names, obj, out);
}

bool convert_bounds(PyObject* obj, PageBox& out) {
    double c[4] = {};
    if (!convert_row(RowName{"page_bounds", -1}, obj, c)) {
        return false;
    }
    store(c, out);
    return true;
}

}  // namespace quorlin::native
