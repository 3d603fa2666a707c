// FieldParser: the value of a "text" rule given as one XPath. The texts of
// the selected elements are joined with the separator, then normalised.
#include "ostrel_native.hpp"

namespace py = pybind11;
using ostrel::interned;

PYBIND11_MODULE(vintor, m) {
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers.quillan", {"BaseParser"});
    ostrel::import_names(m, "requests_html", {"HTML"});
    ostrel::import_names(m, "typing", {"Optional"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.utils.trummel", {"TextUtil"});

    static py::handle text_util = py::object(m.attr("TextUtil")).release();
    static ostrel::Signature init_sig("FieldParser.__init__", {"self"});
    static ostrel::Signature parse_sig("FieldParser.parse", {"self", "html", "rule", "value_separator"},
                                       {interned("\t")});

    py::dict ns;
    ns["__init__"] = ostrel::method("__init__", [](py::args args, py::kwargs kwargs) {
        auto [self] = init_sig.bind<1>(args, kwargs);
        ostrel::set_attr(self, interned("trummel"), ostrel::call(text_util));
        return py::none();
    });
    ns["parse"] = ostrel::method("parse", [](py::args args, py::kwargs kwargs) -> py::object {
        auto [self, html, rule, separator] = parse_sig.bind<4>(args, kwargs);
        ostrel::check_str_arg(rule, "rule");
        ostrel::check_str_arg(separator, "value_separator");
        py::object elements = ostrel::call_method(html, interned("xpath"), rule);
        if (ostrel::length(elements) == 0) return py::none();
        py::object text = ostrel::join(separator, ostrel::element_texts(elements));
        return ostrel::normalize_with(self, text);
    });
    py::object base = m.attr("BaseParser");
    ostrel::make_class(m, "FieldParser", py::type::of(base), py::make_tuple(base), ns);
}
