#include "partial_rows.hpp"

#include <string>

namespace ostrel::partial_rows {

namespace {

py::handle json_encode;  // json.JSONEncoder(ensure_ascii=False).encode
py::handle json_loads;   // json.loads

// The two-character escapes of JSON strings (0: none).
inline Py_UCS4 short_escape(Py_UCS4 c) {
    switch (c) {
        case '"':
            return '"';
        case '\\':
            return '\\';
        case '\n':
            return 'n';
        case '\r':
            return 'r';
        case '\t':
            return 't';
        case '\b':
            return 'b';
        case '\f':
            return 'f';
        default:
            return 0;
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
        : text_(text),
          kind_(PyUnicode_KIND(text)),
          data_(PyUnicode_DATA(text)),
          n_(PyUnicode_GET_LENGTH(text)) {}

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

thread_local Generation* known = nullptr;  // only while a record is matched
thread_local int matching_depth = 0;

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

}  // namespace

void use_json(py::handle encode, py::handle loads) {
    json_encode = encode;
    json_loads = loads;
}

MatchingScope::MatchingScope() {
    if (matching_depth++ == 0) known = new Generation();
}

MatchingScope::~MatchingScope() {
    if (--matching_depth == 0) {
        delete known;
        known = nullptr;
    }
}

py::object known_row(py::handle text) {
    if (known == nullptr) return py::object();
    auto found = known->find(text.ptr());
    return found == known->end() ? py::object() : found->second.second;
}

py::object dumps(py::handle value) {
    if (py::object text = encode_str_dict(value.ptr())) return text;
    return call(json_encode, value);
}

py::object loads(py::handle text) {
    if (py::object row = known_row(text)) return steal(PyDict_Copy(row.ptr()));
    if (is_exact_str(text))
        if (py::object dict = Reader(text.ptr()).read_dict()) return dict;
    return call(json_loads, text);
}

py::object first_column(Generation& generation, py::handle value) {
    py::object row = steal(PyDict_New());
    if (PyDict_SetItem(row.ptr(), interned("0").ptr(), value.ptr()) < 0) throw_error();
    py::object text = dumps(row);
    if (is_exact_str(value)) remember(generation, text, row);
    return text;
}

py::object next_column(Generation& generation, py::handle head, py::handle column, py::handle value) {
    py::object row = known_row(head);
    if (row && is_exact_str(value) && !PyDict_Contains(row.ptr(), column.ptr())) {
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

void advance(Generation& generation) {
    if (known != nullptr) known->swap(generation);
}

}  // namespace ostrel::partial_rows
