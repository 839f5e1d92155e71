// A float32 matrix in caller memory, addressed through byte strides. Plain data with no other
// dependency: the row kernels read it as well as everything above them.
#pragma once

#include <cstddef>
#include <cstring>

namespace tarnexa {

// Element (r, c) is the 4 bytes at data + r * row_stride + c * col_stride. Strides are in bytes
// and may be negative, zero or not a multiple of 4; data need not be aligned (and may be null when
// rows or cols is 0). Elements are loaded with memcpy, so the memory is never accessed as a
// misaligned float lvalue.
struct MatrixView {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = sizeof(float);

    float get(std::size_t r, std::size_t c) const noexcept {
        float v;
        std::memcpy(&v,
                    data + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof(float));
        return v;
    }
};

}  // namespace tarnexa
