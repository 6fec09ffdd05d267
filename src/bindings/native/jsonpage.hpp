#pragma once
// The fast path of a JSON page (a dict as json.loads gives it): checks what
// the package's Python reader checks, reads the boxes of the regions to
// order straight from the element dicts, and hands anything unusual back to
// that reader, so that every error message stays the reader's own.

#include <vector>

#include "common/pyref.hpp"
#include "quorlin/engine/profile.hpp"

namespace quorlin::native {

// The ids and boxes of the regions to order, in element order, with what the
// reader's Page gives the ordering beside them: its separators and bounds.
struct JsonPage {
    std::vector<quorlin::py::PyRef> ids;
    std::vector<quorlin::engine::PageBox> boxes;
    std::vector<quorlin::engine::PageBox> separators;
    // (0, 0, width, height) when the page has both, else the union of every
    // element's box, else (0, 0, 0, 0): Page.bounds.
    quorlin::engine::PageBox bounds;
};

// 1: `page` is a valid page and `out` holds its regions to order. 0: the
// page has something the fast path does not decide (an error, or a value it
// does not know); the caller runs the Python reader. -1: a Python error
// (memory, or one raised by `label_role`). `label_role` is called with the
// text of each "label" and returns the element's role: a false value for a
// region to order, "separator" for a separator (evidence for the ordering),
// any other true value for one left out (noise).
int read_json_page(PyObject* page, PyObject* label_role, JsonPage& out);

}  // namespace quorlin::native
