// The steps of an encounter's run that galaxy-ic and galaxy-ic-mpi share:
// each galaxy judged as alone, its particles' place in the file, its move
// onto the orbit, the file's Parameters.
#ifndef ENCOUNTER_PLAN_H
#define ENCOUNTER_PLAN_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "encounter.h"
#include "galaxy_description.h"
#include "galaxy_plan.h"
#include "output_file.h"
#include "provenance.h"
#include "run_output.h"
#include "run_settings.h"

struct record_owner {
  void operator()(gal_system *sys) const { free_gal_system(sys); }
};
using owned_record = std::unique_ptr<gal_system, record_owner>;

// One galaxy of the encounter: judged as alone, then made.
struct member_run {
  galaxy_parameters galaxy;
  galaxy_tables tables;
  generation_plan plan;
  int64_t total = 0;
  double radius_max = 0.0;
  uint64_t first_id = 0;  // its IDs are first_id + 1, ...
  galaxy_motion motion;
  // Its centre of mass and mean velocity in its own frame (SI), which the
  // orbit places: x' = R (x - centre) + X.
  double centre[3] = {0.0, 0.0, 0.0}, drift[3] = {0.0, 0.0, 0.0};
};

// The encounter's file as read, with --seed (when given) in place of its
// seed for the galaxies that have none of their own; refusals reported.
bool judge_encounter(const run_settings &settings, encounter_description *e, generation_plan *plan,
                     output_choice *output);

// Each galaxy judged as alone (its notes said when say), their places on
// the orbit and ID ranges; total their particles, refused above most (0:
// what one process's memory holds).
bool judge_members(const encounter_description &e, const generation_plan &plan, std::vector<member_run> *runs,
                   int64_t *total, bool say, int64_t most);

// The whole file's parameters: its units and frame, the mass and reach of both.
galaxy_parameters pair_parameters(const encounter_description &e, const std::vector<member_run> &runs);

// Where each group of each galaxy goes: by type (GADGET's files hold types
// in order), galaxy by galaxy within one.
struct placed_group {
  size_t galaxy;
  particle_group group;  // its place in the galaxy's own record
};
std::vector<placed_group> file_order(const std::vector<member_run> &runs);

// The file's groups in that order, named "galaxy component", each at its
// first row of the file.
particle_groups placed_groups(const std::vector<placed_group> &order, const encounter_description &e);

// The radius of the sphere holding half the galaxy's mass (m), from its
// tables' joint enclosed mass, between their nodes in ln r.
double half_mass_radius(const member_run &run);

// Said when the galaxies overlap at the start, or lie so far apart that a
// double keeps fewer than 10 digits of either.
void warn_of_overlap(const encounter_description &e, const double half[2]);

// A record made in a galaxy's frame moved by that frame's offsets (SI).
void shift_by_frame(gal_system *sys, const output_frame &frame);

// The mass-weighted offset from run.centre of the particles within 90 % of
// its mass (three sums) and their mass: zero when the profiles do not need
// that centre. Summed over a record; the sums of shares add.
void body_offset_sums(const gal_system &sys, const member_run &run, double sums[4]);

// Said when those particles' centre strays from the centre of mass.
void warn_of_stray_centre(const member_run &run, const std::string &name, const double sums[4]);

// Particle from of the galaxy's own record, moved onto the orbit, into row
// to of all.
void move_into_file(const member_run &run, const gal_system &own, uint64_t from, gal_system *all, uint64_t to);

// The file's Parameters of the encounter: each galaxy's and the orbit's.
std::vector<provenance_field> encounter_fields(const encounter_description &e, const std::vector<member_run> &runs,
                                               const output_frame &frame);

#endif
