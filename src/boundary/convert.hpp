// Conversion of bound arguments into native values, one function per conversion kind.
// Every function throws PythonErrorSet (exception set) or Fault on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "boundary/borrow_token.hpp"
#include "boundary/py.hpp"
#include "common/params.hpp"
#include "common/views.hpp"

namespace tarnexa::py {

void prefix_type_error(const char* name) noexcept;

// Runs one parameter's conversion; an exact TypeError gets the prefix "argument '{name}': ".
template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonErrorSet&) {
        prefix_type_error(name);
        throw;
    }
}

[[noreturn]] void type_mismatch(PyObject* obj, const char* target);

class CallContext;

// ---- arrays ----

// A NumPy array read in place: an owning reference, the fields it had when converted and its
// shared borrow. Moves are member-wise; the borrow goes with its token.
class ArrayArg {
public:
    explicit operator bool() const noexcept { return bool(array_); }
    MatrixView matrix() const noexcept;  // 2-D float32
    CodesView codes() const noexcept;    // 2-D int8, contiguous columns
    template <class T>
    VecView<T> vec() const noexcept {
        return {data_, static_cast<std::size_t>(dims_[0]), strides_[0]};
    }
    BoolView bools() const noexcept { return {vec<std::uint8_t>()}; }
    // The array still has the data pointer, shape, strides, dtype and base it was converted with.
    bool unchanged() const noexcept;

private:
    friend ArrayArg& to_array(PyObject*, params::Conv, CallContext&, const char*);
    Ref array_;
    Ref base_;   // the base it had, kept so that no other object can take its address meanwhile
    Ref descr_;  // the dtype it had
    const std::byte* data_ = nullptr;
    int nd_ = 0;
    Py_ssize_t dims_[2] = {0, 0};
    Py_ssize_t strides_[2] = {0, 0};
    borrow::Token borrow_;  // last, so released first
};

// ---- list of texts ----
class TextList {
public:
    std::size_t size() const noexcept { return size_; }
    // Borrowed item i (a str or str subclass whose UTF-8 form is known to exist).
    PyObject* item(std::size_t i) const noexcept { return items_ ? items_[i] : owned_[i].get(); }
    std::string_view text(std::size_t i) const { return utf8(item(i)); }
    // Takes references of its own to the items instead of reading the caller's list in place.
    void detach();

private:
    friend TextList& to_text_list(PyObject*, CallContext&, std::size_t);
    Ref seq_;                  // the caller's exact list or tuple, read in place until detached
    PyObject* const* items_ = nullptr;
    std::vector<Ref> owned_;   // items held by this list once detached
    std::size_t size_ = 0;
};

// ---- text-to-unsigned map ----
class IdMap {
public:
    // The row of a document id given as a str object; nullopt when the id is not a key.
    std::optional<std::uint64_t> find(PyObject* id) const;
    // Copies the entries instead of reading the caller's dict in place.
    void detach();

private:
    friend IdMap& to_id_map(PyObject*, CallContext&, const struct Prechecked*);
    void insert(PyObject* key, std::uint64_t value);
    void copy_entries(Py_ssize_t until_pos);
    Ref dict_;         // while not owned: every key an exact str, every value an int
    bool owned_ = false;
    std::vector<Ref> keys_;
    std::unordered_map<std::string_view, std::uint64_t> map_;
};

// Everything one call converted: the arrays with their borrows, and the lists and maps, which may
// read the caller's containers in place until Python code is about to run. The converters put
// their results here, so every value is known to the call and released when it ends.
class CallContext {
public:
    CallContext() = default;
    CallContext(const CallContext&) = delete;
    CallContext& operator=(const CallContext&) = delete;

    ArrayArg& keep(const char* name, ArrayArg a);
    TextList& keep(TextList l) { return lists_.add(std::move(l)); }
    IdMap& keep(IdMap m) { return maps_.add(std::move(m)); }

    // Called before any conversion step that can run Python code: the lists and maps kept so far
    // take private copies, so the call sees them as they were when converted.
    void before_python_code();

    // Called once the last argument is converted (no Python code runs after it until the result
    // is built): an array that Python code resized, reallocated or re-typed meanwhile ends the
    // call with an internal fault naming its parameter, before anything reads its memory.
    void arguments_converted() const;

private:
    template <class T, std::size_t N>
    struct Kept {
        std::optional<T> slot[N];
        std::size_t count = 0;
        T& add(T&& v) {
            if (count == N) fault("too many values of one kind kept by one call");
            return slot[count++].emplace(std::move(v));
        }
    };
    Kept<TextList, 3> lists_;
    Kept<IdMap, 1> maps_;
    static constexpr std::size_t kMaxArrays = 11;  // score_candidates' seven, three of an int8 copy, one spare
    Kept<ArrayArg, kMaxArrays> arrays_;  // last, so released first
    const char* array_names_[kMaxArrays] = {};
};

// `conv` is one of the array kinds (matrix_f32, vec_f32, vec_f64, vec_bool, codes_i8).
ArrayArg& to_array(PyObject* obj, params::Conv conv, CallContext& ctx, const char* name);

// `prechecked`: leading items of an exact list or tuple already known to be good.
TextList& to_text_list(PyObject* obj, CallContext& ctx, std::size_t prechecked = 0);

// ---- list of unsigned integers ----
std::vector<std::uint64_t> to_index_list(PyObject* obj);

// A head start for converting an id list and an id map: the leading list items and dict
// entries of the common kind (an exact ASCII str; an exact ASCII str key with a small
// non-negative int value) are checked in one interleaved pass, so that the cache misses of the
// two walks overlap. It only checks: it raises nothing and runs no Python code, and the two
// conversions carry on from where it stopped, in their own order.
struct Prechecked {
    std::size_t items = 0;     // leading list items known to be good
    Py_ssize_t entries = 0;    // leading dict entries known to be good
    Py_ssize_t next_pos = 0;   // the dict walk's position after them
};
Prechecked precheck_ids_and_map(PyObject* ids, PyObject* dict);

IdMap& to_id_map(PyObject* obj, CallContext& ctx, const Prechecked* pre = nullptr);

// ---- scalars ----
bool to_bool(PyObject* obj, CallContext& ctx);
std::uint64_t to_u64(PyObject* obj, CallContext& ctx);
double to_f64(PyObject* obj, CallContext& ctx);
inline float to_f32(PyObject* obj, CallContext& ctx) { return static_cast<float>(to_f64(obj, ctx)); }
std::string_view to_text(PyObject* obj);

}  // namespace tarnexa::py
