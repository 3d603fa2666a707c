#include "tree_rows.hpp"

#include <dlfcn.h>

// Only the libxml2 and lxml types: the functions used are lxml's, looked up
// at import.
#include <libxml/tree.h>
#include <libxml/xmlversion.h>
#include <libxml/xpath.h>
#include "lxml-version.h"
#include "lxml.etree_api.h"
#undef utf8  // lxml's C-API name for its _utf8, not own_document::utf8

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "own_document.hpp"
#include "row_shapes.hpp"

namespace ostrel::tree_rows {
namespace {

using own_document::is_lxml_element;

// Start indexes below this are left to the row XPaths (as in list_rows.cpp).
constexpr long long kLowestStart = -(1LL << 20);

struct Libxml {
    decltype(&::xmlXPathNewContext) new_context;
    decltype(&::xmlXPathFreeContext) free_context;
    decltype(&::xmlXPathCtxtCompile) compile;
    decltype(&::xmlXPathCompiledEval) evaluate;
    decltype(&::xmlXPathFreeObject) free_object;
    decltype(&::xmlXPathFreeCompExpr) free_compiled;
    decltype(&::xmlXPathCastNodeToString) string_value;
    xmlFreeFunc* free;  // the variable xmlFree
};
const Libxml* libxml = nullptr;  // null: the reader is off

// Taken at import and held for the life of the process.
PyObject* html_parser = nullptr;         // lxml.html.html_parser
PyObject* lxml_html_dict = nullptr;      // lxml.html.__dict__
PyObject* collect_string = nullptr;      // lxml.html._collect_string_content
PyObject* text_content = nullptr;        // lxml.html.HtmlMixin.text_content
PyObject* function_namespace = nullptr;  // lxml.etree.FunctionNamespace

template <class F>
bool look_up(void* module, const char* name, F& fn) {
    void* symbol = dlsym(module, name);
    fn = reinterpret_cast<F>(symbol);
    return symbol != nullptr;
}

template <class... A>
void ignore(A...) {}

// lxml's _isElement: the nodes it makes element proxies for.
bool element_like(const xmlNode* node) {
    return node->type == XML_ELEMENT_NODE || node->type == XML_COMMENT_NODE ||
           node->type == XML_ENTITY_REF_NODE || node->type == XML_PI_NODE;
}

// lxml's getparent(): the parent when it is element-like, else null.
xmlNode* parent_of(const xmlNode* node) {
    xmlNode* up = node->parent;
    return up != nullptr && element_like(up) ? up : nullptr;
}

// The compiled form of each path this thread has evaluated (null: it does
// not compile), kept for the life of the thread: the rules of an extractor
// are read again for every page. Bounded, as parse is public and may be
// given any number of distinct rules.
struct Compiled {
    std::unordered_map<std::string, xmlXPathCompExpr*> paths;
    void clear() {
        for (auto& entry : paths)
            if (entry.second != nullptr) libxml->free_compiled(entry.second);
        paths.clear();
    }
    ~Compiled() { clear(); }
};

xmlXPathCompExpr* compiled(xmlXPathContext* ctxt, const std::string& path) {
    static thread_local Compiled cache;
    constexpr size_t kMostPaths = 512;
    auto found = cache.paths.find(path);
    if (found != cache.paths.end()) return found->second;
    if (cache.paths.size() >= kMostPaths) cache.clear();
    // Written with `/descendant::` where that selects the same nodes faster.
    const std::string fast = row_shapes::descendant_steps(path);
    xmlXPathCompExpr* made = libxml->compile(ctxt, reinterpret_cast<const xmlChar*>(fast.c_str()));
    cache.paths.emplace(path, made);
    return made;
}

// The nodes `path` selects from `context`, as lxml.etree.XPath(path) selects
// them: evaluated in a fresh context with the node's document and the node
// as context, nothing registered. False when it fails or gives anything but
// a node-set; its errors go nowhere (lxml's compilation of the same path has
// already succeeded, or the caller declines).
bool select(xmlNode* context, const std::string& path, std::vector<xmlNode*>& out) {
    xmlXPathContext* ctxt = libxml->new_context(nullptr);
    if (ctxt == nullptr) return false;
    ctxt->error = ignore;
    bool ok = false;
    if (xmlXPathCompExpr* expression = compiled(ctxt, path)) {
        ctxt->doc = context->doc;
        ctxt->node = context;
        if (xmlXPathObject* found = libxml->evaluate(expression, ctxt)) {
            if (found->type == XPATH_NODESET) {
                ok = true;
                if (const xmlNodeSet* set = found->nodesetval)
                    out.assign(set->nodeTab, set->nodeTab + std::max(set->nodeNr, 0));
            }
            libxml->free_object(found);
        }
    }
    libxml->free_context(ctxt);
    return ok;
}

// Paths this reader evaluates itself: no function call or node test with
// parentheses, no variable, no namespace prefix (only `::` after an axis),
// so that nothing lxml registers in its context (extension functions,
// namespaces, variables) can take part.
bool plain_path(std::string_view path) {
    for (size_t k = 0; k < path.size(); ++k) {
        const char c = path[k];
        if (c == '(' || c == '$' || c == '\0') return false;
        if (c == ':') {
            if (k + 1 >= path.size() || path[k + 1] != ':') return false;
            ++k;
        }
    }
    return true;
}

// The rows: the length rule's matches by position within their parent.
struct Rows {
    std::vector<xmlNode*> nodes;    // document order
    std::vector<size_t> position;   // 1-based, within the parent
    std::vector<xmlNode*> parents;  // per group (null: no element parent)
    size_t longest = 0;
    std::unordered_map<const xmlNode*, size_t> position_of;
};

bool group_rows(const std::vector<xmlNode*>& found, Rows& rows) {
    std::unordered_map<const xmlNode*, size_t> size_of;  // per parent
    rows.nodes = found;
    rows.position.reserve(found.size());
    for (xmlNode* node : found) {
        if (node->type != XML_ELEMENT_NODE) return false;
        xmlNode* parent = parent_of(node);
        auto [at, added] = size_of.try_emplace(parent, 0);
        if (added) rows.parents.push_back(parent);
        const size_t p = ++at->second;
        rows.longest = std::max(rows.longest, p);
        rows.position.push_back(p);
        if (!rows.position_of.emplace(node, p).second) return false;
    }
    return true;
}

// Whether no row lies inside another (see list_rows.cpp), within a budget.
bool rows_apart(const Rows& rows) {
    std::unordered_set<const xmlNode*> clear;
    size_t budget = 4 * rows.nodes.size() + 100000;
    for (xmlNode* start : rows.parents) {
        std::vector<const xmlNode*> path;
        for (const xmlNode* node = start; node != nullptr && clear.count(node) == 0; node = parent_of(node)) {
            if (budget-- == 0 || rows.position_of.count(node) != 0) return false;
            path.push_back(node);
        }
        clear.insert(path.begin(), path.end());
    }
    return true;
}

// Each match of `length_rule/end_rule` given to the row it lies in, by that
// row's position (see list_rows.cpp: with the rows apart, that is what each
// row XPath selects). False when a match is not an element or lies in no row.
bool select_by_row(const Rows& rows, xmlNode* context, const std::string& path, size_t lowest,
                   std::vector<std::vector<xmlNode*>>& selected) {
    std::vector<xmlNode*> found;
    if (!select(context, path, found)) return false;
    size_t budget = 8 * found.size() + 100000;
    for (xmlNode* match : found) {
        if (match->type != XML_ELEMENT_NODE) return false;
        const xmlNode* node = match;
        auto row = rows.position_of.find(node);
        while (row == rows.position_of.end()) {
            if (budget-- == 0 || (node = parent_of(node)) == nullptr) return false;
            row = rows.position_of.find(node);
        }
        if (row->second >= lowest) selected[row->second].push_back(match);
    }
    return true;
}

bool own_text_content(PyTypeObject* type) {
    return _PyType_Lookup(type, interned("text_content").ptr()) == text_content;
}

// The string values of the selected nodes (XPath's, which `text_content()`
// gives), in UTF-8, per position, and the names of the nodes: read before
// any Python code runs, which could let another thread change the tree.
// `readable` is false when a node is not an element without a namespace,
// has a proxy whose class does not take lxml.html's text_content, or its
// value cannot be read.
struct RawTexts {
    std::vector<std::vector<std::string>> values;
    std::unordered_set<std::string> names;
    bool readable = true;
};

RawTexts read_values(const std::vector<std::vector<xmlNode*>>& selected) {
    RawTexts raw;
    raw.values.resize(selected.size());
    for (size_t p = 0; p < selected.size() && raw.readable; ++p) {
        for (xmlNode* node : selected[p]) {
            if (node->type != XML_ELEMENT_NODE || node->ns != nullptr ||
                (node->_private != nullptr &&
                 !own_text_content(Py_TYPE(static_cast<PyObject*>(node->_private))))) {
                raw.readable = false;
                break;
            }
            raw.names.emplace(reinterpret_cast<const char*>(node->name));
            xmlChar* value = libxml->string_value(node);
            if (value == nullptr) {
                raw.readable = false;
                break;
            }
            raw.values[p].emplace_back(reinterpret_cast<const char*>(value));
            (*libxml->free)(value);
        }
    }
    return raw;
}

// The checks of texts_are_lxml_html that held, made once within one
// `extract` call on its document (see enter_call).
struct CallChecks {
    PyObject* html = nullptr;               // the call's document (the call holds it)
    bool functions_plain = false;           // no unprefixed extension function
    std::unordered_set<std::string> names;  // classes taking HtmlMixin's text_content
};
thread_local CallChecks* call_checks = nullptr;

// Whether `text_content()` of elements of these names in the page of `root`
// is lxml.html's: the page's parser is lxml.html's, the class it gives each
// name takes text_content from HtmlMixin, which reads the string value
// through lxml.html's own compiled `string()`, and no unprefixed XPath
// extension function is registered. Within an `extract` call on `html`, the
// registry and each name are looked at the first time only.
bool texts_are_lxml_html(py::handle html, const LxmlElement* root,
                         const std::unordered_set<std::string>& names) {
    if (reinterpret_cast<PyObject*>(root->_doc->_parser) != html_parser) return false;
    PyObject* collect = PyDict_GetItemWithError(lxml_html_dict, interned("_collect_string_content").ptr());
    if (collect == nullptr && PyErr_Occurred()) throw_error();
    if (collect != collect_string) return false;
    CallChecks* checks = call_checks != nullptr && call_checks->html == html.ptr() ? call_checks : nullptr;
    if (checks == nullptr || !checks->functions_plain) {
        py::object registry = steal(PyObject_CallOneArg(function_namespace, Py_None));
        if (length(call_method(registry, interned("items"))) != 0) return false;
        if (checks != nullptr) checks->functions_plain = true;
    }
    for (const std::string& name : names) {
        if (checks != nullptr && checks->names.count(name) != 0) continue;
        py::object made =
            steal(PyObject_CallMethodOneArg(html_parser, interned("makeelement").ptr(), py::str(name).ptr()));
        if (!own_text_content(Py_TYPE(made.ptr()))) return false;
        if (checks != nullptr) checks->names.insert(name);
    }
    return true;
}

// The str of a string value, as lxml decodes it; null when it does not decode.
py::object decoded(const std::string& value) {
    PyObject* text = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr);
    if (text == nullptr) PyErr_Clear();
    return steal(text);
}

}  // namespace

void init() {
    if (import_lxml__etree() < 0) throw_error();
    py::module_ etree = py::module_::import("lxml.etree");
    py::module_ lxml_html = py::module_::import("lxml.html");
    const bool same_lxml =
        py::str(py::module_::import("lxml").attr("__version__")).cast<std::string>() == LXML_VERSION_STRING;
    py::object built_libxml =
        py::make_tuple(LIBXML_VERSION / 10000, LIBXML_VERSION / 100 % 100, LIBXML_VERSION % 100);
    const bool same_libxml = py::object(etree.attr("LIBXML_VERSION")).equal(built_libxml);
    void* module =
        dlopen(py::str(etree.attr("__file__")).cast<std::string>().c_str(), RTLD_NOLOAD | RTLD_LAZY);
    if (!same_lxml || !same_libxml || module == nullptr) return;
    auto* l = new Libxml();
    const bool found = look_up(module, "xmlXPathNewContext", l->new_context) &&
                       look_up(module, "xmlXPathFreeContext", l->free_context) &&
                       look_up(module, "xmlXPathCtxtCompile", l->compile) &&
                       look_up(module, "xmlXPathCompiledEval", l->evaluate) &&
                       look_up(module, "xmlXPathFreeObject", l->free_object) &&
                       look_up(module, "xmlXPathFreeCompExpr", l->free_compiled) &&
                       look_up(module, "xmlXPathCastNodeToString", l->string_value) &&
                       look_up(module, "xmlFree", l->free);
    if (!found) {
        delete l;
        return;
    }
    html_parser = py::object(lxml_html.attr("html_parser")).release().ptr();
    lxml_html_dict = py::object(lxml_html.attr("__dict__")).release().ptr();
    collect_string = py::object(lxml_html.attr("_collect_string_content")).release().ptr();
    text_content = py::object(lxml_html.attr("HtmlMixin").attr("__dict__")["text_content"]).release().ptr();
    function_namespace = py::object(etree.attr("FunctionNamespace")).release().ptr();
    libxml = l;
}

namespace {

void* enter_call(PyObject* html) {
    CallChecks* previous = call_checks;
    call_checks = new CallChecks();
    call_checks->html = html;
    return previous;
}

void leave_call(void* previous) {
    delete call_checks;
    call_checks = static_cast<CallChecks*>(previous);
}

const CallScope call_scope = {enter_call, leave_call};

}  // namespace

py::object call_scope_capsule() {
    return steal(PyCapsule_New(const_cast<CallScope*>(&call_scope), kCallScopeName, nullptr));
}

bool enabled(py::handle module_dict) {
    PyObject* flag = PyDict_GetItemWithError(module_dict.ptr(), interned("_read_in_tree").ptr());
    if (flag == nullptr && PyErr_Occurred()) throw_error();
    return flag != nullptr && truth(flag);
}

py::object first_element(py::handle html, py::handle rule) {
    if (libxml == nullptr || !PyUnicode_CheckExact(rule.ptr())) return {};
    const std::string_view text = own_document::utf8(rule.ptr());
    if (text.empty() || !plain_path(text)) return {};
    py::object root = get_attr(html, interned("lxml"));  // what select_elements reads first
    if (!is_lxml_element(root.ptr())) return {};
    auto* root_element = reinterpret_cast<LxmlElement*>(root.ptr());
    std::vector<xmlNode*> found;
    if (!select(root_element->_c_node, std::string(text), found)) return {};
    for (const xmlNode* node : found)
        if (!element_like(node)) return {};  // select_elements takes only nodes lxml makes elements of
    if (found.empty()) return py::none();
    PyObject* first = reinterpret_cast<PyObject*>(elementFactory(root_element->_doc, found[0]));
    if (first == nullptr) {
        PyErr_Clear();
        return {};
    }
    py::object element = steal(first);
    get_attr(html, interned("url"));  // each Element requests_html makes reads these
    get_attr(html, interned("encoding"));
    return element;
}

py::object element_texts(py::handle html, py::handle rule) {
    if (libxml == nullptr || !PyUnicode_CheckExact(rule.ptr())) return {};
    const std::string_view text = own_document::utf8(rule.ptr());
    if (text.empty() || !plain_path(text)) return {};
    py::object root = get_attr(html, interned("lxml"));  // what select_elements reads first
    if (!is_lxml_element(root.ptr())) return {};
    const auto* root_element = reinterpret_cast<const LxmlElement*>(root.ptr());
    std::vector<std::vector<xmlNode*>> found(1);
    if (!select(root_element->_c_node, std::string(text), found[0])) return {};
    const RawTexts raw = read_values(found);
    if (!raw.readable) return {};
    py::object texts = steal(PyList_New(static_cast<Py_ssize_t>(found[0].size())));
    try {
        if (!found[0].empty() && !texts_are_lxml_html(html, root_element, raw.names)) return {};
        for (size_t j = 0; j < raw.values[0].size(); ++j) {
            py::object value = decoded(raw.values[0][j]);
            if (!value) return {};
            PyList_SET_ITEM(texts.ptr(), static_cast<Py_ssize_t>(j), value.release().ptr());
        }
    } catch (py::error_already_set&) {
        return {};  // the error is dropped with the exception object
    }
    if (!found[0].empty()) {
        get_attr(html, interned("url"));  // each Element requests_html makes reads these
        get_attr(html, interned("encoding"));
    }
    return texts;
}

py::object read(py::handle parser, py::handle html, py::handle length_rule, py::handle end_rule,
                py::handle start_index, py::handle separator) {
    if (libxml == nullptr || !PyUnicode_CheckExact(length_rule.ptr()) ||
        !PyUnicode_CheckExact(end_rule.ptr()) || !PyLong_CheckExact(start_index.ptr()))
        return {};
    int overflow = 0;
    const long long first = PyLong_AsLongLongAndOverflow(start_index.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && first < kLowestStart)) return {};
    const std::string_view length_text = own_document::utf8(length_rule.ptr());
    if (length_text.empty() || !plain_path(length_text) || !row_shapes::is_child_row_selector(length_text))
        return {};
    const bool has_end = PyUnicode_GET_LENGTH(end_rule.ptr()) > 0;
    const std::string_view end_text = has_end ? own_document::utf8(end_rule.ptr()) : std::string_view();
    if (has_end && (end_text.empty() || !plain_path(end_text) || !row_shapes::is_downward_path(end_text)))
        return {};

    py::object root = get_attr(html, interned("lxml"));  // what select_elements reads first
    if (!is_lxml_element(root.ptr())) return {};
    const auto* root_element = reinterpret_cast<const LxmlElement*>(root.ptr());
    std::vector<xmlNode*> found;
    if (!select(root_element->_c_node, std::string(length_text), found) || found.empty()) return {};
    const long long n = static_cast<long long>(found.size());
    if (overflow > 0 || first > n) {
        get_attr(html, interned("url"));  // the reads of the length rule's Elements
        get_attr(html, interned("encoding"));
        return new_list();
    }

    // Rows and what each position reads: found without a visible effect.
    Rows rows;
    if (!group_rows(found, rows)) return {};
    const size_t lowest = static_cast<size_t>(std::max(1LL, first));
    std::vector<std::vector<xmlNode*>> selected(rows.longest + 1);
    if (has_end) {
        std::string path(length_text);
        path += '/';
        path += end_text;
        if (!rows_apart(rows) || !select_by_row(rows, root_element->_c_node, path, lowest, selected))
            return {};
    } else {
        for (size_t k = 0; k < rows.nodes.size(); ++k)
            if (rows.position[k] >= lowest) selected[rows.position[k]].push_back(rows.nodes[k]);
    }
    const RawTexts raw = read_values(selected);
    if (!raw.readable) return {};
    // Per position: the texts of its nodes (a list), or the one text itself.
    std::vector<py::object> parts(rows.longest + 1);
    try {
        if (!texts_are_lxml_html(html, root_element, raw.names)) return {};
        for (size_t p = lowest; p <= rows.longest; ++p) {
            const std::vector<std::string>& values = raw.values[p];
            if (values.empty()) continue;
            if (values.size() == 1 && PyUnicode_CheckExact(separator.ptr())) {
                // sep.join([text]) is the text itself: no list to make
                if (!(parts[p] = decoded(values[0]))) return {};
                continue;
            }
            parts[p] = steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
            for (size_t j = 0; j < values.size(); ++j) {
                py::object text = decoded(values[j]);
                if (!text) return {};
                PyList_SET_ITEM(parts[p].ptr(), static_cast<Py_ssize_t>(j), text.release().ptr());
            }
        }
    } catch (py::error_already_set&) {
        return {};  // the error is dropped with the exception object
    }

    // The document reads and texts as the one-pass reader makes them.
    get_attr(html, interned("url"));
    get_attr(html, interned("encoding"));
    py::object texts = new_list();
    bool read_document = false;
    for (long long i = first; i <= n; ++i) {
        const size_t p = static_cast<size_t>(i);
        if (i < 1 || p > rows.longest || !parts[p]) {
            append(texts, interned(""));
            continue;
        }
        if (!read_document) {
            get_attr(html, interned("url"));
            get_attr(html, interned("encoding"));
            read_document = true;
        }
        py::handle text = parts[p];
        append(texts, normalize_with(parser, PyList_CheckExact(text.ptr())
                                                 ? join(separator, text)
                                                 : py::reinterpret_borrow<py::object>(text)));
    }
    return texts;
}

}  // namespace ostrel::tree_rows
