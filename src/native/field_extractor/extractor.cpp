// FieldExtractor: the entry point. Built once per rules file, it owns the
// parsers, the matcher and the processor; `extract` turns one page's HTML into
// the finished rows:
//
//   page text -> HTML document -> one record per rule entry (field key ->
//   value) -> rows (records of several fields paired by the matcher) ->
//   processor (alias conversion, filters, de-duplication).
//
// While a record is expanded into rows, each partial row travels through the
// matcher as one str, the JSON text of {"0": value, "1": value, ...}, so that
// the matcher sees it as a single value.
#include "ostrel_native.hpp"

#include <string>
#include <unordered_map>
#include <utility>

namespace py = pybind11;
using ostrel::call_method;
using ostrel::get_attr;
using ostrel::get_item;
using ostrel::interned;
using ostrel::steal;
using ostrel::append;
using ostrel::iterate;
using ostrel::new_dict;
using ostrel::new_list;
using ostrel::next_item;
using ostrel::set_item;
using ostrel::throw_error;

namespace {

PyObject* module_dict;      // globals of this module, looked up at call time
py::handle json_encode;     // json.JSONEncoder(ensure_ascii=False).encode
py::handle json_loads;      // json.loads

// A global of this module, read when it is used (so it can be replaced).
py::handle global(const char* name) {
    PyObject* value = PyDict_GetItemWithError(module_dict, interned(name).ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        ostrel::throw_error();
    }
    return value;
}

// Partial-row texts. Rows of str values (what the parsers give) are written
// and read natively; anything else goes through the json module. Both ways
// give exactly json.dumps(value, ensure_ascii=False) and json.loads(text).
namespace partial_rows {

// The two-character escapes of JSON strings (0: none).
inline Py_UCS4 short_escape(Py_UCS4 c) {
    switch (c) {
        case '"': return '"';
        case '\\': return '\\';
        case '\n': return 'n';
        case '\r': return 'r';
        case '\t': return 't';
        case '\b': return 'b';
        case '\f': return 'f';
        default: return 0;
    }
}

// Adds the size of `s` as a JSON string literal to `length` and its widest
// character to `widest`.
void measure_string(PyObject* s, Py_ssize_t& length, Py_UCS4& widest) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    length += n + 2;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (short_escape(c))
            length += 1;
        else if (c < 0x20)
            length += 5;
        else if (c > widest)
            widest = c;
    }
}

Py_ssize_t write_string(PyObject* s, int out_kind, void* out, Py_ssize_t k) {
    static const char hex[] = "0123456789abcdef";
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    PyUnicode_WRITE(out_kind, out, k++, '"');
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (Py_UCS4 e = short_escape(c)) {
            PyUnicode_WRITE(out_kind, out, k++, '\\');
            PyUnicode_WRITE(out_kind, out, k++, e);
        } else if (c < 0x20) {
            for (Py_UCS4 part : {Py_UCS4('\\'), Py_UCS4('u'), Py_UCS4('0'), Py_UCS4('0'),
                                 Py_UCS4(hex[c >> 4]), Py_UCS4(hex[c & 15])})
                PyUnicode_WRITE(out_kind, out, k++, part);
        } else {
            PyUnicode_WRITE(out_kind, out, k++, c);
        }
    }
    PyUnicode_WRITE(out_kind, out, k++, '"');
    return k;
}

Py_ssize_t write_ascii(const char* text, int out_kind, void* out, Py_ssize_t k) {
    while (*text) PyUnicode_WRITE(out_kind, out, k++, static_cast<Py_UCS4>(*text++));
    return k;
}

// The JSON text of a dict whose keys and values are all str, or an empty
// object when the dict holds anything else.
py::object encode_str_dict(PyObject* dict) {
    if (!PyDict_CheckExact(dict)) return py::object();
    PyObject *key, *value;
    Py_ssize_t pos = 0, length = 2;
    Py_UCS4 widest = 0x7f;
    // `pos` is a slot index, not an item count (a dict that had items deleted
    // starts past slot 0), so the first item is told by a flag.
    for (bool first = true; PyDict_Next(dict, &pos, &key, &value); first = false) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value)) return py::object();
        measure_string(key, length, widest);
        measure_string(value, length, widest);
        length += first ? 2 : 4;  // ": " and, after the first item, ", "
    }
    py::object text = steal(PyUnicode_New(length, widest));
    const int kind = PyUnicode_KIND(text.ptr());
    void* out = PyUnicode_DATA(text.ptr());
    Py_ssize_t k = write_ascii("{", kind, out, 0);
    pos = 0;
    for (bool first = true; PyDict_Next(dict, &pos, &key, &value); first = false) {
        if (!first) k = write_ascii(", ", kind, out, k);
        k = write_string(key, kind, out, k);
        k = write_ascii(": ", kind, out, k);
        k = write_string(value, kind, out, k);
    }
    write_ascii("}", kind, out, k);
    return text;  // canonical: `widest` is ASCII's limit or a character written
}

// Reads the texts that encode_str_dict writes ({"k": "v", ...} with the
// two-character escapes); an empty object for any other text.
class Reader {
public:
    explicit Reader(PyObject* text)
        : text_(text), kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), n_(PyUnicode_GET_LENGTH(text)) {}

    py::object read_dict() {
        if (!take('{')) return py::object();
        py::object dict = steal(PyDict_New());
        if (take('}')) return at_end() ? dict : py::object();
        do {
            py::object key = read_string();
            if (!key || !take(':') || !take(' ')) return py::object();
            py::object value = read_string();
            if (!value) return py::object();
            if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
        } while (take(',') && take(' '));
        return take('}') && at_end() ? dict : py::object();
    }

private:
    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }
    bool at_end() const { return pos_ == n_; }
    bool take(Py_UCS4 c) {
        if (pos_ < n_ && at(pos_) == c) return ++pos_, true;
        return false;
    }
    py::object read_string() {
        if (!take('"')) return py::object();
        Py_ssize_t end = pos_;
        while (end < n_ && at(end) != '"' && at(end) != '\\' && at(end) >= 0x20) ++end;
        if (end == n_ || at(end) != '"') return read_escaped_string();
        py::object s = steal(PyUnicode_Substring(text_, pos_, end));
        pos_ = end + 1;
        return s;
    }
    py::object read_escaped_string() {
        std::u32string chars;
        while (pos_ < n_) {
            Py_UCS4 c = at(pos_++);
            if (c == '"')
                return steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(),
                                                       static_cast<Py_ssize_t>(chars.size())));
            if (c < 0x20 || (c == '\\' && pos_ == n_)) return py::object();  // the json module refuses these
            if (c == '\\') {
                c = at(pos_++);
                if (c == '/') {
                } else if (c == 'n') {
                    c = '\n';
                } else if (c == 'r') {
                    c = '\r';
                } else if (c == 't') {
                    c = '\t';
                } else if (c == 'b') {
                    c = '\b';
                } else if (c == 'f') {
                    c = '\f';
                } else if (c != '"' && c != '\\') {
                    return py::object();  // \uXXXX and bad escapes: the json module
                }
            }
            chars += static_cast<char32_t>(c);
        }
        return py::object();
    }

    PyObject* text_;
    int kind_;
    const void* data_;
    Py_ssize_t n_;
    Py_ssize_t pos_ = 0;
};

// While a record is being matched, the texts written for it are remembered
// with the dict that each encodes (one generation: the texts of the latest
// column), so that reading one back is a lookup and extending one by a column
// appends to its text instead of writing it again.
using Generation = std::unordered_map<PyObject*, std::pair<py::object, py::object>>;  // text -> (text, row)
thread_local Generation* known = nullptr;  // only while a record is matched
thread_local int matching_depth = 0;

class MatchingScope {
public:
    MatchingScope() {
        if (matching_depth++ == 0) known = new Generation();
    }
    ~MatchingScope() {
        if (--matching_depth == 0) {
            delete known;
            known = nullptr;
        }
    }
};

// The dict that `text` encodes, when this module wrote it (else empty).
py::object known_row(py::handle text) {
    if (known == nullptr) return py::object();
    auto found = known->find(text.ptr());
    return found == known->end() ? py::object() : found->second.second;
}

void remember(Generation& generation, const py::object& text, const py::object& row) {
    if (known != nullptr) generation.emplace(text.ptr(), std::make_pair(text, row));
}

// The text of `row` with the str member `column: value` added at its end,
// given `base`, the text of `row` without it.
py::object extended_text(PyObject* base, PyObject* row, PyObject* column, PyObject* value) {
    const bool first = PyDict_GET_SIZE(row) == 0;
    const Py_ssize_t base_len = PyUnicode_GET_LENGTH(base) - 1;  // without the closing brace
    Py_ssize_t length = base_len + (first ? 0 : 2) + 2 + 1;
    Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(base);
    measure_string(column, length, widest);
    measure_string(value, length, widest);
    py::object text = steal(PyUnicode_New(length, widest));
    if (PyUnicode_CopyCharacters(text.ptr(), 0, base, 0, base_len) < 0) throw_error();
    const int kind = PyUnicode_KIND(text.ptr());
    void* out = PyUnicode_DATA(text.ptr());
    Py_ssize_t k = write_ascii(first ? "" : ", ", kind, out, base_len);
    k = write_string(column, kind, out, k);
    k = write_ascii(": ", kind, out, k);
    k = write_string(value, kind, out, k);
    write_ascii("}", kind, out, k);
    return text;
}

py::object dumps(py::handle value) {
    if (py::object text = encode_str_dict(value.ptr())) return text;
    return ostrel::call(json_encode, value);
}

py::object loads(py::handle text) {
    if (py::object row = known_row(text)) return steal(PyDict_Copy(row.ptr()));
    if (ostrel::is_exact_str(text))
        if (py::object dict = Reader(text.ptr()).read_dict()) return dict;
    return ostrel::call(json_loads, text);
}

// The partial-row text of {"0": value}.
py::object first_column(Generation& generation, py::handle value) {
    static py::handle column0 = interned("0");
    py::object row = steal(PyDict_New());
    if (PyDict_SetItem(row.ptr(), column0.ptr(), value.ptr()) < 0) throw_error();
    py::object text = dumps(row);
    if (ostrel::is_exact_str(value)) remember(generation, text, row);
    return text;
}

// The partial-row text `head` extended by the column `column` holding `value`.
py::object next_column(Generation& generation, py::handle head, py::handle column, py::handle value) {
    py::object row = known_row(head);
    if (row && ostrel::is_exact_str(value) && !PyDict_Contains(row.ptr(), column.ptr())) {
        py::object text = extended_text(head.ptr(), row.ptr(), column.ptr(), value.ptr());
        py::object extended = steal(PyDict_Copy(row.ptr()));
        if (PyDict_SetItem(extended.ptr(), column.ptr(), value.ptr()) < 0) throw_error();
        remember(generation, text, extended);
        return text;
    }
    py::object start_value = loads(head);
    if (PyObject_SetItem(start_value.ptr(), column.ptr(), value.ptr()) < 0) throw_error();
    return dumps(start_value);
}

// Makes `generation` the remembered one.
void advance(Generation& generation) {
    if (known != nullptr) known->swap(generation);
}

}  // namespace partial_rows

using partial_rows::Generation;
using partial_rows::known_row;
using partial_rows::loads;

py::object decimal(Py_ssize_t i) { return steal(PyUnicode_FromFormat("%zd", i)); }

// `text.split(":")`.
py::object split_type(py::handle type_text) {
    static py::handle colon = interned(":");
    if (ostrel::is_exact_str(type_text)) return steal(PyUnicode_Split(type_text.ptr(), colon.ptr(), -1));
    return call_method(type_text, interned("split"), colon);
}

// f"{value}"
py::object formatted(py::handle value) { return steal(PyObject_Format(value.ptr(), interned("").ptr())); }

[[noreturn]] void raise_unsupported_kind(py::handle value_type, Py_ssize_t index, py::handle key) {
    py::object message = py::str("不支持的类型：");
    for (py::object part : {formatted(value_type), py::object(py::str(", type 必须为text或attr, 请检查配置文件的第")),
                            decimal(index), py::object(py::str("条规则, key: ")), formatted(key)}) {
        message = steal(PyUnicode_Concat(message.ptr(), part.ptr()));
    }
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    ostrel::throw_error();
}

// The value of one field of a rule entry: a constant, or what the parser that
// the field's kind selects returns for the page.
py::object field_value(py::handle self, py::handle html, py::handle definition, Py_ssize_t index, py::handle key,
                       py::handle parsers, py::handle separator) {
    static py::handle text_kind = interned("text");
    static py::handle attr_kind = interned("attr");
    static py::handle str_type_name = interned("<class 'str'>");
    static py::handle list_type_name = interned("<class 'list'>");
    static py::handle parse = interned("parse");

    py::object rules = get_item(definition, interned("rules"));
    py::object type_text = call_method(definition, interned("get"), interned("type"), text_kind);
    py::object value_type = get_item(split_type(type_text), py::int_(0));

    if (ostrel::equals(value_type, text_kind)) {
        PyObject* r = rules.ptr();
        if (PyUnicode_CheckExact(r) && (PyUnicode_GET_LENGTH(r) == 0 || PyUnicode_READ_CHAR(r, 0) != '/'))
            return rules;
        py::object type_name;
        if (PyUnicode_CheckExact(r))
            type_name = py::reinterpret_borrow<py::object>(str_type_name);
        else if (PyList_CheckExact(r))
            type_name = py::reinterpret_borrow<py::object>(list_type_name);
        else
            type_name = steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(r))));
        return call_method(get_item(parsers, type_name), parse, html, rules, separator);
    }
    if (ostrel::equals(value_type, attr_kind)) {
        py::object attr_name = get_item(split_type(type_text), py::int_(1));
        return call_method(get_attr(self, interned("selvane")), parse, html, rules, attr_name);
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
        if (!ostrel::truth(call_method(self, interned("have_none_in_value"), record))) append(records, record);
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

py::object match_multiple_fields(py::handle self, py::handle field) {
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

// Clears a pending Exception (a BaseException such as KeyboardInterrupt
// propagates); false when there was none.
bool drop_exception() {
    if (!PyErr_Occurred()) return false;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
    return true;
}

// Hands the document the tree that requests_html would otherwise build with
// soupparser on its first XPath query, built natively from the very text it
// would parse (`doc.html`). Where the builder declines a page (None), or is
// disabled (_build_tree is None), or the document is not requests_html's own
// HTML or does not read or take the tree as that does, the document is left as
// it was and parses lazily as before: an error reading the text surfaces, if
// at all, where it always did.
py::handle requests_html_type;  // requests_html.HTML as imported (never released)

void give_native_tree(py::handle html) {
    py::handle build = global("_build_tree");
    if (build.is_none() || Py_TYPE(html.ptr()) != reinterpret_cast<PyTypeObject*>(requests_html_type.ptr())) return;
    PyObject* text = PyObject_GetAttr(html.ptr(), interned("html").ptr());
    if (text == nullptr) {
        drop_exception();
        return;
    }
    py::object page = steal(text);
    if (!PyUnicode_Check(page.ptr())) return;
    py::object root = ostrel::call(build, page);
    if (root.is_none()) return;
    if (PyObject_SetAttr(html.ptr(), interned("_lxml").ptr(), root.ptr()) < 0) drop_exception();
}

py::object extract(py::handle self, py::handle text, py::handle de_dup) {
    ostrel::check_str_arg(text, "text");
    // HTML(html=text)
    static py::handle html_keyword = py::make_tuple("html").release();
    PyObject* stack[] = {text.ptr()};
    py::object html = steal(PyObject_Vectorcall(global("HTML").ptr(), stack, 0, html_keyword.ptr()));
    // The document re-encodes the page as UTF-8 and would decode it again with
    // the charset that the markup declares (gb2312, iso-8859-1, ...), turning
    // every field of such a page into mojibake; the text is already decoded.
    ostrel::set_attr(html, interned("encoding"), interned("utf-8"));
    give_native_tree(html);
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
    m.attr("_build_tree") = py::module_::import("ostrel.crawler.field_extractor.utils._treegate").attr("build_tree");
    ostrel::import_names(m, "ostrel.common.utils", {"ConfigUtils"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers", {"FieldParser", "FieldsParser"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.pallock", {"FieldsMatcher"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.dravine", {"FieldsProcessor"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.html_parsers.selvane", {"AttrParser"});
    ostrel::import_names(m, "typing", {"Dict", "List", "Union"});

    module_dict = py::object(m.attr("__dict__")).release().ptr();
    py::object json = m.attr("json");
    json_encode = py::object(json.attr("JSONEncoder")(py::arg("ensure_ascii") = false).attr("encode")).release();
    json_loads = py::object(json.attr("loads")).release();

    static ostrel::Signature init_sig("FieldExtractor.__init__", {"self", "conf_file"});
    static ostrel::Signature extract_sig("FieldExtractor.extract", {"self", "text", "de_dup"}, {Py_True});
    static ostrel::Signature match_fields_sig("FieldExtractor._match_fields", {"self", "fields"});
    static ostrel::Signature match_multiple_sig("FieldExtractor._match_multiple_fields", {"self", "field"});
    static ostrel::Signature get_value_sig("FieldExtractor._get_value", {"self", "value"});
    static ostrel::Signature add_next_sig("FieldExtractor._add_next_value", {"self", "matched_values_", "i"});
    static ostrel::Signature extract_fields_sig("FieldExtractor._extract_fields", {"self", "html"});
    static ostrel::Signature have_none_sig("FieldExtractor.have_none_in_value", {"self", "field"});

    py::dict ns;
    ns["__init__"] = ostrel::method("__init__", [](py::args args, py::kwargs kwargs) -> py::object {
        auto [self, conf_file] = init_sig.bind<2>(args, kwargs);
        construct(self, conf_file);
        return py::none();
    });
    ns["extract"] = ostrel::method("extract", [](py::args args, py::kwargs kwargs) {
        auto [self, text, de_dup] = extract_sig.bind<3>(args, kwargs);
        return extract(self, text, de_dup);
    });
    ns["_match_fields"] = ostrel::method("_match_fields", [](py::args args, py::kwargs kwargs) {
        auto [self, fields] = match_fields_sig.bind<2>(args, kwargs);
        return match_fields(self, fields);
    });
    ns["_match_multiple_fields"] = ostrel::method("_match_multiple_fields", [](py::args args, py::kwargs kwargs) {
        auto [self, field] = match_multiple_sig.bind<2>(args, kwargs);
        return match_multiple_fields(self, field);
    });
    ns["_get_value"] = ostrel::method("_get_value", [](py::args args, py::kwargs kwargs) {
        auto [self, value] = get_value_sig.bind<2>(args, kwargs);
        return get_value(value);
    });
    ns["_add_next_value"] = ostrel::method("_add_next_value", [](py::args args, py::kwargs kwargs) {
        auto [self, pairs, i] = add_next_sig.bind<3>(args, kwargs);
        return add_next_value(pairs, i);
    });
    ns["_extract_fields"] = ostrel::method("_extract_fields", [](py::args args, py::kwargs kwargs) {
        auto [self, html] = extract_fields_sig.bind<2>(args, kwargs);
        return extract_fields(self, html);
    });
    ns["have_none_in_value"] = ostrel::method("have_none_in_value", [](py::args args, py::kwargs kwargs) {
        auto [self, field] = have_none_sig.bind<2>(args, kwargs);
        return py::bool_(have_none_in_value(field));
    });
    ostrel::make_class(m, "FieldExtractor", reinterpret_cast<PyObject*>(&PyType_Type), py::tuple(), ns);
}
