// FieldsParser: the values of a "text" rule given as a list of two XPaths
// that select the same field in two rows of a repeated structure. From them it
// derives an XPath selecting every row (the length rule), the path from a row
// down to the field (the end rule) and the first row to read, then reads one
// normalised text per row position.
#include "list_rows.hpp"
#include "ostrel_native.hpp"
#include "own_document.hpp"
#include "tree_rows.hpp"

#include <string>
#include <unordered_map>

namespace py = pybind11;
using ostrel::append;
using ostrel::interned;
using ostrel::steal;

namespace {

const char* const kParseDoc =
    "先获得长度，再构建语句，以及最终的开头（或者直接不设置开头），然后再挨个语句抽取\n"
    "\n"
    "        :param html: _description_\n"
    "        :type html: HTML\n"
    "        :param rules: _description_\n"
    "        :type rules: List[str]\n"
    "        :return: _description_\n"
    "        :rtype: Optional[List[str]]\n"
    "        ";

const char* const kExtractRuleDoc =
    "通过比较两个xpath语法的不同，拆分用来抽取行数的语法（length_rule）和用来定位的语法（end_rule）\n"
    "\n"
    "        :param rules: _description_\n"
    "        :type rules: List[str]\n"
    "        :return: _description_\n"
    "        :rtype: Tuple[str, str, int]\n"
    "        ";

py::handle re_split;     // re.split, for steps that are not plain str
py::handle module_dict;  // this module's globals
py::handle text_util;    // the TextUtil class

// The steps of one XPath: `expression.split("/")`.
py::object steps_of(py::handle expression) {
    if (ostrel::is_exact_str(expression))
        return steal(PyUnicode_Split(expression.ptr(), interned("/").ptr(), -1));
    return ostrel::call_method(expression, interned("split"), interned("/"));
}

// `re.split(r"[\[\]]", step)`: the pieces between square brackets.
py::object bracket_split(py::handle step) {
    if (!ostrel::is_exact_str(step)) return ostrel::call(re_split, interned("[\\[\\]]"), step);
    PyObject* s = step.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    py::object pieces = steal(PyList_New(0));
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i <= n; ++i) {
        if (i < n) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c != '[' && c != ']') continue;
        }
        py::object piece = steal(PyUnicode_Substring(s, start, i));
        if (PyList_Append(pieces.ptr(), piece.ptr()) < 0) ostrel::throw_error();
        start = i + 1;
    }
    return pieces;
}

py::object item(py::handle seq, Py_ssize_t i) { return steal(PySequence_GetItem(seq.ptr(), i)); }

py::object extract_rule(py::handle rules) {
    py::object start_rules = steps_of(ostrel::get_item(rules, py::int_(0)));
    py::object location_rules = steps_of(ostrel::get_item(rules, py::int_(1)));
    py::object length_rules = steal(PyList_New(0));
    py::object end_rules = steal(PyList_New(0));
    py::object index = py::int_(0);
    const Py_ssize_t length = std::min(ostrel::length(start_rules), ostrel::length(location_rules));
    bool end_compare = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        py::object step = item(start_rules, i);
        if (end_compare) {
            append(end_rules, step);
        } else if (!ostrel::truth(
                       steal(PyObject_RichCompare(step.ptr(), item(location_rules, i).ptr(), Py_NE)))) {
            append(length_rules, step);
        } else {
            py::object splitted_rules = bracket_split(step);
            append(length_rules, item(splitted_rules, 0));
            py::object number = item(splitted_rules, 1);
            index = steal(PyNumber_Long(number.ptr()));
            end_compare = true;
        }
    }
    return py::make_tuple(ostrel::join(interned("/"), length_rules), ostrel::join(interned("/"), end_rules),
                          index);
}

PyTypeObject* parser_type = nullptr;   // FieldsParser
PyObject* own_extract_rule = nullptr;  // the function of FieldsParser._extract_rule

// Whether self._extract_rule is FieldsParser's own, bound to self.
bool own_extract_rule_of(py::handle self) {
    return Py_TYPE(self.ptr()) == parser_type &&
           ostrel::is_own_method(self, interned("_extract_rule"), own_extract_rule);
}

// self._extract_rule(rules). Its answer depends on the two XPaths alone: for
// FieldsParser's own method and a list of str, the answer for each pair is
// kept (per process, at most 512 pairs) rather than split and joined again
// for every page. A pair whose answer is an error is worked out every time.
py::object located(py::handle self, py::handle rules) {
    PyObject* r = rules.ptr();
    if (!PyList_CheckExact(r) || PyList_GET_SIZE(r) < 2 || !PyUnicode_CheckExact(PyList_GET_ITEM(r, 0)) ||
        !PyUnicode_CheckExact(PyList_GET_ITEM(r, 1)) || !own_extract_rule_of(self))
        return ostrel::call_method(self, interned("_extract_rule"), rules);
    static std::unordered_map<std::string, PyObject*> answers;
    constexpr size_t kMostPairs = 512;
    Py_ssize_t first_size = 0, second_size = 0;
    const char* first = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(r, 0), &first_size);
    const char* second = first ? PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(r, 1), &second_size) : nullptr;
    if (second == nullptr) {
        PyErr_Clear();  // lone surrogates: no key, the answer is worked out
        return extract_rule(rules);
    }
    std::string key = std::to_string(first_size) + ':';
    key.append(first, static_cast<size_t>(first_size)).append(second, static_cast<size_t>(second_size));
    auto found = answers.find(key);
    if (found != answers.end()) return ostrel::borrow(found->second);
    py::object answer = extract_rule(rules);
    if (answers.size() >= kMostPairs) {
        for (auto& entry : answers) Py_DECREF(entry.second);
        answers.clear();
    }
    if (answers.emplace(std::move(key), answer.ptr()).second) Py_INCREF(answer.ptr());
    return answer;
}

// The XPath of row `i`: length_rule[i] or length_rule[i]/end_rule.
py::object row_rule(py::handle length_rule, py::handle end_rule, py::handle i, bool has_end) {
    if (ostrel::is_exact_str(length_rule) && ostrel::is_exact_str(end_rule) && PyLong_CheckExact(i.ptr())) {
        return has_end ? steal(PyUnicode_FromFormat("%U[%S]/%U", length_rule.ptr(), i.ptr(), end_rule.ptr()))
                       : steal(PyUnicode_FromFormat("%U[%S]", length_rule.ptr(), i.ptr()));
    }
    py::object rule = steal(PyNumber_Add(length_rule.ptr(), interned("[").ptr()));
    rule = steal(PyNumber_Add(rule.ptr(), steal(PyObject_Str(i.ptr())).ptr()));
    if (!has_end) return steal(PyNumber_Add(rule.ptr(), interned("]").ptr()));
    rule = steal(PyNumber_Add(rule.ptr(), interned("]/").ptr()));
    return steal(PyNumber_Add(rule.ptr(), end_rule.ptr()));
}

}  // namespace

PYBIND11_MODULE(kestrum, m) {
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers.quillan", {"BaseParser"});
    ostrel::import_names(m, "requests_html", {"HTML"});
    ostrel::import_names(m, "typing", {"Optional", "List", "Tuple"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.utils.trummel", {"TextUtil"});
    m.attr("re") = py::module_::import("re");
    re_split = py::object(m.attr("re").attr("split")).release();
    ostrel::own_document::init();
    ostrel::tree_rows::init();
    m.attr("_call_scope") = ostrel::tree_rows::call_scope_capsule();
    // False: list rules are read through lxml's element proxies (one pass,
    // or row by row), never on the tree itself.
    m.attr("_read_in_tree") = true;
    module_dict = py::object(m.attr("__dict__")).release();

    text_util = py::object(m.attr("TextUtil")).release();

    ostrel::ClassBuilder cls(m, "FieldsParser");
    cls.def("__init__", {"self"},
            [](py::handle self) { ostrel::set_attr(self, interned("trummel"), ostrel::call(text_util)); });
    cls.def(
        "parse", {"self", "html", "rules", "value_separator"}, {interned("\t")},
        [](py::handle self, py::handle html, py::handle rules, py::handle separator) -> py::object {
            ostrel::check_str_arg(separator, "value_separator");
            py::object length_rule, end_rule, start_index;
            ostrel::unpack(located(self, rules), {&length_rule, &end_rule, &start_index});

            const bool one_pass = ostrel::own_document::applies_to(html);
            if (one_pass && ostrel::tree_rows::enabled(module_dict)) {
                py::object texts =
                    ostrel::tree_rows::read(self, html, length_rule, end_rule, start_index, separator);
                if (texts) return texts;
            }
            py::object length_elements;
            if (one_pass) length_elements = ostrel::own_document::select_elements(html, length_rule);
            if (!length_elements) length_elements = ostrel::call_method(html, interned("xpath"), length_rule);
            py::object elements_text = steal(PyList_New(0));
            if (ostrel::equals(length_elements, steal(PyList_New(0)))) return py::none();
            const bool has_end = !ostrel::equals(end_rule, interned(""));
            auto row_text = [&](py::handle i) -> py::object {
                py::object rule = row_rule(length_rule, end_rule, i, has_end);
                py::object elements = ostrel::call_method(html, interned("xpath"), rule);
                if (ostrel::length(elements) == 0) return ostrel::borrow(interned("").ptr());
                py::object text = ostrel::join(separator, ostrel::element_texts(elements));
                return ostrel::normalize_with(self, text);
            };
            if (one_pass) {
                py::object texts = ostrel::list_rows::read(self, html, length_elements, length_rule, end_rule,
                                                           start_index, separator);
                if (texts) return texts;
            }
            py::object stop = py::int_(ostrel::length(length_elements) + 1);
            py::object rows = steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyRange_Type),
                                                                 start_index.ptr(), stop.ptr(), nullptr));
            py::object it = steal(PyObject_GetIter(rows.ptr()));
            while (PyObject* raw = PyIter_Next(it.ptr())) {
                py::object i = steal(raw);
                append(elements_text, row_text(i));
            }
            if (PyErr_Occurred()) ostrel::throw_error();
            return elements_text;
        },
        kParseDoc);
    cls.def(
        "_extract_rule", {"self", "rules"},
        [](py::handle self, py::handle rules) { return extract_rule(rules); }, kExtractRuleDoc);
    py::object parser_class = cls.make(m.attr("BaseParser"));
    own_extract_rule = ostrel::method_function(parser_class, "_extract_rule");
    parser_type = reinterpret_cast<PyTypeObject*>(parser_class.release().ptr());
}
