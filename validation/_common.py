"""Helpers shared by the validation cases: parameter sets, checks, output files."""

import argparse
import json
import math
import os
import tempfile

import lodestra

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")

_FIELDS_2D = ("nx", "ny", "dx", "dt", "k_r", "gamma_r", "zeta_eff", "eta", "a_landau",
              "c_landau", "lambda_", "k_l", "gamma_l", "xi_l", "noise_amp", "chi_ms",
              "kappa_ch", "a_ch", "b_ch", "m_l")
_FIELDS_3D = ("nx", "ny", "nz", "dx", "dt", "k_r", "gamma_r", "zeta_eff", "eta", "a_landau",
              "c_landau", "b_landau", "lambda_", "k_l", "gamma_l", "xi_l", "chi_ms",
              "kappa_ch", "a_ch", "b_ch", "m_l", "chi_a", "b0", "omega_b", "noise_amp")


def params_2d(**overrides):
    """The 2D test set with some fields replaced; validated by the constructor."""
    base = lodestra.RidiParams.default_test()
    args = {name: getattr(base, name) for name in _FIELDS_2D}
    args.update(overrides)
    return lodestra.RidiParams(**args)


def params_3d(**overrides):
    """The 3D test set with some fields replaced; validated by the constructor."""
    base = lodestra.RidiParams3D.default_test()
    args = {name: getattr(base, name) for name in _FIELDS_3D}
    args.update(overrides)
    return lodestra.RidiParams3D(**args)


class Report:
    """Measured against expected for one case; written as JSON beside the picture."""

    def __init__(self, case, title, quick):
        self.data = {"case": case, "title": title, "mode": "quick" if quick else "full",
                     "checks": [], "notes": []}

    def check(self, name, measured, expected, tolerance, relative=False):
        """Passes when |measured - expected| <= tolerance (times |expected| if relative)."""
        bound = tolerance * abs(expected) if relative else tolerance
        ok = bool(math.isfinite(measured) and abs(measured - expected) <= bound)
        self.data["checks"].append({"name": name, "measured": float(measured),
                                    "expected": float(expected), "tolerance": float(tolerance),
                                    "relative": relative, "passed": ok})
        return ok

    def bound(self, name, measured, limit):
        """Passes when 0 <= measured <= limit (an error norm against its bound)."""
        ok = bool(math.isfinite(measured) and measured <= limit)
        self.data["checks"].append({"name": name, "measured": float(measured), "expected": 0.0,
                                    "tolerance": float(limit), "relative": False,
                                    "passed": ok})
        return ok

    def truth(self, name, value, text):
        """A yes/no fact (one line, no loop, ...), recorded with its description."""
        self.data["checks"].append({"name": name, "measured": text, "expected": "true",
                                    "tolerance": None, "relative": False,
                                    "passed": bool(value)})
        return bool(value)

    def report(self, name, measured, expected, why):
        """A value shown beside a published one without a pass/fail (why: the reason)."""
        self.data["checks"].append({"name": name, "measured": float(measured),
                                    "expected": float(expected), "tolerance": None,
                                    "relative": False, "passed": True, "reported": why})

    def note(self, text):
        self.data["notes"].append(text)

    def finish(self, out_dir, fig, seconds):
        self.data["passed"] = all(c["passed"] for c in self.data["checks"])
        self.data["seconds"] = round(seconds, 1)
        self.data["picture"] = self.data["case"] + ".png"
        os.makedirs(out_dir, exist_ok=True)
        fig.savefig(os.path.join(out_dir, self.data["picture"]), dpi=100)
        import matplotlib.pyplot as plt
        plt.close(fig)
        with open(os.path.join(out_dir, self.data["case"] + ".json"), "w") as f:
            json.dump(self.data, f, indent=1)
            f.write("\n")
        return self.data


def output_dir(quick, out_dir):
    """Full runs write the gallery; quick runs write where the caller says (or a temp dir)."""
    if out_dir is not None:
        return out_dir
    return tempfile.mkdtemp(prefix="lodestra-validation-") if quick else RESULTS


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def cli(main):
    parser = argparse.ArgumentParser(description=main.__module__)
    parser.add_argument("--quick", action="store_true", help="small grid, short run")
    parser.add_argument("--out", default=None, help="output folder")
    args = parser.parse_args()
    result = main(args.quick, args.out)
    for c in result["checks"]:
        status = "ok  " if c["passed"] else "FAIL"
        print(f"{status} {c['name']}: measured {c['measured']}, expected {c['expected']}"
              f" (tolerance {c['tolerance']}{' rel' if c['relative'] else ''})")
    print(f"{result['case']}: {'passed' if result['passed'] else 'FAILED'} in {result['seconds']} s")
    raise SystemExit(0 if result["passed"] else 1)
