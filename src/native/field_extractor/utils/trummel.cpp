// TextUtil.normalize_element: trims line feeds, carriage returns, spaces,
// ideographic spaces (U+3000) and no-break spaces (U+00A0) from both ends of
// a text and folds every inner run of them into one space. The result is
// that of `re.sub("[\n \u3000\u00a0\r]+", " ", text.strip("\n \u3000\u00a0\r"))`,
// computed in one pass over the code points.
#include "ostrel_native.hpp"

#include <algorithm>
#include <vector>

namespace py = pybind11;

namespace {

// Written with bitwise operators so that the loops below compile without
// branches: on real text blanks and letters alternate unpredictably.
inline bool is_blank(Py_UCS4 c) {
    return (c == 0x20) | (c == 0x0A) | (c == 0x0D) | (c == 0xA0) | (c == 0x3000);
}

// Scratch space is kept per thread between calls up to this many characters.
constexpr size_t kKeptBuffer = 1 << 20;

template <class Char>
PyObject* normalize(PyObject* text, const Char* data, Py_ssize_t n, int kind) {
    Py_ssize_t begin = 0, end = n;
    while (begin < end && is_blank(data[begin])) ++begin;
    while (end > begin && is_blank(data[end - 1])) --end;

    // One pass: every character is stored, a blank as a space, and the
    // position advances unless the character before was a blank too.
    thread_local std::vector<Char> buffer;
    buffer.resize(static_cast<size_t>(end - begin));
    Char* out = buffer.data();
    Py_ssize_t k = 0;
    bool previous = false;
    for (Py_ssize_t i = begin; i < end; ++i) {
        const Char c = data[i];
        const bool blank = is_blank(c);
        out[k] = blank ? Char(0x20) : c;
        k += !(blank & previous);
        previous = blank;
    }
    // Unchanged when nothing was trimmed, nothing folded and no blank other
    // than a single space was met.
    if (k == n && std::equal(data, data + n, out)) {
        Py_INCREF(text);
        return text;
    }
    // Builds the str in its canonical (narrowest) representation.
    PyObject* result = PyUnicode_FromKindAndData(kind, out, k);
    if (buffer.capacity() > kKeptBuffer) std::vector<Char>().swap(buffer);  // a huge text: give it back
    return result;
}

}  // namespace

PYBIND11_MODULE(trummel, m) {
    m.attr("re") = py::module_::import("re");

    ostrel::ClassBuilder cls(m, "TextUtil");
    cls.def("normalize_element", {"self", "text"}, [](py::handle self, py::handle text) {
        // None is refused too: there is no text to normalise.
        ostrel::check_str_arg(text, "text", /*allow_none=*/false);
        PyObject* s = text.ptr();
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                return ostrel::steal(normalize(s, PyUnicode_1BYTE_DATA(s), n, PyUnicode_1BYTE_KIND));
            case PyUnicode_2BYTE_KIND:
                return ostrel::steal(normalize(s, PyUnicode_2BYTE_DATA(s), n, PyUnicode_2BYTE_KIND));
            default:
                return ostrel::steal(normalize(s, PyUnicode_4BYTE_DATA(s), n, PyUnicode_4BYTE_KIND));
        }
    });
    cls.make();
}
