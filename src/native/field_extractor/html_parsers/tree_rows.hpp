// Reading a list rule in one pass on the page tree itself, with no Python
// object per node.
//
// list_rows.hpp reads the rows from the one evaluation of the length rule,
// but through lxml: every row and every node the end rule selects gets a
// Python proxy (made by lxml.html's element class lookup, in Python), and
// every text is a call of `text_content`, itself an XPath evaluation. For the
// common case, a length rule selecting child rows and an end rule going down
// from rows of which none lies in another, this reader evaluates both paths
// with the libxml2 that lxml's etree module carries (the same functions,
// compiled and evaluated as lxml.etree.XPath does) and reads each text as
// `text_content` computes it (XPath's string value of the node), so that a
// proxy is made for no node at all.
#pragma once

#include "ostrel_native.hpp"

namespace ostrel::tree_rows {

namespace py = pybind11;

// Looks up the libxml2 functions in the loaded lxml.etree module and takes
// the lxml.html objects the checks compare with. Once, at module import;
// where anything is missing or lxml is not the one this was built against,
// `read` always declines.
void init();

// An `extract` call on one document: within it, what makes the texts read on
// the tree lxml.html's own (the extension functions registered, the class of
// each element name) is looked at once, when first needed, as the call's
// parse calls go through the same page. Each parser module exports its
// scope as the capsule `_call_scope` (named kCallScopeName); the extractor
// enters it for the document it makes, and leaves it when `extract` ends
// (`leave` restores the scope `enter` returned, for calls within calls).
struct CallScope {
    void* (*enter)(PyObject* html);
    void (*leave)(void* previous);
};
constexpr const char* kCallScopeName = "ostrel.tree_rows.CallScope";
py::object call_scope_capsule();

// The `_read_in_tree` of a parser module (its globals), read at each call:
// false turns the reading on the tree off (missing: off).
bool enabled(py::handle module_dict);

// The element proxy of the first node `rule` selects (None when it selects
// nothing), where every node it selects is one lxml makes an element of, with
// the document reads of own_document::select_elements; a proxy is made for
// that node alone. A null object, with nothing observable done but reading
// `lxml`, wherever this reader is not certain.
py::object first_element(py::handle html, py::handle rule);

// The texts (`text_content()`) of the elements `rule` selects, with the
// document reads of own_document::select_elements (`lxml`, then `url` and
// `encoding` when something is selected); or a null object, with nothing
// observable done but reading `lxml`, wherever this reader is not certain.
py::object element_texts(py::handle html, py::handle rule);

// The texts of rows start_index..len(rows), or a null object when the rule,
// the document or the tree is not one this reader is certain of; nothing
// observable has happened then but reading `html.lxml`, and the caller reads
// the rows as before. Otherwise the same document reads as the one-pass
// reader of list_rows.hpp (`lxml`, `url`, `encoding`) and the same calls of
// the parser's normaliser, in the same order. Errors from those propagate.
py::object read(py::handle parser, py::handle html, py::handle length_rule, py::handle end_rule,
                py::handle start_index, py::handle separator);

}  // namespace ostrel::tree_rows
