// Neutralization: per-date least-squares residuals on style exposures, industry
// membership and further dense regressors, without building the dense design.
//
// Regressing on one-hot industry dummies equals demeaning every variable within each
// industry (Frisch-Waugh-Lovell), so the dummies never exist as columns: each date's
// values and regressors are demeaned per industry over the complete instruments, and
// the demeaned value is regressed on the demeaned regressors. Instruments without an
// industry (code -1) have all-zero dummies and are left as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sigmora {

// Style exposures in long form, as a market-data service delivers them: one record per
// (instrument, date) pair holding n_factors values. Record r's value of factor s is at
// values[r * record_stride + s * factor_stride].
struct LongExposures {
    const double* values = nullptr;
    std::size_t n_records = 0;
    std::size_t n_factors = 0;
    std::ptrdiff_t record_stride = 0;
    std::ptrdiff_t factor_stride = 0;
    const std::int64_t* record_date = nullptr;  // date slot of each record, -1 = not wanted
    const std::int64_t* record_key = nullptr;   // instrument key of each record, -1 = none
    std::size_t n_dates = 0;                    // date slots are 0 .. n_dates - 1
    std::size_t n_keys = 0;                     // instrument keys are 0 .. n_keys - 1
    const std::int64_t* row_date = nullptr;     // date slot of each factor row (T), -1 = none
    const std::int64_t* column_key = nullptr;   // instrument key of each factor column (N), -1 = none
};

// Residuals of endog (T x N) on, per date t and instrument i: the style exposures of
// (column_key[i], row_date[t]), the industry dummies of codes[t, i] (codes in -1 ..
// n_industries - 1, or codes == nullptr for none), and dense[o][t, i] for every dense
// regressor (each T x N, row-major). An instrument missing its value or any regressor on
// a date gets NaN there; the others get their residual. Throws std::invalid_argument for
// codes or keys out of range and for two records of one (instrument, date) pair.
void ols_neutralize(const double* endog, std::size_t T, std::size_t N, const LongExposures& style,
                    const std::vector<const double*>& dense, const std::int64_t* codes, std::size_t n_industries,
                    double* out);

}  // namespace sigmora
