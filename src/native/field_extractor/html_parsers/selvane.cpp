// AttrParser: the value of an "attr" rule, one attribute of the first element
// that the rule's XPath selects, exactly as the document gives it.
#include "ostrel_native.hpp"
#include "own_document.hpp"
#include "tree_rows.hpp"

namespace py = pybind11;
using ostrel::interned;

namespace {

// The document library gives multi-valued attributes (class, rel) as tuples
// of words; they come back as the words joined by one space.
py::object attribute_text(py::object value) {
    PyObject* v = value.ptr();
    if (v == Py_None || PyUnicode_CheckExact(v)) return value;
    if (PyTuple_CheckExact(v)) {
        bool all_str = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v) && all_str; ++i)
            all_str = PyUnicode_CheckExact(PyTuple_GET_ITEM(v, i));
        if (all_str) return ostrel::join(interned(" "), value);
    }
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", Py_TYPE(v)->tp_name);
    ostrel::throw_error();
}

// Element.attrs of requests_html for `node`: its attributes in a dict, class
// and rel split into tuples of words.
py::object attrs_of(py::handle node) {
    py::object attrs = ostrel::new_dict();
    py::object items = ostrel::iterate(ostrel::call_method(node, interned("items")));
    while (py::object item = ostrel::next_item(items)) {
        py::object key, value;
        ostrel::unpack(item, {&key, &value});
        ostrel::set_item(attrs, key, value);
    }
    for (const char* name : {"class", "rel"}) {
        PyObject* value = PyDict_GetItemWithError(attrs.ptr(), interned(name).ptr());
        if (value == nullptr) {
            if (PyErr_Occurred()) ostrel::throw_error();
            continue;
        }
        py::object words = ostrel::call_method(value, interned("split"));
        ostrel::set_item(attrs, interned(name), ostrel::steal(PySequence_Tuple(words.ptr())));
    }
    return attrs;
}

py::handle module_dict;  // this module's globals

}  // namespace

PYBIND11_MODULE(selvane, m) {
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers.quillan", {"BaseParser"});
    ostrel::import_names(m, "requests_html", {"HTML"});
    ostrel::import_names(m, "typing", {"Optional"});
    ostrel::own_document::init();
    ostrel::tree_rows::init();
    m.attr("_call_scope") = ostrel::tree_rows::call_scope_capsule();
    // False: every selected element gets its proxy, as XPath gives them.
    m.attr("_read_in_tree") = true;
    module_dict = py::object(m.attr("__dict__")).release();

    ostrel::ClassBuilder cls(m, "AttrParser");
    cls.def("parse", {"self", "html", "rule", "attr_name"},
            [](py::handle self, py::handle html, py::handle rule, py::handle attr_name) -> py::object {
                ostrel::check_str_arg(rule, "rule");
                ostrel::check_str_arg(attr_name, "attr_name");
                // requests_html's own document: the first selected node read directly.
                py::object nodes;
                if (ostrel::own_document::applies_to(html)) {
                    // On the tree itself, a proxy for the first node alone.
                    py::object first;
                    if (ostrel::tree_rows::enabled(module_dict))
                        first = ostrel::tree_rows::first_element(html, rule);
                    if (first && first.is_none()) return first;
                    if (first) return attribute_text(ostrel::get_item(attrs_of(first), attr_name));
                    nodes = ostrel::own_document::select_elements(html, rule);
                }
                if (nodes) {
                    if (PyList_GET_SIZE(nodes.ptr()) == 0) return py::none();
                    py::object attrs = attrs_of(PyList_GET_ITEM(nodes.ptr(), 0));
                    return attribute_text(ostrel::get_item(attrs, attr_name));
                }
                py::object elements = ostrel::call_method(html, interned("xpath"), rule);
                if (ostrel::length(elements) == 0) return py::none();
                py::object first = ostrel::get_item(elements, py::int_(0));
                py::object attrs = ostrel::get_attr(first, interned("attrs"));
                return attribute_text(ostrel::get_item(attrs, attr_name));
            });
    cls.make(m.attr("BaseParser"));
}
