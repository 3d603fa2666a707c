// requests_html's own documents, read without its wrappers.
//
// requests_html's `HTML.xpath(rule)` evaluates the rule on the page tree
// (`self.lxml.xpath(rule)`) and wraps every node it selects in an `Element`
// made with the document's `url` and `encoding`. For a document that is
// requests_html's own `HTML` with its own `xpath`, `lxml` and `encoding`
// (`applies_to`), the parsers evaluate the rule themselves with a compiled
// XPath and read the nodes directly, with the same document reads; anything
// else (another result, an error) is left to `HTML.xpath`, which gives it.
#pragma once

#include <string_view>

#include "ostrel_native.hpp"

namespace ostrel::own_document {

namespace py = pybind11;

// Takes the requests_html and lxml objects the checks compare with. Once, at
// module import.
void init();

// Whether `html` is a requests_html HTML document whose xpath, lxml and
// encoding are requests_html's own (and whose Element, its constructor and
// its attrs are requests_html's).
bool applies_to(py::handle html);

// What `html.xpath(rule)` selects, for a document `applies_to`, as the lxml
// elements themselves: the same evaluation and document reads (`lxml`, then
// `url` and `encoding` when something is selected), without the wrappers. A
// null object, with nothing observable done but reading `lxml`, when `rule`
// is not exactly a str, `lxml` is not an element, the rule fails or selects
// anything but elements: the caller
// then calls html.xpath, which gives the answer.
py::object select_elements(py::handle html, py::handle rule);

// etree.XPath(path), compiled once per process (bounded cache).
py::object compiled(py::handle path);

bool is_lxml_element(PyObject* o);
// A requests_html Element (exactly).
bool is_element_wrapper(PyObject* o);
// The UTF-8 of a str, or an empty view when it has none (lone surrogates).
std::string_view utf8(PyObject* s);

}  // namespace ostrel::own_document
