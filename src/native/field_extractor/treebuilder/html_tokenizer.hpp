// html.parser's tokenizer, as BeautifulSoup runs it.
//
// Follows html.parser.HTMLParser.goahead() and the parse_* methods it calls
// (with _markupbase.ParserBase for marked sections), convert_charrefs off:
// the feed() pass over the whole page and then the close() pass. The page is
// read in its own str storage kind (C is Py_UCS1, Py_UCS2 or Py_UCS4); the
// patterns themselves are in markup_scan.hpp.
//
// Which html.parser is followed is a ParserVersion, chosen per build by the
// caller (the gate knows which html.parser is installed). The versions
// differ in a few rules only, each a field of ParserRules. BeautifulSoup
// feeds the whole page in one feed() call, so the feed() buffering of later
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
#include "markup_scan.hpp"

namespace ostrel::treebuilder {

// The html.parser versions the tokenizer follows.
enum class ParserVersion : uint8_t {
    classic,   // CPython 3.11.2 to 3.13.0; Debian 12's 3.11.2-6+deb12u6
    deb12u8,   // Debian 12's python3.11 3.11.2-6+deb12u8
    deb12u9,   // Debian 12's python3.11 3.11.2-6+deb12u9
    py3_13_5,  // Debian 13's python3.13 3.13.5
    py3_14,    // python3.14 3.14.10 and python3.15 3.15.2
};

// Where the html.parser versions differ. Defaults: the classic one.
struct ParserRules {
    // How "<![" is read: any keyword of _markupbase's marked sections; only
    // "<![CDATA[" as one (else a bogus comment); "<![CDATA[" up to "]]>".
    enum class Marked : uint8_t { any_keyword, cdata_keyword, cdata_brackets };

    // At the end of the input, constructs left open are closed (a comment,
    // declaration, processing instruction or bogus comment up to the end; an
    // unclosed tag dropped with the rest of the page; a lone "<" or "</" kept
    // as text) rather than left as text.
    bool close_at_end = false;
    // Raw text left open at the end of the input is emitted as text.
    bool flush_raw_text = false;
    // HTML's tag rules: tag names and attributes separated by HTML whitespace
    // only, NUL allowed in tag names, a start or end tag complete only at its
    // '>' (attribute-like text and quotes in end tags too), "</" + non-letter
    // a bogus comment, raw text ended by "</script" + whitespace, '/' or '>'.
    bool html_tags = false;
    Marked marked = Marked::any_keyword;
    // Attribute values unescaped reference by reference: a named one only
    // when it is an exact name and not followed by '='.
    bool attribute_references = false;
    // Comments end at "--!?>"; "<!-->" and "<!--->" are empty comments.
    bool html_comments = false;
    // xmp, iframe, noembed, noframes and plaintext are raw text too, and
    // title and textarea raw text with references.
    bool html_raw_text = false;
    // A reference left open at the end of the input is handled as one.
    bool references_at_end = false;
};

constexpr ParserRules rules_of(ParserVersion version) {
    ParserRules r;
    if (version == ParserVersion::classic) return r;
    r.close_at_end = true;  // deb12u8 and every later version
    if (version == ParserVersion::deb12u8) return r;
    r.flush_raw_text = true;
    r.marked = ParserRules::Marked::cdata_keyword;
    if (version == ParserVersion::py3_13_5) {
        r.attribute_references = true;
        return r;
    }
    r.html_tags = true;  // deb12u9 and py3_14
    if (version == ParserVersion::deb12u9) return r;
    r.marked = ParserRules::Marked::cdata_brackets;
    r.attribute_references = true;
    r.html_comments = true;
    r.html_raw_text = true;
    r.references_at_end = true;
    return r;
}

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
class HtmlTokenizer : private MarkupScan<C> {
    using Scan = MarkupScan<C>;
    using Scan::find;
    using Scan::letter_at;
    using Scan::n_;
    using Scan::s_;
    using Scan::skip_space;
    using Scan::skip_space_slash;
    using Scan::starts;
    using Scan::starts_ascii_ci;

public:
    HtmlTokenizer(const C* s, size_t n, const UnescapeTables& tables, Sink& sink,
                  ParserVersion version = ParserVersion::classic)
        : Scan(s, n), tables_(tables), sink_(sink), rules_(rules_of(version)) {}

    void run() {
        goahead(false);  // feed()
        goahead(true);   // close()
    }

private:
    // Where goahead() goes on from, and whether it stops there.
    struct Step {
        size_t next;
        bool stop;
    };

    // name_ = s[a:b].lower()
    void read_name(size_t a, size_t b) {
        assign_units(name_, s_ + a, b - a);
        name_ = lower(std::move(name_));
    }
    void data(size_t a, size_t b) { sink_.page_data(s_ + a, b - a, a); }
    // lxml reads "{uri}name" as a namespaced name: such names are declined.
    static bool is_name(const ustring& name) {
        for (char32_t c : name)
            if (c == '{' || c == '}') return false;
        return true;
    }

    void goahead(bool end) {
        size_t i = pos_;
        while (i < n_) {
            size_t j = next_markup(i);
            if (j == npos) break;  // raw text not closed yet
            if (i < j) data(i, j);
            i = j;
            if (i == n_) break;
            Step step = s_[i] == '<' ? markup(i, end) : starts(i, "&#") ? charref(i, end) : entityref(i, end);
            i = step.next;
            if (step.stop) break;
        }
        if (end && i < n_ && (!cdata_ || rules_.flush_raw_text)) {
            data(i, n_);
            i = n_;
        }
        pos_ = i;
    }

    // The next '<' or '&' goahead() acts on from i (in raw text, the end tag
    // that closes it), n at the end of the input, npos in raw text not closed.
    size_t next_markup(size_t i) const {
        if (!cdata_) {
            return i < n_ ? find_either(s_, i, n_, C{'<'}, C{'&'}) : n_;
        }
        if (!rules_.html_tags) return this->find_cdata_end(i, cdata_elem_);
        if (cdata_elem_ == U"plaintext") return n_;
        return this->find_raw_text_end(i, cdata_elem_, escapable_);
    }

    Step markup(size_t i, bool end) {
        size_t k;
        if (letter_at(i + 1))
            k = parse_starttag(i);
        else if (starts(i, "</"))
            k = parse_endtag(i);
        else if (starts(i, "<!--"))
            k = parse_comment(i);
        else if (starts(i, "<?"))
            k = parse_pi(i);
        else if (starts(i, "<!"))
            k = parse_html_declaration(i);
        else if (i + 1 < n_ || (end && rules_.close_at_end))
            return lone_text(i, U"<");
        else
            return {i, true};
        if (k != npos) return {k, false};
        if (!end) return {i, true};
        if (rules_.close_at_end) {
            close_open_construct(i);
            return {n_, false};
        }
        // Up to the next '>', else the next '<', else the '<' alone, as text.
        size_t e = find('>', i + 1);
        if (e == npos) {
            e = find('<', i + 1);
            if (e == npos) e = i + 1;
        } else {
            e += 1;
        }
        data(i, e);
        return {e, false};
    }
    Step lone_text(size_t i, const char32_t* text) {
        size_t len = std::char_traits<char32_t>::length(text);
        sink_.data(text, len);
        return {i + len, false};
    }

    Step charref(size_t i, bool end) {
        size_t e = this->match_charref(i);
        if (e != npos) {
            sink_.charref(s_ + i + 2, e - 1 - (i + 2));
            return {s_[e - 1] == ';' ? e : e - 1, false};
        }
        if (!rules_.references_at_end) {
            if (find(';', i) != npos) return {lone_text(i, U"&#").next, true};
            return {i, true};
        }
        if (this->incomplete_charref(i)) {
            if (!end) return {i, true};
            // The rest of the page is the reference's name.
            size_t p = i + 2;
            bool hex = s_[p] == 'x' || s_[p] == 'X';
            if (hex) ++p;
            while (p < n_ && (hex ? is_hex(s_[p]) : is_digit(s_[p]))) ++p;
            if (p < n_) bail("character reference left open before other text");
            sink_.charref(s_ + i + 2, n_ - (i + 2));
            return {n_, true};
        }
        if (i + 3 < n_) return lone_text(i, U"&#");
        return {i, true};
    }

    Step entityref(size_t i, bool end) {
        size_t e = this->match_entityref(i);
        if (e != npos) {
            sink_.entityref(s_ + i + 1, e - 1 - (i + 1));
            return {s_[e - 1] == ';' ? e : e - 1, false};
        }
        if (letter_at(i + 1)) {
            if (!end) return {i, true};
            if (rules_.references_at_end) {  // the rest of the page is its name
                sink_.entityref(s_ + i + 1, n_ - (i + 1));
                return {n_, true};
            }
            return {n_ - i == 2 ? i + 1 : i, true};
        }
        if (i + 1 < n_) return lone_text(i, U"&");
        return {i, true};
    }

    // goahead() at the end of the input, for a construct at i that is still
    // open (close_at_end): what it becomes, up to the end of the page.
    void close_open_construct(size_t i) {
        const size_t n = n_;
        if (letter_at(i + 1)) return;  // "<" + letter: dropped
        if (starts(i, "</")) {
            if (i + 2 == n)
                sink_.data(U"</", 2);
            else if (!letter_at(i + 2))  // "</" + letter: dropped
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

    // --- tags ---------------------------------------------------------------------

    size_t parse_starttag(size_t i) {
        // check_for_whole_start_tag
        size_t endpos;
        if (rules_.html_tags) {
            endpos = this->locate_tag_end(i + 1);
            if (s_[endpos - 1] != '>') return npos;
        } else {
            size_t j = this->locate_start_tag_end(i);
            if (j >= n_) return npos;
            if (s_[j] == '>')
                endpos = j + 1;
            else if (s_[j] == '/' && j + 1 < n_ && s_[j + 1] == '>')
                endpos = j + 2;
            else if (s_[j] == '/' || is_alpha_ascii(s_[j]) || s_[j] == '=')
                return npos;
            else
                bail("unusual start tag");
        }
        // tagfind_tolerant, then attrfind_tolerant attribute by attribute.
        size_t k = rules_.html_tags ? this->template tag_name_end<true>(i + 2)
                                    : this->template tag_name_end<false>(i + 2);
        read_name(i + 1, k);
        if (!is_name(name_)) bail("brace in a tag name");
        tag_.name = name_;
        tag_.attrs.clear();
        tag_.text.clear();
        k = rules_.html_tags ? read_attributes<true>(k, endpos) : read_attributes<false>(k, endpos);
        // rawdata[k:endpos] stripped is ">" or "/>", else the tag is text.
        size_t a = k, b = endpos;
        while (a < b && is_space(s_[a])) ++a;
        while (b > a && is_space(s_[b - 1])) --b;
        if (b - a == 2 && s_[a] == '/' && s_[a + 1] == '>') {
            sink_.startend_tag(tag_);
        } else if (b - a == 1 && s_[a] == '>') {
            sink_.start_tag(tag_);
            enter_raw_text(tag_.name);
        } else {
            data(i, endpos);
        }
        return endpos;
    }

    // The attributes from k up to endpos into tag_; returns where they end.
    template <bool kHtml>
    size_t read_attributes(size_t k, size_t endpos) {
        this->template skip_space_slash<kHtml>(k);
        while (k < endpos && this->template attr_starts<kHtml>(k)) {
            size_t name_end, va, vb;
            size_t next = this->template attribute<kHtml>(k, name_end, va, vb);
            read_name(k, name_end);
            if (!is_name(name_)) bail("brace in an attribute name");
            TagAttr attr;
            attr.name_off = static_cast<uint32_t>(tag_.text.size());
            attr.name_len = static_cast<uint32_t>(name_.size());
            tag_.text += name_;
            attr.value_off = static_cast<uint32_t>(tag_.text.size());
            if (va != npos) unescape_value(va, vb);
            attr.value_len = static_cast<uint32_t>(tag_.text.size() - attr.value_off);
            tag_.attrs.push_back(attr);
            k = next;
            this->template skip_space_slash<kHtml>(k);
        }
        return k;
    }

    // The attribute value s[a:b], unescaped, appended to tag_.text.
    void unescape_value(size_t a, size_t b) {
        if (!rules_.attribute_references) return html_unescape_into(s_ + a, b - a, tables_, tag_.text);
        // Each match of attr_charref unescaped, or kept when it is a name
        // that is not exactly an entity's or is followed by '='.
        while (a < b) {
            size_t amp = a;
            while (amp < b && s_[amp] != '&') ++amp;
            append_units(tag_.text, s_ + a, amp - a);
            if (amp == b) break;
            bool named;
            size_t e = this->match_attr_charref(amp, b, named);
            if (e == npos) {
                tag_.text += U'&';
                a = amp + 1;
                continue;
            }
            bool keep = false;
            if (named) {
                assign_units(key_, s_ + amp + 1, e - (amp + 1));
                keep = key_.back() == '=' || tables_.html5.count(key_) == 0;
            }
            if (keep)
                append_units(tag_.text, s_ + amp, e - amp);
            else
                html_unescape_into(s_ + amp, e - amp, tables_, tag_.text);
            a = e;
        }
    }

    // After a start tag: the raw text elements (CDATA_CONTENT_ELEMENTS and,
    // with references, RCDATA_CONTENT_ELEMENTS).
    void enter_raw_text(const ustring& name) {
        bool raw = name == U"script" || name == U"style";
        bool with_refs = false;
        if (rules_.html_raw_text) {
            raw = raw || name == U"xmp" || name == U"iframe" || name == U"noembed" || name == U"noframes" ||
                  name == U"plaintext";
            with_refs = name == U"textarea" || name == U"title";
        }
        if (raw || with_refs) {
            cdata_ = true;
            escapable_ = with_refs;
            cdata_elem_ = name;
        }
    }

    size_t parse_endtag(size_t i) {
        if (rules_.html_tags) return parse_html_endtag(i);
        size_t gt = find('>', i + 1);
        if (gt == npos) return npos;
        size_t gtpos = gt + 1;
        size_t name_a = 0, name_b = 0;
        if (this->match_endtag(i, name_a, name_b) == npos) {
            if (cdata_) {
                data(i, gtpos);
                return gtpos;
            }
            if (!letter_at(i + 2)) {
                if (starts(i, "</>")) return i + 3;
                return parse_bogus_comment(i);
            }
            size_t q = this->template tag_name_end<false>(i + 3);
            read_name(i + 2, q);
            skip_space_slash(q);
            size_t e = find('>', q);
            sink_.end_tag(name_);
            return e + 1;
        }
        read_name(name_a, name_b);
        if (cdata_ && name_ != cdata_elem_) {
            data(i, gtpos);
            return gtpos;
        }
        sink_.end_tag(name_);
        cdata_ = false;
        return gtpos;
    }

    size_t parse_html_endtag(size_t i) {
        if (find('>', i + 2) == npos) return npos;
        if (!letter_at(i + 2)) {
            if (s_[i + 2] == '>') return i + 3;  // "</>" is ignored
            return parse_bogus_comment(i);
        }
        size_t j = this->locate_tag_end(i + 2);
        if (s_[j - 1] != '>') return npos;
        read_name(i + 2, this->template tag_name_end<true>(i + 3));
        sink_.end_tag(name_);
        cdata_ = false;
        return j;
    }

    // --- comments and declarations --------------------------------------------------

    size_t parse_bogus_comment(size_t i) {
        size_t pos = find('>', i + 2);
        if (pos == npos) return npos;
        sink_.comment(s_ + i + 2, pos - (i + 2), i + 2);
        return pos + 1;
    }

    size_t parse_comment(size_t i) {
        size_t end = 0;
        size_t close = rules_.html_comments ? this->find_html_comment_close(i + 4, end)
                                            : this->find_comment_close(i + 4, end);
        if (close == npos) return npos;
        sink_.comment(s_ + i + 4, close - (i + 4), i + 4);
        return end;
    }

    size_t parse_pi(size_t i) {
        size_t j = find('>', i + 2);
        if (j == npos) return npos;
        if (j - (i + 2) >= 3 && starts_ascii_ci(i + 2, "xml")) bail("xml processing instruction");
        sink_.pi(s_ + i + 2, j - (i + 2), i + 2);
        return j + 1;
    }

    size_t parse_html_declaration(size_t i) {
        using Marked = ParserRules::Marked;
        if (rules_.marked == Marked::any_keyword ? starts(i, "<![") : starts(i, "<![CDATA[")) {
            if (rules_.marked != Marked::cdata_brackets) return parse_marked_section(i);
            size_t j = this->find_cdata_close(i + 9);
            if (j == npos) return npos;
            sink_.unknown_decl(s_ + i + 3, j - (i + 3), i + 3);
            return j + 3;
        }
        if (starts_ascii_ci(i, "<!doctype")) {
            size_t gt = find('>', i + 9);
            if (gt == npos) return npos;
            sink_.decl(s_ + i + 2, gt - (i + 2), i + 2);
            return gt + 1;
        }
        return parse_bogus_comment(i);
    }

    // _markupbase.ParserBase.parse_marked_section
    size_t parse_marked_section(size_t i) {
        size_t j = i + 3;
        if (j == n_) return npos;
        if (!is_alpha_ascii(s_[j])) bail("marked section without a keyword");
        size_t q = j + 1;
        while (q < n_ && (is_alnum_ascii(s_[q]) || s_[q] == '-' || s_[q] == '_' || s_[q] == '.')) ++q;
        size_t r = q;
        skip_space(r);
        if (r == n_) return npos;
        read_name(j, q);
        const ustring& keyword = name_;
        bool standard = keyword == U"temp" || keyword == U"cdata" || keyword == U"ignore" ||
                        keyword == U"include" || keyword == U"rcdata";
        bool office = keyword == U"if" || keyword == U"else" || keyword == U"endif";
        if (!standard && !office) bail("unknown marked section keyword");
        size_t stop = 0;
        size_t start = this->find_marked_section_close(i, office, stop);
        if (start == npos) return npos;
        sink_.unknown_decl(s_ + i + 3, start - (i + 3), i + 3);
        return stop;
    }

    const UnescapeTables& tables_;
    Sink& sink_;
    const ParserRules rules_;
    size_t pos_ = 0;
    bool cdata_ = false;      // in raw text
    bool escapable_ = false;  // with references (title, textarea)
    ustring cdata_elem_;      // the element whose raw text it is
    ustring name_;            // scratch: the name last read
    ustring key_;             // scratch: an entity name
    StartTag tag_;            // the start tag being read
};

}  // namespace ostrel::treebuilder
