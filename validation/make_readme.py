"""Writes validation/README.md: the gallery's table, generated from results/*.json."""

import glob
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))

HEAD = """# Validation gallery

Each case is a script `NN_name.py` whose docstring states the physics, the expected result
and its source, the tolerance and where it comes from, and the run time. `python
NN_name.py` runs the full mode and writes `results/NN_name.png` and `results/NN_name.json`
(measured against expected); `--quick` runs the small version that the test suite runs
(`tests/python/test_validation.py`), writing to a temporary folder or to `--out DIR`.
`make validation` runs every full mode and regenerates this page.

Grid sizes are those one core affords in about a minute per case; where that limits a
comparison with a published result (cases 2, 4, 5 and 8), the script's docstring and the
notes below say how.

| case | check | expected | measured | tolerance | status | picture |
|---|---|---|---|---|---|---|
"""


def cell(text):
    return text.replace("|", "\\|")


def number(x):
    if isinstance(x, str) or x is None:
        return "" if x is None else cell(x)
    if x == 0:
        return "0"
    return f"{x:.4g}" if 1e-3 <= abs(x) < 1e4 else f"{x:.3e}"


def status(c):
    if c.get("reported"):
        return "reported: " + c["reported"]
    return "pass" if c["passed"] else "**FAIL**"


def main():
    rows, notes = [], []
    for path in sorted(glob.glob(os.path.join(HERE, "results", "*.json"))):
        with open(path) as f:
            r = json.load(f)
        pic = f"[png](results/{r['picture']})"
        for k, c in enumerate(r["checks"]):
            tol = number(c["tolerance"])
            if c["relative"]:
                tol += " (relative)"
            expected = "holds" if isinstance(c["measured"], str) else number(c["expected"])
            rows.append(f"| {r['case'] if k == 0 else ''} | {cell(c['name'])} | {expected} | "
                        f"{number(c['measured'])} | {tol} | "
                        f"{status(c)} | {pic if k == 0 else ''} |")
        for note in r.get("notes", []):
            notes.append(f"- {r['case']}: {note}")
        notes.append(f"- {r['case']}: {r['mode']} mode, {r['seconds']} s")
    with open(os.path.join(HERE, "README.md"), "w") as f:
        f.write(HEAD + "\n".join(rows) + "\n\n## Notes\n\n" + "\n".join(notes) + "\n")
        f.write(NOTES)


NOTES = """
## What the cases show about the model

- 2D flow couples to the director only through the vorticity: for a traceless 2x2 Q the
  traceless part of E.Q + Q.E vanishes, and the strain term lambda E is absent, so lambda
  has no effect at linear order (case 3). With the force +zeta div Q, positive zeta_eff
  destabilises splay. The 3D solver uses -zeta div Q (case 7): the same positive zeta_eff
  is contractile in 2D and extensile in 3D, while both shift a_eff by -zeta/2.
- The parameter checks require a_ch > 0, for which the Cahn-Hilliard free energy
  a/2 phi^2 + b/4 phi^4 has a single well and every mode decays; phi_eq = sqrt(a_ch/b_ch)
  is the minimum of the double well -a/2 phi^2 + b/4 phi^4. Spinodal growth appears in 2D
  only with a_ch < 0 set after construction, and cannot be reached in 3D (case 6).
- The 3D Cahn-Hilliard step uses the central-difference wavenumbers sin(k dx)/dx, which
  vanish at the grid scale: a checkerboard of phi is not damped at all (case 6, right).
- The shrinking loop (case 5) moves by the curvature drift Gamma K / R plus the attraction
  of its two sides, which at R of a few cores is as large as the drift: c = 4.1, not the
  infinite-logarithm value 2 Gamma K.
- Pair annihilation (case 2) gives alpha = 0.46 on 256^2, below the classical 0.5 and
  above the logarithmically corrected 0.40 of the fit window.
- The defect density of active turbulence (case 8) hardly depends on zeta: the plateau
  is about 1e-3 for zeta from 0.25 to 2, on 128^2 as on 256^2, a defect spacing of 7 to 20
  active lengths, where the published rho ~ zeta/K would change it fourfold. The 2D flow
  turns the director only by its vorticity and is carried by vortices much larger than
  l_a. With substrate friction (Gamma_f = 0.008, screening the flow beyond 11 grid
  spacings) and flow alignment (xi = -0.7) the published law is found: rho/zeta flat over
  zeta = 0.25 to 1, an exponent near 1, the same density on 128^2, 256^2 and 512^2.
- With friction, the ordered state is linearly stable below zeta_c = Gamma_r K Gamma_f /
  (q0 - xi/2) (box-corrected by eta (2 pi/L)^2 in place of 0); the measured growth rates
  with friction and flow alignment match the discrete linear theory to 1e-10 relative
  (case 3), and a single Stokes mode with friction has the analytic amplitude
  zeta A/(eta k + Gamma_f/k) to rounding, 2D and 3D (case 10).
- A +1/2 defect on a frictional substrate swims along its axis, towards the tail of the
  comet drawn from Q (zeta > 0 is contractile for Q), at a speed linear in zeta; the -1/2
  defect is carried only by the flow of its surroundings (case 9).
"""


if __name__ == "__main__":
    main()
