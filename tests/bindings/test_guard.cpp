// A C++ exception escaping the engine must reach Python as an exception,
// never as a crash: exhausted memory as MemoryError, anything else as the
// internal invariant failure, which `except Exception` does not catch.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "guard.hpp"

namespace {

using quorlin::py::guarded;
using quorlin::py::PyRef;

class Guard : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Py_Initialize(); }
    void TearDown() override { PyErr_Clear(); }

    // The pending exception's type, taken out of the interpreter.
    static PyRef take_type() {
        PyRef error = quorlin::py::take_error();
        return PyRef::borrow(error ? reinterpret_cast<PyObject*>(Py_TYPE(error.get())) : nullptr);
    }
    static std::string message_of_pending() {
        PyRef error = quorlin::py::take_error();
        PyRef text = PyRef::steal(PyObject_Str(error.get()));
        return PyUnicode_AsUTF8(text.get());
    }
};

TEST_F(Guard, InvariantFailureDerivesDirectlyFromBaseException) {
    EXPECT_EQ(guarded([]() -> PyObject* { throw std::logic_error("segment range out of order"); }), nullptr);
    PyRef type = take_type();
    ASSERT_TRUE(type);
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    EXPECT_EQ(tp->tp_base, reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
    EXPECT_FALSE(PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(PyExc_Exception)));
    EXPECT_STREQ(tp->tp_name, "InvariantError");
    PyRef module = PyRef::steal(PyObject_GetAttrString(type.get(), "__module__"));
    ASSERT_TRUE(module);
    EXPECT_STREQ(PyUnicode_AsUTF8(module.get()), "_quorlin_core");
}

TEST_F(Guard, InvariantFailureCarriesTheMessageAndIsCreatedOnce) {
    guarded([]() -> PyObject* { throw std::length_error("too many elements"); });
    PyObject* first = PyErr_Occurred();
    EXPECT_EQ(message_of_pending(), "too many elements");
    guarded([]() -> PyObject* { throw 42; });
    EXPECT_EQ(PyErr_Occurred(), first);
    EXPECT_EQ(message_of_pending(), "unknown internal error");
}

TEST_F(Guard, ExhaustedMemoryBecomesMemoryError) {
    EXPECT_EQ(guarded([]() -> PyObject* { throw std::bad_alloc(); }), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    // A status-returning body (a setter, the module's execution step) fails with -1.
    EXPECT_EQ(guarded([]() -> int { throw std::bad_alloc(); }), -1);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
}

TEST_F(Guard, ResultsAndPythonErrorsPassThrough) {
    PyObject* value = guarded([] { return PyLong_FromLong(7); });
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(PyLong_AsLong(value), 7);
    Py_DECREF(value);
    EXPECT_EQ(guarded([]() -> PyObject* {
                  PyErr_SetString(PyExc_ValueError, "kept");
                  return nullptr;
              }),
              nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
}

}  // namespace
