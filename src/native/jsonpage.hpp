#pragma once
// The fast path of a JSON page (a dict as json.loads gives it): checks what
// the package's Python reader checks, reads the boxes of the regions to
// order straight from the element dicts, and hands anything unusual back to
// that reader, so that every error message stays the reader's own.

#include <vector>

#include "../pyref.hpp"
#include "quorlin_sorter/sorter.hpp"

namespace quorlin::native {

// The ids and boxes of the regions to order, in element order.
struct JsonPage {
    std::vector<quorlin::py::PyRef> ids;
    std::vector<quorlin::sorter::Box> boxes;
};

// 1: `page` is a valid page and `out` holds its regions to order. 0: the
// page has something the fast path does not decide (an error, or a value it
// does not know); the caller runs the Python reader. -1: a Python error
// (memory, or one raised by `skip_label`, which is called with the text of
// each "label" and says whether the element is left out of the order).
int read_json_page(PyObject* page, PyObject* skip_label, JsonPage& out);

}  // namespace quorlin::native
