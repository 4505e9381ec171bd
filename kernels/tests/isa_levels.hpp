#pragma once
// Runs a test once per instruction-set level, so every vector path is compared with the
// portable one on the same inputs.
#include <gtest/gtest.h>

#include "core/isa.hpp"

namespace qv::testing_isa {

// Caps the level for one test and restores the previous cap afterwards.
class LevelTest : public ::testing::TestWithParam<isa::Level> {
 protected:
  void SetUp() override {
    if (GetParam() > isa::cpu()) GTEST_SKIP() << "this processor does not run " << isa::name(GetParam());
    saved_ = isa::cap();
    isa::set_cap(GetParam());
  }
  void TearDown() override { isa::set_cap(saved_); }

 private:
  isa::Level saved_ = isa::Level::avx512;
};

// Calls f() at every level this processor runs, portable first, and hands each result to
// same(portable_result, result); the cap is restored afterwards.
template <class F, class Same>
void at_every_level(F f, Same same) {
  const isa::Level saved = isa::cap();
  isa::set_cap(isa::Level::portable);
  const auto reference = f();
  for (isa::Level l : {isa::Level::avx2, isa::Level::avx512}) {
    if (l > isa::cpu()) break;
    isa::set_cap(l);
    SCOPED_TRACE(isa::name(l));
    same(reference, f());
  }
  isa::set_cap(saved);
}

inline std::string level_name(const ::testing::TestParamInfo<isa::Level>& info) { return isa::name(info.param); }

#define QV_ALL_LEVELS \
  ::testing::Values(::qv::isa::Level::portable, ::qv::isa::Level::avx2, ::qv::isa::Level::avx512)

}  // namespace qv::testing_isa
