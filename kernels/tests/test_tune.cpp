// The Parzen estimator's documented values and the rounding of integer proposals, which
// the Python tests cannot reach (a proposal never lands exactly on a half).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tune/parzen.hpp"
#include "tune/tpe.hpp"

using qv::tune::Parzen;

TEST(Parzen, PriorAloneOverTheUnitInterval) {
  Parzen p({}, {}, 0.0, 1.0, 1.0);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p.mus()[0], 0.5);
  EXPECT_EQ(p.sigmas()[0], 1.0);
  EXPECT_NEAR(p.log_norm()[0], -0.95992, 1e-5);
  EXPECT_NEAR(p.log_pdf(0.5), 0.0409777, 1e-7);
  EXPECT_EQ(p.log_pdf(NAN), -std::numeric_limits<double>::infinity());
}

TEST(Parzen, BandwidthsFromTheLargerGap) {
  const std::vector<double> values{0.2, 0.8}, weights{1.0, 1.0};
  Parzen p(values, weights, 0.0, 1.0, 1.0);
  EXPECT_EQ(p.mus(), (std::vector<double>{0.2, 0.8, 0.5}));
  EXPECT_EQ(p.sigmas(), (std::vector<double>{0.3, 0.30000000000000004, 1.0}));
  for (double w : p.weights()) EXPECT_EQ(w, 1.0 / 3.0);
}

TEST(Parzen, EqualCentresAndTheFloor) {
  // A value at `low` has a zero left gap and takes its right one. Of two equal centres the
  // first sees the zero gap on its right and the second on its left; the second's other
  // gap (0.1 to `high`) is below the floor of width / (n + 1) = 0.2.
  const std::vector<double> values{0.0, 0.9, 0.9}, weights{1.0, 1.0, 1.0};
  Parzen p(values, weights, 0.0, 1.0, 1.0);
  EXPECT_EQ(p.sigmas()[0], 0.5);
  EXPECT_EQ(p.sigmas()[1], 0.9 - 0.5);
  EXPECT_EQ(p.sigmas()[2], 0.2);
}

TEST(Parzen, NaNCentreAndEmptyInterval) {
  const std::vector<double> values{0.25, NAN}, weights{1.0, 1.0};
  Parzen p(values, weights, 0.0, 1.0, 1.0);
  EXPECT_TRUE(std::isnan(p.sigmas()[1]));
  EXPECT_EQ(p.log_norm()[1], -708.3964185322641);
  EXPECT_EQ(p.sigmas()[0], 0.25);  // the NaN neighbour is ignored: gaps 0.25 and 0.25
  EXPECT_TRUE(std::isnan(p.log_pdf(0.3)));

  Parzen point({}, {}, 2.0, 2.0, 1.0);
  for (double x : {2.0, 1.0, 3.0}) EXPECT_EQ(point.log_pdf(x), -std::numeric_limits<double>::infinity());
}

TEST(Tpe, IntegerProposalsRoundHalvesAwayFromZeroThenClamp) {
  const qv::tune::Domain d{qv::tune::Kind::Int, -3.0, 3.0, false, 0};
  for (auto [x, want] : std::vector<std::pair<double, double>>{
           {0.5, 1.0}, {-0.5, -1.0}, {2.5, 3.0}, {-2.5, -3.0}, {1.4999999999999998, 1.0}, {3.5, 3.0}, {-3.5, -3.0}})
    EXPECT_EQ(qv::tune::to_external(d, x), want) << x;
}

TEST(Tpe, RecencyWeightsRampFromOneOverN) {
  const std::vector<double> w = qv::tune::recency_weights(30);
  ASSERT_EQ(w.size(), 30u);
  EXPECT_EQ(w[0], 1.0 / 30.0);
  EXPECT_EQ(w[4], 1.0);
  for (size_t i = 5; i < 30; ++i) EXPECT_EQ(w[i], 1.0);
  EXPECT_EQ(qv::tune::recency_weights(26)[0], 1.0 / 26.0);
}

// The approximation evaluated in full, without the tail shortcuts.
static double erfc_full(double x) {
  const double s = std::fabs(x);
  const double t = 1.0 / std::fma(0.5, s, 1.0);
  double p = std::fma(t, 0.17087277, -0.82215223);
  for (double c : {1.48851587, -1.13520398, 0.27886807, -0.18628806, 0.09678418, 0.37409196, 1.00002368})
    p = std::fma(t, p, c);
  const double r = t * std::exp(std::fma(t, p, std::fma(-s, s, -1.26551223)));
  return x < 0 ? 2.0 - r : r;
}

TEST(Erfc, TailShortcutsGiveTheFullBits) {
  EXPECT_EQ(qv::tune::erfc_approx(0.0), erfc_full(0.0));
  EXPECT_NEAR(qv::tune::erfc_approx(0.0), 1.00000003, 1e-9);
  for (double x = 4.0; x < 40.0; x += 1.0 / 64)
    for (double v : {x, -x}) ASSERT_EQ(qv::tune::erfc_approx(v), erfc_full(v)) << v;
  // Past 6 the halved lower tail cannot move 1 - tail off 1, which the mass relies on.
  for (double x = 6.0; x < 40.0; x += 1.0 / 64) ASSERT_EQ(1.0 - 0.5 * erfc_full(x), 1.0) << x;
}
