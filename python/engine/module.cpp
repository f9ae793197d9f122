#include <Python.h>

// vorn._engine: the package's private compiled engine. The package converts and checks user
// input and hands the engine C-contiguous float64 arrays (int64 for folds); the engine does the
// numeric work with the interpreter lock released, and Ctrl-C stops it.

#include <atomic>
#include <cstdint>

#include "calls.hpp"
#include "errors.hpp"
#include "interpreter_guard.hpp"
#include "py_ref.hpp"

namespace vorn::py {

const char* const internal_failure_name = "vorn._engine.InternalFailure";

namespace {

template <PyObject* (*Frame)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Frame));
}

constexpr int keywords_too = METH_VARARGS | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"fit", as_method<call_fit>(), keywords_too,
     "fit($module, x, y, delta, p, gamma, pruning, precondition)\n--\n\n"
     "One fit. x (n,) or None, y (n, d), delta (n,) or None; pruning 'DOMINANCE', 'PELT' or\n"
     "'FPVI'; precondition 'none' or 'local'. Returns a dict: breaks (P + 1,), coefs\n"
     "(P, d, 4), jumps (k,), jump_indices (k,) int64 (last prepared sample before each jump),\n"
     "x (m,) and y (m, d) (the prepared samples), complexity_counter, extensions, dropped,\n"
     "max_active. The arrays own their memory and share none with the inputs. The core's\n"
     "input errors raise ValueError with the core's message."},
    {"prepare", as_method<call_prepare>(), keywords_too,
     "prepare($module, x, y, delta)\n--\n\n"
     "The samples a fit works on, as fit prepares them: rows of y with a non-finite value\n"
     "dropped, sites sorted, rows sharing a site merged (weighted means). x (n,) or None\n"
     "(1, 2, ..., n), y (n, d), delta (n,) or None (ones). Returns a dict: x (m,) the distinct\n"
     "sites ascending, y (m, d), w (m,) the merged weights sum(1 / delta**2), delta (m,)\n"
     "sqrt(1 / w), site_of_row (n,) int64 (the site of each input row, -1 for a dropped row).\n"
     "The core's input errors raise ValueError with the core's message."},
    {"fit_prepared", as_method<call_fit_prepared>(), keywords_too,
     "fit_prepared($module, x, y, w, p, gamma, pruning, precondition, with_samples=True)\n"
     "--\n\n"
     "fit from prepared samples (x, y and w as prepare returns them), without preparing\n"
     "again: the same dict as fit on the raw samples, bit for bit. Samples that prepare could\n"
     "not have returned raise ValueError. with_samples=False leaves the dict's x and y empty\n"
     "(the caller holds them)."},
    {"fit_constant", as_method<call_fit_constant>(), keywords_too,
     "fit_constant($module, x, values, weight, gamma, with_samples=True)\n--\n\n"
     "The optimal fit with a constant (the weighted mean) between jumps, from prepared samples\n"
     "(x, values and weight as prepare returns x, y and w): a segment costs the weighted sum\n"
     "of squared deviations from its mean, each jump gamma. The same dict as fit; every\n"
     "segment is one piece with its mean in the last slot of coefs. Samples that prepare\n"
     "could not have returned raise ValueError. with_samples=False leaves the dict's x and y\n"
     "empty (the caller holds them)."},
    {"evaluate", as_method<call_evaluate>(), keywords_too,
     "evaluate($module, breaks, coefs, sites, nu=0, left=False)\n--\n\n"
     "The nu-th derivative (nu >= 0; 0 for values) of the piecewise polynomial breaks (P + 1,),\n"
     "coefs (P, d, k) (highest power first, local to each piece's left break) at sites (m,):\n"
     "an (m, d) array. A site on an inner break takes the piece on its right, or with\n"
     "left=True the piece on its left (the left limit); the first and last pieces extend\n"
     "beyond the outer breaks. NaN sites give NaN."},
    {"integrate", as_method<call_integrate>(), keywords_too,
     "integrate($module, breaks, coefs, a, b)\n--\n\n"
     "The integral from a to b of every column, a (d,) array; negative when b < a, NaN when a\n"
     "bound is NaN. Outside the outer breaks the first and last pieces are extended."},
    {"derivative", as_method<call_derivative>(), keywords_too,
     "derivative($module, breaks, coefs, nu)\n--\n\n"
     "Coefficients (P, d, max(k - nu, 1)) of the nu-th derivative, over the same breaks."},
    {"antiderivative", as_method<call_antiderivative>(), keywords_too,
     "antiderivative($module, breaks, coefs)\n--\n\n"
     "Coefficients (P, d, k + 1) of the antiderivative over the same breaks: 0 at breaks[0]\n"
     "and continuous across every break, jumps included."},
    {"cv_predict", as_method<call_cv_predict>(), keywords_too,
     "cv_predict($module, x, y, delta, folds, p, gamma, pruning, precondition)\n--\n\n"
     "Held-out predictions. x (n,), y (n, d), delta (n,) or None (ones); folds a list or tuple\n"
     "of int64 arrays of sample indices (0 <= index < n; checked). For each fold the samples\n"
     "outside it are fitted as by fit, and the fit is evaluated at the fold's sites. Rows\n"
     "follow the folds and the indices within each. Returns a dict: predicted (m, d) (the\n"
     "curve at the held-out site), left and right (m, d), in_gap (m,) bool, fold_ok (K,) bool.\n"
     "A site strictly between the two training samples either side of a jump of its fold's\n"
     "fit is in that jump's gap: left and right are then the curves of the segments before\n"
     "and after the jump, continued to the site; elsewhere both equal predicted. A fold whose\n"
     "training fit fails (fewer than two distinct sites) has fold_ok False and NaN rows.\n"
     "p and gamma out of range raise ValueError with the core's message."},
    {"cv_score", as_method<call_cv_score>(), keywords_too,
     "cv_score($module, x, y, delta, folds, p, gamma, pruning, precondition)\n--\n\n"
     "The core's cross-validation score, arguments as for cv_predict: the sum over folds and\n"
     "held-out samples of ((predicted - y) / delta)**2 over all columns, divided by n; +inf\n"
     "when gamma <= 0, p is outside [0, 1] or a training fit fails. With 'PELT' or 'FPVI'\n"
     "it equals _vorn_core.vorn_cvscore bit for bit."},
    {"jump_profiles", as_method<call_jump_profiles>(), keywords_too,
     "jump_profiles($module, x, y, w, p, precondition, jump_indices, thresholds,\n"
     "              keep_profile=False, smooth_reach=10.0, keep_smooth=False)\n--\n\n"
     "How firmly the samples hold each jump, the other jumps fixed. x (n,) and y (n, d) the\n"
     "prepared samples of a fit, w (n,) their merged weights 1 / delta**2 or None (ones),\n"
     "0 <= p < 1, jump_indices (k,) int64 the fit's last sample before each jump,\n"
     "thresholds (k,) in energy units. A split s puts the jump after sample s; jump j's\n"
     "splits run over its two segments first..last. Returns a dict of (k,) arrays: first,\n"
     "last, merged (the energy of first..last as one segment), at_fit (the two segments'\n"
     "energies at the fit's split), best and best_split (the cheapest split), low and high\n"
     "(the smallest and largest split costing at most best + threshold); with keep_profile\n"
     "also profile (every split's cost, jump after jump) and profile_offset (k + 1,).\n"
     "smooth_saving (k,): what the cheapest split saves on its samples replaced by the\n"
     "spline fitted to them alone at p (0 for p = 0), over the samples of first..last within\n"
     "smooth_reach bandwidths of the split (inf: all); with keep_smooth also smooth (rows, d),\n"
     "those splines' values jump after jump, smooth_offset (k + 1,) and smooth_first (k,),\n"
     "the first sample of each window."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn._engine",
    "The package's private compiled engine: fitting, evaluation, integrals and "
    "cross-validation on checked float64 arrays, with the interpreter lock released.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide, written once: the interpreter that owns the engine. Its exception type and
// NumPy's table are objects of that interpreter, so no other may import it.
std::atomic<std::int64_t> owner_interpreter{-1};

}  // namespace

}  // namespace vorn::py

extern "C" PyMODINIT_FUNC PyInit__engine() {
    using namespace vorn::py;
    if (!claim_interpreter(owner_interpreter, "vorn._engine")) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    PyObject* failure = internal_failure_type();
    if (failure == nullptr) return nullptr;
    Py_INCREF(failure);
    if (PyModule_AddObject(module.get(), "InternalFailure", failure) < 0) {
        Py_DECREF(failure);
        return nullptr;
    }
    return module.release();
}
