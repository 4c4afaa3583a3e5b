"""ParaView output: write_vtk of a 128^3 QField3D (S, P, director, the five Q
components) against numpy.save of its Q array, both into the same directory in
the same run. The figure is the ratio of the two, at most 3. Two more lines
split it: the VTK writer alone on the Q array (the floor of any VTK output),
and the eigen-decomposition that S, P and the director need.
"""

import pathlib
import tempfile
import time

import numpy as np

import lodestra
import lodestra.io
from lodestra import _vtk


def best(fn, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main(n=128):
    q = lodestra.QField3D.random_perturbation(n, n, n, 1.0, 0.3, 7)
    arr = q.q
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp)
        save = best(lambda: np.save(out / "q.npy", arr))
        vtk = best(lambda: lodestra.io.write_vtk(out / "q.vti", q))
        size = (out / "q.vti").stat().st_size
        comps = _vtk._reversed_axes(arr, 5)
        image = _vtk._image((n, n, n), 1.0, [_vtk._vtk_array("Q", comps)], "Q", None)
        writer_only = best(lambda: _vtk._write(_vtk.vtkXMLImageDataWriter(), image, out / "only.vti"))
        rows = np.ascontiguousarray(comps.T)
        eigen = best(lambda: _vtk._order_and_director(q, rows))
    ratio = vtk / save
    verdict = "ok" if ratio <= 3 else "OVER"
    print(f"write_vtk {n}^3 QField3D ({size / 2**20:.0f} MiB) {vtk * 1e3:8.1f} ms  "
          f"numpy.save of its Q array {save * 1e3:8.1f} ms  ratio {ratio:5.2f} (at most 3) {verdict}")
    print(f"  of which: VTK writer on the Q array alone {writer_only * 1e3:8.1f} ms "
          f"(ratio {writer_only / save:5.2f}), S/P/director {eigen * 1e3:8.1f} ms "
          f"(ratio {eigen / save:5.2f})")


if __name__ == "__main__":
    main()
