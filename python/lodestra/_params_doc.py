"""The reference of every parameter of `RidiParams` and `RidiParams3D`, in one place.

The documentation's parameter tables, `lodestra.describe` and the tests all read these
tables; the test-set values are not copied here but read from ``default_test()``. A
parameter added to either class without an entry here fails the test suite.

Units: lodestra has no built-in units. Every value is a number in a unit system of the
caller's choice, written here with three symbols: a length ℓ (the unit of dx), a time τ
(the unit of dt) and an energy density ε (the unit of the Landau coefficients and of
the activity). Q and φ are dimensionless. The test sets use ℓ = one grid spacing,
ε = K_r/ℓ² and τ = 1/(Γ_r ε), so that dx = K_r = Γ_r = 1.
"""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["Entry", "PARAMS_2D", "PARAMS_3D", "MODELS_2D", "MODELS_3D", "entries_of"]

MODELS_2D = ("dry", "hydro", "bech")
MODELS_3D = ("dry3d", "bech3d")


class Entry(NamedTuple):
    """One parameter: its name (the constructor argument and property), its symbol in
    the equations (LaTeX), what it means, its unit, the rule that validation applies
    (``"> 0"``, ``">= 0"``, ``">= 2"`` or ``"any"``), whether it can be assigned after
    construction, and which models read it."""

    name: str
    symbol: str
    meaning: str
    unit: str
    rule: str
    settable: bool
    models: tuple[str, ...]


_ALL2 = MODELS_2D
_FLOW2 = ("hydro", "bech")
_ALL3 = MODELS_3D

PARAMS_2D: tuple[Entry, ...] = (
    Entry("nx", "n_x", "vertices along x; with ny, only the noise seed and the area of the "
          "defect density (the grid stepped is the field's own)", "vertices", ">= 2", True, _ALL2),
    Entry("ny", "n_y", "vertices along y (as nx)", "vertices", ">= 2", True, _ALL2),
    Entry("dx", r"\Delta x", "grid spacing; only the area of the defect density (the "
          "derivatives use the field's own dx)", "ℓ", "> 0", False, _ALL2),
    Entry("dt", r"\Delta t", "time step (RK4 in the dry model, Euler with flow)", "τ", "> 0",
          True, _ALL2),
    Entry("k_r", "K_r", "elastic constant of the nematic (one-constant Frank energy)", "ε ℓ²",
          "> 0", False, _ALL2),
    Entry("gamma_r", r"\Gamma_r", "rotational mobility: rate at which Q follows its "
          "molecular field", "1/(ε τ)", "> 0", False, _ALL2),
    Entry("zeta_eff", r"\zeta", "activity: shifts the Landau coefficient, a_eff = a - ζ/2; "
          "with flow also the active stress +ζQ (contractile for ζ > 0)", "ε", ">= 0", True,
          _ALL2),
    Entry("eta", r"\eta", "viscosity of the Stokes flow", "ε τ", "> 0", False, _FLOW2),
    Entry("a_landau", "a", "quadratic Landau coefficient (nematic for a_eff < 0)", "ε", "any",
          False, _ALL2),
    Entry("c_landau", "c", "quartic Landau coefficient", "ε", "> 0", False, _ALL2),
    Entry("lambda_", r"\lambda", "flow-alignment parameter of the co-rotation term; in 2D "
          "its terms reduce to λ (∇·u) Q, which the divergence-free flow makes vanish up to "
          "the discretisation", "1", "any", False, _FLOW2),
    Entry("k_l", "K_l", "lipid elastic constant; enters only pi_number()", "ε ℓ²", "any", False,
          ()),
    Entry("gamma_l", r"\Gamma_l", "lipid mobility; enters only pi_number()", "1/(ε τ)", "any",
          False, ()),
    Entry("xi_l", r"\xi_l", "range of the K₀ kernel that maps the rotor order to the lipid "
          "order", "ℓ", "> 0", False, ("bech",)),
    Entry("noise_amp", r"\sigma", "amplitude of the additive Gaussian noise on Q (standard "
          "deviation σ √Δt per step and component)", "1/√τ", ">= 0", True, _ALL2),
    Entry("chi_ms", r"\chi", "Maier-Saupe coupling of φ to the lipid order |Q_lip|²", "ε",
          ">= 0", True, ("bech",)),
    Entry("kappa_ch", r"\kappa", "Cahn-Hilliard gradient (interface) coefficient", "ε ℓ²", "> 0",
          True, ("bech",)),
    Entry("a_ch", "A", "Cahn-Hilliard quadratic coefficient (a single well for A > 0)", "ε",
          "> 0", True, ("bech",)),
    Entry("b_ch", "B", "Cahn-Hilliard quartic coefficient", "ε", "> 0", True, ("bech",)),
    Entry("m_l", "M", "lipid mobility of the Cahn-Hilliard equation", "ℓ²/(ε τ)", "> 0", True,
          ("bech",)),
)

PARAMS_3D: tuple[Entry, ...] = (
    Entry("nx", "n_x", "vertices along x; with ny and nz, only the shapes written into the "
          "snapshot files (the grid stepped is the field's own)", "vertices", ">= 2", True, _ALL3),
    Entry("ny", "n_y", "vertices along y (as nx)", "vertices", ">= 2", True, _ALL3),
    Entry("nz", "n_z", "vertices along z (as nx)", "vertices", ">= 2", True, _ALL3),
    Entry("dx", r"\Delta x", "grid spacing; only the distance threshold of the event tracker "
          "(the derivatives use the field's own dx)", "ℓ", "> 0", False, _ALL3),
    Entry("dt", r"\Delta t", "time step (explicit Euler)", "τ", "> 0", True, _ALL3),
    Entry("k_r", "K_r", "elastic constant of the nematic (one-constant Frank energy)", "ε ℓ²",
          "> 0", False, _ALL3),
    Entry("gamma_r", r"\Gamma_r", "rotational mobility", "1/(ε τ)", "> 0", False, _ALL3),
    Entry("zeta_eff", r"\zeta", "activity: shifts the Landau coefficient, a_eff = a - ζ/2; in "
          "bech3d also the active force -ζ ∇·Q (extensile for ζ > 0)", "ε", ">= 0", True, _ALL3),
    Entry("eta", r"\eta", "viscosity of the Stokes flow", "ε τ", "> 0", False, ("bech3d",)),
    Entry("a_landau", "a", "quadratic Landau coefficient (nematic for a_eff < 0)", "ε", "any",
          False, _ALL3),
    Entry("c_landau", "c", "quartic Landau coefficient", "ε", "> 0", False, _ALL3),
    Entry("b_landau", "b", "cubic Landau coefficient; carried, read by no model", "ε", "any",
          False, ()),
    Entry("lambda_", r"\lambda", "flow-alignment parameter of the co-rotation term", "1", "any",
          False, ("bech3d",)),
    Entry("k_l", "K_l", "lipid elastic constant; enters only pi_number()", "ε ℓ²", "> 0", False,
          ()),
    Entry("gamma_l", r"\Gamma_l", "lipid mobility; enters only pi_number()", "1/(ε τ)", "> 0",
          False, ()),
    Entry("xi_l", r"\xi_l", "lipid length; validated, read by no 3D model", "ℓ", "> 0", False,
          ()),
    Entry("chi_ms", r"\chi", "Maier-Saupe coupling of φ to tr(Q²)", "ε", ">= 0", False,
          ("bech3d",)),
    Entry("kappa_ch", r"\kappa", "Cahn-Hilliard gradient (interface) coefficient", "ε ℓ²", "> 0",
          False, ("bech3d",)),
    Entry("a_ch", "A", "Cahn-Hilliard quadratic coefficient (a single well for A > 0)", "ε",
          "> 0", False, ("bech3d",)),
    Entry("b_ch", "B", "Cahn-Hilliard quartic coefficient", "ε", "> 0", False, ("bech3d",)),
    Entry("m_l", "M", "lipid mobility of the Cahn-Hilliard equation", "ℓ²/(ε τ)", "> 0", False,
          ("bech3d",)),
    Entry("chi_a", r"\chi_a", "anisotropy of the magnetic susceptibility (0: no field)",
          "ε/B²", ">= 0", False, _ALL3),
    Entry("b0", "B_0", "amplitude of the rotating field", "B", ">= 0", False, _ALL3),
    Entry("omega_b", r"\omega_B", "angular frequency of the field rotating in the xy plane",
          "1/τ", "any", False, _ALL3),
    Entry("noise_amp", r"\sigma", "amplitude of the additive Gaussian noise on Q (standard "
          "deviation σ √Δt per step and component)", "1/√τ", ">= 0", True, _ALL3),
)


def entries_of(params_type: type) -> tuple[Entry, ...]:
    """The entries of a parameter class (`RidiParams` or `RidiParams3D`), in constructor order."""
    name = getattr(params_type, "__name__", "")
    if name == "RidiParams":
        return PARAMS_2D
    if name == "RidiParams3D":
        return PARAMS_3D
    raise TypeError(f"expected RidiParams or RidiParams3D, got '{name or type(params_type).__name__}'")
