// html.parser's tokenizer, as BeautifulSoup runs it.
//
// Follows html.parser.HTMLParser.goahead() and the parse_* methods it calls
// (with _markupbase.ParserBase for marked sections), convert_charrefs off:
// the feed() pass over the whole page and then the close() pass. The page is
// read in its own str storage kind (C is Py_UCS1, Py_UCS2 or Py_UCS4).
//
// Which html.parser is followed is a ParserVersion, chosen per build by the
// caller (the gate knows which html.parser is installed). BeautifulSoup feeds
// the whole page in one feed() call, so the feed() buffering of later
// versions makes no difference here.
//
// Events go to a Sink, one method per handler html.parser calls (names
// arrive lowercased, as html.parser gives them):
//
//   page_data(const C* s, size_t n, size_t offset)  handle_data, a stretch of the page
//   data(const char32_t* s, size_t n)               handle_data, text made here ("<", "&", "&#")
//   start_tag(const StartTag&)                      handle_starttag
//   startend_tag(const StartTag&)                   handle_startendtag (<tag/>)
//   end_tag(const ustring& name)                    handle_endtag
//   charref(const C* s, size_t n)                   handle_charref ("31" or "x1F")
//   entityref(const C* s, size_t n)                 handle_entityref
//   comment(const C* s, size_t n, size_t offset)    handle_comment
//   decl(const C* s, size_t n, size_t offset)       handle_decl ("DOCTYPE ...")
//   pi(const C* s, size_t n, size_t offset)         handle_pi
//   unknown_decl(const C* s, size_t n, size_t offset) unknown_decl (inside <![...]>)
//
// `offset` is where s[0] is in the page. Where html.parser would raise, or
// its regular expressions would backtrack in ways not reproduced here, the
// tokenizer declines the page with bail() (chars.hpp). A sink may bail too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chars.hpp"

namespace ostrel::treebuilder {

// The html.parser versions the tokenizer follows.
enum class ParserVersion : uint8_t {
    // html.parser of CPython 3.11.2 to 3.13.0 (before the 2025 security
    // fixes): Debian 12's 3.11.2-6+deb12u6, 3.11.7, 3.12.1, 3.13.0.
    classic,
    // Debian 12's 3.11.2-6+deb12u8: at the end of the input, constructs left
    // open are closed (a comment, declaration, processing instruction or
    // bogus comment up to the end; an unclosed tag dropped with the rest of
    // the page; a lone "<" or "</" kept as text).
    deb12u8,
    // Debian 12's 3.11.2-6+deb12u9: deb12u8, plus the HTML tag rules: tag
    // names and attributes separated by HTML whitespace only, NUL allowed in
    // tag names, a start or end tag complete only at its '>' (attribute-like
    // text and quotes in end tags too), "</" + non-letter a bogus comment,
    // raw text ended by "</script" or "</style" + whitespace, '/' or '>',
    // and emitted when left open at the end; only "<![CDATA[" opens a
    // marked section.
    deb12u9,
};

// An attribute of a start tag: its lowercased name and its value (html.unescape
// applied; empty for a bare name) in StartTag::text.
struct TagAttr {
    uint32_t name_off, name_len;
    uint32_t value_off, value_len;
};

// A start tag as handle_starttag receives it: the attributes in the tag's
// order, repeated names included.
struct StartTag {
    ustring name;
    std::vector<TagAttr> attrs;
    ustring text;

    std::u32string_view attr_name(const TagAttr& a) const { return {text.data() + a.name_off, a.name_len}; }
    std::u32string_view attr_value(const TagAttr& a) const {
        return {text.data() + a.value_off, a.value_len};
    }
};

template <class C, class Sink>
class HtmlTokenizer {
public:
    HtmlTokenizer(const C* s, size_t n, const UnescapeTables& tables, Sink& sink,
                  ParserVersion version = ParserVersion::classic)
        : s_(s),
          n_(n),
          tables_(tables),
          sink_(sink),
          close_at_end_(version != ParserVersion::classic),
          html_tags_(version == ParserVersion::deb12u9) {}

    void run() {
        goahead(false);  // feed()
        goahead(true);   // close()
    }

private:
    static constexpr long kIncomplete = -1;
    static constexpr size_t npos = static_cast<size_t>(-1);

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
    // starts() ignoring ASCII case; `lit` is lowercase.
    bool starts_ascii_ci(size_t i, const char* lit) const {
        for (size_t k = 0; lit[k]; ++k)
            if (i + k >= n_ || ascii_lower(s_[i + k]) != static_cast<unsigned char>(lit[k])) return false;
        return true;
    }
    // name_ = s[a:b].lower()
    void read_name(size_t a, size_t b) {
        name_.assign(s_ + a, s_ + b);
        name_ = lower(std::move(name_));
    }
    void data(size_t a, size_t b) { sink_.page_data(s_ + a, b - a, a); }
    void skip_space(size_t& p) const {
        while (p < n_ && is_space(s_[p])) ++p;
    }
    // (?:\s|/(?!>))*
    void skip_space_slash(size_t& p) const {
        while (p < n_) {
            if (is_space(s_[p]))
                ++p;
            else if (s_[p] == '/' && !(p + 1 < n_ && s_[p + 1] == '>'))
                ++p;
            else
                break;
        }
    }
    // lxml reads "{uri}name" as a namespaced name: such names are declined.
    static bool is_name(const ustring& name) {
        for (char32_t c : name)
            if (c == '{' || c == '}') return false;
        return true;
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
                j = html_tags_ ? find_raw_text_end(i) : find_cdata_end(i);
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
                if (i + 1 < n && is_alpha_ascii(s_[i + 1]))
                    k = html_tags_ ? parse_starttag_html(i) : parse_starttag(i);
                else if (starts(i, "</"))
                    k = html_tags_ ? parse_endtag_html(i) : parse_endtag(i);
                else if (starts(i, "<!--"))
                    k = parse_comment(i);
                else if (starts(i, "<?"))
                    k = parse_pi(i);
                else if (starts(i, "<!"))
                    k = parse_html_declaration(i);
                else if (i + 1 < n || (end && close_at_end_)) {
                    sink_.data(U"<", 1);
                    k = static_cast<long>(i + 1);
                } else {
                    break;
                }
                if (k < 0) {
                    if (!end) break;
                    if (close_at_end_) {
                        close_open_construct(i);
                        i = n;
                        continue;
                    }
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
                    sink_.charref(s_ + i + 2, e - 1 - (i + 2));
                    i = s_[e - 1] == ';' ? e : e - 1;
                    continue;
                }
                if (find(';', i) != npos) {
                    sink_.data(U"&#", 2);
                    i += 2;
                }
                break;
            } else {  // '&'
                size_t e;
                if (match_entityref(i, e)) {
                    sink_.entityref(s_ + i + 1, e - 1 - (i + 1));
                    i = s_[e - 1] == ';' ? e : e - 1;
                    continue;
                }
                if (i + 1 < n && (is_alpha_ascii(s_[i + 1]) || s_[i + 1] == '#')) {
                    if (end && n - i == 2) i += 1;
                    break;
                } else if (i + 1 < n) {
                    sink_.data(U"&", 1);
                    i += 1;
                } else {
                    break;
                }
            }
        }
        if (end && i < n && (!cdata_ || html_tags_)) {
            data(i, n);
            i = n;
        }
        pos_ = i;
    }

    // goahead() at the end of the input, for a construct at i that is still
    // open (deb12u8 on): what it becomes, up to the end of the page.
    void close_open_construct(size_t i) {
        const size_t n = n_;
        if (i + 1 < n && is_alpha_ascii(s_[i + 1])) return;  // "<" + letter: dropped
        if (starts(i, "</")) {
            if (i + 2 == n)
                sink_.data(U"</", 2);
            else if (!is_alpha_ascii(s_[i + 2]))  // "</" + letter: dropped
                sink_.comment(s_ + i + 2, n - (i + 2), i + 2);
        } else if (starts(i, "<!--")) {
            size_t j = n;
            for (const char* suffix : {"--!", "--", "-"}) {
                size_t len = std::char_traits<char>::length(suffix);
                if (n - (i + 4) >= len && starts(n - len, suffix)) {
                    j -= len;
                    break;
                }
            }
            sink_.comment(s_ + i + 4, j - (i + 4), i + 4);
        } else if (starts(i, "<![CDATA[")) {
            sink_.unknown_decl(s_ + i + 3, n - (i + 3), i + 3);
        } else if (starts_ascii_ci(i, "<!doctype")) {
            sink_.decl(s_ + i + 2, n - (i + 2), i + 2);
        } else if (starts(i, "<!")) {
            sink_.comment(s_ + i + 2, n - (i + 2), i + 2);
        } else if (starts(i, "<?")) {
            if (n - (i + 2) >= 3 && starts_ascii_ci(i + 2, "xml")) bail("xml processing instruction");
            sink_.pi(s_ + i + 2, n - (i + 2), i + 2);
        } else {
            bail("unexpected construct left open");  // html.parser asserts
        }
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

    // attrfind_tolerant's name at k: up to whitespace, '/', '=' or '>'.
    size_t attr_name_end(size_t k) const {
        while (k < n_ && !(is_space(s_[k]) || s_[k] == '/' || s_[k] == '=' || s_[k] == '>')) ++k;
        return k;
    }
    // attrfind_tolerant's value after the name ending at r: sets [va, vb) to
    // the value (quotes excluded) and returns where the match goes on, or
    // returns r with va == vb == npos when there is no '='.
    size_t attr_value(size_t r, size_t& va, size_t& vb) const {
        va = vb = npos;
        skip_space(r);
        if (!(r < n_ && s_[r] == '=')) return r;
        while (r < n_ && s_[r] == '=') ++r;
        return value_after_equals<false>(r, va, vb);
    }
    // The value after an attribute's '=' (r just past it): whitespace (HTML's
    // only with kHtmlSpace, else Unicode's, as the two versions of the
    // pattern say), then a quoted value or one up to whitespace or '>'. Sets
    // [va, vb), quotes excluded, and returns where the match goes on.
    template <bool kHtmlSpace>
    size_t value_after_equals(size_t r, size_t& va, size_t& vb) const {
        const auto space = [this](size_t k) { return kHtmlSpace ? is_ascii_space(s_[k]) : is_space(s_[k]); };
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
    // Whether an attribute can start at k (after a quote, '/' or whitespace).
    bool attr_starts(size_t k) const {
        char32_t prev = s_[k - 1];
        if (!(prev == '"' || prev == '\'' || prev == '/' || is_space(prev))) return false;
        char32_t c = s_[k];
        return !(is_space(c) || c == '/' || c == '>');
    }

    long parse_starttag(size_t i) {
        const size_t n = n_;
        // locatestarttagend_tolerant, then check_for_whole_start_tag.
        size_t name_end = i + 1;
        while (name_end < n && !ends_tag_name(s_[name_end])) ++name_end;
        size_t q = name_end;
        while (q < n && (is_space(s_[q]) || s_[q] == '/')) ++q;
        while (q < n && attr_starts(q)) {
            size_t va, vb;
            q = attr_value(attr_name_end(q + 1), va, vb);
            if (va != npos) skip_space(q);
            skip_space_slash(q);
        }
        skip_space(q);
        size_t j = q, endpos;
        if (j >= n) return kIncomplete;
        char32_t next = s_[j];
        if (next == '>') {
            endpos = j + 1;
        } else if (next == '/') {
            if (j + 1 < n && s_[j + 1] == '>')
                endpos = j + 2;
            else
                return kIncomplete;
        } else if (is_alpha_ascii(next) || next == '=') {
            return kIncomplete;
        } else {
            bail("unusual start tag");
        }

        // tagfind_tolerant, then attrfind_tolerant attribute by attribute.
        read_name(i + 1, name_end);
        if (!is_name(name_)) bail("brace in a tag name");
        tag_.name = name_;
        tag_.attrs.clear();
        tag_.text.clear();
        size_t k = name_end;
        skip_space_slash(k);
        while (k < endpos && attr_starts(k)) {
            size_t a = k;
            k = attr_name_end(k + 1);
            read_name(a, k);
            if (!is_name(name_)) bail("brace in an attribute name");
            TagAttr attr;
            attr.name_off = static_cast<uint32_t>(tag_.text.size());
            attr.name_len = static_cast<uint32_t>(name_.size());
            tag_.text += name_;
            size_t va, vb;
            k = attr_value(k, va, vb);
            attr.value_off = static_cast<uint32_t>(tag_.text.size());
            if (va != npos) html_unescape_into(s_ + va, vb - va, tables_, tag_.text);
            attr.value_len = static_cast<uint32_t>(tag_.text.size() - attr.value_off);
            tag_.attrs.push_back(attr);
            skip_space_slash(k);
        }
        return finish_starttag(i, k, endpos);
    }

    // parse_starttag after the attributes, which end at k: rawdata[k:endpos]
    // stripped is ">" or "/>", else the tag is text.
    long finish_starttag(size_t i, size_t k, size_t endpos) {
        size_t a = k, b = endpos;
        while (a < b && is_space(s_[a])) ++a;
        while (b > a && is_space(s_[b - 1])) --b;
        bool gt = b - a == 1 && s_[a] == '>';
        bool slash_gt = b - a == 2 && s_[a] == '/' && s_[a + 1] == '>';
        if (!gt && !slash_gt) {
            data(i, endpos);
            return static_cast<long>(endpos);
        }
        if (slash_gt) {
            sink_.startend_tag(tag_);
        } else {
            sink_.start_tag(tag_);
            // CDATA_CONTENT_ELEMENTS
            if (tag_.name == U"script" || tag_.name == U"style") {
                cdata_ = true;
                cdata_elem_ = tag_.name;
            }
        }
        return static_cast<long>(endpos);
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
            while (q < n &&
                   (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '.' || s_[q] == ':' || s_[q] == '_'))
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
            read_name(i + 2, q);
            skip_space_slash(q);
            size_t e = find('>', q);
            sink_.end_tag(name_);
            return static_cast<long>(e + 1);
        }
        read_name(name_a, name_b);
        if (cdata_ && name_ != cdata_elem_) {
            data(i, gtpos);
            return static_cast<long>(gtpos);
        }
        sink_.end_tag(name_);
        cdata_ = false;
        return static_cast<long>(gtpos);
    }

    // --- deb12u9: the HTML tag rules ------------------------------------------------

    // [\t\n\r\f ] and the other characters that end a tag name: [^\t\n\r\f />]
    static bool ends_html_tag_name(char32_t c) { return is_ascii_space(c) || c == '/' || c == '>'; }
    void skip_ascii_space(size_t& p) const {
        while (p < n_ && is_ascii_space(s_[p])) ++p;
    }
    // (?:[\t\n\r\f ]|/(?!>))*
    void skip_ascii_space_slash(size_t& p) const {
        while (p < n_) {
            if (is_ascii_space(s_[p]))
                ++p;
            else if (s_[p] == '/' && !(p + 1 < n_ && s_[p + 1] == '>'))
                ++p;
            else
                break;
        }
    }
    // The start of the next "</name" + [\t\n\r\f />] closing the raw text
    // element (set_cdata_mode's pattern, ASCII letters ignoring case), or npos.
    size_t find_raw_text_end(size_t from) const {
        for (size_t p = from; p + 1 < n_; ++p) {
            if (s_[p] != '<' || s_[p + 1] != '/') continue;
            size_t q = p + 2, k = 0;
            for (; k < cdata_elem_.size() && q < n_; ++k, ++q)
                if (ascii_lower(s_[q]) != cdata_elem_[k]) break;
            if (k == cdata_elem_.size() && q < n_ && ends_html_tag_name(s_[q])) return p;
        }
        return npos;
    }
    // Whether attrfind_tolerant's name can start at k: after a quote, '/' or
    // whitespace, and not at whitespace, '/' or '>'.
    bool html_attr_starts(size_t k) const {
        char32_t prev = s_[k - 1];
        if (!(prev == '"' || prev == '\'' || prev == '/' || is_ascii_space(prev))) return false;
        return !ends_html_tag_name(s_[k]);
    }
    // One attribute of attrfind_tolerant (and locatetagend) at k: its name
    // [k, name_end) and value [va, vb) (npos without "="); returns where the
    // attribute ends. A quote without its closing quote would make the
    // regular expressions backtrack: declined.
    size_t html_attr(size_t k, size_t& name_end, size_t& va, size_t& vb) const {
        size_t p = k + 1;
        while (p < n_ && !(ends_html_tag_name(s_[p]) || s_[p] == '=')) ++p;
        name_end = p;
        va = vb = npos;
        size_t r = p;
        skip_ascii_space(r);
        if (!(r < n_ && s_[r] == '=')) return p;
        return value_after_equals<true>(r + 1, va, vb);
    }
    // locatetagend matched at p (a letter): the end of the match, after the
    // tag's '>' when the tag is complete.
    size_t locate_tag_end(size_t p) const {
        size_t q = p + 1;
        while (q < n_ && !ends_html_tag_name(s_[q])) ++q;
        while (q < n_ && (is_ascii_space(s_[q]) || s_[q] == '/')) ++q;
        while (q < n_ && html_attr_starts(q)) {
            size_t name_end, va, vb;
            q = html_attr(q, name_end, va, vb);
            while (q < n_ && (is_ascii_space(s_[q]) || s_[q] == '/')) ++q;
        }
        if (q < n_ && s_[q] == '>') ++q;
        return q;
    }

    long parse_starttag_html(size_t i) {
        // check_for_whole_start_tag
        size_t endpos = locate_tag_end(i + 1);
        if (s_[endpos - 1] != '>') return kIncomplete;
        // tagfind_tolerant, then attrfind_tolerant attribute by attribute.
        size_t name_end = i + 2;
        while (name_end < n_ && !ends_html_tag_name(s_[name_end])) ++name_end;
        read_name(i + 1, name_end);
        if (!is_name(name_)) bail("brace in a tag name");
        tag_.name = name_;
        tag_.attrs.clear();
        tag_.text.clear();
        size_t k = name_end;
        skip_ascii_space_slash(k);
        while (k < endpos && html_attr_starts(k)) {
            size_t attr_end, va, vb;
            size_t next = html_attr(k, attr_end, va, vb);
            read_name(k, attr_end);
            if (!is_name(name_)) bail("brace in an attribute name");
            TagAttr attr;
            attr.name_off = static_cast<uint32_t>(tag_.text.size());
            attr.name_len = static_cast<uint32_t>(name_.size());
            tag_.text += name_;
            attr.value_off = static_cast<uint32_t>(tag_.text.size());
            if (va != npos) html_unescape_into(s_ + va, vb - va, tables_, tag_.text);
            attr.value_len = static_cast<uint32_t>(tag_.text.size() - attr.value_off);
            tag_.attrs.push_back(attr);
            k = next;
            skip_ascii_space_slash(k);
        }
        return finish_starttag(i, k, endpos);
    }

    long parse_endtag_html(size_t i) {
        if (find('>', i + 2) == npos) return kIncomplete;
        if (!(i + 2 < n_ && is_alpha_ascii(s_[i + 2]))) {
            if (s_[i + 2] == '>') return static_cast<long>(i + 3);  // "</>" is ignored
            return parse_bogus_comment(i);
        }
        size_t j = locate_tag_end(i + 2);
        if (s_[j - 1] != '>') return kIncomplete;
        size_t name_end = i + 3;
        while (name_end < n_ && !ends_html_tag_name(s_[name_end])) ++name_end;
        read_name(i + 2, name_end);
        sink_.end_tag(name_);
        cdata_ = false;
        return static_cast<long>(j);
    }

    long parse_bogus_comment(size_t i) {
        size_t pos = find('>', i + 2);
        if (pos == npos) return kIncomplete;
        sink_.comment(s_ + i + 2, pos - (i + 2), i + 2);
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
                sink_.comment(s_ + i + 4, p - (i + 4), i + 4);
                return static_cast<long>(q + 1);
            }
            ++p;
        }
    }

    long parse_pi(size_t i) {
        size_t j = find('>', i + 2);
        if (j == npos) return kIncomplete;
        if (j - (i + 2) >= 3 && starts_ascii_ci(i + 2, "xml")) bail("xml processing instruction");
        sink_.pi(s_ + i + 2, j - (i + 2), i + 2);
        return static_cast<long>(j + 1);
    }

    long parse_html_declaration(size_t i) {
        if (html_tags_ ? starts(i, "<![CDATA[") : starts(i, "<![")) return parse_marked_section(i);
        if (starts_ascii_ci(i, "<!doctype")) {
            size_t gt = find('>', i + 9);
            if (gt == npos) return kIncomplete;
            sink_.decl(s_ + i + 2, gt - (i + 2), i + 2);
            return static_cast<long>(gt + 1);
        }
        return parse_bogus_comment(i);
    }

    // _markupbase.ParserBase.parse_marked_section
    long parse_marked_section(size_t i) {
        size_t j = i + 3;
        if (j == n_) return kIncomplete;
        if (!is_alpha_ascii(s_[j])) bail("marked section without a keyword");
        size_t q = j + 1;
        while (q < n_ && (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '_' || s_[q] == '.')) ++q;
        size_t r = q;
        skip_space(r);
        if (r == n_) return kIncomplete;
        read_name(j, q);
        const ustring& keyword = name_;
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
        sink_.unknown_decl(s_ + i + 3, start - (i + 3), i + 3);
        return static_cast<long>(stop);
    }

    const C* s_;
    size_t n_;
    const UnescapeTables& tables_;
    Sink& sink_;
    const bool close_at_end_;  // deb12u8 and later
    const bool html_tags_;     // deb12u9
    size_t pos_ = 0;
    bool cdata_ = false;
    ustring cdata_elem_;  // "script" or "style" in raw text mode
    ustring name_;        // scratch: the name last read
    StartTag tag_;        // the start tag being read
};

}  // namespace ostrel::treebuilder
