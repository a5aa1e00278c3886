// galaxy-check's picture.
#ifndef CHECK_PLOT_H
#define CHECK_PLOT_H

#include <string>

#include "checks.h"

// Draws the four panels of result (enclosed mass, density, speeds,
// directions) for the file named file_label into plot_file (PNG), which is
// replaced only once the picture is complete. Returns false with a reason
// when it cannot draw or write it; no partial picture is left.
// Whether this build draws pictures (PLplot with its PNG driver).
bool check_plot_available();

bool write_check_plot(const check_result &result, const check_model &model,
                      const std::string &file_label, const std::string &plot_file, std::string *why);

// The disc of a galaxy: face-on and edge-on, its rotation curve (the
// model's by component and the sample's mean rotation) and dispersions.
bool write_disc_plot(const disc_picture &disc, bool passed, const std::string &file_label, const std::string &plot_file,
                     std::string *why);

#endif
