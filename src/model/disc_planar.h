// A disc's planar velocities from a distribution function of the planar
// radial action and the angular momentum (model units, G = 1):
//   f(J_R, L_z) = F(R_g) kappa(R_g) / sigma^2(R_g) exp(-kappa(R_g) J_R / sigma^2(R_g)),  L_z > 0,
// R_g the guiding radius of L_z, J_R = (1 / pi) int v_R dR over the orbit
// in the radial pull averaged over the disc's layer. F and sigma are
// iterated on the guiding radii until f's own Sigma(R) and sigma_R(R) are
// the laws asked for. Unlike Gaussians about the epicyclic moments, a
// function of the integrals is stationary: a warm disc keeps its Sigma(R)
// instead of ringing.
#ifndef DISC_PLANAR_H
#define DISC_PLANAR_H

#include <functional>
#include <string>
#include <vector>

struct planar_law {
  std::function<double(double)> pull;     // the layer's mean dPhi/dR at R (> 0)
  std::function<double(double)> surface;  // Sigma(R) to meet
  std::function<double(double)> sigma;    // sigma_R(R) to meet
  double inner = 1e-3, outer = 20.0;      // the guiding radii's span
  double edge = 10.0;                     // no mass beyond it
  double fit_inner = 0.1, fit_outer = 5.0;  // where the misfit is judged
};

// The rejection's proposal at R: v_R ~ N(0, spread_R) and v_phi a normal
// of spread_low below mean_phi and spread_high above (f's tail towards
// slow rotation is the longer: those orbits are guided from the warmer
// inside); where a warm centre sends orbits out, a share of its mass with
// both normal of spread wide about (0, mean_phi).
// A trial is kept when u envelope g < f, g the proposal's unnormalised
// density (exp(-x^2 / 2) in each spread, the wide part weighted).
struct planar_proposal {
  double mean_phi = 0.0, spread_R = 0.0, spread_low = 0.0, spread_high = 0.0, wide = 0.0;
  double share = 0.0;  // of its mass in the wide part, 0 or a tenth
  double envelope = 0.0;
  double potential = 0.0;  // the planar potential at its R
};
struct planar_df {
  // Guiding-radius nodes equally spaced in ln R: the pull, the potential
  // (a cubic Hermite in ln R between them), L_c, E_c and kappa there.
  double log_x0 = 0.0, log_step = 0.0;
  std::vector<double> x, pull, phi, Lc, log_Lc, Ec, kappa;
  // J_R at each node's L_c on energies u_k = E - E_c = top_i (k / K)^2,
  // with its slope dJ/du, [i * (K + 1) + k].
  int energies = 0;
  std::vector<double> top, J, dJ;
  std::vector<double> F, sigma;
  // f's own moments at the nodes inside the edge, and the envelope the
  // draws' rejection takes: f <= envelope * the Gaussian of the moments,
  // widened.
  int moment_nodes = 0;
  std::vector<double> hot;  // the law's largest sigma_R inside each node
  std::vector<double> surface, mean_phi, sigma_R, sigma_phi;
  std::vector<planar_proposal> proposals;
  double misfit_surface = 0.0, misfit_sigma = 0.0;  // the largest in the fit band
  int rounds = 0;
};

// Builds f for the law; false with the reason when L_c(R) is not
// increasing (no guiding radii) or the laws cannot be met within 1 %.
bool build_planar_df(const planar_law &law, planar_df *df, std::string *why);

// f at (R, v_R, v_phi), 0 for L_z <= 0 or an unbound orbit.
double planar_df_value(const planar_df &df, double R, double v_R, double v_phi);

// f's moments at R, between the nodes linearly in ln R.
struct planar_moments {
  double surface, mean_phi, sigma_R, sigma_phi;
};
planar_moments planar_df_moments(const planar_df &df, double R);

// The proposal's trial from two normal deviates and a uniform.
void planar_df_trial(const planar_proposal &p, double normal_R, double normal_phi, double side, double *v_R,
                     double *v_phi);
planar_proposal planar_df_proposal(const planar_df &df, double R);
bool planar_df_accepts(const planar_df &df, const planar_proposal &p, double R, double v_R, double v_phi, double u);
// envelope g at (v_R, v_phi): what f must stay below for the draws to be f's.
double planar_df_bound(const planar_proposal &p, double v_R, double v_phi);
// J_R of the orbit at (R, v_R, v_phi) from the tables (HUGE_VAL unbound).
double planar_df_action(const planar_df &df, double R, double v_R, double v_phi);

#endif
