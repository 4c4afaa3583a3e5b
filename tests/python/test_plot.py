"""lodestra.plot: every picture renders to a PNG of the expected size, defects and lines
land where they are, and wrong input is refused by name."""

import io
import subprocess
import sys

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.image  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

import lodestra  # noqa: E402
import lodestra.plot as lplot  # noqa: E402
from conftest import defect_field  # noqa: E402
from test_lines_3d import wedge_field  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The four record types, each from a short run, with the final fields."""
    p = lodestra.RidiParams.default_test()
    p.nx = p.ny = 16
    q0 = lodestra.QField2D.random_perturbation(16, 16, 1.0, 0.05, 1)
    phi0 = lodestra.ScalarField2D.from_numpy(np.linspace(-0.1, 0.1, 256), 16, 16, 1.0)
    p3 = lodestra.RidiParams3D.default_test()
    p3.nx = p3.ny = p3.nz = 6
    q3 = lodestra.QField3D.random_perturbation(6, 6, 6, 1.0, 0.05, 2)
    phi3 = lodestra.ScalarField3D.uniform(6, 6, 6, 1.0, 0.5)
    out = str(tmp_path_factory.mktemp("run"))
    q, stats = lodestra.run_ridi_component1(q0, p, 20, 5)
    qb, phib, bstats = lodestra.run_ridi_bech(q0, phi0, p, 20, 5)
    _, stats3 = lodestra.run_ridi_3d(q3, p3, 4, 2, out, False)
    q3f, phi3f, bstats3 = lodestra.run_ridi_3d_full(q3, phi3, p3, 4, 2, out, False)
    return dict(stats=stats, bech=bstats, stats3=stats3, bech3=bstats3, q=q, qb=qb, phib=phib,
                q3=q3f, phi3=phi3f)


def png_of(fig):
    """The figure rendered by Agg, read back as an RGBA array."""
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=50)
    buf.seek(0)
    return matplotlib.image.imread(buf, format="png")


PICTURES = {
    "director": lambda r: lplot.director(defect_field(16, 12, [(4.5, 5.5, 1), (11.5, 5.5, -1)])),
    "records_2d": lambda r: lplot.records(r["stats"], ("mean_s", "n_defects")),
    "records_bech": lambda r: lplot.records(r["bech"], "phi_variance"),
    "records_3d": lambda r: lplot.records(r["stats3"], ("mean_s", "biaxiality_p")),
    "records_bech_3d": lambda r: lplot.records(r["bech3"], ("mean_phi",)),
    "lines3d": lambda r: lplot.lines3d(
        lodestra.DisclinationLine.scan(wedge_field(10, 8, 5, [(2, 4, 1), (7, 4, -1)])),
        q=wedge_field(10, 8, 5, [(2, 4, 1), (7, 4, -1)])),
    "lines3d_no_box": lambda r: lplot.lines3d(lodestra.DisclinationLine.scan(r["q3"])),
    "lines3d_curvature": lambda r: lplot.lines3d(lodestra.DisclinationLine.scan(r["q3"]), q=r["q3"],
                                                 color_by="curvature"),
    "bech_2d": lambda r: lplot.bech(r["qb"], r["phib"]),
    "bech_3d": lambda r: lplot.bech(r["q3"], r["phi3"]),
}


@pytest.mark.parametrize("name", PICTURES)
def test_each_picture_renders_to_a_png_of_its_figure_size(runs, name):
    fig = PICTURES[name](runs)
    assert isinstance(fig, matplotlib.figure.Figure)
    image = png_of(fig)
    width, height = fig.get_size_inches() * 50
    assert image.shape == (round(height), round(width), 4)
    # Something was drawn: many distinct colours, not a blank canvas.
    assert len(np.unique(image.reshape(-1, 4), axis=0)) > 50


def test_drawing_on_given_axes_returns_their_figure(runs):
    fig, (a, b) = plt.subplots(1, 2)
    assert lplot.director(runs["q"], ax=a, defects=False) is fig
    assert lplot.records(runs["stats"], ax=b) is fig
    fig3 = plt.figure()
    ax3 = fig3.add_subplot(projection="3d")
    assert lplot.lines3d([], box=(4, 4, 4), ax=ax3) is fig3


def test_defects_are_marked_by_sign_at_their_plaquette_centres():
    fig = lplot.director(defect_field(16, 12, [(4.5, 5.5, 1), (11.5, 5.5, -1)]))
    ax = fig.axes[0]
    marks = {c.get_label(): c.get_offsets().tolist() for c in ax.collections
             if c.get_label().startswith(("+", "−"))}
    assert marks == {"+1/2 (1)": [[4.5, 5.5]], "−1/2 (1)": [[11.5, 5.5]]}
    assert lplot.director(defect_field(16, 12, []), defects=True).axes[0].get_legend() is None


@pytest.mark.parametrize("nz", [3, 5])
def test_lines_are_closed_through_the_periodic_box(nz):
    # A straight wedge loop along z: drawn inside the box, the closing step through the
    # z faces included, its drawn length is the box height.
    q = wedge_field(10, 8, nz, [(2, 4, 1), (7, 4, -1)])
    lines = lodestra.DisclinationLine.scan(q)
    assert [line.is_loop for line in lines] == [True, True]
    box = np.array([10.0, 8.0, nz])
    segments = np.concatenate([lplot._line_segments(line, box)[0] for line in lines])
    assert segments.min() >= 0.0 and np.all(segments.max(axis=(0, 1)) <= box)
    lengths = np.linalg.norm(segments[:, 1] - segments[:, 0], axis=1)
    assert lengths.sum() == pytest.approx(len(lines) * nz)


@pytest.mark.parametrize("call, error, text", [
    (lambda r: lplot.director(r["q3"]), TypeError, "QField2D"),
    (lambda r: lplot.director(lodestra.QField2D.zeros(0, 4, 1.0)), ValueError, "empty"),
    (lambda r: lplot.records([r["q"]]), TypeError, "SnapStats"),
    (lambda r: lplot.records([]), ValueError, "no records"),
    (lambda r: lplot.records(r["stats"], ("mean_phi",)), ValueError, "n_defects"),
    (lambda r: lplot.records(r["stats3"], "time"), ValueError, "no field 'time'"),
    (lambda r: lplot.lines3d(r["q3"]), TypeError, "DisclinationLine"),
    (lambda r: lplot.lines3d([], q=r["q"]), TypeError, "QField3D"),
    (lambda r: lplot.lines3d([], box=(1, 0, 1)), ValueError, "positive"),
    (lambda r: lplot.lines3d([], ax=plt.figure().add_subplot()), TypeError, "3D axes"),
    (lambda r: lplot.bech(r["qb"], r["phi3"]), TypeError, "ScalarField2D"),
    (lambda r: lplot.bech(r["q"], lodestra.ScalarField2D.zeros(16, 8, 1.0)), ValueError,
     "16 x 16 and 16 x 8"),
])
def test_wrong_input_is_refused_by_name(runs, call, error, text):
    with pytest.raises(error, match=text):
        call(runs)


def test_missing_matplotlib_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"lodestra\[plot\]"):
        lplot.bech(defect_field(4, 4, []), lodestra.ScalarField2D.zeros(4, 4, 1.0))


def test_importing_the_module_leaves_matplotlib_unloaded():
    code = "import sys, lodestra.plot; print('matplotlib' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_records_give_each_scale_its_own_axis_labelled_with_units(runs):
    fig = lplot.records(runs["stats"], ("mean_s", "n_plus", "n_minus", "defect_density"))
    assert [a.get_ylabel() for a in fig.axes] == [
        "⟨S⟩", "n(+1/2), n(−1/2) (count)", "defect density ρ_d (1/length²)"]
    # On given axes: the second scale on a twin axis, one legend naming every line.
    fig, ax = plt.subplots()
    lplot.records(runs["stats"], ("mean_s", "n_defects"), ax=ax)
    twin = fig.axes[-1]
    assert len(fig.axes) == 2 and twin.get_ylabel() == "defects (count)"
    assert [t.get_text() for t in twin.get_legend().get_texts()] == ["⟨S⟩", "defects"]
    with pytest.raises(ValueError, match="ax=None"):
        lplot.records(runs["bech"], ("mean_s", "n_defects", "mean_phi"), ax=plt.subplots()[1])


@pytest.mark.parametrize("segments, loop, pieces", [
    ([[0, 1], [1, 2], [2, 3]], False, 1),
    ([[0, 1], [1, 2], [5, 6]], False, 2),
    ([[5, 6], [0, 1], [1, 2], [2, 5]], True, 1),   # the last piece runs on into the first
    ([[0, 1], [1, 2], [2, 0]], True, 1),           # an unbroken loop
    ([], False, 0),
])
def test_pieces_of_a_line_across_the_box(segments, loop, pieces):
    as_3d = [np.array([[a, 0.0, 0.0], [b, 0.0, 0.0]]) for a, b in segments]
    assert lplot._pieces(as_3d, loop) == pieces


def test_lines_have_colours_of_their_own_and_the_title_counts_them():
    q = wedge_field(10, 8, 5, [(2, 4, 1), (7, 4, -1)])
    fig = lplot.lines3d(lodestra.DisclinationLine.scan(q), q=q)
    ax = fig.axes[0]
    colours = [tuple(c.get_color()[0]) for c in ax.collections if c.get_label().startswith(("1:", "2:"))]
    assert len(colours) == 2 and colours[0] != colours[1]
    assert ax.get_title() == "2 disclination lines"
    with pytest.raises(ValueError, match="color_by"):
        lplot.lines3d([], box=(4, 4, 4), color_by="charge")
