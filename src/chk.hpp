#pragma once
// Input checks and sample preparation: shape checks, removal of non-finite rows, ordering by
// site, merging of samples that share a site, and weights from the standard deviations.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "views.hpp"

namespace vorn {

enum class InputErrorKind { PRange, GammaNegative, TooFewPoints, XYLength, DeltaLength };

struct InputError {
    InputErrorKind kind;
    double value = 0.0;       // p or gamma
    std::uint64_t first = 0;  // count; nx; n (rows of y)
    std::uint64_t second = 0; // ny; length of delta

    static InputError p_range(double p) { return {InputErrorKind::PRange, p, 0, 0}; }
    static InputError gamma_negative(double g) { return {InputErrorKind::GammaNegative, g, 0, 0}; }
    static InputError too_few_points(std::uint64_t count) {
        return {InputErrorKind::TooFewPoints, 0.0, count, 0};
    }
    static InputError xy_length(std::uint64_t nx, std::uint64_t ny) {
        return {InputErrorKind::XYLength, 0.0, nx, ny};
    }
    static InputError delta_length(std::uint64_t n, std::uint64_t nd) {
        return {InputErrorKind::DeltaLength, 0.0, n, nd};
    }

    std::string message() const;
};

// A value or the input error that prevented it.
template <class T>
class Checked {
public:
    Checked(T value) : state_(std::move(value)) {}
    Checked(InputError error) : state_(error) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const InputError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, InputError> state_;
};

// Shortest decimal that reads back to the same double, never in exponent notation and without
// a trailing ".0"; "NaN", "inf", "-inf".
std::string format_double(double value);

struct PreparedSamples {
    std::vector<double> x;      // distinct sites, strictly ascending
    std::vector<double> y;      // size() rows by dim columns, row-major
    std::size_t dim = 0;
    std::vector<double> w;      // merged weights, sum of 1 / delta^2
    std::vector<double> delta;  // sqrt(1 / w)

    std::size_t size() const { return x.size(); }
    MatrixView y_view() const { return MatrixView::row_major(y.data(), x.size(), dim); }
};

// Prepared samples read where they are held: a record's vectors, or arrays handed back by the
// caller, in the same layout.
struct PreparedView {
    std::span<const double> x;
    std::span<const double> y;
    std::size_t dim = 0;
    std::span<const double> w;
    std::span<const double> delta;

    std::size_t size() const { return x.size(); }
    MatrixView y_view() const { return MatrixView::row_major(y.data(), x.size(), dim); }
    static PreparedView of(const PreparedSamples& s) { return {s.x, s.y, s.dim, s.w, s.delta}; }
};

// Parameter checks made at the very start of a fit, p first and then gamma.
std::optional<InputError> check_p(double p);
std::optional<InputError> check_gamma(double gamma);
// Both checks in that order: the first failure, or nothing.
std::optional<InputError> check_parameters(double p, double gamma);

// Absent x means sites 1, 2, ..., n; absent delta means all ones.
Checked<PreparedSamples> prepare_samples(const std::optional<VectorView>& x, const MatrixView& y,
                                         const std::optional<VectorView>& delta);

}  // namespace vorn
