// Conversion of bound arguments into native values, one function per conversion kind.
// Every function throws PythonErrorSet (exception set) or Fault on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "boundary/py.hpp"
#include "common/views.hpp"

namespace tarnexa::py {

// A converted value that still reads a caller object in place (a list or a dict) takes a
// private copy when told that Python code may run, so the call sees its arguments as they
// were when converted even if that code changes them.
class Detachable {
public:
    virtual void detach() = 0;

protected:
    ~Detachable() = default;
};

class CallContext {
public:
    // Registers a converted value at its final address.
    void watch(Detachable* d) {
        if (count_ == kMax) fault("too many values watched in one call");
        lazy_[count_++] = d;
    }
    // Called before any conversion step that can run Python code.
    void before_python_code() {
        for (std::size_t i = 0; i < count_; ++i) lazy_[i]->detach();
        count_ = 0;
    }

private:
    static constexpr std::size_t kMax = 8;
    Detachable* lazy_[kMax] = {};
    std::size_t count_ = 0;
};

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

// ---- arrays ----
enum class Elem { boolean, float32, float64 };

// A NumPy array read in place under a shared borrow, both held until destruction.
class ArrayArg {
public:
    ArrayArg() noexcept = default;
    ArrayArg(ArrayArg&& o) noexcept;
    ArrayArg& operator=(ArrayArg&& o) noexcept;
    ArrayArg(const ArrayArg&) = delete;
    ArrayArg& operator=(const ArrayArg&) = delete;
    ~ArrayArg();

    explicit operator bool() const noexcept { return obj_ != nullptr; }
    MatrixView matrix() const noexcept;  // 2-D float32
    template <class T>
    VecView<T> vec() const noexcept {
        return {data_, static_cast<std::size_t>(dims_[0]), strides_[0]};
    }
    BoolView bools() const noexcept { return {vec<std::uint8_t>()}; }

private:
    friend ArrayArg to_array(PyObject*, Elem, int);
    PyObject* obj_ = nullptr;
    Ref descr_;  // the dtype the borrow was taken with
    const std::byte* data_ = nullptr;
    int nd_ = 0;
    Py_ssize_t dims_[2] = {0, 0};
    Py_ssize_t strides_[2] = {0, 0};
};
ArrayArg to_array(PyObject* obj, Elem elem, int ndim);

// ---- list of texts ----
class TextList final : public Detachable {
public:
    std::size_t size() const noexcept { return size_; }
    // Borrowed item i (a str or str subclass whose UTF-8 form is known to exist).
    PyObject* item(std::size_t i) const noexcept { return items_ ? items_[i] : owned_[i].get(); }
    std::string_view text(std::size_t i) const { return utf8(item(i)); }
    void detach() override;

private:
    friend TextList to_text_list(PyObject*, CallContext&, std::size_t);
    Ref seq_;                  // the caller's exact list or tuple, read in place until detached
    PyObject* const* items_ = nullptr;
    std::vector<Ref> owned_;   // items held by this list once detached
    std::size_t size_ = 0;
};
// `prechecked`: leading items of an exact list or tuple already known to be good.
TextList to_text_list(PyObject* obj, CallContext& ctx, std::size_t prechecked = 0);

// ---- list of unsigned integers ----
std::vector<std::uint64_t> to_index_list(PyObject* obj);

// ---- text-to-unsigned map ----
class IdMap final : public Detachable {
public:
    // The row of a document id given as a str object; nullopt when the id is not a key.
    std::optional<std::uint64_t> find(PyObject* id) const;
    void detach() override;

private:
    friend IdMap to_id_map(PyObject*, CallContext&, const struct Prechecked*);
    void insert(PyObject* key, std::uint64_t value);
    void copy_entries(Py_ssize_t until_pos);
    Ref dict_;         // while not owned: every key an exact str, every value an int
    bool owned_ = false;
    std::vector<Ref> keys_;
    std::unordered_map<std::string_view, std::uint64_t> map_;
};
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

IdMap to_id_map(PyObject* obj, CallContext& ctx, const Prechecked* pre = nullptr);

// ---- scalars ----
bool to_bool(PyObject* obj, CallContext& ctx);
std::uint64_t to_u64(PyObject* obj, CallContext& ctx);
double to_f64(PyObject* obj, CallContext& ctx);
inline float to_f32(PyObject* obj, CallContext& ctx) { return static_cast<float>(to_f64(obj, ctx)); }
std::string_view to_text(PyObject* obj);

}  // namespace tarnexa::py
