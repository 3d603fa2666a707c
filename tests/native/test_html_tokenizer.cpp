// The html.parser tokenizer alone: the events it gives a recording sink for
// hand-written pages, in every str storage kind a page fits, and the pages
// it declines. Built and run by tests/test_html_tokenizer_native.py; exits
// non-zero on the first wrong sequence.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "chars.hpp"
#include "html_tokenizer.hpp"

using namespace ostrel::treebuilder;

namespace {

std::string utf8(const ustring& s) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

template <class C>
std::string quoted(const C* s, size_t n) {
    return "'" + utf8(ustring(s, s + n)) + "'";
}

// Writes every event as one line: kind, offset in the page where the text
// is the page's own, and the text.
struct Recorder {
    std::vector<std::string> events;

    template <class C>
    void page_data(const C* s, size_t n, size_t at) {
        events.push_back("data@" + std::to_string(at) + " " + quoted(s, n));
    }
    void data(const char32_t* s, size_t n) { events.push_back("data " + quoted(s, n)); }
    void start_tag(const StartTag& tag) { events.push_back("start " + describe(tag)); }
    void startend_tag(const StartTag& tag) { events.push_back("startend " + describe(tag)); }
    void end_tag(const ustring& name) { events.push_back("end " + utf8(name)); }
    template <class C>
    void charref(const C* s, size_t n) {
        bool hex = s[0] == 'x' || s[0] == 'X';
        uint32_t value = hex ? parse_number(s + 1, n - 1, 16) : parse_number(s, n, 10);
        events.push_back("charref " + quoted(s, n) + " = " + std::to_string(value));
    }
    template <class C>
    void entityref(const C* s, size_t n) {
        events.push_back("entityref " + quoted(s, n));
    }
    template <class C>
    void comment(const C* s, size_t n, size_t at) {
        events.push_back("comment@" + std::to_string(at) + " " + quoted(s, n));
    }
    template <class C>
    void decl(const C* s, size_t n, size_t at) {
        events.push_back("decl@" + std::to_string(at) + " " + quoted(s, n));
    }
    template <class C>
    void pi(const C* s, size_t n, size_t at) {
        events.push_back("pi@" + std::to_string(at) + " " + quoted(s, n));
    }
    template <class C>
    void unknown_decl(const C* s, size_t n, size_t at) {
        events.push_back("unknown_decl@" + std::to_string(at) + " " + quoted(s, n));
    }

    static std::string describe(const StartTag& tag) {
        std::string out = utf8(tag.name);
        for (const TagAttr& a : tag.attrs) {
            out +=
                " " + utf8(ustring(tag.attr_name(a))) + "=" + quoted(tag.attr_value(a).data(), a.value_len);
        }
        return out;
    }
};

// A few entries of html's tables, enough for the attribute values below.
UnescapeTables small_tables() {
    UnescapeTables t;
    t.add_html5(U"amp;", U"&");
    t.add_html5(U"amp", U"&");
    t.add_html5(U"lt;", U"<");
    t.add_html5(U"lt", U"<");
    t.add_html5(U"eacute;", U"\u00e9");
    t.invalid_charrefs[0x00] = U"\ufffd";
    t.invalid_charrefs[0x80] = U"\u20ac";
    t.invalid_codepoints.insert(0x01);
    return t;
}

const UnescapeTables& tables() {
    static const UnescapeTables t = small_tables();
    return t;
}

// The events for `page` read as storage kind C, or "bail: <reason>".
template <class C>
std::vector<std::string> tokenize(const ustring& page, ParserVersion version) {
    std::vector<C> units(page.begin(), page.end());
    Recorder sink;
    try {
        HtmlTokenizer<C, Recorder>(units.data(), units.size(), tables(), sink, version).run();
    } catch (const Bail& b) {
        return {std::string("bail: ") + b.reason};
    }
    return sink.events;
}

struct Case {
    const char* name;
    ustring page;
    std::vector<std::string> expected;
    ParserVersion version = ParserVersion::classic;  // the html.parser followed
};

int failures = 0;

void compare(const char* name, const char* kind, const std::vector<std::string>& got,
             const std::vector<std::string>& expected) {
    if (got == expected) return;
    ++failures;
    std::printf("FAIL %s (%s)\n  expected:\n", name, kind);
    for (const auto& e : expected) std::printf("    %s\n", e.c_str());
    std::printf("  got:\n");
    for (const auto& e : got) std::printf("    %s\n", e.c_str());
}

// Runs the case in every storage kind its characters fit.
void check(const Case& c) {
    char32_t widest = 0;
    for (char32_t ch : c.page) widest = std::max(widest, ch);
    if (widest < 0x100) compare(c.name, "UCS1", tokenize<Py_UCS1>(c.page, c.version), c.expected);
    if (widest < 0x10000) compare(c.name, "UCS2", tokenize<Py_UCS2>(c.page, c.version), c.expected);
    compare(c.name, "UCS4", tokenize<Py_UCS4>(c.page, c.version), c.expected);
}

const std::vector<Case> cases = {
    {"tags and text",
     U"<P>Hi <b>there</B></p>",
     {"start p", "data@3 'Hi '", "start b", "data@9 'there'", "end b", "end p"}},
    {"attribute quoting",
     U"<a href=\"x y\" title='it''s' data-n=3 hidden CLASS = c>",
     {"start a href='x y' title='it' 's'='' data-n='3' hidden='' class='c'"}},
    {"repeated attributes all reach the sink", U"<i x=1 x=2>", {"start i x='1' x='2'"}},
    {"attribute values unescaped as html.unescape does",
     U"<a t=\"&amp;&lt;&ltx&eacute;&#65;&#x42;&#0;&#128;&#1;&bogus;&#;&\">",
     {"start a t='&<<x\u00e9AB\ufffd\u20ac&bogus;&#;&'"}},
    {"references in text",
     U"a &amp; b&#65;c &#x41; &lt",
     {"data@0 'a '", "entityref 'amp'", "data@7 ' b'", "charref '65' = 65", "data@14 'c '",
      "charref 'x41' = 65", "data@22 ' '", "data@23 '&lt'"}},
    {"reference ended by another character",
     U"&amp<&#65x",
     {"entityref 'amp'", "data '<'", "charref '65' = 65", "data@9 'x'"}},
    {"out of range reference saturates",
     U"&#x110000000;.",
     {"charref 'x110000000' = 1114112", "data@13 '.'"}},
    {"lone markup characters",
     U"a < b & c",
     {"data@0 'a '", "data '<'", "data@3 ' b '", "data '&'", "data@7 ' c'"}},
    {"self-closing tags", U"<br/><img src=x />", {"startend br", "startend img src='x'"}},
    {"comments",
     U"<!-- a --><!----><!-- b -- c --\n>",
     {"comment@4 ' a '", "comment@14 ''", "comment@21 ' b -- c '"}},
    {"bogus comments", U"<!x y></3 x></>", {"comment@2 'x y'", "comment@8 '3 x'"}},
    {"end tag with space before the name", U"</ odd >", {"end odd"}},
    {"end tag with junk after the name", U"<p></p class=x>", {"start p", "end p"}},
    {"doctype", U"<!DOCTYPE html><!doctype>", {"decl@2 'DOCTYPE html'", "decl@17 'doctype'"}},
    {"marked sections",
     U"<![CDATA[ a < b ]]><![if IE]>x<![endif]>",
     {"unknown_decl@3 'CDATA[ a < b '", "unknown_decl@22 'if IE'", "data@29 'x'", "unknown_decl@33 'endif'"}},
    {"processing instruction", U"<?php echo 1 ?>", {"pi@2 'php echo 1 ?'"}},
    {"script and style are raw text",
     U"<script>a<b></p>&amp;</SCRIPT >x<style>p</b>{}</ style>",
     {"start script", "data@8 'a<b></p>&amp;'", "end script", "data@31 'x'", "start style",
      "data@39 'p</b>{}'", "end style"}},
    {"raw text left open is dropped", U"<script>var a = '<p>';", {"start script"}},
    {"incomplete constructs at the end become text",
     U"x<div class=\"a\"",
     {"data@0 'x'", "data@1 '<'", "data@2 'div class=\"a\"'"}},
    {"incomplete comment at the end", U"<!-- open", {"data@0 '<'", "data@1 '!-- open'"}},
    {"non-ASCII names lowered as str.lower() does",
     U"<A\u00c0 \u00c9=1></A\u00c0>",
     {"start a\u00e0 \u00e9='1'", "end a\u00e0"}},
    {"non-BMP text", U"<p>\U0001F600</p>", {"start p", "data@3 '\U0001F600'", "end p"}},

    // Debian 12's python3.11 3.11.2-6+deb12u8: constructs left open at the end.
    {"u8: open comment", U"<!-- open", {"comment@4 ' open'"}, ParserVersion::deb12u8},
    {"u8: open comment loses its closing dashes", U"<!--x--", {"comment@4 'x'"}, ParserVersion::deb12u8},
    {"u8: open start tag dropped", U"x<div class=\"a\"", {"data@0 'x'"}, ParserVersion::deb12u8},
    {"u8: lone end tag opener", U"a</", {"data@0 'a'", "data '</'"}, ParserVersion::deb12u8},
    {"u8: open bogus end tag", U"a</1 b", {"data@0 'a'", "comment@3 '1 b'"}, ParserVersion::deb12u8},
    {"u8: open CDATA section", U"<![CDATA[x", {"unknown_decl@3 'CDATA[x'"}, ParserVersion::deb12u8},
    {"u8: open doctype", U"<!DOCTYPE html", {"decl@2 'DOCTYPE html'"}, ParserVersion::deb12u8},
    {"u8: open processing instruction", U"<?pi x", {"pi@2 'pi x'"}, ParserVersion::deb12u8},
    {"u8: lone '<' at the end", U"a<", {"data@0 'a'", "data '<'"}, ParserVersion::deb12u8},
    {"u8: raw text still ends at </script\\s*>",
     U"<script>a</script/x>b</script >c",
     {"start script", "data@8 'a</script/x>b'", "end script", "data@31 'c'"},
     ParserVersion::deb12u8},
    {"u8: end tag with space before the name", U"</ odd >", {"end odd"}, ParserVersion::deb12u8},

    // Debian 12's python3.11 3.11.2-6+deb12u9: the HTML tag rules.
    {"u9: raw text ends at </script + '/'",
     U"<script>a</script/x>b",
     {"start script", "data@8 'a'", "end script", "data@20 'b'"},
     ParserVersion::deb12u9},
    {"u9: raw text not ended by </scripty>",
     U"<script>a</scripty>b</script >c",
     {"start script", "data@8 'a</scripty>b'", "end script", "data@30 'c'"},
     ParserVersion::deb12u9},
    {"u9: raw text left open is text",
     U"<script>left open",
     {"start script", "data@8 'left open'"},
     ParserVersion::deb12u9},
    {"u9: space before an end tag's name makes a bogus comment",
     U"</ p>",
     {"comment@2 ' p'"},
     ParserVersion::deb12u9},
    {"u9: </> ignored", U"</>x", {"data@3 'x'"}, ParserVersion::deb12u9},
    {"u9: quotes respected in an end tag",
     U"<p></p a='>'>x",
     {"start p", "end p", "data@13 'x'"},
     ParserVersion::deb12u9},
    {"u9: only <![CDATA[ is a marked section",
     U"<![if x]>y",
     {"comment@2 '[if x]'", "data@9 'y'"},
     ParserVersion::deb12u9},
    {"u9: one '=' before a value", U"<a b==c>", {"start a b='=c'"}, ParserVersion::deb12u9},
    {"u9: only HTML whitespace separates attributes",
     U"<a b\u001c=c>",
     {"start a b\u001c='c'"},
     ParserVersion::deb12u9},
    {"u9: NUL in a tag name",
     ustring(U"<a") + U'\0' + U">",
     {std::string("start a") + '\0'},
     ParserVersion::deb12u9},
    {"u9: open start tag dropped", U"x<div class=\"a\"", {"data@0 'x'"}, ParserVersion::deb12u9},
    {"u9: open comment", U"<!--x-", {"comment@4 'x'"}, ParserVersion::deb12u9},
    {"u9: unterminated quote in an end tag",
     U"<p></p a='>",
     {"bail: unterminated quoted attribute value"},
     ParserVersion::deb12u9},

    // Debian 13's python3.13 3.13.5: raw text flushed, CDATA-only marked
    // sections, attribute values unescaped by HTML's rules.
    {"3.13.5: raw text left open is text",
     U"<script>left open",
     {"start script", "data@8 'left open'"},
     ParserVersion::py3_13_5},
    {"3.13.5: only <![CDATA[ is a marked section",
     U"<![if x]>y",
     {"comment@2 '[if x]'", "data@9 'y'"},
     ParserVersion::py3_13_5},
    {"3.13.5: attribute references",
     U"<a b='x&ampy&amp=z&amp;&#65=&notin'>",
     {"start a b='x&ampy&amp=z&A=&notin'"},
     ParserVersion::py3_13_5},
    {"3.13.5: a reference left open at the end is text",
     U"<p>a&#65",
     {"start p", "data@3 'a'", "data@4 '&#65'"},
     ParserVersion::py3_13_5},

    // python3.14 3.14.10 (and 3.15.2): HTML's comments, CDATA sections, raw
    // text elements and references at the end.
    {"3.14: abruptly closed empty comment",
     U"<!--->x-->",
     {"comment@4 ''", "data@6 'x-->'"},
     ParserVersion::py3_14},
    {"3.14: comment closed by --!>",
     U"<!-- a --!>b",
     {"comment@4 ' a '", "data@11 'b'"},
     ParserVersion::py3_14},
    {"3.14: CDATA section up to ]]>",
     U"<![CDATA[x] ]>y]]>z",
     {"unknown_decl@3 'CDATA[x] ]>y'", "data@18 'z'"},
     ParserVersion::py3_14},
    {"3.14: title is raw text with references",
     U"<title><b>&amp;</b></title>",
     {"start title", "data@7 '<b>'", "entityref 'amp'", "data@15 '</b>'", "end title"},
     ParserVersion::py3_14},
    {"3.14: xmp is raw text",
     U"<xmp><b>x</xmp >",
     {"start xmp", "data@5 '<b>x'", "end xmp"},
     ParserVersion::py3_14},
    {"3.14: plaintext to the end",
     U"<plaintext><b>x</plaintext>",
     {"start plaintext", "data@11 '<b>x</plaintext>'"},
     ParserVersion::py3_14},
    {"3.14: character reference at the end",
     U"<p>a&#65",
     {"start p", "data@3 'a'", "charref '65' = 65"},
     ParserVersion::py3_14},
    {"3.14: entity reference at the end",
     U"<p>a&amp",
     {"start p", "data@3 'a'", "entityref 'amp'"},
     ParserVersion::py3_14},
    {"3.14: reference left open before other text",
     U"<p>a&#12ab",
     {"bail: character reference left open before other text"},
     ParserVersion::py3_14},
    {"3.14: attribute references", U"<a b='&amp=&ampx'>", {"start a b='&amp=&ampx'"}, ParserVersion::py3_14},

    // Declined pages.
    {"unterminated quoted value", U"<a b=\"c>text", {"bail: unterminated quoted attribute value"}},
    {"brace in a tag name", U"<a{b}>", {"bail: brace in a tag name"}},
    {"brace in an attribute name", U"<a {x}=1>", {"bail: brace in an attribute name"}},
    {"unusual start tag", ustring(U"<a") + U'\0' + U">", {"bail: unusual start tag"}},
    {"xml processing instruction", U"<?XML version='1.0'?>", {"bail: xml processing instruction"}},
    {"marked section without a keyword", U"<![ x ]]>", {"bail: marked section without a keyword"}},
    {"unknown marked section keyword", U"<![foo[ x ]]>", {"bail: unknown marked section keyword"}},
    {"non-ASCII letter in a raw text end tag",
     U"<script>x</scr\u0130pt>",
     {"bail: non-ASCII letter in a raw text end tag"}},
    {"decimal reference too long", U"&#" + ustring(1001, U'9') + U";", {"bail: decimal reference too long"}},
};

}  // namespace

int main() {
    // str.lower() of non-ASCII names asks the interpreter.
    Py_InitializeEx(0);
    for (const Case& c : cases) check(c);
    std::printf("%zu cases, %d failures\n", cases.size(), failures);
    return failures == 0 ? 0 : 1;
}
