// Native builder of the page tree that requests_html parses for XPath.
//
// requests_html builds `doc.lxml` with lxml.html.soupparser on top of
// BeautifulSoup's html.parser builder: html.parser tokenises, BeautifulSoup
// arranges the tokens into its own tree, and soupparser copies that tree into
// lxml elements. `build(text)` gives the very element that chain returns, but
// does the work in one native pass, one file per stage:
//
//   html_tokenizer.hpp  html.parser (and _markupbase) tokenising the str in
//                       its own storage kind, feeding
//   soup_tree.*         BeautifulSoup's tree building, on a light tree, then
//   lxml_emitter.*      soupparser's conversion into lxml nodes, or
//   libxml_emitter.*    the same conversion into one libxml2 document that
//                       lxml adopts whole (the default where it loads);
//   chars.*             the character classes, html.unescape and
//                       soupparser's unescape they share.
//
// Wherever the result could differ, the builder gives up and returns None, and
// the caller keeps the slow path: constructs that make html.parser raise,
// start tags whose quoting makes its regular expressions backtrack, names with
// braces, XML processing instructions, nesting deeper than kMaxDepth, and any
// error lxml raises while the nodes are made.
//
// The entity tables, the void elements, the multi-valued attributes and the
// other lists come from the very modules whose behaviour is reproduced, read
// once at import.
#include <Python.h>

#include <pybind11/pybind11.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "chars.hpp"
#include "html_tokenizer.hpp"
#include "libxml_emitter.hpp"
#include "lxml_emitter.hpp"
#include "ostrel_native.hpp"
#include "soup_tree.hpp"

namespace py = pybind11;

namespace ostrel::treebuilder {
namespace {

// Read at import and kept for the life of the process.
const UnescapeTables* unescape_tables;
const SoupTables* soup_tables;

template <class C>
void tokenize(const C* s, size_t n, Soup& soup, ParserVersion version) {
    HtmlTokenizer<C, Soup>(s, n, *unescape_tables, soup, version).run();
}

// The Soup of this thread, lent to one build at a time and reset for each
// page: its buffers and names outlive the page. A build that starts while
// the thread's Soup is lent (a finalizer run by the garbage collector in the
// middle of a build) gets a Soup of its own.
class SoupLease {
public:
    explicit SoupLease(size_t length) {
        static thread_local std::unique_ptr<Soup> kept;
        static thread_local bool lent = false;
        if (!lent) {
            if (kept)
                kept->reset(length);
            else
                kept = std::make_unique<Soup>(length, *soup_tables);
            soup_ = kept.get();
            lent_ = &lent;
            lent = true;
        } else {
            own_ = std::make_unique<Soup>(length, *soup_tables);
            soup_ = own_.get();
        }
    }
    ~SoupLease() {
        if (lent_) {
            soup_->trim();
            *lent_ = false;
        }
    }
    SoupLease(const SoupLease&) = delete;
    SoupLease& operator=(const SoupLease&) = delete;
    Soup& soup() { return *soup_; }

private:
    Soup* soup_ = nullptr;
    bool* lent_ = nullptr;
    std::unique_ptr<Soup> own_;
};

// The names of the html.parser versions, as build() takes them (MODES).
constexpr std::pair<const char*, ParserVersion> kModes[] = {
    {"classic", ParserVersion::classic},  {"deb12u8", ParserVersion::deb12u8},
    {"deb12u9", ParserVersion::deb12u9},  {"py3.13.5", ParserVersion::py3_13_5},
    {"py3.14.10", ParserVersion::py3_14},
};

ParserVersion parser_version(const std::string& mode) {
    for (const auto& [name, version] : kModes)
        if (mode == name) return version;
    throw py::value_error("unknown html.parser mode '" + mode + "'");
}

// The emitters build() takes (EMITTERS): "libxml2" makes the document in
// libxml2 and hands it to lxml whole, "lxml" makes every node through lxml's
// C API (the reference). "libxml2" is the default where its functions were
// found in lxml.etree.
bool libxml_emitter_loaded;

bool use_libxml_emitter(const std::string& emitter) {
    if (emitter == "lxml") return false;
    if (emitter != "libxml2") throw py::value_error("unknown emitter '" + emitter + "'");
    if (!libxml_emitter_loaded) throw py::value_error("the libxml2 emitter did not load");
    return true;
}

std::pair<py::object, py::object> build_tree(py::handle text, ParserVersion version, bool libxml) {
    if (!PyUnicode_Check(text.ptr()))
        throw py::type_error(std::string("build() argument must be str, not ") +
                             Py_TYPE(text.ptr())->tp_name);
    PyObject* s = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    try {
        // BeautifulSoup warns about short markup-free text that looks like a
        // URL or a file name; leave such text to it.
        if (n <= 256 && PyUnicode_FindChar(s, '<', 0, n, 1) < 0 && PyUnicode_FindChar(s, '\n', 0, n, 1) < 0)
            bail("short text without markup");
        // Offsets into the page and the buffers are 32-bit.
        if (static_cast<uint64_t>(n) >= kNoSource / 2) bail("page longer than 2**31 characters");
        size_t length = static_cast<size_t>(n);  // a str's length, never negative
        SoupLease lease(length);
        Soup& soup = lease.soup();
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                tokenize(PyUnicode_1BYTE_DATA(s), length, soup, version);
                break;
            case PyUnicode_2BYTE_KIND:
                tokenize(PyUnicode_2BYTE_DATA(s), length, soup, version);
                break;
            default:
                tokenize(PyUnicode_4BYTE_DATA(s), length, soup, version);
                break;
        }
        soup.finish();
        if (libxml) return {steal(emit_libxml_tree(soup, *unescape_tables)), py::none()};
        return {steal(emit_lxml_tree(soup, s, *unescape_tables)), py::none()};
    } catch (const Bail& b) {
        return {py::none(), py::str(b.reason)};
    }
}

}  // namespace
}  // namespace ostrel::treebuilder

PYBIND11_MODULE(_treebuilder, m) {
    using namespace ostrel::treebuilder;
    init_lxml_emitter();
    libxml_emitter_loaded = init_libxml_emitter();
    unescape_tables = new UnescapeTables(load_unescape_tables());
    soup_tables = new SoupTables(load_soup_tables());
    m.attr("MAX_DEPTH") = kMaxDepth;
    // The lxml whose headers (struct layouts) this module was compiled with.
    m.attr("LXML_BUILT_AGAINST") = lxml_built_against();
    py::tuple modes(std::size(kModes));
    for (size_t k = 0; k < std::size(kModes); ++k) modes[k] = py::str(kModes[k].first);
    // The html.parser versions whose tokenizing build() follows: "classic"
    // (CPython 3.11.2 to 3.13.0), "deb12u8" and "deb12u9" (Debian 12's
    // python3.11 3.11.2-6+deb12u8 and +deb12u9), "py3.13.5" (Debian 13's
    // python3.13 3.13.5) and "py3.14.10" (python3.14 3.14.10, the same in
    // python3.15 3.15.2).
    m.attr("MODES") = modes;
    if (libxml_emitter_loaded)
        m.attr("EMITTERS") = py::make_tuple("libxml2", "lxml");
    else
        m.attr("EMITTERS") = py::make_tuple("lxml");
    const char* emitter = libxml_emitter_loaded ? "libxml2" : "lxml";
    m.def(
        "build",
        [](py::handle text, const std::string& mode, const std::string& emitter) {
            return build_tree(text, parser_version(mode), use_libxml_emitter(emitter)).first;
        },
        py::arg("text"), py::arg("mode") = "classic", py::kw_only(), py::arg("emitter") = emitter,
        "The element lxml.html.soupparser.fromstring(text, features='html.parser') returns, "
        "built natively with the html.parser `mode` (one of MODES) by `emitter` (one of EMITTERS), "
        "or None where the builder leaves the page to soupparser.");
    m.def(
        "build_with_reason",
        [](py::handle text, const std::string& mode, const std::string& emitter) {
            auto r = build_tree(text, parser_version(mode), use_libxml_emitter(emitter));
            return py::make_tuple(r.first, r.second);
        },
        py::arg("text"), py::arg("mode") = "classic", py::kw_only(), py::arg("emitter") = emitter,
        "(element, None), or (None, why the builder left the page to soupparser).");
}
