"""Shared drawing helpers of the examples: order parameter, director and defects."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import lodestra  # noqa: E402


def draw_nematic(ax, q, title, stride=None):
    """S as an image, the director as headless segments, +1/2 and -1/2 defects marked."""
    nx, ny = q.nx, q.ny
    s = q.order_param().reshape(nx, ny)
    theta = q.director_angle().reshape(nx, ny)
    image = ax.imshow(s.T, origin="lower", cmap="viridis", extent=(-0.5, nx - 0.5, -0.5, ny - 0.5))
    stride = stride or max(1, nx // 32)
    i, j = np.meshgrid(np.arange(0, nx, stride), np.arange(0, ny, stride), indexing="ij")
    t = theta[::stride, ::stride]
    ax.quiver(i, j, np.cos(t), np.sin(t), headwidth=0, headlength=0, headaxislength=0,
              pivot="middle", color="black", alpha=0.55, scale=1.2 * nx / stride, width=0.003)
    defects = lodestra.scan_defects(q)
    for sign, marker, colour, label in [(1, "o", "#ff5a36", "+1/2"), (-1, "^", "#36c5ff", "-1/2")]:
        points = [(d.plaquette[0] + 0.5, d.plaquette[1] + 0.5) for d in defects
                  if d.charge_sign == sign]
        if points:
            x, y = zip(*points)
            ax.scatter(x, y, marker=marker, s=40, c=colour, edgecolors="black", linewidths=0.6,
                       label=f"{label} ({len(points)})", zorder=3)
    ax.set_title(title)
    ax.set_xlabel("x (i)")
    ax.set_ylabel("y (j)")
    if defects:
        ax.legend(loc="upper right", fontsize=8, framealpha=0.8)
    return image


def print_stats(stats, every=1):
    """A table of the snapshot records."""
    print(f"{'t':>8} {'<S>':>8} {'n_def':>6} {'n+':>4} {'n-':>4} {'rho_d':>11}")
    for s in stats[::every]:
        print(f"{s.time:8.2f} {s.mean_s:8.4f} {s.n_defects:6d} {s.n_plus:4d} {s.n_minus:4d} "
              f"{s.defect_density:11.4e}")


def save(fig, path):
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    print(f"wrote {path}")
