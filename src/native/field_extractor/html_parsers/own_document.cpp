#include "own_document.hpp"

#include <string>
#include <unordered_map>

namespace ostrel::own_document {
namespace {

// Taken at import and held for the life of the process.
PyObject* html_type = nullptr;      // requests_html.HTML
PyObject* element_type = nullptr;   // requests_html.Element
PyObject* element_init = nullptr;   // requests_html.Element.__init__
PyObject* element_attrs = nullptr;  // requests_html.Element.attrs (property)
PyObject* requests_html_dict = nullptr;
PyObject* own_xpath = nullptr;     // BaseParser.xpath
PyObject* own_lxml = nullptr;      // BaseParser.lxml (property)
PyObject* own_encoding = nullptr;  // BaseParser.encoding (property)
PyObject* lxml_element = nullptr;  // lxml.etree._Element
PyObject* xpath_class = nullptr;   // lxml.etree.XPath

PyObject* take(py::handle owner, const char* name) { return py::object(owner.attr(name)).release().ptr(); }

PyObject* class_entry(py::handle cls, const char* name) {
    return py::object(cls.attr("__dict__")[name]).release().ptr();
}

}  // namespace

std::string_view utf8(PyObject* s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {data, static_cast<size_t>(size)};
}

// etree.XPath(path), compiled once per process: the rules of an extractor
// are read again for every page. (lxml serialises the evaluations of one
// compiled XPath, so sharing it between threads is safe.) Bounded: parse is
// public and may be given any number of distinct rules.
py::object compiled(py::handle path) {
    static std::unordered_map<std::string, PyObject*> cache;
    constexpr size_t kMostPaths = 512;
    const std::string_view text = utf8(path.ptr());
    auto found = cache.find(std::string(text));
    if (found != cache.end()) return borrow(found->second);
    py::object made = steal(PyObject_CallOneArg(xpath_class, path.ptr()));
    if (cache.size() >= kMostPaths) {
        for (auto& entry : cache) Py_DECREF(entry.second);
        cache.clear();
    }
    if (!text.empty()) {
        PyObject* held = py::object(made).release().ptr();
        if (!cache.emplace(std::string(text), held).second) Py_DECREF(held);  // made meanwhile
    }
    return made;
}

bool is_lxml_element(PyObject* o) {
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(lxml_element));
}

bool is_element_wrapper(PyObject* o) { return Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(element_type); }

void init() {
    py::module_ requests_html = py::module_::import("requests_html");
    py::module_ etree = py::module_::import("lxml.etree");
    html_type = take(requests_html, "HTML");
    element_type = take(requests_html, "Element");
    element_init = class_entry(requests_html.attr("Element"), "__init__");
    element_attrs = class_entry(requests_html.attr("Element"), "attrs");
    requests_html_dict = take(requests_html, "__dict__");
    py::object base = requests_html.attr("BaseParser");
    own_xpath = class_entry(base, "xpath");
    own_lxml = class_entry(base, "lxml");
    own_encoding = class_entry(base, "encoding");
    lxml_element = take(etree, "_Element");
    xpath_class = take(etree, "XPath");
}

bool applies_to(py::handle html) {
    PyTypeObject* type = Py_TYPE(html.ptr());
    if (type != reinterpret_cast<PyTypeObject*>(html_type)) return false;
    if (_PyType_Lookup(type, interned("xpath").ptr()) != own_xpath ||
        _PyType_Lookup(type, interned("lxml").ptr()) != own_lxml ||
        _PyType_Lookup(type, interned("encoding").ptr()) != own_encoding ||
        _PyType_Lookup(type, interned("url").ptr()) != nullptr)
        return false;
    if (PyDict_GetItemWithError(requests_html_dict, interned("Element").ptr()) != element_type ||
        _PyType_Lookup(reinterpret_cast<PyTypeObject*>(element_type), interned("__init__").ptr()) !=
            element_init ||
        _PyType_Lookup(reinterpret_cast<PyTypeObject*>(element_type), interned("attrs").ptr()) !=
            element_attrs) {
        PyErr_Clear();
        return false;
    }
    // An instance attribute may shadow xpath: what parse calls must be
    // requests_html's own function bound to this document. (Looked up, not
    // read from the instance dict, which would turn the document's inline
    // attribute values into a dict and slow every later attribute read.)
    return ostrel::is_own_method(html, interned("xpath"), own_xpath);
}

py::object select_elements(py::handle html, py::handle rule) {
    if (!PyUnicode_CheckExact(rule.ptr())) return {};
    py::object root = get_attr(html, interned("lxml"));
    if (!is_lxml_element(root.ptr())) return {};  // a tree or anything else: as html.xpath reads it
    py::object found;
    try {
        found = steal(PyObject_CallOneArg(compiled(rule).ptr(), root.ptr()));
    } catch (py::error_already_set&) {
        return {};  // html.xpath raises its own error
    }
    if (!PyList_CheckExact(found.ptr())) return {};
    const Py_ssize_t n = PyList_GET_SIZE(found.ptr());
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!is_lxml_element(PyList_GET_ITEM(found.ptr(), k))) return {};
    }
    if (n > 0) {
        // Each Element requests_html makes reads these (the same answer every time).
        get_attr(html, interned("url"));
        get_attr(html, interned("encoding"));
    }
    return found;
}

}  // namespace ostrel::own_document
