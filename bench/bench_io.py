"""ParaView output: write_vtk of a 128^3 QField3D (S, P, director, the five Q
components) against numpy.save of its Q array, both into the same directory in
the same run. The figure is the ratio of the two, at most 3.
"""

import pathlib
import tempfile
import time

import numpy as np

import lodestra
import lodestra.io


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
    ratio = vtk / save
    verdict = "ok" if ratio <= 3 else "OVER"
    print(f"write_vtk {n}^3 QField3D ({size / 2**20:.0f} MiB) {vtk * 1e3:8.1f} ms  "
          f"numpy.save of its Q array {save * 1e3:8.1f} ms  ratio {ratio:5.2f} (at most 3) {verdict}")


if __name__ == "__main__":
    main()
