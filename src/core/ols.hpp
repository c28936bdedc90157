// Per-date least-squares residuals.
//
// Every date is an independent regression of N instrument values on an N x K design,
// restricted to the instruments whose value and regressors are all finite. Designs may
// be rank deficient (zero columns, collinear columns, fewer rows than columns); the
// residual is then the projection onto the orthogonal complement of the column space,
// with the rank decided from singular values the way an SVD-based least-squares solver
// decides it, on columns scaled to comparable norms.
#pragma once

#include <Eigen/Dense>

#include <cstddef>

namespace sigmora {

// Power-of-two factor that brings a column of 2-norm `norm` into [1, 2); 1 for a zero or
// non-finite norm. Multiplying by it is exact, so the column space is unchanged bit for bit.
double unit_scale(double norm);

// Scales each row of A (k x m: a regressor over m instruments) by the power of two that
// brings its largest magnitude into [1, 2) (magnitude_scale); `scale` receives the k
// factors.
void equalise_magnitudes(Eigen::Ref<Eigen::MatrixXd> A, Eigen::VectorXd& scale);

// Replaces `y` (m values) by its least-squares residual on the design X whose m rows
// are the columns of `A` (k x m: one instrument's k regressors contiguous).
//
// Nothing depends on the units of y or of the regressors: y is brought to magnitude ~1 by
// a power of two (taken back at the end), and so is every regressor before a product is
// formed, so huge or tiny values neither overflow nor vanish, and scaling y or a regressor
// by a power of two (keeping it in the float range) scales the residual by the same power
// or leaves it alone, bit for bit.
//
// The regressors are equalised by powers of two before the rank decision: singular values
// of the scaled design at or below eps * max(m, rank_dim) * max(1, s_max) count as zero.
// With `columns_scaled` false the projector picks the scales (2-norms in [1, 2)) and
// scales the rows of A in place; with true the caller has scaled them.
class ResidualProjector {
public:
    void project(Eigen::Ref<Eigen::MatrixXd> A, Eigen::Ref<Eigen::VectorXd> y, bool columns_scaled,
                 std::size_t rank_dim);

private:
    bool normal_equations(Eigen::Ref<Eigen::MatrixXd> A, Eigen::Ref<Eigen::VectorXd> y, bool columns_scaled);
    void rank_revealing(Eigen::Ref<Eigen::MatrixXd> X, Eigen::Ref<Eigen::VectorXd> y, std::size_t rank_dim);

    Eigen::MatrixXd X_, R_, gram_;
    Eigen::VectorXd d_, head_, coef_;
    Eigen::JacobiSVD<Eigen::MatrixXd> svd_;
    Eigen::LLT<Eigen::MatrixXd> llt_;
};

// Residuals of endog[t] (N values) on exog[t] (N x K), for every date t, without a
// constant. endog is T x N, exog T x N x K, both row-major; out (T x N) receives the
// residual of every instrument whose value and K regressors are finite and NaN elsewhere.
// With K == 0 the residual is the finite value itself.
void ols_residuals(const double* endog, const double* exog, std::size_t T, std::size_t N, std::size_t K,
                   double* out);

}  // namespace sigmora
