#include "classes.hpp"

#include <array>

#include "common/arguments.hpp"
#include "common/guard.hpp"
#include "common/once.hpp"

namespace quorlin::py {
namespace {

// ---- SemanticLabel -------------------------------------------------------

struct LabelObject {
    PyObject_HEAD
    std::uint8_t code;
};

constexpr std::array<const char*, 5> kLabelNames = {"CrossLayout", "HorizontalTitle", "VerticalTitle",
                                                    "Vision", "Regular"};
// The five shared objects, indexed by code; filled when the class is created.
std::array<PyObject*, 5> g_labels{};
OnceObject g_label_type;

PyObject* label_repr(PyObject* self) {
    const auto code = reinterpret_cast<LabelObject*>(self)->code;
    return PyUnicode_FromFormat("SemanticLabel.%s", kLabelNames[code]);
}

PyObject* label_int(PyObject* self) {
    return PyLong_FromLong(reinterpret_cast<LabelObject*>(self)->code);
}

void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kLabelSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(label_repr)},
    {Py_nb_int, reinterpret_cast<void*>(label_int)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {0, nullptr},
};

PyType_Spec kLabelSpec = {
    "builtins.SemanticLabel",
    sizeof(LabelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kLabelSlots,
};

// Creates the class with its five members as class attributes. The members
// are made through the allocator directly, since the class refuses to be
// instantiated from Python.
PyObject* create_label_type() {
    PyRef type = PyRef::steal(PyType_FromSpec(&kLabelSpec));
    if (!type) {
        return nullptr;
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    std::array<PyRef, 5> members;
    for (std::uint8_t code = 0; code < members.size(); ++code) {
        members[code] = PyRef::steal(tp->tp_alloc(tp, 0));
        if (!members[code]) {
            return nullptr;
        }
        reinterpret_cast<LabelObject*>(members[code].get())->code = code;
        if (PyDict_SetItemString(tp->tp_dict, kLabelNames[code], members[code].get()) < 0) {
            return nullptr;
        }
    }
    PyType_Modified(tp);
    // A nested creation (see OnceObject) finishes first and is the one kept;
    // its members must stay the shared ones.
    if (g_labels[0] == nullptr) {
        for (std::size_t code = 0; code < members.size(); ++code) {
            g_labels[code] = members[code].release();  // kept for the process lifetime
        }
    }
    return type.release();
}

// ---- Element -------------------------------------------------------------

OnceObject g_element_type;

constexpr const char* kElementParams[] = {"id", "x1", "y1", "x2", "y2", "label"};
constexpr Signature kElementSignature = {"Element.__new__()", kElementParams, 6};

PyObject* construct_element(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[6] = {};
    if (!bind_tuple(kElementSignature, args, kwargs, bound)) {
        return nullptr;
    }
    std::uint64_t id = 0;
    if (!to_u64(bound[0], &id)) {
        prefix_type_error("id");
        return nullptr;
    }
    float coords[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!to_f32(bound[i + 1], &coords[i])) {
            prefix_type_error(kElementParams[i + 1]);
            return nullptr;
        }
    }
    PyTypeObject* labels = label_type();
    if (labels == nullptr) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(bound[5], labels)) {
        raise_not_instance(bound[5], "SemanticLabel");
        prefix_type_error("label");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    auto* e = reinterpret_cast<ElementObject*>(self);
    e->id = id;
    e->x1 = coords[0];
    e->y1 = coords[1];
    e->x2 = coords[2];
    e->y2 = coords[3];
    e->label = reinterpret_cast<LabelObject*>(bound[5])->code;
    return self;
}

// The constructors run guarded, since a binding error builds its message in
// C++; the getters, the setters and the label's slots use the C API only.
PyObject* element_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return construct_element(type, args, kwargs); });
}

PyObject* element_id(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<ElementObject*>(self)->id);
}

template <float ElementObject::*Field>
PyObject* element_coord(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(reinterpret_cast<ElementObject*>(self)->*Field));
}

PyObject* element_label(PyObject* self, void*) {
    if (label_type() == nullptr) {
        return nullptr;
    }
    return Py_NewRef(g_labels[reinterpret_cast<ElementObject*>(self)->label]);
}

PyGetSetDef kElementGetSet[] = {
    {"id", element_id, nullptr, nullptr, nullptr},
    {"x1", element_coord<&ElementObject::x1>, nullptr, nullptr, nullptr},
    {"y1", element_coord<&ElementObject::y1>, nullptr, nullptr, nullptr},
    {"x2", element_coord<&ElementObject::x2>, nullptr, nullptr, nullptr},
    {"y2", element_coord<&ElementObject::y2>, nullptr, nullptr, nullptr},
    {"label", element_label, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kElementSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(element_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_getset, kElementGetSet},
    {Py_tp_doc, const_cast<char*>("Element(id, x1, y1, x2, y2, label)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kElementSpec = {
    "builtins.Element",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    kElementSlots,
};

// ---- XYCutConfig ---------------------------------------------------------

OnceObject g_config_type;

constexpr const char* kConfigParams[] = {"min_cut_threshold", "histogram_resolution_scale",
                                         "same_row_tolerance"};
constexpr Signature kConfigSignature = {"XYCutConfig.__new__()", kConfigParams, 0};
constexpr float kConfigDefaults[] = {15.0F, 0.5F, 10.0F};
constexpr float ConfigObject::*kConfigFields[] = {&ConfigObject::min_cut_threshold,
                                                  &ConfigObject::histogram_resolution_scale,
                                                  &ConfigObject::same_row_tolerance};

PyObject* construct_config(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* bound[3] = {};
    if (!bind_tuple(kConfigSignature, args, kwargs, bound)) {
        return nullptr;
    }
    float values[3] = {kConfigDefaults[0], kConfigDefaults[1], kConfigDefaults[2]};
    for (int i = 0; i < 3; ++i) {
        if (bound[i] != nullptr && !to_f32(bound[i], &values[i])) {
            prefix_type_error(kConfigParams[i]);
            return nullptr;
        }
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < 3; ++i) {
        reinterpret_cast<ConfigObject*>(self)->*kConfigFields[i] = values[i];
    }
    return self;
}

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return construct_config(type, args, kwargs); });
}

template <int I>
PyObject* config_get(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(reinterpret_cast<ConfigObject*>(self)->*kConfigFields[I]));
}

// Converts like the constructor; a failed conversion leaves the old value.
template <int I>
int config_set(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    float converted = 0.0F;
    if (!to_f32(value, &converted)) {
        prefix_type_error(kConfigParams[I]);
        return -1;
    }
    reinterpret_cast<ConfigObject*>(self)->*kConfigFields[I] = converted;
    return 0;
}

PyGetSetDef kConfigGetSet[] = {
    {kConfigParams[0], config_get<0>, config_set<0>, nullptr, nullptr},
    {kConfigParams[1], config_get<1>, config_set<1>, nullptr, nullptr},
    {kConfigParams[2], config_get<2>, config_set<2>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kConfigSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_getset, kConfigGetSet},
    {Py_tp_doc, const_cast<char*>("XYCutConfig(min_cut_threshold=15.0, histogram_resolution_scale=0.5, "
                                  "same_row_tolerance=10.0)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kConfigSpec = {
    "builtins.XYCutConfig",
    sizeof(ConfigObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    kConfigSlots,
};

}  // namespace

PyTypeObject* label_type() {
    return reinterpret_cast<PyTypeObject*>(g_label_type.get(create_label_type));
}

PyTypeObject* element_type() {
    return reinterpret_cast<PyTypeObject*>(g_element_type.get([] { return PyType_FromSpec(&kElementSpec); }));
}

PyTypeObject* config_type() {
    return reinterpret_cast<PyTypeObject*>(g_config_type.get([] { return PyType_FromSpec(&kConfigSpec); }));
}

}  // namespace quorlin::py
