// Reading a list rule in one pass over the matches of its length rule.
//
// FieldsParser.parse reads row i of a list rule with the XPath
// `length_rule[i]/end_rule`, evaluated from the document root: n rows cost n
// scans of the page. When the rule has the shapes of row_shapes.hpp, the one
// evaluation of the length rule (which parse makes anyway) already holds every
// row: grouped by parent, row i is the i-th match of each group. The end rule
// (any relative location path) is then evaluated from the rows of each
// position. The texts are made as the row XPaths would make them, in the same
// order and with the same document reads.
#pragma once

#include "ostrel_native.hpp"

namespace ostrel::list_rows {

namespace py = pybind11;

// The texts of rows start_index..len(length_elements) or, when the rule or
// the document is not one this reader has shown to give the row XPaths'
// answer, a null object; nothing observable has happened then, and parse reads
// the rows one XPath at a time. Errors raised while making the texts propagate.
py::object read(py::handle parser, py::handle html, py::handle length_elements, py::handle length_rule,
                py::handle end_rule, py::handle start_index, py::handle separator);

}  // namespace ostrel::list_rows
