// De-duplication of rows by a structural hash table.
#pragma once

#include "ostrel_native.hpp"

namespace ostrel {

// A new list of the rows of `rows` (any iterable) without repeats: the
// result of `if row not in retained: retained.append(row)` over the rows in
// order, with the same comparisons, in the same order, as far as they can
// run Python code or raise. Rows that are exact dicts of plain built-in
// values are found by hash instead of by a scan of every retained row.
py::object distinct_rows(py::handle rows);

}  // namespace ostrel
