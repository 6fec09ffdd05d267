// The extension module _quorlin_core: module initialisation and the ordering
// entry compute_order_mervane, which converts its arguments into element
// records, runs the ordering engine and returns the ids in reading order.

#include <vector>

#include "common/arguments.hpp"
#include "classes.hpp"
#include "common/guard.hpp"
#include "common/log_bridge.hpp"
#include "common/once.hpp"
#include "quorlin/engine/log.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::py {
namespace {

using quorlin::engine::ElementRecord;

// ---- Argument conversion -------------------------------------------------

OnceObject g_sequence_name;

// The name under which the sequence check reports a failure: that of
// collections.abc.Sequence, imported on first need and kept.
PyObject* sequence_name() {
    return g_sequence_name.get([]() -> PyObject* {
        PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
        if (!abc) {
            return nullptr;
        }
        PyRef sequence = PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
        if (!sequence) {
            return nullptr;
        }
        return PyObject_GetAttrString(sequence.get(), "__name__");
    });
}

// Converts the elements argument into records, in iteration order.
bool convert_elements(PyObject* obj, std::vector<ElementRecord>& records) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (PySequence_Check(obj) == 0) {
        PyObject* name = sequence_name();
        if (name == nullptr) {
            return false;
        }
        if (obj == Py_None) {
            PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", name);
        } else {
            PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
            if (type_name) {
                PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", type_name.get(), name);
            }
        }
        return false;
    }
    // The reported length only sizes the reservation: a failing or lying
    // __len__ costs nothing but the reservation. Only ordinary errors are
    // discarded, though: KeyboardInterrupt, SystemExit and the like stop the
    // call unchanged, as they would in the interpreter's own length hint.
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return false;
        }
        PyErr_Clear();
    } else {
        try {
            records.reserve(static_cast<std::size_t>(hint));
        } catch (const std::exception&) {
        }
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) {
        return false;
    }
    PyTypeObject* type = element_type();
    if (type == nullptr) {
        return false;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyObject_TypeCheck(item.get(), type)) {
            raise_not_instance(item.get(), "Element");
            return false;
        }
        const auto* e = reinterpret_cast<const ElementObject*>(item.get());
        records.push_back(ElementRecord{e->id, e->x1, e->y1, e->x2, e->y2});
    }
    return PyErr_Occurred() == nullptr;
}

// Validates the page bounds: a tuple of four numbers. Nothing reads them.
bool convert_page_bounds(PyObject* obj) {
    if (!PyTuple_Check(obj)) {
        raise_not_instance(obj, "tuple");
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (n != 4) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 4, but got tuple of length %zd", n);
        return false;
    }
    float bounds[4] = {};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        if (!to_f32(PyTuple_GET_ITEM(obj, i), &bounds[i])) {
            return false;
        }
    }
    return true;
}

// Validates the configuration: None (absent) or an XYCutConfig. Its values
// do not influence the order.
bool check_config(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    PyTypeObject* type = config_type();
    if (type == nullptr) {
        return false;
    }
    if (!PyObject_TypeCheck(obj, type)) {
        raise_not_instance(obj, "XYCutConfig");
        prefix_type_error("config");
        return false;
    }
    return true;
}

PyObject* id_list(const std::vector<ElementRecord>& ordered) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ordered.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        PyObject* id = PyLong_FromUnsignedLongLong(ordered[i].id);
        if (id == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list.release();
}

// ---- The ordering entry --------------------------------------------------

constexpr const char* kEntryParams[] = {"elements", "page_bounds", "config"};
constexpr Signature kEntrySignature = {"compute_order_mervane()", kEntryParams, 2};

const quorlin::log::TargetGate g_entry_gate{"quorlinpy"};
// The target, module path, source path and line the entry's record reports
// (fixed names, not the location of this file).
constexpr quorlin::log::Site kEntrySite = {"quorlinpy", "quorlin_core", "src/lib", 242};

PyObject* compute_order_mervane(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!bind_fast(kEntrySignature, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        std::vector<ElementRecord> records;
        if (!convert_elements(bound[0], records)) {
            prefix_type_error("elements");
            return nullptr;
        }
        if (!convert_page_bounds(bound[1])) {
            prefix_type_error("page_bounds");
            return nullptr;
        }
        if (!check_config(bound[2])) {
            return nullptr;
        }
        quorlin::log::emit(g_entry_gate, quorlin::log::Level::Debug, kEntrySite, "compute_order_mervane: {} elements",
                           std::uint64_t{records.size()});
        const std::vector<ElementRecord> ordered = quorlin::engine::order_elements(records);
        // A logging handler or filter that raised left its exception
        // pending: report it instead of returning a result beside it.
        if (PyErr_Occurred() != nullptr) {
            return nullptr;
        }
        return id_list(ordered);
    });
}

PyMethodDef g_compute_order_def = {
    "compute_order_mervane",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_order_mervane)),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_order_mervane(elements, page_bounds, config=None)\n--\n\n",
};

// ---- Module initialisation -----------------------------------------------

PyMethodDef g_reset_log_cache_def = {
    "reset_log_cache",
    quorlin::py::reset_log_cache,
    METH_NOARGS,
    "reset_log_cache()\n--\n\n"
    "Restablece la caché de niveles de registro.\n\n"
    "Los niveles que Python tiene habilitados se guardan en caché para evitar\n"
    "el coste de consultarlos en cada llamada. Llame a esta función después de\n"
    "reconfigurar `logging` en Python para que el motor vea los cambios.",
};


// Appends the name to __all__ (created empty when missing), then sets the
// attribute.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    PyRef created;
    if (all == nullptr) {
        created = PyRef::steal(PyList_New(0));
        if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) {
            return false;
        }
        all = created.get();
    }
    PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
    if (!py_name || PyList_Append(all, py_name.get()) < 0) {
        return false;
    }
    return PyObject_SetAttr(module, py_name.get(), value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    return function && add_public(module, def->ml_name, function.get());
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    return type != nullptr && add_public(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    return guarded([&] {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "_quorlin_core can only be executed on a module object");
            return -1;
        }
        const bool ok = install_log_bridge(LogReach::EveryCall) && add_function(module, &g_reset_log_cache_def) &&
                        add_function(module, &g_compute_order_def) &&
                        add_class(module, "XYCutConfig", config_type()) &&
                        add_class(module, "SemanticLabel", label_type()) &&
                        add_class(module, "Element", element_type());
        return ok ? 0 : -1;
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Classes, labels and the log bridge are process-wide, so the module
    // cannot be shared by several interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Calls run under the interpreter lock and rely on it.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorlin_core",
    nullptr,
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorlin::py

PyMODINIT_FUNC PyInit__quorlin_core() { return PyModuleDef_Init(&quorlin::py::g_module_def); }
