#include "list_rows.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "own_document.hpp"
#include "row_shapes.hpp"

namespace ostrel::list_rows {
namespace {

using own_document::compiled;
using own_document::is_lxml_element;
using own_document::utf8;

// Start indexes below this are left to the row XPaths: the answer would be
// that many empty texts, and the row XPaths take as long as they take.
constexpr long long kLowestStart = -(1LL << 20);

py::object parent_of(py::handle element) {
    return steal(PyObject_CallMethodNoArgs(element.ptr(), interned("getparent").ptr()));
}

// The rows: the length rule's matches by position within their parent.
struct Rows {
    std::vector<py::object> elements;  // the matches, in document order
    std::vector<size_t> position;      // 1-based, within the parent
    std::vector<size_t> group;         // index of the parent
    std::vector<py::object> parents;   // per group (None for the root)
    std::vector<size_t> group_size;
    size_t longest = 0;                // the largest position
    std::vector<size_t> start, order;  // order[start[p]..start[p+1]): the matches at p, document order
};

// Fills `rows` from lxml elements or requests_html Elements of them; false
// when a match is neither.
bool group_rows(py::handle length_elements, Rows& rows) {
    const Py_ssize_t n = PyList_GET_SIZE(length_elements.ptr());
    std::unordered_map<PyObject*, size_t> group_of;
    rows.elements.reserve(static_cast<size_t>(n));
    rows.position.reserve(static_cast<size_t>(n));
    rows.group.reserve(static_cast<size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(length_elements.ptr(), k);
        py::object element = borrow(item);
        if (own_document::is_element_wrapper(item))
            element = steal(PyObject_GetAttr(item, interned("element").ptr()));
        if (!is_lxml_element(element.ptr())) return false;
        py::object parent = parent_of(element);
        auto [found, added] = group_of.try_emplace(parent.ptr(), rows.parents.size());
        if (added) {
            rows.parents.push_back(parent);  // held: lxml keeps one proxy per node while it lives
            rows.group_size.push_back(0);
        }
        const size_t g = found->second;
        const size_t p = ++rows.group_size[g];
        rows.longest = std::max(rows.longest, p);
        rows.elements.push_back(std::move(element));
        rows.position.push_back(p);
        rows.group.push_back(g);
    }
    rows.start.assign(rows.longest + 2, 0);
    for (size_t p : rows.position) ++rows.start[p + 1];
    for (size_t p = 1; p < rows.start.size(); ++p) rows.start[p] += rows.start[p - 1];
    rows.order.resize(rows.elements.size());
    std::vector<size_t> next(rows.start.begin(), rows.start.end() - 1);
    for (size_t k = 0; k < rows.elements.size(); ++k) rows.order[next[rows.position[k]]++] = k;
    return true;
}

// Whether no row lies inside another (nested tables), so that the rows'
// subtrees are disjoint. False as well when finding out would cost more than
// the rows are worth.
bool rows_apart(const Rows& rows, const std::unordered_map<PyObject*, size_t>& row_at) {
    std::unordered_set<PyObject*> clear;  // nodes with no row at or above them
    std::vector<py::object> held;
    size_t budget = 4 * rows.elements.size() + 100000;
    for (size_t g = 0; g < rows.parents.size(); ++g) {
        std::vector<py::object> path;
        py::object node = rows.parents[g];
        while (!node.is_none() && clear.count(node.ptr()) == 0) {
            if (budget-- == 0 || row_at.count(node.ptr()) != 0) return false;
            py::object up = parent_of(node);
            path.push_back(std::move(node));
            node = std::move(up);
        }
        for (py::object& seen : path) {
            clear.insert(seen.ptr());
            held.push_back(std::move(seen));
        }
    }
    return true;
}

// With no row inside another, the rows' subtrees are disjoint: the end rule's
// matches from all rows at once (`length_rule/end_rule`, one evaluation from
// the node the length rule was evaluated from) are the union of each row's,
// and each match lies in exactly one row, the one it came from. Sorted into
// positions by that row, in document order, they are what each row XPath
// selects. False (nothing observable done) when a match is not an element or
// lies in no row, or the walk up would cost too much.
bool select_all_at_once(const Rows& rows, const std::unordered_map<PyObject*, size_t>& row_at,
                        py::handle html, py::handle length_rule, py::handle end_rule, size_t lowest,
                        std::vector<py::object>& selected) {
    py::object context = steal(PyObject_GetAttr(html.ptr(), interned("_lxml").ptr()));
    if (!is_lxml_element(context.ptr())) return false;
    py::object path = steal(PyUnicode_Concat(length_rule.ptr(), interned("/").ptr()));
    path = steal(PyUnicode_Concat(path.ptr(), end_rule.ptr()));
    py::object found = steal(PyObject_CallOneArg(compiled(path).ptr(), context.ptr()));
    if (!PyList_CheckExact(found.ptr())) return false;
    size_t budget = 8 * static_cast<size_t>(PyList_GET_SIZE(found.ptr())) + 100000;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(found.ptr()); ++j) {
        PyObject* match = PyList_GET_ITEM(found.ptr(), j);
        if (!is_lxml_element(match)) return false;
        py::object node = borrow(match);
        auto row = row_at.find(node.ptr());
        while (row == row_at.end()) {
            if (budget-- == 0) return false;
            node = parent_of(node);
            if (node.is_none()) return false;
            row = row_at.find(node.ptr());
        }
        const size_t p = row->second;
        if (p < lowest) continue;
        if (!selected[p]) selected[p] = new_list();
        append(selected[p], borrow(match));
    }
    return true;
}

// Row position by row position: `$rows/end_rule` with the rows at that
// position as the node-set $rows is, by XPath's definition of `/`, the end
// rule evaluated from each of them, united, without duplicates and in
// document order, which is what the row XPath `length_rule[p]/end_rule`
// selects (`length_rule[p]` being those very rows). libxml2 evaluates both
// alike, whatever the end rule's axes and however the rows nest. False
// (nothing observable done) when a result is not a list of elements.
bool select_by_position(const Rows& rows, py::handle html, py::handle end_rule, size_t lowest,
                        std::vector<py::object>& selected) {
    py::object context = steal(PyObject_GetAttr(html.ptr(), interned("_lxml").ptr()));
    if (!is_lxml_element(context.ptr())) return false;
    py::object xpath = compiled(steal(PyUnicode_Concat(interned("$rows/").ptr(), end_rule.ptr())));
    py::object args = steal(PyTuple_Pack(1, context.ptr()));
    // The end rule's matches from `rows`, or a null object when one is not an element.
    auto evaluate = [&](py::handle rows_at) -> py::object {
        py::object variables = new_dict();
        set_item(variables, interned("rows"), rows_at);
        py::object found = steal(PyObject_Call(xpath.ptr(), args.ptr(), variables.ptr()));
        if (!PyList_CheckExact(found.ptr())) return {};
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(found.ptr()); ++j) {
            if (!is_lxml_element(PyList_GET_ITEM(found.ptr(), j))) return {};
        }
        return found;
    };
    // Positions past the rows select nothing, but their row XPaths are still
    // evaluated, and fail where the end rule fails on no nodes at all (an
    // undefined namespace prefix): with no position to read, the end rule is
    // evaluated once from no rows.
    if (lowest > rows.longest) return static_cast<bool>(evaluate(new_list()));
    for (size_t p = lowest; p <= rows.longest; ++p) {
        py::object at = new_list();
        for (size_t o = rows.start[p]; o < rows.start[p + 1]; ++o) append(at, rows.elements[rows.order[o]]);
        selected[p] = evaluate(at);
        if (!selected[p]) return false;
    }
    return true;
}

}  // namespace

py::object read(py::handle parser, py::handle html, py::handle length_elements, py::handle length_rule,
                py::handle end_rule, py::handle start_index, py::handle separator) {
    if (!PyUnicode_CheckExact(length_rule.ptr()) || !PyUnicode_CheckExact(end_rule.ptr()) ||
        !PyLong_CheckExact(start_index.ptr()) || !PyList_CheckExact(length_elements.ptr()))
        return {};
    const long long n = PyList_GET_SIZE(length_elements.ptr());
    int overflow = 0;
    const long long first = PyLong_AsLongLongAndOverflow(start_index.ptr(), &overflow);
    if (overflow > 0 || (overflow == 0 && first > n)) return new_list();  // range(first, n + 1) is empty
    if (overflow < 0 || first < kLowestStart) return {};
    const std::string_view length_text = utf8(length_rule.ptr());
    if (length_text.empty() || !row_shapes::is_child_row_selector(length_text)) return {};
    const bool has_end = PyUnicode_GET_LENGTH(end_rule.ptr()) > 0;
    bool downward = false;
    if (has_end) {
        const std::string_view end_text = utf8(end_rule.ptr());
        if (end_text.empty()) return {};
        downward = row_shapes::is_downward_path(end_text);
        if (!downward && !row_shapes::is_relative_path(end_text)) return {};
    }

    // Rows, and what the end rule selects in each: found without a visible
    // effect, so that any surprise leaves the whole rule to the row XPaths.
    Rows rows;
    std::vector<py::object> selected;  // per position: the end rule's matches, document order
    const size_t lowest = static_cast<size_t>(std::max(1LL, first));
    try {
        if (!group_rows(length_elements, rows)) return {};
        if (has_end) {
            selected.resize(rows.longest + 1);
            // A downward end rule from rows of which none lies in another:
            // one evaluation for all rows. Anything else: one per position.
            bool at_once = false;
            if (downward) {
                std::unordered_map<PyObject*, size_t> row_at;
                for (size_t k = 0; k < rows.elements.size(); ++k)
                    row_at.emplace(rows.elements[k].ptr(), rows.position[k]);
                at_once = rows_apart(rows, row_at) &&
                          select_all_at_once(rows, row_at, html, length_rule, end_rule, lowest, selected);
                if (!at_once) std::fill(selected.begin(), selected.end(), py::object());
            }
            if (!at_once && !select_by_position(rows, html, end_rule, lowest, selected)) return {};
        }
    } catch (py::error_already_set&) {
        return {};  // the error is dropped with the exception object
    }

    // The texts, row by row, as the row XPaths would make them. A row that
    // selects a node reads the document's url and encoding (requests_html
    // wraps each node in an Element made with them) before its texts.
    py::object texts = new_list();
    bool read_document = false;
    for (long long i = first; i <= n; ++i) {
        const size_t p = static_cast<size_t>(i);
        if (i < 1 || p > rows.longest) {
            append(texts, interned(""));
            continue;
        }
        py::object nodes = new_list();
        if (has_end) {
            if (selected[p]) nodes = selected[p];
        } else {
            for (size_t o = rows.start[p]; o < rows.start[p + 1]; ++o)
                append(nodes, rows.elements[rows.order[o]]);
        }
        const Py_ssize_t count = PyList_GET_SIZE(nodes.ptr());
        if (count == 0) {
            append(texts, interned(""));
            continue;
        }
        if (!read_document) {
            get_attr(html, interned("url"));
            get_attr(html, interned("encoding"));
            read_document = true;
        }
        py::object parts = new_list();
        for (Py_ssize_t j = 0; j < count; ++j) {
            append(parts, call_method(PyList_GET_ITEM(nodes.ptr(), j), interned("text_content")));
        }
        append(texts, normalize_with(parser, join(separator, parts)));
    }
    return texts;
}

}  // namespace ostrel::list_rows
