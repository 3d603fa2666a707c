// Follows bs4 (BeautifulSoupHTMLParser, the BeautifulSoup object's tree
// building, HTMLParserTreeBuilder's lists); see soup_tree.hpp.
#include "soup_tree.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>

namespace py = pybind11;

namespace ostrel::treebuilder {

namespace {

std::unordered_set<ustring> string_set(py::handle iterable) {
    std::unordered_set<ustring> out;
    for (py::handle item : iterable) out.insert(to_ustring(item.ptr()));
    return out;
}

}  // namespace

SoupTables load_soup_tables() {
    SoupTables t;
    py::module_ dammit = py::module_::import("bs4.dammit");
    for (auto item :
         py::reinterpret_borrow<py::dict>(dammit.attr("EntitySubstitution").attr("HTML_ENTITY_TO_CHARACTER")))
        t.entities.emplace(to_ustring(item.first.ptr()), to_ustring(item.second.ptr()));
    for (auto item :
         py::reinterpret_borrow<py::dict>(dammit.attr("UnicodeDammit").attr("WINDOWS_1252_TO_UTF8"))) {
        int code = item.first.cast<int>();
        if (code >= 0x80 && code <= 0x9F)
            t.windows_1252.emplace(code, to_ustring(item.second.attr("decode")("utf8").ptr()));
    }
    py::object builder = py::module_::import("bs4.builder._htmlparser").attr("HTMLParserTreeBuilder")();
    t.void_elements = string_set(builder.attr("empty_element_tags"));
    t.preserve_whitespace = string_set(builder.attr("preserve_whitespace_tags"));
    for (auto item : py::reinterpret_borrow<py::dict>(builder.attr("cdata_list_attributes"))) {
        ustring tag = to_ustring(item.first.ptr());
        if (tag == U"*")
            t.list_attributes_any = string_set(item.second);
        else
            t.list_attributes[tag] = string_set(item.second);
    }
    return t;
}

namespace {
// FNV-1a over the code points.
uint64_t name_hash(const ustring& name) {
    uint64_t h = 14695981039346656037ull;
    for (char32_t c : name) h = (h ^ c) * 1099511628211ull;
    return h;
}
}  // namespace

uint32_t Names::id(const ustring& name) {
    const uint64_t h = name_hash(name);
    if (!slots_.empty()) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
            uint32_t found = slots_[i];
            if (found == kFree) break;
            if (hashes_[found] == h && strings_[found] == name) return found;
        }
    }
    uint32_t id = static_cast<uint32_t>(strings_.size());
    uint8_t f = 0;
    if (tables_.void_elements.count(name)) f |= kVoid;
    if (tables_.preserve_whitespace.count(name)) f |= kPreserve;
    if (tables_.list_attributes_any.count(name)) f |= kListAny;
    if (tables_.list_attributes.count(name)) f |= kListTag;
    strings_.push_back(name);
    hashes_.push_back(h);
    flags_.push_back(f);
    if (2 * strings_.size() > slots_.size()) {
        grow();
    } else {
        const size_t mask = slots_.size() - 1;
        size_t i = static_cast<size_t>(h) & mask;
        while (slots_[i] != kFree) i = (i + 1) & mask;
        slots_[i] = id;
    }
    return id;
}

// Twice the slots (64 at first), every id placed anew.
void Names::grow() {
    slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), kFree);
    const size_t mask = slots_.size() - 1;
    for (uint32_t id = 0; id < strings_.size(); ++id) {
        size_t i = static_cast<size_t>(hashes_[id]) & mask;
        while (slots_[i] != kFree) i = (i + 1) & mask;
        slots_[i] = id;
    }
}

Soup::Soup(size_t length, const SoupTables& tables) : names(tables), tables_(tables) { reset(length); }

namespace {
// Kept between pages up to these sizes; trim() gives back more.
constexpr size_t kKeptNames = 4096;
constexpr size_t kKeptChars = size_t{1} << 20;
}  // namespace

void Soup::reset(size_t length) {
    nodes.clear();
    text.clear();
    values.clear();
    attrs.clear();
    stack_.clear();
    deduped_.clear();
    preserve_depth_ = 0;
    pending_ = 0;
    pending_src_ = kNoSource;
    have_data_ = false;
    if (names.size() > kKeptNames) {
        names.clear();
        open_.clear();
        already_closed_.clear();
    } else {
        std::fill(open_.begin(), open_.end(), 0);
        std::fill(already_closed_.begin(), already_closed_.end(), 0);
    }
    // Room for all the page's text at once, and a node per ~40 characters.
    text.reserve(length + 16);
    nodes.reserve(length / 40 + 64);
    Node doc{Kind::Tag};
    doc.name = names.id(U"[document]");
    html = names.id(U"html");
    nodes.push_back(doc);
    stack_.push_back(0);
}

void Soup::trim() {
    if (text.capacity() > kKeptChars) ustring().swap(text);
    if (values.capacity() > kKeptChars) ustring().swap(values);
    if (nodes.capacity() > kKeptChars / 16) std::vector<Node>().swap(nodes);
    if (attrs.capacity() > kKeptChars / 16) std::vector<Attr>().swap(attrs);
}

void Soup::finish() {
    end_data();
    while (stack_.size() > 1) pop();
}

void Soup::data(const char32_t* s, size_t n) {
    if (!have_data_) {
        pending_ = text.size();
        have_data_ = true;
    }
    pending_src_ = kNoSource;
    text.append(s, n);
}

// BeautifulSoupHTMLParser.handle_charref, after the digits are read.
void Soup::charref_value(uint32_t num) {
    if (num == 0 || num > 0x10FFFF || (num >= 0xD800 && num <= 0xDFFF)) {
        data(U"\uFFFD", 1);
        return;
    }
    if (num >= 0x80 && num <= 0x9F) {
        auto it = tables_.windows_1252.find(static_cast<int>(num));
        if (it != tables_.windows_1252.end()) {
            data(it->second.data(), it->second.size());
            return;
        }
    }
    char32_t c = static_cast<char32_t>(num);
    data(&c, 1);
}

// BeautifulSoupHTMLParser.handle_entityref on the name in key_.
void Soup::entityref_key() {
    auto it = tables_.entities.find(key_);
    if (it != tables_.entities.end()) {
        data(it->second.data(), it->second.size());
    } else {
        data(U"&", 1);
        data(key_.data(), key_.size());
    }
}

// BeautifulSoup.endData: the pending string becomes a node of `kind`.
void Soup::end_data(Kind kind) {
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
void Soup::open_tag(const StartTag& tag, bool void_ok) {
    uint32_t name = names.id(tag.name);
    // The attribute dict: a repeated name keeps its first place and takes
    // the last value.
    deduped_.clear();
    for (const TagAttr& a : tag.attrs) {
        key_.assign(tag.text, a.name_off, a.name_len);
        uint32_t id = names.id(key_);
        bool seen = false;
        for (Attr& other : deduped_)
            if (other.name == id) {
                other.off = a.value_off;
                other.len = a.value_len;
                seen = true;
                break;
            }
        if (!seen) deduped_.push_back(Attr{id, a.value_off, a.value_len});
    }
    end_data();
    Node node{Kind::Tag};
    node.name = name;
    node.attrs = static_cast<uint32_t>(attrs.size());
    node.nattrs = static_cast<uint32_t>(deduped_.size());
    const std::unordered_set<ustring>* specific = nullptr;
    if (!deduped_.empty() && names.has(name, Names::kListTag))
        specific = &tables_.list_attributes.find(names.str(name))->second;
    for (const Attr& a : deduped_) {
        uint32_t off = static_cast<uint32_t>(values.size());
        if (names.has(a.name, Names::kListAny) || (specific && specific->count(names.str(a.name)))) {
            // A multi-valued attribute: its whitespace-separated words.
            size_t p = a.off, n = a.off + a.len;
            bool any = false;
            while (p < n) {
                while (p < n && is_space(tag.text[p])) ++p;
                if (p == n) break;
                size_t e = p;
                while (e < n && !is_space(tag.text[e])) ++e;
                if (any) values += ' ';
                values.append(tag.text, p, e - p);
                any = true;
                p = e;
            }
        } else {
            values.append(tag.text, a.off, a.len);
        }
        attrs.push_back(Attr{a.name, off, static_cast<uint32_t>(values.size() - off)});
    }
    NodeId id = append(node);
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
void Soup::end_tag(uint32_t name, bool check_already_closed) {
    if (check_already_closed && name < already_closed_.size() && already_closed_[name] > 0) {
        --already_closed_[name];
        return;
    }
    close(name);
}

NodeId Soup::append(const Node& new_node) {
    NodeId id = static_cast<NodeId>(nodes.size());  // pages are under 2**31 characters
    nodes.push_back(new_node);
    Node& parent = node(stack_.back());
    if (parent.last >= 0)
        node(parent.last).next = id;
    else
        parent.first = id;
    parent.last = id;
    return id;
}

// BeautifulSoup.handle_endtag: the pending string, then _popToTag.
void Soup::close(uint32_t name) {
    end_data();
    if (name >= open_.size() || open_[name] == 0) return;
    while (stack_.size() > 1) {
        bool hit = node(stack_.back()).name == name;
        pop();
        if (hit) break;
    }
}

void Soup::pop() {
    uint32_t name = node(stack_.back()).name;
    --open_[name];
    if (names.has(name, Names::kPreserve)) --preserve_depth_;
    stack_.pop_back();
}

}  // namespace ostrel::treebuilder
