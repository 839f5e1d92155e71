#include "boundary/borrow_registry.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <unordered_map>
#include <vector>

#include "boundary/numpy_api.hpp"

namespace tarnexa::borrow {
namespace {

constexpr const char* kCapsuleName = "_VELDT_NUMPY_BORROW_CHECKING_API";

struct Table {
    std::uint64_t version;
    void* state;
    int (*acquire)(void*, PyObject*);
    int (*acquire_mut)(void*, PyObject*);
    void (*release)(void*, PyObject*);
    void (*release_mut)(void*, PyObject*);
};

// A borrow: the bytes an array can touch, its data pointer and the gcd of its strides.
struct Key {
    std::uintptr_t start, end, data;
    std::intptr_t gcd;
    bool operator==(const Key&) const = default;
};

struct Entry {
    Key key;
    std::int64_t readers;  // > 0: that many shared borrows; -1: one exclusive borrow
};

using ByBase = std::unordered_map<std::uintptr_t, std::vector<Entry>>;

struct State {
    ByBase by_base;
    // Emptied map nodes, kept with their entry storage: most calls borrow and release the same
    // few arrays, which then costs no allocation.
    std::vector<ByBase::node_type> spare;

    State() { spare.reserve(8); }

    std::vector<Entry>& entries_of(std::uintptr_t base) {
        if (auto it = by_base.find(base); it != by_base.end()) return it->second;
        if (spare.empty()) return by_base[base];
        ByBase::node_type node = std::move(spare.back());
        spare.pop_back();
        node.key() = base;
        return by_base.insert(std::move(node)).position->second;
    }

    void forget(ByBase::iterator it) noexcept {
        ByBase::node_type node = by_base.extract(it);
        if (spare.size() < spare.capacity()) spare.push_back(std::move(node));  // never allocates
    }
};

std::uintptr_t base_address(PyObject* array) {
    PyTypeObject* array_type = numpy::api().array_type();
    PyObject* cur = array;
    for (;;) {
        PyObject* base = numpy::fields(cur)->base;
        if (base == nullptr) break;
        if (!PyObject_TypeCheck(base, array_type)) {
            cur = base;
            break;
        }
        cur = base;
    }
    return reinterpret_cast<std::uintptr_t>(cur);
}

Key key_of(PyObject* array) {
    const numpy::ArrayFields* f = numpy::fields(array);
    auto data = reinterpret_cast<std::uintptr_t>(f->data);
    Key k{data, data, data, 1};
    if (f->nd == 0) return k;
    std::intptr_t lo = 0, hi = 0, g = 0;
    bool empty = false;
    for (int i = 0; i < f->nd; ++i) {
        Py_ssize_t dim = f->dimensions[i], stride = f->strides[i];
        if (dim == 0) empty = true;
        std::intptr_t span = static_cast<std::intptr_t>(dim - 1) * stride;
        (span < 0 ? lo : hi) += span;
        g = std::gcd(g, static_cast<std::intptr_t>(stride));
    }
    k.gcd = g;
    if (!empty) {
        k.start = data + lo;  // lo <= 0, wraps as intended
        k.end = data + hi + static_cast<std::uintptr_t>(numpy::item_size(array));
    }
    return k;
}

bool conflict(const Key& a, const Key& b) {
    if (a.end <= b.start || b.end <= a.start) return false;
    std::intptr_t ga = a.gcd < 0 ? -a.gcd : a.gcd, gb = b.gcd < 0 ? -b.gcd : b.gcd;
    std::intptr_t g = std::gcd(ga, gb);
    // Two arrays whose strides are all zero each touch one element: overlapping byte
    // ranges mean they share bytes, so they conflict.
    if (g == 0) return true;
    std::uintptr_t diff = a.data > b.data ? a.data - b.data : b.data - a.data;
    return diff % static_cast<std::uintptr_t>(g) == 0;
}

int acquire_impl(void* state, PyObject* array) noexcept {
    try {
        auto& entries = static_cast<State*>(state)->entries_of(base_address(array));
        Key k = key_of(array);
        for (Entry& e : entries) {
            if (e.key == k) {
                if (e.readers < 0 || e.readers == std::numeric_limits<std::int64_t>::max()) return -1;
                ++e.readers;
                return 0;
            }
        }
        for (const Entry& e : entries)
            if (e.readers < 0 && conflict(e.key, k)) return -1;
        entries.push_back({k, 1});
        return 0;
    } catch (...) {
        return -3;
    }
}

int acquire_mut_impl(void* state, PyObject* array) noexcept {
    try {
        if (!(numpy::fields(array)->flags & numpy::kWriteable)) return -2;
        auto& entries = static_cast<State*>(state)->entries_of(base_address(array));
        Key k = key_of(array);
        for (const Entry& e : entries)
            if (e.key == k || conflict(e.key, k)) return -1;
        entries.push_back({k, -1});
        return 0;
    } catch (...) {
        return -3;
    }
}

void drop(void* state, PyObject* array, bool exclusive) noexcept {
    State& st = *static_cast<State*>(state);
    auto it = st.by_base.find(base_address(array));
    if (it == st.by_base.end()) return;
    Key k = key_of(array);
    auto& entries = it->second;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!(entries[i].key == k)) continue;
        if (!exclusive && entries[i].readers > 1) {
            --entries[i].readers;
        } else {
            entries[i] = entries.back();
            entries.pop_back();
        }
        break;
    }
    if (entries.empty()) st.forget(it);
}

void release_impl(void* state, PyObject* array) noexcept { drop(state, array, false); }
void release_mut_impl(void* state, PyObject* array) noexcept { drop(state, array, true); }

void destroy_capsule(PyObject* capsule) {
    auto* table = static_cast<Table*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (table == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<State*>(table->state);
    delete table;
}

const Table* g_table = nullptr;

const Table* load() {
    const numpy::Api& np = numpy::api();
    PyObject* module = np.multiarray;
    py::Ref capsule = py::Ref::steal(PyObject_GetAttrString(module, kCapsuleName));
    if (!capsule) {
        PyErr_Clear();
        auto* table = new Table{1, new State, acquire_impl, acquire_mut_impl, release_impl, release_mut_impl};
        capsule = py::Ref::steal(PyCapsule_New(table, kCapsuleName, destroy_capsule));
        if (!capsule) {
            delete static_cast<State*>(table->state);
            delete table;
            throw PythonErrorSet{};
        }
        if (PyObject_SetAttrString(module, kCapsuleName, capsule.get()) < 0) throw PythonErrorSet{};
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'",
                     py::type_name(capsule.get()).c_str());
        throw PythonErrorSet{};
    }
    auto* table = static_cast<const Table*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
    if (table == nullptr) throw PythonErrorSet{};
    if (table->version < 1) {
        PyErr_Format(PyExc_TypeError, "unsupported borrow checking API version %llu",
                     static_cast<unsigned long long>(table->version));
        throw PythonErrorSet{};
    }
    capsule.release();  // kept for the life of the process
    return table;
}

const Table& table() {
    if (g_table == nullptr) {
        try {
            g_table = load();
        } catch (const PythonErrorSet&) {
            fault("Interal borrow checking API error: " + numpy::render_pending_error());
        }
    }
    return *g_table;
}

}  // namespace

void acquire_shared(PyObject* array) {
    const Table& t = table();
    int rc = t.acquire(t.state, array);
    if (rc == 0) return;
    if (rc == -1) fault("array is exclusively borrowed elsewhere: AlreadyBorrowed");
    fault("Unexpected return code " + std::to_string(rc) + " from borrow checking API");
}

void release_shared(PyObject* array) noexcept {
    if (g_table != nullptr) g_table->release(g_table->state, array);
}

}  // namespace tarnexa::borrow
