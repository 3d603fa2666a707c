// Helpers shared by every extension module of the package.
//
// The classes of this package are ordinary Python classes (some with
// abc.ABCMeta as their metaclass), built at module load by calling the
// metaclass with a namespace of native methods. That keeps them subclassable,
// lets instances carry attributes, and makes abstract methods behave exactly
// as abc defines them. The methods take (*args, **kwargs) and bind them with
// `Signature`, which reproduces the interpreter's own call errors, so that a
// bad call is always a Python TypeError and never a crash.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {
namespace py = pybind11;

// Rethrows the pending Python error; pybind11 restores it at the boundary.
[[noreturn]] inline void throw_error() { throw py::error_already_set(); }

// Owns the result of a C API call returning a new reference (NULL: error).
inline py::object steal(PyObject* p) {
    if (p == nullptr) throw_error();
    return py::reinterpret_steal<py::object>(p);
}

// An interned str that lives as long as the process (never released, so it
// is safe to use from static storage, also during interpreter shutdown). The
// handle is borrowed: every call with the same text gives the same object and
// takes no further reference.
py::handle interned(const char* text);

// Attribute access and method calls with a prepared name (see `interned`).
inline py::object get_attr(py::handle obj, py::handle name) {
    return steal(PyObject_GetAttr(obj.ptr(), name.ptr()));
}
inline py::object get_item(py::handle obj, py::handle key) {
    return steal(PyObject_GetItem(obj.ptr(), key.ptr()));
}
template <class... Args>
py::object call_method(py::handle obj, py::handle name, Args... args) {
    PyObject* stack[] = {obj.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(name.ptr(), stack, 1 + sizeof...(Args), nullptr));
}
template <class... Args>
py::object call(py::handle fn, Args... args) {
    PyObject* stack[] = {nullptr, py::handle(args).ptr()...};
    return steal(PyObject_Vectorcall(fn.ptr(), stack + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw_error();
}
inline bool truth(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw_error();
    return r != 0;
}
// `a == b` as the interpreter evaluates it, then its truth.
inline bool equals(py::handle a, py::handle b) {
    return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}
inline Py_ssize_t length(py::handle obj) {
    Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) throw_error();
    return n;
}
inline bool is_exact_str(py::handle obj) { return PyUnicode_CheckExact(obj.ptr()); }

// Containers and iteration, each raising the pending error as an exception.
inline py::object borrow(PyObject* p) { return py::reinterpret_borrow<py::object>(p); }
inline py::object new_list() { return steal(PyList_New(0)); }
inline py::object new_dict() { return steal(PyDict_New()); }
inline void append(py::handle list, py::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw_error();
}
inline void set_item(py::handle mapping, py::handle key, py::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
}
// `item in container`.
inline bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw_error();
    return r != 0;
}
inline py::object iterate(py::handle iterable) { return steal(PyObject_GetIter(iterable.ptr())); }
// The next item of `it`, or an empty object at the end.
inline py::object next_item(py::handle it) {
    PyObject* item = PyIter_Next(it.ptr());
    if (item == nullptr && PyErr_Occurred()) throw_error();
    return py::reinterpret_steal<py::object>(item);
}

// Refuses a parameter declared str unless it is exactly a str (or None, when
// `allow_none`): TypeError "Argument '<name>' has incorrect type (expected
// str, got <type>)". A subclass of str is refused as well.
void check_str_arg(py::handle value, const char* name, bool allow_none = true);

// AttributeError "'NoneType' object has no attribute '<attr>'".
[[noreturn]] void raise_none_attribute(const char* attr);

// `sep.join(items)` where sep is a str or None (None: the AttributeError above).
py::object join(py::handle sep, py::handle items);

// `a, b, c = value` with the interpreter's errors for a wrong item count.
void unpack(py::handle value, std::initializer_list<py::object*> targets);

// The text parsers' element work: `[e.element.text_content() for e in
// elements]`, and `self.trummel.normalize_element(text)`.
py::object element_texts(py::handle elements);
py::object normalize_with(py::handle parser, py::handle text);

// The parameters of a method (the instance included, as "self") and the
// defaults of its trailing ones. `bind` fills one handle per parameter from a
// call's arguments, raising the interpreter's own TypeError for a bad call.
class Signature {
public:
    Signature(const char* qualname, std::initializer_list<const char*> names,
              std::initializer_list<py::handle> defaults = {});
    template <size_t N>
    std::array<py::handle, N> bind(const py::args& args, const py::kwargs& kwargs) const {
        std::array<py::handle, N> out;
        bind_into(args, kwargs, out.data(), N);
        return out;
    }

private:
    void bind_into(const py::args& args, const py::kwargs& kwargs, py::handle* out,
                   size_t n) const;
    std::string qualname_;
    std::vector<const char*> names_;
    std::vector<PyObject*> defaults_;  // owned for the life of the process
};

// A method object for a class namespace: binds the instance like a function
// defined in a class body. `doc` is the exact __doc__ (nullptr: None).
// Exceptions thrown by `body` (py::error_already_set and the like) become
// the Python exception of the call.
using MethodBody = std::function<py::object(py::args, py::kwargs)>;
py::object method(const char* name, MethodBody body, const char* doc = nullptr);

// An abstract method `name(self) -> None` whose body raises
// NotImplementedError; marked with abc.abstractmethod.
py::object abstract_method(const char* qualname);

// `from <module> import <names>`: binds each name as an attribute of `m`.
void import_names(py::module_& m, const char* module, std::initializer_list<const char*> names);

// Creates the class `name` by calling `metaclass(name, bases, namespace)`
// and binds it in `m`. The namespace gets __module__ and __qualname__, and a
// __doc__ of None unless it names one.
py::object make_class(py::module_& m, const char* name, py::handle metaclass, py::tuple bases,
                      py::dict ns);

// `from abc import ABC, abstractmethod` into `m`, then the abstract base
// class `name(ABC)` whose one abstract method is `method(self) -> None`.
py::object make_abstract_base(py::module_& m, const char* name, const char* method);

}  // namespace ostrel
