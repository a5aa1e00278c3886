// galaxy-ic's run of an encounter's file: each galaxy made exactly as it
// would be alone (its own seed, its own frame), then turned and moved onto
// the pair's Keplerian orbit, written in one file by particle type with
// IDs unique over it, in galaxy order.
#ifndef ENCOUNTER_RUN_H
#define ENCOUNTER_RUN_H

#include <atomic>

#include "memory_run.h"
#include "run_settings.h"

// The run of the encounter whose file's text settings.galaxy_inline holds
// (--galaxy names the file): its exit status (0 or 1), every refusal
// reported as "erreur: ...".
int encounter_main(const run_settings &settings);

// The same encounter made in memory (its values in the file's units, as
// make_memory_galaxy makes a galaxy's): false on a refusal (reported) or
// when cancel is set.
bool make_memory_encounter(const run_settings &settings, const std::atomic<bool> *cancel, memory_galaxy *out);

#endif
