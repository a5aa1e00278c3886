#include "check_plot.h"

bool check_plot_available() { return false; }

// Built when PLplot is not installed: the checks still run, the picture
// cannot be drawn.
bool write_check_plot(const check_result &, const check_model &, const std::string &,
                      const std::string &, std::string *why) {
  *why = "this galaxy-check was built without PLplot (install libplplot-dev and "
         "plplot-driver-cairo, then configure the build again)";
  return false;
}

bool write_disc_plot(const disc_picture &, bool, const std::string &, const std::string &, std::string *why) {
  return write_check_plot(check_result(), check_model(), std::string(), std::string(), why);
}
