// BeautifulSoup's tree building, on a light tree of its own.
//
// Follows bs4's BeautifulSoupHTMLParser (the html.parser handlers: attribute
// dict, character and entity references, declarations) and the BeautifulSoup
// object's tree logic: the open-tag stack, end tags closing up to the nearest
// open tag of that name, void elements and their already-closed end tags,
// strings merged between events, whitespace-only strings collapsed outside
// pre/textarea, and the multi-valued attributes (class, rel, ...) split on
// whitespace (soupparser joins them back with single spaces, so they are
// stored joined).
//
// `Soup` is the sink the html.parser tokenizer (html_tokenizer.hpp) feeds.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "chars.hpp"
#include "html_tokenizer.hpp"

namespace ostrel::treebuilder {

// Deeper trees are left to the slow path: soupparser converts them with one
// Python frame per level, and near the interpreter's recursion limit that
// raises where the builder would not.
constexpr size_t kMaxDepth = 256;

// The lists BeautifulSoup's html.parser builder works from, read once at
// import from bs4.
struct SoupTables {
    std::unordered_map<ustring, ustring> entities;    // EntitySubstitution.HTML_ENTITY_TO_CHARACTER
    std::unordered_map<int, ustring> windows_1252;    // UnicodeDammit.WINDOWS_1252_TO_UTF8
    std::unordered_set<ustring> void_elements;        // builder.empty_element_tags
    std::unordered_set<ustring> preserve_whitespace;  // builder.preserve_whitespace_tags
    std::unordered_set<ustring> list_attributes_any;  // cdata_list_attributes["*"]
    std::unordered_map<ustring, std::unordered_set<ustring>> list_attributes;  // by tag
};
SoupTables load_soup_tables();

enum class Kind : uint8_t { Tag, Text, Comment, PI, Doctype, Declaration, CData };

// NavigableString and the subclasses soupparser treats as text.
inline bool is_string(Kind k) {
    return k == Kind::Text || k == Kind::Doctype || k == Kind::Declaration || k == Kind::CData;
}

constexpr uint32_t kNoSource = UINT32_MAX;

// A node's place in Soup::nodes; links to no node are kNoNode.
using NodeId = int32_t;
constexpr NodeId kNoNode = -1;

struct Node {
    Kind kind;
    uint32_t name = 0;                       // tags: the name's id in Names
    uint32_t off = 0, len = 0;               // strings: their text in Soup::text
    uint32_t src = kNoSource;                // strings: where the same text is in the page, if it is
    uint32_t attrs = 0, nattrs = 0;          // tags: their attributes in Soup::attrs
    NodeId first = kNoNode, last = kNoNode;  // children
    NodeId next = kNoNode;                   // next sibling
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
    enum : uint8_t { kVoid = 1, kPreserve = 2, kListAny = 4, kListTag = 8 };

    explicit Names(const SoupTables& tables) : tables_(tables) {}
    uint32_t id(const ustring& name);
    const ustring& str(uint32_t id) const { return strings_[id]; }
    void clear() {
        slots_.clear();
        hashes_.clear();
        strings_.clear();
        flags_.clear();
    }
    bool has(uint32_t id, uint8_t flag) const { return flags_[id] & flag; }
    size_t size() const { return strings_.size(); }

private:
    static constexpr uint32_t kFree = UINT32_MAX;
    void grow();

    const SoupTables& tables_;
    // Open addressing: the ids by hash, kFree where no name is; never more
    // than half full.
    std::vector<uint32_t> slots_;
    std::vector<uint64_t> hashes_;  // by id
    std::vector<ustring> strings_;
    std::vector<uint8_t> flags_;
};

// The tree: node 0 is the document; `finish()` closes what is still open.
// One Soup may build page after page (`reset`): its buffers keep their room
// and its names their ids, so that a page costs no allocation that the page
// before had already made.
class Soup {
public:
    std::vector<Node> nodes;
    ustring text;    // the strings, one after another
    ustring values;  // the attribute values
    std::vector<Attr> attrs;
    Names names;
    uint32_t html;  // the id of "html"

    Soup(size_t length, const SoupTables& tables);
    // Empties the tree for a page of `length` characters.
    void reset(size_t length);
    // Gives back buffers grown beyond what a common page needs.
    void trim();
    void finish();

    // The node `id`, which is one (never kNoNode).
    Node& node(NodeId id) { return nodes[static_cast<size_t>(id)]; }
    const Node& node(NodeId id) const { return nodes[static_cast<size_t>(id)]; }

    // --- the html.parser handlers -------------------------------------------

    // Text that is the page's own from offset `src` on.
    template <class C>
    void page_data(const C* s, size_t n, size_t src) {
        if (!have_data_) {
            pending_ = text.size();
            have_data_ = true;
            pending_src_ = static_cast<uint32_t>(src);
        } else if (pending_src_ != kNoSource && pending_src_ + (text.size() - pending_) != src) {
            pending_src_ = kNoSource;
        }
        append_units(text, s, n);
    }
    // Text the parser made itself.
    void data(const char32_t* s, size_t n);

    void start_tag(const StartTag& tag) { open_tag(tag, true); }
    // <tag/>: opened without the void-element rule, then closed.
    void startend_tag(const StartTag& tag) {
        open_tag(tag, false);
        end_tag(names.id(tag.name), false);
    }
    void end_tag(const ustring& name) { end_tag(names.id(name), true); }

    // The digits of &#...; ("x1F" or "31").
    template <class C>
    void charref(const C* s, size_t n) {
        bool hex = s[0] == 'x' || s[0] == 'X';
        charref_value(hex ? parse_number(s + 1, n - 1, 16) : parse_number(s, n, 10));
    }
    template <class C>
    void entityref(const C* s, size_t n) {
        assign_units(key_, s, n);
        entityref_key();
    }

    template <class C>
    void comment(const C* s, size_t n, size_t src) {
        string_node(s, n, src, Kind::Comment);
    }
    template <class C>
    void pi(const C* s, size_t n, size_t src) {
        string_node(s, n, src, Kind::PI);
    }
    // "DOCTYPE ..." from <!DOCTYPE ...>: the first eight characters dropped.
    template <class C>
    void decl(const C* s, size_t n, size_t src) {
        if (n > 8)
            string_node(s + 8, n - 8, src + 8, Kind::Doctype);
        else
            string_node(s, 0, src, Kind::Doctype, true);
    }
    // The inside of <![...]>: "CDATA[" starts a CData string, anything else
    // is a Declaration.
    template <class C>
    void unknown_decl(const C* s, size_t n, size_t src) {
        if (n >= 6 && (s[0] | 0x20) == 'c' && (s[1] | 0x20) == 'd' && (s[2] | 0x20) == 'a' &&
            (s[3] | 0x20) == 't' && (s[4] | 0x20) == 'a' && s[5] == '[')
            string_node(s + 6, n - 6, src + 6, Kind::CData, n == 6);
        else
            string_node(s, n, src, Kind::Declaration, n == 0);
    }

private:
    // The string s[0:n] as a node of its own; `made` when it is empty text
    // rather than a stretch of the page.
    template <class C>
    void string_node(const C* s, size_t n, size_t src, Kind kind, bool made = false) {
        end_data();
        if (made)
            data(U"", 0);
        else
            page_data(s, n, src);
        end_data(kind);
    }
    void charref_value(uint32_t num);
    void entityref_key();
    void open_tag(const StartTag& tag, bool void_ok);
    void end_tag(uint32_t name, bool check_already_closed);
    void end_data(Kind kind = Kind::Text);
    NodeId append(const Node& new_node);
    void close(uint32_t name);
    void pop();

    const SoupTables& tables_;
    std::vector<NodeId> stack_;
    std::vector<int> open_;            // open tags by name id
    std::vector<int> already_closed_;  // void end tags still to ignore, by name id
    int preserve_depth_ = 0;
    size_t pending_ = 0;
    uint32_t pending_src_ = kNoSource;
    bool have_data_ = false;
    ustring key_;                // scratch: a name being looked up
    std::vector<Attr> deduped_;  // scratch: a start tag's attributes, values in its text
};

}  // namespace ostrel::treebuilder
