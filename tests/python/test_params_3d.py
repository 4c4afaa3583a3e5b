"""RidiParams3D: constructor, defaults, derived quantities, validation and setters."""

import inspect
import math

import pytest

import lodestra
from conftest import cpython39_drops_class_signature, pypy_drops_member_docs

P = lodestra.RidiParams3D

REQUIRED = dict(nx=16, ny=16, nz=16, dx=1.0, dt=0.01, k_r=1.0, gamma_r=1.0, zeta_eff=2.0,
                eta=1.0, a_landau=-0.5, c_landau=4.5, b_landau=0.0, lambda_=0.95, k_l=0.5,
                gamma_l=1.0, xi_l=5.0, chi_ms=0.5, kappa_ch=1.0, a_ch=1.0, b_ch=1.0, m_l=0.1)
SIGNATURE = ("(nx, ny, nz, dx, dt, k_r, gamma_r, zeta_eff, eta, a_landau, c_landau, b_landau, "
             "lambda_, k_l, gamma_l, xi_l, chi_ms, kappa_ch, a_ch, b_ch, m_l, chi_a=0.0, b0=1.0, "
             "omega_b=1.0, noise_amp=0.0)")

# The checks in order, each with a value that fails it; every earlier check passes.
CHECKS = [
    ("nx", 1, "nx must be >= 2"), ("ny", 0, "ny must be >= 2"), ("nz", 1, "nz must be >= 2"),
    ("dx", 0.0, "dx must be positive"), ("dt", -1.0, "dt must be positive"),
    ("k_r", 0.0, "k_r must be positive"), ("gamma_r", -2.0, "gamma_r must be positive"),
    ("zeta_eff", -0.1, "zeta_eff must be non-negative"), ("eta", 0.0, "eta must be positive"),
    ("c_landau", 0.0, "c_landau must be positive"),
    ("noise_amp", -1e-9, "noise_amp must be non-negative"),
    ("chi_a", -1.0, "chi_a must be non-negative"), ("b0", -1.0, "b0 must be non-negative"),
    ("k_l", 0.0, "k_l must be positive"), ("gamma_l", 0.0, "gamma_l must be positive"),
    ("xi_l", -5.0, "xi_l must be positive"), ("chi_ms", -0.5, "chi_ms must be non-negative"),
    ("kappa_ch", 0.0, "kappa_ch must be positive"), ("a_ch", 0.0, "a_ch must be positive"),
    ("b_ch", -1.0, "b_ch must be positive"), ("m_l", 0.0, "m_l must be positive"),
]


@pypy_drops_member_docs
@cpython39_drops_class_signature
def test_class_surface():
    assert P.__doc__.endswith(
        "All physical and numerical parameters for the 3D RIDI + lipid simulation.")
    assert P.__text_signature__ == SIGNATURE
    assert str(inspect.signature(P)) == SIGNATURE
    assert P.default_test.__text_signature__ == "()"
    assert P.default_test.__doc__ == (
        "Construct the default test parameter set (16x16x16 grid, active turbulent phase).")
    assert P.validate.__doc__ == "Validate that parameters are physically reasonable."
    assert P.a_eff.__doc__ == "Effective Landau parameter a_eff = a_landau - zeta_eff / 2."
    assert P.defect_length.__doc__ == "Defect length scale ld = sqrt(K_r / zeta_eff)."
    assert P.pi_number.__doc__ == (
        "Dimensionless existence condition Pi = K_r / (Gamma_l * eta * K_l).")
    assert P.ch_coherence_length.__doc__ == (
        "Cahn-Hilliard coherence length xi_CH = sqrt(kappa_ch / a_ch).")
    assert P.phi_eq.__doc__ == "Equilibrium lipid fraction phi_eq = sqrt(a_ch / b_ch)."
    for name in ["a_eff", "defect_length", "pi_number", "ch_coherence_length", "phi_eq",
                 "validate"]:
        assert getattr(P, name).__text_signature__ == "($self)"
    assert not hasattr(P.default_test(), "kappa_w") and not hasattr(P.default_test(), "epsilon_ch")


def test_default_test_values_and_derived_quantities():
    p = P.default_test()
    assert p.validate() is None
    for name, value in dict(REQUIRED, chi_a=0.0, b0=1.0, omega_b=1.0, noise_amp=0.0).items():
        got = getattr(p, name)
        assert got == value and type(got) is type(value), name
    assert p.a_eff() == -1.5 and p.pi_number() == 2.0
    assert p.defect_length() == math.sqrt(0.5)
    assert p.ch_coherence_length() == 1.0 and p.phi_eq() == 1.0
    assert repr(p) == "RidiParams3D(nx=16, ny=16, nz=16, zeta_eff=2.0000, a_eff=-1.5000, Pi=2.0000)"


def test_constructor_by_position_keyword_and_defaults():
    by_kw = P(**REQUIRED)
    by_pos = P(*REQUIRED.values(), 0.5, 2.0, 3.0, 0.1)
    assert (by_kw.chi_a, by_kw.b0, by_kw.omega_b, by_kw.noise_amp) == (0.0, 1.0, 1.0, 0.0)
    assert (by_pos.chi_a, by_pos.b0, by_pos.omega_b, by_pos.noise_amp) == (0.5, 2.0, 3.0, 0.1)
    assert repr(by_kw) == repr(P.default_test())
    zero = P(**dict(REQUIRED, zeta_eff=0.0))
    assert zero.defect_length() == math.inf and zero.a_eff() == -0.5
    with pytest.raises(TypeError, match="^argument 'nz': "):
        P(**dict(REQUIRED, nz=2.5))
    with pytest.raises(TypeError, match="^argument 'b0': "):
        P(**REQUIRED, b0="x")
    with pytest.raises(OverflowError):
        P(**dict(REQUIRED, ny=-1))
    with pytest.raises(TypeError, match=r"^RidiParams3D\(\) missing 1 required positional "
                       r"argument: 'm_l'$"):
        P(**{k: v for k, v in REQUIRED.items() if k != "m_l"})


@pytest.mark.parametrize("name, value, message", CHECKS)
def test_each_check_in_order(name, value, message):
    with pytest.raises(ValueError) as err:
        P(**dict(REQUIRED, **{name: value}))
    assert str(err.value) == "invalid parameter: " + message
    # An earlier failing check is reported first.
    earlier = CHECKS[: CHECKS.index((name, value, message))]
    if earlier:
        first_name, first_value, first_message = earlier[0]
        with pytest.raises(ValueError, match="^invalid parameter: " + first_message + "$"):
            P(**dict(REQUIRED, **{name: value, first_name: first_value}))


@pytest.mark.parametrize("name", [n for n, v, _ in CHECKS if isinstance(v, float)])
def test_nan_passes_every_float_check(name):
    assert P(**dict(REQUIRED, **{name: math.nan})).validate() is None


def test_unvalidated_fields():
    p = P(**dict(REQUIRED, a_landau=-1e300, b_landau=math.nan, lambda_=-7.0), omega_b=-3.0)
    assert p.validate() is None


@pytest.mark.parametrize("name, bad, message", [
    ("dt", -1.0, "dt must be positive"), ("nx", 1, "nx must be >= 2"),
    ("ny", 0, "ny must be >= 2"), ("nz", 1, "nz must be >= 2"),
    ("zeta_eff", -2.0, "zeta_eff must be non-negative"),
    ("noise_amp", -0.5, "noise_amp must be non-negative"),
])
def test_setters_store_without_validating(name, bad, message):
    p = P.default_test()
    setattr(p, name, bad)
    assert getattr(p, name) == bad
    with pytest.raises(ValueError, match="^invalid parameter: " + message + "$"):
        p.validate()
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(p, name)


def test_setter_conversion_and_read_only_fields():
    p = P.default_test()
    with pytest.raises(TypeError, match="^argument 'v': "):
        p.dt = "fast"
    with pytest.raises(TypeError, match="^argument 'v': "):
        p.nz = 2.5
    with pytest.raises(OverflowError):
        p.nx = -4
    p.zeta_eff = 4
    assert p.zeta_eff == 4.0 and isinstance(p.zeta_eff, float) and p.a_eff() == -2.5
    for name in ["dx", "k_r", "lambda_", "b_landau", "chi_a", "b0", "omega_b", "m_l"]:
        with pytest.raises(AttributeError):
            setattr(p, name, 1.0)
