// BaseMatcher: the abstract base of the field matchers; it fixes the name of
// their one operation, `match`.
#include "ostrel_native.hpp"

PYBIND11_MODULE(ombrel, m) { ostrel::make_abstract_base(m, "BaseMatcher", "match"); }
