"""
Active turbulence: defect density over time
===========================================

With flow, the active stress destabilises the ordered state (the splay instability of
this contractile 2D model) and the nematic settles into active turbulence: defects are
created and annihilated at equal rates and their density fluctuates about a steady
value. This tutorial runs the hydrodynamic model on a small grid, follows the defect
density over time, and measures it on the final field with the periodic scan.

Sizes are small so that the page builds in seconds; for a study use a larger box and
check the resolution and time-step advice on the *Choosing parameters* page.
"""

# %%
# Parameters
# ----------
# ζ = 4 on the 64² test grid, a little noise. ζ also shifts the Landau coefficient
# (a_eff = a − ζ/2); to vary the active stress alone, keep a − ζ/2 fixed.
import numpy as np

import lodestra

p = lodestra.replace(lodestra.RidiParams.default_test(), zeta_eff=4.0, noise_amp=0.02)
print(p)
q0 = lodestra.QField2D.random_perturbation(p.nx, p.ny, p.dx, 0.05, 7)

# %%
# Run and check the flow
# ----------------------
# 3000 Euler steps (t = 30), a record every 50. The explicit step needs
# max|u|·dt/dx well below 1.
q, stats = lodestra.run_ridi_component1_hydro(q0, p, 3000, 50)
u = lodestra.stokes_solve(q, p).to_numpy()
speed = np.hypot(u[:, 0], u[:, 1])
print(f"max|u| = {speed.max():.2f}, max|u| dt/dx = {speed.max() * p.dt / p.dx:.3f}")
print("finite:", np.isfinite(stats[-1].mean_s))

# %%
# Defect density over time
# ------------------------
# The records' ``defect_density`` counts the defects inside the array (not on the
# periodic seam). Each quantity gets its own panel; the density falls by orders of
# magnitude from the random start, so on a log scale:
import lodestra.plot as lplot

fig = lplot.records(stats, ("mean_s", "defect_density"))
fig.axes[1].set_yscale("log")

# %%
# The steady density, seam included
# ---------------------------------
# Average over the second half of the run; on the final field compare with the
# periodic scan, whose charges balance.
from lodestra.defects import scan_periodic

late = [s.defect_density for s in stats if s.time >= stats[-1].time / 2]
found = scan_periodic(q)
plus = sum(d.charge_sign > 0 for d in found)
print(f"records, mean over t >= {stats[-1].time / 2:g}: rho = {np.mean(late):.4e}")
print(f"periodic scan of the final field: {len(found)} defects ({plus} +1/2), "
      f"rho = {len(found) / (q.nx * q.ny * q.dx**2):.4e}")

# %%
# The final field and its flow
# ----------------------------
import matplotlib.pyplot as plt

fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.6), layout="constrained")
lplot.director(q, ax=a)
v = u.reshape(p.nx, p.ny, 2)
image = b.imshow(np.hypot(v[..., 0], v[..., 1]).T, origin="lower", cmap="magma")
b.streamplot(np.arange(p.nx), np.arange(p.ny), v[..., 0].T, v[..., 1].T, color="white",
             density=1.0, linewidth=0.6)
fig.colorbar(image, ax=b, label="|u|")
_ = b.set_title("flow speed and streamlines")
