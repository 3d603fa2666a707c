// TextUtil.normalize_element: trims line feeds, carriage returns, spaces,
// ideographic spaces (U+3000) and no-break spaces (U+00A0) from both ends of
// a text and folds every inner run of them into one space. The result is
// that of `re.sub("[\n \u3000\u00a0\r]+", " ", text.strip("\n \u3000\u00a0\r"))`,
// computed in one pass over the code points.
#include "ostrel_native.hpp"

namespace py = pybind11;

namespace {

inline bool is_blank(Py_UCS4 c) {
    return c == 0x0A || c == 0x20 || c == 0x3000 || c == 0xA0 || c == 0x0D;
}

template <class Char>
PyObject* normalize(PyObject* text, const Char* data, Py_ssize_t n) {
    Py_ssize_t begin = 0, end = n;
    while (begin < end && is_blank(data[begin])) ++begin;
    while (end > begin && is_blank(data[end - 1])) --end;

    // First pass: the length and widest character of the result, so that it
    // is created in its canonical (narrowest) representation.
    Py_ssize_t out_len = 0;
    Py_UCS4 max_char = 0;
    bool changed = begin != 0 || end != n;
    for (Py_ssize_t i = begin; i < end;) {
        if (is_blank(data[i])) {
            Py_ssize_t run = i;
            while (is_blank(data[run])) ++run;  // the run ends before `end`
            if (run - i != 1 || data[i] != 0x20) changed = true;
            max_char = std::max<Py_UCS4>(max_char, 0x20);
            ++out_len;
            i = run;
        } else {
            max_char = std::max<Py_UCS4>(max_char, data[i]);
            ++out_len;
            ++i;
        }
    }
    if (!changed) {
        Py_INCREF(text);
        return text;
    }
    PyObject* result = PyUnicode_New(out_len, max_char);
    if (result == nullptr) return nullptr;
    int kind = PyUnicode_KIND(result);
    void* out = PyUnicode_DATA(result);
    Py_ssize_t k = 0;
    for (Py_ssize_t i = begin; i < end;) {
        if (is_blank(data[i])) {
            while (is_blank(data[i])) ++i;
            PyUnicode_WRITE(kind, out, k++, 0x20);
        } else {
            PyUnicode_WRITE(kind, out, k++, data[i++]);
        }
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(trummel, m) {
    m.attr("re") = py::module_::import("re");

    static ostrel::Signature sig("TextUtil.normalize_element", {"self", "text"});
    py::dict ns;
    ns["normalize_element"] = ostrel::method("normalize_element", [](py::args args, py::kwargs kwargs) {
        auto [self, text] = sig.bind<2>(args, kwargs);
        // None is refused too: there is no text to normalise.
        ostrel::check_str_arg(text, "text", /*allow_none=*/false);
        PyObject* s = text.ptr();
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                return ostrel::steal(normalize(s, PyUnicode_1BYTE_DATA(s), n));
            case PyUnicode_2BYTE_KIND:
                return ostrel::steal(normalize(s, PyUnicode_2BYTE_DATA(s), n));
            default:
                return ostrel::steal(normalize(s, PyUnicode_4BYTE_DATA(s), n));
        }
    });
    ostrel::make_class(m, "TextUtil", reinterpret_cast<PyObject*>(&PyType_Type), py::tuple(), ns);
}
