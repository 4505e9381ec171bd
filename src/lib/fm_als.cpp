// Binding of the factorization-machine trainer: fm_als_fit.
#include "checks.hpp"
#include "fm_als/fm_als.hpp"
#include "functions.hpp"
#include "pools.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

constexpr const char* kFmParams[] = {"indptr", "indices", "data", "y",     "group", "w0",
                                     "w",      "v",       "reg0", "reg_w", "reg_v", "n_iter"};
constexpr py::Signature kFm{"fm_als_fit", kFmParams, 12, 12};

py::Ref fm_als_fit_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  auto y = c.array<double>(3, 1);
  auto group = c.array<int64_t>(4, 1);
  const double w0 = c.real(5);
  auto w = c.array_mut<double>(6, 1);
  auto v = c.array_mut<double>(7, 2);
  const double reg0 = c.real(8);
  auto reg_w = c.array<double>(9, 1);
  auto reg_v = c.array<double>(10, 1);
  const uint64_t n_iter = c.count(11);
  c.check_borrows();

  auto ys = y.flat();
  auto d = data.flat();
  auto rw = reg_w.flat();
  auto rv = reg_v.flat();
  auto ws = w.flat_mut();
  auto vs = v.flat_mut();
  auto ptr_raw = indptr.flat();
  if (ptr_raw.size() != ys.size() + 1) py::value_error("indptr must have len(y) + 1 entries.");
  auto idx = indices.flat();
  if (idx.size() != d.size()) py::value_error("indices and data must have the same length.");
  if (v.cols() != ws.size()) py::value_error("v columns and group must match len(w).");
  auto g_raw = group.flat();
  if (g_raw.size() != v.cols()) py::value_error("v columns and group must match len(w).");
  if (rw.size() != rv.size()) py::value_error("reg_w and reg_v must have the same length.");
  std::vector<uint64_t> ptr = checks::check_indptr(ptr_raw, d.size());
  checks::check_indices(idx, ws.size(), "indices");
  std::vector<uint64_t> groups = checks::to_usize(g_raw, "group", rw.size());

  const uint64_t n_factors = ws.empty() ? 0 : vs.size() / ws.size();
  const sparse::CsrView view{ptr, checks::as_unsigned(idx), d, ys.size(), ws.size()};
  auto pool = pools::default_pool();
  fm_als::Fitted fitted = pools::run(*pool, [&] {
    return fm_als::fit(view, ys, w0, ws, vs, n_factors, groups, reg0, rw, rv, n_iter);
  });
  py::Ref rmse = py::float_list(fitted.rmse);
  return py::tuple({py::check(PyFloat_FromDouble(fitted.w0)), rmse.release()});
}

}  // namespace

const py::Function fm_als_fit{
    "fm_als_fit", py::entry<kFm, fm_als_fit_impl>,
    "fm_als_fit(indptr, indices, data, y, group, w0, w, v, reg0, reg_w, reg_v, n_iter)\n--\n\n"
    "Fit a second-order factorization machine for regression by alternating least squares.\n\n"
    "The design matrix is given in CSR form (one row per sample of `y`). `w` (n_features,)\n"
    "and `v` (n_factors, n_features) are updated in place; `group` assigns each feature to\n"
    "a regularization group of `reg_w` and `reg_v`. Returns the fitted global bias and the\n"
    "training RMSE after each sweep."};

}  // namespace qv::bind
