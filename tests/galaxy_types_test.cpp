#include "galaxy_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "random_coord.h"
#include "test_support.h"

namespace {

using test_support::alloc_default_galaxy;

double norm(const double *v) { return std::sqrt(v[X] * v[X] + v[Y] * v[Y] + v[Z] * v[Z]); }

TEST(GalaxyRecord, ScalarFields) {
  std::srand(1);
  gal_system *sys = alloc_default_galaxy(4);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->dimension, 3);
  EXPECT_EQ(sys->nb_element, 4);
  EXPECT_EQ(sys->typical_length, 1e18);
  EXPECT_EQ(sys->radius_max, 8e18);
  EXPECT_EQ(sys->total_mass, 1.9891e39);
  EXPECT_EQ(sys->mass_element, 1.9891e39 / 4.0);
  EXPECT_EQ(sys->duration, 1000.0);
  EXPECT_EQ(sys->stepsize, 1.0);
  EXPECT_EQ(sys->nbstep, 1001);
  EXPECT_EQ(sys->output_name, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(sys->mass[i], sys->mass_element);
  free_gal_system(sys);
}

TEST(GalaxyRecord, ParticlesReplayTheSamplersInOrder) {
  // Replaying the documented draw order must give back each particle's
  // radius and speed as the lengths of its position and velocity.
  const int n = 2000;
  std::srand(11);
  gal_system *sys = alloc_default_galaxy(n);
  ASSERT_NE(sys, nullptr);
  const int after_creation = std::rand();

  std::srand(11);
  for (int i = 0; i < n; ++i) {
    const double radius = compute_random_radius(sys);
    const double phi = compute_random_phi();
    const double theta = compute_random_theta();
    const double *pos = sys->pos + 3 * i;
    ASSERT_EQ(pos[X], std::cos(phi) * (std::sin(theta) * radius));
    ASSERT_EQ(pos[Z], std::cos(theta) * radius);
    ASSERT_NEAR(norm(pos), radius, 1e-14 * radius);
    ASSERT_LE(radius, sys->radius_max * (1.0 + 1e-12));

    const double speed = compute_random_velocity_norm(sys, radius);
    compute_random_phi();
    compute_random_theta();
    ASSERT_NEAR(norm(sys->vel + 3 * i), speed, 1e-14 * speed);
    ASSERT_LE(speed, compute_escape_velocity_function(sys, radius));
  }
  EXPECT_EQ(std::rand(), after_creation);
  free_gal_system(sys);
}

TEST(GalaxyRecord, SingleParticleCarriesTheWholeMass) {
  std::srand(1);
  gal_system *sys = alloc_default_galaxy(1);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->mass_element, sys->total_mass);
  const double radius = norm(sys->pos);
  EXPECT_LE(radius, sys->radius_max * (1.0 + 1e-12));
  EXPECT_LE(norm(sys->vel), compute_escape_velocity_function(sys, radius) * (1.0 + 1e-12));
  free_gal_system(sys);
}

TEST(GalaxyRecord, EmptyCountsTakeNoDraw) {
  for (int32_t count : {0, -1, -nb_element_limit}) {
    std::srand(21);
    gal_system *sys = alloc_default_galaxy(count);
    ASSERT_NE(sys, nullptr);
    const int next = std::rand();
    std::srand(21);
    EXPECT_EQ(next, std::rand()) << "count " << count;
    EXPECT_EQ(sys->mass_element, 1.9891e39 / count);
    free_gal_system(sys);
  }
}

TEST(GalaxyRecord, CountsBeyondTheIndexRangeAreRefused) {
  EXPECT_EQ(alloc_default_galaxy(nb_element_limit + 1), nullptr);
  EXPECT_EQ(alloc_default_galaxy(-nb_element_limit - 1), nullptr);
  EXPECT_EQ(alloc_default_galaxy(INT32_MAX), nullptr);
  free_gal_system(nullptr);  // release accepts null
}

TEST(GalaxyRecord, ZeroStepLeavesNbstepDefined) {
  gal_system *sys = alloc_gal_system(0, 1e18, 8e18, 1.9891e39, 0.0, 1000.0);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->nbstep, 0);
  free_gal_system(sys);
}

}  // namespace
