#include "sparse/sparse.hpp"

namespace qv::sparse {

Csc Csc::from_csr(const CsrView& m) {
  Csc out;
  out.indptr.assign(checked_add(checked_len<uint64_t>(m.n_cols), 1), 0);
  for (uint64_t c : m.indices) {
    QV_ASSERT(c < m.n_cols, "CSR column out of range");
    out.indptr[c + 1] += 1;
  }
  for (size_t i = 1; i < out.indptr.size(); ++i) out.indptr[i] += out.indptr[i - 1];
  std::vector<uint64_t> cursor(out.indptr);
  out.indices.assign(m.indices.size(), 0);
  const bool values = !m.data.empty();
  out.data.assign(m.indices.size(), 0.0);
  for (uint64_t r = 0; r < m.n_rows; ++r) {
    auto [b, e] = m.row(r);
    for (size_t p = b; p < e; ++p) {
      uint64_t c = m.indices[p];
      size_t dst = cursor[c]++;
      out.indices[dst] = r;
      if (values) out.data[dst] = m.value(p);
    }
  }
  return out;
}

}  // namespace qv::sparse
