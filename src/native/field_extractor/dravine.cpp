// FieldsProcessor: the post-processing of extracted rows ("fields"). A call
// of process_fields converts alias values to their main values, keeps the
// rows that the key filter and the non-empty filter accept, and, when asked,
// drops exact duplicates. Each stage takes any iterable of rows and returns a
// new list; the caller's list and mappings are never modified.
//
// Rows are normally exact dicts, which take direct C paths here; any other
// object goes through the ordinary Python protocol (`.items()`, `.get()`,
// `in`, `==`), so that it fails, if it fails, as Python code would.
#include "dedup_table.hpp"
#include "ostrel_native.hpp"

namespace py = pybind11;
using ostrel::append;
using ostrel::borrow;
using ostrel::contains;
using ostrel::for_each_item;
using ostrel::interned;
using ostrel::new_dict;
using ostrel::new_list;
using ostrel::set_attr;
using ostrel::steal;

namespace {

py::handle re_module;  // the module's `re` (never released)

// An attribute of the instance read the first time it is needed, so that a
// call that never needs it never touches it.
class LazyAttr {
public:
    LazyAttr(py::handle obj, py::handle name) : obj_(obj), name_(name) {}
    py::handle get() {
        if (!value_) value_ = ostrel::get_attr(obj_, name_);
        return value_;
    }

private:
    py::handle obj_, name_;
    py::object value_;
};

// `for key, value in mapping.items(): fn(key, value)`. An exact dict is read
// directly; `fn` may run Python code, so every entry is held by a strong
// reference and a change of the dict's size ends the walk as its iterator would.
template <class F>
void for_each_entry(py::handle mapping, F&& fn) {
    PyObject* obj = mapping.ptr();
    if (PyDict_CheckExact(obj)) {
        const Py_ssize_t size = PyDict_GET_SIZE(obj);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            py::object key = borrow(k), value = borrow(v);
            fn(key, value);
            if (PyDict_GET_SIZE(obj) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                ostrel::throw_error();
            }
        }
        return;
    }
    py::object entries = ostrel::call_method(mapping, interned("items"));
    for_each_item(entries, [&](py::object entry) {
        py::object key, value;
        ostrel::unpack(entry, {&key, &value});
        fn(key, value);
        return true;
    });
}

// `table.get(value, value)`: the main value of an alias, or the value itself.
py::object main_value(py::handle table, py::handle value) {
    if (PyDict_CheckExact(table.ptr())) {
        PyObject* found = PyDict_GetItemWithError(table.ptr(), value.ptr());
        if (found != nullptr) return borrow(found);
        if (PyErr_Occurred()) ostrel::throw_error();
        return borrow(value.ptr());
    }
    return ostrel::call_method(table, interned("get"), value, value);
}

// ---------------------------------------------------------------------------
// Construction

void init(py::handle self, py::handle conf) {
    py::object alias = contains(conf, interned("alias2main_name"))
                           ? ostrel::get_item(conf, interned("alias2main_name"))
                           : new_dict();
    set_attr(self, interned("alias2main_name"), alias);

    // `filter` is indexed once for its `key` and once more for its `values`,
    // so that a missing `key` fails before `values` is looked at.
    py::object filter_key =
        contains(conf, interned("filter"))
            ? ostrel::get_item(ostrel::get_item(conf, interned("filter")), interned("key"))
            : py::none();
    set_attr(self, interned("filter_key"), filter_key);
    py::object filter_values =
        contains(conf, interned("filter"))
            ? ostrel::get_item(ostrel::get_item(conf, interned("filter")), interned("values"))
            : new_dict();
    set_attr(self, interned("filter_values"), filter_values);

    py::object values = ostrel::get_attr(self, interned("filter_values"));
    set_attr(self, interned("words_filter_values"),
             ostrel::call_method(values, interned("get"), interned("words"), new_dict()));
    set_attr(self, interned("format_values"),
             ostrel::call_method(values, interned("get"), interned("format"), new_dict()));
    set_attr(self, interned("not_empty_fields"),
             ostrel::call_method(conf, interned("get"), interned("not_empty_fields"), new_list()));
}

// ---------------------------------------------------------------------------
// Value conversion

py::object convert_field_value(py::handle self, py::handle fields) {
    LazyAttr alias2main_name(self, interned("alias2main_name"));
    py::object converted_fields = new_list();
    for_each_item(fields, [&](py::object field) {
        py::object converted_field = new_dict();
        for_each_entry(field, [&](py::handle key, py::handle value) {
            // The key's alias table; a missing one counts as an empty table.
            py::handle aliases = alias2main_name.get();
            py::object table;
            if (PyDict_CheckExact(aliases.ptr())) {
                PyObject* found = PyDict_GetItemWithError(aliases.ptr(), key.ptr());
                if (found != nullptr) {
                    table = borrow(found);
                } else if (PyErr_Occurred()) {
                    ostrel::throw_error();
                }
            } else {
                table = ostrel::call_method(aliases, interned("get"), key, new_dict());
            }
            py::object converted =
                table && ostrel::truth(table) ? main_value(table, value) : borrow(value.ptr());
            if (PyDict_SetItem(converted_field.ptr(), key.ptr(), converted.ptr()) < 0) ostrel::throw_error();
        });
        append(converted_fields, converted_field);
        return true;
    });
    return converted_fields;
}

// ---------------------------------------------------------------------------
// Filters

bool is_empty_text(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return PyUnicode_GET_LENGTH(value.ptr()) == 0;
    return ostrel::equals(value, interned(""));
}

py::object filter_empty_fields(py::handle self, py::handle fields) {
    LazyAttr not_empty_fields(self, interned("not_empty_fields"));
    py::object filtered_fields = new_list();
    for_each_item(fields, [&](py::object field) {
        PyObject* f = field.ptr();
        if (PyDict_CheckExact(f)) {
            // Nothing to test: no entry, or no required key at all.
            if (PyDict_GET_SIZE(f) == 0) return append(filtered_fields, field), true;
            py::handle required = not_empty_fields.get();
            if (PyList_CheckExact(required.ptr()) && PyList_GET_SIZE(required.ptr()) == 0)
                return append(filtered_fields, field), true;
        }
        bool filtered = false;
        for_each_entry(field, [&](py::handle key, py::handle value) {
            if (contains(not_empty_fields.get(), key) && is_empty_text(value)) filtered = true;
        });
        if (!filtered) append(filtered_fields, field);
        return true;
    });
    return filtered_fields;
}

py::object filter_fields_by_key(py::handle self, py::handle fields) {
    py::object filter_key = ostrel::get_attr(self, interned("filter_key"));
    if (filter_key.is_none()) return borrow(fields.ptr());
    LazyAttr words(self, interned("words_filter_values"));
    py::object filtered_fields = new_list();
    for_each_item(fields, [&](py::object field) {
        py::object value = ostrel::get_item(field, filter_key);
        if (contains(words.get(), value) ||
            !ostrel::truth(ostrel::call_method(self, interned("_filter_by_format"), field))) {
            append(filtered_fields, field);
        }
        return true;
    });
    return filtered_fields;
}

// The placeholder names of a format rule: what "<(.*?)>" captures, left to
// right, without overlap. A match runs from a "<" to the nearest ">" with no
// line feed in between; the name may be empty or hold further "<".
template <class Char>
void scan_placeholders(PyObject* rule, const Char* data, Py_ssize_t n, py::handle out) {
    Py_ssize_t i = 0;
    while (i < n) {
        while (i < n && data[i] != '<') ++i;
        if (i == n) return;
        Py_ssize_t j = i + 1;
        while (j < n && data[j] != '>' && data[j] != '\n') ++j;
        if (j == n) return;  // no ">" and no line feed left: no further match
        if (data[j] == '\n') {
            // Every "<" before this line feed fails the same way.
            i = j + 1;
            continue;
        }
        append(out, steal(PyUnicode_Substring(rule, i + 1, j)));
        i = j + 1;
    }
}

py::object placeholder_names(py::handle rule) {
    PyObject* r = rule.ptr();
    if (!PyUnicode_Check(r)) {
        // Only a text has placeholders; re.findall reports what is wrong.
        py::object findall = ostrel::get_attr(re_module, interned("findall"));
        ostrel::call(findall, interned("<(.*?)>"), rule);
        PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'",
                     Py_TYPE(r)->tp_name);
        ostrel::throw_error();
    }
    py::object out = new_list();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(r);
    switch (PyUnicode_KIND(r)) {
        case PyUnicode_1BYTE_KIND:
            scan_placeholders(r, PyUnicode_1BYTE_DATA(r), n, out);
            break;
        case PyUnicode_2BYTE_KIND:
            scan_placeholders(r, PyUnicode_2BYTE_DATA(r), n, out);
            break;
        default:
            scan_placeholders(r, PyUnicode_4BYTE_DATA(r), n, out);
            break;
    }
    return out;
}

// Fills each placeholder of `rule` with the field's value under its name,
// inserted as literal text, and compares the result with the value under the
// filter key. False as soon as one rule yields that value; True otherwise.
bool filter_by_format(py::handle self, py::handle field) {
    py::object format_values = ostrel::get_attr(self, interned("format_values"));
    bool accepted = false;
    for_each_item(format_values, [&](py::object rule) {
        py::object keys = placeholder_names(rule);
        py::object text = rule;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
            py::handle name = PyList_GET_ITEM(keys.ptr(), i);
            py::object value = ostrel::get_item(field, name);
            if (!PyUnicode_Check(value.ptr())) {
                PyErr_Format(PyExc_TypeError, "expected str instance, %.200s found",
                             Py_TYPE(value.ptr())->tp_name);
                ostrel::throw_error();
            }
            py::object placeholder = steal(PyUnicode_FromFormat("<%U>", name.ptr()));
            text = steal(PyUnicode_Replace(text.ptr(), placeholder.ptr(), value.ptr(), -1));
        }
        py::object filter_key = ostrel::get_attr(self, interned("filter_key"));
        if (ostrel::equals(text, ostrel::get_item(field, filter_key))) {
            accepted = true;
            return false;
        }
        return true;
    });
    return !accepted;
}

// ---------------------------------------------------------------------------
// De-duplication: see dedup_table.hpp.

// ---------------------------------------------------------------------------
// Documentation

const char* const kDeDupDoc =
    "对重复数据，目前仅过滤完全一样的，后续希望加上一些规则，可以对一些不完全一样的进行过滤\n"
    "\n"
    "        :param fields: _description_\n"
    "        :type fields: List[Dict]\n"
    "        :return: _description_\n"
    "        :rtype: List[Dict]\n"
    "        ";
const char* const kFilterByKeyDoc =
    "根据某一个字段，过滤出我们想要的结果\n"
    "\n"
    "        :param fields: _description_\n"
    "        :type fields: List[Dict]\n"
    "        :return: _description_\n"
    "        :rtype: List[Dict]\n"
    "        ";
const char* const kFilterByFormatDoc =
    "通过format格式的规则过滤，不被过滤时返回False\n"
    "\n"
    "        :param field: _description_\n"
    "        :type field: Dict\n"
    "        :return: _description_\n"
    "        :rtype: bool\n"
    "        ";
const char* const kConvertDoc =
    "对部分字段的值进行别名转换\n"
    "\n"
    "        :param fields: _description_\n"
    "        :type fields: List[Dict]\n"
    "        :return: _description_\n"
    "        :rtype: List[Dict]\n"
    "        ";

}  // namespace

PYBIND11_MODULE(dravine, m) {
    m.attr("re") = py::module_::import("re");
    ostrel::import_names(m, "typing", {"List", "Dict"});
    re_module = py::object(m.attr("re")).release();

    ostrel::ClassBuilder cls(m, "FieldsProcessor");
    cls.def("__init__", {"self", "conf"}, [](py::handle self, py::handle conf) { init(self, conf); });
    cls.def("process_fields", {"self", "fields", "de_dup"},
            [](py::handle self, py::handle fields, py::handle de_dup) {
                // Each stage is looked up on the instance, so a subclass may redefine it.
                py::object converted = ostrel::call_method(self, interned("_convert_field_value"), fields);
                py::object filtered = ostrel::call_method(self, interned("_filter_fields"), converted);
                if (ostrel::truth(de_dup))
                    return ostrel::call_method(self, interned("_de_dup_fields"), filtered);
                return filtered;
            });
    cls.def(
        "_de_dup_fields", {"self", "fields"},
        [](py::handle self, py::handle fields) { return ostrel::distinct_rows(fields); }, kDeDupDoc);
    cls.def("_filter_fields", {"self", "fields"}, [](py::handle self, py::handle fields) {
        py::object by_key = ostrel::call_method(self, interned("_filter_fields_by_key"), fields);
        return ostrel::call_method(self, interned("_filter_empty_fields"), by_key);
    });
    cls.def("_filter_empty_fields", {"self", "fields"},
            [](py::handle self, py::handle fields) { return filter_empty_fields(self, fields); });
    cls.def(
        "_filter_fields_by_key", {"self", "fields"},
        [](py::handle self, py::handle fields) { return filter_fields_by_key(self, fields); },
        kFilterByKeyDoc);
    cls.def(
        "_filter_by_format", {"self", "field"},
        [](py::handle self, py::handle field) { return py::bool_(filter_by_format(self, field)); },
        kFilterByFormatDoc);
    cls.def(
        "_convert_field_value", {"self", "fields"},
        [](py::handle self, py::handle fields) { return convert_field_value(self, fields); }, kConvertDoc);
    cls.make();
}
