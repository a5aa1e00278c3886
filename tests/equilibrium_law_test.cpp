#include "equilibrium_law.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "check_cli.h"
#include "random_stream.h"
#include "test_support.h"

namespace {

using test_support::ks_critical_sqrt_n;
using test_support::default_record;
using test_support::ks_statistic;
using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;

constexpr double a = 1e18;

// 128 ∫0^q t^4 (1 - t^2)^(3/2) dt by Simpson's rule in long double.
long double bracket_by_quadrature(long double q) {
  const int steps = 20000;
  const long double h = q / steps;
  auto g = [](long double t) { return 128.0L * powl(t, 4) * powl(1.0L - t * t, 1.5L); };
  long double sum = 0.0L;
  for (int i = 0; i < steps; ++i) {
    const long double lo = i * h;
    sum += h / 6.0L * (g(lo) + 4.0L * g(lo + h / 2.0L) + g(lo + h));
  }
  return sum;
}

TEST(EquilibriumLaw, BracketIsTheIntegralOfItsDerivative) {
  // The closed form and its series for small q, against the integral of
  // h'(q) = 128 q^4 (1 - q^2)^(3/2), which makes h increasing (the quadrature
  // itself is good to about 1e-11 near q = 1).
  for (double q : {1e-3, 0.05, 0.0999999, 0.1, 0.3, 0.7071, 0.9, 0.999, 1.0}) {
    const double expected = static_cast<double>(bracket_by_quadrature(q));
    EXPECT_NEAR(compute_equilibrium_bracket_function(q), expected, 1e-10 * expected) << q;
  }
  EXPECT_EQ(compute_equilibrium_bracket_function(0.0), 0.0);
  EXPECT_NEAR(compute_equilibrium_bracket_function(1.0), 1.5 * M_PI, 1e-14);
}

TEST(EquilibriumLaw, MassAndEscapeSpeed) {
  const gal_system sys = default_record();
  // M_h = M (9/8)^2; the escape speed is 9/8 of the defined law's.
  EXPECT_NEAR(compute_equilibrium_mass_function(&sys), 1.9891e39 * 81.0 / 64.0, 1e25);
  const double defined = std::sqrt(1.3346e-10 * 1.9891e39 / (a + a));
  EXPECT_NEAR(compute_equilibrium_escape_velocity_function(&sys, a), 9.0 / 8.0 * defined, 1e-6);
}

// P(speed <= v) at radius r, from v^2 f(Psi - v^2/2) integrated by Simpson's
// rule in x = v / v_esc, with f in its closed form (long double).
class reference_speed_cdf {
 public:
  explicit reference_speed_cdf(double r) : table_(steps + 1, 0.0L) {
    const long double psi = a / (r + a);
    auto p = [psi](long double x) {
      const long double q2 = psi * (1.0L - x * x);
      const long double q = sqrtl(q2), s = sqrtl(1.0L - q2);
      const long double h = 3.0L * asinl(q) + q * s * (1.0L - 2.0L * q2) * (8.0L * q2 * q2 - 8.0L * q2 - 3.0L);
      return x * x * h / powl(1.0L - q2, 2.5L);
    };
    const long double dx = 1.0L / steps;
    for (int i = 1; i <= steps; ++i) {
      const long double lo = (i - 1) * dx;
      table_[i] = table_[i - 1] + dx / 6.0L * (p(lo) + 4.0L * p(lo + dx / 2.0L) + p(lo + dx));
    }
  }
  double operator()(double x) const {
    const double position = x * steps;
    const int i = std::min(steps - 1, static_cast<int>(position));
    const long double t = position - i;
    return static_cast<double>((table_[i] + t * (table_[i + 1] - table_[i])) / table_[steps]);
  }

 private:
  static constexpr int steps = 40000;
  std::vector<long double> table_;
};

TEST(EquilibriumLaw, SpeedsFollowTheDistributionFunction) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  const gal_system sys = default_record();
  random_stream stream;
  init_counter_based_stream(&stream, 2024);
  uint64_t particle = 0;
  for (double r_over_a : {0.05, 1.0, 7.99}) {
    const double r = r_over_a * a;
    const double v_esc = compute_equilibrium_escape_velocity_function(&sys, r);
    const reference_speed_cdf cdf(r);
    std::vector<double> x(20000);
    for (double &value : x) {
      start_particle_stream(&stream, particle++);
      const double v = compute_random_equilibrium_speed(&sys, r, &stream);
      ASSERT_GE(v, 0.0);
      ASSERT_LT(v, v_esc);
      value = v / v_esc;
    }
    const double d = ks_statistic(x, [&](double value) { return cdf(value); });
    EXPECT_LT(std::sqrt(20000.0) * d, ks_critical_sqrt_n) << "r = " << r_over_a << " a";
  }
  // The centre: a finite speed of 0, no NaN, no endless loop.
  start_particle_stream(&stream, particle);
  EXPECT_EQ(compute_random_equilibrium_speed(&sys, 0.0, &stream), 0.0);
}

// The figure after name in galaxy-check's report.
double reported(const std::string &report, const std::string &name) {
  const size_t at = report.find(name);
  return at == std::string::npos ? NAN : std::strtod(report.c_str() + at + name.size(), nullptr);
}

TEST(EquilibriumProgram, FilesPassTheirChecksAndHoldTheVirialRatio) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  scratch_dir dir;
  // Seeded, and with the default sequence: the same laws either way.
  for (const std::vector<std::string> &source : {std::vector<std::string>{"--seed", "5"},
                                                  std::vector<std::string>{}}) {
    std::vector<std::string> args = source;
    for (const char *arg : {"--equilibrium", "-p", "100000", "-o", "e.ini"}) args.push_back(arg);
    ASSERT_EQ(run_program(GALAXY_IC_PATH, args, dir.path()).status, 0);
    const run_result r = run_program(GALAXY_CHECK_PATH, {"e.ini", "--equilibrium"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    // 1.0245 expected of the truncated sphere; a sample of 1e5 scatters
    // by about 0.005.
    const double virial = reported(r.out, "virial ratio, model W");
    EXPECT_GT(virial, 1.00) << r.out;
    EXPECT_LT(virial, 1.05) << r.out;
    // The defined law's checks see the difference: poles and speeds.
    const run_result defined = run_program(GALAXY_CHECK_PATH, {"e.ini"}, dir.path());
    EXPECT_EQ(defined.status, 1);
  }
}

TEST(EquilibriumProgram, SameBytesOnAnyNumberOfThreads) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  for (const std::vector<std::string> &source : {std::vector<std::string>{"--seed", "9"},
                                                  std::vector<std::string>{}}) {
    std::string first;
    for (const std::string threads : {"1", "2", "3"}) {
      std::vector<std::string> args = source;
      for (const std::string &arg :
           {std::string("--equilibrium"), std::string("--threads"), threads, std::string("-p"),
            std::string("20001"), std::string("-o"), std::string("t.ini")}) {
        args.push_back(arg);
      }
      ASSERT_EQ(run_program(GALAXY_IC_PATH, args, dir.path()).status, 0);
      const std::string text = read_file(dir.file("t.ini"));
      if (first.empty()) first = text;
      EXPECT_TRUE(text == first) << threads << " threads";
    }
  }
}

}  // namespace
