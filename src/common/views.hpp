// Read-only views of caller memory (NumPy arrays) addressed through byte strides.
// Elements are loaded with memcpy, so any alignment and any stride is read safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/fault.hpp"
#include "common/matrix_view.hpp"

namespace tarnexa {

template <class T>
struct VecView {
    const std::byte* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = sizeof(T);

    std::size_t size() const noexcept { return len; }
    // Unchecked read; the caller has established i < len.
    T get(std::size_t i) const noexcept {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        return v;
    }
    // Checked read: a read past the end is an internal fault.
    T at(std::size_t i, std::source_location where = std::source_location::current()) const {
        if (i >= len) [[unlikely]] array_index_fault(len, i, where);
        return get(i);
    }
};

// NumPy booleans are one byte; any non-zero byte reads as true.
struct BoolView {
    VecView<std::uint8_t> bytes;
    std::size_t size() const noexcept { return bytes.len; }
    bool get(std::size_t i) const noexcept { return bytes.get(i) != 0; }
    bool at(std::size_t i, std::source_location where = std::source_location::current()) const {
        return bytes.at(i, where) != 0;
    }
};

// A matrix of int8 codes in caller memory: row r's cols codes are the bytes at
// data + r * row_stride, one after the other.
struct CodesView {
    const std::int8_t* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
};

}  // namespace tarnexa
