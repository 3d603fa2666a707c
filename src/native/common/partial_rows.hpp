// Partial rows as text. While a record is expanded into rows, each partial
// row travels through the matcher as one str, the JSON text of
// {"0": value, "1": value, ...}, so that the matcher sees it as a single
// value. Rows of str values (what the parsers give) are written and read
// natively; anything else goes through the json module. Both ways give
// exactly json.dumps(value, ensure_ascii=False) and json.loads(text).
#pragma once

#include "ostrel_native.hpp"

#include <unordered_map>
#include <utility>

namespace ostrel::partial_rows {

// The json module's functions for what is not written or read natively:
// json.JSONEncoder(ensure_ascii=False).encode and json.loads. Set once at
// module load; the handles must live as long as the module.
void use_json(py::handle encode, py::handle loads);

// `json.dumps(value, ensure_ascii=False)` and `json.loads(text)`.
py::object dumps(py::handle value);
py::object loads(py::handle text);

// While a record is being matched, the texts written for it are remembered
// with the dict that each encodes (one generation: the texts of the latest
// column), so that reading one back is a lookup and extending one by a column
// appends to its text instead of writing it again. A MatchingScope spans the
// matching of one record (scopes nest; the outermost one owns the memory).
using Generation = std::unordered_map<PyObject*, std::pair<py::object, py::object>>;  // text -> (text, row)

class MatchingScope {
public:
    MatchingScope();
    ~MatchingScope();
    MatchingScope(const MatchingScope&) = delete;
    MatchingScope& operator=(const MatchingScope&) = delete;
};

// The dict that `text` encodes, when it was written in the current scope and
// generation (else empty). The caller must not modify it.
py::object known_row(py::handle text);

// The partial-row text of {"0": value}, remembered in `generation`.
py::object first_column(Generation& generation, py::handle value);

// The partial-row text `head` extended by the column `column` (a str)
// holding `value`, remembered in `generation`.
py::object next_column(Generation& generation, py::handle head, py::handle column, py::handle value);

// Makes `generation` the remembered one (the previous one is left in it).
void advance(Generation& generation);

}  // namespace ostrel::partial_rows
