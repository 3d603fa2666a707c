#include "row_shapes.hpp"

#include <string>
#include <vector>

namespace ostrel::row_shapes {
namespace {

using std::string_view;

bool is_name_start(char ch) {
    const auto c = static_cast<unsigned char>(ch);  // bytes of UTF-8 names are >= 0x80
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}
bool is_name_char(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return is_name_start(ch) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The end (one past the closing ']') of the predicate opening at s[pos], or
// 0 when it is not closed: string literals skipped whole, [] and () nested.
size_t predicate_end(string_view s, size_t pos) {
    std::vector<char> closers;
    for (size_t i = pos; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\'' || c == '"') {
            const size_t close = s.find(c, i + 1);
            if (close == string_view::npos) return 0;
            i = close;
        } else if (c == '[') {
            closers.push_back(']');
        } else if (c == '(') {
            closers.push_back(')');
        } else if (c == ']' || c == ')') {
            if (closers.empty() || closers.back() != c) return 0;
            closers.pop_back();
            if (closers.empty()) return i + 1;
        }
    }
    return 0;
}

// The texts between the slashes that stand outside predicates: "" before a
// leading slash, between the two of a `//`, after a trailing one.
bool split_steps(string_view s, std::vector<string_view>& steps) {
    size_t start = 0;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == '[') {
            const size_t end = predicate_end(s, i);
            if (end == 0) return false;
            i = end;
            continue;
        }
        if (s[i] == '/') {
            steps.push_back(s.substr(start, i - start));
            start = i + 1;
        }
        ++i;
    }
    steps.push_back(s.substr(start));
    return true;
}

enum class Axis { None, Child, Descendant, DescendantOrSelf, Self, Other, Unknown };
enum class Test { Invalid, Name, Star, Prefixed, NodeAny, NodeOther, Dot, DotDot };

struct Step {
    Axis axis = Axis::None;
    Test test = Test::Invalid;
    bool attribute = false;  // `@`
    bool predicates = false;
};

Axis axis_named(string_view name) {
    if (name == "child") return Axis::Child;
    if (name == "descendant") return Axis::Descendant;
    if (name == "descendant-or-self") return Axis::DescendantOrSelf;
    if (name == "self") return Axis::Self;
    for (const char* other : {"parent", "ancestor", "ancestor-or-self", "following", "following-sibling",
                              "preceding", "preceding-sibling", "attribute", "namespace"}) {
        if (name == other) return Axis::Other;
    }
    return Axis::Unknown;
}

Step parse_step(string_view t) {
    Step step;
    if (t == ".") {
        step.test = Test::Dot;
        return step;
    }
    if (t == "..") {
        step.test = Test::DotDot;
        return step;
    }
    size_t i = 0;
    if (!t.empty() && t[0] == '@') {
        step.attribute = true;
        i = 1;
    } else {
        const string_view head = t.substr(0, t.find('['));
        const size_t colons = head.find("::");
        if (colons != string_view::npos) {
            step.axis = axis_named(head.substr(0, colons));
            if (step.axis == Axis::Unknown) return step;
            i = colons + 2;
        }
    }
    size_t j = i;
    if (j < t.size() && t[j] == '*') {
        step.test = Test::Star;
        ++j;
    } else if (j < t.size() && is_name_start(t[j])) {
        while (j < t.size() && is_name_char(t[j])) ++j;
        const string_view name = t.substr(i, j - i);
        if (j < t.size() && t[j] == ':') {
            ++j;
            if (j < t.size() && t[j] == '*') {
                ++j;
            } else if (j < t.size() && is_name_start(t[j])) {
                while (j < t.size() && is_name_char(t[j])) ++j;
            } else {
                return step;
            }
            step.test = Test::Prefixed;
        } else if (j < t.size() && t[j] == '(') {
            if (t.substr(j, 2) != "()") return step;
            j += 2;
            if (name == "node") {
                step.test = Test::NodeAny;
            } else if (name == "text" || name == "comment" || name == "processing-instruction") {
                step.test = Test::NodeOther;
            } else {
                return step;  // a function call: a filter expression, not a step
            }
        } else {
            step.test = Test::Name;
        }
    } else {
        return step;
    }
    while (j < t.size()) {
        if (t[j] != '[') {
            step.test = Test::Invalid;
            return step;
        }
        const size_t end = predicate_end(t, j);
        if (end == 0) {
            step.test = Test::Invalid;
            return step;
        }
        step.predicates = true;
        j = end;
    }
    return step;
}

// The steps of a location path after its leading slashes (`lead` of them
// allowed), with no empty step but the single ones that stand for `//`.
bool path_steps(string_view rule, size_t lead, std::vector<string_view>& steps, size_t& first) {
    if (!split_steps(rule, steps)) return false;
    first = 0;
    while (first < lead && first + 1 < steps.size() && steps[first].empty()) ++first;
    for (size_t j = first; j < steps.size(); ++j) {
        if (steps[j].empty() && (j == first || j + 1 == steps.size() || steps[j + 1].empty())) return false;
    }
    return true;
}

// Whether the predicate `[...]` at s[pos] holds a comparison (`=`, `!=`,
// `<`, `>`, ...) outside literals and inner brackets, and no parenthesis:
// its value is then a boolean (or/and of comparisons at most), never a
// position, and with no function call (`position()`, `last()`) it does not
// read the context position or size either.
bool is_comparison(string_view s, size_t pos, size_t end) {
    int depth = 0;
    bool compares = false;
    for (size_t i = pos + 1; i + 1 < end; ++i) {
        const char c = s[i];
        if (c == '\'' || c == '"') {
            i = s.find(c, i + 1);
            if (i == string_view::npos) return false;
        } else if (c == '(') {
            return false;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (depth == 0 && (c == '=' || c == '<' || c == '>')) {
            compares = true;
        }
    }
    return compares;
}

// A step `name[...]...` or `*[...]...` on the abbreviated child axis whose
// predicates are all comparisons.
bool is_filtered_child_step(string_view t) {
    const Step step = parse_step(t);
    if (step.attribute || step.axis != Axis::None || (step.test != Test::Name && step.test != Test::Star))
        return false;
    for (size_t j = t.find('['); j != string_view::npos && j < t.size();) {
        const size_t end = predicate_end(t, j);
        if (end == 0 || !is_comparison(t, j, end)) return false;
        j = end;
    }
    return true;
}

}  // namespace

std::string descendant_steps(string_view path) {
    std::vector<string_view> steps;
    size_t first = 0;
    if (!path_steps(path, 2, steps, first) || first == steps.size()) return std::string(path);
    for (size_t j = first; j < steps.size(); ++j) {
        if (steps[j].empty()) continue;
        const Step step = parse_step(steps[j]);
        if (step.test == Test::Invalid || step.axis == Axis::Unknown) return std::string(path);
    }
    // Leading slashes, then steps; an empty step stands for the `//` between
    // its neighbours.
    std::string out;
    size_t j = first;
    auto descend = [&](size_t k) {
        out += is_filtered_child_step(steps[k]) ? "/descendant::" : "//";
        out += steps[k];
    };
    if (first == 2) {
        descend(2);
    } else {
        if (first == 1) out += '/';
        out += steps[first];
    }
    for (++j; j < steps.size(); ++j) {
        if (steps[j].empty()) {
            descend(++j);
        } else {
            out += '/';
            out += steps[j];
        }
    }
    return out;
}

bool is_child_row_selector(string_view length_rule) {
    std::vector<string_view> steps;
    size_t first = 0;
    if (!path_steps(length_rule, 2, steps, first)) return false;
    for (size_t j = first; j < steps.size(); ++j) {
        if (steps[j].empty()) continue;
        const Step step = parse_step(steps[j]);
        if (j + 1 == steps.size()) {
            return !step.attribute && !step.predicates &&
                   (step.axis == Axis::None || step.axis == Axis::Child) &&
                   (step.test == Test::Name || step.test == Test::Star);
        }
        if (step.test == Test::Invalid || step.test == Test::Prefixed || step.test == Test::NodeOther)
            return false;
    }
    return false;
}

bool is_downward_path(string_view end_rule) {
    std::vector<string_view> steps;
    size_t first = 0;
    if (!path_steps(end_rule, 1, steps, first)) return false;
    if (first == steps.size() || steps[first].empty()) return false;
    for (size_t j = first; j < steps.size(); ++j) {
        if (steps[j].empty()) continue;
        const Step step = parse_step(steps[j]);
        // `.` after a `//` would be every descendant node, text included.
        const bool after_descent = j == 0 ? false : (j == first ? first > 0 : steps[j - 1].empty());
        if (step.test == Test::Dot && !after_descent) continue;
        if (step.attribute || (step.test != Test::Name && step.test != Test::Star)) return false;
        if (step.axis != Axis::None && step.axis != Axis::Child && step.axis != Axis::Descendant &&
            step.axis != Axis::DescendantOrSelf && step.axis != Axis::Self)
            return false;
    }
    return true;
}

bool is_relative_path(string_view end_rule) {
    if (end_rule.find('$') != string_view::npos) return false;
    std::vector<string_view> steps;
    size_t first = 0;
    if (!path_steps(end_rule, 1, steps, first)) return false;
    if (first == steps.size() || steps[first].empty()) return false;
    for (size_t j = first; j < steps.size(); ++j) {
        if (steps[j].empty()) continue;
        const Step step = parse_step(steps[j]);
        if (step.test == Test::Invalid || step.axis == Axis::Unknown) return false;
        if ((step.test == Test::Dot || step.test == Test::DotDot) && (step.attribute || step.predicates))
            return false;
    }
    return true;
}

}  // namespace ostrel::row_shapes
