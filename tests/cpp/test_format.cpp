#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/params.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_core/verror.hpp"

using namespace lodestra_core;

TEST(Format, Integers) {
  EXPECT_EQ(fmt_int(std::uint64_t{0}), "0");
  EXPECT_EQ(fmt_int(std::uint64_t{18446744073709551615ULL}), "18446744073709551615");
  EXPECT_EQ(fmt_int(std::int64_t{-1}), "-1");
  EXPECT_EQ(fmt_int(std::int64_t{-9223372036854775807LL - 1}), "-9223372036854775808");
}

TEST(Format, FixedRoundsTiesToEvenFromTheExactValue) {
  EXPECT_EQ(fmt_fixed(2.0, 4), "2.0000");
  EXPECT_EQ(fmt_fixed(-1.5, 4), "-1.5000");
  EXPECT_EQ(fmt_fixed(0.125, 2), "0.12");  // exact tie, even digit kept
  EXPECT_EQ(fmt_fixed(0.375, 2), "0.38");  // exact tie, rounds up to even
  EXPECT_EQ(fmt_fixed(2.675, 2), "2.67");  // 2.67499999... in binary
  EXPECT_EQ(fmt_fixed(3.14159265358979, 3), "3.142");
  EXPECT_EQ(fmt_fixed(123456789.0, 0), "123456789");
  EXPECT_EQ(fmt_fixed(1e-10, 3), "0.000");
}

TEST(Format, Scientific) {
  EXPECT_EQ(fmt_sci(0.0123, 4), "1.2300e-2");
  EXPECT_EQ(fmt_sci(0.0, 4), "0.0000e0");
  EXPECT_EQ(fmt_sci(1234.5, 4), "1.2345e3");
  EXPECT_EQ(fmt_sci(0.0009765625, 4), "9.7656e-4");
  EXPECT_EQ(fmt_sci(0.01, 3), "1.000e-2");
  EXPECT_EQ(fmt_sci(-2.5e-300, 1), "-2.5e-300");
  EXPECT_EQ(fmt_sci(1e300, 0), "1e300");
  EXPECT_EQ(fmt_sci(9.99995, 4), "1.0000e1");  // rounding carries into the exponent
  EXPECT_EQ(fmt_sci(1.25, 1), "1.2e0");        // exact tie to even
}

TEST(Format, NonFinite) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int n : {0, 3, 4}) {
    EXPECT_EQ(fmt_fixed(nan, n), "NaN");
    EXPECT_EQ(fmt_fixed(-nan, n), "NaN");
    EXPECT_EQ(fmt_fixed(inf, n), "inf");
    EXPECT_EQ(fmt_fixed(-inf, n), "-inf");
    EXPECT_EQ(fmt_sci(nan, n), "NaN");
    EXPECT_EQ(fmt_sci(inf, n), "inf");
    EXPECT_EQ(fmt_sci(-inf, n), "-inf");
  }
}

TEST(VError, DisplayTexts) {
  EXPECT_EQ(to_string(VError{DimensionMismatch{3, 4}}), "dimension mismatch: expected 3, got 4");
  EXPECT_EQ(to_string(VError{ConvergenceFailure{50, 0.00012346}}),
            "convergence failure after 50 iterations (residual = 1.235e-4)");
  EXPECT_EQ(to_string(VError{InvalidParameter{"nx must be >= 2"}}),
            "invalid parameter: nx must be >= 2");
  EXPECT_EQ(to_string(VError{Io{"disk full"}}), "I/O error: disk full");
}

TEST(Panic, EqualityAssertionNamesBothSizes) {
  EXPECT_NO_THROW(assert_eq(4, 4));
  try {
    assert_eq(4, 8);
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "assertion `left == right` failed\n  left: 4\n right: 8");
    EXPECT_GT(p.line(), 0u);
  }
}

TEST(Sizes, CheckedMultiplyRefusesToWrap) {
  EXPECT_EQ(checked_mul(1ULL << 31, 1ULL << 32), 1ULL << 63);
  EXPECT_THROW(checked_mul(1ULL << 32, 1ULL << 32), std::overflow_error);
}

TEST(RidiParams, DefaultTestDerivedQuantities) {
  const RidiParams p = RidiParams::default_test();
  EXPECT_EQ(p.a_eff(), -1.5);
  EXPECT_EQ(p.defect_length(), std::sqrt(0.5));
  EXPECT_EQ(p.pi_number(), 2.0);
  EXPECT_EQ(p.ch_coherence_length(), 1.0);
  EXPECT_EQ(p.phi_eq(), 1.0);
  EXPECT_TRUE(p.validate().has_value());
}
