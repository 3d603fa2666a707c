// The shapes of list rules that can be read in one pass (plain string logic,
// no Python: tests/native/test_row_shapes.cpp builds it alone).
//
// A list rule is read row by row as `length_rule[i]` + "/" + `end_rule`.
// When the length rule is a location path whose last step selects the child
// elements of some nodes by name (`P/tr`, `P//tr`, `P/*`), `P/tr[i]` is the
// i-th such child of every node of P, so every row comes out of the one
// evaluation of the length rule. When the end rule is a relative location
// path that only goes down from its context node, evaluating it from each row
// element gives that row's part of `length_rule[i]/end_rule`.
//
// Both checks are conservative: they accept only rules they parse in full,
// with quotes, brackets and parentheses balanced; predicates may hold any
// expression (they filter the nodes of their step, whose context is the same
// whichever way the step is reached).
#pragma once

#include <string>
#include <string_view>

namespace ostrel::row_shapes {

// `P/name`, `P//name`, `P/*` (also `child::name`), where P is a location path
// of steps (`.`, `..`, `axis::test[...]`, `@name[...]`, `node()`), absolute
// or relative. The last step has no predicate, no namespace prefix.
bool is_child_row_selector(std::string_view length_rule);

// A non-empty relative location path of steps on the child, descendant,
// descendant-or-self or self axes with element name tests (`td`, `*`,
// `descendant::td[2]`, `.`), joined by `/` or `//`. It may start with one `/`:
// that is how a `//` right after the row step reaches the end rule
// ("//t/tr[2]//td" -> "/td"), read as `.//td` from the row.
bool is_downward_path(std::string_view end_rule);

// A non-empty relative location path of steps on any axis (`..`, `.`,
// `parent::x`, `following-sibling::*[1]`, `ancestor::div`, `@class`,
// `text()`, ...) with any predicates, joined by `/` or `//`, optionally
// after one leading `/` as above. Not a union, a filter expression or a
// function call at its top level, and no `$` anywhere (the rows reach the
// end rule as a variable, see list_rows.cpp). `length_rule[i]/end_rule` is
// then, by XPath's definition of `/`, the union of the end rule evaluated
// from each row element, in document order.
bool is_relative_path(std::string_view end_rule);

// The location path `path` with every `//` that stands before a step on the
// child axis (`x`, `*`) whose predicates are all comparisons (`[@id='a']`,
// `[@n > 2]`: true or false whatever the step's position) written as
// `/descendant::` (`//x[@id='a']/y` -> `/descendant::x[@id='a']/y`). For such
// predicates both select the same nodes (the children named x of every node
// at or below are the descendants named x, filtered alike), but libxml2
// evaluates `//x[p]` as written, gathering every node of the tree first.
// Anything else (a predicate that may be a number, a union, a filter
// expression, a path it does not parse in full) comes back as it is.
std::string descendant_steps(std::string_view path);

}  // namespace ostrel::row_shapes
