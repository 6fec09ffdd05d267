#pragma once
// The module's three classes: Element (read-only), XYCutConfig (read-write)
// and SemanticLabel (one shared object per value, not instantiable).

#include <cstdint>

#include "common/pyref.hpp"

namespace quorlin::py {

struct ElementObject {
    PyObject_HEAD
    std::uint64_t id;
    float x1;
    float y1;
    float x2;
    float y2;
    std::uint8_t label;
};

struct ConfigObject {
    PyObject_HEAD
    float min_cut_threshold;
    float histogram_resolution_scale;
    float same_row_tolerance;
};

// Each class object is created on first use and kept for the life of the
// process. Null with an exception set when the creation fails.
PyTypeObject* element_type();
PyTypeObject* config_type();
PyTypeObject* label_type();

}  // namespace quorlin::py
