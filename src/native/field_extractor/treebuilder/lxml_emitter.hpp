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

#include <vector>

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

// --- what both emitters share (libxml_emitter.hpp builds the same tree) -----

// soupparser's choice of the root. The root's children (the other top-level
// nodes between the first tag and the last, the html root's own children in
// its place) are relinked into one list starting at `first_child`.
struct RootPlan {
    std::vector<NodeId> top;                // the document's children, as they were
    size_t roots_begin = 0, roots_end = 0;  // the roots: top[roots_begin:roots_end]
    NodeId html_root = kNoNode;             // the first top-level html element, if any
    NodeId declaration = kNoNode;           // the first top-level doctype or declaration
    NodeId first_child = kNoNode;
    bool returns_inner_html = false;  // soupparser returns the root's only child, an html element
};
RootPlan plan_root(Soup& soup);

// `result`, or a bail-out where lxml raised an Exception (anything else, such
// as KeyboardInterrupt, propagates).
PyObject* check_lxml(PyObject* result);

// The first element child of the lxml element `root` (a new reference).
PyObject* inner_html(PyObject* root);

// Sets docinfo.public_id and system_url of the tree of the lxml element
// `root` from the declaration's output_ready(), as soupparser does.
void set_docinfo(PyObject* root, const Soup& soup, const Node& declaration);

// lxml.html.html_parser (borrowed).
PyObject* lxml_html_parser();

}  // namespace ostrel::treebuilder
