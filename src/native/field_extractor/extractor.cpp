// FieldExtractor: the entry point. Built once per rules file, it owns the
// parsers, the matcher and the processor; `extract` turns one page's HTML into
// the finished rows:
//
//   page text -> HTML document -> one record per rule entry (field key ->
//   value) -> rows (records of several fields paired by the matcher) ->
//   processor (alias conversion, filters, de-duplication).
//
// While a record is expanded into rows, each partial row travels through the
// matcher as one str (see partial_rows.hpp).
#include "html_parsers/tree_rows.hpp"
#include "ostrel_native.hpp"
#include "partial_rows.hpp"

#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using ostrel::append;
using ostrel::call_method;
using ostrel::get_attr;
using ostrel::get_item;
using ostrel::interned;
using ostrel::iterate;
using ostrel::new_dict;
using ostrel::new_list;
using ostrel::next_item;
using ostrel::set_item;
using ostrel::steal;
using ostrel::throw_error;

namespace {

PyObject* module_dict;          // globals of this module, looked up at call time
py::handle requests_html_type;  // requests_html.HTML as imported
py::handle html_keyword;        // ("html",): the keyword names of HTML(html=text)

// A global of this module, read when it is used (so it can be replaced).
py::handle global(const char* name) {
    PyObject* value = PyDict_GetItemWithError(module_dict, interned(name).ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        ostrel::throw_error();
    }
    return value;
}

namespace partial_rows = ostrel::partial_rows;
using partial_rows::Generation;
using partial_rows::known_row;
using partial_rows::loads;

py::object decimal(Py_ssize_t i) { return steal(PyUnicode_FromFormat("%zd", i)); }

// `text.split(":")`.
py::object split_type(py::handle type_text) {
    if (ostrel::is_exact_str(type_text))
        return steal(PyUnicode_Split(type_text.ptr(), interned(":").ptr(), -1));
    return call_method(type_text, interned("split"), interned(":"));
}

// f"{value}"
py::object formatted(py::handle value) { return steal(PyObject_Format(value.ptr(), interned("").ptr())); }

[[noreturn]] void raise_unsupported_kind(py::handle value_type, Py_ssize_t index, py::handle key) {
    py::object message = py::str("不支持的类型：");
    for (py::object part :
         {formatted(value_type), py::object(py::str(", type 必须为text或attr, 请检查配置文件的第")),
          decimal(index), py::object(py::str("条规则, key: ")), formatted(key)}) {
        message = steal(PyUnicode_Concat(message.ptr(), part.ptr()));
    }
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    ostrel::throw_error();
}

// The value of one field of a rule entry: a constant, or what the parser that
// the field's kind selects returns for the page.
py::object field_value(py::handle self, py::handle html, py::handle definition, Py_ssize_t index,
                       py::handle key, py::handle parsers, py::handle separator) {
    py::object rules = get_item(definition, interned("rules"));
    py::object type_text = call_method(definition, interned("get"), interned("type"), interned("text"));
    py::object value_type = get_item(split_type(type_text), py::int_(0));

    if (ostrel::equals(value_type, interned("text"))) {
        PyObject* r = rules.ptr();
        if (PyUnicode_CheckExact(r) && (PyUnicode_GET_LENGTH(r) == 0 || PyUnicode_READ_CHAR(r, 0) != '/'))
            return rules;
        py::object type_name;
        if (PyUnicode_CheckExact(r))
            type_name = ostrel::borrow(interned("<class 'str'>").ptr());
        else if (PyList_CheckExact(r))
            type_name = ostrel::borrow(interned("<class 'list'>").ptr());
        else
            type_name = steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(r))));
        return call_method(get_item(parsers, type_name), interned("parse"), html, rules, separator);
    }
    if (ostrel::equals(value_type, interned("attr"))) {
        py::object attr_name = get_item(split_type(type_text), py::int_(1));
        return call_method(get_attr(self, interned("selvane")), interned("parse"), html, rules, attr_name);
    }
    raise_unsupported_kind(value_type, index, key);
}

py::object extract_fields(py::handle self, py::handle html) {
    py::object parsers = get_attr(self, interned("type2html_parser"));
    py::object separator = get_attr(self, interned("value_separator"));
    py::object records = new_list();
    py::object entries = iterate(get_attr(self, interned("rules")));
    for (Py_ssize_t index = 0;; ++index) {
        py::object entry = next_item(entries);
        if (!entry) break;
        py::object record = new_dict();
        py::object items = iterate(call_method(entry, interned("items")));
        while (py::object item = next_item(items)) {
            py::object key, definition;
            ostrel::unpack(item, {&key, &definition});
            set_item(record, key, field_value(self, html, definition, index, key, parsers, separator));
        }
        if (!ostrel::truth(call_method(self, interned("have_none_in_value"), record)))
            append(records, record);
    }
    return records;
}

py::object get_value(py::handle value) {
    Generation generation;
    py::object result;
    if (PyUnicode_Check(value.ptr())) {
        result = partial_rows::first_column(generation, value);
    } else {
        result = new_list();
        py::object it = iterate(value);
        while (py::object v = next_item(it)) append(result, partial_rows::first_column(generation, v));
    }
    partial_rows::advance(generation);
    return result;
}

py::object add_next_value(py::handle pairs, py::handle i) {
    py::object column = steal(PyObject_Str(i.ptr()));
    py::object texts = new_list();
    Generation generation;
    py::object it = iterate(pairs);
    while (py::object pair = next_item(it))
        append(texts, partial_rows::next_column(generation, get_item(pair, py::int_(0)), column,
                                                get_item(pair, py::int_(1))));
    partial_rows::advance(generation);
    return texts;
}

// Clears a pending Exception (a BaseException such as KeyboardInterrupt
// propagates); false when there was none.
bool drop_exception() {
    if (!PyErr_Occurred()) return false;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
    return true;
}

// The functions behind the methods that matching a record goes through, as
// this module and the matcher's define them (taken at import).
PyObject* own_get_value = nullptr;
PyObject* own_add_next_value = nullptr;
PyObject* own_match = nullptr;
PyObject* own_process_fields = nullptr;
PyObject* own_pair_fields = nullptr;
PyTypeObject* extractor_type = nullptr;  // FieldExtractor
PyTypeObject* matcher_type = nullptr;    // FieldsMatcher

// The rows of a record as the partial rows give them, read straight from its
// values where the extractor and its matcher are exactly this module's and
// the matcher's classes with their own steps and every value is a str or a
// list of str: the partial rows would then only carry each value to its row
// unchanged, a str broadcast over the lists beside it. Null (nothing
// observable done) for anything else, an error included (lists of unequal
// lengths), which the partial rows then give.
py::object direct_rows(py::handle self, py::handle field) {
    if (Py_TYPE(self.ptr()) != extractor_type || !PyDict_CheckExact(field.ptr()) ||
        PyDict_GET_SIZE(field.ptr()) < 2)
        return {};
    // The methods first: looking them up may run Python code (a descriptor
    // put on the class), which must not find the record half read.
    auto matcher = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), interned("pallock").ptr()));
    if (!matcher) {
        drop_exception();
        return {};
    }
    const bool own = Py_TYPE(matcher.ptr()) == matcher_type &&
                     ostrel::is_own_method(matcher, interned("match"), own_match) &&
                     ostrel::is_own_method(matcher, interned("_process_fields"), own_process_fields) &&
                     ostrel::is_own_method(matcher, interned("_match_fields"), own_pair_fields);
    if (!own || !ostrel::is_own_method(self, interned("_get_value"), own_get_value) ||
        !ostrel::is_own_method(self, interned("_add_next_value"), own_add_next_value))
        return {};
    // Borrowed from the record: with str keys and values, no Python code runs
    // from here on that could change it.
    std::vector<PyObject*> keys, values;
    Py_ssize_t pos = 0, rows = -1;  // -1: a single row so far
    PyObject *key, *value;
    while (PyDict_Next(field.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return {};
        if (PyList_CheckExact(value)) {
            const Py_ssize_t n = PyList_GET_SIZE(value);
            for (Py_ssize_t r = 0; r < n; ++r)
                if (!PyUnicode_CheckExact(PyList_GET_ITEM(value, r))) return {};
            if (rows >= 0 && rows != n) return {};
            rows = n;
        } else if (!PyUnicode_CheckExact(value)) {
            return {};
        }
        keys.push_back(key);
        values.push_back(value);
    }
    if (rows < 0) rows = 1;
    py::object out = steal(PyList_New(rows));
    for (Py_ssize_t r = 0; r < rows; ++r) {
        py::object row = new_dict();
        for (size_t j = 0; j < keys.size(); ++j) {
            PyObject* v = PyList_CheckExact(values[j]) ? PyList_GET_ITEM(values[j], r) : values[j];
            if (PyDict_SetItem(row.ptr(), keys[j], v) < 0) throw_error();
        }
        PyList_SET_ITEM(out.ptr(), r, row.release().ptr());
    }
    return out;
}

py::object match_multiple_fields(py::handle self, py::handle field) {
    if (py::object rows = direct_rows(self, field)) return rows;
    partial_rows::MatchingScope scope;
    py::object keys = steal(PySequence_List(call_method(field, interned("keys")).ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
    py::object rows = new_list();
    py::object matched_key = new_dict();
    set_item(matched_key, decimal(0), get_item(keys, py::int_(0)));
    py::object matched_values =
        call_method(self, interned("_get_value"), get_item(field, get_item(keys, py::int_(0))));
    py::object matcher = get_attr(self, interned("pallock"));
    for (Py_ssize_t i = 1; i < n; ++i) {
        py::object key = get_item(keys, py::int_(i));
        set_item(matched_key, decimal(i), key);
        py::object answer = call_method(matcher, interned("match"), matched_values, get_item(field, key));
        py::object pairs, is_str;
        ostrel::unpack(answer, {&pairs, &is_str});
        matched_values = call_method(self, interned("_add_next_value"), pairs, py::int_(i));
        if (ostrel::truth(is_str) && i != n - 1) matched_values = get_item(matched_values, py::int_(0));
    }
    py::object texts = iterate(matched_values);
    while (py::object text = next_item(texts)) {
        py::object value = known_row(text);
        if (!value) value = loads(text);
        py::object row = new_dict();
        py::object columns = iterate(call_method(matched_key, interned("items")));
        while (py::object column = next_item(columns)) {
            py::object number, key;
            ostrel::unpack(column, {&number, &key});
            set_item(row, key, get_item(value, number));
        }
        append(rows, row);
    }
    return rows;
}

py::object match_fields(py::handle self, py::handle fields) {
    py::object rows = new_list();
    py::object it = iterate(fields);
    while (py::object field = next_item(it)) {
        if (ostrel::length(field) > 1) {
            py::object expanded = iterate(call_method(self, interned("_match_multiple_fields"), field));
            while (py::object row = next_item(expanded)) append(rows, row);
        } else {
            append(rows, field);
        }
    }
    return rows;
}

bool have_none_in_value(py::handle field) {
    py::object it = iterate(call_method(field, interned("values")));
    while (py::object value = next_item(it))
        if (value.is_none()) return true;
    return false;
}

// Hands the document the tree that requests_html would otherwise build with
// soupparser on its first XPath query, built natively from the very text it
// would parse (`doc.html`). Where the builder declines a page (None), or is
// disabled (_build_tree is None), or the document is not requests_html's own
// HTML or does not read or take the tree as that does, the document is left as
// it was and parses lazily as before: an error reading the text surfaces, if
// at all, where it always did. `known` is the page's text when it is
// certainly what `doc.html` gives (a deferred document: its bytes are the
// text in UTF-8, decoded with the UTF-8 extract has set), else null.
void give_native_tree(py::handle html, py::handle known) {
    py::handle build = global("_build_tree");
    if (build.is_none() || Py_TYPE(html.ptr()) != reinterpret_cast<PyTypeObject*>(requests_html_type.ptr()))
        return;
    py::object page = ostrel::borrow(known.ptr());
    if (!known) {
        PyObject* text = PyObject_GetAttr(html.ptr(), interned("html").ptr());
        if (text == nullptr) {
            drop_exception();
            return;
        }
        page = steal(text);
    }
    if (!PyUnicode_Check(page.ptr())) return;
    py::object root = ostrel::call(build, page);
    if (root.is_none()) return;
    if (PyObject_SetAttr(html.ptr(), interned("_lxml").ptr(), root.ptr()) < 0) drop_exception();
}

// HTML(html=text). Where HTML is requests_html's own class, the document
// comes from _deferred_html (utils/_document.py), which leaves out the parse
// and the session that nothing here reads where that provably changes nothing
// else (`deferred` tells); it declines (None) every other page, and a replaced
// HTML (or _deferred_html set to None) is always called as it is.
py::object new_document(py::handle text, bool& deferred) {
    py::handle cls = global("HTML");
    deferred = false;
    if (cls.ptr() == requests_html_type.ptr()) {
        py::handle make = global("_deferred_html");
        if (!make.is_none()) {
            py::object html = ostrel::call(make, text);
            deferred = !html.is_none();
            if (deferred) return html;
        }
    }
    PyObject* stack[] = {text.ptr()};
    return steal(PyObject_Vectorcall(cls.ptr(), stack, 0, html_keyword.ptr()));
}

// The interpreter's version of a class (its method cache's tag, which every
// change of the class or of a base replaces with one never given before), or
// 0 where it has none. _document.py compares it to skip its class check.
py::object type_version(py::handle cls) {
    if (!PyType_Check(cls.ptr())) return py::int_(0);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    // A lookup gives the class a version where a change took it away.
    if (_PyType_Lookup(type, interned("__init__").ptr()) == nullptr && PyErr_Occurred()) throw_error();
    unsigned int version = type->tp_version_tag;
#if PY_VERSION_HEX < 0x030D0000
    // Before 3.13 a flag says whether the tag holds; from 3.13 a change sets
    // the tag to 0 and the flag, still defined, is never set.
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) version = 0;
#endif
    return py::int_(version);
}

// The parser modules' call scopes (checks made once per call), taken at
// import.
using ostrel::tree_rows::CallScope;
std::vector<const CallScope*> call_scopes;

// Within an `extract` call on `html`: entered in every parser module, left
// when the call ends, however it ends.
class InCall {
public:
    explicit InCall(py::handle html) {
        for (const CallScope* scope : call_scopes) entered_.emplace_back(scope, scope->enter(html.ptr()));
    }
    ~InCall() {
        for (auto it = entered_.rbegin(); it != entered_.rend(); ++it) it->first->leave(it->second);
    }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

private:
    std::vector<std::pair<const CallScope*, void*>> entered_;
};

py::object extract(py::handle self, py::handle text, py::handle de_dup) {
    ostrel::check_str_arg(text, "text");
    bool deferred = false;
    py::object html = new_document(text, deferred);
    // The document re-encodes the page as UTF-8 and would decode it again with
    // the charset that the markup declares (gb2312, iso-8859-1, ...), turning
    // every field of such a page into mojibake; the text is already decoded.
    ostrel::set_attr(html, interned("encoding"), interned("utf-8"));
    give_native_tree(html, deferred ? text : py::handle());
    InCall in_call(html);
    py::object records = call_method(self, interned("_extract_fields"), html);
    py::object rows = call_method(self, interned("_match_fields"), records);
    return call_method(get_attr(self, interned("dravine")), interned("process_fields"), rows, de_dup);
}

void construct(py::handle self, py::handle conf_file) {
    ostrel::check_str_arg(conf_file, "conf_file");
    py::object conf = global("ConfigUtils").attr("load")(conf_file, py::arg("readonly") = false);
    ostrel::set_attr(self, interned("rules"), get_item(conf, interned("rules")));
    py::object field_parser = ostrel::call(global("FieldParser"));
    py::object fields_parser = ostrel::call(global("FieldsParser"));
    py::dict parsers;
    parsers[interned("<class 'str'>")] = field_parser;
    parsers[interned("<class 'list'>")] = fields_parser;
    ostrel::set_attr(self, interned("type2html_parser"), parsers);
    ostrel::set_attr(self, interned("selvane"), ostrel::call(global("AttrParser")));
    ostrel::set_attr(self, interned("pallock"), ostrel::call(global("FieldsMatcher")));
    ostrel::set_attr(self, interned("dravine"), ostrel::call(global("FieldsProcessor"), conf));
    ostrel::set_attr(self, interned("value_separator"), get_item(conf, interned("value_separator")));
}

}  // namespace

PYBIND11_MODULE(extractor, m) {
    m.attr("json") = py::module_::import("json");
    ostrel::import_names(m, "requests_html", {"HTML"});
    requests_html_type = py::object(m.attr("HTML")).release();
    py::module_ document = py::module_::import("ostrel.crawler.field_extractor.utils._document");
    m.attr("_deferred_html") = document.attr("deferred_html");
    m.def("_type_version", &type_version, py::arg("cls"),
          "The interpreter's version tag of the class cls, 0 where it has none.");
    document.attr("_type_version") = m.attr("_type_version");
    m.attr("_build_tree") =
        py::module_::import("ostrel.crawler.field_extractor.utils._treegate").attr("build_tree");
    ostrel::import_names(m, "ostrel.common.utils", {"ConfigUtils"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers", {"FieldParser", "FieldsParser"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.pallock", {"FieldsMatcher"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.dravine", {"FieldsProcessor"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers.selvane", {"AttrParser"});
    ostrel::import_names(m, "typing", {"Dict", "List", "Union"});

    for (const char* parsers : {"kestrum", "vintor", "selvane"}) {
        py::object capsule =
            py::module_::import(
                (std::string("ostrel.crawler.field_extractor.html_parsers.") + parsers).c_str())
                .attr("_call_scope");
        void* scope = PyCapsule_GetPointer(capsule.ptr(), ostrel::tree_rows::kCallScopeName);
        if (scope == nullptr) throw_error();
        call_scopes.push_back(static_cast<const CallScope*>(scope));
    }
    module_dict = py::object(m.attr("__dict__")).release().ptr();
    html_keyword = py::make_tuple("html").release();
    py::object json = m.attr("json");
    partial_rows::use_json(
        py::object(json.attr("JSONEncoder")(py::arg("ensure_ascii") = false).attr("encode")).release(),
        py::object(json.attr("loads")).release());

    ostrel::ClassBuilder cls(m, "FieldExtractor");
    cls.doc(
        "Extracts rows of fields from HTML pages with one rules file.\n\n"
        "FieldExtractor(conf_file) loads the rules once; extract(text) then turns the HTML of\n"
        "one page into a list of rows (dicts from field key to value): each rule entry's\n"
        "fields are extracted, paired into rows, converted by alias, filtered and\n"
        "de-duplicated as the rules file says.");
    cls.def(
        "__init__", {"self", "conf_file"},
        [](py::handle self, py::handle conf_file) { construct(self, conf_file); },
        "__init__(self, conf_file)\n--\n\n"
        "Load the rules file conf_file (YAML, or JSON by a .json name) and build the parsers,\n"
        "the matcher and the processor. Raises KeyError when 'rules' or 'value_separator' is\n"
        "missing; the rules themselves are first looked at by extract.");
    cls.def(
        "extract", {"self", "text", "de_dup"}, {Py_True},
        [](py::handle self, py::handle text, py::handle de_dup) { return extract(self, text, de_dup); },
        "extract(self, text, de_dup=True)\n--\n\n"
        "Return the rows of the page whose HTML is text (a str), a list of dicts.\n\n"
        "A rule entry whose field finds nothing gives no row; with de_dup (default True)\n"
        "exact duplicate rows are dropped. Any failure raises, with no partial result.");
    cls.def(
        "_match_fields", {"self", "fields"},
        [](py::handle self, py::handle fields) { return match_fields(self, fields); },
        "_match_fields(self, fields)\n--\n\n"
        "Expand each record of several fields into rows; other records pass unchanged.");
    cls.def(
        "_match_multiple_fields", {"self", "field"},
        [](py::handle self, py::handle field) { return match_multiple_fields(self, field); },
        "_match_multiple_fields(self, field)\n--\n\n"
        "The rows of one record: its first field's values, paired with each further field.");
    cls.def(
        "_get_value", {"self", "value"}, [](py::handle self, py::handle value) { return get_value(value); },
        "_get_value(self, value)\n--\n\n"
        "The partial-row JSON text of the first field's value: one text for a str, a list of\n"
        "texts, one per element, for a list.");
    cls.def(
        "_add_next_value", {"self", "matched_values_", "i"},
        [](py::handle self, py::handle pairs, py::handle i) { return add_next_value(pairs, i); },
        "_add_next_value(self, matched_values_, i)\n--\n\n"
        "The partial-row texts of the matcher's pairs, the tail value added as column i.");
    cls.def(
        "_extract_fields", {"self", "html"},
        [](py::handle self, py::handle html) { return extract_fields(self, html); },
        "_extract_fields(self, html)\n--\n\n"
        "The records of a page document, one per rule entry that found all its fields.");
    cls.def(
        "have_none_in_value", {"self", "field"},
        [](py::handle self, py::handle field) { return py::bool_(have_none_in_value(field)); },
        "have_none_in_value(self, field)\n--\n\n"
        "Whether any value of the record field is None.");
    py::object extractor_class = cls.make();
    own_get_value = ostrel::method_function(extractor_class, "_get_value");
    own_add_next_value = ostrel::method_function(extractor_class, "_add_next_value");
    py::object matcher_class = m.attr("FieldsMatcher");
    own_match = ostrel::method_function(matcher_class, "match");
    own_process_fields = ostrel::method_function(matcher_class, "_process_fields");
    own_pair_fields = ostrel::method_function(matcher_class, "_match_fields");
    extractor_type = reinterpret_cast<PyTypeObject*>(extractor_class.release().ptr());
    matcher_type = reinterpret_cast<PyTypeObject*>(matcher_class.release().ptr());
}
