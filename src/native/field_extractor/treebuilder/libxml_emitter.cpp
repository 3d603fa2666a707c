// soupparser's conversion straight into a libxml2 document; see
// libxml_emitter.hpp.
#include "libxml_emitter.hpp"

#include <dlfcn.h>

#include <pybind11/pybind11.h>

// Only the declarations and struct layouts of the libxml2 that lxml bundles:
// the functions are the ones in lxml's etree module, looked up at import.
#include <libxml/HTMLtree.h>
#include <libxml/dict.h>
#include <libxml/tree.h>
#include <libxml/valid.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lxml_emitter.hpp"
#include "ostrel_native.hpp"

namespace py = pybind11;

namespace ostrel::treebuilder {

namespace {

// The libxml2 functions lxml calls for soupparser's conversion, and what the
// hand-over needs.
struct Libxml {
    decltype(&::htmlNewDoc) new_html_doc;
    decltype(&::xmlNewDocNodeEatName) new_element;
    decltype(&::xmlDocSetRootElement) set_root;
    decltype(&::xmlNewDocTextLen) new_text;
    decltype(&::xmlNewDocComment) new_comment;
    decltype(&::xmlNewDocPI) new_pi;
    decltype(&::xmlValidateNameValue) valid_name;
    decltype(&::xmlNewProp) new_prop;
    decltype(&::xmlAddChild) add_child;
    decltype(&::xmlAddNextSibling) add_next;
    decltype(&::xmlAddPrevSibling) add_prev;
    decltype(&::xmlFreeDoc) free_doc;
    decltype(&::xmlDictCreate) new_dict;
    decltype(&::xmlDictLookup) dict_lookup;
};
const Libxml* libxml;
PyObject* adopt_document;  // lxml.etree.adopt_external_document

// The capsule lxml takes a document from, and the context under which it
// takes the ownership (and then clears the capsule's destructor).
constexpr const char* kCapsuleName = "libxml2:xmlDoc";
constexpr const char* kCapsuleContext = "destructor:xmlFreeDoc";

void free_unadopted(PyObject* capsule) {
    void* doc = PyCapsule_GetPointer(capsule, kCapsuleName);
    if (doc)
        libxml->free_doc(static_cast<xmlDoc*>(doc));
    else
        PyErr_Clear();
}

template <class F>
bool look_up(void* module, const char* name, F& fn) {
    void* symbol = dlsym(module, name);
    fn = reinterpret_cast<F>(symbol);
    return symbol != nullptr;
}

[[noreturn]] void no_memory() {
    PyErr_NoMemory();
    throw_error();
}
template <class T>
T* made(T* node) {
    if (!node) no_memory();
    return node;
}

// A growing buffer of UTF-8 bytes, written without being cleared first and
// kept from page to page.
class Utf8 {
public:
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    const char* data() const { return bytes_.get(); }
    std::string_view view() const { return {bytes_.get(), size_}; }
    // NUL-terminated.
    const xmlChar* c_str() {
        *reserve(1) = 0;
        return reinterpret_cast<const xmlChar*>(bytes_.get());
    }
    // Room for `more` bytes at the end.
    char* reserve(size_t more) {
        if (size_ + more > room_) {
            size_t room = std::max(size_ + more, 2 * room_);
            std::unique_ptr<char[]> bytes(new char[room]);
            if (size_) std::memcpy(bytes.get(), bytes_.get(), size_);
            bytes_ = std::move(bytes);
            room_ = room;
        }
        return bytes_.get() + size_;
    }
    void end_at(char* p) { size_ = static_cast<size_t>(p - bytes_.get()); }
    // Gives back a buffer grown beyond what a common page needs.
    void trim() {
        if (room_ > (size_t{1} << 20)) {
            bytes_.reset();
            room_ = size_ = 0;
        }
    }

private:
    std::unique_ptr<char[]> bytes_;
    size_t size_ = 0, room_ = 0;
};

// Appends the UTF-8 of s[0:n] to `out`; false (and `out` left unfinished)
// where lxml refuses the string (its _utf8: control characters but tab,
// newline and carriage return, U+FFFE, U+FFFF, and surrogates, which
// str.encode refuses).
bool append_utf8(const char32_t* s, size_t n, Utf8& out) {
    char* p = out.reserve(4 * n);
    const char32_t* end = s + n;
    for (; s < end; ++s) {
        // Printable ASCII, four at a time.
        while (end - s >= 4 && ((s[0] | s[1] | s[2] | s[3]) < 0x80) && s[0] >= 0x20 && s[1] >= 0x20 &&
               s[2] >= 0x20 && s[3] >= 0x20) {
            p[0] = static_cast<char>(s[0]);
            p[1] = static_cast<char>(s[1]);
            p[2] = static_cast<char>(s[2]);
            p[3] = static_cast<char>(s[3]);
            p += 4;
            s += 4;
        }
        if (s == end) break;
        char32_t c = *s;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) return false;
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.end_at(p);
    return true;
}

// The buffers of a conversion, kept by the thread between pages (see
// Scratch::Lease).
struct Scratch {
    std::vector<const xmlChar*> names;  // by name id, in the document's dictionary
    std::vector<char> tag_ok;           // by name id: checked as a tag name
    Utf8 text, tail, value, target, name;
    ustring unescaped;

    void trim() {
        for (Utf8* b : {&text, &tail, &value, &target, &name}) b->trim();
        if (unescaped.capacity() > (size_t{1} << 18)) ustring().swap(unescaped);
    }

    // The thread's Scratch, or one of its own for a conversion that starts
    // while the thread's is in use.
    class Lease {
    public:
        Lease() {
            static thread_local std::unique_ptr<Scratch> kept;
            static thread_local bool lent = false;
            if (!lent) {
                if (!kept) kept = std::make_unique<Scratch>();
                scratch_ = kept.get();
                lent_ = &lent;
                lent = true;
            } else {
                own_ = std::make_unique<Scratch>();
                scratch_ = own_.get();
            }
        }
        ~Lease() {
            if (lent_) {
                scratch_->trim();
                *lent_ = false;
            }
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Scratch& get() { return *scratch_; }

    private:
        Scratch* scratch_ = nullptr;
        bool* lent_ = nullptr;
        std::unique_ptr<Scratch> own_;
    };
};

// Owns the document until lxml does.
struct OwnedDoc {
    xmlDoc* doc;
    ~OwnedDoc() {
        if (doc) libxml->free_doc(doc);
    }
};

class Builder {
public:
    Builder(Soup& soup, const UnescapeTables& tables, Scratch& scratch)
        : soup_(soup),
          tables_(tables),
          names_(scratch.names),
          tag_ok_(scratch.tag_ok),
          text_(scratch.text),
          tail_(scratch.tail),
          value_(scratch.value),
          target_(scratch.target),
          scratch_utf8_(scratch.name),
          scratch_(scratch.unescaped) {
        names_.assign(soup.names.size(), nullptr);
        tag_ok_.assign(soup.names.size(), 0);
    }

    PyObject* convert() {
        RootPlan plan = plan_root(soup_);
        // lxml's new HTML document (htmlNewDoc(NULL, NULL), which gives it
        // its HTML 4.0 doctype) with a name dictionary of its own.
        OwnedDoc owned{made(libxml->new_html_doc(nullptr, nullptr))};
        doc_ = owned.doc;
        doc_->dict = made(libxml->new_dict());

        // The root as makeElement makes it: created, made the root, its text,
        // its attributes.
        NodeId cursor = plan.first_child;
        const Node* html_root = plan.html_root >= 0 ? &soup_.node(plan.html_root) : nullptr;
        xmlNode* root = element(html_root ? html_root->name : soup_.html);
        libxml->set_root(doc_, root);
        if (gather(cursor, text_)) made(libxml->add_child(root, text_node(text_)));
        if (html_root) attributes(root, *html_root);
        fill(root, cursor);

        // Comments and processing instructions around the root, as
        // addprevious and addnext place them; strings are dropped.
        xmlNode* prev = root;
        for (size_t i = plan.roots_begin; i-- > 0;) {
            const Node& node = soup_.node(plan.top[i]);
            if (!is_string(node.kind)) prev = made(libxml->add_prev(prev, standalone(node)));
        }
        prev = root;
        for (size_t i = plan.roots_end; i < plan.top.size(); ++i) {
            const Node& node = soup_.node(plan.top[i]);
            if (!is_string(node.kind)) prev = made(libxml->add_next(prev, standalone(node)));
        }

        // The hand-over: from here on lxml owns the document.
        py::object capsule = steal(PyCapsule_New(doc_, kCapsuleName, free_unadopted));
        owned.doc = nullptr;
        if (PyCapsule_SetContext(capsule.ptr(), const_cast<char*>(kCapsuleContext)) < 0) throw_error();
        py::object tree = steal(check_lxml(
            PyObject_CallFunctionObjArgs(adopt_document, capsule.ptr(), lxml_html_parser(), nullptr)));
        py::object res_root =
            steal(check_lxml(PyObject_CallMethodNoArgs(tree.ptr(), interned("getroot").ptr())));
        if (plan.declaration >= 0) set_docinfo(res_root.ptr(), soup_, soup_.node(plan.declaration));
        if (plan.returns_inner_html) return inner_html(res_root.ptr());
        return res_root.release().ptr();
    }

private:
    // Converts the nodes from `cursor` on into `parent`, depth first without
    // recursion, in makeSubElement's order: the element appended, its text,
    // its tail, its attributes.
    void fill(xmlNode* parent, NodeId cursor) {
        struct Frame {
            xmlNode* element;
            NodeId cursor;
        };
        std::vector<Frame> frames;
        frames.push_back(Frame{parent, cursor});
        while (!frames.empty()) {
            Frame& f = frames.back();
            if (f.cursor < 0) {
                frames.pop_back();
                continue;
            }
            const Node& node = soup_.node(f.cursor);
            f.cursor = node.next;
            bool has_tail = gather(f.cursor, tail_);
            xmlNode* into = f.element;
            xmlNode* made_node;
            NodeId child = kNoNode;
            if (node.kind == Kind::Tag) {
                made_node = made(libxml->add_child(into, element(node.name)));
                child = node.first;
                if (gather(child, text_)) made(libxml->add_child(made_node, text_node(text_)));
            } else {
                made_node = made(libxml->add_child(into, standalone(node)));
            }
            if (has_tail) made(libxml->add_next(made_node, text_node(tail_)));
            if (node.kind == Kind::Tag) {
                attributes(made_node, node);
                if (child >= 0) frames.push_back(Frame{made_node, child});
            }
        }
    }

    // The UTF-8 of a name as lxml's _getNsTag gives it; names it would read
    // as {namespace}name are declined.
    const xmlChar* name(uint32_t id) {
        const xmlChar*& interned_name = names_[id];
        if (interned_name) return interned_name;
        const ustring& s = soup_.names.str(id);
        scratch_utf8_.clear();
        if (s.empty()) bail("lxml refused a node");
        if (s[0] == '{') bail("namespaced name");
        if (!append_utf8(s.data(), s.size(), scratch_utf8_)) bail("lxml refused a node");
        interned_name =
            made(libxml->dict_lookup(doc_->dict, reinterpret_cast<const xmlChar*>(scratch_utf8_.data()),
                                     static_cast<int>(scratch_utf8_.size())));
        return interned_name;
    }

    // A new element named as the tag `id`, checked as lxml checks HTML tag
    // names.
    xmlNode* element(uint32_t id) {
        const xmlChar* tag = name(id);
        if (!tag_ok_[id]) {
            for (const xmlChar* c = tag; *c; ++c)
                if (std::strchr("&<>/\"'\t\n\x0b\x0c\r ", *c)) bail("lxml refused a node");
            tag_ok_[id] = 1;
        }
        // The name is the dictionary's, as xmlNewDocNode would look it up.
        return made(libxml->new_element(doc_, nullptr, const_cast<xmlChar*>(tag), nullptr));
    }

    void attributes(xmlNode* element, const Node& tag) {
        for (uint32_t k = tag.attrs; k < tag.attrs + tag.nattrs; ++k) {
            const Attr& a = soup_.attrs[k];
            const xmlChar* attr_name = name(a.name);
            value_.clear();
            if (!unescaped_utf8(soup_.values.data() + a.off, a.len, value_)) bail("lxml refused a node");
            made(libxml->new_prop(element, attr_name, value_.c_str()));
        }
    }

    // A comment as lxml.html.HtmlComment(text) makes it, or a processing
    // instruction as etree.ProcessingInstruction(target[, text]) from
    // soupparser: the data without a final '?', split at its first space.
    xmlNode* standalone(const Node& node) {
        const char32_t* s = soup_.text.data() + node.off;
        size_t n = node.len;
        value_.clear();
        if (node.kind == Kind::Comment) {
            if (!append_utf8(s, n, value_)) bail("lxml refused a node");
            return made(libxml->new_comment(doc_, value_.c_str()));
        }
        if (n > 0 && s[n - 1] == '?') --n;
        const char32_t* space = std::char_traits<char32_t>::find(s, n, U' ');
        size_t target_length = space ? static_cast<size_t>(space - s) : n;
        target_.clear();
        if (!append_utf8(s, target_length, target_)) bail("lxml refused a node");
        // A name by libxml2's rules, without a colon, and not "xml" in any case.
        const xmlChar* target = target_.c_str();
        std::string_view target_name = target_.view();
        if (!libxml->valid_name(target) || target_name.find(':') != std::string_view::npos)
            bail("lxml refused a node");
        if (target_name.size() == 3 && (target_name[0] | 0x20) == 'x' && (target_name[1] | 0x20) == 'm' &&
            (target_name[2] | 0x20) == 'l')
            bail("lxml refused a node");
        if (space) {
            size_t rest = target_length + 1;
            if (!append_utf8(s + rest, n - rest, value_) ||
                value_.view().find("?>") != std::string_view::npos)
                bail("lxml refused a node");
        }
        return made(libxml->new_pi(doc_, target, value_.c_str()));
    }

    xmlNode* text_node(Utf8& text) {
        if (text.size() > INT_MAX) bail("text of more than 2 GB");
        // Never a null pointer: an empty string still makes a text node with
        // content.
        return made(libxml->new_text(doc_, text.c_str(), static_cast<int>(text.size())));
    }

    // s[0:n] after soupparser's unescape, as UTF-8 appended to `out`; false
    // where lxml refuses it.
    bool unescaped_utf8(const char32_t* s, size_t n, Utf8& out) {
        if (std::char_traits<char32_t>::find(s, n, U'&') == nullptr) return append_utf8(s, n, out);
        scratch_.clear();
        soup_unescape_into(s, n, tables_, scratch_);
        return append_utf8(scratch_.data(), scratch_.size(), out);
    }

    // Moves `cursor` past the strings it points at and puts them, resolved
    // by soupparser's unescape and joined, into `out`; false when there is
    // none (no text node, where an empty string still makes one).
    bool gather(NodeId& cursor, Utf8& out) {
        out.clear();
        bool any = false;
        while (cursor >= 0 && is_string(soup_.node(cursor).kind)) {
            const Node& node = soup_.node(cursor);
            if (!unescaped_utf8(soup_.text.data() + node.off, node.len, out)) bail("lxml refused a node");
            any = true;
            cursor = node.next;
        }
        return any;
    }

    Soup& soup_;
    const UnescapeTables& tables_;
    xmlDoc* doc_ = nullptr;
    std::vector<const xmlChar*>& names_;  // by name id, in the document's dictionary
    std::vector<char>& tag_ok_;           // by name id: checked as a tag name
    Utf8 &text_, &tail_, &value_, &target_, &scratch_utf8_;
    ustring& scratch_;
};

}  // namespace

bool init_libxml_emitter() {
    py::module_ etree = py::module_::import("lxml.etree");
    std::string path = py::str(etree.attr("__file__"));
    // The module as the interpreter loaded it: never a second copy.
    void* module = dlopen(path.c_str(), RTLD_NOLOAD | RTLD_LAZY);
    if (!module) return false;
    auto* l = new Libxml();
    bool found =
        look_up(module, "htmlNewDoc", l->new_html_doc) &&
        look_up(module, "xmlNewDocNodeEatName", l->new_element) &&
        look_up(module, "xmlDocSetRootElement", l->set_root) &&
        look_up(module, "xmlNewDocTextLen", l->new_text) &&
        look_up(module, "xmlNewDocComment", l->new_comment) && look_up(module, "xmlNewDocPI", l->new_pi) &&
        look_up(module, "xmlValidateNameValue", l->valid_name) &&
        look_up(module, "xmlNewProp", l->new_prop) && look_up(module, "xmlAddChild", l->add_child) &&
        look_up(module, "xmlAddNextSibling", l->add_next) &&
        look_up(module, "xmlAddPrevSibling", l->add_prev) && look_up(module, "xmlFreeDoc", l->free_doc) &&
        look_up(module, "xmlDictCreate", l->new_dict) && look_up(module, "xmlDictLookup", l->dict_lookup);
    if (!found) {
        delete l;
        return false;
    }
    // Kept for the life of the process, as the module is.
    libxml = l;
    adopt_document = py::object(etree.attr("adopt_external_document")).release().ptr();
    return true;
}

PyObject* emit_libxml_tree(Soup& soup, const UnescapeTables& tables) {
    Scratch::Lease lease;
    return Builder(soup, tables, lease.get()).convert();
}

}  // namespace ostrel::treebuilder
