// Native builder of the page tree that requests_html parses for XPath.
//
// requests_html builds `doc.lxml` with lxml.html.soupparser on top of
// BeautifulSoup's html.parser builder: html.parser tokenises, BeautifulSoup
// arranges the tokens into its own tree, and soupparser copies that tree into
// lxml elements. `build(text)` gives the very element that chain returns, but
// does the work in one native pass:
//
//   1. a tokenizer that follows html.parser's goahead() (the feed() pass and
//      then the close() pass, with convert_charrefs off as BeautifulSoup runs
//      it), reading the str in its own storage kind;
//   2. BeautifulSoup's tree logic on a light tree: the open-tag stack, end
//      tags closing up to the nearest open tag of that name, void elements and
//      their already-closed end tags, strings merged between events and
//      whitespace-only strings collapsed outside pre/textarea;
//   3. soupparser's conversion: text before the first and after the last
//      top-level tag dropped, the html root chosen or made, entity names
//      resolved once more, then lxml nodes made through lxml's C API with the
//      same calls and the same arguments soupparser makes.
//
// Wherever the result could differ, the builder gives up and returns None, and
// the caller keeps the slow path: constructs that make html.parser raise,
// start tags whose quoting makes its regular expressions backtrack, names with
// braces, XML processing instructions, nesting deeper than kMaxDepth, and any
// error lxml raises while the nodes are made (lxml refuses the same strings
// whichever way they reach it, and soupparser's caller then falls back).
//
// The entity tables, the void elements, the multi-valued attributes and the
// other lists come from the very modules whose behaviour is reproduced, read
// once at import.
#include <Python.h>

#include <pybind11/pybind11.h>

// Only the libxml2 types: the functions used are lxml's, looked up at import.
#include <libxml/tree.h>
#include "lxml.etree_api.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

using ustring = std::u32string;

// Deeper trees are left to the slow path: soupparser converts them with one
// Python frame per level, and near the interpreter's recursion limit that
// raises where the builder would not.
constexpr size_t kMaxDepth = 256;
// html.parser converts decimal references with int(), which refuses strings
// of more than 4300 digits; stay well below.
constexpr size_t kMaxDecimalDigits = 1000;

struct Bail {
    const char* reason;
};

[[noreturn]] void bail(const char* reason) { throw Bail{reason}; }

// --- character classes ------------------------------------------------------

inline bool is_space(char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }
inline bool is_word(char32_t c) { return c == '_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); }
inline bool is_alpha_ascii(char32_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
inline bool is_hex(char32_t c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
inline bool is_alnum_ascii(char32_t c) { return is_alpha_ascii(c) || is_digit(c); }
inline bool is_ascii_space(char32_t c) {
    return c == ' ' || c == '\n' || c == '\t' || c == '\x0c' || c == '\r';
}
// Ends a tag name in html.parser: [^\t\n\r\f />\x00]
inline bool ends_tag_name(char32_t c) {
    return c == '\t' || c == '\n' || c == '\r' || c == '\x0c' || c == ' ' || c == '/' || c == '>' ||
           c == 0;
}

// --- tables read from the reproduced modules --------------------------------

struct Tables {
    std::unordered_map<ustring, ustring> html5;           // html.entities.html5
    std::unordered_map<int, ustring> invalid_charrefs;    // html._invalid_charrefs
    std::unordered_set<int> invalid_codepoints;           // html._invalid_codepoints
    std::unordered_map<ustring, ustring> soup_entities;   // EntitySubstitution.HTML_ENTITY_TO_CHARACTER
    std::unordered_map<ustring, char32_t> name2codepoint; // html.entities.name2codepoint
    std::unordered_map<int, ustring> windows_1252;        // UnicodeDammit.WINDOWS_1252_TO_UTF8
    std::unordered_set<ustring> void_elements;            // builder.empty_element_tags
    std::unordered_set<ustring> preserve_whitespace;      // builder.preserve_whitespace_tags
    std::unordered_set<ustring> list_attributes_any;      // cdata_list_attributes["*"]
    std::unordered_map<ustring, std::unordered_set<ustring>> list_attributes;  // by tag

    PyObject* html_parser = nullptr;        // lxml.html.html_parser
    PyObject* html_comment = nullptr;       // lxml.html.HtmlComment
    PyObject* make_pi = nullptr;            // lxml.etree.ProcessingInstruction
    PyObject* doctype_match = nullptr;      // soupparser._parse_doctype_declaration
};
Tables* tables;

ustring to_ustring(PyObject* s) {
    if (!PyUnicode_Check(s)) throw py::type_error("expected str");
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    ustring out;
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = PyUnicode_READ(kind, data, i);
    return out;
}

PyObject* to_py(const ustring& s) {
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size()));
}

// The lowercase of a name as str.lower() gives it.
ustring lower(ustring s) {
    bool ascii = true;
    for (char32_t& c : s) {
        if (c >= 0x80) ascii = false;
        else if (c >= 'A' && c <= 'Z') c += 0x20;
    }
    if (ascii) return s;
    py::object str = py::reinterpret_steal<py::object>(to_py(s));
    if (!str) throw py::error_already_set();
    py::object low = str.attr("lower")();
    return to_ustring(low.ptr());
}

// --- html.unescape, for attribute values ------------------------------------

// One numeric reference as html.unescape resolves it.
void unescape_number(const ustring& digits, int base, ustring& out) {
    if (base == 10 && digits.size() > kMaxDecimalDigits) bail("decimal reference too long");
    uint64_t num = 0;
    for (char32_t c : digits) {
        int d = is_digit(c) ? int(c - '0') : int((c | 0x20) - 'a' + 10);
        num = num * base + d;
        if (num > 0x110000) num = 0x110000;  // saturate: out of range either way
    }
    auto it = tables->invalid_charrefs.find(static_cast<int>(num));
    if (it != tables->invalid_charrefs.end()) {
        out += it->second;
        return;
    }
    if ((num >= 0xD800 && num <= 0xDFFF) || num > 0x10FFFF) {
        out += U'\uFFFD';
        return;
    }
    if (tables->invalid_codepoints.count(static_cast<int>(num))) return;
    out += static_cast<char32_t>(num);
}

// html.unescape(s): &(#[0-9]+;?|#[xX][0-9a-fA-F]+;?|[^\t\n\f <&#;]{1,32};?)
ustring html_unescape(const ustring& s) {
    if (s.find(U'&') == ustring::npos) return s;
    ustring out;
    size_t n = s.size(), i = 0;
    while (i < n) {
        char32_t c = s[i];
        if (c != '&') {
            out += c;
            ++i;
            continue;
        }
        size_t p = i + 1;
        if (p < n && s[p] == '#') {
            size_t q = p + 1;
            if (q < n && is_digit(s[q])) {
                size_t e = q;
                while (e < n && is_digit(s[e])) ++e;
                unescape_number(s.substr(q, e - q), 10, out);
                if (e < n && s[e] == ';') ++e;
                i = e;
                continue;
            }
            if (q + 1 < n && (s[q] == 'x' || s[q] == 'X') && is_hex(s[q + 1])) {
                size_t b = q + 1, e = b;
                while (e < n && is_hex(s[e])) ++e;
                unescape_number(s.substr(b, e - b), 16, out);
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
        ustring name = s.substr(p, e - p);
        auto it = tables->html5.find(name);
        if (it != tables->html5.end()) {
            out += it->second;
        } else {
            bool found = false;
            for (size_t x = name.size() - 1; x > 1; --x) {
                auto jt = tables->html5.find(name.substr(0, x));
                if (jt != tables->html5.end()) {
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
    return out;
}

// --- soupparser's unescape: &(\w+); against name2codepoint -------------------

void soup_unescape_into(const ustring& s, ustring& out) {
    size_t n = s.size(), i = 0;
    size_t amp = s.find(U'&');
    if (amp == ustring::npos) {
        out += s;
        return;
    }
    out.append(s, 0, amp);
    i = amp;
    while (i < n) {
        char32_t c = s[i];
        if (c == '&') {
            size_t e = i + 1;
            while (e < n && is_word(s[e])) ++e;
            if (e > i + 1 && e < n && s[e] == ';') {
                auto it = tables->name2codepoint.find(s.substr(i + 1, e - i - 1));
                if (it != tables->name2codepoint.end()) {
                    out += it->second;
                    i = e + 1;
                    continue;
                }
                out.append(s, i, e + 1 - i);
                i = e + 1;
                continue;
            }
        }
        out += c;
        ++i;
    }
}

// --- the light tree -----------------------------------------------------------

enum class Kind : uint8_t { Tag, Text, Comment, PI, Doctype, Declaration, CData };

inline bool is_string(Kind k) {
    return k == Kind::Text || k == Kind::Doctype || k == Kind::Declaration || k == Kind::CData;
}

struct Node {
    Kind kind;
    ustring name;  // tag name, or the string's text
    std::vector<std::pair<ustring, ustring>> attrs;
    std::vector<int> children;
};

// BeautifulSoup's side: the open-tag stack and the pending string.
class Soup {
public:
    std::vector<Node> nodes;

    Soup() {
        nodes.push_back(Node{Kind::Tag, U"[document]", {}, {}});
        stack_.push_back(0);
    }

    void data(const ustring& s) {
        current_ += s;
        have_data_ = true;
    }
    template <class C>
    void data(const C* s, size_t n) {
        current_.append(s, s + n);
        have_data_ = true;
    }

    void end_data(Kind kind = Kind::Text) {
        if (!have_data_) return;
        have_data_ = false;
        if (preserve_depth_ == 0) {
            bool strippable = true;
            for (char32_t c : current_)
                if (!is_ascii_space(c)) {
                    strippable = false;
                    break;
                }
            if (strippable) current_ = current_.find(U'\n') != ustring::npos ? U"\n" : U" ";
        }
        int id = static_cast<int>(nodes.size());
        nodes.push_back(Node{kind, std::move(current_), {}, {}});
        current_.clear();
        nodes[stack_.back()].children.push_back(id);
    }

    // BeautifulSoupHTMLParser.handle_starttag; `void_ok` is false for <tag/>.
    void start_tag(ustring name, std::vector<std::pair<ustring, ustring>> attrs, bool void_ok) {
        end_data();
        int id = static_cast<int>(nodes.size());
        nodes.push_back(Node{Kind::Tag, name, std::move(attrs), {}});
        nodes[stack_.back()].children.push_back(id);
        stack_.push_back(id);
        if (stack_.size() > kMaxDepth) bail("nesting deeper than 256");
        ++open_[name];
        if (tables->preserve_whitespace.count(name)) ++preserve_depth_;
        if (void_ok && tables->void_elements.count(name)) {
            close(name);
            ++already_closed_[name];
        }
    }

    // BeautifulSoupHTMLParser.handle_endtag.
    void end_tag(const ustring& name, bool check_already_closed = true) {
        if (check_already_closed) {
            auto it = already_closed_.find(name);
            if (it != already_closed_.end() && it->second > 0) {
                --it->second;
                return;
            }
        }
        close(name);
    }

    void finish() {
        end_data();
        while (stack_.size() > 1) pop();
    }

private:
    // BeautifulSoup.handle_endtag: the pending string, then _popToTag.
    void close(const ustring& name) {
        end_data();
        auto it = open_.find(name);
        if (it == open_.end() || it->second == 0) return;
        while (stack_.size() > 1) {
            bool hit = nodes[stack_.back()].name == name;
            pop();
            if (hit) break;
        }
    }

    void pop() {
        const ustring& name = nodes[stack_.back()].name;
        --open_[name];
        if (tables->preserve_whitespace.count(name)) --preserve_depth_;
        stack_.pop_back();
    }

    std::vector<int> stack_;
    std::unordered_map<ustring, int> open_;
    std::unordered_map<ustring, int> already_closed_;
    int preserve_depth_ = 0;
    ustring current_;
    bool have_data_ = false;
};

// --- html.parser's tokenizer --------------------------------------------------

constexpr long kIncomplete = -1;

template <class C>
class Tokenizer {
public:
    Tokenizer(const C* s, size_t n, Soup& soup) : s_(s), n_(n), soup_(soup) {}

    void run() {
        goahead(false);  // feed()
        goahead(true);   // close()
    }

private:
    size_t find(char32_t c, size_t from) const {
        for (size_t p = from; p < n_; ++p)
            if (s_[p] == c) return p;
        return npos;
    }
    bool starts(size_t i, const char* lit) const {
        for (size_t k = 0; lit[k]; ++k)
            if (i + k >= n_ || s_[i + k] != static_cast<unsigned char>(lit[k])) return false;
        return true;
    }
    ustring slice(size_t a, size_t b) const { return ustring(s_ + a, s_ + b); }
    void data(size_t a, size_t b) { soup_.data(s_ + a, b - a); }
    void skip_space(size_t& p) const {
        while (p < n_ && is_space(s_[p])) ++p;
    }
    // (?:\s|/(?!>))*
    void skip_space_slash(size_t& p) const {
        while (p < n_) {
            if (is_space(s_[p])) ++p;
            else if (s_[p] == '/' && !(p + 1 < n_ && s_[p + 1] == '>')) ++p;
            else break;
        }
    }

    // The start of the next "</name\s*>" closing the raw text element (the
    // case-insensitive `interesting` pattern of CDATA mode), or npos.
    size_t find_cdata_end(size_t from) const {
        for (size_t p = from; p + 1 < n_; ++p) {
            if (s_[p] != '<' || s_[p + 1] != '/') continue;
            size_t q = p + 2;
            skip_space(q);
            size_t k = 0;
            for (; k < cdata_elem_.size() && q < n_; ++k, ++q) {
                char32_t c = s_[q];
                // Some non-ASCII letters match ASCII ones case-insensitively.
                if (c >= 0x80) bail("non-ASCII letter in a raw text end tag");
                if ((c | 0x20) != cdata_elem_[k]) break;
            }
            if (k < cdata_elem_.size()) continue;
            skip_space(q);
            if (q < n_ && s_[q] == '>') return p;
        }
        return npos;
    }

    void goahead(bool end) {
        size_t i = pos_, n = n_;
        while (i < n) {
            size_t j;
            if (cdata_) {
                j = find_cdata_end(i);
                if (j == npos) break;
            } else {
                j = i;
                while (j < n && s_[j] != '<' && s_[j] != '&') ++j;
            }
            if (i < j) data(i, j);
            i = j;
            if (i == n) break;
            if (s_[i] == '<') {
                long k;
                if (i + 1 < n && is_alpha_ascii(s_[i + 1])) k = parse_starttag(i);
                else if (starts(i, "</")) k = parse_endtag(i);
                else if (starts(i, "<!--")) k = parse_comment(i);
                else if (starts(i, "<?")) k = parse_pi(i);
                else if (starts(i, "<!")) k = parse_html_declaration(i);
                else if (i + 1 < n) {
                    soup_.data(U"<");
                    k = static_cast<long>(i + 1);
                } else {
                    break;
                }
                if (k < 0) {
                    if (!end) break;
                    size_t e = find('>', i + 1);
                    if (e == npos) {
                        e = find('<', i + 1);
                        if (e == npos) e = i + 1;
                    } else {
                        e += 1;
                    }
                    data(i, e);
                    k = static_cast<long>(e);
                }
                i = static_cast<size_t>(k);
            } else if (starts(i, "&#")) {
                size_t e;
                if (match_charref(i, e)) {
                    charref(i + 2, e - 1);
                    i = s_[e - 1] == ';' ? e : e - 1;
                    continue;
                }
                if (find(';', i) != npos) {
                    soup_.data(U"&#");
                    i += 2;
                }
                break;
            } else {  // '&'
                size_t e;
                if (match_entityref(i, e)) {
                    entityref(slice(i + 1, e - 1));
                    i = s_[e - 1] == ';' ? e : e - 1;
                    continue;
                }
                if (i + 1 < n && (is_alpha_ascii(s_[i + 1]) || s_[i + 1] == '#')) {
                    if (end && n - i == 2) i += 1;
                    break;
                } else if (i + 1 < n) {
                    soup_.data(U"&");
                    i += 1;
                } else {
                    break;
                }
            }
        }
        if (end && i < n && !cdata_) {
            data(i, n);
            i = n;
        }
        pos_ = i;
    }

    // &#(?:[0-9]+|[xX][0-9a-fA-F]+)[^0-9a-fA-F]; e is the end of the match.
    bool match_charref(size_t i, size_t& e) const {
        size_t p = i + 2;
        if (p < n_ && is_digit(s_[p])) {
            while (p < n_ && is_digit(s_[p])) ++p;
        } else if (p + 1 < n_ && (s_[p] == 'x' || s_[p] == 'X') && is_hex(s_[p + 1])) {
            p += 1;
            while (p < n_ && is_hex(s_[p])) ++p;
        } else {
            return false;
        }
        if (p >= n_ || is_hex(s_[p])) return false;
        e = p + 1;
        return true;
    }

    // &([a-zA-Z][-.a-zA-Z0-9]*)[^a-zA-Z0-9]; e is the end of the match.
    bool match_entityref(size_t i, size_t& e) const {
        size_t p = i + 1;
        if (!(p < n_ && is_alpha_ascii(s_[p]))) return false;
        size_t q = p + 1;
        while (q < n_ && (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '.')) ++q;
        if (q < n_) {  // the name stops at a character that ends the match
            e = q + 1;
            return true;
        }
        // At the end of the input the name gives back up to its last '-' or
        // '.', which then ends the match.
        for (size_t t = q - 1; t > p; --t)
            if (s_[t] == '-' || s_[t] == '.') {
                e = t + 1;
                return true;
            }
        return false;
    }

    // BeautifulSoupHTMLParser.handle_charref on the digits s[a:b].
    void charref(size_t a, size_t b) {
        int base = 10;
        if (s_[a] == 'x' || s_[a] == 'X') {
            base = 16;
            ++a;
        } else if (b - a > kMaxDecimalDigits) {
            bail("decimal reference too long");
        }
        uint64_t num = 0;
        for (size_t p = a; p < b; ++p) {
            char32_t c = s_[p];
            int d = is_digit(c) ? int(c - '0') : int((c | 0x20) - 'a' + 10);
            num = num * base + d;
            if (num > 0x110000) num = 0x110000;
        }
        if (num == 0 || num > 0x10FFFF || (num >= 0xD800 && num <= 0xDFFF)) {
            soup_.data(U"\uFFFD");
        } else if (num >= 0x80 && num <= 0x9F && tables->windows_1252.count(static_cast<int>(num))) {
            soup_.data(tables->windows_1252[static_cast<int>(num)]);
        } else {
            soup_.data(ustring(1, static_cast<char32_t>(num)));
        }
        soup_.data(U"");
    }

    void entityref(const ustring& name) {
        auto it = tables->soup_entities.find(name);
        if (it != tables->soup_entities.end()) {
            soup_.data(it->second);
        } else {
            ustring text = U"&";
            text += name;
            soup_.data(text);
        }
    }

    static bool is_name(const ustring& name) {
        for (char32_t c : name)
            if (c == '{' || c == '}') return false;
        return true;
    }

    long parse_starttag(size_t i) {
        const size_t n = n_;
        // locatestarttagend_tolerant, then check_for_whole_start_tag.
        size_t name_end = i + 1;
        while (name_end < n && !ends_tag_name(s_[name_end])) ++name_end;
        size_t q = name_end;
        while (q < n && (is_space(s_[q]) || s_[q] == '/')) ++q;
        for (;;) {
            if (q >= n) break;
            char32_t prev = s_[q - 1];
            if (!(prev == '"' || prev == '\'' || prev == '/' || is_space(prev))) break;
            char32_t c = s_[q];
            if (is_space(c) || c == '/' || c == '>') break;
            ++q;
            while (q < n && !(is_space(s_[q]) || s_[q] == '/' || s_[q] == '=' || s_[q] == '>')) ++q;
            size_t r = q;
            skip_space(r);
            if (r < n && s_[r] == '=') {
                while (r < n && s_[r] == '=') ++r;
                skip_space(r);
                if (r < n && (s_[r] == '\'' || s_[r] == '"')) {
                    size_t close = find(s_[r], r + 1);
                    if (close == npos) bail("unterminated quoted attribute value");
                    r = close + 1;
                } else {
                    while (r < n && s_[r] != '>' && !is_space(s_[r])) ++r;
                }
                skip_space(r);
                q = r;
            }
            skip_space_slash(q);
        }
        skip_space(q);
        size_t j = q, endpos;
        if (j >= n) return kIncomplete;
        char32_t next = s_[j];
        if (next == '>') {
            endpos = j + 1;
        } else if (next == '/') {
            if (j + 1 < n && s_[j + 1] == '>') endpos = j + 2;
            else return kIncomplete;
        } else if (is_alpha_ascii(next) || next == '=') {
            return kIncomplete;
        } else {
            bail("unusual start tag");
        }

        // tagfind_tolerant, then attrfind_tolerant attribute by attribute.
        ustring tag = lower(slice(i + 1, name_end));
        if (!is_name(tag)) bail("brace in a tag name");
        size_t k = name_end;
        skip_space_slash(k);
        std::vector<std::pair<ustring, ustring>> attrs;
        while (k < endpos) {
            char32_t prev = s_[k - 1];
            if (!(prev == '"' || prev == '\'' || prev == '/' || is_space(prev))) break;
            char32_t c = s_[k];
            if (is_space(c) || c == '/' || c == '>') break;
            size_t a = k++;
            while (k < n && !(is_space(s_[k]) || s_[k] == '/' || s_[k] == '=' || s_[k] == '>')) ++k;
            ustring name = lower(slice(a, k));
            if (!is_name(name)) bail("brace in an attribute name");
            ustring value;
            size_t r = k;
            skip_space(r);
            if (r < n && s_[r] == '=') {
                while (r < n && s_[r] == '=') ++r;
                skip_space(r);
                if (r < n && (s_[r] == '\'' || s_[r] == '"')) {
                    size_t close = find(s_[r], r + 1);
                    if (close == npos) bail("unterminated quoted attribute value");
                    value = slice(r + 1, close);
                    r = close + 1;
                } else {
                    size_t b = r;
                    while (r < n && s_[r] != '>' && !is_space(s_[r])) ++r;
                    value = slice(b, r);
                }
                if (!value.empty()) value = html_unescape(value);
                k = r;
            }
            skip_space_slash(k);
            // BeautifulSoup's attribute dict: a repeated name keeps its first
            // place and takes the last value.
            bool seen = false;
            for (auto& kv : attrs)
                if (kv.first == name) {
                    kv.second = std::move(value);
                    seen = true;
                    break;
                }
            if (!seen) attrs.emplace_back(std::move(name), std::move(value));
        }
        size_t a = k, b = endpos;
        while (a < b && is_space(s_[a])) ++a;
        while (b > a && is_space(s_[b - 1])) --b;
        bool gt = b - a == 1 && s_[a] == '>';
        bool slash_gt = b - a == 2 && s_[a] == '/' && s_[a + 1] == '>';
        if (!gt && !slash_gt) {
            data(i, endpos);
            return static_cast<long>(endpos);
        }
        split_list_attributes(tag, attrs);
        if (slash_gt) {
            soup_.start_tag(tag, std::move(attrs), false);
            soup_.end_tag(tag, false);
        } else {
            bool raw = tag == U"script" || tag == U"style";
            soup_.start_tag(tag, std::move(attrs), true);
            if (raw) {
                cdata_ = true;
                cdata_elem_ = tag;
            }
        }
        return static_cast<long>(endpos);
    }

    // Multi-valued attributes (class, rel, ...) are split on whitespace by
    // BeautifulSoup and joined with single spaces by soupparser.
    static void split_list_attributes(const ustring& tag, std::vector<std::pair<ustring, ustring>>& attrs) {
        const std::unordered_set<ustring>* specific = nullptr;
        auto it = tables->list_attributes.find(tag);
        if (it != tables->list_attributes.end()) specific = &it->second;
        for (auto& kv : attrs) {
            if (!tables->list_attributes_any.count(kv.first) && !(specific && specific->count(kv.first)))
                continue;
            ustring joined;
            const ustring& v = kv.second;
            size_t p = 0, n = v.size();
            while (p < n) {
                while (p < n && is_space(v[p])) ++p;
                if (p == n) break;
                size_t e = p;
                while (e < n && !is_space(v[e])) ++e;
                if (!joined.empty()) joined += ' ';
                joined.append(v, p, e - p);
                p = e;
            }
            kv.second = std::move(joined);
        }
    }

    long parse_endtag(size_t i) {
        const size_t n = n_;
        size_t gt = find('>', i + 1);
        if (gt == npos) return kIncomplete;
        size_t gtpos = gt + 1;
        // endtagfind: </\s*([a-zA-Z][-.a-zA-Z0-9:_]*)\s*>
        size_t p = i + 2;
        skip_space(p);
        bool matched = false;
        size_t name_a = p, name_b = p;
        if (p < n && is_alpha_ascii(s_[p])) {
            size_t q = p + 1;
            while (q < n && (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '.' || s_[q] == ':' ||
                             s_[q] == '_'))
                ++q;
            name_b = q;
            skip_space(q);
            matched = q < n && s_[q] == '>';
        }
        if (!matched) {
            if (cdata_) {
                data(i, gtpos);
                return static_cast<long>(gtpos);
            }
            if (!(i + 2 < n && is_alpha_ascii(s_[i + 2]))) {
                if (starts(i, "</>")) return static_cast<long>(i + 3);
                return parse_bogus_comment(i);
            }
            size_t q = i + 3;
            while (q < n && !ends_tag_name(s_[q])) ++q;
            ustring name = lower(slice(i + 2, q));
            skip_space_slash(q);
            size_t e = find('>', q);
            soup_.end_tag(name);
            return static_cast<long>(e + 1);
        }
        ustring elem = lower(slice(name_a, name_b));
        if (cdata_ && elem != cdata_elem_) {
            data(i, gtpos);
            return static_cast<long>(gtpos);
        }
        soup_.end_tag(elem);
        cdata_ = false;
        cdata_elem_.clear();
        return static_cast<long>(gtpos);
    }

    long parse_bogus_comment(size_t i) {
        size_t pos = find('>', i + 2);
        if (pos == npos) return kIncomplete;
        comment(i + 2, pos);
        return static_cast<long>(pos + 1);
    }

    // <!-- ... --\s*>
    long parse_comment(size_t i) {
        size_t p = i + 4;
        for (;;) {
            while (p + 1 < n_ && !(s_[p] == '-' && s_[p + 1] == '-')) ++p;
            if (p + 1 >= n_) return kIncomplete;
            size_t q = p + 2;
            skip_space(q);
            if (q < n_ && s_[q] == '>') {
                comment(i + 4, p);
                return static_cast<long>(q + 1);
            }
            ++p;
        }
    }

    void comment(size_t a, size_t b) {
        soup_.end_data();
        data(a, b);
        soup_.end_data(Kind::Comment);
    }

    long parse_pi(size_t i) {
        size_t j = find('>', i + 2);
        if (j == npos) return kIncomplete;
        if (j - (i + 2) >= 3 && (s_[i + 2] | 0x20) == 'x' && (s_[i + 3] | 0x20) == 'm' &&
            (s_[i + 4] | 0x20) == 'l')
            bail("xml processing instruction");
        soup_.end_data();
        data(i + 2, j);
        soup_.end_data(Kind::PI);
        return static_cast<long>(j + 1);
    }

    long parse_html_declaration(size_t i) {
        if (starts(i, "<![")) return parse_marked_section(i);
        static const char doctype[] = "<!doctype";
        bool is_doctype = i + 9 <= n_;
        for (size_t k = 0; is_doctype && k < 9; ++k) {
            char32_t c = s_[i + k];
            if (c >= 'A' && c <= 'Z') c += 0x20;
            if (c != static_cast<unsigned char>(doctype[k])) is_doctype = false;
        }
        if (is_doctype) {
            size_t gt = find('>', i + 9);
            if (gt == npos) return kIncomplete;
            // handle_decl drops the first eight characters ("DOCTYPE ").
            soup_.end_data();
            size_t a = i + 2 + 8;
            if (a < gt) data(a, gt);
            else soup_.data(U"");
            soup_.end_data(Kind::Doctype);
            return static_cast<long>(gt + 1);
        }
        return parse_bogus_comment(i);
    }

    long parse_marked_section(size_t i) {
        size_t j = i + 3;
        if (j == n_) return kIncomplete;
        if (!is_alpha_ascii(s_[j])) bail("marked section without a keyword");
        size_t q = j + 1;
        while (q < n_ && (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '_' || s_[q] == '.')) ++q;
        size_t r = q;
        skip_space(r);
        if (r == n_) return kIncomplete;
        ustring keyword = lower(slice(j, q));
        bool standard = keyword == U"temp" || keyword == U"cdata" || keyword == U"ignore" ||
                        keyword == U"include" || keyword == U"rcdata";
        bool office = keyword == U"if" || keyword == U"else" || keyword == U"endif";
        if (!standard && !office) bail("unknown marked section keyword");
        // ]\s*]\s*> or, for the Office keywords, ]\s*>
        size_t start = npos, stop = 0;
        for (size_t p = i + 3; p < n_; ++p) {
            if (s_[p] != ']') continue;
            size_t t = p + 1;
            skip_space(t);
            if (standard) {
                if (!(t < n_ && s_[t] == ']')) continue;
                ++t;
                skip_space(t);
            }
            if (t < n_ && s_[t] == '>') {
                start = p;
                stop = t + 1;
                break;
            }
        }
        if (start == npos) return kIncomplete;
        // BeautifulSoupHTMLParser.unknown_decl
        size_t a = i + 3;
        Kind kind = Kind::Declaration;
        if (start - a >= 6 && (s_[a] | 0x20) == 'c' && (s_[a + 1] | 0x20) == 'd' &&
            (s_[a + 2] | 0x20) == 'a' && (s_[a + 3] | 0x20) == 't' && (s_[a + 4] | 0x20) == 'a' &&
            s_[a + 5] == '[') {
            kind = Kind::CData;
            a += 6;
        }
        soup_.end_data();
        if (a < start) data(a, start);
        else soup_.data(U"");
        soup_.end_data(kind);
        return static_cast<long>(stop);
    }

    static constexpr size_t npos = static_cast<size_t>(-1);
    const C* s_;
    size_t n_;
    Soup& soup_;
    size_t pos_ = 0;
    bool cdata_ = false;
    ustring cdata_elem_;
};

// --- soupparser's conversion into lxml nodes ---------------------------------

// A new reference or a bail-out; an exception that is not an Exception
// (KeyboardInterrupt, ...) propagates.
PyObject* check(PyObject* result) {
    if (result) return result;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        bail("lxml refused a node");
    }
    throw py::error_already_set();
}
void check(int status) {
    if (status >= 0) return;
    check(static_cast<PyObject*>(nullptr));
}

class Emitter {
public:
    explicit Emitter(const std::vector<Node>& nodes) : nodes_(nodes) {}
    ~Emitter() {
        for (auto& kv : names_) Py_DECREF(kv.second);
    }

    // The element soupparser.fromstring returns (a new reference).
    PyObject* convert() {
        const Node& doc = nodes_[0];
        const std::vector<int>& top = doc.children;
        long first = -1, last = -1, html_root = -1, declaration = -1;
        for (size_t i = 0; i < top.size(); ++i) {
            const Node& e = nodes_[top[i]];
            if (e.kind == Kind::Tag) {
                if (first < 0) first = static_cast<long>(i);
                last = static_cast<long>(i);
                if (html_root < 0 && e.name == U"html") html_root = top[i];
            } else if (declaration < 0 && (e.kind == Kind::Doctype || e.kind == Kind::Declaration)) {
                declaration = top[i];
            }
        }
        std::vector<int> pre, roots, post;
        if (first < 0) {
            roots = top;
        } else {
            pre.assign(top.begin(), top.begin() + first);
            roots.assign(top.begin() + first, top.begin() + last + 1);
            post.assign(top.begin() + last + 1, top.end());
        }
        // One html root: the first top-level html element, which takes the
        // other roots around its own children, or a new html element.
        std::vector<int> root_children;
        const Node* root_tag = nullptr;
        if (html_root >= 0) {
            size_t i = 0;
            while (roots[i] != html_root) ++i;
            root_children.assign(roots.begin(), roots.begin() + i);
            const auto& own = nodes_[html_root].children;
            root_children.insert(root_children.end(), own.begin(), own.end());
            root_children.insert(root_children.end(), roots.begin() + i + 1, roots.end());
            root_tag = &nodes_[html_root];
        } else {
            root_children = roots;
        }

        size_t idx = 0;
        bool has_text = false;
        ustring text = gather(root_children, idx, has_text);
        py::object res_root = steal(check(reinterpret_cast<PyObject*>(makeElement(
            name(root_tag ? root_tag->name : ustring(U"html")),
            reinterpret_cast<LxmlDocument*>(Py_None), tables->html_parser,
            has_text ? text_obj(text).ptr() : Py_None, Py_None,
            root_tag ? attributes(*root_tag, true).ptr() : empty_dict().ptr(), Py_None))));
        fill(reinterpret_cast<LxmlElement*>(res_root.ptr()), root_children, idx);

        // Comments and processing instructions around the root.
        py::object prev = res_root;
        for (auto it = pre.rbegin(); it != pre.rend(); ++it) {
            py::object converted = standalone(nodes_[*it]);
            if (!converted) continue;
            steal(check(PyObject_CallMethod(prev.ptr(), "addprevious", "O", converted.ptr())));
            prev = converted;
        }
        prev = res_root;
        for (int id : post) {
            py::object converted = standalone(nodes_[id]);
            if (!converted) continue;
            steal(check(PyObject_CallMethod(prev.ptr(), "addnext", "O", converted.ptr())));
            prev = converted;
        }

        if (declaration >= 0) set_docinfo(res_root, nodes_[declaration]);

        // soupparser returns the root's only child when that is an html
        // element.
        int only = -1, count = 0;
        for (int id : root_children)
            if (!is_string(nodes_[id].kind)) {
                ++count;
                only = id;
            }
        if (count == 1 && nodes_[only].kind == Kind::Tag && nodes_[only].name == U"html") {
            LxmlElement* root = reinterpret_cast<LxmlElement*>(res_root.ptr());
            xmlNode* c = root->_c_node->children;
            while (c && c->type != XML_ELEMENT_NODE) c = c->next;
            if (!c) bail("lost the inner html element");
            return check(reinterpret_cast<PyObject*>(elementFactory(root->_doc, c)));
        }
        return res_root.release().ptr();
    }

private:
    static py::object steal(PyObject* p) { return py::reinterpret_steal<py::object>(p); }

    py::object empty_dict() { return steal(check(PyDict_New())); }

    PyObject* name(const ustring& n) {
        auto it = names_.find(n);
        if (it != names_.end()) return it->second;
        PyObject* obj = check(to_py(n));
        names_.emplace(n, obj);
        return obj;
    }

    py::object text_obj(const ustring& s) { return steal(check(to_py(s))); }

    // The attribute dict of a tag, values resolved by soupparser's unescape;
    // None when it has none (an empty dict for the root, as soupparser does).
    py::object attributes(const Node& tag, bool root) {
        if (tag.attrs.empty()) return root ? empty_dict() : py::none();
        py::object dict = empty_dict();
        for (const auto& kv : tag.attrs) {
            ustring value;
            soup_unescape_into(kv.second, value);
            py::object v = text_obj(value);
            check(PyDict_SetItem(dict.ptr(), name(kv.first), v.ptr()));
        }
        return dict;
    }

    // The strings from list[idx] up to the next node that is not a string,
    // resolved by soupparser's unescape and joined.
    ustring gather(const std::vector<int>& list, size_t& idx, bool& any) {
        ustring out;
        any = false;
        while (idx < list.size() && is_string(nodes_[list[idx]].kind)) {
            soup_unescape_into(nodes_[list[idx]].name, out);
            any = true;
            ++idx;
        }
        return out;
    }

    // Converts the children list[idx:] into `parent`, depth first without
    // recursion.
    void fill(LxmlElement* parent, const std::vector<int>& list, size_t idx) {
        struct Frame {
            py::object element;
            const std::vector<int>* list;
            size_t idx;
        };
        std::vector<Frame> frames;
        frames.push_back(Frame{py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(parent)),
                               &list, idx});
        while (!frames.empty()) {
            Frame& f = frames.back();
            if (f.idx >= f.list->size()) {
                frames.pop_back();
                continue;
            }
            const Node& node = nodes_[(*f.list)[f.idx++]];
            bool has_tail = false;
            ustring tail = gather(*f.list, f.idx, has_tail);
            LxmlElement* into = reinterpret_cast<LxmlElement*>(f.element.ptr());
            if (node.kind == Kind::Tag) {
                size_t child_idx = 0;
                bool has_text = false;
                ustring text = gather(node.children, child_idx, has_text);
                py::object t = has_text ? text_obj(text) : py::none();
                py::object tl = has_tail ? text_obj(tail) : py::none();
                py::object attrib = attributes(node, false);
                py::object element = steal(check(reinterpret_cast<PyObject*>(
                    makeSubElement(into, name(node.name), t.ptr(), tl.ptr(), attrib.ptr(), Py_None))));
                if (child_idx < node.children.size())
                    frames.push_back(Frame{std::move(element), &node.children, child_idx});
            } else {
                py::object converted = standalone(node);
                check(appendChildToElement(into, reinterpret_cast<LxmlElement*>(converted.ptr())));
                if (has_tail) {
                    py::object tl = text_obj(tail);
                    check(setTailText(reinterpret_cast<LxmlElement*>(converted.ptr())->_c_node, tl.ptr()));
                }
            }
        }
    }

    // A comment or processing instruction made as soupparser makes it; None
    // (a null object) for strings, which soupparser drops outside the root.
    py::object standalone(const Node& node) {
        if (node.kind == Kind::Comment) {
            py::object text = text_obj(node.name);
            return steal(check(PyObject_CallOneArg(tables->html_comment, text.ptr())));
        }
        if (node.kind == Kind::PI) {
            ustring data = node.name;
            if (!data.empty() && data.back() == '?') data.pop_back();
            size_t space = data.find(U' ');
            if (space == ustring::npos) {
                py::object target = text_obj(data);
                return steal(check(PyObject_CallOneArg(tables->make_pi, target.ptr())));
            }
            py::object target = text_obj(data.substr(0, space));
            py::object rest = text_obj(data.substr(space + 1));
            return steal(check(PyObject_CallFunctionObjArgs(tables->make_pi, target.ptr(), rest.ptr(), nullptr)));
        }
        return py::object();
    }

    // docinfo.public_id and system_url from the declaration's output_ready().
    void set_docinfo(const py::object& root, const Node& declaration) {
        ustring text = declaration.kind == Kind::Doctype ? U"<!DOCTYPE " : U"<?";
        text += declaration.name;
        text += declaration.kind == Kind::Doctype ? U">\n" : U"?>";
        py::object string = text_obj(text);
        py::object match = steal(check(PyObject_CallOneArg(tables->doctype_match, string.ptr())));
        if (match.is_none()) return;
        py::object groups = steal(check(PyObject_CallMethod(match.ptr(), "groups", nullptr)));
        py::object tree = steal(check(PyObject_CallMethod(root.ptr(), "getroottree", nullptr)));
        py::object docinfo = steal(check(PyObject_GetAttrString(tree.ptr(), "docinfo")));
        const char* fields[] = {"public_id", "system_url"};
        for (int k = 0; k < 2; ++k) {
            PyObject* g = PyTuple_GET_ITEM(groups.ptr(), k);
            py::object value;
            if (g == Py_None || PyUnicode_GET_LENGTH(g) == 0) {
                value = py::reinterpret_borrow<py::object>(g);
            } else {
                value = steal(check(PyUnicode_Substring(g, 1, PyUnicode_GET_LENGTH(g) - 1)));
            }
            check(PyObject_SetAttrString(docinfo.ptr(), fields[k], value.ptr()));
        }
    }

    const std::vector<Node>& nodes_;
    std::unordered_map<ustring, PyObject*> names_;
};

// --- module -------------------------------------------------------------------

std::pair<py::object, py::object> build_tree(py::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        throw py::type_error(std::string("build() argument must be str, not ") + Py_TYPE(text.ptr())->tp_name);
    PyObject* s = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    try {
        // BeautifulSoup warns about short markup-free text that looks like a
        // URL or a file name; leave such text to it.
        if (n <= 256 && PyUnicode_FindChar(s, '<', 0, n, 1) < 0 && PyUnicode_FindChar(s, '\n', 0, n, 1) < 0)
            bail("short text without markup");
        Soup soup;
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                Tokenizer<Py_UCS1>(PyUnicode_1BYTE_DATA(s), n, soup).run();
                break;
            case PyUnicode_2BYTE_KIND:
                Tokenizer<Py_UCS2>(PyUnicode_2BYTE_DATA(s), n, soup).run();
                break;
            default:
                Tokenizer<Py_UCS4>(PyUnicode_4BYTE_DATA(s), n, soup).run();
                break;
        }
        soup.finish();
        Emitter emitter(soup.nodes);
        return {py::reinterpret_steal<py::object>(emitter.convert()), py::none()};
    } catch (const Bail& b) {
        return {py::none(), py::str(b.reason)};
    }
}

void load_string_map(PyObject* dict, std::unordered_map<ustring, ustring>& out) {
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &k, &v)) out.emplace(to_ustring(k), to_ustring(v));
}

std::unordered_set<ustring> string_set(py::handle iterable) {
    std::unordered_set<ustring> out;
    for (py::handle item : iterable) out.insert(to_ustring(item.ptr()));
    return out;
}

void load_tables() {
    auto* t = new Tables();
    py::module_ html = py::module_::import("html");
    py::module_ entities = py::module_::import("html.entities");
    load_string_map(entities.attr("html5").ptr(), t->html5);
    for (auto item : py::reinterpret_borrow<py::dict>(html.attr("_invalid_charrefs")))
        t->invalid_charrefs.emplace(item.first.cast<int>(), to_ustring(item.second.ptr()));
    for (py::handle cp : html.attr("_invalid_codepoints")) t->invalid_codepoints.insert(cp.cast<int>());
    for (auto item : py::reinterpret_borrow<py::dict>(entities.attr("name2codepoint")))
        t->name2codepoint.emplace(to_ustring(item.first.ptr()), item.second.cast<uint32_t>());

    py::module_ dammit = py::module_::import("bs4.dammit");
    load_string_map(dammit.attr("EntitySubstitution").attr("HTML_ENTITY_TO_CHARACTER").ptr(), t->soup_entities);
    for (auto item : py::reinterpret_borrow<py::dict>(dammit.attr("UnicodeDammit").attr("WINDOWS_1252_TO_UTF8"))) {
        int code = item.first.cast<int>();
        if (code >= 0x80 && code <= 0x9F)
            t->windows_1252.emplace(code, to_ustring(item.second.attr("decode")("utf8").ptr()));
    }
    py::object builder = py::module_::import("bs4.builder._htmlparser").attr("HTMLParserTreeBuilder")();
    t->void_elements = string_set(builder.attr("empty_element_tags"));
    t->preserve_whitespace = string_set(builder.attr("preserve_whitespace_tags"));
    for (auto item : py::reinterpret_borrow<py::dict>(builder.attr("cdata_list_attributes"))) {
        ustring tag = to_ustring(item.first.ptr());
        if (tag == U"*") t->list_attributes_any = string_set(item.second);
        else t->list_attributes[tag] = string_set(item.second);
    }

    py::module_ lxml_html = py::module_::import("lxml.html");
    t->html_parser = py::object(lxml_html.attr("html_parser")).release().ptr();
    t->html_comment = py::object(lxml_html.attr("HtmlComment")).release().ptr();
    t->make_pi = py::object(py::module_::import("lxml.etree").attr("ProcessingInstruction")).release().ptr();
    t->doctype_match =
        py::object(py::module_::import("lxml.html.soupparser").attr("_parse_doctype_declaration")).release().ptr();
    tables = t;
}

}  // namespace

PYBIND11_MODULE(_treebuilder, m) {
    if (import_lxml__etree() < 0) throw py::error_already_set();
    load_tables();
    m.attr("MAX_DEPTH") = kMaxDepth;
    m.def(
        "build",
        [](py::handle text) { return build_tree(text).first; },
        py::arg("text"),
        "The element lxml.html.soupparser.fromstring(text, features='html.parser') returns, "
        "built natively, or None where the builder leaves the page to soupparser.");
    m.def(
        "build_with_reason",
        [](py::handle text) {
            auto r = build_tree(text);
            return py::make_tuple(r.first, r.second);
        },
        py::arg("text"),
        "(element, None), or (None, why the builder left the page to soupparser).");
}
