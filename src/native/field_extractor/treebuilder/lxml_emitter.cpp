// Follows lxml.html.soupparser's conversion; see lxml_emitter.hpp.
#include "lxml_emitter.hpp"

#include <pybind11/pybind11.h>

// Only the libxml2 types: the functions used are lxml's, looked up at import
// (the header's function pointers are static, filled in this file only).
#include <libxml/tree.h>
#include "lxml-version.h"
#include "lxml.etree_api.h"

#include <string>
#include <utility>
#include <vector>

#include "ostrel_native.hpp"

namespace py = pybind11;

namespace ostrel::treebuilder {

namespace {

// The Python objects soupparser's conversion calls.
struct LxmlObjects {
    PyObject* html_parser = nullptr;    // lxml.html.html_parser
    PyObject* html_comment = nullptr;   // lxml.html.HtmlComment
    PyObject* make_pi = nullptr;        // lxml.etree.ProcessingInstruction
    PyObject* doctype_match = nullptr;  // soupparser._parse_doctype_declaration
};
const LxmlObjects* objects;

void check(int status) {
    if (status >= 0) return;
    check_lxml(nullptr);
}
PyObject* check(PyObject* result) { return check_lxml(result); }

class Emitter {
public:
    Emitter(Soup& soup, PyObject* page, const UnescapeTables& tables)
        : soup_(soup), page_(page), tables_(tables), py_names_(soup.names.size(), nullptr) {}
    ~Emitter() {
        for (PyObject* name : py_names_) Py_XDECREF(name);
    }

    // The element soupparser.fromstring returns (a new reference).
    PyObject* convert() {
        RootPlan plan = plan_root(soup_);
        NodeId cursor = plan.first_child;
        const std::vector<NodeId>& top = plan.top;
        NodeId html_root = plan.html_root;
        bool has_text = false;
        gather(cursor, has_text);
        py::object text = has_text ? text_obj() : py::none();
        PyObject* root_name = html_root >= 0 ? name(soup_.node(html_root).name) : name(soup_.html);
        py::object attrib = html_root >= 0 ? attributes(soup_.node(html_root), true) : empty_dict();
        py::object res_root = steal(check(reinterpret_cast<PyObject*>(
            makeElement(root_name, reinterpret_cast<LxmlDocument*>(Py_None), objects->html_parser, text.ptr(),
                        Py_None, attrib.ptr(), Py_None))));
        fill(res_root, cursor);

        // Comments and processing instructions around the root.
        py::object prev = res_root;
        for (size_t i = plan.roots_begin; i-- > 0;) {
            py::object converted = standalone(soup_.node(top[i]));
            if (!converted) continue;
            steal(
                check(PyObject_CallMethodOneArg(prev.ptr(), interned("addprevious").ptr(), converted.ptr())));
            prev = converted;
        }
        prev = res_root;
        for (size_t i = plan.roots_end; i < top.size(); ++i) {
            py::object converted = standalone(soup_.node(top[i]));
            if (!converted) continue;
            steal(check(PyObject_CallMethodOneArg(prev.ptr(), interned("addnext").ptr(), converted.ptr())));
            prev = converted;
        }

        if (plan.declaration >= 0) set_docinfo(res_root.ptr(), soup_, soup_.node(plan.declaration));

        if (plan.returns_inner_html) return inner_html(res_root.ptr());
        return res_root.release().ptr();
    }

private:
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
        soup_unescape_into(s, n, tables_, scratch_);
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
    void gather(NodeId& cursor, bool& any) {
        any = false;
        gathered_.clear();
        single_ = kNoNode;
        int count = 0;
        while (cursor >= 0 && is_string(soup_.node(cursor).kind)) {
            const Node& node = soup_.node(cursor);
            if (count++ == 0)
                single_ = cursor;
            else {
                if (count == 2) {
                    const Node& head = soup_.node(single_);
                    soup_unescape_into(soup_.text.data() + head.off, head.len, tables_, gathered_);
                }
                soup_unescape_into(soup_.text.data() + node.off, node.len, tables_, gathered_);
            }
            any = true;
            cursor = node.next;
        }
        if (count > 1) single_ = kNoNode;
    }
    py::object text_obj() {
        if (single_ >= 0) {
            const Node& node = soup_.node(single_);
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
    void fill(const py::object& parent, NodeId cursor) {
        struct Frame {
            py::object element;
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
            bool has_tail = false;
            gather(f.cursor, has_tail);
            py::object tail = has_tail ? text_obj() : py::none();
            LxmlElement* into = reinterpret_cast<LxmlElement*>(f.element.ptr());
            if (node.kind == Kind::Tag) {
                NodeId child = node.first;
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
            return steal(check(PyObject_CallOneArg(objects->html_comment, text.ptr())));
        }
        if (node.kind == Kind::PI) {
            ustring data(s, s + node.len);
            if (!data.empty() && data.back() == '?') data.pop_back();
            size_t space = data.find(U' ');
            if (space == ustring::npos) {
                py::object target = str_of(data.data(), data.size());
                return steal(check(PyObject_CallOneArg(objects->make_pi, target.ptr())));
            }
            py::object target = str_of(data.data(), space);
            py::object rest = str_of(data.data() + space + 1, data.size() - space - 1);
            return steal(
                check(PyObject_CallFunctionObjArgs(objects->make_pi, target.ptr(), rest.ptr(), nullptr)));
        }
        return py::object();
    }

    Soup& soup_;
    PyObject* page_;
    const UnescapeTables& tables_;
    std::vector<PyObject*> py_names_;
    ustring scratch_, gathered_;
    NodeId single_ = kNoNode;
};

}  // namespace

// Unlike ostrel::steal, a failed lxml call is not an error of build(): an
// Exception declines the page (soupparser's caller would fall back the same
// way); anything that is not an Exception (KeyboardInterrupt, ...)
// propagates.
PyObject* check_lxml(PyObject* result) {
    if (result) return result;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        bail("lxml refused a node");
    }
    throw_error();
}

RootPlan plan_root(Soup& soup) {
    RootPlan plan;
    std::vector<NodeId>& top = plan.top;
    for (NodeId id = soup.node(0).first; id >= 0; id = soup.node(id).next) top.push_back(id);
    // The roots: top[roots_begin:roots_end], from the first top-level tag to
    // the last, or all of top when there is none.
    plan.roots_end = top.size();
    bool any_tag = false;
    for (size_t i = 0; i < top.size(); ++i) {
        const Node& e = soup.node(top[i]);
        if (e.kind == Kind::Tag) {
            if (!any_tag) plan.roots_begin = i;
            any_tag = true;
            plan.roots_end = i + 1;
            if (plan.html_root < 0 && e.name == soup.html) plan.html_root = top[i];
        } else if (plan.declaration < 0 && (e.kind == Kind::Doctype || e.kind == Kind::Declaration)) {
            plan.declaration = top[i];
        }
    }
    // One html root: the first top-level html element, which takes the other
    // roots around its own children, or a new html element. The root's
    // children are relinked into one list.
    std::vector<NodeId> children;
    for (size_t i = plan.roots_begin; i < plan.roots_end; ++i) {
        if (top[i] != plan.html_root) {
            children.push_back(top[i]);
            continue;
        }
        for (NodeId id = soup.node(plan.html_root).first; id >= 0; id = soup.node(id).next)
            children.push_back(id);
    }
    for (size_t i = 0; i < children.size(); ++i)
        soup.node(children[i]).next = i + 1 < children.size() ? children[i + 1] : kNoNode;
    plan.first_child = children.empty() ? kNoNode : children[0];
    // soupparser returns the root's only child when that is an html element.
    NodeId only = kNoNode;
    int count = 0;
    for (NodeId id : children)
        if (!is_string(soup.node(id).kind)) {
            ++count;
            only = id;
        }
    plan.returns_inner_html =
        count == 1 && soup.node(only).kind == Kind::Tag && soup.node(only).name == soup.html;
    return plan;
}

PyObject* inner_html(PyObject* root_element) {
    LxmlElement* root = reinterpret_cast<LxmlElement*>(root_element);
    xmlNode* c = root->_c_node->children;
    while (c && c->type != XML_ELEMENT_NODE) c = c->next;
    if (!c) bail("lost the inner html element");
    return check(reinterpret_cast<PyObject*>(elementFactory(root->_doc, c)));
}

void set_docinfo(PyObject* root, const Soup& soup, const Node& declaration) {
    ustring text = declaration.kind == Kind::Doctype ? U"<!DOCTYPE " : U"<?";
    text.append(soup.text, declaration.off, declaration.len);
    text += declaration.kind == Kind::Doctype ? U">\n" : U"?>";
    py::object string = steal(check(to_py(text)));
    py::object match = steal(check(PyObject_CallOneArg(objects->doctype_match, string.ptr())));
    if (match.is_none()) return;
    py::object groups = steal(check(PyObject_CallMethodNoArgs(match.ptr(), interned("groups").ptr())));
    py::object tree = steal(check(PyObject_CallMethodNoArgs(root, interned("getroottree").ptr())));
    py::object docinfo = steal(check(PyObject_GetAttr(tree.ptr(), interned("docinfo").ptr())));
    const char* fields[] = {"public_id", "system_url"};
    for (int k = 0; k < 2; ++k) {
        PyObject* g = PyTuple_GET_ITEM(groups.ptr(), k);
        py::object value;
        if (g == Py_None || PyUnicode_GET_LENGTH(g) == 0) {
            value = py::reinterpret_borrow<py::object>(g);
        } else {
            value = steal(check(PyUnicode_Substring(g, 1, PyUnicode_GET_LENGTH(g) - 1)));
        }
        check(PyObject_SetAttr(docinfo.ptr(), interned(fields[k]).ptr(), value.ptr()));
    }
}

PyObject* lxml_html_parser() { return objects->html_parser; }

void init_lxml_emitter() {
    if (import_lxml__etree() < 0) throw_error();
    // Kept for the life of the process, as the module is.
    auto* o = new LxmlObjects();
    py::module_ lxml_html = py::module_::import("lxml.html");
    o->html_parser = py::object(lxml_html.attr("html_parser")).release().ptr();
    o->html_comment = py::object(lxml_html.attr("HtmlComment")).release().ptr();
    o->make_pi = py::object(py::module_::import("lxml.etree").attr("ProcessingInstruction")).release().ptr();
    o->doctype_match =
        py::object(py::module_::import("lxml.html.soupparser").attr("_parse_doctype_declaration"))
            .release()
            .ptr();
    objects = o;
}

const char* lxml_built_against() { return LXML_VERSION_STRING; }

PyObject* emit_lxml_tree(Soup& soup, PyObject* page, const UnescapeTables& tables) {
    return Emitter(soup, page, tables).convert();
}

}  // namespace ostrel::treebuilder
