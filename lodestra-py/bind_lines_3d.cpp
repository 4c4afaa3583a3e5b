// DisclinationLine and DisclinationEvent: read-only views of the 3D defect
// pipeline, with the scan and the tracker reachable as static methods.

#include <span>
#include <vector>

#include "bindings.hpp"
#include "frame/members.hpp"
#include "frame/pickle.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_fields/fields3d.hpp"
#include "tarnel_geo/events.hpp"
#include "tarnel_geo/lines.hpp"
#include "tarnel_geo/segments.hpp"

namespace lodestra_py {

// The number of vertices n >= 1, shared by the four sequences of a line; the vertices,
// tangents, curvatures and torsions in declaration order; then the loop flag and the
// charge as one byte each.
template <>
struct State<tarnel_geo::DisclinationLine> {
  using Points = std::vector<std::array<double, 3>>;

  static void write(StateWriter& w, const tarnel_geo::DisclinationLine& line) {
    const std::uint64_t n = line.vertices.size();
    lodestra_core::assert_eq(line.tangents.size(), n);
    lodestra_core::assert_eq(line.curvatures.size(), n);
    lodestra_core::assert_eq(line.torsions.size(), n);
    w.count(n);
    for (const Points* points : {&line.vertices, &line.tangents}) {
      for (const auto& p : *points) w.reals(p.data(), 3);
    }
    w.reals(line.curvatures.data(), n);
    w.reals(line.torsions.data(), n);
    w.byte(line.is_loop ? 1 : 0);
    w.byte(static_cast<std::uint8_t>(line.charge));
  }
  static tarnel_geo::DisclinationLine read(StateReader& r) {
    const std::uint64_t n = r.length(8 * sizeof(double));
    if (n == 0) r.fail("a line without vertices");
    tarnel_geo::DisclinationLine line;
    for (Points* points : {&line.vertices, &line.tangents}) {
      points->resize(n);
      for (auto& p : *points) p = {r.real(), r.real(), r.real()};
    }
    line.curvatures = r.reals(n);
    line.torsions = r.reals(n);
    line.is_loop = r.byte_below(2, "loop flag") == 1;
    line.charge = static_cast<tarnel_geo::DisclinationCharge>(r.byte_below(3, "charge"));
    return line;
  }
};

// The line indices (their count, then each), the frame, the position and the kind.
template <>
struct State<tarnel_geo::DisclinationEvent> {
  static void write(StateWriter& w, const tarnel_geo::DisclinationEvent& e) {
    w.count(e.line_indices.size());
    for (const std::uint64_t index : e.line_indices) w.count(index);
    w.count(e.frame);
    w.reals(e.position.data(), 3);
    w.byte(static_cast<std::uint8_t>(e.kind));
  }
  static tarnel_geo::DisclinationEvent read(StateReader& r) {
    tarnel_geo::DisclinationEvent e{};
    e.line_indices.resize(r.length(sizeof(std::uint64_t)));
    for (auto& index : e.line_indices) index = r.count();
    e.frame = r.count();
    e.position = {r.real(), r.real(), r.real()};
    e.kind = static_cast<tarnel_geo::DisclinationEventKind>(r.byte_below(3, "event kind"));
    return e;
  }
};

namespace {

using lodestra_core::fmt_fixed;
using lodestra_core::fmt_int;
using lodestra_fields::QField3D;
using tarnel_geo::DisclinationEvent;
using tarnel_geo::DisclinationLine;

// Sequences of 3-vectors as a new (n, 3) array, and of reals as a new (n,) array.
PyObject* points_array(const std::vector<std::array<double, 3>>& points) {
  PyObject* out = new_array({points.size(), 3});
  double* data = array_data(out);
  for (const auto& p : points) data = std::copy(p.begin(), p.end(), data);
  return out;
}

// --- DisclinationLine ------------------------------------------------------

const DisclinationLine& line_of(PyObject* self) { return unbox<DisclinationLine>(self); }

PyObject* line_vertices(PyObject* self, void*) {
  return guard([&] { return points_array(line_of(self).vertices); });
}
PyObject* line_tangents(PyObject* self, void*) {
  return guard([&] { return points_array(line_of(self).tangents); });
}
PyObject* line_curvatures(PyObject* self, void*) {
  return guard([&] {
    const auto& c = line_of(self).curvatures;
    return array_from(c.data(), {c.size()});
  });
}
PyObject* line_torsions(PyObject* self, void*) {
  return guard([&] {
    const auto& t = line_of(self).torsions;
    return array_from(t.data(), {t.size()});
  });
}
PyObject* line_charge(PyObject* self, void*) {
  return guard([&] { return unicode(std::string(tarnel_geo::charge_name(line_of(self).charge))); });
}
PyObject* line_is_loop(PyObject* self, void*) {
  return guard([&] { return check(PyBool_FromLong(line_of(self).is_loop)); });
}

PyGetSetDef line_getset[] = {
    {"vertices", line_vertices, nullptr, "Ordered vertex positions, shape (n, 3).", nullptr},
    {"tangents", line_tangents, nullptr, "Unit tangent vectors at each vertex, shape (n, 3).",
     nullptr},
    {"curvatures", line_curvatures, nullptr, "Frenet curvature |dT/ds| at each vertex, shape (n,).",
     nullptr},
    {"torsions", line_torsions, nullptr, "Frenet-Serret torsion at each vertex, shape (n,).",
     nullptr},
    {"charge", line_charge, nullptr,
     "Topological charge as a string: \"half_plus\", \"half_minus\", or \"anti\".", nullptr},
    {"is_loop", line_is_loop, nullptr, "True if the line forms a closed loop.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* line_scan(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"q"};
  return guard([&] {
    Args a("DisclinationLine.scan", names, 1, args, kwargs);
    const QField3D& q = a.object<QField3D>(0);
    const auto segments = tarnel_geo::disclination::segments::scan_disclination_lines_3d(q);
    return list_of(tarnel_geo::disclination::lines::connect_disclination_lines(segments, q.nx, q.ny,
                                                                               q.nz, q.dx));
  });
}

constexpr char kLength[] = "DisclinationLine.length";
constexpr char kMeanCurvature[] = "DisclinationLine.mean_curvature";

PyMethodDef line_methods[] = {
    {"scan", as_method(line_scan), kStaticFlags,
     "scan(q)\n--\n\n"
     "Disclination lines of a 3D Q-tensor field: the segment scan and the line\n"
     "assembly on the field's own grid. Returns a list of DisclinationLine."},
    {"length", as_method(method0<DisclinationLine, &DisclinationLine::length, kLength>), kCallFlags,
     "length($self)\n--\n\nTotal arc length: sum of Euclidean distances between consecutive "
     "vertices."},
    {"mean_curvature",
     as_method(method0<DisclinationLine, &DisclinationLine::mean_curvature, kMeanCurvature>),
     kCallFlags, "mean_curvature($self)\n--\n\nMean Frenet curvature over all vertices."},
    reduce_method<DisclinationLine>(),
    {nullptr, nullptr, 0, nullptr},
};

Py_ssize_t line_len(PyObject* self) {
  return static_cast<Py_ssize_t>(line_of(self).vertices.size());
}

PyObject* line_repr(PyObject* self) {
  return guard([&] {
    const DisclinationLine& line = line_of(self);
    return unicode("DisclinationLine(n_vertices=" + fmt_int(std::uint64_t{line.vertices.size()}) +
                   ", charge=" + std::string(tarnel_geo::charge_name(line.charge)) +
                   ", is_loop=" + (line.is_loop ? "true" : "false") +
                   ", length=" + fmt_fixed(line.length(), 4) + ")");
  });
}

// --- DisclinationEvent -----------------------------------------------------

const DisclinationEvent& event_of(PyObject* self) { return unbox<DisclinationEvent>(self); }

PyObject* event_frame(PyObject* self, void*) {
  return guard([&] { return to_py(std::uint64_t{event_of(self).frame}); });
}
PyObject* event_kind(PyObject* self, void*) {
  return guard(
      [&] { return unicode(std::string(tarnel_geo::event_kind_name(event_of(self).kind))); });
}
PyObject* event_position(PyObject* self, void*) {
  return guard([&] { return array_from(event_of(self).position.data(), {3}); });
}
PyObject* event_line_indices(PyObject* self, void*) {
  return guard([&] {
    const auto& indices = event_of(self).line_indices;
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(indices.size()))));
    for (std::size_t i = 0; i < indices.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_py(std::uint64_t{indices[i]}));
    }
    return list.release();
  });
}

PyGetSetDef event_getset[] = {
    {"frame", event_frame, nullptr, "Frame index at which the event is recorded.", nullptr},
    {"kind", event_kind, nullptr,
     "Event type as a string: \"creation\", \"annihilation\", or \"reconnection\".", nullptr},
    {"position", event_position, nullptr, "Approximate position of the event, shape (3,).",
     nullptr},
    {"line_indices", event_line_indices, nullptr,
     "Indices of the lines the event concerns, as a list of int: the new line of a\n"
     "creation, the vanished line of an annihilation, the several lines on the other\n"
     "side of a reconnection.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A list (or tuple) of DisclinationLine objects, copied.
std::vector<DisclinationLine> lines_argument(PyObject* obj, const char* name) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    ("'" + type_name(obj) + "' object cannot be converted to 'list'").c_str());
    argument_error(name);
  }
  Ref items(check(PySequence_Fast(obj, "expected a list")));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::vector<DisclinationLine> lines;
  lines.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    lines.push_back(to_object<DisclinationLine>(PySequence_Fast_GET_ITEM(items.get(), i), name));
  }
  return lines;
}

PyObject* event_track(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"previous", "current", "frame", "threshold"};
  return guard([&] {
    Args a("DisclinationEvent.track", names, 4, args, kwargs);
    const auto previous = lines_argument(a.raw(0), names[0]);
    const auto current = lines_argument(a.raw(1), names[1]);
    const auto frame = a.count(2);
    const double threshold = a.real(3);
    return list_of(tarnel_geo::disclination::events::track_disclination_events(previous, current,
                                                                               frame, threshold));
  });
}

PyMethodDef event_methods[] = {
    {"track", as_method(event_track), kStaticFlags,
     "track(previous, current, frame, threshold)\n--\n\n"
     "Topological events between the disclination lines of two consecutive frames:\n"
     "creations, annihilations and reconnections, lines matched by the distance of\n"
     "their centroids (strictly below `threshold`). Returns a list of DisclinationEvent."},
    reduce_method<DisclinationEvent>(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* event_repr(PyObject* self) {
  return guard([&] {
    const DisclinationEvent& e = event_of(self);
    return unicode("DisclinationEvent(frame=" + fmt_int(std::uint64_t{e.frame}) +
                   ", kind=" + std::string(tarnel_geo::event_kind_name(e.kind)) + ", position=[" +
                   fmt_fixed(e.position[0], 3) + ", " + fmt_fixed(e.position[1], 3) + ", " +
                   fmt_fixed(e.position[2], 3) + "])");
  });
}

}  // namespace

PyTypeObject* make_disclination_line_class() {
  return picklable<DisclinationLine>(make_class_for<DisclinationLine>({
      .qualified_name = "builtins.DisclinationLine",
      .doc = "A reconstructed disclination line: ordered vertices with Frenet-Serret geometry.\n\n"
             "Wraps `tarnel_geo::DisclinationLine`. Instances are produced by the runner\n"
             "(Task 17) and are read-only from Python.",
      .methods = line_methods,
      .getset = line_getset,
      .repr = line_repr,
      .length = line_len,
  }));
}

PyTypeObject* make_disclination_event_class() {
  return picklable<DisclinationEvent>(make_class_for<DisclinationEvent>({
      .qualified_name = "builtins.DisclinationEvent",
      .doc = "A detected topological event between two consecutive simulation frames.\n\n"
             "Wraps `tarnel_geo::DisclinationEvent`. Instances are produced by the runner\n"
             "and are read-only from Python.",
      .methods = event_methods,
      .getset = event_getset,
      .repr = event_repr,
  }));
}

}  // namespace lodestra_py
