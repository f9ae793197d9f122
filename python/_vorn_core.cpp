#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "interpreter_guard.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "result.hpp"
#include "vorn.hpp"
#ifdef VORN_FAULT_INJECTION
#include "fault_injection.hpp"
#endif

namespace vorn::py {

const char* const internal_failure_name = "_vorn_core.InternalFailure";

namespace {

// ---- copies of the caller's arrays for one fit ----

std::vector<double> copy_vector(const StridedArray& a) {
    std::vector<double> out(a.shape[0]);
    if (out.empty()) return out;
    if (a.strides[0] == static_cast<std::ptrdiff_t>(sizeof(double))) {
        std::memcpy(out.data(), a.data, out.size() * sizeof(double));
    } else {
        for (std::size_t i = 0; i < out.size(); ++i) {
            std::memcpy(&out[i], a.data + static_cast<std::ptrdiff_t>(i) * a.strides[0],
                        sizeof(double));
        }
    }
    return out;
}

struct MatrixCopy {
    std::vector<double> values;
    MatrixView view;
};

// One block copy for a C- or Fortran-contiguous array, keeping its order (the core reads
// through strides, so the order does not change the result); row-major otherwise.
MatrixCopy copy_matrix(const StridedArray& a) {
    constexpr auto item = static_cast<std::ptrdiff_t>(sizeof(double));
    const std::size_t rows = a.shape[0];
    const std::size_t cols = a.shape[1];
    const auto row_bytes = static_cast<std::ptrdiff_t>(cols) * item;
    const auto col_bytes = static_cast<std::ptrdiff_t>(rows) * item;
    MatrixCopy out;
    out.values.resize(rows * cols);
    // Strides of an axis of length one say nothing about the layout.
    const bool c_order =
        (cols <= 1 || a.strides[1] == item) && (rows <= 1 || a.strides[0] == row_bytes);
    const bool f_order =
        (rows <= 1 || a.strides[0] == item) && (cols <= 1 || a.strides[1] == col_bytes);
    if (!out.values.empty() && !c_order && f_order) {
        std::memcpy(out.values.data(), a.data, out.values.size() * sizeof(double));
        out.view = {reinterpret_cast<const std::byte*>(out.values.data()), rows, cols, item,
                    col_bytes};
        return out;
    }
    if (!out.values.empty()) {
        if (c_order) {
            std::memcpy(out.values.data(), a.data, out.values.size() * sizeof(double));
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                const std::byte* row = a.data + static_cast<std::ptrdiff_t>(r) * a.strides[0];
                for (std::size_t c = 0; c < cols; ++c) {
                    std::memcpy(&out.values[r * cols + c],
                                row + static_cast<std::ptrdiff_t>(c) * a.strides[1],
                                sizeof(double));
                }
            }
        }
    }
    out.view = MatrixView::row_major(out.values.data(), rows, cols);
    return out;
}

// The core's loops ask this every few thousand steps; the interpreter lock is held throughout,
// so pending signals are handled right here and Ctrl-C leaves KeyboardInterrupt set.
bool signal_raised(void*) { return PyErr_CheckSignals() != 0; }

PyObject* argument_error(const char* name) {
    prefix_argument_error(name);
    return nullptr;
}

std::optional<OptionText> option_argument(const PyRef& given, const char* name) {
    std::optional<OptionText> text = to_option_text(given.get());
    if (!text) prefix_argument_error(name);
    return text;
}

bool parse_options(const std::optional<OptionText>& pruning_text,
                   const std::optional<OptionText>& precondition_text, Pruning& pruning,
                   Precondition& precondition) {
    if (pruning_text) {
        const std::optional<Pruning> parsed = parse_pruning(*pruning_text);
        if (!parsed) return false;
        pruning = *parsed;
    }
    if (precondition_text) {
        const std::optional<Precondition> parsed = parse_precondition(*precondition_text);
        if (!parsed) return false;
        precondition = *parsed;
    }
    return true;
}

// ---- vorn ----

constexpr const char* vorn_params[] = {"x",     "y",       "p",           "gamma",
                                       "delta", "pruning", "precondition"};
constexpr Signature vorn_signature{"vorn", vorn_params, 4};

// Null for an omitted argument. Holding the bound objects for the whole call keeps them alive
// whatever caller code does.
struct VornArguments {
    PyRef x, y, p, gamma, delta, pruning, precondition;
};

PyObject* vorn_frame(PyObject* args, PyObject* kwargs) {
    VornArguments bound;
    PyRef* const slots[] = {&bound.x,     &bound.y,       &bound.p,           &bound.gamma,
                            &bound.delta, &bound.pruning, &bound.precondition};
    if (!bind_arguments(vorn_signature, args, kwargs, slots)) return nullptr;
    PyObject* x = bound.x.get();
    PyObject* y = bound.y.get();
    PyObject* delta = bound.delta.get();
    const bool has_x = x != Py_None;
    const bool has_delta = delta != nullptr && delta != Py_None;

    if (has_x && !check_double_array(x, 1)) return argument_error("x");
    if (!check_double_array(y, 2)) return argument_error("y");
    const std::optional<double> p = to_double(bound.p.get());
    if (!p) return argument_error("p");
    const std::optional<double> gamma = to_double(bound.gamma.get());
    if (!gamma) return argument_error("gamma");
    if (has_delta && !check_double_array(delta, 1)) return argument_error("delta");
    std::optional<OptionText> pruning_text;
    if (bound.pruning && !(pruning_text = option_argument(bound.pruning, "pruning"))) {
        return nullptr;
    }
    std::optional<OptionText> precondition_text;
    if (bound.precondition &&
        !(precondition_text = option_argument(bound.precondition, "precondition"))) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;

    // From here on no caller code runs until the fit is done.
    if ((has_x && !recheck_array(x, 1, "x")) || !recheck_array(y, 2, "y") ||
        (has_delta && !recheck_array(delta, 1, "delta"))) {
        return nullptr;
    }
    Pruning pruning = Pruning::FPVI;
    Precondition precondition = Precondition::none;
    if (!parse_options(pruning_text, precondition_text, pruning, precondition)) return nullptr;
    const StridedArray x_read = has_x ? read_array(x) : StridedArray{};
    const StridedArray y_read = read_array(y);
    const StridedArray delta_read = has_delta ? read_array(delta) : StridedArray{};

    PyRef result;
    // Runs inside the entry point's firewall, like everything else in the frame.
    [&] {
        std::optional<Checked<FitResult>> fitted;
        {
            std::vector<double> x_copy;
            std::vector<double> delta_copy;
            std::optional<VectorView> x_view;
            std::optional<VectorView> delta_view;
            if (has_x) {
                x_copy = copy_vector(x_read);
                x_view = VectorView::of(x_copy);
            }
            if (has_delta) {
                delta_copy = copy_vector(delta_read);
                delta_view = VectorView::of(delta_copy);
            }
            const MatrixCopy y_copy = copy_matrix(y_read);
            fitted.emplace(fit(x_view, y_copy.view, delta_view, pruning, precondition, *p, *gamma,
                               CancelHook(signal_raised, nullptr)));
        }
        if (!*fitted) {
            PyErr_SetString(PyExc_RuntimeError, fitted->error().message().c_str());
            return;
        }
        result = build_result_dict(*numpy, std::move(fitted->value()));
    }();
    return result.release();  // null, with the error set, when the fit or the dictionary failed
}

// ---- vorn_cvscore ----

constexpr const char* cvscore_params[] = {"x",     "y",     "p",       "gamma",
                                          "delta", "folds", "pruning", "precondition"};
constexpr Signature cvscore_signature{"vorn_cvscore", cvscore_params, 6};

struct CvscoreArguments {
    PyRef x, y, p, gamma, delta, folds, pruning, precondition;
};

PyObject* vorn_cvscore_frame(PyObject* args, PyObject* kwargs) {
    CvscoreArguments bound;
    PyRef* const slots[] = {&bound.x,     &bound.y,     &bound.p,       &bound.gamma,
                            &bound.delta, &bound.folds, &bound.pruning, &bound.precondition};
    if (!bind_arguments(cvscore_signature, args, kwargs, slots)) return nullptr;
    PyObject* x = bound.x.get();
    PyObject* y = bound.y.get();
    PyObject* delta = bound.delta.get();

    if (!check_double_array(x, 1)) return argument_error("x");
    if (!check_double_array(y, 2)) return argument_error("y");
    const std::optional<double> p = to_double(bound.p.get());
    if (!p) return argument_error("p");
    const std::optional<double> gamma = to_double(bound.gamma.get());
    if (!gamma) return argument_error("gamma");
    if (!check_double_array(delta, 1)) return argument_error("delta");
    const std::optional<Folds> folds = to_folds(bound.folds.get());
    if (!folds) return argument_error("folds");
    std::optional<OptionText> pruning_text;
    if (bound.pruning && !(pruning_text = option_argument(bound.pruning, "pruning"))) {
        return nullptr;
    }
    std::optional<OptionText> precondition_text;
    if (bound.precondition &&
        !(precondition_text = option_argument(bound.precondition, "precondition"))) {
        return nullptr;
    }
    // From here on no caller code runs until the score is computed.
    if (!recheck_array(x, 1, "x") || !recheck_array(y, 2, "y") ||
        !recheck_array(delta, 1, "delta")) {
        return nullptr;
    }
    Pruning pruning = Pruning::FPVI;
    Precondition precondition = Precondition::none;
    if (!parse_options(pruning_text, precondition_text, pruning, precondition)) return nullptr;
    const StridedArray x_read = read_array(x);
    const StridedArray y_read = read_array(y);
    const StridedArray delta_read = read_array(delta);

    const double score = cv_score(x_read.vector(), y_read.matrix(),
                                  delta_read.vector(), *folds, pruning, precondition, *p,
                                  *gamma, CancelHook(signal_raised, nullptr));
    return PyFloat_FromDouble(score);
}

// ---- the module ----

// The one exception firewall of each entry point: the whole frame, binding and result included,
// runs inside it, so no allocation failure of any step can throw into the interpreter.
template <PyObject* (*Frame)(PyObject*, PyObject*)>
PyObject* entry_point(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* result = nullptr;
    if (!firewall([&] { result = Frame(args, kwargs); })) return nullptr;
    return result;
}

template <PyObject* (*Frame)(PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<Frame>));
}

PyMethodDef functions[] = {
    {"vorn", as_method<vorn_frame>(), METH_VARARGS | METH_KEYWORDS,
     "vorn(x, y, p, gamma, delta=None, pruning=\"FPVI\", precondition=\"none\")\n--\n\n"},
    {"vorn_cvscore", as_method<vorn_cvscore_frame>(), METH_VARARGS | METH_KEYWORDS,
     "vorn_cvscore(x, y, p, gamma, delta, folds, pruning=\"FPVI\", "
     "precondition=\"none\")\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0, not -1: with -1 CPython re-creates the module on a second import (and in a
// sub-interpreter) by copying its dictionary, bypassing the checks of the entry point.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vorn_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide, written once: the interpreter that owns the module, and the module itself.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    PyRef all;
    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        PyRef function =
            PyRef::steal(PyCMethod_New(def, module.get(), module_name.get(), nullptr));
        if (!function) return nullptr;
        PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return nullptr;
        if (!all) {
            all = PyRef::steal(PyList_New(0));
            if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) {
                return nullptr;
            }
        }
        if (PyList_Append(all.get(), name.get()) < 0 ||
            PyObject_SetAttr(module.get(), name.get(), function.get()) < 0) {
            return nullptr;
        }
    }
#ifdef VORN_FAULT_INJECTION
    if (add_fault_injection_hooks(module.get()) < 0) return nullptr;
#endif
    return module.release();
}

}  // namespace

}  // namespace vorn::py

extern "C" PyMODINIT_FUNC PyInit__vorn_core() {
    using namespace vorn::py;
    if (!claim_interpreter(owner_interpreter, "_vorn_core")) return nullptr;
    if (module_object == nullptr) {
        module_object = create_module();
        if (module_object == nullptr) return nullptr;
    }
    Py_INCREF(module_object);
    return module_object;
}
