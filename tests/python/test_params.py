"""RidiParams: defaults, derived quantities, validation order and messages, setters."""

import math

import pytest

import lodestra
from conftest import ridi_args

FIELDS = ["nx", "ny", "dx", "dt", "k_r", "gamma_r", "zeta_eff", "eta", "a_landau", "c_landau",
          "lambda_", "noise_amp", "k_l", "gamma_l", "xi_l", "chi_ms", "kappa_ch", "a_ch", "b_ch",
          "m_l"]
SETTABLE = {"nx", "ny", "dt", "zeta_eff", "noise_amp", "chi_ms", "kappa_ch", "a_ch", "b_ch",
            "m_l"}


def test_default_test_values_and_repr(params):
    expected = dict(nx=64, ny=64, dx=1.0, dt=0.01, k_r=1.0, gamma_r=1.0, zeta_eff=2.0, eta=1.0,
                    a_landau=-0.5, c_landau=4.5, lambda_=0.7, noise_amp=0.0, k_l=0.5,
                    gamma_l=1.0, xi_l=5.0, chi_ms=0.5, kappa_ch=1.0, a_ch=1.0, b_ch=1.0, m_l=0.1)
    for name, value in expected.items():
        got = getattr(params, name)
        assert got == value and type(got) is type(value), name
    assert repr(params) == "RidiParams(nx=64, ny=64, zeta_eff=2.0000, a_eff=-1.5000, Pi=2.0000)"
    assert params.validate() is None


def test_derived_quantities(params):
    assert params.a_eff() == -1.5
    assert params.defect_length() == math.sqrt(0.5)
    assert params.pi_number() == 2.0
    assert params.ch_coherence_length() == 1.0
    assert params.phi_eq() == 1.0
    params.zeta_eff = 0.0
    assert params.defect_length() == math.inf
    params.a_ch = -1.0
    assert math.isnan(params.phi_eq())


def test_constructor_defaults_and_keywords():
    p = lodestra.RidiParams(**ridi_args())
    assert (p.noise_amp, p.chi_ms, p.kappa_ch, p.a_ch, p.b_ch, p.m_l) == (0.0, 0.5, 1.0, 1.0,
                                                                          1.0, 0.1)
    positional = lodestra.RidiParams(64, 64, 1.0, 0.01, 1.0, 1.0, 2.0, 1.0, -0.5, 4.5, 0.7, 0.5,
                                     1.0, 5.0, 0.2)
    assert positional.noise_amp == 0.2 and positional.lambda_ == 0.7
    assert repr(p) == repr(lodestra.RidiParams.default_test())


CHECKS = [
    ("nx", 1, "nx must be >= 2"),
    ("ny", 0, "ny must be >= 2"),
    ("dx", 0.0, "dx must be positive"),
    ("dt", -1.0, "dt must be positive"),
    ("k_r", 0.0, "k_r must be positive"),
    ("gamma_r", -2.0, "gamma_r must be positive"),
    ("zeta_eff", -0.1, "zeta_eff must be non-negative"),
    ("eta", 0.0, "eta must be positive"),
    ("c_landau", 0.0, "c_landau must be positive"),
    ("xi_l", 0.0, "xi_l must be positive"),
    ("noise_amp", -1e-9, "noise_amp must be non-negative"),
    ("chi_ms", -0.5, "chi_ms must be non-negative"),
    ("kappa_ch", 0.0, "kappa_ch must be positive"),
    ("a_ch", 0.0, "a_ch must be positive"),
    ("b_ch", -1.0, "b_ch must be positive"),
    ("m_l", 0.0, "m_l must be positive"),
]


@pytest.mark.parametrize("name, value, text", CHECKS)
def test_each_validation_message(name, value, text):
    with pytest.raises(ValueError) as err:
        lodestra.RidiParams(**ridi_args(**{name: value}))
    assert str(err.value) == "invalid parameter: " + text


def test_validation_reports_the_first_failure_only():
    with pytest.raises(ValueError, match="^invalid parameter: nx must be >= 2$"):
        lodestra.RidiParams(**ridi_args(nx=1, dx=0.0))
    with pytest.raises(ValueError, match="^invalid parameter: c_landau must be positive$"):
        lodestra.RidiParams(**ridi_args(c_landau=0.0, m_l=0.0, xi_l=-1.0))


def test_values_that_pass_validation():
    for overrides in [dict(zeta_eff=0.0), dict(noise_amp=0.0), dict(a_landau=3.0),
                      dict(lambda_=-1.0), dict(k_l=-1.0, gamma_l=0.0), dict(dx=math.nan),
                      dict(dt=math.nan, m_l=math.nan), dict(nx=2, ny=2)]:
        lodestra.RidiParams(**ridi_args(**overrides)).validate()


def test_count_arguments_refuse_negatives_before_validation():
    with pytest.raises(OverflowError):
        lodestra.RidiParams(**ridi_args(nx=-1))
    with pytest.raises(TypeError, match="^argument 'dt': "):
        lodestra.RidiParams(**ridi_args(dt="x"))


def test_setters_store_without_validating(params):
    params.nx = 1
    assert params.nx == 1
    with pytest.raises(ValueError, match="^invalid parameter: nx must be >= 2$"):
        params.validate()
    params.nx = 64
    params.dt = -1.0
    with pytest.raises(ValueError, match="^invalid parameter: dt must be positive$"):
        params.validate()
    params.zeta_eff = 4
    assert params.zeta_eff == 4.0 and isinstance(params.zeta_eff, float)
    with pytest.raises(TypeError, match="^argument 'v': "):
        params.dt = "fast"
    with pytest.raises(OverflowError):
        params.ny = -3
    assert params.ny == 64  # unchanged by the failed assignment


@pytest.mark.parametrize("name", FIELDS)
def test_every_field_is_a_property(params, name):
    value = getattr(params, name)
    if name in SETTABLE:
        setattr(params, name, value)
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(params, name)
    else:
        with pytest.raises(AttributeError):
            setattr(params, name, value)
    assert getattr(type(params), name).__doc__ is None


def test_repr_follows_the_values(params):
    params.nx = 7
    params.zeta_eff = 1.23456
    assert repr(params) == "RidiParams(nx=7, ny=64, zeta_eff=1.2346, a_eff=-1.1173, Pi=2.0000)"
    params.zeta_eff = math.nan
    assert repr(params) == "RidiParams(nx=7, ny=64, zeta_eff=NaN, a_eff=NaN, Pi=2.0000)"
