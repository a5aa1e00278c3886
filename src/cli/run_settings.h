// What a generator's command line asks for, as written: values are judged
// after the whole scan, so that the last of repeated options wins and -h
// anywhere still prints the usage text.
#ifndef RUN_SETTINGS_H
#define RUN_SETTINGS_H

#include <string>

struct run_settings {
  const char *output_text = nullptr;  // the last -o value
  const char *format_text = nullptr;
  const char *count_text = nullptr;  // the last -p value
  double count_value = 0.0;
  const char *seed_text = nullptr;
  const char *threads_text = nullptr;
  bool equilibrium = false;
  bool progress = false;  // --progress: a progress line on standard error
  // The galaxy's model and frame, in the units of units_text.
  const char *mass_text = nullptr;
  const char *scale_length_text = nullptr;
  const char *cutoff_text = nullptr;
  const char *units_text = nullptr;
  const char *centre_text = nullptr;
  const char *bulk_velocity_text = nullptr;
  bool zero_com = false;
  // A tabulated model instead of the Hernquist laws.
  const char *profile_text = nullptr;
  const char *anisotropy_text = nullptr;
  const char *cutoff_strength_text = nullptr;
  // A galaxy file: the galaxy of several components it describes.
  const char *galaxy_text = nullptr;
  // An embedding caller's galaxy file, given as text (galaxy_text its name).
  const std::string *galaxy_inline = nullptr;
  // Binary formats.
  bool double_precision = false;   // --double
  bool long_ids = false;           // --long-ids
  const char *softening_text = nullptr;
  const char *max_record_text = nullptr;
  // The whole command line, for the file's provenance.
  int argc = 0;
  char **argv = nullptr;
};

#endif
