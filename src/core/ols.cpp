#include "core/ols.hpp"

#include "core/numeric.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace sigmora {

using Eigen::Index;

double unit_scale(double norm) {
    if (!(norm > 0.0) || !std::isfinite(norm)) return 1.0;
    // The clamp keeps the factor finite for subnormal norms.
    return std::ldexp(1.0, -std::clamp(std::ilogb(norm), -1000, 1000));
}

void equalise_magnitudes(Eigen::Ref<Eigen::MatrixXd> A, Eigen::VectorXd& scale) {
    const Index k = A.rows(), m = A.cols();
    scale.setZero(k);
    // Down the contiguous columns (one instrument's regressors each); the values are finite.
    for (Index r = 0; r < m; ++r) scale.array() = scale.array().max(A.col(r).array().abs());
    for (Index j = 0; j < k; ++j) scale(j) = magnitude_scale(scale(j));
    A.array().colwise() *= scale.array();
}

bool ResidualProjector::normal_equations(Eigen::Ref<Eigen::MatrixXd> A, Eigen::Ref<Eigen::VectorXd> y,
                                         bool columns_scaled) {
    // Normal equations cost half a Householder QR and, after one step of refinement, are
    // accurate to rounding while cond(X)^2 * eps is far below one; the Cholesky factor's
    // condition estimate admits only such designs (all of full rank), the rest take the
    // rank-revealing path.
    const Index k = A.rows();
    gram_.setZero(k, k);
    gram_.selfadjointView<Eigen::Lower>().rankUpdate(A);
    if (columns_scaled) {
        d_.setOnes(k);
    } else {
        d_.resize(k);
        for (Index j = 0; j < k; ++j) d_(j) = unit_scale(std::sqrt(gram_(j, j)));
        // Scaling by powers of two commutes exactly with the products: D G D is the Gram
        // matrix of the scaled design.
        gram_ = d_.asDiagonal() * gram_ * d_.asDiagonal();
    }
    llt_.compute(gram_);
    if (llt_.info() != Eigen::Success || !(llt_.rcond() > 1e-6)) return false;
    for (int step = 0; step < 2; ++step) {
        coef_.noalias() = A * y;
        coef_.array() *= d_.array();
        llt_.solveInPlace(coef_);
        coef_.array() *= d_.array();
        y.noalias() -= A.transpose() * coef_;
    }
    return true;
}

void ResidualProjector::rank_revealing(Eigen::Ref<Eigen::MatrixXd> X, Eigen::Ref<Eigen::VectorXd> y,
                                       std::size_t rank_dim) {
    const Index m = X.rows(), k = X.cols();
    const double dim = static_cast<double>(std::max<std::size_t>(
        {static_cast<std::size_t>(m), static_cast<std::size_t>(k), rank_dim}));
    const double eps = std::numeric_limits<double>::epsilon();
    auto rank_of = [&](const Eigen::VectorXd& sv) {
        const double cutoff = eps * dim * std::max(1.0, sv.size() ? sv(0) : 0.0);
        Index r = 0;
        while (r < sv.size() && sv(r) > cutoff) ++r;
        return r;
    };

    if (m < k) {
        // Wide design: at most m directions, decided by an SVD of X itself.
        svd_.compute(X, Eigen::ComputeThinU);
        const Index r = rank_of(svd_.singularValues());
        if (r == m) {
            y.setZero();  // the columns span every direction
        } else if (r > 0) {
            const auto U = svd_.matrixU().leftCols(r);
            head_ = U.transpose() * y;
            y.noalias() -= U * head_;
        }
        return;
    }

    // Tall design: X = Q R by Householder reflections (backward stable whatever the rank),
    // then the rank and the column space of R from its SVD. The residual is
    // Q [P z_head; z_tail] with z = Q^T y and P the projector onto the complement of the
    // column space of R.
    Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(X);
    R_ = qr.matrixQR().topRows(k).triangularView<Eigen::Upper>();
    svd_.compute(R_, 0);
    const Index r = rank_of(svd_.singularValues());
    y.applyOnTheLeft(qr.householderQ().adjoint());
    if (r == k) {
        y.head(k).setZero();
    } else if (r > 0) {
        svd_.compute(R_, Eigen::ComputeFullU);
        const auto U = svd_.matrixU().leftCols(r);
        head_ = U.transpose() * y.head(k);
        y.head(k).noalias() -= U * head_;
    }
    y.applyOnTheLeft(qr.householderQ());
}

void ResidualProjector::project(Eigen::Ref<Eigen::MatrixXd> A, Eigen::Ref<Eigen::VectorXd> y, bool columns_scaled,
                                std::size_t rank_dim) {
    const Index k = A.rows(), m = A.cols();
    if (m == 0 || k == 0) return;
    const double y_scale = magnitude_scale(y.cwiseAbs().maxCoeff());
    y *= y_scale;
    if (!columns_scaled) equalise_magnitudes(A, d_);
    if (m < k || !normal_equations(A, y, columns_scaled)) {
        X_ = A.transpose();
        if (!columns_scaled) {
            for (Index j = 0; j < k; ++j) X_.col(j) *= unit_scale(X_.col(j).stableNorm());
        }
        rank_revealing(X_, y, rank_dim);
    }
    y *= 1.0 / y_scale;
}

void ols_residuals(const double* endog, const double* exog, std::size_t T, std::size_t N, std::size_t K,
                   double* out) {
    parallel_for(T, [&](std::size_t begin, std::size_t end) {
        Eigen::MatrixXd A(static_cast<Index>(K), static_cast<Index>(N));
        Eigen::VectorXd y(static_cast<Index>(N));
        std::vector<std::size_t> rows;
        rows.reserve(N);
        ResidualProjector projector;
        for (std::size_t t = begin; t < end; ++t) {
            const double* yt = endog + t * N;
            const double* xt = exog + t * N * K;
            double* ot = out + t * N;
            std::fill(ot, ot + N, kNaN);
            rows.clear();
            for (std::size_t i = 0; i < N; ++i) {
                bool complete = std::isfinite(yt[i]);
                for (std::size_t c = 0; complete && c < K; ++c) complete = std::isfinite(xt[i * K + c]);
                if (!complete) continue;
                const auto r = static_cast<Index>(rows.size());
                if (K) std::memcpy(A.col(r).data(), xt + i * K, K * sizeof(double));
                y(r) = yt[i];
                rows.push_back(i);
            }
            const auto m = static_cast<Index>(rows.size());
            auto ym = y.head(m);
            projector.project(A.leftCols(m), ym, false, K);
            for (Index r = 0; r < m; ++r) ot[rows[static_cast<std::size_t>(r)]] = ym(r);
        }
    });
}

}  // namespace sigmora
