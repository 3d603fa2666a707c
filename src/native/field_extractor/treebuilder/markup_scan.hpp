// The regular expressions of html.parser and _markupbase, as plain scans of
// the page: each function matches one pattern at a position and returns where
// the match ends (or npos where the pattern does not match). The tokenizer
// (html_tokenizer.hpp) decides which of them a version of html.parser uses.
//
// The page is read in its own str storage kind (C is Py_UCS1, Py_UCS2 or
// Py_UCS4). `\s` is the interpreter's own (chars.hpp); [\t\n\r\f ] is
// is_ascii_space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "chars.hpp"

namespace ostrel::treebuilder {

constexpr size_t npos = static_cast<size_t>(-1);

// [\t\n\r\f ] and the other characters that end a tag name in the HTML tag
// rules: [^\t\n\r\f />]
inline bool ends_html_tag_name(char32_t c) { return is_ascii_space(c) || c == '/' || c == '>'; }

// The first p from i on with s[p] == a or s[p] == b, else n; sixteen bytes
// of the page compared at a time.
template <class C>
inline size_t find_either(const C* s, size_t i, size_t n, C a, C b) {
    typedef C Block __attribute__((vector_size(16)));
    constexpr size_t kUnits = 16 / sizeof(C);
    for (; i + kUnits <= n; i += kUnits) {
        Block units;
        std::memcpy(&units, s + i, 16);
        Block hits = (units == a) | (units == b);
        uint64_t any[2];
        std::memcpy(any, &hits, 16);
        if (any[0] | any[1]) break;
    }
    while (i < n && s[i] != a && s[i] != b) ++i;
    return i;
}

template <class C>
class MarkupScan {
public:
    MarkupScan(const C* s, size_t n) : s_(s), n_(n) {}

protected:
    // `c` is ASCII.
    size_t find(char32_t c, size_t from) const {
        const C unit = static_cast<C>(c);
        size_t p = from < n_ ? find_either(s_, from, n_, unit, unit) : n_;
        return p < n_ ? p : npos;
    }
    bool starts(size_t i, const char* lit) const {
        for (size_t k = 0; lit[k]; ++k)
            if (i + k >= n_ || s_[i + k] != static_cast<unsigned char>(lit[k])) return false;
        return true;
    }
    // starts() ignoring ASCII case; `lit` is lowercase.
    bool starts_ascii_ci(size_t i, const char* lit) const {
        for (size_t k = 0; lit[k]; ++k)
            if (i + k >= n_ || ascii_lower(s_[i + k]) != static_cast<unsigned char>(lit[k])) return false;
        return true;
    }
    bool letter_at(size_t i) const { return i < n_ && is_alpha_ascii(s_[i]); }

    // \s* (kAscii: [\t\n\r\f ]*)
    template <bool kAscii = false>
    void skip_space(size_t& p) const {
        while (p < n_ && (kAscii ? is_ascii_space(s_[p]) : is_space(s_[p]))) ++p;
    }
    // (?:\s|/(?!>))* (kAscii: [\t\n\r\f ] for \s)
    template <bool kAscii = false>
    void skip_space_slash(size_t& p) const {
        while (p < n_) {
            if (kAscii ? is_ascii_space(s_[p]) : is_space(s_[p]))
                ++p;
            else if (s_[p] == '/' && !(p + 1 < n_ && s_[p + 1] == '>'))
                ++p;
            else
                break;
        }
    }

    // &#(?:[0-9]+|[xX][0-9a-fA-F]+)[^0-9a-fA-F] at i: the end of the match.
    size_t match_charref(size_t i) const {
        size_t p = i + 2;
        if (p < n_ && is_digit(s_[p])) {
            while (p < n_ && is_digit(s_[p])) ++p;
        } else if (p + 1 < n_ && (s_[p] == 'x' || s_[p] == 'X') && is_hex(s_[p + 1])) {
            p += 1;
            while (p < n_ && is_hex(s_[p])) ++p;
        } else {
            return npos;
        }
        return p >= n_ || is_hex(s_[p]) ? npos : p + 1;
    }
    // &#(?:[0-9]|[xX][0-9a-fA-F]) at i
    bool incomplete_charref(size_t i) const {
        if (i + 2 < n_ && is_digit(s_[i + 2])) return true;
        return i + 3 < n_ && (s_[i + 2] == 'x' || s_[i + 2] == 'X') && is_hex(s_[i + 3]);
    }

    // &([a-zA-Z][-.a-zA-Z0-9]*)[^a-zA-Z0-9] at i: the end of the match.
    size_t match_entityref(size_t i) const {
        size_t p = i + 1;
        if (!letter_at(p)) return npos;
        size_t q = p + 1;
        while (q < n_ && (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '.')) ++q;
        if (q < n_) return q + 1;  // the name stops at a character that ends the match
        // At the end of the input the name gives back up to its last '-' or
        // '.', which then ends the match.
        for (size_t t = q - 1; t > p; --t)
            if (s_[t] == '-' || s_[t] == '.') return t + 1;
        return npos;
    }

    // attr_charref, &(#[0-9]+|#[xX][0-9a-fA-F]+|[a-zA-Z][a-zA-Z0-9]*)[;=]?,
    // at i within [i, b): the end of the match; `named` tells which branch.
    size_t match_attr_charref(size_t i, size_t b, bool& named) const {
        size_t q = i + 1;
        named = false;
        if (q < b && s_[q] == '#') {
            if (q + 1 < b && is_digit(s_[q + 1])) {
                q += 2;
                while (q < b && is_digit(s_[q])) ++q;
            } else if (q + 2 < b && (s_[q + 1] == 'x' || s_[q + 1] == 'X') && is_hex(s_[q + 2])) {
                q += 3;
                while (q < b && is_hex(s_[q])) ++q;
            } else {
                return npos;
            }
        } else if (q < b && is_alpha_ascii(s_[q])) {
            named = true;
            ++q;
            while (q < b && is_alnum_ascii(s_[q])) ++q;
        } else {
            return npos;
        }
        return q < b && (s_[q] == ';' || s_[q] == '=') ? q + 1 : q;
    }

    // --- tags -------------------------------------------------------------------

    // attrfind_tolerant's name at k: up to whitespace, '/', '=' or '>'.
    size_t attr_name_end(size_t k) const {
        while (k < n_ && !(is_space(s_[k]) || s_[k] == '/' || s_[k] == '=' || s_[k] == '>')) ++k;
        return k;
    }
    // The value after an attribute's '=' (r just past it): whitespace (HTML's
    // only with kHtml, else Unicode's, as the two versions of the pattern
    // say), then a quoted value or one up to whitespace or '>'. Sets [va, vb),
    // quotes excluded, and returns where the match goes on.
    template <bool kHtml>
    size_t value_after_equals(size_t r, size_t& va, size_t& vb) const {
        const auto space = [this](size_t k) { return kHtml ? is_ascii_space(s_[k]) : is_space(s_[k]); };
        while (r < n_ && space(r)) ++r;
        if (r < n_ && (s_[r] == '\'' || s_[r] == '"')) {
            size_t close = find(s_[r], r + 1);
            if (close == npos) bail("unterminated quoted attribute value");
            va = r + 1;
            vb = close;
            return close + 1;
        }
        va = r;
        while (r < n_ && s_[r] != '>' && !space(r)) ++r;
        vb = r;
        return r;
    }
    // Whether attrfind_tolerant's name can start at k: after a quote, '/' or
    // whitespace, and not at whitespace, '/' or '>'.
    template <bool kHtml>
    bool attr_starts(size_t k) const {
        char32_t prev = s_[k - 1];
        bool space = kHtml ? is_ascii_space(prev) : is_space(prev);
        if (!(prev == '"' || prev == '\'' || prev == '/' || space)) return false;
        char32_t c = s_[k];
        return kHtml ? !ends_html_tag_name(c) : !(is_space(c) || c == '/' || c == '>');
    }
    // One attribute of attrfind_tolerant at k (where attr_starts): its name
    // [k, name_end) and value [va, vb) (npos without "="); returns where the
    // match goes on, before the whitespace that follows it.
    template <bool kHtml>
    size_t attribute(size_t k, size_t& name_end, size_t& va, size_t& vb) const {
        size_t p = k + 1;
        if constexpr (kHtml) {
            while (p < n_ && !(ends_html_tag_name(s_[p]) || s_[p] == '=')) ++p;
        } else {
            p = attr_name_end(p);
        }
        name_end = p;
        va = vb = npos;
        size_t r = p;
        skip_space<kHtml>(r);
        if (!(r < n_ && s_[r] == '=')) return p;
        ++r;
        if constexpr (!kHtml) {  // \s*=+\s*
            while (r < n_ && s_[r] == '=') ++r;
        }
        r = value_after_equals<kHtml>(r, va, vb);
        if constexpr (!kHtml) skip_space(r);
        return r;
    }
    // The end of a tag name starting at a: [^\t\n\r\f />\x00]* (kHtml: no \x00)
    template <bool kHtml>
    size_t tag_name_end(size_t a) const {
        while (a < n_ && !(kHtml ? ends_html_tag_name(s_[a]) : ends_tag_name(s_[a]))) ++a;
        return a;
    }
    // locatestarttagend_tolerant after "<": where the tag's attributes and
    // trailing whitespace end (the '>' or "/>" is then checked).
    size_t locate_start_tag_end(size_t i) const {
        size_t q = tag_name_end<false>(i + 1);
        while (q < n_ && (is_space(s_[q]) || s_[q] == '/')) ++q;
        while (q < n_ && attr_starts<false>(q)) {
            size_t name_end, va, vb;
            q = attribute<false>(q, name_end, va, vb);
            skip_space_slash(q);
        }
        skip_space(q);
        return q;
    }
    // locatetagend matched at p (a letter): the end of the match, after the
    // tag's '>' when the tag is complete.
    size_t locate_tag_end(size_t p) const {
        size_t q = tag_name_end<true>(p + 1);
        while (q < n_ && (is_ascii_space(s_[q]) || s_[q] == '/')) ++q;
        while (q < n_ && attr_starts<true>(q)) {
            size_t name_end, va, vb;
            q = attribute<true>(q, name_end, va, vb);
            while (q < n_ && (is_ascii_space(s_[q]) || s_[q] == '/')) ++q;
        }
        if (q < n_ && s_[q] == '>') ++q;
        return q;
    }
    // endtagfind, </\s*([a-zA-Z][-.a-zA-Z0-9:_]*)\s*>, at i: the end of the
    // match and the name [name_a, name_b).
    size_t match_endtag(size_t i, size_t& name_a, size_t& name_b) const {
        size_t p = i + 2;
        skip_space(p);
        if (!letter_at(p)) return npos;
        size_t q = p + 1;
        while (q < n_ &&
               (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '.' || s_[q] == ':' || s_[q] == '_'))
            ++q;
        name_a = p;
        name_b = q;
        skip_space(q);
        return q < n_ && s_[q] == '>' ? q + 1 : npos;
    }

    // --- raw text ---------------------------------------------------------------

    // The next "</name\s*>" from `from` (the case-insensitive pattern that
    // ends raw text before the HTML tag rules), or npos.
    size_t find_cdata_end(size_t from, const ustring& name) const {
        for (size_t p = from; p + 1 < n_; ++p) {
            p = find_either(s_, p, n_ - 1, C{'<'}, C{'<'});
            if (p + 1 >= n_) break;
            if (s_[p + 1] != '/') continue;
            size_t q = p + 2;
            skip_space(q);
            size_t k = 0;
            for (; k < name.size() && q < n_; ++k, ++q) {
                char32_t c = s_[q];
                // Some non-ASCII letters match ASCII ones case-insensitively.
                if (c >= 0x80) bail("non-ASCII letter in a raw text end tag");
                if ((c | 0x20) != name[k]) break;
            }
            if (k < name.size()) continue;
            skip_space(q);
            if (q < n_ && s_[q] == '>') return p;
        }
        return npos;
    }
    // The next "</name" + [\t\n\r\f />] from `from` (ASCII letters ignoring
    // case), or with `amp` the next '&' if that comes first; npos if neither.
    size_t find_raw_text_end(size_t from, const ustring& name, bool amp) const {
        for (size_t p = from; p < n_; ++p) {
            p = find_either(s_, p, n_, C{'<'}, amp ? C{'&'} : C{'<'});
            if (p == n_) break;
            if (s_[p] == '&') return p;
            if (p + 1 >= n_ || s_[p + 1] != '/') continue;
            size_t q = p + 2, k = 0;
            for (; k < name.size() && q < n_; ++k, ++q)
                if (ascii_lower(s_[q]) != name[k]) break;
            if (k == name.size() && q < n_ && ends_html_tag_name(s_[q])) return p;
        }
        return npos;
    }

    // --- comments and declarations ---------------------------------------------------

    // _markupbase's --\s*> from p: its start, and `end` after it; or npos.
    size_t find_comment_close(size_t p, size_t& end) const {
        for (;; ++p) {
            while (p + 1 < n_ && !(s_[p] == '-' && s_[p + 1] == '-')) ++p;
            if (p + 1 >= n_) return npos;
            size_t q = p + 2;
            skip_space(q);
            if (q < n_ && s_[q] == '>') {
                end = q + 1;
                return p;
            }
        }
    }
    // The HTML comment end from p (just after "<!--"): -?> right there, else
    // the next --!?>. Its start, and `end` after it; or npos.
    size_t find_html_comment_close(size_t p, size_t& end) const {
        size_t q = p < n_ && s_[p] == '-' ? p + 1 : p;
        if (q < n_ && s_[q] == '>') {
            end = q + 1;
            return p;
        }
        for (; p + 2 < n_; ++p) {
            if (s_[p] != '-' || s_[p + 1] != '-') continue;
            q = s_[p + 2] == '!' ? p + 3 : p + 2;
            if (q < n_ && s_[q] == '>') {
                end = q + 1;
                return p;
            }
        }
        return npos;
    }
    // _markupbase's marked section close from i + 3: ]\s*]\s*> or, with
    // `office`, ]\s*>. Its start, and `end` after it; or npos.
    size_t find_marked_section_close(size_t i, bool office, size_t& end) const {
        for (size_t p = i + 3; p < n_; ++p) {
            if (s_[p] != ']') continue;
            size_t t = p + 1;
            skip_space(t);
            if (!office) {
                if (!(t < n_ && s_[t] == ']')) continue;
                ++t;
                skip_space(t);
            }
            if (t < n_ && s_[t] == '>') {
                end = t + 1;
                return p;
            }
        }
        return npos;
    }
    // The next "]]>" from p, or npos.
    size_t find_cdata_close(size_t p) const {
        for (; p + 2 < n_; ++p)
            if (s_[p] == ']' && s_[p + 1] == ']' && s_[p + 2] == '>') return p;
        return npos;
    }

    const C* s_;
    size_t n_;
};

}  // namespace ostrel::treebuilder
