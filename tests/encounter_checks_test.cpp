#include "encounter_checks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "encounter.h"
#include "galaxy_types.h"

namespace {

constexpr double pi = 3.14159265358979323846;

pair_orbit orbit_of(double q, double e, double d) {
  pair_orbit o;
  o.pericentre = q, o.eccentricity = e, o.separation = d;
  o.mass[0] = 2e41, o.mass[1] = 5e40;
  o.centre[0] = 3e19, o.centre[2] = -1e20, o.bulk_velocity[1] = 2e4;
  o.spin[0][0] = pi / 3, o.spin[0][1] = pi / 6, o.spin[1][0] = pi, o.spin[1][1] = -1.0;
  return o;
}

// The check's places come from the conic's equation, galaxy-ic's from its
// own forms of the start (anomaly from the radius, its turn as a product):
// two routes to one orbit.
TEST(PairOrbit, PlacesAgreeWithTheGeneratorsOwnConstruction) {
  const double kpc = 3.0857e19;
  for (const double e : {0.0, 1e-9, 0.3, 1.0, 1.0 + 1e-9, 2.5}) {
    for (const double d : {25.0, 25.5, 60.0, 400.0}) {
      const double q = 25.0 * kpc, r = d * kpc;
      // Near a circle the start's anomaly is as uncertain as r - q.
      if (e < 1e-6 && d != 25.0) continue;
      if (e < 1.0 && r > q * (1.0 + e) / (1.0 - e)) continue;
      const pair_orbit o = orbit_of(q, e, r);
      pair_place mine[2];
      expected_places(o, mine);
      galaxy_motion theirs[2];
      place_pair(encounter_orbit{q, e, r}, o.mass[0], o.mass[1], o.spin[0], o.spin[1], theirs);
      const double v = std::hypot(mine[1].velocity[0] - mine[0].velocity[0], mine[1].velocity[1] - mine[0].velocity[1]);
      for (int k = 0; k < 2; ++k) {
        for (int c = 0; c < 3; ++c) {
          // galaxy-ic places the pair about its own origin; the frame is the check's.
          EXPECT_NEAR(mine[k].position[c] - o.centre[c], theirs[k].position[c], 1e-12 * r) << e << " " << d;
          EXPECT_NEAR(mine[k].velocity[c] - o.bulk_velocity[c], theirs[k].velocity[c], 1e-12 * v) << e << " " << d;
          for (int j = 0; j < 3; ++j) EXPECT_NEAR(mine[k].turn[c][j], theirs[k].turn.m[c][j], 1e-15);
        }
      }
    }
  }
}

// Two galaxies of two particles each, set about their places.
pair_lane lane_of(const pair_orbit &o, const pair_place places[2], double speed_scale, double flip_y = 1.0) {
  pair_accumulator acc;
  acc.rows[0] = {{0, 1}, {3, 4}};
  acc.rows[1] = {{1, 3}};
  particle_data chunk;
  const int galaxy_of_row[4] = {0, 1, 1, 0};
  const double offset[4] = {1e19, -2e19, 2e19, -1e19};
  for (int i = 0; i < 4; ++i) {
    const pair_place &p = places[galaxy_of_row[i]];
    const double m = o.mass[galaxy_of_row[i]] / 2.0;
    for (int c = 0; c < 3; ++c) {
      chunk.pos.push_back(p.position[c] + (c == 2 ? offset[i] : 0.0));
      const double relative = p.velocity[c] - o.bulk_velocity[c];
      chunk.vel.push_back(o.bulk_velocity[c] + relative * speed_scale * (c == 1 ? flip_y : 1.0));
    }
    chunk.mass.push_back(m);
  }
  chunk.nb_element = 4;
  pair_lane *lane = open_pair_lane(&acc);
  add_pair_particles(&acc, lane, chunk, 0);
  close_pair_lane(&acc, lane);
  return acc.totals;
}

std::string verdicts(const std::vector<check_line> &lines) {
  std::string out;
  for (const check_line &l : lines) out += l.name + (l.verdict == verdict_fail ? " FAIL\n" : " PASS\n");
  return out;
}

TEST(PairOrbit, LinesPassTheOrbitAndFailASlowerOrRecedingPair) {
  const double kpc = 3.0857e19;
  for (const double e : {0.0, 0.5, 1.0, 3.0}) {
    const double q = 20.0 * kpc, r = e == 0.0 ? q : 50.0 * kpc;
    const pair_orbit o = orbit_of(q, e, r);
    pair_place places[2];
    expected_places(o, places);
    const uint64_t counts[2] = {2, 2};
    const std::vector<check_line> good = pair_lines(o, lane_of(o, places, 1.0), counts, 0.0);
    ASSERT_EQ(good.size(), 7u);
    for (const check_line &l : good) EXPECT_NE(l.verdict, verdict_fail) << e << ": " << l.name << " " << l.figure;
    // Both galaxies' motion about the pair scaled: the pair's momentum kept.
    const std::vector<check_line> fast = pair_lines(o, lane_of(o, places, 1.01), counts, 0.0);
    EXPECT_EQ(verdicts(fast).find("relative speed FAIL") != std::string::npos, true) << verdicts(fast);
    EXPECT_EQ(fast[6].verdict, verdict_pass) << "net momentum";
    // Float rounding of the values widens the bounds, but not to a per cent.
    EXPECT_EQ(pair_lines(o, lane_of(o, places, 1.01), counts, 0x1p-24)[2].verdict, verdict_fail);
    if (e > 0.0) {
      // Moving away from the pericentre instead of towards it.
      const std::vector<check_line> away = pair_lines(o, lane_of(o, places, -1.0, -1.0), counts, 0.0);
      EXPECT_EQ(away[4].verdict, verdict_fail) << away[4].figure;
    }
    const uint64_t other[2] = {2, 3};
    EXPECT_EQ(pair_lines(o, lane_of(o, places, 1.0), other, 0.0)[0].verdict, verdict_fail);
  }
}

// galaxy-ic's own start, held by the invariants: where it once cancelled
// (a tiny eccentricity away from the pericentre) and at the apocentre,
// where the radial speed is 0 to rounding.
TEST(PairOrbit, TheGeneratorsStartPassesNearCirclesAndAtTheApocentre) {
  const double kpc = 3.0857e19, q = 25.0 * kpc;
  for (const double e : {1e-8, 1e-6, 0.2, 0.5, 0.9}) {
    const double apocentre = q * (1.0 + e) / (1.0 - e);
    for (const double r : {q + 0.5 * (apocentre - q), apocentre}) {
      const pair_orbit o = orbit_of(q, e, r);
      galaxy_motion theirs[2];
      place_pair(encounter_orbit{q, e, r}, o.mass[0], o.mass[1], o.spin[0], o.spin[1], theirs);
      pair_place places[2];
      for (int k = 0; k < 2; ++k) {
        for (int c = 0; c < 3; ++c) {
          places[k].position[c] = theirs[k].position[c] + o.centre[c];
          places[k].velocity[c] = theirs[k].velocity[c] + o.bulk_velocity[c];
        }
      }
      const uint64_t counts[2] = {2, 2};
      for (const check_line &l : pair_lines(o, lane_of(o, places, 1.0), counts, 0.0)) {
        EXPECT_NE(l.verdict, verdict_fail) << e << " " << r / q << ": " << l.name << " " << l.figure;
      }
    }
  }
}

}  // namespace
