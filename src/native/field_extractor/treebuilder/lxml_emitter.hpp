// soupparser's conversion of the BeautifulSoup tree into lxml elements.
//
// Follows lxml.html.soupparser (_convert_tree and its helpers): text before
// the first and after the last top-level tag dropped, the html root chosen or
// made, entity names resolved once more by its unescape, then lxml nodes made
// through lxml's C API with the same calls and arguments soupparser makes.
// Any error lxml raises on the way declines the page (lxml refuses the same
// strings whichever way they reach it, and soupparser's caller then falls
// back).
#pragma once

#include <Python.h>

#include "chars.hpp"
#include "soup_tree.hpp"

namespace ostrel::treebuilder {

// Imports lxml's C API and the lxml objects soupparser calls. Once, at
// module import; raises py::error_already_set.
void init_lxml_emitter();

// The lxml version whose headers (struct layouts) this module was compiled
// with.
const char* lxml_built_against();

// The element soupparser.fromstring returns for the finished `soup` of the
// str `page` (a new reference), or a bail-out.
PyObject* emit_lxml_tree(Soup& soup, PyObject* page, const UnescapeTables& tables);

}  // namespace ostrel::treebuilder
