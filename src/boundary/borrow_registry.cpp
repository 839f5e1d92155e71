#include "boundary/borrow_registry.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <unordered_map>
#include <vector>

#include "boundary/messages.hpp"
#include "boundary/numpy_api.hpp"

namespace tarnexa::borrow {
namespace {

struct Table {
    std::uint64_t version;
    void* state;
    int (*acquire)(void*, PyObject*);
    int (*acquire_mut)(void*, PyObject*);
    void (*release)(void*, PyObject*);
    void (*release_mut)(void*, PyObject*);
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

    int acquire(const Key& k) {
        auto& entries = entries_of(k.base);
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
    }

    int acquire_exclusive(const Key& k) {
        auto& entries = entries_of(k.base);
        for (const Entry& e : entries)
            if (e.key == k || conflict(e.key, k)) return -1;
        entries.push_back({k, -1});
        return 0;
    }

    void drop(const Key& k, bool exclusive) noexcept {
        auto it = by_base.find(k.base);
        if (it == by_base.end()) return;
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
        if (entries.empty()) forget(it);
    }

    static bool conflict(const Key& a, const Key& b) {
        if (a.end <= b.start || b.end <= a.start) return false;
        std::intptr_t ga = a.gcd < 0 ? -a.gcd : a.gcd, gb = b.gcd < 0 ? -b.gcd : b.gcd;
        std::intptr_t g = std::gcd(ga, gb);
        // Two arrays whose strides are all zero each touch one element: overlapping byte
        // ranges mean they share bytes, so they conflict.
        if (g == 0) return true;
        std::uintptr_t diff = a.data > b.data ? a.data - b.data : b.data - a.data;
        return diff % static_cast<std::uintptr_t>(g) == 0;
    }
};

std::uintptr_t base_address(PyObject* array) {
    PyTypeObject* array_type = numpy::api().array_type();
    PyObject* cur = array;
    for (;;) {
        PyObject* base = numpy::fields(cur)->base;
        if (base == nullptr) break;
        cur = base;
        if (!PyObject_TypeCheck(base, array_type)) break;
    }
    return reinterpret_cast<std::uintptr_t>(cur);
}

Key key_of(PyObject* array) {
    const numpy::ArrayFields* f = numpy::fields(array);
    auto data = reinterpret_cast<std::uintptr_t>(f->data);
    Key k{base_address(array), data, data, data, 1};
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

// ---- the entry points this module's registry offers to every participant ----

int acquire_impl(void* state, PyObject* array) noexcept {
    try {
        return static_cast<State*>(state)->acquire(key_of(array));
    } catch (...) {
        return -3;
    }
}

int acquire_mut_impl(void* state, PyObject* array) noexcept {
    try {
        if (!(numpy::fields(array)->flags & numpy::kWriteable)) return -2;
        return static_cast<State*>(state)->acquire_exclusive(key_of(array));
    } catch (...) {
        return -3;
    }
}

void release_impl(void* state, PyObject* array) noexcept { static_cast<State*>(state)->drop(key_of(array), false); }
void release_mut_impl(void* state, PyObject* array) noexcept { static_cast<State*>(state)->drop(key_of(array), true); }

void destroy_capsule(PyObject* capsule) {
    auto* table = static_cast<Table*>(PyCapsule_GetPointer(capsule, text::kRegistryCapsule));
    if (table == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<State*>(table->state);
    delete table;
}

// ---- releases recorded in tokens ----

// Our own registry: by the recorded key, without looking at the array again.
void release_own(void* state, const Key& key, void*) noexcept { static_cast<State*>(state)->drop(key, false); }

// Another module's registry knows only arrays; the token holds a reference to the array.
void release_foreign(void* table, const Key&, void* array) noexcept {
    auto* t = static_cast<const Table*>(table);
    auto* a = static_cast<PyObject*>(array);
    {
        py::PendingAside aside(a);
        t->release(t->state, a);
    }
    Py_DECREF(a);
}

const Table* g_table = nullptr;
bool g_own = false;  // the table is the one this module created

const Table* load() {
    const numpy::Api& np = numpy::api();
    PyObject* module = np.multiarray;
    py::Ref capsule = py::Ref::steal(PyObject_GetAttrString(module, text::kRegistryCapsule));
    if (!capsule) {
        PyErr_Clear();
        auto* table = new Table{1, new State, acquire_impl, acquire_mut_impl, release_impl, release_mut_impl};
        capsule = py::Ref::steal(PyCapsule_New(table, text::kRegistryCapsule, destroy_capsule));
        if (!capsule) {
            delete static_cast<State*>(table->state);
            delete table;
            py::throw_pending();
        }
        py::check(PyObject_SetAttrString(module, text::kRegistryCapsule, capsule.get()));
    }
    if (!PyCapsule_CheckExact(capsule.get()))
        py::raise(PyExc_TypeError, text::cannot_convert(py::type_name(capsule.get()), text::kPyCapsule));
    auto* table = static_cast<const Table*>(PyCapsule_GetPointer(capsule.get(), text::kRegistryCapsule));
    if (table == nullptr) py::throw_pending();
    if (table->version < 1) py::raise(PyExc_TypeError, text::unsupported_registry_version(table->version));
    g_own = table->acquire == acquire_impl;
    capsule.release();  // kept for the life of the process
    return table;
}

const Table& table() {
    if (g_table == nullptr) {
        try {
            g_table = load();
        } catch (const PythonErrorSet&) {
            fault(text::join({text::kRegistryError, ": ", numpy::render_pending_error()}));
        }
    }
    return *g_table;
}

}  // namespace

Token acquire_shared(PyObject* array) {
    const Table& t = table();
    int rc;
    Token token;
    if (g_own) {
        Key k = key_of(array);
        try {
            rc = static_cast<State*>(t.state)->acquire(k);
        } catch (...) {
            rc = -3;  // as the table's entry point answers
        }
        if (rc == 0) token = Token(release_own, t.state, k, nullptr);
    } else {
        {
            py::PendingAside aside(array);
            rc = t.acquire(t.state, array);
        }
        if (rc == 0) token = Token(release_foreign, const_cast<Table*>(&t), Key{}, Py_NewRef(array));
    }
    if (rc == 0) return token;
    if (rc == -1) fault(text::kAlreadyBorrowed);
    fault(text::unexpected_return_code(rc));
}

bool acquire_may_run_python_code() noexcept { return g_table == nullptr || !g_own; }

}  // namespace tarnexa::borrow
