// Orbits in the frozen, azimuthally averaged potential of a file's own
// particles: their mass binned into rings on a grid stretched as
// (asinh(R / s_R), asinh(z / s_z)), the rings' forces summed at the grid's
// nodes (complete elliptic integrals of each ring's field, softened by a
// fraction of its cell; a flat cell spread over rings across its width),
// bilinear between nodes. Nothing comes from a
// formula or from the generator.
//
//   axisymmetric_orbits IN OUT T SNAPSHOTS S_R S_Z CELLS_R CELLS_Z
//   axisymmetric_orbits --curve IN OUT S_R S_Z CELLS_R CELLS_Z R_MIN R_MAX N [Z_D]
//
// IN: n records of 8 doubles (x, y, z, vx, vy, vz, m, tracer) in kpc, km/s,
// M_sun; every particle's mass is binned, those with tracer != 0 are
// followed for time T (kpc / (km/s)), each by kick-drift-kick leapfrogs,
// steps at most 1/64 of its shortest period at its start (orbital or
// vertical) and 1/40 of its local dynamical time. OUT: the tracers'
// (x, y, z, vx, vy, vz) at times T k / SNAPSHOTS, k = 1 ... SNAPSHOTS,
// snapshot after snapshot. --curve writes instead, as text, the frozen
// potential's midplane circular speed (R, v_c) at N radii equally spaced in
// ln R from R_MIN to R_MAX, for a distribution function made in the very
// potential the orbits are followed in; given Z_D, a third column: v_c from
// the radial pull averaged over a sech^2 layer of that scale height.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double G = 4.300917e-6 * (6.673e-11 / 6.6743e-11);  // the program's G in kpc (km/s)^2 / M_sun

struct grid {
  double sR, sz, uR, uz;  // stretch scales and the grid's reach in asinh
  int nR, nz;             // cells; nodes nR + 1 by nz + 1, z from -reach to reach
  std::vector<double> fR, fz;
  double du() const { return uR / nR; }
  double dw() const { return 2.0 * uz / nz; }
};

void elliptic(double m, double k_prime, double *K, double *E) {
  double a = 1.0, b = k_prime, sum = 0.5 * m, power = 0.5;
  for (int it = 0; it < 40 && a - b > 1e-13 * a; ++it) {
    const double c = 0.5 * (a - b), next = 0.5 * (a + b);
    b = std::sqrt(a * b);
    a = next;
    power *= 2.0;
    sum += power * c * c;
  }
  *K = pi / (2.0 * a);
  *E = *K * (1.0 - sum);
}

struct ring {
  double R, z, m, soft2;
};

// The rings' pull at (R, z), G included.
void pull(const std::vector<ring> &rings, double R, double z, double *fR, double *fz) {
  double sR = 0.0, sz = 0.0;
  for (const ring &r : rings) {
    const double dz = z - r.z, p2 = (R + r.R) * (R + r.R) + dz * dz + r.soft2, q2 = (R - r.R) * (R - r.R) + dz * dz + r.soft2;
    const double p = std::sqrt(p2);
    double K, E;
    elliptic(4.0 * R * r.R / p2, std::sqrt(q2) / p, &K, &E);
    sz += r.m * dz * E / (q2 * p);
    if (R > 0.0) sR += r.m * (K - E * (r.R * r.R - R * R + dz * dz + r.soft2) / q2) / (R * p);
  }
  *fz = -2.0 / pi * G * sz;
  *fR = -G * sR / pi;
}

void interpolate(const grid &g, double R, double z, double *fR, double *fz) {
  const double u = std::min(std::asinh(R / g.sR) / g.du(), g.nR - 1e-9);
  const double w = std::clamp((std::asinh(z / g.sz) + g.uz) / g.dw(), 0.0, g.nz - 1e-9);
  const int i = static_cast<int>(u), j = static_cast<int>(w);
  const double a = u - i, b = w - j;
  const auto at = [&](const std::vector<double> &f, int di, int dj) { return f[(i + di) * (g.nz + 1) + j + dj]; };
  // The nodes hold r^2 F, which varies slowly where F falls as 1 / r^2.
  const double r2 = R * R + z * z + 1e-300;
  *fR = ((1 - a) * ((1 - b) * at(g.fR, 0, 0) + b * at(g.fR, 0, 1)) + a * ((1 - b) * at(g.fR, 1, 0) + b * at(g.fR, 1, 1))) / r2;
  *fz = ((1 - a) * ((1 - b) * at(g.fz, 0, 0) + b * at(g.fz, 0, 1)) + a * ((1 - b) * at(g.fz, 1, 0) + b * at(g.fz, 1, 1))) / r2;
}

template <class F>
void on_two_threads(size_t n, F f) {
  std::thread other([&] {
    for (size_t i = 1; i < n; i += 2) f(i);
  });
  for (size_t i = 0; i < n; i += 2) f(i);
  other.join();
}

std::vector<ring> bin_rings(const grid &g, const std::vector<double> &p) {
  std::vector<double> m(g.nR * g.nz, 0.0), mR(m), mz(m);
  for (size_t k = 0; k < p.size(); k += 8) {
    const double R = std::hypot(p[k], p[k + 1]), z = p[k + 2];
    const int i = std::min(g.nR - 1, static_cast<int>(std::asinh(R / g.sR) / g.du()));
    const int j = std::clamp(static_cast<int>((std::asinh(z / g.sz) + g.uz) / g.dw()), 0, g.nz - 1);
    m[i * g.nz + j] += p[k + 6], mR[i * g.nz + j] += p[k + 6] * R, mz[i * g.nz + j] += p[k + 6] * z;
  }
  std::vector<ring> rings;
  for (int i = 0; i < g.nR; ++i) {
    for (int j = 0; j < g.nz; ++j) {
      const double mass = m[i * g.nz + j];
      if (!(mass > 0.0)) continue;
      const double R = mR[i * g.nz + j] / mass, z = mz[i * g.nz + j] / mass;
      const double dR = g.sR * (std::sinh((i + 1) * g.du()) - std::sinh(i * g.du()));
      const double w0 = j * g.dw() - g.uz;
      const double dz = g.sz * (std::sinh(w0 + g.dw()) - std::sinh(w0));
      // A cell much wider than high is spread over rings across its width,
      // so that the layer near the plane pulls as a sheet, not as lines.
      const int spread = std::clamp(static_cast<int>(std::ceil(dR / (4.0 * dz))), 1, 16);
      const double soft = std::max(0.3 * std::min(dR, dz), 0.5 * dR / spread);
      if (spread == 1) {
        rings.push_back({R, z, mass, soft * soft});
        continue;
      }
      const double R0 = g.sR * std::sinh(i * g.du());
      for (int k = 0; k < spread; ++k) rings.push_back({R0 + dR * (k + 0.5) / spread, z, mass / spread, soft * soft});
    }
  }
  return rings;
}

// Every particle's mass into rings, their pull at the grid's nodes.
grid frozen_field(const std::vector<double> &p, double sR, double sz, int nR, int nz) {
  grid g;
  g.sR = sR, g.sz = sz, g.nR = nR, g.nz = nz;
  double reach = 0.0;
  for (size_t k = 0; k < p.size(); k += 8) reach = std::max({reach, std::hypot(p[k], p[k + 1]), std::fabs(p[k + 2])});
  g.uR = std::asinh(1.01 * reach / g.sR), g.uz = std::asinh(1.01 * reach / g.sz);
  const std::vector<ring> rings = bin_rings(g, p);
  g.fR.assign((g.nR + 1) * (g.nz + 1), 0.0);
  g.fz = g.fR;
  on_two_threads(g.fR.size(), [&](size_t n) {
    const int i = static_cast<int>(n / (g.nz + 1)), j = static_cast<int>(n % (g.nz + 1));
    const double R = g.sR * std::sinh(i * g.du()), z = g.sz * std::sinh(j * g.dw() - g.uz);
    pull(rings, R, z, &g.fR[n], &g.fz[n]);
    g.fR[n] *= R * R + z * z, g.fz[n] *= R * R + z * z;
  });
  std::fprintf(stderr, "%zu rings, %zu nodes\n", rings.size(), g.fR.size());
  return g;
}

bool read_records(const char *path, std::vector<double> *p) {
  std::FILE *in = std::fopen(path, "rb");
  if (in == nullptr) return false;
  double record[8];
  while (std::fread(record, sizeof record, 1, in) == 1) p->insert(p->end(), record, record + 8);
  std::fclose(in);
  return true;
}

int write_curve(int argc, char **argv) {
  std::vector<double> p;
  if (!read_records(argv[2], &p)) return 2;
  const grid g = frozen_field(p, std::atof(argv[4]), std::atof(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]));
  const double lo = std::log(std::atof(argv[8])), hi = std::log(std::atof(argv[9]));
  const int n = std::max(2, std::atoi(argv[10]));
  const double layer = argc > 11 ? std::atof(argv[11]) : 0.0;  // z_d of a sech^2 layer; 0: the plane only
  std::FILE *o = std::fopen(argv[3], "w");
  if (o == nullptr) return 1;
  for (int k = 0; k < n; ++k) {
    const double R = std::exp(lo + (hi - lo) * k / (n - 1));
    double fR, fz;
    interpolate(g, R, 0.0, &fR, &fz);
    if (layer <= 0.0) {
      std::fprintf(o, "%.9g %.9g\n", R, std::sqrt(std::max(0.0, -fR * R)));
      continue;
    }
    // The pull averaged over a sech^2 layer: what a star feels over its
    // vertical oscillations (the radial Jeans equation integrated in z).
    double mean = 0.0;
    constexpr int heights = 256;
    for (int q = 0; q < heights; ++q) {
      const double z = layer * std::atanh((q + 0.5) / heights);
      double fRz, fzz;
      interpolate(g, R, z, &fRz, &fzz);
      mean += fRz / heights;
    }
    std::fprintf(o, "%.9g %.9g %.9g\n", R, std::sqrt(std::max(0.0, -fR * R)), std::sqrt(std::max(0.0, -mean * R)));
  }
  return std::fclose(o) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if ((argc == 11 || argc == 12) && std::string(argv[1]) == "--curve") return write_curve(argc, argv);
  if (argc != 9) {
    std::fprintf(stderr, "usage: axisymmetric_orbits IN OUT T SNAPSHOTS S_R S_Z CELLS_R CELLS_Z\n"
                         "       axisymmetric_orbits --curve IN OUT S_R S_Z CELLS_R CELLS_Z R_MIN R_MAX N [Z_D]\n");
    return 2;
  }
  std::vector<double> p;
  if (!read_records(argv[1], &p)) return 2;
  const double T = std::atof(argv[3]);
  const int snapshots = std::max(1, std::atoi(argv[4]));
  const grid g = frozen_field(p, std::atof(argv[5]), std::atof(argv[6]), std::atoi(argv[7]), std::atoi(argv[8]));
  std::vector<size_t> tracers;
  for (size_t k = 0; k < p.size(); k += 8) {
    if (p[k + 7] != 0.0) tracers.push_back(k);
  }
  std::vector<double> out(6 * tracers.size() * snapshots);
  on_two_threads(tracers.size(), [&](size_t t) {
    double x[3] = {p[tracers[t]], p[tracers[t] + 1], p[tracers[t] + 2]};
    double v[3] = {p[tracers[t] + 3], p[tracers[t] + 4], p[tracers[t] + 5]};
    const auto accel = [&](const double *q, double *a) {
      const double R = std::hypot(q[0], q[1]);
      double fR, fz;
      interpolate(g, R, q[2], &fR, &fz);
      a[0] = R > 0.0 ? fR * q[0] / R : 0.0, a[1] = R > 0.0 ? fR * q[1] / R : 0.0, a[2] = fz;
    };
    // The step: 1/64 of its shortest period at its start, orbital
    // (2 pi sqrt(r / |a|)) or vertical (2 pi / nu, nu^2 = -dF_z/dz there).
    double a[3];
    accel(x, a);
    const double r = std::hypot(x[0], x[1], x[2]), R = std::hypot(x[0], x[1]);
    double period = 2.0 * pi * std::sqrt(r / std::max(1e-30, std::hypot(a[0], a[1], a[2])));
    const double h = 0.02 * g.sz + 0.02 * std::fabs(x[2]);
    double f1, f2, unused;
    interpolate(g, R, h, &unused, &f1);
    interpolate(g, R, -h, &unused, &f2);
    const double nu2 = -(f1 - f2) / (2.0 * h);
    if (nu2 > 0.0) period = std::min(period, 2.0 * pi / std::sqrt(nu2));
    // Each step also at most 1/40 of the local dynamical time sqrt(r / |a|)
    // (down to 1/1024 of the longest): eccentric orbits through a cusp.
    const double longest = period / 64.0;
    const bool still = !(longest > 0.0);  // at the centre, at rest: the black hole
    double now = 0.0;
    for (int shot = 0; shot < snapshots; ++shot) {
      const double until = T * (shot + 1) / snapshots;
      while (!still && until - now > 1e-12 * T) {
        const double r_now = std::hypot(x[0], x[1], x[2]), a_now = std::hypot(a[0], a[1], a[2]);
        double dt = std::min(longest, a_now > 0.0 ? 0.025 * std::sqrt(r_now / a_now) : longest);
        dt = std::min(std::max(dt, longest / 1024.0), until - now);
        for (int k = 0; k < 3; ++k) v[k] += 0.5 * dt * a[k], x[k] += dt * v[k];
        accel(x, a);
        for (int k = 0; k < 3; ++k) v[k] += 0.5 * dt * a[k];
        now += dt;
      }
      double *o = &out[6 * (shot * tracers.size() + t)];
      for (int k = 0; k < 3; ++k) o[k] = x[k], o[3 + k] = v[k];
    }
  });
  std::FILE *o = std::fopen(argv[2], "wb");
  if (o == nullptr || std::fwrite(out.data(), sizeof(double), out.size(), o) != out.size() || std::fclose(o) != 0) return 1;
  return 0;
}
