#include "ostrel_native.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace ostrel {

py::handle interned(const char* text) {
    // One reference per distinct text, taken the first time it is asked for:
    // the call sites run on every operation, and a new reference per call
    // would raise the count of the shared interned str (a caller's "" or
    // "rules" included) without end. A key is the UTF-8 text of its str,
    // which lives as long as the str does. Callers hold the GIL.
    static std::unordered_map<std::string_view, PyObject*> table;
    const std::string_view key(text);
    auto found = table.find(key);
    if (found != table.end()) return found->second;
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) throw_error();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size);
    if (utf8 == nullptr) {
        Py_DECREF(s);
        throw_error();
    }
    table.emplace(std::string_view(utf8, static_cast<size_t>(size)), s);  // deliberately never released
    return s;
}

void check_str_arg(py::handle value, const char* name, bool allow_none) {
    PyObject* v = value.ptr();
    if ((allow_none && v == Py_None) || PyUnicode_CheckExact(v)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 "str", Py_TYPE(v)->tp_name);
    throw_error();
}

void raise_none_attribute(const char* attr) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr);
    throw_error();
}

py::object join(py::handle sep, py::handle items) {
    if (sep.is_none()) raise_none_attribute("join");
    return steal(PyUnicode_Join(sep.ptr(), items.ptr()));
}

void unpack(py::handle value, std::initializer_list<py::object*> targets) {
    PyObject* raw_it = PyObject_GetIter(value.ptr());
    if (raw_it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw_error();
    }
    py::object it = steal(raw_it);
    const size_t expected = targets.size();
    size_t got = 0;
    for (py::object* target : targets) {
        PyObject* item = PyIter_Next(it.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", expected,
                         got);
            throw_error();
        }
        *target = steal(item);
        ++got;
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
}

py::object element_texts(py::handle elements) {
    py::object texts = steal(PyList_New(0));
    py::object it = steal(PyObject_GetIter(elements.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = steal(raw);
        py::object text = call_method(get_attr(item, interned("element")), interned("text_content"));
        if (PyList_Append(texts.ptr(), text.ptr()) < 0) throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return texts;
}

py::object normalize_with(py::handle parser, py::handle text) {
    return call_method(get_attr(parser, interned("trummel")), interned("normalize_element"), text);
}

Signature::Signature(const char* qualname, std::initializer_list<const char*> names,
                     std::initializer_list<py::handle> defaults)
    : qualname_(qualname), names_(names) {
    for (py::handle d : defaults) {
        Py_INCREF(d.ptr());
        defaults_.push_back(d.ptr());
    }
}

Signature::Signature(std::string qualname, std::vector<const char*> names,
                     std::initializer_list<py::handle> defaults)
    : qualname_(std::move(qualname)), names_(std::move(names)) {
    for (py::handle d : defaults) {
        Py_INCREF(d.ptr());
        defaults_.push_back(d.ptr());
    }
}

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) out += "and ";
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[noreturn]] void type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw_error();
}

}  // namespace

void Signature::bind_into(const py::args& args, const py::kwargs& kwargs, py::handle* out, size_t n) const {
    const size_t count = names_.size();
    const size_t required = count - defaults_.size();
    const size_t given = static_cast<size_t>(PyTuple_GET_SIZE(args.ptr()));
    std::fill(out, out + n, py::handle());
    for (size_t i = 0; i < std::min(given, count); ++i) out[i] = PyTuple_GET_ITEM(args.ptr(), i);

    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (kwargs.ptr() != nullptr && PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        // A keyword is compared whole: one holding a NUL or a lone surrogate
        // names no parameter (a C string comparison would stop at the NUL).
        Py_ssize_t size = 0;
        const char* k = PyUnicode_AsUTF8AndSize(key, &size);
        if (k == nullptr) PyErr_Clear();
        size_t j = 0;
        while (k != nullptr && j < count &&
               !(std::strlen(names_[j]) == static_cast<size_t>(size) &&
                 std::memcmp(names_[j], k, static_cast<size_t>(size)) == 0))
            ++j;
        if (k == nullptr || j == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname_.c_str(),
                         key);
            throw_error();
        }
        if (out[j]) type_error(qualname_ + "() got multiple values for argument '" + names_[j] + "'");
        out[j] = value;
    }
    if (given > count) {
        std::string takes = required == count
                                ? std::to_string(count)
                                : "from " + std::to_string(required) + " to " + std::to_string(count);
        type_error(qualname_ + "() takes " + takes + " positional argument" + (count == 1 ? "" : "s") +
                   " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    std::vector<const char*> missing;
    for (size_t j = 0; j < required; ++j)
        if (!out[j]) missing.push_back(names_[j]);
    if (!missing.empty())
        type_error(qualname_ + "() missing " + std::to_string(missing.size()) +
                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                   quoted_list(missing));
    for (size_t j = required; j < count; ++j)
        if (!out[j]) out[j] = defaults_[j - required];
}

namespace {

// What a native method object holds: its definition and its body.
struct NativeMethod {
    std::string name;
    std::string doc;
    PyMethodDef def;
    MethodBody body;
};

const char* const kMethodCapsule = "ostrel.native_method";

PyObject* call_native_method(PyObject* capsule, PyObject* args, PyObject* kwargs) {
    auto* native = static_cast<NativeMethod*>(PyCapsule_GetPointer(capsule, kMethodCapsule));
    if (native == nullptr) return nullptr;
    try {
        py::args positional = py::reinterpret_borrow<py::args>(args);
        // No keywords: a null dict, which Signature::bind reads as empty.
        py::kwargs keywords = py::reinterpret_borrow<py::kwargs>(kwargs);
        return native->body(std::move(positional), std::move(keywords)).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

void free_native_method(PyObject* capsule) {
    delete static_cast<NativeMethod*>(PyCapsule_GetPointer(capsule, kMethodCapsule));
}

// A builtin function object running `body`.
py::object native_function(const char* name, MethodBody body, const char* doc) {
    auto* native = new NativeMethod{name, doc ? doc : "", {}, std::move(body)};
    native->def.ml_name = native->name.c_str();
    native->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_native_method));
    native->def.ml_flags = METH_VARARGS | METH_KEYWORDS;
    native->def.ml_doc = doc ? native->doc.c_str() : nullptr;
    PyObject* capsule = PyCapsule_New(native, kMethodCapsule, free_native_method);
    if (capsule == nullptr) {
        delete native;
        throw_error();
    }
    py::object owner = steal(capsule);
    return steal(PyCFunction_New(&native->def, capsule));
}

}  // namespace

py::object method(const char* name, MethodBody body, const char* doc) {
    return steal(PyInstanceMethod_New(native_function(name, std::move(body), doc).ptr()));
}

py::object abstract_method(const char* qualname) {
    // The body runs behind functools.partial, which (unlike a builtin
    // function) takes the __isabstractmethod__ flag that abc relies on,
    // also for subclasses that inherit the method without redefining it.
    const char* name = std::strrchr(qualname, '.');
    name = name ? name + 1 : qualname;
    auto* sig = new Signature(qualname, {"self"});  // lives as long as the module
    py::object body = native_function(
        name,
        [sig](py::args args, py::kwargs kwargs) -> py::object {
            sig->bind<1>(args, kwargs);
            PyErr_SetNone(PyExc_NotImplementedError);
            throw_error();
        },
        nullptr);
    py::object partial = py::module_::import("functools").attr("partial")(body);
    partial.attr("__name__") = name;
    partial.attr("__qualname__") = qualname;
    partial.attr("__doc__") = py::none();
    partial = py::module_::import("abc").attr("abstractmethod")(partial);
    return steal(PyInstanceMethod_New(partial.ptr()));
}

void import_names(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    py::module_ source = py::module_::import(module);
    for (const char* name : names) m.attr(name) = source.attr(name);
}

py::object make_class(py::module_& m, const char* name, py::handle metaclass, py::tuple bases, py::dict ns) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    if (!ns.contains("__doc__")) ns["__doc__"] = py::none();
    py::object cls = metaclass(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

void ClassBuilder::add(const char* name, MethodBody body, const char* doc) {
    ns_[name] = method(name, std::move(body), doc);
}

py::object ClassBuilder::make() { return make(reinterpret_cast<PyObject*>(&PyType_Type), py::tuple()); }

py::object ClassBuilder::make(py::handle base) { return make(py::type::of(base), py::make_tuple(base)); }

py::object ClassBuilder::make(py::handle metaclass, py::tuple bases) {
    return make_class(module_, name_.c_str(), metaclass, std::move(bases), ns_);
}

py::object make_abstract_base(py::module_& m, const char* name, const char* method) {
    import_names(m, "abc", {"ABC", "abstractmethod"});
    py::object abc_base = m.attr("ABC");
    py::dict ns;
    const std::string qualname = std::string(name) + "." + method;
    ns[method] = abstract_method(qualname.c_str());
    return make_class(m, name, py::type::of(abc_base), py::make_tuple(abc_base), ns);
}

}  // namespace ostrel
