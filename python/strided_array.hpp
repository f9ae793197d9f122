#pragma once
// A float64 array of one or two dimensions read in place through its strides: how both compiled
// modules hand the caller's samples to the core, whatever their layout and alignment.

#include <cstddef>

#include "views.hpp"

namespace vorn::py {

struct StridedArray {
    const std::byte* data = nullptr;
    std::size_t shape[2] = {0, 0};
    std::ptrdiff_t strides[2] = {0, 0};

    VectorView vector() const { return {data, shape[0], strides[0]}; }
    MatrixView matrix() const { return {data, shape[0], shape[1], strides[0], strides[1]}; }
};

}  // namespace vorn::py
