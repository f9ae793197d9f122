#pragma once
// The engine's arguments and results. The package hands the engine arrays it has already
// converted and checked; these functions only make sure of the layout the core reads, and
// raise TypeError or ValueError naming the argument when the package broke its contract.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "strided_array.hpp"
#include "views.hpp"
#include "vorn.hpp"

namespace vorn::py {

struct DoubleArray {
    const double* data = nullptr;
    std::size_t shape[3] = {0, 0, 0};
    std::size_t size = 0;

    std::span<const double> values() const { return {data, size}; }
    VectorView vector() const { return VectorView::of(values()); }
    MatrixView matrix() const { return MatrixView::row_major(data, shape[0], shape[1]); }
};

// A C-contiguous, aligned float64 array of `nd` dimensions; nothing with TypeError otherwise.
std::optional<DoubleArray> double_array(const np::Api& numpy, PyObject* obj, int nd,
                                        const char* name);

// Any float64 array of `nd` (1 or 2) dimensions, read through its strides.
std::optional<StridedArray> strided_array(const np::Api& numpy, PyObject* obj, int nd,
                                          const char* name);

// A fit's samples as the caller passed them, read in place: x and delta may be None.
struct SampleViews {
    std::optional<VectorView> x;
    MatrixView y;
    std::optional<VectorView> delta;
};
std::optional<SampleViews> sample_views(const np::Api& numpy, PyObject* x, PyObject* y,
                                        PyObject* delta);

// breaks (P + 1,) and coefs (P, dim, order) of one piecewise polynomial; nothing with
// TypeError or ValueError otherwise.
std::optional<PpView> pp_arguments(const np::Api& numpy, PyObject* breaks, PyObject* coefs);

// A C-contiguous, aligned 1-D int64 array; nothing with TypeError otherwise.
std::optional<std::span<const std::int64_t>> index_array(const np::Api& numpy, PyObject* obj,
                                                         const char* name);

std::optional<Pruning> pruning_argument(const char* text);
std::optional<Precondition> precondition_argument(const char* text);

// A list or tuple of 1-D int64 arrays of indices below n, as the core's folds. Call inside a
// firewall (it allocates); false with a Python error set when the argument is unfit.
bool read_folds(const np::Api& numpy, PyObject* obj, std::size_t n,
                std::vector<std::vector<std::int64_t>>& out);

// Result arrays over the vector's memory (no copy); null with an error set on failure.
PyRef adopt_doubles(const np::Api& numpy, std::vector<double>&& values,
                    std::initializer_list<std::size_t> shape);
PyRef adopt_doubles(const np::Api& numpy, MappedVector<double>&& values,
                    std::initializer_list<std::size_t> shape);
PyRef adopt_indices(const np::Api& numpy, std::vector<std::uint64_t>&& values);
// Signed, for maps where -1 marks a row without a site.
PyRef adopt_signed_indices(const np::Api& numpy, std::vector<std::int64_t>&& values);
PyRef adopt_flags(const np::Api& numpy, std::vector<std::uint8_t>&& values);

// A fit's result dict (the frames fit and fit_prepared return the same keys).
PyRef curve_dict(const np::Api& numpy, Curve&& curve);
// What a fit frame returns: the curve's dict, or null with ValueError carrying the core's
// message; the conversion runs inside the firewall.
PyObject* curve_result(const np::Api& numpy, Checked<Curve>&& fitted);

bool set_item(PyObject* dict, const char* key, PyRef value);
PyRef unsigned_number(std::uint64_t value);

}  // namespace vorn::py
