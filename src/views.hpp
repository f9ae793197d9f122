#pragma once
// Read-only strided views over caller memory. Strides are in bytes, exactly as NumPy reports
// them, and elements are read with memcpy so that a misaligned (but valid) array is safe.

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace vorn {

struct VectorView {
    const std::byte* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = sizeof(double);

    double operator[](std::size_t i) const {
        double v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    }

    static VectorView of(std::span<const double> values) {
        return {reinterpret_cast<const std::byte*>(values.data()), values.size(), sizeof(double)};
    }
};

struct MatrixView {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = sizeof(double);

    double operator()(std::size_t r, std::size_t c) const {
        double v;
        std::memcpy(&v,
                    data + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof v);
        return v;
    }

    // A row-major contiguous block of rows x cols doubles.
    static MatrixView row_major(const double* values, std::size_t rows, std::size_t cols) {
        return {reinterpret_cast<const std::byte*>(values), rows, cols,
                static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
    }

    // Rows [first, first + count) of this view.
    MatrixView row_slice(std::size_t first, std::size_t count) const {
        return {data + static_cast<std::ptrdiff_t>(first) * row_stride, count, cols, row_stride,
                col_stride};
    }
};

}  // namespace vorn
