// FieldsMatcher: pairs head fields with tail fields by position. Either side
// may be a single str, which is then repeated as often as the other side has
// items, so that one value is broadcast over a list of values.
#include "ostrel_native.hpp"

namespace py = pybind11;
using ostrel::steal;

namespace {

const char* const kMatchDoc =
    "对两个元素进行匹配，输出元素匹配的列表\n"
    "\n"
    "        :param head_fields: _description_\n"
    "        :type head_fields: Union[str, List[str]]\n"
    "        :param tail_fields: _description_\n"
    "        :type tail_fields: Union[str, List[str]]\n"
    "        :return: _description_\n"
    "        :rtype: List[List[str]]\n"
    "        ";

const char* const kKindMessage = "head_fields and tail_fields must is str or list";
const char* const kLengthMessage = "head_fields and tail_fields  is unequal";

[[noreturn]] void value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    ostrel::throw_error();
}

// A new list holding `item` `count` times.
py::object repeated(py::handle item, Py_ssize_t count) {
    py::object list = steal(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(item.ptr());
        PyList_SET_ITEM(list.ptr(), i, item.ptr());
    }
    return list;
}

py::object triple(py::handle head, py::handle tail, bool is_str) {
    return steal(PyTuple_Pack(3, head.ptr(), tail.ptr(), is_str ? Py_True : Py_False));
}

// Lists are measured by their item count, whatever a subclass's __len__ says.
py::object process_fields(py::handle head, py::handle tail) {
    PyObject* h = head.ptr();
    PyObject* t = tail.ptr();
    if (PyUnicode_Check(h)) {
        if (PyUnicode_Check(t)) return triple(repeated(head, 1), repeated(tail, 1), true);
        if (PyList_Check(t)) return triple(repeated(head, PyList_GET_SIZE(t)), tail, false);
        value_error(kKindMessage);
    }
    if (PyList_Check(h)) {
        if (PyUnicode_Check(t)) return triple(head, repeated(tail, PyList_GET_SIZE(h)), false);
        if (PyList_Check(t)) {
            if (PyList_GET_SIZE(h) != PyList_GET_SIZE(t)) value_error(kLengthMessage);
            return triple(head, tail, false);
        }
    }
    value_error(kKindMessage);
}

// `seq[i]`; an exact list is read directly (with the interpreter's IndexError
// when it is too short), anything else through its __getitem__.
py::object item_at(py::handle seq, Py_ssize_t i) {
    PyObject* s = seq.ptr();
    if (PyList_CheckExact(s)) {
        if (i >= PyList_GET_SIZE(s)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            ostrel::throw_error();
        }
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(s, i));
    }
    py::object index = steal(PyLong_FromSsize_t(i));
    return ostrel::get_item(seq, index);
}

// One pair per index of `head`; `tail` is expected to be at least as long.
py::object match_fields(py::handle head, py::handle tail) {
    const Py_ssize_t n = ostrel::length(head);
    py::object pairs = steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object first = item_at(head, i);
        py::object second = item_at(tail, i);
        py::object pair = steal(PyList_New(2));
        PyList_SET_ITEM(pair.ptr(), 0, first.release().ptr());
        PyList_SET_ITEM(pair.ptr(), 1, second.release().ptr());
        if (PyList_Append(pairs.ptr(), pair.ptr()) < 0) ostrel::throw_error();
    }
    return pairs;
}

}  // namespace

PYBIND11_MODULE(pallock, m) {
    ostrel::import_names(m, "typing", {"Union", "List", "Tuple"});
    ostrel::import_names(m, "ostrel.crawler.field_extractor.pallock.ombrel", {"BaseMatcher"});

    ostrel::ClassBuilder cls(m, "FieldsMatcher");
    cls.def(
        "match", {"self", "head_fields", "tail_fields"},
        [](py::handle self, py::handle head, py::handle tail) {
            // Both steps go through the instance so that a subclass may
            // redefine either of them.
            py::object processed = ostrel::call_method(self, ostrel::interned("_process_fields"), head, tail);
            py::object heads, tails, is_str;
            ostrel::unpack(processed, {&heads, &tails, &is_str});
            py::object pairs = ostrel::call_method(self, ostrel::interned("_match_fields"), heads, tails);
            return steal(PyTuple_Pack(2, pairs.ptr(), is_str.ptr()));
        },
        kMatchDoc);
    cls.def("_match_fields", {"self", "head_fields", "tail_fields"},
            [](py::handle self, py::handle head, py::handle tail) { return match_fields(head, tail); });
    cls.def("_process_fields", {"self", "head_fields", "tail_fields"},
            [](py::handle self, py::handle head, py::handle tail) { return process_fields(head, tail); });
    cls.make(m.attr("BaseMatcher"));
}
