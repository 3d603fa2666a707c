// FieldParser: the value of a "text" rule given as one XPath. The texts of
// the selected elements are joined with the separator, then normalised.
#include "ostrel_native.hpp"
#include "own_document.hpp"
#include "tree_rows.hpp"

namespace py = pybind11;
using ostrel::interned;

namespace {
py::handle text_util;    // the TextUtil class
py::handle module_dict;  // this module's globals

}  // namespace

PYBIND11_MODULE(vintor, m) {
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers.quillan", {"BaseParser"});
    ostrel::import_names(m, "requests_html", {"HTML"});
    ostrel::import_names(m, "typing", {"Optional"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.utils.trummel", {"TextUtil"});

    text_util = py::object(m.attr("TextUtil")).release();
    ostrel::own_document::init();
    ostrel::tree_rows::init();
    m.attr("_call_scope") = ostrel::tree_rows::call_scope_capsule();
    // False: the selected elements are read through lxml's proxies.
    m.attr("_read_in_tree") = true;
    module_dict = py::object(m.attr("__dict__")).release();

    ostrel::ClassBuilder cls(m, "FieldParser");
    cls.def("__init__", {"self"},
            [](py::handle self) { ostrel::set_attr(self, interned("trummel"), ostrel::call(text_util)); });
    cls.def("parse", {"self", "html", "rule", "value_separator"}, {interned("\t")},
            [](py::handle self, py::handle html, py::handle rule, py::handle separator) -> py::object {
                ostrel::check_str_arg(rule, "rule");
                ostrel::check_str_arg(separator, "value_separator");
                // requests_html's own document: the selected nodes read
                // directly, on the tree itself where that is certain.
                py::object nodes;
                if (ostrel::own_document::applies_to(html)) {
                    if (ostrel::tree_rows::enabled(module_dict)) {
                        py::object texts = ostrel::tree_rows::element_texts(html, rule);
                        if (texts && PyList_GET_SIZE(texts.ptr()) == 0) return py::none();
                        if (texts) return ostrel::normalize_with(self, ostrel::join(separator, texts));
                    }
                    nodes = ostrel::own_document::select_elements(html, rule);
                }
                if (nodes) {
                    const Py_ssize_t n = PyList_GET_SIZE(nodes.ptr());
                    if (n == 0) return py::none();
                    py::object texts = ostrel::new_list();
                    for (Py_ssize_t i = 0; i < n; ++i)
                        ostrel::append(texts, ostrel::call_method(PyList_GET_ITEM(nodes.ptr(), i),
                                                                  interned("text_content")));
                    return ostrel::normalize_with(self, ostrel::join(separator, texts));
                }
                py::object elements = ostrel::call_method(html, interned("xpath"), rule);
                if (ostrel::length(elements) == 0) return py::none();
                py::object text = ostrel::join(separator, ostrel::element_texts(elements));
                return ostrel::normalize_with(self, text);
            });
    cls.make(m.attr("BaseParser"));
}
