// QField3D, ScalarField3D and VelocityField3D: static constructors, observables
// and NumPy interchange.

#include <array>

#include "bindings.hpp"
#include "frame/members.hpp"
#include "frame/pickle.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_fields/fields3d.hpp"

namespace lodestra_py {

template <>
struct State<lodestra_fields::QField3D>
    : GridFieldState<lodestra_fields::QField3D, lodestra_fields::QField3D::kWidth> {};
template <>
struct State<lodestra_fields::ScalarField3D> : GridFieldState<lodestra_fields::ScalarField3D, 1> {};
template <>
struct State<lodestra_fields::VelocityField3D>
    : GridFieldState<lodestra_fields::VelocityField3D, lodestra_fields::VelocityField3D::kWidth> {};

namespace {

using lodestra_core::fmt_fixed;
using lodestra_core::fmt_int;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField3D;
using lodestra_fields::VelocityField3D;
using lodestra_fields::vertex_count;

constexpr const char* kGridArgs[] = {"nx", "ny", "nz", "dx"};
constexpr const char* kFromNumpyArgs[] = {"arr", "nx", "ny", "nz", "dx"};

template <class Field>
Py_ssize_t field_len(PyObject* self) {
  return static_cast<Py_ssize_t>(unbox<Field>(self).len());
}

// The records of a field as a new (nx, ny, nz, Width) array; flat order is C order.
template <class Field>
PyObject* records_to_numpy(PyObject* self) {
  return guard([&] {
    const Field& f = unbox<Field>(self);
    return array_from(f.data.data(), {f.nx, f.ny, f.nz, Field::kWidth});
  });
}

// nx, ny, nz, dx read-only, followed by the field's own array property.
template <class Field>
PyGetSetDef* grid_getset(const char* array_name, getter array_get, const char* array_doc) {
  static PyGetSetDef getset[] = {
      {"nx", get_member<Field, &Field::nx>, nullptr, nullptr, nullptr},
      {"ny", get_member<Field, &Field::ny>, nullptr, nullptr, nullptr},
      {"nz", get_member<Field, &Field::nz>, nullptr, nullptr, nullptr},
      {"dx", get_member<Field, &Field::dx>, nullptr, nullptr, nullptr},
      {array_name, array_get, nullptr, array_doc, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  return getset;
}

std::string grid_text(const char* type, auto nx, auto ny, auto nz, double dx) {
  return std::string(type) + "(nx=" + fmt_int(nx) + ", ny=" + fmt_int(ny) + ", nz=" + fmt_int(nz) +
         ", dx=" + fmt_fixed(dx, 3);
}

// --- QField3D --------------------------------------------------------------

PyObject* q_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("QField3D.zeros", kGridArgs, 4, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const auto nz = a.count(2);
    const double dx = a.real(3);
    return wrap(QField3D::zeros(nx, ny, nz, dx));
  });
}

PyObject* q_uniform(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"nx",  "ny",  "nz",  "dx", "q11",
                                          "q12", "q13", "q22", "q23"};
  return guard([&] {
    Args a("QField3D.uniform", names, 9, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const auto nz = a.count(2);
    const double dx = a.real(3);
    std::array<double, 5> q;
    for (std::size_t c = 0; c < 5; ++c) q[c] = a.real(4 + c);
    return wrap(QField3D::uniform(nx, ny, nz, q, dx));
  });
}

PyObject* q_random_perturbation(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"nx", "ny", "nz", "dx", "amplitude", "seed"};
  return guard([&] {
    Args a("QField3D.random_perturbation", names, 6, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const auto nz = a.count(2);
    const double dx = a.real(3);
    const double amplitude = a.real(4);
    const auto seed = a.count(5);
    return wrap(QField3D::random_perturbation(nx, ny, nz, dx, amplitude, seed));
  });
}

PyObject* q_from_numpy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("QField3D.from_numpy", kFromNumpyArgs, 5, args, kwargs);
    GridArray g = from_numpy_args(a, 2, 3, [](const auto& c, const auto& shape) {
      const auto n = vertex_count(c[0], c[1], c[2]);
      if (shape[0] != n || shape[1] != QField3D::kWidth) {
        raise(PyExc_ValueError, "expected shape (" + fmt_int(n) + ", 5), got (" +
                                    fmt_int(shape[0]) + ", " + fmt_int(shape[1]) + ")");
      }
    });
    return wrap(QField3D{g.counts[0], g.counts[1], g.counts[2], g.dx, std::move(g.values)});
  });
}

PyObject* q_get_q(PyObject* self, void*) { return records_to_numpy<QField3D>(self); }

// A new (nx*ny*nz,) array of one per-vertex observable.
template <std::vector<double> (QField3D::*Values)() const>
PyObject* q_per_vertex(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
  no_args(name, args, kwargs);
  const QField3D& q = unbox<QField3D>(self);
  const std::vector<double> values = (q.*Values)();
  return array_from(values.data(), {q.len()});
}

PyObject* q_scalar_order(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    return q_per_vertex<&QField3D::scalar_order_s>(self, args, kwargs, "QField3D.scalar_order");
  });
}

PyObject* q_biaxiality(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    return q_per_vertex<&QField3D::biaxiality_p>(self, args, kwargs, "QField3D.biaxiality");
  });
}

constexpr char kMeanS[] = "QField3D.mean_s";
constexpr char kMaxNorm[] = "QField3D.max_norm";

PyObject* q_repr(PyObject* self) {
  return guard([&] {
    const QField3D& q = unbox<QField3D>(self);
    return unicode(grid_text("QField3D", q.nx, q.ny, q.nz, q.dx) +
                   ", <S>=" + fmt_fixed(q.mean_s(), 4) + ")");
  });
}

PyMethodDef q_methods[] = {
    {"zeros", as_method(q_zeros), kStaticFlags,
     "zeros(nx, ny, nz, dx)\n--\n\nAll-zero 3D Q-tensor field."},
    {"uniform", as_method(q_uniform), kStaticFlags,
     "uniform(nx, ny, nz, dx, q11, q12, q13, q22, q23)\n--\n\n"
     "Uniform 3D Q-tensor field. Provide the five independent components\n"
     "q11, q12, q13, q22, q23 explicitly; q33 = -(q11+q22) is recovered on demand."},
    {"random_perturbation", as_method(q_random_perturbation), kStaticFlags,
     "random_perturbation(nx, ny, nz, dx, amplitude, seed)\n--\n\n"
     "Small-amplitude random perturbation around zero.\n\n"
     "Each component is drawn uniformly from [-amplitude, amplitude]."},
    {"from_numpy", as_method(q_from_numpy), kStaticFlags,
     "from_numpy(arr, nx, ny, nz, dx)\n--\n\n"
     "Import from a numpy array of shape (nx*ny*nz, 5).\n"
     "The data is copied into the field's own storage."},
    {"scalar_order", as_method(q_scalar_order), kCallFlags,
     "scalar_order($self)\n--\n\n"
     "Scalar order parameter S at each vertex, shape (nx*ny*nz,).\n"
     "Reshape in Python to (nx, ny, nz)."},
    {"biaxiality", as_method(q_biaxiality), kCallFlags,
     "biaxiality($self)\n--\n\n"
     "Biaxiality parameter P = lambda_mid - lambda_min at each vertex, shape (nx*ny*nz,).\n"
     "Reshape in Python to (nx, ny, nz)."},
    {"mean_s", as_method(method0<QField3D, &QField3D::mean_s, kMeanS>), kCallFlags,
     "mean_s($self)\n--\n\nMean scalar order parameter over the whole field."},
    {"max_norm", as_method(method0<QField3D, &QField3D::max_norm, kMaxNorm>), kCallFlags,
     "max_norm($self)\n--\n\nMaximum Frobenius norm over all vertices."},
    reduce_method<QField3D>(),
    {nullptr, nullptr, 0, nullptr},
};

// --- ScalarField3D ---------------------------------------------------------

PyObject* s_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("ScalarField3D.zeros", kGridArgs, 4, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const auto nz = a.count(2);
    const double dx = a.real(3);
    return wrap(ScalarField3D::zeros(nx, ny, nz, dx));
  });
}

PyObject* s_uniform(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"nx", "ny", "nz", "dx", "val"};
  return guard([&] {
    Args a("ScalarField3D.uniform", names, 5, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const auto nz = a.count(2);
    const double dx = a.real(3);
    const double value = a.real(4);
    return wrap(ScalarField3D::uniform(nx, ny, nz, dx, value));
  });
}

PyObject* s_from_numpy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("ScalarField3D.from_numpy", kFromNumpyArgs, 5, args, kwargs);
    GridArray g = from_numpy_args(a, 1, 3, [](const auto& c, const auto& shape) {
      const auto n = vertex_count(c[0], c[1], c[2]);
      if (shape[0] != n) {
        raise(PyExc_ValueError,
              "expected array of length " + fmt_int(n) + ", got " + fmt_int(shape[0]));
      }
    });
    return wrap(ScalarField3D{g.counts[0], g.counts[1], g.counts[2], g.dx, std::move(g.values)});
  });
}

PyObject* s_get_phi(PyObject* self, void*) {
  return guard([&] {
    const ScalarField3D& phi = unbox<ScalarField3D>(self);
    return array_from(phi.data.data(), {phi.len()});
  });
}

constexpr char kMean[] = "ScalarField3D.mean";
constexpr char kMax[] = "ScalarField3D.max";

PyObject* s_repr(PyObject* self) {
  return guard([&] {
    const ScalarField3D& phi = unbox<ScalarField3D>(self);
    return unicode(grid_text("ScalarField3D", phi.nx, phi.ny, phi.nz, phi.dx) +
                   ", mean=" + fmt_fixed(phi.mean(), 4) + ")");
  });
}

PyMethodDef s_methods[] = {
    {"zeros", as_method(s_zeros), kStaticFlags,
     "zeros(nx, ny, nz, dx)\n--\n\nAll-zero 3D scalar field."},
    {"uniform", as_method(s_uniform), kStaticFlags,
     "uniform(nx, ny, nz, dx, val)\n--\n\nUniform 3D scalar field with every vertex set to `val`."},
    {"from_numpy", as_method(s_from_numpy), kStaticFlags,
     "from_numpy(arr, nx, ny, nz, dx)\n--\n\n"
     "Import from a flat 1D numpy array of length nx*ny*nz.\n"
     "The data is copied into the field's own storage."},
    {"mean", as_method(method0<ScalarField3D, &ScalarField3D::mean, kMean>), kCallFlags,
     "mean($self)\n--\n\nMean value over all vertices."},
    {"max", as_method(method0<ScalarField3D, &ScalarField3D::max, kMax>), kCallFlags,
     "max($self)\n--\n\nMaximum value over all vertices."},
    reduce_method<ScalarField3D>(),
    {nullptr, nullptr, 0, nullptr},
};

// --- VelocityField3D -------------------------------------------------------

PyObject* v_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("VelocityField3D.zeros", kGridArgs, 4, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const auto nz = a.count(2);
    const double dx = a.real(3);
    return wrap(VelocityField3D::zeros(nx, ny, nz, dx));
  });
}

// Exactly three reals from any sequence (a str is not one).
std::array<double, 3> to_vector3(PyObject* obj, const char* name) {
  if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    ("'" + type_name(obj) + "' object cannot be converted to 'Sequence'").c_str());
    argument_error(name);
  }
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) argument_error(name);
  if (size != 3) {
    PyErr_SetString(PyExc_TypeError,
                    ("expected a sequence of length 3, got " + std::to_string(size)).c_str());
    argument_error(name);
  }
  std::array<double, 3> out;
  for (Py_ssize_t c = 0; c < 3; ++c) {
    Ref item(PySequence_GetItem(obj, c));
    if (!item.get()) argument_error(name);
    out[std::size_t(c)] = to_real(item.get(), name);
  }
  return out;
}

PyObject* v_uniform(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"nx", "ny", "nz", "dx", "u"};
  return guard([&] {
    Args a("VelocityField3D.uniform", names, 5, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const auto nz = a.count(2);
    const double dx = a.real(3);
    const std::array<double, 3> u = to_vector3(a.raw(4), "u");
    return wrap(VelocityField3D::uniform(nx, ny, nz, u, dx));
  });
}

PyObject* v_get_u(PyObject* self, void*) { return records_to_numpy<VelocityField3D>(self); }

PyObject* v_repr(PyObject* self) {
  return guard([&] {
    const VelocityField3D& v = unbox<VelocityField3D>(self);
    return unicode(grid_text("VelocityField3D", v.nx, v.ny, v.nz, v.dx) + ")");
  });
}

PyMethodDef v_methods[] = {
    {"zeros", as_method(v_zeros), kStaticFlags,
     "zeros(nx, ny, nz, dx)\n--\n\nAll-zero 3D velocity field."},
    {"uniform", as_method(v_uniform), kStaticFlags,
     "uniform(nx, ny, nz, dx, u)\n--\n\n"
     "Uniform 3D velocity field. Provide the three velocity components [ux, uy, uz]."},
    reduce_method<VelocityField3D>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_qfield3d_class() {
  return picklable<QField3D>(make_class_for<QField3D>({
      .qualified_name = "builtins.QField3D",
      .doc = "3D Q-tensor field with numpy interop.\n\n"
             "Internal layout: a flat sequence of (q11, q12, q13, q22, q23) records with linear\n"
             "index k = (i*ny + j)*nz + l. numpy conversions use a (nx*ny*nz, 5) float64 array;\n"
             "the `.q` property returns a (nx, ny, nz, 5) array. Scalar observables have shape\n"
             "(nx*ny*nz,); reshape them in Python to (nx, ny, nz).",
      .methods = q_methods,
      .getset = grid_getset<QField3D>(
          "q", q_get_q,
          "Q-tensor components as a numpy array of shape (nx, ny, nz, 5).\n\n"
          "Access individual components in Python: arr[..., 0] = q11, arr[..., 1] = q12, etc."),
      .repr = q_repr,
      .length = field_len<QField3D>,
  }));
}

PyTypeObject* make_velocity_field3d_class() {
  return picklable<VelocityField3D>(make_class_for<VelocityField3D>({
      .qualified_name = "builtins.VelocityField3D",
      .doc = "3D velocity field with numpy interop.\n\n"
             "Internal layout: a flat sequence of (ux, uy, uz) records with linear index\n"
             "k = (i*ny + j)*nz + l.\n"
             "The `.u` property returns a (nx, ny, nz, 3) array.",
      .methods = v_methods,
      .getset = grid_getset<VelocityField3D>(
          "u", v_get_u,
          "Velocity components as a numpy array of shape (nx, ny, nz, 3).\n\n"
          "Access individual components in Python: arr[..., 0] = ux, arr[..., 1] = uy, "
          "arr[..., 2] = uz."),
      .repr = v_repr,
      .length = field_len<VelocityField3D>,
  }));
}

PyTypeObject* make_scalar_field3d_class() {
  return picklable<ScalarField3D>(make_class_for<ScalarField3D>({
      .qualified_name = "builtins.ScalarField3D",
      .doc =
          "3D scalar field with numpy interop.\n\n"
          "Internal layout: a flat sequence of doubles with linear index k = (i*ny + j)*nz + l.\n"
          "The `.phi` property returns a flat 1D array of length nx*ny*nz.\n"
          "Reshape in Python to (nx, ny, nz) as needed.",
      .methods = s_methods,
      .getset =
          grid_getset<ScalarField3D>("phi", s_get_phi,
                                     "Scalar values as a flat 1D numpy array of length nx*ny*nz.\n"
                                     "Reshape in Python to (nx, ny, nz) as needed."),
      .repr = s_repr,
      .length = field_len<ScalarField3D>,
  }));
}

}  // namespace lodestra_py
