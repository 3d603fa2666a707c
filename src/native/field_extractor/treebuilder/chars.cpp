// Follows the html module (html.unescape and its tables) and soupparser's
// unescape; see chars.hpp.
#include "chars.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>

namespace py = pybind11;

namespace ostrel::treebuilder {

ustring to_ustring(PyObject* s) {
    if (!PyUnicode_Check(s)) throw py::type_error("expected str");
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    ustring out;
    out.resize(static_cast<size_t>(n));
    Py_ssize_t i = 0;
    for (char32_t& c : out) c = PyUnicode_READ(kind, data, i++);
    return out;
}

PyObject* to_py(const char32_t* s, size_t n) {
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, static_cast<Py_ssize_t>(n));
}

ustring lower(ustring s) {
    if (ascii_lower(s)) return s;
    py::object str = py::reinterpret_steal<py::object>(to_py(s));
    if (!str) throw py::error_already_set();
    py::object low = str.attr("lower")();
    return to_ustring(low.ptr());
}

UnescapeTables load_unescape_tables() {
    UnescapeTables t;
    py::module_ html = py::module_::import("html");
    py::module_ entities = py::module_::import("html.entities");
    for (auto item : py::reinterpret_borrow<py::dict>(entities.attr("html5")))
        t.add_html5(to_ustring(item.first.ptr()), to_ustring(item.second.ptr()));
    for (auto item : py::reinterpret_borrow<py::dict>(html.attr("_invalid_charrefs")))
        t.invalid_charrefs.emplace(item.first.cast<int>(), to_ustring(item.second.ptr()));
    for (py::handle cp : html.attr("_invalid_codepoints")) t.invalid_codepoints.insert(cp.cast<int>());
    for (auto item : py::reinterpret_borrow<py::dict>(entities.attr("name2codepoint")))
        t.name2codepoint.emplace(to_ustring(item.first.ptr()), item.second.cast<uint32_t>());
    return t;
}

namespace {

// One numeric reference as html.unescape resolves it (html._replace_charref).
template <class T>
void unescape_number(const T* digits, size_t n, unsigned base, const UnescapeTables& tables, ustring& out) {
    uint32_t num = parse_number(digits, n, base);
    auto it = tables.invalid_charrefs.find(static_cast<int>(num));
    if (it != tables.invalid_charrefs.end()) {
        out += it->second;
        return;
    }
    if ((num >= 0xD800 && num <= 0xDFFF) || num > 0x10FFFF) {
        out += U'\uFFFD';
        return;
    }
    if (tables.invalid_codepoints.count(static_cast<int>(num))) return;
    out += static_cast<char32_t>(num);
}

}  // namespace

// &(#[0-9]+;?|#[xX][0-9a-fA-F]+;?|[^\t\n\f <&#;]{1,32};?)
template <class T>
void html_unescape_into(const T* s, size_t n, const UnescapeTables& tables, ustring& out) {
    size_t i = 0;
    while (i < n) {
        char32_t c = s[i];
        if (c != '&') {
            size_t e = i + 1;
            while (e < n && s[e] != '&') ++e;
            append_units(out, s + i, e - i);
            i = e;
            continue;
        }
        size_t p = i + 1;
        if (p < n && s[p] == '#') {
            size_t q = p + 1;
            if (q < n && is_digit(s[q])) {
                size_t e = q;
                while (e < n && is_digit(s[e])) ++e;
                unescape_number(s + q, e - q, 10, tables, out);
                if (e < n && s[e] == ';') ++e;
                i = e;
                continue;
            }
            if (q + 1 < n && (s[q] == 'x' || s[q] == 'X') && is_hex(s[q + 1])) {
                size_t b = q + 1, e = b;
                while (e < n && is_hex(s[e])) ++e;
                unescape_number(s + b, e - b, 16, tables, out);
                if (e < n && s[e] == ';') ++e;
                i = e;
                continue;
            }
            out += c;  // no reference here
            ++i;
            continue;
        }
        size_t e = p;
        auto name_char = [](char32_t ch) {
            return !(ch == '\t' || ch == '\n' || ch == '\x0c' || ch == ' ' || ch == '<' || ch == '&' ||
                     ch == '#' || ch == ';');
        };
        while (e < n && e - p < 32 && name_char(s[e])) ++e;
        if (e == p) {
            out += c;
            ++i;
            continue;
        }
        if (e < n && s[e] == ';') ++e;
        ustring name(s + p, s + e);
        auto it = tables.html5.find(name);
        if (it != tables.html5.end()) {
            out += it->second;
        } else {
            // The longest prefix that is a name. A prefix holds no ';', so
            // only the names without one (the legacy ones) can match.
            bool found = false;
            size_t longest = std::min(name.size() - 1, tables.html5_bare_longest);
            for (size_t x = longest; x > 1; --x) {
                auto jt = tables.html5.find(name.substr(0, x));
                if (jt != tables.html5.end()) {
                    out += jt->second;
                    out.append(name, x, ustring::npos);
                    found = true;
                    break;
                }
            }
            if (!found) {
                out += '&';
                out += name;
            }
        }
        i = e;
    }
}

template void html_unescape_into(const Py_UCS1*, size_t, const UnescapeTables&, ustring&);
template void html_unescape_into(const Py_UCS2*, size_t, const UnescapeTables&, ustring&);
template void html_unescape_into(const Py_UCS4*, size_t, const UnescapeTables&, ustring&);
template void html_unescape_into(const char32_t*, size_t, const UnescapeTables&, ustring&);

void soup_unescape_into(const char32_t* s, size_t n, const UnescapeTables& tables, ustring& out) {
    size_t i = 0;
    while (i < n) {
        char32_t c = s[i];
        if (c != '&') {
            const char32_t* amp = std::char_traits<char32_t>::find(s + i, n - i, U'&');
            size_t e = amp ? static_cast<size_t>(amp - s) : n;
            append_units(out, s + i, e - i);
            i = e;
            continue;
        }
        size_t e = i + 1;
        while (e < n && is_word(s[e])) ++e;
        if (e > i + 1 && e < n && s[e] == ';') {
            auto it = tables.name2codepoint.find(ustring(s + i + 1, s + e));
            if (it != tables.name2codepoint.end())
                out += it->second;
            else
                append_units(out, s + i, e + 1 - i);
            i = e + 1;
        } else {
            out += c;
            ++i;
        }
    }
}

}  // namespace ostrel::treebuilder
