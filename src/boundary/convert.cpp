#include "boundary/convert.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "boundary/borrow_registry.hpp"
#include "boundary/messages.hpp"
#include "boundary/numpy_api.hpp"

namespace tarnexa::py {

// ---- errors ----

void prefix_type_error(const char* name) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    std::string body;
    bool printable = false;
    if (Ref s = Ref::steal(PyObject_Str(exc))) {
        Py_ssize_t n = 0;
        if (const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n)) {
            body.assign(p, static_cast<std::size_t>(n));
            printable = true;
        }
    }
    if (!printable) {
        PyErr_WriteUnraisable(exc);
        PyObject* tname = PyType_GetName(Py_TYPE(exc));
        const char* t = tname ? PyUnicode_AsUTF8(tname) : nullptr;
        body = t ? text::unprintable(t) : text::kUnprintableObject;
        Py_XDECREF(tname);
        PyErr_Clear();
    }
    PyObject* cause = PyException_GetCause(exc);  // new reference or NULL
    std::string message = text::argument_prefix(name) + body;
    PyObject* fresh = PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                            static_cast<Py_ssize_t>(message.size()));
    if (fresh == nullptr) {
        Py_XDECREF(cause);
        Py_DECREF(exc);
        return;  // the creation error stays set
    }
    PyException_SetCause(fresh, cause);  // steals cause
    Py_DECREF(exc);
    PyErr_SetRaisedException(fresh);
}

[[noreturn, gnu::cold]] void type_mismatch(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, text::cannot_convert(type_name(obj), target));
}

// ---- arrays ----

MatrixView ArrayArg::matrix() const noexcept {
    return {data_, static_cast<std::size_t>(dims_[0]), static_cast<std::size_t>(dims_[1]), strides_[0],
            strides_[1]};
}

CodesView ArrayArg::codes() const noexcept {
    return {reinterpret_cast<const std::int8_t*>(data_), static_cast<std::size_t>(dims_[0]),
            static_cast<std::size_t>(dims_[1]), strides_[0]};
}

bool ArrayArg::unchanged() const noexcept {
    const numpy::ArrayFields* f = numpy::fields(array_.get());
    if (f->nd != nd_ || f->descr != descr_.get() || f->base != base_.get() ||
        reinterpret_cast<const std::byte*>(f->data) != data_)
        return false;
    for (int i = 0; i < nd_; ++i)
        if (f->dimensions[i] != dims_[i] || f->strides[i] != strides_[i]) return false;
    return true;
}

namespace {

struct ArrayKind {
    numpy::TypeNum type;
    int ndim;
};

constexpr ArrayKind array_kind(params::Conv conv) {
    using C = params::Conv;
    switch (conv) {
        case C::matrix_f32: return {numpy::kFloat32, 2};
        case C::codes_i8: return {numpy::kInt8, 2};
        case C::vec_f64: return {numpy::kFloat64, 1};
        case C::vec_bool: return {numpy::kBool, 1};
        default: return {numpy::kFloat32, 1};
    }
}

}  // namespace

ArrayArg& to_array(PyObject* obj, params::Conv conv, CallContext& ctx, const char* name) {
    const auto [type, ndim] = array_kind(conv);
    // Finding NumPy and the registry, or another module's registry, may run Python code.
    if (borrow::acquire_may_run_python_code()) ctx.before_python_code();
    const numpy::Api& np = numpy::api();
    if (!PyObject_TypeCheck(obj, np.array_type())) type_mismatch(obj, text::kPyArray);
    const numpy::ArrayFields* f = numpy::fields(obj);
    if (f->nd != ndim) type_mismatch(obj, text::kPyArray);
    PyObject* want = np.descr_of(type);
    if (f->descr != want && !np.equiv_types(f->descr, want)) type_mismatch(obj, text::kPyArray);
    // Codes are read a row's run of bytes at a time.
    if (conv == params::Conv::codes_i8 && f->strides[1] != 1 && f->dimensions[1] > 1) type_mismatch(obj, text::kPyArray);
    // The fields are recorded before the borrow is taken: they are what the borrow covers.
    ArrayArg a;
    a.array_ = Ref::borrow(obj);
    a.base_ = Ref::borrow(f->base);
    a.descr_ = Ref::borrow(f->descr);
    a.nd_ = ndim;
    a.data_ = reinterpret_cast<const std::byte*>(f->data);
    for (int i = 0; i < ndim; ++i) {
        a.dims_[i] = f->dimensions[i];
        a.strides_[i] = f->strides[i];
    }
    a.borrow_ = borrow::acquire_shared(obj);
    return ctx.keep(name, std::move(a));
}

// ---- the call's converted values ----

ArrayArg& CallContext::keep(const char* name, ArrayArg a) {
    ArrayArg& kept = arrays_.add(std::move(a));
    array_names_[arrays_.count - 1] = name;
    return kept;
}

void CallContext::before_python_code() {
    for (std::size_t i = 0; i < lists_.count; ++i) lists_.slot[i]->detach();
    for (std::size_t i = 0; i < maps_.count; ++i) maps_.slot[i]->detach();
}

void CallContext::arguments_converted() const {
    for (std::size_t i = 0; i < arrays_.count; ++i)
        if (!arrays_.slot[i]->unchanged()) fault(text::array_changed(array_names_[i]));
}

// ---- fast checks for the common items ----

namespace {

// An exact ASCII str: a type pointer comparison and one flag, no call.
inline bool common_item(PyObject* item) {
    return Py_IS_TYPE(item, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(item);
}

// An exact int small enough to be stored inline and not negative; its value goes to `n`.
inline bool small_index(PyObject* v, Py_ssize_t& n) {
    if (!Py_IS_TYPE(v, &PyLong_Type) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v)))
        return false;
    n = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
    return n >= 0;
}

}  // namespace

// ---- list of texts ----

namespace {

// Checks a list item and makes sure its UTF-8 form exists (CPython caches it).
inline void check_text_item(PyObject* item) {
    if (!PyUnicode_Check(item)) [[unlikely]] type_mismatch(item, text::kPyString);
    if (!PyUnicode_IS_COMPACT_ASCII(item)) (void)utf8(item);
}

void refuse_non_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, text::kStrToVec);
    if (!PySequence_Check(obj)) type_mismatch(obj, text::kSequence);
}

// Iterates any sequence, calling fn(item) with a new reference for each item.
template <class Fn>
void for_each_item(PyObject* obj, Fn&& fn) {
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) throw_pending();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) fn(std::move(item));
    if (PyErr_Occurred()) throw_pending();
}

// A capacity hint from the sequence's __len__. It is only a hint: a length that overstates
// the real one must not turn into a huge allocation, so it is capped.
std::size_t size_hint(PyObject* obj) {
    constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 20;
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n < kMaxHint ? n : kMaxHint);
}

}  // namespace

void TextList::detach() {
    if (items_ == nullptr) return;
    owned_.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i) owned_.push_back(Ref::borrow(items_[i]));
    items_ = nullptr;
    seq_ = Ref();
}

TextList& to_text_list(PyObject* obj, CallContext& ctx, std::size_t prechecked) {
    refuse_non_sequence(obj);
    TextList list;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Builtin containers: their items are checked in place and read there later.
        PyObject* const* items = PySequence_Fast_ITEMS(obj);
        std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj));
        for (std::size_t i = prechecked; i < n; ++i) {
            if (i + 32 < n) __builtin_prefetch(items[i + 32]);
            PyObject* item = items[i];
            if (common_item(item)) [[likely]] continue;
            check_text_item(item);
        }
        list.seq_ = Ref::borrow(obj);
        list.items_ = items;
        list.size_ = n;
        return ctx.keep(std::move(list));
    }
    ctx.before_python_code();
    list.owned_.reserve(size_hint(obj));
    for_each_item(obj, [&](Ref item) {
        check_text_item(item.get());
        list.owned_.push_back(std::move(item));
    });
    list.size_ = list.owned_.size();
    return ctx.keep(std::move(list));
}

// ---- list of unsigned integers ----

namespace {

[[gnu::noinline]] std::uint64_t as_u64_slow(PyObject* item) {
    Ref index;
    if (!PyLong_Check(item)) {
        index = Ref::steal(PyNumber_Index(item));
        if (!index) throw_pending();
        item = index.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return v;
}

// Small non-negative exact ints, the common case, are read inline.
inline std::uint64_t as_u64(PyObject* item) {
    Py_ssize_t v;
    if (small_index(item, v)) return static_cast<std::uint64_t>(v);
    return as_u64_slow(item);
}

}  // namespace

std::vector<std::uint64_t> to_index_list(PyObject* obj) {
    refuse_non_sequence(obj);
    std::vector<std::uint64_t> out;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // An item's __index__ may change a list, so re-read the size on every step.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_ITEMS(obj)[i]);
            out.push_back(as_u64(item.get()));
        }
        return out;
    }
    out.reserve(size_hint(obj));
    for_each_item(obj, [&](Ref item) { out.push_back(as_u64(item.get())); });
    return out;
}

// ---- text-to-unsigned map ----

void IdMap::insert(PyObject* key, std::uint64_t value) {
    std::string_view text = utf8(key);
    keys_.push_back(Ref::borrow(key));
    map_.insert_or_assign(text, value);
}

// Copies the dict's entries stored before index `until_pos` (all of them when negative).
void IdMap::copy_entries(Py_ssize_t until_pos) {
    PyObject* d = dict_.get();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    map_.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(d)));
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (until_pos >= 0 && pos - 1 >= until_pos) break;  // pos - 1 is the entry's index
        insert(k, PyLong_AsUnsignedLongLong(v));  // every value seen so far is a valid int
    }
    owned_ = true;
}

void IdMap::detach() {
    if (owned_) return;
    copy_entries(-1);
    dict_ = Ref();
}

std::optional<std::uint64_t> IdMap::find(PyObject* id) const {
    if (owned_) {
        auto it = map_.find(utf8(id));
        if (it == map_.end()) return std::nullopt;
        return it->second;
    }
    // Every key is an exact str, so probing with an exact str compares texts only.
    Ref probe;
    PyObject* key = id;
    if (!PyUnicode_CheckExact(id)) {
        std::string_view t = utf8(id);
        probe = made(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
        key = probe.get();
    }
    PyObject* value = PyDict_GetItemWithError(dict_.get(), key);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw_pending();
        return std::nullopt;
    }
    return PyLong_AsUnsignedLongLong(value);
}

namespace {

// Lists and dicts up to this many items stay in cache while they are walked, so they are
// walked without prefetching.
constexpr Py_ssize_t kInCache = 4096;

// Walks a dict's storage with a look-ahead window: the keys and values of the next entries
// are prefetched, since they live all over the heap. The window holds borrowed pointers, so
// it is dropped before any Python code runs; the walk then goes on entry by entry.
class DictCursor {
public:
    struct Entry {
        Py_ssize_t index;  // position of the entry in the dict's storage
        PyObject* key;
        PyObject* value;
    };

    // A small dict stays in cache, so it is walked without the window.
    explicit DictCursor(PyObject* dict, Py_ssize_t pos = 0)
        : dict_(dict), pos_(pos), window_(PyDict_GET_SIZE(dict) > kInCache) {}

    bool next(Entry& e) {
        if (!window_) return fetch(e);
        while (count_ < kWindow && !exhausted_) {
            Entry& slot = ring_[(head_ + count_) % kWindow];
            if (!fetch(slot)) {
                exhausted_ = true;
                break;
            }
            __builtin_prefetch(slot.key);
            __builtin_prefetch(slot.value);
            ++count_;
        }
        if (count_ == 0) return false;
        e = ring_[head_];
        head_ = (head_ + 1) % kWindow;
        --count_;
        return true;
    }

    // Continues right after `current` without a window.
    void drop_window(const Entry& current) {
        window_ = false;
        count_ = 0;
        pos_ = current.index + 1;
    }

private:
    static constexpr int kWindow = 16;
    bool fetch(Entry& e) {
        if (!PyDict_Next(dict_, &pos_, &e.key, &e.value)) return false;
        e.index = pos_ - 1;
        return true;
    }
    PyObject* dict_;
    Py_ssize_t pos_;
    bool window_, exhausted_ = false;
    int head_ = 0, count_ = 0;
    Entry ring_[kWindow];
};

// The common dict entry: an ASCII str key and a small non-negative int value.
inline bool common_entry(PyObject* k, PyObject* v, Py_ssize_t& n) { return common_item(k) && small_index(v, n); }

}  // namespace

namespace {

// Small enough to stay in cache: two plain walks cost the fewest instructions.
Prechecked precheck_plainly(PyObject* const* items, std::size_t n, PyObject* dict) {
    Prechecked done;
    while (done.items < n && common_item(items[done.items])) ++done.items;
    Py_ssize_t pos = 0, value;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v) && common_entry(k, v, value)) {
        ++done.entries;
        done.next_pos = pos;
    }
    return done;
}

// Chunk by chunk: first the next dict entries are fetched and their key and value objects
// requested, together with the list's next items, then all of them are checked. The requests
// of a chunk are in flight together instead of one miss after another.
Prechecked precheck_in_chunks(PyObject* const* items, std::size_t n, PyObject* dict) {
    Prechecked done;
    constexpr std::size_t kChunk = 64;
    PyObject* keys[kChunk];
    PyObject* values[kChunk];
    Py_ssize_t after[kChunk];  // the walk's position after each fetched entry
    Py_ssize_t pos = 0;
    bool list_going = n > 0, dict_going = true;
    while (list_going || dict_going) {
        std::size_t fetched = 0;
        if (dict_going) {
            while (fetched < kChunk && PyDict_Next(dict, &pos, &keys[fetched], &values[fetched])) {
                __builtin_prefetch(keys[fetched]);
                __builtin_prefetch(values[fetched]);
                after[fetched++] = pos;
            }
        }
        if (list_going) {
            const std::size_t end = std::min(n, done.items + kChunk);
            for (std::size_t i = done.items; i < end; ++i) __builtin_prefetch(items[i]);
            std::size_t i = done.items;
            while (i < end && common_item(items[i])) ++i;
            list_going = i == end && end < n;
            done.items = i;
        }
        for (std::size_t j = 0; j < fetched; ++j) {
            Py_ssize_t value;
            if (!common_entry(keys[j], values[j], value)) {
                dict_going = false;
                break;
            }
            ++done.entries;
            done.next_pos = after[j];
        }
        if (fetched < kChunk) dict_going = false;  // a short chunk is the last
    }
    return done;
}

}  // namespace

Prechecked precheck_ids_and_map(PyObject* ids, PyObject* dict) {
    if (!(PyList_CheckExact(ids) || PyTuple_CheckExact(ids)) || !PyDict_Check(dict)) return {};
    PyObject* const* items = PySequence_Fast_ITEMS(ids);
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(ids));
    if (n <= static_cast<std::size_t>(kInCache) && PyDict_GET_SIZE(dict) <= kInCache)
        return precheck_plainly(items, n, dict);
    return precheck_in_chunks(items, n, dict);
}

IdMap& to_id_map(PyObject* obj, CallContext& ctx, const Prechecked* pre) {
    if (!PyDict_Check(obj)) type_mismatch(obj, text::kPyDict);
    IdMap m;
    m.dict_ = Ref::borrow(obj);
    const Py_ssize_t start_len = PyDict_GET_SIZE(obj);
    Py_ssize_t seen = pre ? pre->entries : 0;
    DictCursor cursor(obj, pre ? pre->next_pos : 0);
    DictCursor::Entry e;
    for (;;) {
        if (PyDict_GET_SIZE(obj) != start_len) fault(text::kDictChangedSize);
        if (!cursor.next(e)) break;
        if (++seen > start_len) fault(text::kDictKeysChanged);
        PyObject* k = e.key;
        PyObject* v = e.value;
        Py_ssize_t row;
        if (common_entry(k, v, row)) [[likely]] {
            if (m.owned_) m.insert(k, static_cast<std::uint64_t>(row));
            continue;
        }
        if (!PyUnicode_Check(k)) type_mismatch(k, text::kPyString);
        if (!PyUnicode_IS_COMPACT_ASCII(k)) (void)utf8(k);
        if (PyLong_Check(v)) {
            // No Python code runs for an int, so the entry needs no references of its own.
            if (!m.owned_ && !PyUnicode_CheckExact(k)) m.copy_entries(e.index);
            const std::uint64_t n = as_u64(v);
            if (m.owned_) m.insert(k, n);
            continue;
        }
        // __index__ is Python code: from here on the map keeps its own copy.
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        cursor.drop_window(e);
        if (!m.owned_) m.copy_entries(e.index);
        ctx.before_python_code();
        const std::uint64_t n = as_u64(value.get());
        m.insert(key.get(), n);
    }
    if (m.owned_) m.dict_ = Ref();
    return ctx.keep(std::move(m));
}

// ---- scalars ----

namespace {

// A type that NumPy's bool scalar type would be by its module and name ("numpy", "bool_" or
// "bool"). Reading them runs Python code; a failure to read counts as another module.
bool named_as_numpy_bool(PyTypeObject* type) {
    bool named = false;
    if (Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"))) {
        if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
            if (Ref name = Ref::steal(PyType_GetName(type))) {
                named = PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                        PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
            }
        }
    }
    PyErr_Clear();
    return named;
}

}  // namespace

bool to_bool(PyObject* obj, CallContext& ctx) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    PyTypeObject* type = Py_TYPE(obj);
    // NumPy's own bool scalar type, known from its API table once that is loaded; any other
    // type by its module and name.
    const numpy::Api* np = numpy::loaded_api();
    bool from_numpy = np != nullptr && type == np->bool_scalar_type();
    if (!from_numpy) {
        ctx.before_python_code();
        from_numpy = named_as_numpy_bool(type);
    }
    if (!from_numpy) type_mismatch(obj, text::kPyBool);
    inquiry nb_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (nb_bool == nullptr) {
        std::string t = text::kUnprintableType;
        if (Ref s = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)))) {
            Py_ssize_t n = 0;
            if (const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n)) t.assign(p, n);
        }
        PyErr_Clear();
        raise(PyExc_TypeError, text::no_bool_conversion(t));
    }
    int r = nb_bool(obj);
    if (r == 0) return false;
    if (r == 1) return true;
    throw_pending();
}

std::uint64_t to_u64(PyObject* obj, CallContext& ctx) {
    if (!PyLong_Check(obj)) ctx.before_python_code();
    return as_u64(obj);
}

double to_f64(PyObject* obj, CallContext& ctx) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    if (!PyLong_CheckExact(obj)) ctx.before_python_code();
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw_pending();
    return v;
}

std::string_view to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) type_mismatch(obj, text::kPyString);
    return utf8(obj);
}

}  // namespace tarnexa::py
