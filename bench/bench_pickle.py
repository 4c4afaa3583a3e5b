"""Pickling and copies of the library's objects. Each figure is a ratio against the
same operation on a NumPy array of the same data, measured in the same run. A field's
state is its flat records behind a short header: dumping, loading and copying each make
two copies (the state's bytes and the pickle stream, or the state's bytes and the
field's own storage) where an array makes one, so about 2 is the figure to expect.
"""

import copy
import pickle

import numpy as np

import lodestra
from bench_python import best, report


def fields(n=64):
    q = lodestra.QField3D.random_perturbation(n, n, n, 1.0, 0.5, 1)
    records = q.q.reshape(-1, 5)
    print(f"{n}^3 QField3D ({records.nbytes / 1e6:.1f} MB of records)")
    for protocol in (2, 5):
        ref_dump = best(lambda: pickle.dumps(records, protocol=protocol), 25)
        report(f"pickle.dumps, protocol {protocol}",
               best(lambda: pickle.dumps(q, protocol=protocol), 25), ref_dump, 3)
        blob, ref_blob = pickle.dumps(q, protocol=protocol), pickle.dumps(records, protocol=protocol)
        report(f"pickle.loads, protocol {protocol}", best(lambda: pickle.loads(blob), 25),
               best(lambda: pickle.loads(ref_blob), 25), 3)
    report("copy.deepcopy", best(lambda: copy.deepcopy(q), 25),
           best(lambda: copy.deepcopy(records), 25), 3)


def lines():
    q = lodestra.QField3D.random_perturbation(24, 24, 24, 1.0, 0.2, 7)
    found = lodestra.DisclinationLine.scan(q)
    arrays = [(line.vertices, line.tangents, line.curvatures, line.torsions) for line in found]
    print(f"{len(found)} disclination lines of a 24^3 random field")
    report("pickle round trip of the lines", best(lambda: pickle.loads(pickle.dumps(found, 5))),
           best(lambda: pickle.loads(pickle.dumps(arrays, 5))), 3)


if __name__ == "__main__":
    fields()
    lines()
