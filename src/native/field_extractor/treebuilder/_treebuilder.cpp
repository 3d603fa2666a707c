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
#include "lxml-version.h"
#include "lxml.etree_api.h"

#include <algorithm>
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
    size_t html5_bare_longest = 0;                        // its longest name without ';'
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

// html.unescape(s[0:n]) appended to out:
// &(#[0-9]+;?|#[xX][0-9a-fA-F]+;?|[^\t\n\f <&#;]{1,32};?)
template <class T>
void html_unescape_into(const T* s, size_t n, ustring& out) {
    size_t i = 0;
    while (i < n) {
        char32_t c = s[i];
        if (c != '&') {
            size_t e = i + 1;
            while (e < n && s[e] != '&') ++e;
            out.append(s + i, s + e);
            i = e;
            continue;
        }
        size_t p = i + 1;
        if (p < n && s[p] == '#') {
            size_t q = p + 1;
            if (q < n && is_digit(s[q])) {
                size_t e = q;
                while (e < n && is_digit(s[e])) ++e;
                unescape_number(ustring(s + q, s + e), 10, out);
                if (e < n && s[e] == ';') ++e;
                i = e;
                continue;
            }
            if (q + 1 < n && (s[q] == 'x' || s[q] == 'X') && is_hex(s[q + 1])) {
                size_t b = q + 1, e = b;
                while (e < n && is_hex(s[e])) ++e;
                unescape_number(ustring(s + b, s + e), 16, out);
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
        auto it = tables->html5.find(name);
        if (it != tables->html5.end()) {
            out += it->second;
        } else {
            // The longest prefix that is a name. A prefix holds no ';', so
            // only the names without one (the legacy ones) can match.
            bool found = false;
            size_t longest = std::min(name.size() - 1, tables->html5_bare_longest);
            for (size_t x = longest; x > 1; --x) {
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
}

// --- soupparser's unescape: &(\w+); against name2codepoint -------------------

void soup_unescape_into(const char32_t* s, size_t n, ustring& out) {
    size_t i = 0;
    while (i < n) {
        char32_t c = s[i];
        if (c != '&') {
            const char32_t* amp = std::char_traits<char32_t>::find(s + i, n - i, U'&');
            size_t e = amp ? static_cast<size_t>(amp - s) : n;
            out.append(s + i, s + e);
            i = e;
            continue;
        }
        size_t e = i + 1;
        while (e < n && is_word(s[e])) ++e;
        if (e > i + 1 && e < n && s[e] == ';') {
            auto it = tables->name2codepoint.find(ustring(s + i + 1, s + e));
            if (it != tables->name2codepoint.end()) out += it->second;
            else out.append(s + i, s + e + 1);
            i = e + 1;
        } else {
            out += c;
            ++i;
        }
    }
}

// --- the light tree -----------------------------------------------------------

enum class Kind : uint8_t { Tag, Text, Comment, PI, Doctype, Declaration, CData };

inline bool is_string(Kind k) {
    return k == Kind::Text || k == Kind::Doctype || k == Kind::Declaration || k == Kind::CData;
}

constexpr uint32_t kNoSource = UINT32_MAX;

struct Node {
    Kind kind;
    uint32_t name = 0;                  // tags: the name's id in Names
    uint32_t off = 0, len = 0;          // strings: their text in Soup::text
    uint32_t src = kNoSource;           // strings: where the same text is in the page, if it is
    uint32_t attrs = 0, nattrs = 0;     // tags: their attributes in Soup::attrs
    int32_t first = -1, last = -1;      // children
    int32_t next = -1;                  // next sibling
};

// An attribute: its name's id and its value in a buffer of values.
struct Attr {
    uint32_t name;
    uint32_t off, len;
};

// The tag and attribute names of a page, each kept once, with what
// BeautifulSoup's builder knows of them.
class Names {
public:
    enum : uint8_t { kVoid = 1, kPreserve = 2, kRaw = 4, kListAny = 8, kListTag = 16 };

    uint32_t id(const ustring& name) {
        auto it = ids_.find(name);
        if (it != ids_.end()) return it->second;
        uint32_t id = static_cast<uint32_t>(strings_.size());
        uint8_t f = 0;
        if (tables->void_elements.count(name)) f |= kVoid;
        if (tables->preserve_whitespace.count(name)) f |= kPreserve;
        if (name == U"script" || name == U"style") f |= kRaw;
        if (tables->list_attributes_any.count(name)) f |= kListAny;
        if (tables->list_attributes.count(name)) f |= kListTag;
        ids_.emplace(name, id);
        strings_.push_back(name);
        flags_.push_back(f);
        return id;
    }
    const ustring& str(uint32_t id) const { return strings_[id]; }
    bool has(uint32_t id, uint8_t flag) const { return flags_[id] & flag; }
    size_t size() const { return strings_.size(); }

private:
    std::unordered_map<ustring, uint32_t> ids_;
    std::vector<ustring> strings_;
    std::vector<uint8_t> flags_;
};

// BeautifulSoup's side: the open-tag stack and the pending string.
class Soup {
public:
    std::vector<Node> nodes;
    ustring text;              // the strings, one after another
    ustring values;            // the attribute values
    std::vector<Attr> attrs;
    Names names;
    uint32_t html;             // the id of "html"

    explicit Soup(size_t length) {
        // Room for all the page's text at once, and a node per ~40 characters.
        text.reserve(length + 16);
        nodes.reserve(length / 40 + 64);
        Node doc{Kind::Tag};
        doc.name = names.id(U"[document]");
        html = names.id(U"html");
        nodes.push_back(doc);
        stack_.push_back(0);
    }

    template <class C>
    void data(const C* s, size_t n) {
        if (!have_data_) {
            pending_ = text.size();
            have_data_ = true;
        }
        pending_src_ = kNoSource;
        text.append(s, s + n);
    }
    void data(const ustring& s) { data(s.data(), s.size()); }
    // Data that is the page's own text from offset `src` on.
    template <class C>
    void page_data(const C* s, size_t n, size_t src) {
        if (!have_data_) {
            pending_ = text.size();
            have_data_ = true;
            pending_src_ = static_cast<uint32_t>(src);
        } else if (pending_src_ != kNoSource && pending_src_ + (text.size() - pending_) != src) {
            pending_src_ = kNoSource;
        }
        text.append(s, s + n);
    }

    void end_data(Kind kind = Kind::Text) {
        if (!have_data_) return;
        have_data_ = false;
        if (preserve_depth_ == 0) {
            bool strippable = true, newline = false;
            for (size_t p = pending_; p < text.size(); ++p) {
                char32_t c = text[p];
                if (!is_ascii_space(c)) {
                    strippable = false;
                    break;
                }
                if (c == '\n') newline = true;
            }
            if (strippable) {
                text.resize(pending_);
                text += newline ? U'\n' : U' ';
                pending_src_ = kNoSource;
            }
        }
        Node node{kind};
        node.src = pending_src_;
        node.off = static_cast<uint32_t>(pending_);
        node.len = static_cast<uint32_t>(text.size() - pending_);
        append(node);
    }

    // BeautifulSoupHTMLParser.handle_starttag; `void_ok` is false for <tag/>.
    // The attributes' values are in `scratch`.
    void start_tag(uint32_t name, const std::vector<Attr>& tag_attrs, const ustring& scratch, bool void_ok) {
        end_data();
        Node node{Kind::Tag};
        node.name = name;
        node.attrs = static_cast<uint32_t>(attrs.size());
        node.nattrs = static_cast<uint32_t>(tag_attrs.size());
        for (const Attr& a : tag_attrs) {
            attrs.push_back(Attr{a.name, static_cast<uint32_t>(values.size()), a.len});
            values.append(scratch, a.off, a.len);
        }
        int id = append(node);
        stack_.push_back(id);
        if (stack_.size() - 1 > kMaxDepth) bail("nesting deeper than 256");  // below the document
        if (open_.size() <= name) {
            open_.resize(names.size());
            already_closed_.resize(names.size());
        }
        ++open_[name];
        if (names.has(name, Names::kPreserve)) ++preserve_depth_;
        if (void_ok && names.has(name, Names::kVoid)) {
            close(name);
            ++already_closed_[name];
        }
    }

    // BeautifulSoupHTMLParser.handle_endtag.
    void end_tag(uint32_t name, bool check_already_closed = true) {
        if (check_already_closed && name < already_closed_.size() && already_closed_[name] > 0) {
            --already_closed_[name];
            return;
        }
        close(name);
    }

    void finish() {
        end_data();
        while (stack_.size() > 1) pop();
    }

private:
    int append(const Node& node) {
        int id = static_cast<int>(nodes.size());
        nodes.push_back(node);
        Node& parent = nodes[stack_.back()];
        if (parent.last >= 0) nodes[parent.last].next = id;
        else parent.first = id;
        parent.last = id;
        return id;
    }

    // BeautifulSoup.handle_endtag: the pending string, then _popToTag.
    void close(uint32_t name) {
        end_data();
        if (name >= open_.size() || open_[name] == 0) return;
        while (stack_.size() > 1) {
            bool hit = nodes[stack_.back()].name == name;
            pop();
            if (hit) break;
        }
    }

    void pop() {
        uint32_t name = nodes[stack_.back()].name;
        --open_[name];
        if (names.has(name, Names::kPreserve)) --preserve_depth_;
        stack_.pop_back();
    }

    std::vector<int> stack_;
    std::vector<int> open_;            // open tags by name id
    std::vector<int> already_closed_;  // void end tags still to ignore, by name id
    int preserve_depth_ = 0;
    size_t pending_ = 0;
    uint32_t pending_src_ = kNoSource;
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
    // The id of the name s[a:b] lowercased as str.lower() does.
    uint32_t name_id(size_t a, size_t b) {
        name_.assign(s_ + a, s_ + b);
        bool ascii = true;
        for (char32_t& c : name_) {
            if (c >= 0x80) ascii = false;
            else if (c >= 'A' && c <= 'Z') c += 0x20;
        }
        if (!ascii) name_ = lower(name_);
        return soup_.names.id(name_);
    }
    void data(size_t a, size_t b) { soup_.page_data(s_ + a, b - a, a); }
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
            const ustring& elem = soup_.names.str(cdata_elem_);
            for (; k < elem.size() && q < n_; ++k, ++q) {
                char32_t c = s_[q];
                // Some non-ASCII letters match ASCII ones case-insensitively.
                if (c >= 0x80) bail("non-ASCII letter in a raw text end tag");
                if ((c | 0x20) != elem[k]) break;
            }
            if (k < elem.size()) continue;
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
        uint32_t tag = name_id(i + 1, name_end);
        if (!is_name(soup_.names.str(tag))) bail("brace in a tag name");
        size_t k = name_end;
        skip_space_slash(k);
        attrs_.clear();
        values_.clear();
        while (k < endpos) {
            char32_t prev = s_[k - 1];
            if (!(prev == '"' || prev == '\'' || prev == '/' || is_space(prev))) break;
            char32_t c = s_[k];
            if (is_space(c) || c == '/' || c == '>') break;
            size_t a = k++;
            while (k < n && !(is_space(s_[k]) || s_[k] == '/' || s_[k] == '=' || s_[k] == '>')) ++k;
            uint32_t name = name_id(a, k);
            if (!is_name(soup_.names.str(name))) bail("brace in an attribute name");
            uint32_t off = static_cast<uint32_t>(values_.size());
            size_t r = k;
            skip_space(r);
            if (r < n && s_[r] == '=') {
                while (r < n && s_[r] == '=') ++r;
                skip_space(r);
                size_t va, vb;
                if (r < n && (s_[r] == '\'' || s_[r] == '"')) {
                    size_t close = find(s_[r], r + 1);
                    if (close == npos) bail("unterminated quoted attribute value");
                    va = r + 1;
                    vb = close;
                    r = close + 1;
                } else {
                    va = r;
                    while (r < n && s_[r] != '>' && !is_space(s_[r])) ++r;
                    vb = r;
                }
                html_unescape_into(s_ + va, vb - va, values_);
                k = r;
            }
            Attr attr{name, off, static_cast<uint32_t>(values_.size() - off)};
            skip_space_slash(k);
            // BeautifulSoup's attribute dict: a repeated name keeps its first
            // place and takes the last value.
            bool seen = false;
            for (Attr& other : attrs_)
                if (other.name == name) {
                    other.off = attr.off;
                    other.len = attr.len;
                    seen = true;
                    break;
                }
            if (!seen) attrs_.push_back(attr);
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
        if (!attrs_.empty()) split_list_attributes(tag);
        if (slash_gt) {
            soup_.start_tag(tag, attrs_, values_, false);
            soup_.end_tag(tag, false);
        } else {
            soup_.start_tag(tag, attrs_, values_, true);
            if (soup_.names.has(tag, Names::kRaw)) {
                cdata_ = true;
                cdata_elem_ = tag;
            }
        }
        return static_cast<long>(endpos);
    }

    // Multi-valued attributes (class, rel, ...) are split on whitespace by
    // BeautifulSoup and joined with single spaces by soupparser.
    void split_list_attributes(uint32_t tag) {
        const std::unordered_set<ustring>* specific = nullptr;
        if (soup_.names.has(tag, Names::kListTag))
            specific = &tables->list_attributes.find(soup_.names.str(tag))->second;
        for (Attr& attr : attrs_) {
            if (!soup_.names.has(attr.name, Names::kListAny) &&
                !(specific && specific->count(soup_.names.str(attr.name))))
                continue;
            size_t p = attr.off, n = attr.off + attr.len;
            uint32_t off = static_cast<uint32_t>(values_.size());
            bool any = false;
            while (p < n) {
                while (p < n && is_space(values_[p])) ++p;
                if (p == n) break;
                size_t e = p;
                while (e < n && !is_space(values_[e])) ++e;
                if (any) values_ += ' ';
                values_.append(values_, p, e - p);
                any = true;
                p = e;
            }
            attr.off = off;
            attr.len = static_cast<uint32_t>(values_.size() - off);
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
            uint32_t name = name_id(i + 2, q);
            skip_space_slash(q);
            size_t e = find('>', q);
            soup_.end_tag(name);
            return static_cast<long>(e + 1);
        }
        uint32_t elem = name_id(name_a, name_b);
        if (cdata_ && elem != cdata_elem_) {
            data(i, gtpos);
            return static_cast<long>(gtpos);
        }
        soup_.end_tag(elem);
        cdata_ = false;
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
    uint32_t cdata_elem_ = 0;
    ustring name_;                // scratch: a name being looked up
    std::vector<Attr> attrs_;     // the attributes of the start tag being read
    ustring values_;              // and their values
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
    Emitter(Soup& soup, PyObject* page)
        : soup_(soup), nodes_(soup.nodes), page_(page), py_names_(soup.names.size(), nullptr) {}
    ~Emitter() {
        for (PyObject* name : py_names_) Py_XDECREF(name);
    }

    // The element soupparser.fromstring returns (a new reference).
    PyObject* convert() {
        std::vector<int> top;
        for (int id = nodes_[0].first; id >= 0; id = nodes_[id].next) top.push_back(id);
        long first = -1, last = -1, declaration = -1;
        int html_root = -1;
        for (size_t i = 0; i < top.size(); ++i) {
            const Node& e = nodes_[top[i]];
            if (e.kind == Kind::Tag) {
                if (first < 0) first = static_cast<long>(i);
                last = static_cast<long>(i);
                if (html_root < 0 && e.name == soup_.html) html_root = top[i];
            } else if (declaration < 0 && (e.kind == Kind::Doctype || e.kind == Kind::Declaration)) {
                declaration = top[i];
            }
        }
        size_t roots_begin = 0, roots_end = top.size();
        if (first >= 0) {
            roots_begin = static_cast<size_t>(first);
            roots_end = static_cast<size_t>(last) + 1;
        }
        // One html root: the first top-level html element, which takes the
        // other roots around its own children, or a new html element. The
        // root's children are relinked into one list.
        std::vector<int> root_children(top.begin() + roots_begin, top.begin() + roots_end);
        if (html_root >= 0) {
            size_t i = 0;
            while (root_children[i] != html_root) ++i;
            std::vector<int> merged(root_children.begin(), root_children.begin() + i);
            for (int id = nodes_[html_root].first; id >= 0; id = nodes_[id].next) merged.push_back(id);
            merged.insert(merged.end(), root_children.begin() + i + 1, root_children.end());
            root_children.swap(merged);
        }
        for (size_t i = 0; i < root_children.size(); ++i)
            nodes_[root_children[i]].next = i + 1 < root_children.size() ? root_children[i + 1] : -1;
        int cursor = root_children.empty() ? -1 : root_children[0];

        bool has_text = false;
        gather(cursor, has_text);
        py::object text = has_text ? text_obj() : py::none();
        PyObject* root_name = html_root >= 0 ? name(nodes_[html_root].name) : name(soup_.html);
        py::object attrib = html_root >= 0 ? attributes(nodes_[html_root], true) : empty_dict();
        py::object res_root = steal(check(reinterpret_cast<PyObject*>(
            makeElement(root_name, reinterpret_cast<LxmlDocument*>(Py_None), tables->html_parser, text.ptr(),
                        Py_None, attrib.ptr(), Py_None))));
        fill(res_root, cursor);

        // Comments and processing instructions around the root.
        py::object prev = res_root;
        for (size_t i = roots_begin; i-- > 0;) {
            py::object converted = standalone(nodes_[top[i]]);
            if (!converted) continue;
            steal(check(PyObject_CallMethod(prev.ptr(), "addprevious", "O", converted.ptr())));
            prev = converted;
        }
        prev = res_root;
        for (size_t i = roots_end; i < top.size(); ++i) {
            py::object converted = standalone(nodes_[top[i]]);
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
        if (count == 1 && nodes_[only].kind == Kind::Tag && nodes_[only].name == soup_.html) {
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

    PyObject* name(uint32_t id) {
        PyObject*& obj = py_names_[id];
        if (!obj) obj = check(to_py(soup_.names.str(id)));
        return obj;
    }

    static py::object str_of(const char32_t* s, size_t n) {
        return steal(check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, static_cast<Py_ssize_t>(n))));
    }

    // The str of `s` after soupparser's unescape.
    py::object unescaped(const char32_t* s, size_t n) {
        if (std::char_traits<char32_t>::find(s, n, U'&') == nullptr) return str_of(s, n);
        scratch_.clear();
        soup_unescape_into(s, n, scratch_);
        return str_of(scratch_.data(), scratch_.size());
    }

    // The attribute dict of a tag, values resolved by soupparser's unescape;
    // None when it has none (an empty dict for the root, as soupparser does).
    py::object attributes(const Node& tag, bool root) {
        if (tag.nattrs == 0) return root ? empty_dict() : py::none();
        py::object dict = empty_dict();
        for (uint32_t k = tag.attrs; k < tag.attrs + tag.nattrs; ++k) {
            const Attr& a = soup_.attrs[k];
            py::object v = unescaped(soup_.values.data() + a.off, a.len);
            check(PyDict_SetItem(dict.ptr(), name(a.name), v.ptr()));
        }
        return dict;
    }

    // Moves `cursor` past the strings it points at and keeps them, resolved
    // by soupparser's unescape and joined, for text_obj().
    void gather(int& cursor, bool& any) {
        any = false;
        gathered_.clear();
        single_ = -1;
        int count = 0;
        while (cursor >= 0 && is_string(nodes_[cursor].kind)) {
            const Node& node = nodes_[cursor];
            if (count++ == 0) single_ = cursor;
            else {
                if (count == 2) {
                    const Node& head = nodes_[single_];
                    soup_unescape_into(soup_.text.data() + head.off, head.len, gathered_);
                }
                soup_unescape_into(soup_.text.data() + node.off, node.len, gathered_);
            }
            any = true;
            cursor = node.next;
        }
        if (count > 1) single_ = -1;
    }
    py::object text_obj() {
        if (single_ >= 0) {
            const Node& node = nodes_[single_];
            const char32_t* text = soup_.text.data() + node.off;
            // A string that is a stretch of the page without '&' is that
            // stretch of the page's own str.
            if (node.src != kNoSource && std::char_traits<char32_t>::find(text, node.len, U'&') == nullptr)
                return steal(check(PyUnicode_Substring(page_, node.src, node.src + node.len)));
            return unescaped(text, node.len);
        }
        return str_of(gathered_.data(), gathered_.size());
    }

    // Converts the nodes from `cursor` on into `parent`, depth first without
    // recursion.
    void fill(const py::object& parent, int cursor) {
        struct Frame {
            py::object element;
            int cursor;
        };
        std::vector<Frame> frames;
        frames.push_back(Frame{parent, cursor});
        while (!frames.empty()) {
            Frame& f = frames.back();
            if (f.cursor < 0) {
                frames.pop_back();
                continue;
            }
            const Node& node = nodes_[f.cursor];
            f.cursor = node.next;
            bool has_tail = false;
            gather(f.cursor, has_tail);
            py::object tail = has_tail ? text_obj() : py::none();
            LxmlElement* into = reinterpret_cast<LxmlElement*>(f.element.ptr());
            if (node.kind == Kind::Tag) {
                int child = node.first;
                bool has_text = false;
                gather(child, has_text);
                py::object text = has_text ? text_obj() : py::none();
                py::object attrib = attributes(node, false);
                py::object element = steal(check(reinterpret_cast<PyObject*>(
                    makeSubElement(into, name(node.name), text.ptr(), tail.ptr(), attrib.ptr(), Py_None))));
                if (child >= 0) frames.push_back(Frame{std::move(element), child});
            } else {
                py::object converted = standalone(node);
                check(appendChildToElement(into, reinterpret_cast<LxmlElement*>(converted.ptr())));
                if (has_tail)
                    check(setTailText(reinterpret_cast<LxmlElement*>(converted.ptr())->_c_node, tail.ptr()));
            }
        }
    }

    // A comment or processing instruction made as soupparser makes it; a
    // null object for strings, which soupparser drops outside the root.
    py::object standalone(const Node& node) {
        const char32_t* s = soup_.text.data() + node.off;
        if (node.kind == Kind::Comment) {
            py::object text = str_of(s, node.len);
            return steal(check(PyObject_CallOneArg(tables->html_comment, text.ptr())));
        }
        if (node.kind == Kind::PI) {
            ustring data(s, s + node.len);
            if (!data.empty() && data.back() == '?') data.pop_back();
            size_t space = data.find(U' ');
            if (space == ustring::npos) {
                py::object target = str_of(data.data(), data.size());
                return steal(check(PyObject_CallOneArg(tables->make_pi, target.ptr())));
            }
            py::object target = str_of(data.data(), space);
            py::object rest = str_of(data.data() + space + 1, data.size() - space - 1);
            return steal(check(PyObject_CallFunctionObjArgs(tables->make_pi, target.ptr(), rest.ptr(), nullptr)));
        }
        return py::object();
    }

    // docinfo.public_id and system_url from the declaration's output_ready().
    void set_docinfo(const py::object& root, const Node& declaration) {
        ustring text = declaration.kind == Kind::Doctype ? U"<!DOCTYPE " : U"<?";
        text.append(soup_.text, declaration.off, declaration.len);
        text += declaration.kind == Kind::Doctype ? U">\n" : U"?>";
        py::object string = str_of(text.data(), text.size());
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

    Soup& soup_;
    std::vector<Node>& nodes_;
    PyObject* page_;
    std::vector<PyObject*> py_names_;
    ustring scratch_, gathered_;
    int single_ = -1;
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
        // Offsets into the page and the buffers are 32-bit.
        if (static_cast<uint64_t>(n) >= kNoSource / 2) bail("page longer than 2**31 characters");
        Soup soup(static_cast<size_t>(n));
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
        Emitter emitter(soup, s);
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
    for (const auto& kv : t->html5)
        if (kv.first.back() != ';') t->html5_bare_longest = std::max(t->html5_bare_longest, kv.first.size());
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
    // The lxml whose headers (struct layouts) this module was compiled with.
    m.attr("LXML_BUILT_AGAINST") = LXML_VERSION_STRING;
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
