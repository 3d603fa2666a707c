// Reads lines "<kind> <rule>" (kind "row" for a length rule, "end" for a
// downward end rule, "rel" for any relative end rule) and prints, per line, 1 when the rule has the one-pass
// shape, else 0; for kind "dsc", the rule with its `//` steps written as
// `/descendant::` where that selects the same nodes. Built and driven by
// tests/test_row_shapes.py.
#include <iostream>
#include <string>

#include "row_shapes.hpp"

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::string kind = line.substr(0, 3);
        const std::string rule = line.size() > 4 ? line.substr(4) : "";
        if (kind == "dsc") {
            std::cout << ostrel::row_shapes::descendant_steps(rule) << '\n';
            continue;
        }
        const bool shaped = kind == "row"   ? ostrel::row_shapes::is_child_row_selector(rule)
                            : kind == "end" ? ostrel::row_shapes::is_downward_path(rule)
                                            : ostrel::row_shapes::is_relative_path(rule);
        std::cout << (shaped ? 1 : 0) << '\n';
    }
    return 0;
}
