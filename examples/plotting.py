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


def draw_lines_3d(ax, q, lines, title, layer=None):
    """A slice of S at height z = layer under the disclination lines, coloured by curvature."""
    nx, ny, nz = q.nx, q.ny, q.nz
    layer = nz // 2 if layer is None else layer
    s = q.scalar_order().reshape(nx, ny, nz)[:, :, layer]
    x, y = np.meshgrid(np.arange(nx) * q.dx, np.arange(ny) * q.dx, indexing="ij")
    ax.plot_surface(x, y, np.full_like(x, layer * q.dx), facecolors=plt.cm.viridis(s / s.max()),
                    shade=False, alpha=0.55, rstride=1, cstride=1)
    top = max((l.curvatures.max() for l in lines if len(l)), default=1.0) or 1.0
    for line in lines:
        v = line.vertices
        if line.is_loop:
            v = np.vstack([v, v[:1]])
        colour = plt.cm.plasma(min(line.mean_curvature() / top, 1.0))
        ax.plot(v[:, 0], v[:, 1], v[:, 2], color=colour, lw=2)
    ax.set_xlim(0, nx * q.dx)
    ax.set_ylim(0, ny * q.dx)
    ax.set_zlim(0, nz * q.dx)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_zlabel("z")
    ax.set_title(title)


def print_stats_3d(stats, every=1):
    """A table of the 3D snapshot records."""
    print(f"{'t':>8} {'<S>':>8} {'<P>':>8} {'lines':>6} {'length':>8} {'<kappa>':>8} {'events':>6}")
    for s in stats[::every]:
        print(f"{s.time:8.2f} {s.mean_s:8.4f} {s.biaxiality_p:8.4f} {s.n_disclination_lines:6d} "
              f"{s.total_line_length:8.1f} {s.mean_line_curvature:8.4f} {s.n_events:6d}")


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
