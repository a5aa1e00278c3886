// The report's lines of one model's (or component's) checks, from the
// totals of its accumulator.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "check_accumulator.h"
#include "check_statistics.h"
#include "check_text.h"

// Outside the namespace below: the disc's checks write their lines with it too.
std::string format_text(const char *pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

namespace {

// A figure that may be beyond the range of a double: said, not "inf"; a
// huge one in exponent form, so that it cannot stretch the report.
std::string figure(const char *pattern, double value) {
  if (std::isnan(value)) return "not computable";
  if (std::isinf(value)) return value > 0 ? "beyond the range of a double" : "below the range of a double";
  if (std::fabs(value) >= 1e6) {
    std::string exponent_form = pattern;
    const size_t at = exponent_form.find("%.");
    exponent_form.replace(at, exponent_form.find_first_of("fg", at) - at + 1, "%.4e");
    return format_text(exponent_form.c_str(), value);
  }
  return format_text(pattern, value);
}

double length_of(double x, double y, double z) {
  const double squares = x * x + y * y + z * z;
  if (std::isfinite(squares) && squares > 1e-300) return std::sqrt(squares);
  return std::hypot(x, y, z);
}

double total(const check_accumulator &acc, int slot) { return static_cast<double>(total_of(acc.totals, slot)); }

check_line ks_line_for(const std::string &name, double d, uint64_t count, double threshold) {
  const double n = static_cast<double>(count);
  const double p = ks_p_value(d, n);
  return {name, format_text("KS D = %.5f, p = %.3g (n = %.0f)", d, p, n), p < threshold ? verdict_fail : verdict_pass};
}

check_line ks_line_of(const check_accumulator &acc, const std::string &name, ks_test test) {
  const ks_histogram &h = *acc.histograms[test];
  if (h.count() == 0) return {name, "no particle to test", verdict_fail};
  return ks_line_for(name, h.distance(), h.count(), acc.options.threshold);
}

std::string virial_figure(double kinetic2, double potential) {
  if (!(potential < 0.0)) return "undefined (no potential energy)";
  return figure("%.4f", kinetic2 / std::fabs(potential));
}

check_line check_count(const check_accumulator &acc) {
  const int64_t n = static_cast<int64_t>(acc.totals.count), expected = acc.options.expected_count;
  std::string text = format_text("%lld particle%s", static_cast<long long>(n), n == 1 ? "" : "s");
  if (expected >= 0 && expected != n) text += format_text(", expected %lld", static_cast<long long>(expected));
  // No galaxy follows the model with no particle, unless none was asked for.
  const bool ok = expected >= 0 ? expected == n : n > 0;
  if (n == 0 && !ok) text += ": no galaxy";
  return {"particle count", text, ok ? verdict_pass : verdict_fail};
}

// The total within what the stored masses allow: each float32 mass is
// within 2^-24 of the model's, so their sum within 2^-24 of its total.
check_line check_masses(const check_accumulator &acc, check_line *equal) {
  const double sum = total(acc, sum_mass);
  const double model = acc.options.model.component_mass > 0.0 ? acc.options.model.component_mass : acc.options.model.total_mass;
  *equal = {"equal masses", format_text("%llu differ from the first", static_cast<unsigned long long>(acc.totals.unequal)),
            acc.totals.unequal == 0 ? verdict_pass : verdict_fail};
  const double allowed = std::max(1e-9, acc.options.mass_rounding * (1.0 + 1e-6));
  const double difference = std::fabs(sum - model) / std::fabs(model);
  const bool ok = std::fabs(sum - model) <= allowed * std::fabs(model);
  std::string text = figure("%.6g kg", sum) + format_text(", model %.6g kg", model);
  // A failing figure shows the digits it failed on.
  if (!ok && std::isfinite(sum)) {
    text = format_text("%.12g kg, model %.12g kg, relative difference %.3g, allowed %.3g", sum, model, difference, allowed);
  }
  return {"total mass", text, ok ? verdict_pass : verdict_fail};
}

check_line check_finite(const check_accumulator &acc) {
  const uint64_t bad = acc.totals.count - acc.totals.finite;
  return {"finite values", format_text("%llu particle%s with a non-finite value", static_cast<unsigned long long>(bad),
                                  bad == 1 ? "" : "s"),
          bad == 0 ? verdict_pass : verdict_fail};
}

// The most a subtracted mean can leave by rounding: a few ulps of the
// largest component (of float32 when stored so), and the six decimals of
// an SI text file.
double rounding_bound(const check_accumulator &acc, double largest) {
  return std::max(1e-12, 4.0 * acc.options.position_rounding) * largest + 1e-6;
}

// The centre the checks judge, m: the mean offset of every particle, or of
// those within centre_radius.
void judged_centre(const check_accumulator &acc, double centre[3]) {
  const bool inner = acc.centre_radius > 0.0;
  for (int k = 0; k < 3; ++k) {
    centre[k] = static_cast<double>(inner ? total_of(acc.totals, sum_inner + k) / total_of(acc.totals, sum_inner_weight)
                                          : total_of(acc.totals, sum_centre + k) / total_of(acc.totals, sum_weight));
  }
}

// What the centre's line says of the particles it is taken from.
std::string centre_basis(const check_accumulator &acc) {
  if (!(acc.centre_radius > 0.0)) return std::string();
  return figure(" (of the particles within %.4g a, 90 %% of the mass: the mean square radius diverges)",
                acc.centre_radius / acc.options.model.typical_length);
}

// Under zero_com the centre is the model's to rounding; within a radius,
// also to a particle or two whose rounded radius crosses it.
check_line check_zero_centre(const check_accumulator &acc) {
  double centre[3];
  judged_centre(acc, centre);
  const double offset = length_of(centre[0], centre[1], centre[2]);
  const bool inner = acc.centre_radius > 0.0;
  const double bound = inner ? rounding_bound(acc, acc.centre_radius) +
                                   2.0 * acc.centre_radius / std::max<double>(1.0, static_cast<double>(acc.totals.inner_count))
                             : rounding_bound(acc, acc.totals.largest_offset);
  if (inner && acc.totals.inner_count == 0) return {"centre of mass", "no particle within the centre's radius", verdict_fail};
  return {"centre of mass",
          "offset " + figure("%.4g m", offset) + figure(", rounding allows %.4g m", bound) + centre_basis(acc),
          offset <= bound ? verdict_pass : verdict_fail};
}

// The offset of the centre of mass against the model's own scatter of a
// mean of n positions: one outlier cannot inflate it and hide itself.
check_line check_centre(const check_accumulator &acc) {
  if (acc.options.model.zero_com && !acc.options.model.part_of_whole) return check_zero_centre(acc);
  double variance[3], centre[3];
  judged_centre(acc, centre);
  if (acc.centre_radius > 0.0) {
    // An isotropic mean of inner_count offsets: <r^2> / 3 of theirs each axis.
    const double n = static_cast<double>(acc.totals.inner_count);
    for (double &v : variance) v = total(acc, sum_inner_r2) / total(acc, sum_inner_weight) / (3.0 * n);
  } else {
    model_centre_variance(acc.options.model, static_cast<double>(acc.totals.finite), variance);
  }
  double chi_square = 0.0;
  // A component of a galaxy whose whole mean was subtracted moved with it.
  for (int k = 0; k < 3; ++k) chi_square += centre[k] * centre[k] / (variance[k] + acc.options.model.shift_variance);
  const double offset = length_of(centre[0], centre[1], centre[2]);
  const double p = chi_square_3_upper_tail(chi_square);
  if (std::isnan(p) || !(total_of(acc.totals, sum_weight) > 0.0L)) return {"centre of mass", "not computable", verdict_fail};
  return {"centre of mass",
          "offset " + figure("%.4g a", offset / acc.options.model.typical_length) + format_text(", p = %.3g", p) +
              centre_basis(acc),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

std::vector<check_line> check_bounds(const check_accumulator &acc) {
  const check_lane &t = acc.totals;
  std::string allowing, speed_allowing;
  if (acc.options.model.zero_com) {
    const double slack_r = 6.0 * acc.options.recentring_sigma_r, slack_v = 6.0 * acc.options.recentring_sigma_v;
    allowing = " (the subtracted mean allows " + figure("%.3g r_max", slack_r / acc.options.model.radius_max);
    speed_allowing = allowing + figure(" and %.4g m/s)", slack_v);
    allowing += ")";
  }
  return {{"within cut-off",
           "largest radius " + figure("%.6f r_max", t.widest) +
               format_text(", %llu beyond", static_cast<unsigned long long>(t.beyond)) + allowing,
           t.beyond == 0 ? verdict_pass : verdict_fail},
          {"below escape speed",
           "largest speed " + figure("%.6f v_esc", t.fastest) +
               format_text(", %llu above", static_cast<unsigned long long>(t.too_fast)) + speed_allowing,
           t.too_fast == 0 ? verdict_pass : verdict_fail}};
}

std::vector<check_line> check_directions(const check_accumulator &acc) {
  const bool profile = acc.options.model.profile != nullptr;
  const std::string polar = acc.options.model.equilibrium || profile ? "cos polar angle" : "polar angle";
  std::vector<check_line> lines = {
      ks_line_of(acc, "position azimuth", ks_pos_azimuth), ks_line_of(acc, "position " + polar, ks_pos_polar),
      ks_line_of(acc, profile ? "velocity tangential angle" : "velocity azimuth", ks_vel_azimuth),
      ks_line_of(acc, profile ? "velocity radial cosine" : "velocity " + polar, ks_vel_polar)};
  // A few particles of a component, all of them too near the centre (or the
  // axis) for their directions to survive a subtracted mean's scatter, leave
  // a direction untested: said, not failed, since they were there.
  if (acc.totals.count > 0) {
    for (check_line &line : lines) {
      if (line.figure != "no particle to test") continue;
      line.figure = "no particle far enough from the centre and the axis to test";
      line.verdict = verdict_info;
    }
  }
  return lines;
}

// beta = 1 - <v_t^2> / 2 <v_r^2> in each shell, against the mean of the
// model's r^2 / (r^2 + r_a^2) over the shell's particles.
check_line info_anisotropy(const check_accumulator &acc) {
  std::string measured, model;
  for (int k = 0; k < 4; ++k) {
    const long double vr2 = total_of(acc.totals, sum_shell_vr2 + k), vt2 = total_of(acc.totals, sum_shell_vt2 + k);
    const double beta = vr2 > 0.0L ? 1.0 - static_cast<double>(vt2 / (2.0L * vr2)) : std::nan("");
    measured += (k ? " " : "") + figure("%.3f", beta);
    model += (k ? " " : "") +
             figure("%.3f", total(acc, sum_shell_r2 + k) / static_cast<double>(acc.totals.shell_count[k]));
  }
  return {"anisotropy beta", "by mass quartile " + measured + ", model " + model, verdict_info};
}

// 2K/|W| in the sample's own potential (W its monopole, each pair counted
// once at the outer radius), against 1 in units of its sampling error,
// from the sample: to first order 2K and |W| move by sums over particles of
// m v^2 and m Psi_i, Psi_i the sample's potential at particle i.
check_line check_own_virial(const check_accumulator &acc, const virial_estimate &v) {
  const char *name = "virial ratio 2K/|W|";
  if (!v.in_range) return {name, "not computable: values beyond the reach of its sums", verdict_fail};
  if (!v.defined) return {name, "undefined (no potential energy)", verdict_fail};
  const double p = normal_two_sided_p((v.ratio - 1.0) / v.error);
  return {name,
          figure("%.4f", v.ratio) + figure(" +- %.4f in the sample's own potential", v.error) + format_text(", p = %.3g", p),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

// In groups of equal model mass (as many as hold jeans_bin_least particles
// each, up to jeans_bins_max), the means of a and b against 0 in units of
// their covariance estimated from the sample: chi-square over the groups,
// two degrees of freedom each.
check_line check_jeans(const check_accumulator &acc) {
  int groups = jeans_bins_max;
  while (groups > 1 && static_cast<double>(acc.totals.finite) < groups * jeans_bin_least) groups /= 2;
  const int per = jeans_fine_bins / groups;
  double chi2 = 0.0, worst = 0.0, worst_r = 0.0, worst_share = 0.0;
  int dof = 0;
  const char *worst_what = "v_r^2";
  for (int g = 0; g < groups; ++g) {
    long double t[jeans_sums_each] = {};
    double count = 0.0;
    for (int k = g * per; k < (g + 1) * per; ++k) {
      for (int s = 0; s < jeans_sums_each; ++s) t[s] += total_of(acc.totals, sum_jeans + k * jeans_sums_each + s);
      count += static_cast<double>(acc.totals.jeans_count[k]);
    }
    if (count < 3.0) continue;
    const double n = count, ma = static_cast<double>(t[jeans_a] / n), mb = static_cast<double>(t[jeans_b] / n);
    // Covariance of the two means.
    const double caa = (static_cast<double>(t[jeans_aa] / n) - ma * ma) / (n - 1.0);
    const double cbb = (static_cast<double>(t[jeans_bb] / n) - mb * mb) / (n - 1.0);
    const double cab = (static_cast<double>(t[jeans_ab] / n) - ma * mb) / (n - 1.0);
    const double det = caa * cbb - cab * cab;
    if (!(caa > 0.0 && cbb > 0.0)) continue;
    chi2 += det > 0.0 ? (ma * ma * cbb - 2.0 * ma * mb * cab + mb * mb * caa) / det : ma * ma / caa + mb * mb / cbb;
    dof += 2;
    for (int part = 0; part < 2; ++part) {
      const double z = part == 0 ? ma / std::sqrt(caa) : mb / std::sqrt(cbb);
      if (std::fabs(z) > std::fabs(worst)) {
        worst = z, worst_r = static_cast<double>(t[jeans_r] / n), worst_what = part == 0 ? "v_r^2" : "v_t^2";
        worst_share = part == 0 ? ma / static_cast<double>(t[jeans_s_r] / n) : mb / static_cast<double>(t[jeans_s_t] / n);
      }
    }
  }
  if (dof == 0) return {"Jeans equation", "too few particles to test", verdict_fail};
  const double p = chi_square_upper_tail(chi2, dof);
  return {"Jeans equation",
          format_text("chi2 = %.1f, %d dof, p = %.3g; worst %+.1f sigma (%+.2f %%) in <%s> at ", chi2, dof, p, worst,
                 100.0 * worst_share, worst_what) +
              figure("%.3g a", worst_r),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

// The virial ratios: in the sample's own potential, and with W the
// model's field.
std::vector<check_line> virial_lines(const check_accumulator &acc) {
  const virial_estimate v = radial_virial(acc.totals.own, 0, model_gravitational_constant);
  const double kinetic2 = total(acc, sum_speed2);
  const bool equilibrium = acc.options.model.profile != nullptr;
  check_line own = equilibrium ? check_own_virial(acc, v)
                               : check_line{"virial ratio 2K/|W|",
                                            v.in_range ? virial_figure(kinetic2, v.potential)
                                                       : "not computable: values beyond the reach of its sums",
                                            verdict_info};
  return {own, {"virial ratio, model W", virial_figure(kinetic2, total(acc, sum_model_potential)), verdict_info}};
}

check_line info_momentum(const check_accumulator &acc) {
  const long double weight = total_of(acc.totals, sum_weight);
  const double rms = std::sqrt(static_cast<double>(total_of(acc.totals, sum_speed2) / weight));
  long double p[3];
  for (int k = 0; k < 3; ++k) p[k] = total_of(acc.totals, sum_momentum + k);
  const double momentum = std::sqrt(static_cast<double>(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]));
  if (acc.options.model.zero_com && !acc.options.model.part_of_whole) {
    // The mean velocity was made the bulk velocity: zero to rounding.
    const double mean = momentum / static_cast<double>(weight), bound = rounding_bound(acc, acc.totals.largest_velocity);
    return {"net momentum", "mean velocity " + figure("%.4g m/s", mean) + figure(", rounding allows %.4g m/s", bound),
            mean <= bound ? verdict_pass : verdict_fail};
  }
  if (!(rms > 0.0)) return {"net momentum", "no motion: every particle at rest", verdict_info};
  return {"net momentum",
          figure("%.4g M v_rms", momentum / (static_cast<double>(weight) * rms)) + figure(" (v_rms %.4g m/s)", rms),
          verdict_info};
}

// A value of the header said in words when it is no number.
std::string header_value(double value) {
  if (std::isnan(value)) return "not a number";
  if (std::isinf(value)) return value > 0 ? "infinite" : "minus infinity";
  return format_text("%.6g", value);
}

// The header's box about the origin holds every particle, to the rounding
// of the stored values and, under zero_com, what the subtracted mean moved.
check_line check_box(const check_accumulator &acc) {
  const double box = acc.options.box_size;
  if (!std::isfinite(box) || !(box > 0.0)) {
    return {"box", "BoxSize is " + header_value(box) + ", not a finite size above 0", verdict_fail};
  }
  const double slack = acc.options.model.zero_com ? 6.0 * acc.options.recentring_sigma_r : 0.0;
  const double half = box / 2.0, rounding = 1.0 + std::max(1e-12, 4.0 * acc.options.position_rounding);
  const bool ok = acc.totals.largest_offset <= half * rounding + slack + 1e-5;
  return {"box",
          "largest |coordinate| " + figure("%.6f BoxSize/2", acc.totals.largest_offset / half) +
              format_text(" (BoxSize %.4g m)", box),
          ok ? verdict_pass : verdict_fail};
}

check_line check_ids(const check_accumulator &acc) {
  const id_verdict v = judge_ids(acc.ids, acc.options.ids, acc.options.ids_note);
  return {"ids", v.figure, v.informative ? verdict_info : v.passed ? verdict_pass : verdict_fail};
}

// The picture's subsample: radii in ascending order, the first 20 000 of
// them (by key) for the speeds and directions.
check_sample sample_of(const check_accumulator &acc) {
  check_sample s;
  const std::vector<sketch_entry> entries = sketch_entries(acc.totals.sketch);
  for (size_t i = 0; i < entries.size(); ++i) {
    const sketch_entry &e = entries[i];
    s.sorted_radii.push_back(e.value[0]);
    if (i >= 20000) continue;
    s.speed_radii.push_back(e.value[0]);
    s.speeds.push_back(e.value[1]);
    s.pos_cos_theta.push_back(e.value[2]);
    s.vel_cos_theta.push_back(e.value[3]);
  }
  std::sort(s.sorted_radii.begin(), s.sorted_radii.end());
  s.largest_radius = acc.totals.largest_radius;
  return s;
}

void push_lines(std::vector<check_line> *lines, std::vector<check_line> more) {
  for (check_line &line : more) lines->push_back(std::move(line));
}

void statistics_lines(const check_accumulator &acc, std::vector<check_line> *lines) {
  lines->push_back(check_centre(acc));
  push_lines(lines, check_bounds(acc));
  if (acc.options.has_box) lines->push_back(check_box(acc));
  lines->push_back(ks_line_of(acc, "radius distribution", ks_radius));
  lines->push_back(ks_line_of(acc, "speed distribution", ks_speed));
  push_lines(lines, check_directions(acc));
  lines->push_back(info_momentum(acc));
  if (acc.options.model.profile != nullptr) {
    lines->push_back(info_anisotropy(acc));
    lines->push_back(acc.reference != nullptr
                         ? check_jeans(acc)
                         : check_line{"Jeans equation", "the density gives no reference: " + acc.reference_failure,
                                      verdict_fail});
  }
  // A galaxy's component: its virial ratio is the galaxy's checks', in the
  // whole potential.
  if (acc.own_potential) push_lines(lines, virial_lines(acc));
}

}  // namespace

check_result check_lines(check_accumulator *acc) {
  check_result result;
  std::vector<check_line> &lines = result.lines;
  lines.push_back(check_count(*acc));
  lines.push_back(check_ids(*acc));
  if (acc->totals.count > 0) {
    check_line equal;
    lines.push_back(check_masses(*acc, &equal));
    lines.push_back(equal);
    lines.push_back(check_finite(*acc));
    if (acc->totals.finite == 0) {
      lines.push_back({"statistics", "no particle with finite values", verdict_fail});
    } else {
      statistics_lines(*acc, &lines);
      result.sample = sample_of(*acc);
    }
  }
  result.passed = std::none_of(lines.begin(), lines.end(),
                               [](const check_line &line) { return line.verdict == verdict_fail; });
  return result;
}

// The subtracted mean moved every particle by the sample's own offset from
// the model, a mean of n whose scatter is sigma_r, sigma_v (the root mean
// square over the three axes).
void recentring_scatter(const check_accumulator &acc, double *sigma_r, double *sigma_v) {
  const double n = static_cast<double>(acc.totals.finite), inner = static_cast<double>(acc.totals.inner_count);
  *sigma_r = acc.centre_radius > 0.0 && inner > 0.0
                 ? std::sqrt(total(acc, sum_inner_r2) / total(acc, sum_inner_weight) / inner)
                 : std::sqrt(total(acc, sum_radius2) / n / n);
  *sigma_v = std::sqrt(total(acc, sum_speed2) / total(acc, sum_weight) / n);
}

void model_centre_variance(const check_model &model, double n, double variance[3]) {
  // Shares of <r^2> on each axis: 1/4, 1/4, 1/2 when the polar angle is
  // uniform in the angle (<cos^2> = 1/2), a third each when isotropic.
  const bool isotropic = model.equilibrium || model.profile != nullptr;
  const double share[3] = {isotropic ? 1.0 / 3.0 : 0.25, isotropic ? 1.0 / 3.0 : 0.25, isotropic ? 1.0 / 3.0 : 0.5};
  const double second_moment = model_second_radial_moment(model);
  for (int k = 0; k < 3; ++k) variance[k] = second_moment * share[k] / n;
}
