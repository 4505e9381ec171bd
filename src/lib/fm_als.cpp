// Binding of the factorization-machine trainer: fm_als_fit.
#include "checks.hpp"
#include "fm_als/fm_als.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

using py::Count, py::In, py::InOut, py::Real;

using FmArgs = py::Args<"fm_als_fit", In<"indptr", int64_t>, In<"indices", int64_t>, In<"data", double>,
                        In<"y", double>, In<"group", int64_t>, Real<"w0">, InOut<"w", double>, InOut<"v", double, 2>,
                        Real<"reg0">, In<"reg_w", double>, In<"reg_v", double>, Count<"n_iter">>;

py::Ref fm_als_fit(const FmArgs& a) {
  const auto& v = a.get<"v">();
  auto ys = a.get<"y">().flat();
  auto d = a.get<"data">().flat();
  auto rw = a.get<"reg_w">().flat();
  auto rv = a.get<"reg_v">().flat();
  auto ws = a.get<"w">().flat_mut();
  auto vs = v.flat_mut();
  auto ptr_raw = a.get<"indptr">().flat();
  if (ptr_raw.size() != ys.size() + 1) py::value_error("indptr must have len(y) + 1 entries.");
  checks::CsrInput m;
  m.data = d;
  m.indices = a.get<"indices">().flat();
  m.same_length();
  if (v.cols() != ws.size()) py::value_error("v columns and group must match len(w).");
  auto g_raw = a.get<"group">().flat();
  if (g_raw.size() != v.cols()) py::value_error("v columns and group must match len(w).");
  if (rw.size() != rv.size()) py::value_error("reg_w and reg_v must have the same length.");
  m.pointer(ptr_raw, d.size());
  m.columns(ws.size());
  std::vector<uint64_t> groups = checks::to_usize(g_raw, "group", rw.size());

  const uint64_t n_factors = ws.empty() ? 0 : vs.size() / ws.size();
  const sparse::CsrView view = m.view();
  auto pool = pools::default_pool();
  fm_als::Fitted fitted = pools::run(*pool, [&] {
    return fm_als::fit(view, ys, a.get<"w0">(), ws, vs, n_factors, groups, a.get<"reg0">(), rw, rv, a.get<"n_iter">());
  });
  py::Ref rmse = py::float_list(fitted.rmse);
  return py::tuple({py::check(PyFloat_FromDouble(fitted.w0)), rmse.release()});
}

const py::Registered functions{
    py::define<fm_als_fit>(
        "tuple[float, list[float]]",
        "Fit a second-order factorization machine for regression by alternating least squares.\n\n"
        "The design matrix is given in CSR form (one row per sample of `y`). `w` (n_features,)\n"
        "and `v` (n_factors, n_features) are updated in place; `group` assigns each feature to\n"
        "a regularization group of `reg_w` and `reg_v`. Returns the fitted global bias and the\n"
        "training RMSE after each sweep."),
};

}  // namespace
}  // namespace qv::bind
