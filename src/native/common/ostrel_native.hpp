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
#include <tuple>
#include <type_traits>
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
// takes no further reference. This is how the modules name attributes,
// methods and keys: `interned("rules")` where the name is used; the lookup is
// one hash of the text, cheap enough for the per-call paths.
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
    return steal(
        PyObject_Vectorcall(fn.ptr(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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
// The function behind the method `name` in the class body of `cls`, an
// instancemethod unwrapped (a reference kept for the life of the process).
inline PyObject* method_function(py::handle cls, const char* name) {
    py::object entry = cls.attr("__dict__")[name];
    PyObject* function =
        PyInstanceMethod_Check(entry.ptr()) ? PyInstanceMethod_GET_FUNCTION(entry.ptr()) : entry.ptr();
    return py::reinterpret_borrow<py::object>(function).release().ptr();
}
// Whether obj.name is the method whose function is `function`, bound to obj
// (not redefined by a subclass, replaced on the class or shadowed on the
// instance). A lookup that raises an Exception answers false; any other
// BaseException (KeyboardInterrupt) propagates.
inline bool is_own_method(py::handle obj, py::handle name, PyObject* function) {
    PyObject* bound = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (bound == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
        PyErr_Clear();
        return false;
    }
    const bool own = PyMethod_Check(bound) && PyMethod_GET_FUNCTION(bound) == function &&
                     PyMethod_GET_SELF(bound) == obj.ptr();
    Py_DECREF(bound);
    return own;
}
inline py::object iterate(py::handle iterable) { return steal(PyObject_GetIter(iterable.ptr())); }
// The next item of `it`, or an empty object at the end.
inline py::object next_item(py::handle it) {
    PyObject* item = PyIter_Next(it.ptr());
    if (item == nullptr && PyErr_Occurred()) throw_error();
    return py::reinterpret_steal<py::object>(item);
}

// `for item in iterable: if not fn(item): break`. An exact list is walked by
// index, re-reading its size at every step exactly as its iterator does.
template <class F>
void for_each_item(py::handle iterable, F&& fn) {
    PyObject* obj = iterable.ptr();
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            if (!fn(borrow(PyList_GET_ITEM(obj, i)))) return;
        }
        return;
    }
    py::object it = steal(PyObject_GetIter(obj));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        if (!fn(steal(next))) return;
    }
    if (PyErr_Occurred()) throw_error();
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
    Signature(std::string qualname, std::vector<const char*> names,
              std::initializer_list<py::handle> defaults);
    template <size_t N>
    std::array<py::handle, N> bind(const py::args& args, const py::kwargs& kwargs) const {
        std::array<py::handle, N> out;
        bind_into(args, kwargs, out.data(), N);
        return out;
    }

private:
    void bind_into(const py::args& args, const py::kwargs& kwargs, py::handle* out, size_t n) const;
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

// The namespace of a class of native methods, each method named once:
//
//   ostrel::ClassBuilder cls(m, "FieldParser");
//   cls.def("parse", {"self", "html", "rule", "value_separator"}, {interned("\t")},
//           [](py::handle self, py::handle html, py::handle rule, py::handle sep) { ... }, kDoc);
//   cls.make(base);
//
// `def` adds the method under its name, with the parameters (the instance
// included), the defaults of the trailing ones, and its exact __doc__
// (nullptr: None); `doc` gives the class its __doc__. A call binds its arguments as "<class>.<name>" (the
// qualified name that the interpreter's call errors give) and passes the body
// one handle per parameter; a body returning void returns None. Methods stay
// in the namespace in the order they are defined.
class ClassBuilder {
public:
    ClassBuilder(py::module_& m, const char* name) : module_(m), name_(name) {}

    template <size_t N, class Body>
    ClassBuilder& def(const char* name, const char* const (&params)[N],
                      std::initializer_list<py::handle> defaults, Body body, const char* doc = nullptr) {
        static_assert(takes_handles<Body>(std::make_index_sequence<N>()),
                      "a method body takes one py::handle per parameter");
        Signature sig(name_ + "." + name, std::vector<const char*>(params, params + N), defaults);
        add(
            name,
            [sig = std::move(sig), body = std::move(body)](py::args args, py::kwargs kwargs) -> py::object {
                auto bound = sig.bind<N>(args, kwargs);
                if constexpr (std::is_void_v<decltype(std::apply(body, bound))>) {
                    std::apply(body, bound);
                    return py::none();
                } else {
                    return std::apply(body, bound);
                }
            },
            doc);
        return *this;
    }
    template <size_t N, class Body>
    ClassBuilder& def(const char* name, const char* const (&params)[N], Body body,
                      const char* doc = nullptr) {
        return def(name, params, {}, std::move(body), doc);
    }

    // The class's __doc__ (without it: None).
    ClassBuilder& doc(const char* text) {
        ns_["__doc__"] = py::str(text);
        return *this;
    }

    // Creates the class (see make_class) and binds it in the module: a plain
    // class, a subclass of `base` with its metaclass, or any other.
    py::object make();
    py::object make(py::handle base);
    py::object make(py::handle metaclass, py::tuple bases);

private:
    template <class Body, size_t... I>
    static constexpr bool takes_handles(std::index_sequence<I...>) {
        return std::is_invocable_v<const Body&, decltype((void)I, py::handle())...>;
    }
    void add(const char* name, MethodBody body, const char* doc);

    py::module_& module_;
    std::string name_;
    py::dict ns_;
};

// Creates the class `name` by calling `metaclass(name, bases, namespace)`
// and binds it in `m`. The namespace gets __module__ and __qualname__, and a
// __doc__ of None unless it names one.
py::object make_class(py::module_& m, const char* name, py::handle metaclass, py::tuple bases, py::dict ns);

// `from abc import ABC, abstractmethod` into `m`, then the abstract base
// class `name(ABC)` whose one abstract method is `method(self) -> None`.
py::object make_abstract_base(py::module_& m, const char* name, const char* method);

}  // namespace ostrel
