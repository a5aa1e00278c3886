// A run's galaxy of components: judged from a galaxy file (or from
// --profile, its one-component case) into counts, the galaxy's units, the
// tables of every component in their joint potential, and the generation's
// component ranges. A lone profile takes the same path as a composite.
#ifndef GALAXY_PLAN_H
#define GALAXY_PLAN_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "galaxy_description.h"
#include "galaxy_parameters.h"
#include "disc_sampler.h"
#include "generation.h"
#include "particle_groups.h"
#include "profile_sampler.h"
#include "spheroid_flattening.h"

// Each component's tables and sampler (in the order of models: a disc's
// in discs, a spheroid's in samplers, null in the other), and what the
// file holds group by group.
struct galaxy_tables {
  std::vector<profile_model> models;
  std::vector<std::unique_ptr<profile_sampler>> samplers;
  std::vector<std::unique_ptr<disc_sampler>> discs;
  // Beside a disc: its pull less its monopole's, and each isotropic spheroid's stretches.
  std::unique_ptr<flattening_forces> flattening;
  std::vector<std::unique_ptr<spheroid_flattening>> stretches;
  particle_groups groups;
  std::vector<int64_t> counts;  // each component's particles (the black hole's 1 last, if any)
};

// The one-component galaxy of a --profile run of count particles.
galaxy_description profile_description(const galaxy_parameters &galaxy, int64_t count);

// The particles of each component from the galaxy's count, its particle
// mass or their own (the black hole's one not among them); false with the
// reason.
bool count_components(const galaxy_description &galaxy, std::vector<int64_t> *counts, std::string *why);

// The parameters of a galaxy file's run: units, frame, the whole mass M
// (black hole included) and the length unit L (the first component's scale
// length) the tables are made in.
galaxy_parameters parameters_of(const galaxy_description &galaxy);

// Each component's law in the galaxy's units (masses of M, lengths in L).
std::vector<component_law> component_laws(const galaxy_description &description, const galaxy_parameters &galaxy);

// Builds the potential of each disc among laws (the same components as
// description's); false with the reason and, in *failed, the component.
bool build_discs(const galaxy_description &description, const galaxy_parameters &galaxy,
                 std::vector<component_law> *laws, int *failed, std::string *why);

// The radius (m) within which a --zero-com centre is taken: the one
// holding 90 % of the components' mass when one of them has a mean square
// radius that diverges, else 0 (the centre of all particles).
double centre_radius_of(const std::vector<profile_model> &models, double length_unit);

// The galaxy file's text as the run made it: top-level particles (or
// particle_mass) and seed replaced by the command line's when given
// (negative count, or seeded false: not given), so that the stored text
// describes the particles it is stored with (their line says where they
// came from).
std::string galaxy_text_as_made(const std::string &text, int64_t particles, bool seeded, uint64_t seed,
                                const char *from = "the command line");

// Builds every component's tables in the joint potential and the plan's
// component ranges; radius_max becomes the largest radius drawn. Reports
// the refusal ("erreur: ...", naming the component and what would work)
// and returns false; a cancelled build reports nothing.
bool prepare_galaxy(const galaxy_description &description, const galaxy_parameters &galaxy,
                    const std::vector<int64_t> &counts, generation_plan *plan, galaxy_tables *tables,
                    double *radius_max, const std::atomic<bool> *cancel = nullptr);

#endif
