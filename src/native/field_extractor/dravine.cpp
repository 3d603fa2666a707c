// FieldsProcessor: the post-processing of extracted rows ("fields"). A call
// of process_fields converts alias values to their main values, keeps the
// rows that the key filter and the non-empty filter accept, and, when asked,
// drops exact duplicates. Each stage takes any iterable of rows and returns a
// new list; the caller's list and mappings are never modified.
//
// Rows are normally exact dicts, which take direct C paths here; any other
// object goes through the ordinary Python protocol (`.items()`, `.get()`,
// `in`, `==`), so that it fails, if it fails, as Python code would.
#include "ostrel_native.hpp"

#include <cstdint>
#include <vector>

namespace py = pybind11;
using ostrel::steal;
using ostrel::append;
using ostrel::borrow;
using ostrel::contains;
using ostrel::new_dict;
using ostrel::new_list;
using ostrel::set_attr;

namespace {

// Names and constants prepared once at module load (never released).
struct Names {
    py::handle alias2main_name, filter, key, values, words, format, not_empty_fields;
    py::handle filter_key, filter_values, words_filter_values, format_values;
    py::handle get, items, findall, empty, placeholder_pattern;
    py::handle process_fields, filter_fields, de_dup_fields, filter_empty_fields,
        filter_fields_by_key, filter_by_format, convert_field_value;
    py::handle re_module;
};
Names names;

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

// `for item in iterable: if not fn(item): break`. An exact list is walked by
// index, re-reading its size at every step exactly as its iterator does.
template <class F>
void for_each(py::handle iterable, F&& fn) {
    PyObject* obj = iterable.ptr();
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            if (!fn(borrow(PyList_GET_ITEM(obj, i)))) return;
        }
        return;
    }
    py::object it = steal(PyObject_GetIter(obj));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        if (!fn(steal(next))) return;
    }
    if (PyErr_Occurred()) ostrel::throw_error();
}

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
    py::object entries = ostrel::call_method(mapping, names.items);
    for_each(entries, [&](py::object entry) {
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
    return ostrel::call_method(table, names.get, value, value);
}

// ---------------------------------------------------------------------------
// Construction

void init(py::handle self, py::handle conf) {
    py::object alias = contains(conf, names.alias2main_name) ? ostrel::get_item(conf, names.alias2main_name)
                                                             : new_dict();
    set_attr(self, names.alias2main_name, alias);

    // `filter` is indexed once for its `key` and once more for its `values`,
    // so that a missing `key` fails before `values` is looked at.
    py::object filter_key = contains(conf, names.filter)
                                ? ostrel::get_item(ostrel::get_item(conf, names.filter), names.key)
                                : py::none();
    set_attr(self, names.filter_key, filter_key);
    py::object filter_values = contains(conf, names.filter)
                                   ? ostrel::get_item(ostrel::get_item(conf, names.filter), names.values)
                                   : new_dict();
    set_attr(self, names.filter_values, filter_values);

    py::object values = ostrel::get_attr(self, names.filter_values);
    set_attr(self, names.words_filter_values, ostrel::call_method(values, names.get, names.words, new_dict()));
    set_attr(self, names.format_values, ostrel::call_method(values, names.get, names.format, new_dict()));
    set_attr(self, names.not_empty_fields,
             ostrel::call_method(conf, names.get, names.not_empty_fields, new_list()));
}

// ---------------------------------------------------------------------------
// Value conversion

py::object convert_field_value(py::handle self, py::handle fields) {
    LazyAttr alias2main_name(self, names.alias2main_name);
    py::object converted_fields = new_list();
    for_each(fields, [&](py::object field) {
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
                table = ostrel::call_method(aliases, names.get, key, new_dict());
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
    return ostrel::equals(value, names.empty);
}

py::object filter_empty_fields(py::handle self, py::handle fields) {
    LazyAttr not_empty_fields(self, names.not_empty_fields);
    py::object filtered_fields = new_list();
    for_each(fields, [&](py::object field) {
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
    py::object filter_key = ostrel::get_attr(self, names.filter_key);
    if (filter_key.is_none()) return borrow(fields.ptr());
    LazyAttr words(self, names.words_filter_values);
    py::object filtered_fields = new_list();
    for_each(fields, [&](py::object field) {
        py::object value = ostrel::get_item(field, filter_key);
        if (contains(words.get(), value) ||
            !ostrel::truth(ostrel::call_method(self, names.filter_by_format, field))) {
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
        py::object findall = ostrel::get_attr(names.re_module, names.findall);
        ostrel::call(findall, names.placeholder_pattern, rule);
        PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", Py_TYPE(r)->tp_name);
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
    py::object format_values = ostrel::get_attr(self, names.format_values);
    bool accepted = false;
    for_each(format_values, [&](py::object rule) {
        py::object keys = placeholder_names(rule);
        py::object text = rule;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
            py::handle name = PyList_GET_ITEM(keys.ptr(), i);
            py::object value = ostrel::get_item(field, name);
            if (!PyUnicode_Check(value.ptr())) {
                PyErr_Format(PyExc_TypeError, "expected str instance, %.200s found", Py_TYPE(value.ptr())->tp_name);
                ostrel::throw_error();
            }
            py::object placeholder = steal(PyUnicode_FromFormat("<%U>", name.ptr()));
            text = steal(PyUnicode_Replace(text.ptr(), placeholder.ptr(), value.ptr(), -1));
        }
        py::object filter_key = ostrel::get_attr(self, names.filter_key);
        if (ostrel::equals(text, ostrel::get_item(field, filter_key))) {
            accepted = true;
            return false;
        }
        return true;
    });
    return !accepted;
}

// ---------------------------------------------------------------------------
// De-duplication
//
// The result is that of `if field not in retained: retained.append(field)`
// over the fields in order. To avoid comparing every field with every
// retained one, an exact dict whose contents are plain built-in values (str,
// int, float, bool, None, bytes, complex, and exact lists, tuples and dicts of
// them) gets a structural hash that agrees with `==`: equal rows always hash
// alike, and hashing runs no Python code. Such a row is compared only with
// retained rows of the same hash and with the retained rows that have no
// hash, in retained order, so the comparisons that could run Python code (or
// raise) happen in the same order as in the plain scan. A row without a hash
// is compared with every retained row, exactly as the plain scan does.

constexpr int kMaxDepth = 32;

inline uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

bool structural_hash(PyObject* v, uint64_t& out, int depth) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        v == Py_None || type == &PyBytes_Type || type == &PyComplex_Type) {
        // Numbers that compare equal hash alike across int, float and bool.
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1) {
            PyErr_Clear();
            return false;
        }
        out = static_cast<uint64_t>(h);
        return true;
    }
    if (depth >= kMaxDepth) return false;
    if (type == &PyList_Type || type == &PyTuple_Type) {
        const bool is_list = type == &PyList_Type;
        const Py_ssize_t n = Py_SIZE(v);
        uint64_t h = mix(static_cast<uint64_t>(n) ^ (is_list ? 0x6c697374ULL : 0x7475706cULL));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = is_list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i);
            uint64_t ih;
            if (!structural_hash(item, ih, depth + 1)) return false;
            h = mix(h + 0x9e3779b97f4a7c15ULL + ih);
        }
        out = h;
        return true;
    }
    if (type == &PyDict_Type) {
        // Order-independent: the sum of one mixed hash per entry.
        uint64_t sum = 0;
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (PyDict_Next(v, &pos, &k, &val)) {
            uint64_t kh, vh;
            if (!structural_hash(k, kh, depth + 1) || !structural_hash(val, vh, depth + 1)) return false;
            sum += mix(kh * 0x9e3779b97f4a7c15ULL + mix(vh));
        }
        out = mix(sum ^ mix(static_cast<uint64_t>(PyDict_GET_SIZE(v)) + 0x64696374ULL));
        return true;
    }
    return false;
}

bool row_hash(PyObject* field, uint64_t& out) {
    return PyDict_CheckExact(field) && structural_hash(field, out, 0);
}

// Chains of retained rows by hash: an open-addressing table from a hash to
// the first and last retained index that have it.
class Chains {
public:
    struct Slot {
        uint64_t hash;
        Py_ssize_t first = -1, last = -1;
    };

    explicit Chains(size_t expected) {
        size_t capacity = 16;
        while (capacity < expected * 2) capacity *= 2;
        slots_.resize(capacity);
    }

    // The slot of `hash`: its chain, or an empty slot to start one in.
    Slot& find(uint64_t hash) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = mix(hash) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.first < 0 || slot.hash == hash) return slot;
        }
    }

    // Counts a newly started chain, growing the table while it is half full.
    void started() {
        if (++used_ * 2 <= slots_.size()) return;
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.first >= 0) find(slot.hash) = slot;
    }

private:
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

py::object de_dup_fields(py::handle fields) {
    py::object retained = new_list();
    const Py_ssize_t expected = PyList_CheckExact(fields.ptr()) ? PyList_GET_SIZE(fields.ptr()) : 0;
    Chains chains(static_cast<size_t>(expected));
    // `next_same` links the retained rows of one hash in increasing order;
    // `unhashed` lists the retained rows that have no hash.
    std::vector<Py_ssize_t> next_same;
    std::vector<Py_ssize_t> unhashed;

    auto equal_to_retained = [&](Py_ssize_t index, py::handle field) {
        py::object kept = borrow(PyList_GET_ITEM(retained.ptr(), index));
        int r = PyObject_RichCompareBool(kept.ptr(), field.ptr(), Py_EQ);
        if (r < 0) ostrel::throw_error();
        return r != 0;
    };

    for_each(fields, [&](py::object field) {
        uint64_t h = 0;
        const bool hashed = row_hash(field.ptr(), h);
        const Py_ssize_t index = PyList_GET_SIZE(retained.ptr());
        if (!hashed) {
            if (contains(retained, field)) return true;
            append(retained, field);
            next_same.push_back(-1);
            unhashed.push_back(index);
            return true;
        }
        Py_ssize_t same = chains.find(h).first;
        size_t other = 0;
        // Merge the two ascending index lists, comparing in retained order.
        while (same >= 0 || other < unhashed.size()) {
            Py_ssize_t candidate;
            if (other >= unhashed.size() || (same >= 0 && same < unhashed[other])) {
                candidate = same;
                same = next_same[same];
            } else {
                candidate = unhashed[other++];
            }
            if (equal_to_retained(candidate, field)) return true;
        }
        append(retained, field);
        next_same.push_back(-1);
        // Found again: the comparisons above may have run Python code, but
        // nothing of that can reach the table.
        Chains::Slot& slot = chains.find(h);
        if (slot.first < 0) {
            slot.hash = h;
            slot.first = slot.last = index;
            chains.started();
        } else {
            next_same[slot.last] = index;
            slot.last = index;
        }
        return true;
    });
    return retained;
}

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

py::handle keep(py::object obj) { return obj.release(); }  // lives as long as the process

}  // namespace

PYBIND11_MODULE(dravine, m) {
    m.attr("re") = py::module_::import("re");
    ostrel::import_names(m, "typing", {"List", "Dict"});

    names.alias2main_name = ostrel::interned("alias2main_name");
    names.filter = ostrel::interned("filter");
    names.key = ostrel::interned("key");
    names.values = ostrel::interned("values");
    names.words = ostrel::interned("words");
    names.format = ostrel::interned("format");
    names.not_empty_fields = ostrel::interned("not_empty_fields");
    names.filter_key = ostrel::interned("filter_key");
    names.filter_values = ostrel::interned("filter_values");
    names.words_filter_values = ostrel::interned("words_filter_values");
    names.format_values = ostrel::interned("format_values");
    names.get = ostrel::interned("get");
    names.items = ostrel::interned("items");
    names.findall = ostrel::interned("findall");
    names.empty = ostrel::interned("");
    names.placeholder_pattern = ostrel::interned("<(.*?)>");
    names.process_fields = ostrel::interned("process_fields");
    names.filter_fields = ostrel::interned("_filter_fields");
    names.de_dup_fields = ostrel::interned("_de_dup_fields");
    names.filter_empty_fields = ostrel::interned("_filter_empty_fields");
    names.filter_fields_by_key = ostrel::interned("_filter_fields_by_key");
    names.filter_by_format = ostrel::interned("_filter_by_format");
    names.convert_field_value = ostrel::interned("_convert_field_value");
    names.re_module = keep(m.attr("re"));

    using ostrel::Signature;
    static Signature init_sig("FieldsProcessor.__init__", {"self", "conf"});
    static Signature process_sig("FieldsProcessor.process_fields", {"self", "fields", "de_dup"});
    static Signature de_dup_sig("FieldsProcessor._de_dup_fields", {"self", "fields"});
    static Signature filter_sig("FieldsProcessor._filter_fields", {"self", "fields"});
    static Signature empty_sig("FieldsProcessor._filter_empty_fields", {"self", "fields"});
    static Signature by_key_sig("FieldsProcessor._filter_fields_by_key", {"self", "fields"});
    static Signature by_format_sig("FieldsProcessor._filter_by_format", {"self", "field"});
    static Signature convert_sig("FieldsProcessor._convert_field_value", {"self", "fields"});

    py::dict ns;
    ns["__init__"] = ostrel::method("__init__", [](py::args args, py::kwargs kwargs) {
        auto [self, conf] = init_sig.bind<2>(args, kwargs);
        init(self, conf);
        return py::none();
    });
    ns["process_fields"] = ostrel::method("process_fields", [](py::args args, py::kwargs kwargs) {
        auto [self, fields, de_dup] = process_sig.bind<3>(args, kwargs);
        // Each stage is looked up on the instance, so a subclass may redefine it.
        py::object converted = ostrel::call_method(self, names.convert_field_value, fields);
        py::object filtered = ostrel::call_method(self, names.filter_fields, converted);
        if (ostrel::truth(de_dup)) return ostrel::call_method(self, names.de_dup_fields, filtered);
        return filtered;
    });
    ns["_de_dup_fields"] = ostrel::method(
        "_de_dup_fields",
        [](py::args args, py::kwargs kwargs) {
            auto [self, fields] = de_dup_sig.bind<2>(args, kwargs);
            return de_dup_fields(fields);
        },
        kDeDupDoc);
    ns["_filter_fields"] = ostrel::method("_filter_fields", [](py::args args, py::kwargs kwargs) {
        auto [self, fields] = filter_sig.bind<2>(args, kwargs);
        py::object by_key = ostrel::call_method(self, names.filter_fields_by_key, fields);
        return ostrel::call_method(self, names.filter_empty_fields, by_key);
    });
    ns["_filter_empty_fields"] = ostrel::method("_filter_empty_fields", [](py::args args, py::kwargs kwargs) {
        auto [self, fields] = empty_sig.bind<2>(args, kwargs);
        return filter_empty_fields(self, fields);
    });
    ns["_filter_fields_by_key"] = ostrel::method(
        "_filter_fields_by_key",
        [](py::args args, py::kwargs kwargs) {
            auto [self, fields] = by_key_sig.bind<2>(args, kwargs);
            return filter_fields_by_key(self, fields);
        },
        kFilterByKeyDoc);
    ns["_filter_by_format"] = ostrel::method(
        "_filter_by_format",
        [](py::args args, py::kwargs kwargs) {
            auto [self, field] = by_format_sig.bind<2>(args, kwargs);
            return py::bool_(filter_by_format(self, field));
        },
        kFilterByFormatDoc);
    ns["_convert_field_value"] = ostrel::method(
        "_convert_field_value",
        [](py::args args, py::kwargs kwargs) {
            auto [self, fields] = convert_sig.bind<2>(args, kwargs);
            return convert_field_value(self, fields);
        },
        kConvertDoc);

    ostrel::make_class(m, "FieldsProcessor", reinterpret_cast<PyObject*>(&PyType_Type), py::tuple(), ns);
}
