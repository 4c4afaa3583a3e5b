# Types of the compiled core. Every signature here mirrors the text signature the
# module reports at run time; `python -m mypy.stubtest lodestra` compares the two.
from collections.abc import Sequence
from typing import Any, ClassVar, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "RidiParams",
    "QField2D",
    "ScalarField2D",
    "VelocityField2D",
    "SnapStats",
    "BechStats",
    "DefectInfo",
    "run_ridi_component1",
    "run_ridi_component1_hydro",
    "run_ridi_bech",
    "stokes_solve",
    "k0_convolution",
    "scan_defects",
    "ch_step_etd",
    "RidiParams3D",
    "QField3D",
    "VelocityField3D",
    "ScalarField3D",
    "SnapStats3D",
    "BechStats3D",
    "DisclinationLine",
    "DisclinationEvent",
    "run_ridi_3d",
    "run_ridi_3d_full",
]

_Array = NDArray[np.float64]
# Grid counts, step counts and seeds: any integer index from 0 to 2**64 - 1.
_Count = SupportsIndex

class PanicException(BaseException):
    """Raised for a broken internal precondition: fields of different grids given to one
    operator, ``snap_every = 0`` in a 2D runner, an out-of-range index. Derives from
    BaseException (not Exception), so ``except Exception`` does not catch it; catch it by
    name: ``except lodestra.PanicException``.
    """

@final
class RidiParams:
    """The 2D parameter set, read by the three 2D models and the 2D operators.

    Every parameter's meaning, symbol, unit, test-set value and validation rule is in the
    documentation's Parameters page and in ``lodestra.describe(p)``. The constructor takes
    all twenty by position or keyword (the last six have defaults) and validates the set;
    ``default_test()`` gives the 64 x 64 test set without validating. Parameters with a
    setter (nx, ny, dt, zeta_eff, noise_amp, chi_ms, kappa_ch, a_ch, b_ch, m_l) are stored
    unvalidated; ``lodestra.replace(p, name=value)`` changes any parameter through the
    constructor.

    Raises
    ------
    ValueError
        "invalid parameter: ..." naming the first failing rule.
    OverflowError
        For a negative count.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test()
    >>> p
    RidiParams(nx=64, ny=64, zeta_eff=2.0000, a_eff=-1.5000, Pi=2.0000)
    >>> lodestra.replace(p, k_r=2.0).k_r
    2.0
    """
    def __new__(
        cls,
        nx: _Count,
        ny: _Count,
        dx: float,
        dt: float,
        k_r: float,
        gamma_r: float,
        zeta_eff: float,
        eta: float,
        a_landau: float,
        c_landau: float,
        lambda_: float,
        k_l: float,
        gamma_l: float,
        xi_l: float,
        noise_amp: float = 0.0,
        chi_ms: float = 0.5,
        kappa_ch: float = 1.0,
        a_ch: float = 1.0,
        b_ch: float = 1.0,
        m_l: float = 0.1,
    ) -> RidiParams: ...
    @staticmethod
    def default_test() -> RidiParams:
        """The 2D test set: 64 x 64, dx = 1, dt = 0.01, zeta_eff = 2 (active turbulence), not validated."""
    def a_eff(self) -> float:
        """The Landau coefficient the models use, a_eff = a_landau - zeta_eff / 2."""
    def defect_length(self) -> float:
        """The active length sqrt(k_r / zeta_eff) (+inf for zeta_eff = 0)."""
    def pi_number(self) -> float:
        """The number k_r / (k_l * eta * gamma_l); read by no model."""
    def ch_coherence_length(self) -> float:
        """sqrt(kappa_ch / a_ch): the decay length of phi fluctuations (a_ch > 0)."""
    def phi_eq(self) -> float:
        """sqrt(a_ch / b_ch): the minimum of a double well -a phi^2/2 + b phi^4/4, which the
        models (with a_ch > 0, a single well) do not have; not an equilibrium of them.
        """
    def validate(self) -> None:
        """None when the set passes validation.

        Raises
        ------
        ValueError
            "invalid parameter: ..." naming the first failing rule (NaN passes every rule).
        """
    nx: int
    ny: int
    @property
    def dx(self) -> float: ...
    dt: float
    @property
    def k_r(self) -> float: ...
    @property
    def gamma_r(self) -> float: ...
    zeta_eff: float
    @property
    def eta(self) -> float: ...
    @property
    def a_landau(self) -> float: ...
    @property
    def c_landau(self) -> float: ...
    @property
    def lambda_(self) -> float: ...
    noise_amp: float
    @property
    def k_l(self) -> float: ...
    @property
    def gamma_l(self) -> float: ...
    @property
    def xi_l(self) -> float: ...
    chi_ms: float
    kappa_ch: float
    a_ch: float
    b_ch: float
    m_l: float

@final
class QField2D:
    """The 2D order tensor Q = [[q1, q2], [q2, -q1]] on a periodic nx x ny grid of spacing dx.

    Vertex (i, j) is record i*ny + j. NumPy arrays in and out have shape (nx*ny, 2);
    reshape to (nx, ny, 2). The scalar order is S = 2 |q| (not bounded by 1) and the
    director angle theta = atan2(q2, q1) / 2.

    Examples
    --------
    >>> import lodestra
    >>> q = lodestra.QField2D.uniform(4, 4, 1.0, 0.3, 0.4)
    >>> q.to_numpy().shape, float(q.order_param()[0])
    ((16, 2), 1.0)
    """
    @staticmethod
    def zeros(nx: _Count, ny: _Count, dx: float) -> QField2D:
        """A zero field (isotropic, S = 0)."""
    @staticmethod
    def uniform(nx: _Count, ny: _Count, dx: float, q1: float, q2: float) -> QField2D:
        """Every vertex (q1, q2)."""
    @staticmethod
    def random_perturbation(
        nx: _Count, ny: _Count, dx: float, amplitude: float, seed: _Count
    ) -> QField2D:
        """Each component drawn uniformly from [-amplitude, amplitude] by a seeded generator:
        the same arguments give the same field.
        """
    @staticmethod
    def from_numpy(arr: _Array, nx: _Count, ny: _Count, dx: float) -> QField2D:
        """A field from an array of shape (nx*ny, 2) (any strides, either byte order; copied).

        Raises
        ------
        ValueError
            If the shape does not match the grid.
        """
    def to_numpy(self) -> _Array:
        """A new array of shape (nx*ny, 2): (q1, q2) per vertex."""
    def order_param(self) -> _Array:
        """S = 2 sqrt(q1^2 + q2^2) per vertex, shape (nx*ny,)."""
    def director_angle(self) -> _Array:
        """theta = atan2(q2, q1) / 2 per vertex, in [-pi/2, pi/2], shape (nx*ny,)."""
    def mean_order_param(self) -> float:
        """The mean of S over the grid."""
    def max_norm(self) -> float:
        """The largest |q| = sqrt(q1^2 + q2^2) over the grid."""
    def __len__(self) -> int: ...
    @property
    def nx(self) -> int:
        """Vertices along x."""
    @property
    def ny(self) -> int:
        """Vertices along y."""
    @property
    def dx(self) -> float:
        """Grid spacing (all axes)."""

@final
class ScalarField2D:
    """A 2D scalar field, the lipid fraction phi of the BECH model, on a periodic grid.

    NumPy arrays in and out have shape (nx*ny,); reshape to (nx, ny).

    Examples
    --------
    >>> import lodestra
    >>> phi = lodestra.ScalarField2D.uniform(8, 8, 1.0, 0.5)
    >>> phi.mean_value(), phi.variance()
    (0.5, 0.0)
    """
    @staticmethod
    def zeros(nx: _Count, ny: _Count, dx: float) -> ScalarField2D:
        """A zero field."""
    @staticmethod
    def uniform(nx: _Count, ny: _Count, dx: float, val: float) -> ScalarField2D:
        """Every vertex ``val``."""
    @staticmethod
    def from_numpy(arr: _Array, nx: _Count, ny: _Count, dx: float) -> ScalarField2D:
        """A field from an array of shape (nx*ny,) (copied).

        Raises
        ------
        ValueError
            If the shape does not match the grid.
        """
    def to_numpy(self) -> _Array:
        """A new array of shape (nx*ny,)."""
    def mean_value(self) -> float:
        """The mean over the grid (conserved by the Cahn-Hilliard step)."""
    def variance(self) -> float:
        """The variance over the grid."""
    def max_value(self) -> float:
        """The largest value."""
    def min_value(self) -> float:
        """The smallest value."""
    def mean_gradient_sq(self) -> float:
        """The mean of |grad phi|^2 by central differences (units 1/length^2)."""
    def __len__(self) -> int: ...
    @property
    def nx(self) -> int:
        """Vertices along x."""
    @property
    def ny(self) -> int:
        """Vertices along y."""
    @property
    def dx(self) -> float:
        """Grid spacing (all axes)."""

@final
class VelocityField2D:
    """A 2D velocity field (ux, uy), as `stokes_solve` returns it.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test()
    >>> q = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.1, 1)
    >>> lodestra.stokes_solve(q, p).to_numpy().shape
    (4096, 2)
    """
    def to_numpy(self) -> _Array:
        """A new array of shape (nx*ny, 2): (ux, uy) per vertex."""
    @property
    def nx(self) -> int:
        """Vertices along x."""
    @property
    def ny(self) -> int:
        """Vertices along y."""
    @property
    def dx(self) -> float:
        """Grid spacing (all axes)."""

@final
class SnapStats:
    """One record of a dry or hydro 2D run: the state at ``time`` = dt * step.

    ``n_defects``, ``n_plus``, ``n_minus`` and ``defect_density`` (n_defects per unit area)
    come from the scan of the plaquettes inside the array; defects on the periodic seam are
    missed (use `lodestra.defects.scan_periodic` for densities). A NaN field shows no
    defects.
    """
    @property
    def time(self) -> float:
        """Simulation time of the record, dt * step."""
    @property
    def mean_s(self) -> float:
        """Mean scalar order S = 2|q| over the grid."""
    @property
    def n_defects(self) -> int:
        """Number of defects found by the scan (inside the array, not on the seam)."""
    @property
    def n_plus(self) -> int:
        """Number of +1/2 defects."""
    @property
    def n_minus(self) -> int:
        """Number of -1/2 defects."""
    @property
    def defect_density(self) -> float:
        """n_defects per unit area, area = (dx nx)(dx ny) of the parameter set."""

@final
class BechStats:
    """One record of a 2D BECH run: the fields of `SnapStats` and the lipid fraction's mean,
    variance and mean squared gradient.
    """
    @property
    def time(self) -> float:
        """Simulation time of the record, dt * step."""
    @property
    def mean_s(self) -> float:
        """Mean scalar order S = 2|q| over the grid."""
    @property
    def n_defects(self) -> int:
        """Number of defects found by the scan (inside the array, not on the seam)."""
    @property
    def n_plus(self) -> int:
        """Number of +1/2 defects."""
    @property
    def n_minus(self) -> int:
        """Number of -1/2 defects."""
    @property
    def defect_density(self) -> float:
        """n_defects per unit area, area = (dx nx)(dx ny) of the parameter set."""
    @property
    def mean_phi(self) -> float:
        """Mean of phi (conserved)."""
    @property
    def phi_variance(self) -> float:
        """Variance of phi."""
    @property
    def mean_grad_phi_sq(self) -> float:
        """Mean of |grad phi|^2 (1/length^2)."""

@final
class DefectInfo:
    """A +-1/2 defect found by the holonomy scan: its plaquette (i, j) (corners (i, j) to
    (i+1, j+1)), the frame's rotation angle around it and its charge sign (+1 or -1).
    """
    @property
    def plaquette(self) -> tuple[int, int]:
        """(i, j): the plaquette with corners (i, j) to (i + 1, j + 1)."""
    @property
    def angle(self) -> float:
        """Rotation angle of the frame carried around the plaquette (radians)."""
    @property
    def charge_sign(self) -> int:
        """+1 for a +1/2 defect, -1 for a -1/2 defect."""

def run_ridi_component1(
    q_init: QField2D, params: RidiParams, n_steps: _Count, snap_every: _Count
) -> tuple[QField2D, list[SnapStats]]:
    """Run the dry 2D model: dQ/dt = Gamma_r H, RK4 steps of dt.

    Parameters
    ----------
    q_init : QField2D
        The initial field (copied; its grid is the grid stepped).
    params : RidiParams
        Not validated; nx, ny and dx of the set enter only the noise seed and the area of
        the defect density.
    n_steps : int
        Number of steps.
    snap_every : int
        A record at step 0 and every ``snap_every`` steps (n_steps included when a
        multiple).

    Returns
    -------
    tuple of (QField2D, list of SnapStats)
        The field after ``n_steps`` and floor(n_steps / snap_every) + 1 records.

    Raises
    ------
    PanicException
        If ``snap_every`` is 0.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test()
    >>> q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.001, 42)
    >>> q, stats = lodestra.run_ridi_component1(q0, p, 100, 50)
    >>> [s.time for s in stats]
    [0.0, 0.5, 1.0]
    """
def run_ridi_component1_hydro(
    q_init: QField2D, params: RidiParams, n_steps: _Count, snap_every: _Count
) -> tuple[QField2D, list[SnapStats]]:
    """Run the 2D model with Stokes flow: Euler steps of dQ/dt = Gamma_r H + S - u.grad Q,
    with u solved from the active stress +zeta_eff Q every step (contractile for zeta > 0).

    Parameters, records and failures as `run_ridi_component1`.

    Returns
    -------
    tuple of (QField2D, list of SnapStats)

    Raises
    ------
    PanicException
        If ``snap_every`` is 0.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test()
    >>> q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.05, 7)
    >>> q, stats = lodestra.run_ridi_component1_hydro(q0, p, 200, 100)
    >>> len(stats)
    3
    """
def run_ridi_bech(
    q_init: QField2D,
    phi_init: ScalarField2D,
    params: RidiParams,
    n_steps: _Count,
    snap_every: _Count,
) -> tuple[QField2D, ScalarField2D, list[BechStats]]:
    """Run the 2D BECH model: the hydro model for Q, and phi advanced by one Cahn-Hilliard
    ETD1 step per step, coupled to the lipid order (the K0 map of Q) and advected by the
    flow. phi does not act back on Q.

    Parameters
    ----------
    q_init : QField2D
    phi_init : ScalarField2D
        On the grid of ``q_init``.
    params : RidiParams
    n_steps, snap_every : int
        As `run_ridi_component1`.

    Returns
    -------
    tuple of (QField2D, ScalarField2D, list of BechStats)

    Raises
    ------
    PanicException
        If ``snap_every`` is 0 or the fields are on different grids.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test()
    >>> q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.05, 7)
    >>> phi0 = lodestra.ScalarField2D.uniform(p.nx, p.ny, p.dx, 0.0)
    >>> q, phi, stats = lodestra.run_ridi_bech(q0, phi0, p, 10, 5)
    >>> len(stats)
    3
    """
def stokes_solve(q: QField2D, params: RidiParams) -> VelocityField2D:
    """The incompressible Stokes flow driven by the active stress zeta_eff Q of ``q``:
    eta lap^2 psi = curl div(zeta Q), u = (d_y psi, -d_x psi), solved spectrally; zero mean.

    Parameters
    ----------
    q : QField2D
    params : RidiParams
        Only zeta_eff and eta are read.

    Returns
    -------
    VelocityField2D
        On the grid of ``q``; divergence-free.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams.default_test()
    >>> u = lodestra.stokes_solve(lodestra.QField2D.uniform(8, 8, 1.0, 0.3, 0.0), p)
    >>> float(abs(u.to_numpy()).max()) < 1e-12
    True
    """
def k0_convolution(q_rot: QField2D, params: RidiParams) -> QField2D:
    """The lipid order: ``q_rot`` smoothed by the periodic K0(r/xi_l) kernel,
    dx^2/(2 pi xi_l^2) * sum over offsets of K0 Q, with a window of half-width
    min(ceil(6 xi_l/dx), nx/2, ny/2).

    Parameters
    ----------
    q_rot : QField2D
    params : RidiParams
        Only xi_l is read.

    Returns
    -------
    QField2D
    """
def scan_defects(q: QField2D, threshold: float = ...) -> list[DefectInfo]:
    """The +-1/2 defects of ``q`` by holonomy over the (nx-1)(ny-1) plaquettes inside the
    array (the periodic seam is not scanned: see `lodestra.defects.scan_periodic`).

    Parameters
    ----------
    q : QField2D
    threshold : float
        Rotation angle around a plaquette above which it holds a defect (default pi/2).

    Returns
    -------
    list of DefectInfo
        Ordered by i, then j.
    """
def ch_step_etd(
    phi: ScalarField2D, q_lip: QField2D, v: VelocityField2D, params: RidiParams
) -> ScalarField2D:
    """One ETD1 step of the 2D Cahn-Hilliard equation
    dphi/dt = m_l lap(a_ch phi - kappa_ch lap phi + b_ch phi^3 - 2 chi_ms |q_lip|^2) - v.grad phi;
    conserves the mean of phi.

    Parameters
    ----------
    phi : ScalarField2D
    q_lip : QField2D
        The lipid order, on phi's grid.
    v : VelocityField2D
        The flow, on phi's grid.
    params : RidiParams
        dt, m_l, a_ch, kappa_ch, b_ch, chi_ms are read.

    Returns
    -------
    ScalarField2D

    Raises
    ------
    PanicException
        If the fields are on different grids.
    """

@final
class RidiParams3D:
    """The 3D parameter set, read by the two 3D models.

    Every parameter's meaning, symbol, unit, test-set value and validation rule is in the
    documentation's Parameters page and in ``lodestra.describe(p)``. The constructor takes
    all twenty-five by position or keyword (the last four have defaults) and validates the
    set; ``default_test()`` gives the 16^3 test set without validating. Parameters with a
    setter (nx, ny, nz, dt, zeta_eff, noise_amp) are stored unvalidated;
    ``lodestra.replace(p, name=value)`` changes any parameter through the constructor.

    Raises
    ------
    ValueError
        "invalid parameter: ..." naming the first failing rule.
    OverflowError
        For a negative count.

    Examples
    --------
    >>> import lodestra
    >>> p = lodestra.RidiParams3D.default_test()
    >>> p
    RidiParams3D(nx=16, ny=16, nz=16, zeta_eff=2.0000, a_eff=-1.5000, Pi=2.0000)
    >>> lodestra.replace(p, chi_a=0.5, omega_b=0.1).chi_a
    0.5
    """
    def __new__(
        cls,
        nx: _Count,
        ny: _Count,
        nz: _Count,
        dx: float,
        dt: float,
        k_r: float,
        gamma_r: float,
        zeta_eff: float,
        eta: float,
        a_landau: float,
        c_landau: float,
        b_landau: float,
        lambda_: float,
        k_l: float,
        gamma_l: float,
        xi_l: float,
        chi_ms: float,
        kappa_ch: float,
        a_ch: float,
        b_ch: float,
        m_l: float,
        chi_a: float = 0.0,
        b0: float = 1.0,
        omega_b: float = 1.0,
        noise_amp: float = 0.0,
    ) -> RidiParams3D: ...
    @staticmethod
    def default_test() -> RidiParams3D:
        """The 3D test set: 16^3, dx = 1, dt = 0.01, zeta_eff = 2, no field (chi_a = 0), not validated."""
    def a_eff(self) -> float:
        """The Landau coefficient the models use, a_eff = a_landau - zeta_eff / 2."""
    def defect_length(self) -> float:
        """The active length sqrt(k_r / zeta_eff) (+inf for zeta_eff = 0)."""
    def pi_number(self) -> float:
        """The number k_r / (k_l * eta * gamma_l); read by no model."""
    def ch_coherence_length(self) -> float:
        """sqrt(kappa_ch / a_ch): the decay length of phi fluctuations (a_ch > 0)."""
    def phi_eq(self) -> float:
        """sqrt(a_ch / b_ch): the minimum of a double well -a phi^2/2 + b phi^4/4, which the
        models (with a_ch > 0, a single well) do not have; not an equilibrium of them.
        """
    def validate(self) -> None:
        """None when the set passes validation.

        Raises
        ------
        ValueError
            "invalid parameter: ..." naming the first failing rule (NaN passes every rule).
        """
    nx: int
    ny: int
    nz: int
    @property
    def dx(self) -> float: ...
    dt: float
    @property
    def k_r(self) -> float: ...
    @property
    def gamma_r(self) -> float: ...
    zeta_eff: float
    @property
    def eta(self) -> float: ...
    @property
    def a_landau(self) -> float: ...
    @property
    def c_landau(self) -> float: ...
    @property
    def b_landau(self) -> float: ...
    @property
    def lambda_(self) -> float: ...
    @property
    def k_l(self) -> float: ...
    @property
    def gamma_l(self) -> float: ...
    @property
    def xi_l(self) -> float: ...
    @property
    def chi_ms(self) -> float: ...
    @property
    def kappa_ch(self) -> float: ...
    @property
    def a_ch(self) -> float: ...
    @property
    def b_ch(self) -> float: ...
    @property
    def m_l(self) -> float: ...
    @property
    def chi_a(self) -> float: ...
    @property
    def b0(self) -> float: ...
    @property
    def omega_b(self) -> float: ...
    noise_amp: float

@final
class QField3D:
    """The 3D order tensor, five components (q11, q12, q13, q22, q23; q33 = -(q11 + q22))
    per vertex on a periodic nx x ny x nz grid of spacing dx.

    Vertex (i, j, l) is record (i*ny + j)*nz + l. ``from_numpy`` takes (nx*ny*nz, 5); ``q``
    gives (nx, ny, nz, 5). S = 1.5 * largest eigenvalue (the usual S of a uniaxial
    Q = S(nn - I/3)); P = middle minus smallest eigenvalue.

    Examples
    --------
    >>> import lodestra
    >>> q = lodestra.QField3D.uniform(4, 4, 4, 1.0, 2 / 3 * 0.5, 0.0, 0.0, -1 / 3 * 0.5, 0.0)
    >>> round(q.mean_s(), 12)
    0.5
    """
    @staticmethod
    def zeros(nx: _Count, ny: _Count, nz: _Count, dx: float) -> QField3D:
        """A zero field."""
    @staticmethod
    def uniform(
        nx: _Count,
        ny: _Count,
        nz: _Count,
        dx: float,
        q11: float,
        q12: float,
        q13: float,
        q22: float,
        q23: float,
    ) -> QField3D:
        """Every vertex (q11, q12, q13, q22, q23)."""
    @staticmethod
    def random_perturbation(
        nx: _Count, ny: _Count, nz: _Count, dx: float, amplitude: float, seed: _Count
    ) -> QField3D:
        """Each component drawn uniformly from [-amplitude, amplitude) by a seeded generator.

        Raises
        ------
        PanicException
            If amplitude <= 0 on a non-empty grid.
        """
    @staticmethod
    def from_numpy(arr: _Array, nx: _Count, ny: _Count, nz: _Count, dx: float) -> QField3D:
        """A field from an array of shape (nx*ny*nz, 5) (copied).

        Raises
        ------
        ValueError
            If the shape does not match the grid.
        """
    def scalar_order(self) -> _Array:
        """S per vertex, shape (nx*ny*nz,)."""
    def biaxiality(self) -> _Array:
        """P = lambda_mid - lambda_min per vertex, shape (nx*ny*nz,)."""
    def mean_s(self) -> float:
        """The mean of S over the grid."""
    def max_norm(self) -> float:
        """The largest tensor norm over the grid (off-diagonal entries counted once)."""
    def __len__(self) -> int: ...
    @property
    def nx(self) -> int:
        """Vertices along x."""
    @property
    def ny(self) -> int:
        """Vertices along y."""
    @property
    def nz(self) -> int:
        """Vertices along z."""
    @property
    def dx(self) -> float:
        """Grid spacing (all axes)."""
    @property
    def q(self) -> _Array:
        """The components as a new array of shape (nx, ny, nz, 5): q11, q12, q13, q22, q23."""

@final
class VelocityField3D:
    """A 3D velocity field (ux, uy, uz); ``u`` gives (nx, ny, nz, 3). The 3D BECH runner
    writes the flow of every snapshot as ``vel_NNNNNN.npy``.
    """
    @staticmethod
    def zeros(nx: _Count, ny: _Count, nz: _Count, dx: float) -> VelocityField3D:
        """A zero field."""
    @staticmethod
    def uniform(
        nx: _Count, ny: _Count, nz: _Count, dx: float, u: Sequence[float]
    ) -> VelocityField3D:
        """Every vertex the velocity ``u`` = (ux, uy, uz)."""
    def __len__(self) -> int: ...
    @property
    def nx(self) -> int:
        """Vertices along x."""
    @property
    def ny(self) -> int:
        """Vertices along y."""
    @property
    def nz(self) -> int:
        """Vertices along z."""
    @property
    def dx(self) -> float:
        """Grid spacing (all axes)."""
    @property
    def u(self) -> _Array:
        """The velocity as a new array of shape (nx, ny, nz, 3)."""

@final
class ScalarField3D:
    """A 3D scalar field, the lipid fraction phi of the 3D BECH model. ``phi`` gives a flat
    array of length nx*ny*nz.

    Examples
    --------
    >>> import lodestra
    >>> lodestra.ScalarField3D.uniform(4, 4, 4, 1.0, 0.5).mean()
    0.5
    """
    @staticmethod
    def zeros(nx: _Count, ny: _Count, nz: _Count, dx: float) -> ScalarField3D:
        """A zero field."""
    @staticmethod
    def uniform(nx: _Count, ny: _Count, nz: _Count, dx: float, val: float) -> ScalarField3D:
        """Every vertex ``val``."""
    @staticmethod
    def from_numpy(
        arr: _Array, nx: _Count, ny: _Count, nz: _Count, dx: float
    ) -> ScalarField3D:
        """A field from an array of length nx*ny*nz (copied).

        Raises
        ------
        ValueError
            If the size does not match the grid.
        """
    def mean(self) -> float:
        """The mean over the grid (conserved by the Cahn-Hilliard step)."""
    def max(self) -> float:
        """The largest value."""
    def __len__(self) -> int: ...
    @property
    def nx(self) -> int:
        """Vertices along x."""
    @property
    def ny(self) -> int:
        """Vertices along y."""
    @property
    def nz(self) -> int:
        """Vertices along z."""
    @property
    def dx(self) -> float:
        """Grid spacing (all axes)."""
    @property
    def phi(self) -> _Array:
        """The values as a new flat array of length nx*ny*nz."""

@final
class SnapStats3D:
    """One record of a dry 3D run, after step s: ``time`` = dt * (s + 1); the disclination
    fields are 0 (``total_line_length`` -0.0) when the run does not track defects.
    """
    @property
    def time(self) -> float:
        """Simulation time after the step: dt * (s + 1)."""
    @property
    def mean_s(self) -> float:
        """Mean scalar order S = 1.5 lambda_max over the grid."""
    @property
    def biaxiality_p(self) -> float:
        """Mean biaxiality P = lambda_mid - lambda_min."""
    @property
    def n_disclination_lines(self) -> int:
        """Number of disclination lines (0 without tracking)."""
    @property
    def total_line_length(self) -> float:
        """Sum of the lines' vertex counts (-0.0 with no lines)."""
    @property
    def mean_line_curvature(self) -> float:
        """Mean Frenet curvature over all line vertices (0.0 with no lines)."""
    @property
    def n_events(self) -> int:
        """Number of creation, annihilation and reconnection events since the previous snapshot."""

@final
class BechStats3D:
    """One record of a 3D BECH run: the fields of `SnapStats3D` and the mean of phi."""
    @property
    def time(self) -> float:
        """Simulation time after the step: dt * (s + 1)."""
    @property
    def mean_s(self) -> float:
        """Mean scalar order S = 1.5 lambda_max over the grid."""
    @property
    def biaxiality_p(self) -> float:
        """Mean biaxiality P = lambda_mid - lambda_min."""
    @property
    def mean_phi(self) -> float:
        """Mean of phi after the step's lipid update (conserved)."""
    @property
    def n_disclination_lines(self) -> int:
        """Number of disclination lines (0 without tracking)."""
    @property
    def total_line_length(self) -> float:
        """Sum of the lines' vertex counts (-0.0 with no lines)."""
    @property
    def mean_line_curvature(self) -> float:
        """Mean Frenet curvature over all line vertices (0.0 with no lines)."""
    @property
    def n_events(self) -> int:
        """Number of creation, annihilation and reconnection events since the previous snapshot."""

@final
class DisclinationLine:
    """A disclination line of a 3D field: ordered vertices (physical positions) with tangent,
    curvature and torsion, its charge and whether it closes.

    Examples
    --------
    >>> import lodestra
    >>> q = lodestra.QField3D.random_perturbation(12, 12, 12, 1.0, 0.05, 1)
    >>> lines = lodestra.DisclinationLine.scan(q)
    >>> all(len(line) == len(line.vertices) for line in lines)
    True
    """
    @staticmethod
    def scan(q: QField3D) -> list[DisclinationLine]:
        """All disclination lines of ``q``: the plaquettes pierced by a half-integer
        disclination, joined into lines (loops closed across the periodic box).
        """
    def length(self) -> float:
        """Arc length: the sum of the distances between consecutive vertices."""
    def mean_curvature(self) -> float:
        """The mean Frenet curvature over the vertices."""
    def __len__(self) -> int: ...
    @property
    def vertices(self) -> _Array:
        """Ordered vertex positions, shape (n, 3)."""
    @property
    def tangents(self) -> _Array:
        """Unit tangent at each vertex, shape (n, 3)."""
    @property
    def curvatures(self) -> _Array:
        """Frenet curvature at each vertex, shape (n,)."""
    @property
    def torsions(self) -> _Array:
        """Frenet torsion at each vertex, shape (n,)."""
    @property
    def charge(self) -> str:
        """"half_plus", "half_minus" or "anti"."""
    @property
    def is_loop(self) -> bool:
        """True when the line closes on itself."""

@final
class DisclinationEvent:
    """A creation, annihilation or reconnection of disclination lines between two frames."""
    @staticmethod
    def track(
        previous: Sequence[DisclinationLine],
        current: Sequence[DisclinationLine],
        frame: _Count,
        threshold: float,
    ) -> list[DisclinationEvent]:
        """The events between the lines of two frames.

        Parameters
        ----------
        previous, current : list of DisclinationLine
            The lines of the earlier and the later frame.
        frame : int
            The index recorded in each event.
        threshold : float
            Distance below which lines of the two frames are matched (the runners use dx).

        Returns
        -------
        list of DisclinationEvent
        """
    @property
    def frame(self) -> int:
        """Frame index of the event."""
    @property
    def kind(self) -> str:
        """"creation", "annihilation" or "reconnection"."""
    @property
    def position(self) -> _Array:
        """Approximate position, shape (3,)."""
    @property
    def line_indices(self) -> list[int]:
        """The lines concerned: the new line of a creation, the vanished one of an annihilation, the lines on the other side of a reconnection."""

def run_ridi_3d(
    q_init: QField3D,
    params: RidiParams3D,
    n_steps: _Count,
    snap_every: _Count,
    out_dir: str,
    track_defects: bool,
) -> tuple[QField3D, list[SnapStats3D]]:
    """Run the dry 3D model: Euler steps of dQ/dt = Gamma_r H(Q, t), with the rotating field
    at t = dt * s and optional noise (seeded from the step index s).

    Parameters
    ----------
    q_init : QField3D
        The initial field (copied; its grid is the grid stepped).
    params : RidiParams3D
        Not validated; nx, ny, nz only set the shapes in the snapshot files.
    n_steps : int
    snap_every : int
        A snapshot after every ``snap_every``-th step (0: none): a record, a
        ``q_NNNNNN.npy`` file for step s = NNNNNN, and (with tracking) the lines.
    out_dir : str
        An existing directory; ``stats.json`` is written there at the end.
    track_defects : bool
        Find and track disclination lines at snapshots.

    Returns
    -------
    tuple of (QField3D, list of SnapStats3D)

    Examples
    --------
    >>> import lodestra, tempfile
    >>> p = lodestra.RidiParams3D.default_test()
    >>> q0 = lodestra.QField3D.random_perturbation(p.nx, p.ny, p.nz, p.dx, 0.05, 1)
    >>> q, stats = lodestra.run_ridi_3d(q0, p, 10, 5, tempfile.mkdtemp(), False)
    >>> [round(s.time, 2) for s in stats]
    [0.05, 0.1]
    """
def run_ridi_3d_full(
    q_init: QField3D,
    phi_init: ScalarField3D,
    params: RidiParams3D,
    n_steps: _Count,
    snap_every: _Count,
    out_dir: str,
    track_defects: bool,
) -> tuple[QField3D, ScalarField3D, list[BechStats3D]]:
    """Run the 3D BECH model: Stokes flow from the active force -zeta_eff div Q (extensile
    for zeta > 0), Euler steps of Q with co-rotation and advection, then one Cahn-Hilliard
    ETD1 step of phi (not advected) per step.

    Parameters
    ----------
    q_init : QField3D
    phi_init : ScalarField3D
        On the grid of ``q_init``.
    params : RidiParams3D
    n_steps, snap_every, out_dir, track_defects
        As `run_ridi_3d`; snapshots also write ``phi_`` and ``vel_NNNNNN.npy``.

    Returns
    -------
    tuple of (QField3D, ScalarField3D, list of BechStats3D)

    Examples
    --------
    >>> import lodestra, tempfile
    >>> p = lodestra.RidiParams3D.default_test()
    >>> q0 = lodestra.QField3D.random_perturbation(p.nx, p.ny, p.nz, p.dx, 0.05, 1)
    >>> phi0 = lodestra.ScalarField3D.uniform(p.nx, p.ny, p.nz, p.dx, 0.5)
    >>> q, phi, stats = lodestra.run_ridi_3d_full(q0, phi0, p, 4, 2, tempfile.mkdtemp(), True)
    >>> len(stats)
    2
    """

# Private: the engine of lodestra.Simulation and pickle's reconstructor.
@final
class _Run:
    def advance(
        self, n_steps: _Count, snap_every: _Count, poll: Any
    ) -> tuple[int, int, str, str, float]: ...
    def fields(self) -> tuple[Any, Any, Any]: ...
    def records(self, start: _Count = ...) -> list[Any]: ...
    def counts(self) -> tuple[int, int]: ...
    def write_fields(self, fd: _Count) -> None: ...
    def state(self) -> tuple[int, bool, Any, bytes, Any, Any, float]: ...

def _make_run(
    model: str,
    q: Any,
    phi: Any,
    params: Any,
    seed: _Count,
    out_dir: str | None,
    track_defects: bool,
    friction: float,
    flow_alignment: float,
    backflow: _Count,
    velocity: Any = ...,
    step: _Count = ...,
    recorded: bool = ...,
    generator: Any = ...,
    records: bytes = ...,
    previous_lines: Any = ...,
    first_non_finite: Any = ...,
    max_courant: float = ...,
    fields_at: Any = ...,
) -> _Run: ...
def _restore(name: str, state: bytes) -> Any: ...

# Private: the engine's thread count (re-exported as lodestra.set_num_threads and
# lodestra.get_num_threads), the work below which a loop stays on one thread, and the VTK
# point arrays of a 3D field (Q, S, P, director) that lodestra.io writes.
def _set_num_threads(n: _Count) -> None: ...
def _get_num_threads() -> int: ...
def _set_min_parallel_work(items: _Count) -> int: ...
def _vtk_point_arrays(q: QField3D) -> tuple[_Array, _Array, _Array, _Array]: ...
