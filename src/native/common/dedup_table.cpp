#include "dedup_table.hpp"

#include <cstdint>
#include <vector>

namespace ostrel {

namespace {

// The result is that of `if field not in retained: retained.append(field)`
// over the fields in order. To avoid comparing every field with every
// retained one, an exact dict whose contents are plain built-in values (str,
// int, float, bool, None, bytes, complex, and exact lists, tuples and dicts of
// them) gets a structural hash that agrees with `==`: equal rows always hash
// alike, and hashing runs no Python code. Such a row is compared only with
// retained rows of the same hash and with the retained rows that have no
// hash, in retained order, so the comparisons that could run Python code (or
// raise) happen in the same order as in the plain scan. A row without a hash
// is compared with every retained row, exactly as the plain scan does.

constexpr int kMaxDepth = 32;

inline uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

bool structural_hash(PyObject* v, uint64_t& out, int depth) {
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        v == Py_None || type == &PyBytes_Type || type == &PyComplex_Type) {
        // Numbers that compare equal hash alike across int, float and bool.
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1) {
            PyErr_Clear();
            return false;
        }
        out = static_cast<uint64_t>(h);
        return true;
    }
    if (depth >= kMaxDepth) return false;
    if (type == &PyList_Type || type == &PyTuple_Type) {
        const bool is_list = type == &PyList_Type;
        const Py_ssize_t n = Py_SIZE(v);
        uint64_t h = mix(static_cast<uint64_t>(n) ^ (is_list ? 0x6c697374ULL : 0x7475706cULL));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = is_list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i);
            uint64_t ih;
            if (!structural_hash(item, ih, depth + 1)) return false;
            h = mix(h + 0x9e3779b97f4a7c15ULL + ih);
        }
        out = h;
        return true;
    }
    if (type == &PyDict_Type) {
        // Order-independent: the sum of one mixed hash per entry.
        uint64_t sum = 0;
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        while (PyDict_Next(v, &pos, &k, &val)) {
            uint64_t kh, vh;
            if (!structural_hash(k, kh, depth + 1) || !structural_hash(val, vh, depth + 1)) return false;
            sum += mix(kh * 0x9e3779b97f4a7c15ULL + mix(vh));
        }
        out = mix(sum ^ mix(static_cast<uint64_t>(PyDict_GET_SIZE(v)) + 0x64696374ULL));
        return true;
    }
    return false;
}

bool row_hash(PyObject* field, uint64_t& out) {
    return PyDict_CheckExact(field) && structural_hash(field, out, 0);
}

// Chains of retained rows by hash: an open-addressing table from a hash to
// the first and last retained index that have it.
class Chains {
public:
    struct Slot {
        uint64_t hash;
        Py_ssize_t first = -1, last = -1;
    };

    explicit Chains(size_t expected) {
        size_t capacity = 16;
        while (capacity < expected * 2) capacity *= 2;
        slots_.resize(capacity);
    }

    // The slot of `hash`: its chain, or an empty slot to start one in.
    Slot& find(uint64_t hash) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = mix(hash) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.first < 0 || slot.hash == hash) return slot;
        }
    }

    // Counts a newly started chain, growing the table while it is half full.
    void started() {
        if (++used_ * 2 <= slots_.size()) return;
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.first >= 0) find(slot.hash) = slot;
    }

private:
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

}  // namespace

py::object distinct_rows(py::handle fields) {
    py::object retained = new_list();
    const Py_ssize_t expected = PyList_CheckExact(fields.ptr()) ? PyList_GET_SIZE(fields.ptr()) : 0;
    Chains chains(static_cast<size_t>(expected));
    // `next_same` links the retained rows of one hash in increasing order;
    // `unhashed` lists the retained rows that have no hash.
    std::vector<Py_ssize_t> next_same;
    std::vector<Py_ssize_t> unhashed;

    auto equal_to_retained = [&](Py_ssize_t index, py::handle field) {
        py::object kept = borrow(PyList_GET_ITEM(retained.ptr(), index));
        int r = PyObject_RichCompareBool(kept.ptr(), field.ptr(), Py_EQ);
        if (r < 0) throw_error();
        return r != 0;
    };

    for_each_item(fields, [&](py::object field) {
        uint64_t h = 0;
        const bool hashed = row_hash(field.ptr(), h);
        const Py_ssize_t index = PyList_GET_SIZE(retained.ptr());
        if (!hashed) {
            if (contains(retained, field)) return true;
            append(retained, field);
            next_same.push_back(-1);
            unhashed.push_back(index);
            return true;
        }
        Py_ssize_t same = chains.find(h).first;
        size_t other = 0;
        // Merge the two ascending index lists, comparing in retained order.
        while (same >= 0 || other < unhashed.size()) {
            Py_ssize_t candidate;
            if (other >= unhashed.size() || (same >= 0 && same < unhashed[other])) {
                candidate = same;
                same = next_same[static_cast<size_t>(same)];
            } else {
                candidate = unhashed[other++];
            }
            if (equal_to_retained(candidate, field)) return true;
        }
        append(retained, field);
        next_same.push_back(-1);
        // Found again: the comparisons above may have run Python code, but
        // nothing of that can reach the table.
        Chains::Slot& slot = chains.find(h);
        if (slot.first < 0) {
            slot.hash = h;
            slot.first = slot.last = index;
            chains.started();
        } else {
            next_same[static_cast<size_t>(slot.last)] = index;
            slot.last = index;
        }
        return true;
    });
    return retained;
}

}  // namespace ostrel
