#!/usr/bin/python3
"""Would a distribution function of (E, L_z) remove the disc's transient ring?

The trials that found the remedy galaxy-ic now takes: when it drew the
disc's planar velocities as Gaussians about its epicyclic Jeans moments,
Sigma(R) rang by up to 15 % over the first two rotation periods in the
particles' own potential (bench/disc_stationarity.py). Here a file's disc gets new
(v_R, v_phi) at the same positions, drawn from the planar distribution
function
    f(E, L_z) = F(L_z) / sigma^2(L_z) exp(-(E - E_c(L_z)) / sigma^2(L_z)),  L_z > 0,
in the midplane potential of the frozen field the orbits are then followed
in (bench/axisymmetric_orbits --curve), F and sigma iterated on guiding
radii until the function's own Sigma(R) and sigma_R(R) are the disc's
exponential and sigma_R0 exp(-R / 2 R_d) (sigma_R0 from toomre_q at
q_radius in that potential). Heights and v_z stay. Both files are then
followed exactly as disc_stationarity.py follows one, and Sigma(R)'s change
printed in every ring, in per cent and in sigmas of the tracers' exchange
between rings (what an equilibrium shows too).

With --actions the function is one of the planar radial action instead,
    f(J_R, L_z) = F(L_z) kappa / sigma^2(L_z) exp(-kappa J_R / sigma^2(L_z)),
J_R by quadrature of the planar orbit in the same potential; with --layer
that potential is the radial pull averaged over the disc's sech^2 layer.

usage: bench/disc_planar_df.py [--build DIR] [--galaxy FILE.toml]
          [--tracers N] [--periods P] [--cells NR NZ] [--layer] [--actions]
          [--no-orbits] [--only-trial]
needs: numpy and h5py (Debian python3-numpy python3-h5py)
"""
import argparse
import os
import shutil
import subprocess
import tempfile
import tomllib

import h5py
import numpy as np

import disc_stationarity as bench

HERE = os.path.dirname(os.path.abspath(__file__))


def disc_law(text):
    disc = next(c for c in tomllib.loads(text)["component"] if c.get("role") == "disc")
    R_d = float(disc["scale_length"])
    return R_d, float(disc["mass"]), float(disc.get("toomre_q", 1.5)), float(disc.get("q_radius", 2.4 * R_d))


class planar_df:
    """F and sigma on guiding-radius nodes x, in the potential of (x, v_c)."""

    def __init__(self, x, vc, R_d, mass, q, q_radius, iterations=30):
        self.x, self.lnx = x, np.log(x)
        self.phi = np.concatenate([[0.0], np.cumsum(0.5 * (vc[1:] ** 2 + vc[:-1] ** 2) * np.diff(self.lnx))])
        self.Lc, self.Ec = x * vc, self.phi + 0.5 * vc ** 2
        if not np.all(np.diff(self.Lc) > 0):
            raise SystemExit("the frozen potential's L_c(R) is not increasing: no guiding radii")
        omega = vc / x
        kappa = np.sqrt(2 * omega ** 2 * (1 + np.gradient(np.log(vc), self.lnx)))
        surface = mass / (2 * np.pi * R_d ** 2) * np.exp(-x / R_d)
        sigma_q = 3.36 * q * bench.G * np.interp(q_radius, x, surface) / np.interp(q_radius, x, kappa)
        self.target_sigma = sigma_q * np.exp((q_radius - x) / (2 * R_d))
        self.target_surface = surface
        self.sigma, self.F = self.target_sigma.copy(), surface * omega / (np.pi * kappa)
        self.v = np.linspace(0.0, 1.5 * vc.max(), 3001)[1:]
        band = (x > 0.3 * R_d) & (x < 5 * R_d)
        self.iterate(band, iterations)

    def iterate(self, band, iterations):
        """F and sigma scaled by the laws over the function's own moments;
        the rounds converge, then (at the band's outer edge) can run away:
        the best round is kept."""
        best = None
        for _ in range(iterations + 1):
            S, sR = self.moments()
            misfit = (np.max(np.abs(S / self.target_surface - 1)[band]), np.max(np.abs(sR / self.target_sigma - 1)[band]))
            if best is None or max(misfit) < max(best[0]):
                best = (misfit, self.F.copy(), self.sigma.copy())
            self.F *= self.target_surface / np.maximum(S, 1e-300)
            self.sigma *= self.target_sigma / np.maximum(sR, 1e-300)
        self.misfit, self.F, self.sigma = best

    def density(self, R, v_phi):
        """f integrated over v_R, at (R, v_phi); and sigma(L_z) there."""
        Rg = np.interp(R * v_phi, self.Lc, self.x, left=np.nan, right=np.nan)
        s = np.interp(Rg, self.x, self.sigma)
        excess = (np.interp(np.log(R), self.lnx, self.phi) + 0.5 * v_phi ** 2 - np.interp(Rg, self.x, self.Ec)) / s ** 2
        g = np.interp(Rg, self.x, self.F) / s * np.exp(-np.maximum(excess, 0.0))
        ok = np.isfinite(g)
        return np.where(ok, g, 0.0), np.where(ok, s, 0.0)

    def moments(self):
        S, s2 = np.zeros(len(self.x)), np.zeros(len(self.x))
        dv = self.v[1] - self.v[0]
        for i, R in enumerate(self.x):
            g, s = self.density(np.full_like(self.v, R), self.v)
            S[i] = np.sqrt(2 * np.pi) * g.sum() * dv
            s2[i] = np.sum(g * s * s) / max(g.sum(), 1e-300)
        return S, np.sqrt(s2)

    def draw(self, R, rng):
        """(v_R, v_phi) at each R: v_phi by inverting the conditional in fine
        bins of ln R, v_R normal of sigma(L_z)."""
        edges = np.exp(np.linspace(np.log(R.min() * 0.999), np.log(R.max() * 1.001), 4001))
        which = np.digitize(R, edges) - 1
        v_R, v_phi = np.empty(len(R)), np.empty(len(R))
        order = np.argsort(which)
        starts = np.searchsorted(which[order], np.arange(len(edges)))
        for i in range(len(edges) - 1):
            idx = order[starts[i]:starts[i + 1]]
            if len(idx) == 0:
                continue
            g, _ = self.density(np.full_like(self.v, np.sqrt(edges[i] * edges[i + 1])), self.v)
            cdf = np.cumsum(g)
            v_phi[idx] = np.interp(rng.random(len(idx)), cdf / cdf[-1], self.v)
            _, s = self.density(R[idx], v_phi[idx])
            v_R[idx] = rng.normal(size=len(idx)) * s
        return v_R, v_phi


class action_df(planar_df):
    """f(J_R, L_z) = F(L_z) kappa / sigma^2 exp(-kappa J_R / sigma^2) (L_z > 0), the radial action J_R
    of the planar orbit in the same potential, F and sigma on guiding radii as above: a hot centre's
    orbits then have large actions and stay near it, where E - E_c let them reach far out."""

    def __init__(self, x, vc, R_d, mass, q, q_radius, iterations=30):
        self.x, self.lnx = x, np.log(x)
        self.phi = np.concatenate([[0.0], np.cumsum(0.5 * (vc[1:] ** 2 + vc[:-1] ** 2) * np.diff(self.lnx))])
        self.Lc, self.Ec = x * vc, self.phi + 0.5 * vc ** 2
        omega = vc / x
        self.kappa = np.sqrt(2 * omega ** 2 * (1 + np.gradient(np.log(vc), self.lnx)))
        self.tabulate_actions(vc)
        surface = mass / (2 * np.pi * R_d ** 2) * np.exp(-x / R_d)
        sigma_q = 3.36 * q * bench.G * np.interp(q_radius, x, surface) / np.interp(q_radius, x, self.kappa)
        self.target_sigma = sigma_q * np.exp((q_radius - x) / (2 * R_d))
        self.target_surface = surface
        self.sigma, self.F = self.target_sigma.copy(), surface * omega / (np.pi * self.kappa)
        self.vphi = (np.arange(800) + 0.5) * (1.5 * vc.max() / 800)
        band = (x > 0.3 * R_d) & (x < 5 * R_d)
        self.nodes = np.unique(np.concatenate([np.searchsorted(x, np.geomspace(0.05 * R_d, 12 * R_d, 160)), []]).astype(int))
        self.iterate(band, iterations)

    def tabulate_actions(self, vc):
        """J_R on (guiding radius node, u = E - E_c) by the trapezoid over a fine grid in ln R."""
        fine = np.linspace(self.lnx[0], self.lnx[-1], 6000)
        R, phi = np.exp(fine), np.interp(fine, self.lnx, self.phi)
        self.u = (np.linspace(0.0, 1.0, 121) ** 2) * 4.0 * vc.max() ** 2
        self.J = np.zeros((len(self.x), len(self.u)))
        for i, L in enumerate(self.Lc):
            eff = phi + 0.5 * (L / R) ** 2
            excess = self.Ec[i] + self.u[:, None] - eff[None, :]
            speed = np.sqrt(np.maximum(excess, 0.0))
            self.J[i] = np.sqrt(2.0) / np.pi * np.trapz(speed, R, axis=1)

    def weight(self, R, v_phi, v_R2):
        """f at (R, v_phi) for each v_R^2 (columns), and sigma(L_z) there."""
        Rg = np.interp(R * v_phi, self.Lc, self.x, left=np.nan, right=np.nan)
        ok = np.isfinite(Rg)
        Rg = np.where(ok, Rg, self.x[0])
        s = np.interp(Rg, self.x, self.sigma)
        k = np.interp(Rg, self.x, self.kappa)
        excess = np.interp(np.log(R), self.lnx, self.phi) + 0.5 * v_phi ** 2 - np.interp(Rg, self.x, self.Ec)
        u = np.maximum(excess[:, None] + 0.5 * v_R2[None, :], 0.0)
        g = np.clip((np.log(Rg) - self.lnx[0]) / (self.lnx[1] - self.lnx[0]), 0, len(self.x) - 1.001)
        i, t = g.astype(int), g - g.astype(int)
        w = np.clip(np.interp(u.ravel(), self.u, np.arange(len(self.u))), 0, len(self.u) - 1.001).reshape(u.shape)
        j, r = w.astype(int), w - w.astype(int)
        J = ((1 - t)[:, None] * ((1 - r) * self.J[i[:, None], j] + r * self.J[i[:, None], j + 1]) +
             t[:, None] * ((1 - r) * self.J[i[:, None] + 1, j] + r * self.J[i[:, None] + 1, j + 1]))
        f = (np.interp(Rg, self.x, self.F) * k / s ** 2)[:, None] * np.exp(-k[:, None] * J / s[:, None] ** 2)
        return np.where(ok[:, None], f, 0.0), s

    def radial_speeds(self, R):
        """Midpoints of |v_R| cells out to 5 sigma_R's law at R."""
        top = 5.0 * np.interp(R, self.x, self.target_sigma)
        return (np.arange(80) + 0.5) * (top / 80), top / 80

    def moments(self):
        S, s2 = np.full(len(self.x), np.nan), np.full(len(self.x), np.nan)
        dphi = self.vphi[1] - self.vphi[0]
        for n in self.nodes:
            vR, dR = self.radial_speeds(self.x[n])
            f, _ = self.weight(self.x[n], self.vphi, vR ** 2)
            S[n] = 2 * f.sum() * dphi * dR
            s2[n] = (f * vR[None, :] ** 2).sum() / max(f.sum(), 1e-300)
        good = np.isfinite(S)
        S = np.exp(np.interp(self.lnx, self.lnx[good], np.log(np.maximum(S[good], 1e-300))))
        return S, np.sqrt(np.interp(self.lnx, self.lnx[good], s2[good]))

    def draw(self, R, rng):
        """(v_R, v_phi) at each R: a cell of the (v_phi, |v_R|) grid by its weight, uniform within it."""
        edges = np.exp(np.linspace(np.log(R.min() * 0.999), np.log(R.max() * 1.001), 801))
        which = np.digitize(R, edges) - 1
        v_R, v_phi = np.empty(len(R)), np.empty(len(R))
        order = np.argsort(which)
        starts = np.searchsorted(which[order], np.arange(len(edges)))
        dphi = self.vphi[1] - self.vphi[0]
        for b in range(len(edges) - 1):
            idx = order[starts[b]:starts[b + 1]]
            if len(idx) == 0:
                continue
            Rb = np.sqrt(edges[b] * edges[b + 1])
            vR, dR = self.radial_speeds(Rb)
            f, _ = self.weight(Rb, self.vphi, vR ** 2)
            cdf = np.cumsum(f.ravel())
            cell = np.searchsorted(cdf, rng.random(len(idx)) * cdf[-1])
            a, c = np.divmod(cell, len(vR))
            v_phi[idx] = self.vphi[a] + (rng.random(len(idx)) - 0.5) * dphi
            v_R[idx] = (vR[c] + (rng.random(len(idx)) - 0.5) * dR) * np.where(rng.random(len(idx)) < 0.5, -1, 1)
        return v_R, v_phi


def jeans_misfit(x, v, curve, R_d):
    """Largest |v_phi^2 + sigma_phi^2 - sigma_R^2 (1 + dln Sigma sigma_R^2 / dln R) - v_c^2| / v_c^2
    of a sample in rings of 0.25 R_d from 0.75 to 4 R_d, v_c from the frozen field."""
    R = np.hypot(x[:, 0], x[:, 1])
    c, s = x[:, 0] / R, x[:, 1] / R
    v_R, v_phi = v[:, 0] * c + v[:, 1] * s, -v[:, 0] * s + v[:, 1] * c
    worst = 0.0
    for lo in np.arange(0.75, 4.0, 0.25):
        ring = (R / R_d >= lo) & (R / R_d < lo + 0.25)
        Rm = R[ring].mean()
        vc2 = np.interp(Rm, *curve) ** 2
        lhs = v_phi[ring].mean() ** 2 + v_phi[ring].var() - v_R[ring].var() * (1 - 2 * Rm / R_d)
        worst = max(worst, abs(lhs / vc2 - 1))
    return worst


def redraw(path, out, df, seed=7):
    shutil.copy(path, out)
    with h5py.File(out, "r+") as f:
        x, v = f["PartType2/Coordinates"][...], f["PartType2/Velocities"][...]
        R = np.hypot(x[:, 0], x[:, 1])
        c, s = x[:, 0] / R, x[:, 1] / R
        v_R, v_phi = df.draw(R, np.random.default_rng(seed))
        v[:, 0], v[:, 1] = v_R * c - v_phi * s, v_R * s + v_phi * c
        f["PartType2/Velocities"][...] = v


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--galaxy")
    ap.add_argument("--tracers", type=int, default=100000)
    ap.add_argument("--periods", type=float, default=10.0)
    ap.add_argument("--cells", type=int, nargs=2, default=(192, 384))
    ap.add_argument("--layer", action="store_true", help="the function's potential from the radial pull averaged "
                    "over the disc's sech^2 layer, not the plane's")
    ap.add_argument("--actions", action="store_true", help="a function of the radial action, kappa J_R, in place "
                    "of E - E_c")
    ap.add_argument("--no-orbits", action="store_true", help="stop once the distribution function's draws are made")
    ap.add_argument("--only-trial", action="store_true", help="follow only the trial (the file as made is what "
                    "disc_stationarity.py follows)")
    a = ap.parse_args()
    text = open(a.galaxy).read() if a.galaxy else bench.readme_galaxy()
    R_d, mass, q, q_radius = disc_law(text)
    with tempfile.TemporaryDirectory() as work:
        toml, path, trial = (os.path.join(work, n) for n in ("g.toml", "g.hdf5", "df.hdf5"))
        open(toml, "w").write(text)
        subprocess.run([os.path.join(a.build, "galaxy-ic"), "--galaxy", toml, "--format", "hdf5", "-o", path,
                        "--threads", "2"], check=True)
        parts = bench.load(path)
        records = np.concatenate([np.column_stack([x, v, m, np.zeros(len(m))]) for x, v, m in parts.values()])
        records.astype(np.float64).tofile(os.path.join(work, "all.bin"))
        disc = parts[2][0]
        R = np.hypot(disc[:, 0], disc[:, 1])
        # The grid's scales as disc_stationarity.run() takes them, so that
        # the curve is the very field the orbits are followed in.
        s_R = float(np.median(R)) / 1.6783 / 6.0 * 96 / a.cells[0]
        z_d = float(np.median(np.abs(disc[:, 2]))) / np.arctanh(0.5)
        curve = os.path.join(work, "curve.txt")
        subprocess.run([os.path.join(a.build, "bench", "axisymmetric_orbits"), "--curve", os.path.join(work, "all.bin"),
                        curve, repr(s_R), repr(z_d / 10.0), str(a.cells[0]), str(a.cells[1]),
                        repr(0.5 * R.min()), repr(2.0 * R.max()), "600", repr(z_d)], check=True)
        x, vc, vc_layer = np.loadtxt(curve, unpack=True)
        print("as made, the radial Jeans equation in the frozen field: within %.2g %% of v_c^2, 0.75-4 R_d"
              % (100 * jeans_misfit(disc, parts[2][1], (x, vc), R_d)))
        df = (action_df if a.actions else planar_df)(x, vc_layer if a.layer else vc, R_d, mass, q, q_radius)
        print("distribution function: its Sigma within %.2g %%, its sigma_R within %.2g %% of the laws, 0.3-5 R_d"
              % (100 * df.misfit[0], 100 * df.misfit[1]))
        redraw(path, trial, df)
        with h5py.File(trial, "r") as f:
            v = f["PartType2/Velocities"][...]
        for k in (1, 2, 3):
            ring = np.abs(R / (k * R_d) - 1) < 0.1
            c, s = disc[ring, 0] / R[ring], disc[ring, 1] / R[ring]
            v_R, v_phi = v[ring, 0] * c + v[ring, 1] * s, -v[ring, 0] * s + v[ring, 1] * c
            i = np.argmin(np.abs(df.x - k * R_d))
            kappa_over = np.sqrt(0.5 * (1 + np.gradient(np.log(vc), df.lnx)[i]))
            print("  at %d R_d: its sigma_phi / sigma_R %.3f, kappa / 2 Omega %.3f" % (k, v_phi.std() / v_R.std(), kappa_over))
        if a.no_orbits:
            return
        runs = (("as made", path),
                ("f(J_R, L_z) in the same potential" if a.actions else "f(E, L_z) in the same potential", trial))
        for name, file in runs[1:] if a.only_trial else runs:
            _, _, start, history, spheres, _ = bench.run(a.build, file, a.tracers, a.periods, 1.0, work, a.cells)
            print(name)
            worst = (0.0, 0.0)
            for i, h in enumerate(history):
                change, sigmas = 100 * (h["Sigma"] / start["Sigma"] - 1), (h["Sigma"] - start["Sigma"]) / h["noise"]
                worst = (max(worst[0], np.max(np.abs(change))), max(worst[1], np.max(np.abs(sigmas))))
                print("  %5.2f periods, %% by ring: %s" % ((i + 1) * a.periods / len(history),
                                                          " ".join("%+5.1f" % c for c in change)))
                print("               in sigmas: %s" % " ".join("%+5.1f" % c for c in sigmas))
            print("  largest change %.1f %%, largest in sigmas %.1f; at the end: %s" % (
                worst[0], worst[1], ", ".join("%s %.2f" % kv for kv in bench.changes(start, history[-1]).items())))


if __name__ == "__main__":
    main()
