// Characters as the reproduced Python modules see them: the character
// classes of their regular expressions, ASCII case folding and str.lower(),
// numeric character references, and the two unescapers on the way to the
// tree: html.unescape (html.parser applies it to attribute values) and
// soupparser's own unescape (applied to every string it copies into lxml).
//
// Also the decline mechanism shared by every stage: `bail(reason)` abandons
// the page, and the module returns None with the reason.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace ostrel::treebuilder {

using ustring = std::u32string;

// Thrown to leave a page to the slow path; caught once, in the module.
struct Bail {
    const char* reason;
};
[[noreturn]] inline void bail(const char* reason) { throw Bail{reason}; }

// html.parser converts decimal references with int(), which refuses strings
// of more than 4300 digits; stay well below.
constexpr size_t kMaxDecimalDigits = 1000;

// --- character classes ------------------------------------------------------

// \s and \w of a str pattern (the interpreter's Unicode database).
inline bool is_space(char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }
inline bool is_word(char32_t c) { return c == '_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); }
inline bool is_alpha_ascii(char32_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
inline bool is_hex(char32_t c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
inline bool is_alnum_ascii(char32_t c) { return is_alpha_ascii(c) || is_digit(c); }
// BeautifulSoup's ASCII_SPACES: what a whitespace-only string is made of.
inline bool is_ascii_space(char32_t c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\x0c' || c == '\r';
}
// Ends a tag name in html.parser: [^\t\n\r\f />\x00]
inline bool ends_tag_name(char32_t c) {
    return c == '\t' || c == '\n' || c == '\r' || c == '\x0c' || c == ' ' || c == '/' || c == '>' || c == 0;
}

// --- copies ------------------------------------------------------------------

// out += s[0:n], each code unit widened to a code point in place (append and
// assign of another character type first build a temporary string).
template <class T>
inline void append_units(ustring& out, const T* s, size_t n) {
    size_t at = out.size();
    out.resize(at + n);
    char32_t* d = out.data() + at;
    for (size_t k = 0; k < n; ++k) d[k] = static_cast<char32_t>(s[k]);
}
template <class T>
inline void assign_units(ustring& out, const T* s, size_t n) {
    out.clear();
    append_units(out, s, n);
}

// --- case ---------------------------------------------------------------------

inline char32_t ascii_lower(char32_t c) { return c >= 'A' && c <= 'Z' ? c + 0x20 : c; }

// Lowercases the ASCII letters of `s` in place. False when `s` holds a
// non-ASCII character, which str.lower() might change as well.
inline bool ascii_lower(ustring& s) {
    bool ascii = true;
    for (char32_t& c : s) {
        if (c >= 0x80)
            ascii = false;
        else
            c = ascii_lower(c);
    }
    return ascii;
}

// The lowercase of `s` as str.lower() gives it (the interpreter is asked only
// for non-ASCII text).
ustring lower(ustring s);

// --- numbers ------------------------------------------------------------------

// The value of the digits s[0:n] (base 10 or 16, already matched), saturated
// at 0x110000: every larger number is out of range the same way. Declines
// decimal strings longer than int() accepts.
template <class T>
uint32_t parse_number(const T* s, size_t n, unsigned base) {
    if (base == 10 && n > kMaxDecimalDigits) bail("decimal reference too long");
    uint64_t num = 0;
    for (size_t i = 0; i < n; ++i) {
        char32_t c = s[i];
        uint32_t d = is_digit(c) ? c - U'0' : (c | 0x20) - U'a' + 10;
        num = num * base + d;
        if (num > 0x110000) num = 0x110000;
    }
    return static_cast<uint32_t>(num);
}

// --- str conversion -------------------------------------------------------------

// The code points of a str (raises TypeError for anything else).
ustring to_ustring(PyObject* s);
// A new str, or NULL with an exception set.
PyObject* to_py(const char32_t* s, size_t n);
inline PyObject* to_py(const ustring& s) { return to_py(s.data(), s.size()); }

// --- unescaping -----------------------------------------------------------------

// The entity tables of the html module. Loaded from it at import; a test
// fills a few entries by hand.
struct UnescapeTables {
    std::unordered_map<ustring, ustring> html5;            // html.entities.html5
    size_t html5_bare_longest = 0;                         // its longest name without ';'
    std::unordered_map<int, ustring> invalid_charrefs;     // html._invalid_charrefs
    std::unordered_set<int> invalid_codepoints;            // html._invalid_codepoints
    std::unordered_map<ustring, char32_t> name2codepoint;  // html.entities.name2codepoint

    void add_html5(ustring name, ustring value) {
        if (!name.empty() && name.back() != ';' && name.size() > html5_bare_longest)
            html5_bare_longest = name.size();
        html5[std::move(name)] = std::move(value);
    }
};

// Reads the tables from the html and html.entities modules (raises the
// Python error as py::error_already_set).
UnescapeTables load_unescape_tables();

// html.unescape(s[0:n]) appended to `out`. Instantiated for the three str
// storage kinds and char32_t.
template <class T>
void html_unescape_into(const T* s, size_t n, const UnescapeTables& tables, ustring& out);

// soupparser's unescape, &(\w+); against name2codepoint, of s[0:n] appended
// to `out`.
void soup_unescape_into(const char32_t* s, size_t n, const UnescapeTables& tables, ustring& out);

}  // namespace ostrel::treebuilder
