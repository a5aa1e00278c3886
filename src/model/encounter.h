// Two galaxies on the Keplerian orbit of two point masses of their total
// masses: where each starts, how fast it moves and how it is turned, in
// the pair's centre-of-mass frame (SI). The orbit lies in the x-y plane,
// its angular momentum along +z, its pericentre on +x; the galaxies start
// approaching it.
#ifndef ENCOUNTER_H
#define ENCOUNTER_H

#include <string>

struct encounter_orbit {
  double pericentre = 0.0;    // m
  double eccentricity = 1.0;  // 1 parabolic, below bound, above hyperbolic
  double separation = 0.0;    // m, at the start
};

// Whether the orbit can start at its separation: false with the reason (a
// separation below the pericentre, beyond a bound orbit's apocentre, or a
// circular orbit's separation that is not its pericentre), its lengths in
// whatever unit they are given in.
bool judge_orbit(const encounter_orbit &orbit, std::string *why);

// The second galaxy's position and velocity about the first at the start,
// for G (m1 + m2) = mu; its true anomaly (radians, 0 at pericentre,
// negative before it).
struct relative_state {
  double position[3], velocity[3];
  double anomaly;
};
relative_state relative_start(const encounter_orbit &orbit, double mu);

// The time from the start to the first pericentre of the point-mass orbit
// (s); 0 on a circular orbit, which has none to come.
double time_to_pericentre(const encounter_orbit &orbit, double mu);

// The turn taking a galaxy's own axes to the orbital frame, its z axis to
// (sin theta cos phi, sin theta sin phi, cos theta): R_z(phi) R_y(theta).
struct galaxy_turn {
  double m[3][3];
};
galaxy_turn spin_turn(double theta, double phi);

// Each galaxy's place and motion in the pair's frame, and its turn.
struct galaxy_motion {
  double position[3], velocity[3];
  galaxy_turn turn;
};

// The two galaxies of masses m1, m2 (kg) on orbit, spins (theta, phi) in
// radians each.
void place_pair(const encounter_orbit &orbit, double m1, double m2, const double spin1[2], const double spin2[2],
                galaxy_motion out[2]);

// A particle of a galaxy, from its own frame into the pair's: x' = R x + X,
// v' = R v + V; and back.
void move_into_pair(const galaxy_motion &motion, double position[3], double velocity[3]);
void move_back(const galaxy_motion &motion, double position[3], double velocity[3]);

#endif
