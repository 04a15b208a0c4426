// The density special functions against mpmath values (tests/python/data/special_reference.json)
// and their documented behaviour at poles, infinities, NaN and branch switches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "density/special.hpp"

namespace d = mirelon::density;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Pairs = std::vector<std::pair<double, double>>;

// The reference file is an object of sections, each a list of [argument, value] string pairs.
// Every quoted string is either a section name or one half of a pair.
std::map<std::string, Pairs> load_reference() {
  const auto path = std::filesystem::path(__FILE__).parent_path() / ".." / "python" / "data" /
                    "special_reference.json";
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  std::map<std::string, Pairs> out;
  std::string section;
  std::vector<std::string> pending;
  for (size_t i = s.find('"'); i != std::string::npos; i = s.find('"', i)) {
    const size_t end = s.find('"', i + 1);
    std::string token = s.substr(i + 1, end - i - 1);
    i = end + 1;
    const size_t next = s.find_first_not_of(" \n", i);
    if (next != std::string::npos && s[next] == ':') {
      section = token;
      continue;
    }
    pending.push_back(token);
    if (pending.size() == 2) {
      out[section].emplace_back(std::strtod(pending[0].c_str(), nullptr),
                                std::strtod(pending[1].c_str(), nullptr));
      pending.clear();
    }
  }
  return out;
}

const std::map<std::string, Pairs>& reference() {
  static const auto table = load_reference();
  return table;
}

struct Case {
  const char* name;
  std::function<double(double)> fn;
  double rel;    // tolerance relative to |reference| ...
  double floor;  // ... but never below this absolute tolerance
};

class AgainstReference : public ::testing::TestWithParam<Case> {};

TEST_P(AgainstReference, MatchesMpmathWithinTheApproximationsAccuracy) {
  const Case& c = GetParam();
  const auto it = reference().find(c.name);
  ASSERT_NE(it, reference().end()) << "no reference values for " << c.name;
  ASSERT_GE(it->second.size(), 10u);
  for (const auto& [x, want] : it->second) {
    const double got = c.fn(x);
    EXPECT_NEAR(got, want, std::max(c.rel * std::fabs(want), c.floor))
        << c.name << "(" << x << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Special, AgainstReference,
    ::testing::Values(Case{"ln_gamma", d::ln_gamma, 2e-14, 2e-15},
                      Case{"erfc", d::erfc, 1e-13, 1e-300},
                      Case{"normal_quantile", d::normal_quantile, 1.2e-9, 1e-15},
                      Case{"digamma", d::digamma, 2e-10, 2e-10},
                      Case{"bessel_i0e", d::bessel_i0e, 0.0, 2e-7},
                      Case{"bessel_i1e", d::bessel_i1e, 0.0, 2.5e-7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LnGamma, ExactPointsPolesAndNonFiniteArguments) {
  EXPECT_NEAR(d::ln_gamma(1.0), 0.0, 1e-15);
  EXPECT_NEAR(d::ln_gamma(2.0), 0.0, 1e-15);
  EXPECT_NEAR(d::ln_gamma(0.5), 0.5723649429247, 5e-14);
  EXPECT_EQ(d::ln_gamma(0.0), kInf);
  // The logarithm of the signed quotient: NaN wherever sin(pi x) < 0.
  EXPECT_TRUE(std::isnan(d::ln_gamma(-0.5)));
  EXPECT_TRUE(std::isnan(d::ln_gamma(-2.5)));
  EXPECT_FALSE(std::isnan(d::ln_gamma(-1.5)));
  EXPECT_TRUE(std::isnan(d::ln_gamma(kInf)));
  EXPECT_TRUE(std::isnan(d::ln_gamma(kNaN)));
}

TEST(Erfc, SaturatesSymmetricAndPassesNaN) {
  EXPECT_EQ(d::erfc(27.3), 0.0);
  EXPECT_EQ(d::erfc(1e300), 0.0);
  EXPECT_EQ(d::erfc(kInf), 0.0);
  EXPECT_EQ(d::erfc(-27.3), 2.0);
  EXPECT_EQ(d::erfc(-kInf), 2.0);
  EXPECT_TRUE(std::isnan(d::erfc(kNaN)));
  EXPECT_EQ(d::erfc(-0.0), d::erfc(0.0));
  for (double x : {1e-300, 1e-9, 0.3, 1.0, 2.7, 9.0, 26.5}) {
    EXPECT_EQ(d::erfc(-x), 2.0 - d::erfc(x));
  }
}

TEST(Erfc, ManyMatchesOneAtATimeBitForBit) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(0.0, 8.0);
  std::vector<double> x(1003);
  for (double& v : x) v = normal(rng);
  x[0] = kNaN;
  x[1] = -kInf;
  x[2] = -0.0;
  std::vector<double> many(x.size());
  d::erfc_many(x.data(), many.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const double one = d::erfc(x[i]);
    EXPECT_EQ(std::memcmp(&one, &many[i], sizeof(double)), 0) << "at " << x[i];
  }
}

TEST(NormalQuantile, ManyMatchesOneAtATimeBitForBit) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> unit(-0.05, 1.05);
  std::vector<double> p(2053);
  for (double& v : p) v = unit(rng);
  const double specials[] = {kNaN, -kInf, kInf, 0.0, 1.0, 0.02425, 0.97575, 1e-300, 1e-320,
                             0.5, std::nextafter(0.02425, 0.0), std::nextafter(0.97575, 1.0)};
  for (size_t k = 0; k < std::size(specials); ++k) p[3 * k + 1] = specials[k];
  std::vector<double> many(p.size());
  d::normal_quantile_many(p.data(), many.data(), p.size());
  for (size_t i = 0; i < p.size(); ++i) {
    const double one = d::normal_quantile(p[i]);
    EXPECT_EQ(std::memcmp(&one, &many[i], sizeof(double)), 0) << "at " << p[i];
  }
}

TEST(NormalQuantile, CentreRegionEndsAndClampLimits) {
  EXPECT_EQ(d::normal_quantile(0.5), 0.0);
  EXPECT_NEAR(d::normal_quantile(0.02425), -1.97296104908487, 1e-13);
  EXPECT_NEAR(d::normal_quantile(0.97575), 1.97296104908487, 1e-13);
  const double low = d::normal_quantile(1e-300);
  EXPECT_NEAR(low, -37.047, 1e-3);
  for (double p : {0.0, -0.0, -1.0, -kInf, 1e-310}) EXPECT_EQ(d::normal_quantile(p), low) << p;
  const double high = d::normal_quantile(0.9999999999999999);
  EXPECT_NEAR(high, 8.2095, 1e-4);
  for (double p : {1.0, 2.0, kInf}) EXPECT_EQ(d::normal_quantile(p), high) << p;
  EXPECT_TRUE(std::isnan(d::normal_quantile(kNaN)));
}

TEST(Digamma, PolesAndTheSeriesThreshold) {
  EXPECT_NEAR(d::digamma(1.0), -0.5772156649, 2e-10);
  EXPECT_EQ(d::digamma(0.0), -kInf);
  for (double x : {-1.0, -2.0, -17.0, -9999.0}) EXPECT_EQ(d::digamma(x), -kInf) << x;
  EXPECT_TRUE(std::isfinite(d::digamma(-0.5)));
  EXPECT_TRUE(std::isnan(d::digamma(kNaN)));
  EXPECT_EQ(d::digamma(kInf), kInf);
}

// Far below zero the upward recurrence would not finish (it never reaches 6 from -inf or from
// -2^53 down, where x + 1 == x); these must return promptly.
TEST(Digamma, TerminatesFarBelowZero) {
  EXPECT_TRUE(std::isnan(d::digamma(-kInf)));
  for (double x : {-1e300, -9007199254740992.0, -1e16, -4503599627370496.0, -20000.0})
    EXPECT_EQ(d::digamma(x), -kInf) << x;
  // Non-integer arguments far below zero: reflection, psi(x) = psi(1 - x) - pi / tan(pi x).
  EXPECT_NEAR(d::digamma(-2251799813685247.5), std::log(2251799813685248.5), 1e-12);
  EXPECT_NEAR(d::digamma(-1e9 - 0.25), std::log(1e9 + 1.25) + 3.141592653589793, 1e-8);
  // Across the switch to reflection the recurrence psi(x + 1) = psi(x) + 1/x still holds.
  EXPECT_NEAR(d::digamma(-9999.25) - d::digamma(-10000.25), 1.0 / -10000.25, 1e-9);
}

TEST(Bessel, ParityZeroInfinityAndNaN) {
  EXPECT_EQ(d::bessel_i0e(0.0), 1.0);
  EXPECT_EQ(d::bessel_i1e(0.0), 0.0);
  for (double k : {0.2, 1.0, 3.74, 3.75, 5.0, 40.0}) {
    EXPECT_EQ(d::bessel_i0e(-k), d::bessel_i0e(k));
    EXPECT_EQ(d::bessel_i1e(-k), -d::bessel_i1e(k));
  }
  EXPECT_EQ(d::bessel_i0e(kInf), 0.0);
  EXPECT_EQ(d::bessel_i0e(-kInf), 0.0);
  EXPECT_EQ(d::bessel_i1e(kInf), 0.0);
  EXPECT_TRUE(std::isnan(d::bessel_i0e(kNaN)));
  EXPECT_TRUE(std::isnan(d::bessel_i1e(kNaN)));
  // 3.75 takes the large-argument branch: 0.39894228 + ... over sqrt(3.75), u = 1.
  const double i0_large = (0.39894228 + 0.01328592 + 0.00225319 - 0.00157565 + 0.00916281 -
                           0.02057706 + 0.02635537 - 0.01647633 + 0.00392377) /
                          std::sqrt(3.75);
  EXPECT_NEAR(d::bessel_i0e(3.75), i0_large, 1e-15);
}

}  // namespace
