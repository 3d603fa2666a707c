// BaseParser: the abstract base of the page parsers; it fixes the name of
// their one operation, `parse`.
#include "ostrel_native.hpp"

PYBIND11_MODULE(quillan, m) { ostrel::make_abstract_base(m, "BaseParser", "parse"); }
