#pragma once
// The reader of a JSON page (a dict as a JSON decoder gives it), the only
// one: it checks everything a page must satisfy, in the order the messages
// of quorlin.formats.jsonpage report the first problem, and reports a problem
// as plain values, from which that module builds the message. It never builds
// message text itself.

#include <cstdint>
#include <vector>

#include "common/pyref.hpp"
#include "quorlin/engine/profile.hpp"

namespace quorlin::native {

// The largest coordinate magnitude a page may have (2^24: every integer up
// to it is a float exactly, and the engine computes in single precision).
// Exported as quorlin._native.MAX_COORDINATE, which every reader of the
// package checks against.
inline constexpr double kMaxCoordinate = 16777216.0;

// How the reader learns about labels, and what it builds.
struct JsonReading {
    // element_label(label, type, subtype): (SemanticLabel, kind, role) of an
    // element with a "label" text (type None, subtype ""), or else with a
    // "type" text (label None, subtype the "subtype" text or ""); role is ""
    // for a region to order, else the role of one left out ("separator" for a
    // separator). Asked once per distinct label of a page.
    PyObject* element_label;
    // region(id, box, label, kind[, role]) builds one region of the Page; null
    // when only the regions to order are wanted (ids, boxes, separators and
    // bounds), as for ordering a page straight from its dict.
    PyObject* region;
    // role_code(kind) gives the role code (an int 0..255, quorlin.labels) of
    // a region of that kind (the second item of element_label's answer);
    // asked once per distinct answer. Null: no roles are read.
    PyObject* role_code = nullptr;
};

// What was read.
struct JsonPage {
    // The regions to order, in element order, with what the Page gives the
    // ordering beside them: its separators and its bounds, (0, 0, width,
    // height) when the page has both, else the union of every element's box,
    // else (0, 0, 0, 0).
    std::vector<quorlin::py::PyRef> ids;
    std::vector<quorlin::engine::PageBox> boxes;
    std::vector<std::uint8_t> roles;  // with JsonReading::role_code: one per region to order
    std::vector<quorlin::engine::PageBox> separators;
    quorlin::engine::PageBox bounds;
    // With JsonReading::region: the Page's width and height (float or None),
    // its regions and skipped regions (lists) and its stored order (a list, or
    // None).
    quorlin::py::PyRef width;
    quorlin::py::PyRef height;
    quorlin::py::PyRef regions;
    quorlin::py::PyRef skipped;
    quorlin::py::PyRef reading_order;
};

// The first problem of a page that is not valid.
struct JsonProblem {
    enum class Kind : std::uint8_t {
        NotAnObject,        // value: the page
        BadSize,            // key: "width" or "height"; value: its value (not a coordinate)
        NegativeSize,       // key
        NoElements,         //
        ElementsNotAList,   // value
        ElementNotAnObject, // index, value
        BadId,              // index, value
        DuplicateId,        // index, id
        BoxNotFour,         // index, id
        BadBoxValue,        // index, id, position (of box), value
        MissingCorners,     // index, id
        BadCorner,          // index, id, key ("x1" ...), value
        LabelNotText,       // index, id, value
        OrderNotAList,      //
        UnknownOrderId,     // value
    };
    Kind kind = Kind::NotAnObject;
    Py_ssize_t index = -1;
    int position = -1;
    const char* key = nullptr;
    quorlin::py::PyRef id;
    quorlin::py::PyRef value;

    // (kind name, index or None, id or None, key or position or None, value or None).
    PyObject* to_tuple() const;
};

enum class JsonRead : std::uint8_t { Page, Problem, Failed };

// Page: `out` holds the page. Problem: `problem` holds the first one. Failed:
// a Python error is set (memory, or one a callback raised).
JsonRead read_json_page(PyObject* page, const JsonReading& reading, JsonPage& out, JsonProblem& problem);

}  // namespace quorlin::native
