// QField2D, ScalarField2D and VelocityField2D: static constructors, observables
// and NumPy interchange.

#include <cmath>

#include "bindings.hpp"
#include "frame/members.hpp"
#include "frame/pickle.hpp"
#include "lodestra_core/format.hpp"
#include "lodestra_core/sizes.hpp"
#include "lodestra_fields/fields2d.hpp"

namespace lodestra_py {

template <>
struct State<lodestra_fields::QField2D> : GridFieldState<lodestra_fields::QField2D, 2> {};
template <>
struct State<lodestra_fields::ScalarField2D> : GridFieldState<lodestra_fields::ScalarField2D, 1> {};
template <>
struct State<lodestra_fields::VelocityField2D>
    : GridFieldState<lodestra_fields::VelocityField2D, 2> {};

namespace {

using lodestra_core::checked_mul;
using lodestra_core::fmt_fixed;
using lodestra_core::fmt_int;
using lodestra_core::fmt_sci;
using lodestra_fields::QField2D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::VelocityField2D;

constexpr const char* kGridArgs[] = {"nx", "ny", "dx"};
constexpr const char* kFromNumpyArgs[] = {"arr", "nx", "ny", "dx"};

template <class Field>
Py_ssize_t field_len(PyObject* self) {
  return static_cast<Py_ssize_t>(unbox<Field>(self).len());
}

template <class Field>
PyGetSetDef* grid_getset() {
  static PyGetSetDef getset[] = {
      {"nx", get_member<Field, &Field::nx>, nullptr, nullptr, nullptr},
      {"ny", get_member<Field, &Field::ny>, nullptr, nullptr, nullptr},
      {"dx", get_member<Field, &Field::dx>, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  return getset;
}

// Records of two components as a new (nx*ny, 2) array.
template <class Field>
PyObject* pairs_to_numpy(const Field& f) {
  return array_from(f.data.data(), {f.len(), 2});
}

// --- QField2D --------------------------------------------------------------

PyObject* q_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("QField2D.zeros", kGridArgs, 3, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const double dx = a.real(2);
    return wrap(QField2D::zeros(nx, ny, dx));
  });
}

PyObject* q_uniform(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"nx", "ny", "dx", "q1", "q2"};
  return guard([&] {
    Args a("QField2D.uniform", names, 5, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const double dx = a.real(2);
    const double q1 = a.real(3);
    const double q2 = a.real(4);
    return wrap(QField2D::uniform(nx, ny, {q1, q2}, dx));
  });
}

PyObject* q_random_perturbation(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"nx", "ny", "dx", "amplitude", "seed"};
  return guard([&] {
    Args a("QField2D.random_perturbation", names, 5, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const double dx = a.real(2);
    const double amplitude = a.real(3);
    const auto seed = a.count(4);
    return wrap(QField2D::random_perturbation(nx, ny, dx, amplitude, seed));
  });
}

PyObject* q_from_numpy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("QField2D.from_numpy", kFromNumpyArgs, 4, args, kwargs);
    GridArray g = from_numpy_args(a, 2, 2, [](const auto& c, const auto& shape) {
      const auto n = checked_mul(c[0], c[1]);
      if (shape[0] != n || shape[1] != 2) {
        raise(PyExc_ValueError, "expected shape (" + fmt_int(n) + ", 2), got (" +
                                    fmt_int(shape[0]) + ", " + fmt_int(shape[1]) + ")");
      }
    });
    return wrap(QField2D{g.counts[0], g.counts[1], g.dx, std::move(g.values)});
  });
}

PyObject* q_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("QField2D.to_numpy", args, kwargs);
    return pairs_to_numpy(unbox<QField2D>(self));
  });
}

// A new (nx*ny,) array of one per-vertex value of Q.
template <void (QField2D::*Into)(double*) const>
PyObject* q_per_vertex(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
  no_args(name, args, kwargs);
  const QField2D& q = unbox<QField2D>(self);
  PyObject* out = new_array({q.len()});
  (q.*Into)(array_data(out));
  return out;
}

PyObject* q_order_param(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    return q_per_vertex<&QField2D::order_param_into>(self, args, kwargs, "QField2D.order_param");
  });
}

PyObject* q_director_angle(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    return q_per_vertex<&QField2D::director_angle_into>(self, args, kwargs,
                                                        "QField2D.director_angle");
  });
}

constexpr char kMeanOrderParam[] = "QField2D.mean_order_param";
constexpr char kMaxNorm[] = "QField2D.max_norm";

PyObject* q_repr(PyObject* self) {
  return guard([&] {
    const QField2D& q = unbox<QField2D>(self);
    return unicode("QField2D(nx=" + fmt_int(q.nx) + ", ny=" + fmt_int(q.ny) + ", dx=" +
                   fmt_fixed(q.dx, 3) + ", <S>=" + fmt_fixed(q.mean_order_param(), 4) + ")");
  });
}

PyMethodDef q_methods[] = {
    {"zeros", as_method(q_zeros), kStaticFlags, "zeros(nx, ny, dx)\n--\n\n"},
    {"uniform", as_method(q_uniform), kStaticFlags, "uniform(nx, ny, dx, q1, q2)\n--\n\n"},
    {"random_perturbation", as_method(q_random_perturbation), kStaticFlags,
     "random_perturbation(nx, ny, dx, amplitude, seed)\n--\n\n"},
    {"from_numpy", as_method(q_from_numpy), kStaticFlags,
     "from_numpy(arr, nx, ny, dx)\n--\n\n"
     "Import from a numpy array of shape (nx*ny, 2) or (nx*ny*2,).\n"
     "The data is copied into the field's own storage."},
    {"to_numpy", as_method(q_to_numpy), kCallFlags,
     "to_numpy($self)\n--\n\n"
     "Export as numpy array of shape (nx*ny, 2). Reshape in Python:\n"
     "  q_arr = q_field.to_numpy().reshape(nx, ny, 2)"},
    {"order_param", as_method(q_order_param), kCallFlags,
     "order_param($self)\n--\n\n"
     "Scalar order parameter S = 2*sqrt(q1^2 + q2^2), shape (nx*ny,).\n"
     "Reshape in Python: S = q_field.order_param().reshape(nx, ny)"},
    {"director_angle", as_method(q_director_angle), kCallFlags,
     "director_angle($self)\n--\n\n"
     "Director angle theta = atan2(q2, q1)/2 in [-pi/2, pi/2], shape (nx*ny,)."},
    {"mean_order_param", as_method(method0<QField2D, &QField2D::mean_order_param, kMeanOrderParam>),
     kCallFlags, "mean_order_param($self)\n--\n\n"},
    {"max_norm", as_method(method0<QField2D, &QField2D::max_norm, kMaxNorm>), kCallFlags,
     "max_norm($self)\n--\n\n"},
    reduce_method<QField2D>(),
    {nullptr, nullptr, 0, nullptr},
};

// --- ScalarField2D ---------------------------------------------------------

PyObject* s_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("ScalarField2D.zeros", kGridArgs, 3, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const double dx = a.real(2);
    return wrap(ScalarField2D::zeros(nx, ny, dx));
  });
}

PyObject* s_uniform(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"nx", "ny", "dx", "val"};
  return guard([&] {
    Args a("ScalarField2D.uniform", names, 4, args, kwargs);
    const auto nx = a.count(0);
    const auto ny = a.count(1);
    const double dx = a.real(2);
    const double value = a.real(3);
    return wrap(ScalarField2D::uniform(nx, ny, dx, value));
  });
}

PyObject* s_from_numpy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("ScalarField2D.from_numpy", kFromNumpyArgs, 4, args, kwargs);
    GridArray g = from_numpy_args(a, 1, 2, [](const auto& c, const auto& shape) {
      const auto n = checked_mul(c[0], c[1]);
      if (shape[0] != n) {
        raise(PyExc_ValueError, "expected length " + fmt_int(n) + ", got " + fmt_int(shape[0]));
      }
    });
    return wrap(ScalarField2D{g.counts[0], g.counts[1], g.dx, std::move(g.values)});
  });
}

PyObject* s_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("ScalarField2D.to_numpy", args, kwargs);
    const ScalarField2D& phi = unbox<ScalarField2D>(self);
    return array_from(phi.data.data(), {phi.len()});
  });
}

PyObject* s_repr(PyObject* self) {
  return guard([&] {
    const ScalarField2D& phi = unbox<ScalarField2D>(self);
    return unicode("ScalarField2D(nx=" + fmt_int(phi.nx) + ", ny=" + fmt_int(phi.ny) +
                   ", dx=" + fmt_fixed(phi.dx, 3) + ", <φ>=" + fmt_fixed(phi.mean_value(), 4) +
                   ", Var[φ]=" + fmt_sci(phi.variance(), 4) + ")");
  });
}

constexpr char kMeanValue[] = "ScalarField2D.mean_value";
constexpr char kVariance[] = "ScalarField2D.variance";
constexpr char kMaxValue[] = "ScalarField2D.max_value";
constexpr char kMinValue[] = "ScalarField2D.min_value";
constexpr char kMeanGradientSq[] = "ScalarField2D.mean_gradient_sq";

PyMethodDef s_methods[] = {
    {"zeros", as_method(s_zeros), kStaticFlags, "zeros(nx, ny, dx)\n--\n\n"},
    {"uniform", as_method(s_uniform), kStaticFlags, "uniform(nx, ny, dx, val)\n--\n\n"},
    {"from_numpy", as_method(s_from_numpy), kStaticFlags,
     "from_numpy(arr, nx, ny, dx)\n--\n\nImport from a 1D numpy array of length nx*ny."},
    {"to_numpy", as_method(s_to_numpy), kCallFlags,
     "to_numpy($self)\n--\n\n"
     "Export as 1D numpy array of length nx*ny. Reshape in Python to (nx, ny)."},
    {"mean_value", as_method(method0<ScalarField2D, &ScalarField2D::mean_value, kMeanValue>),
     kCallFlags, "mean_value($self)\n--\n\n"},
    {"variance", as_method(method0<ScalarField2D, &ScalarField2D::variance, kVariance>), kCallFlags,
     "variance($self)\n--\n\n"},
    {"max_value", as_method(method0<ScalarField2D, &ScalarField2D::max_value, kMaxValue>),
     kCallFlags, "max_value($self)\n--\n\n"},
    {"min_value", as_method(method0<ScalarField2D, &ScalarField2D::min_value, kMinValue>),
     kCallFlags, "min_value($self)\n--\n\n"},
    {"mean_gradient_sq",
     as_method(method0<ScalarField2D, &ScalarField2D::mean_gradient_sq, kMeanGradientSq>),
     kCallFlags, "mean_gradient_sq($self)\n--\n\n"},
    reduce_method<ScalarField2D>(),
    {nullptr, nullptr, 0, nullptr},
};

// --- VelocityField2D -------------------------------------------------------

PyObject* v_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("VelocityField2D.to_numpy", args, kwargs);
    return pairs_to_numpy(unbox<VelocityField2D>(self));
  });
}

PyObject* v_repr(PyObject* self) {
  return guard([&] {
    const VelocityField2D& v = unbox<VelocityField2D>(self);
    return unicode("VelocityField2D(nx=" + fmt_int(v.nx) + ", ny=" + fmt_int(v.ny) +
                   ", dx=" + fmt_fixed(v.dx, 3) + ")");
  });
}

PyMethodDef v_methods[] = {
    {"to_numpy", as_method(v_to_numpy), kCallFlags,
     "to_numpy($self)\n--\n\n"
     "Export as numpy array of shape (nx*ny, 2). Reshape to (nx, ny, 2) in Python."},
    reduce_method<VelocityField2D>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_qfield2d_class() {
  return picklable<QField2D>(make_class_for<QField2D>({
      .qualified_name = "builtins.QField2D",
      .doc = "2D Q-tensor field with numpy interop.\n\n"
             "Internal layout: a flat sequence of (q1, q2) records in row-major order (i*ny + "
             "j).\n"
             "numpy conversions use a (nx*ny, 2) f64 array; reshape in Python to (nx, ny, 2).",
      .methods = q_methods,
      .getset = grid_getset<QField2D>(),
      .repr = q_repr,
      .length = field_len<QField2D>,
  }));
}

PyTypeObject* make_scalar_field2d_class() {
  return picklable<ScalarField2D>(make_class_for<ScalarField2D>({
      .qualified_name = "builtins.ScalarField2D",
      .doc = "2D scalar field φ(x,y) with numpy interop.\n\n"
             "Used for the lipid volume fraction in the BECH simulation.\n"
             "numpy conversions use a 1D array of length nx*ny; reshape in Python to (nx, ny).",
      .methods = s_methods,
      .getset = grid_getset<ScalarField2D>(),
      .repr = s_repr,
      .length = field_len<ScalarField2D>,
  }));
}

PyTypeObject* make_velocity_field2d_class() {
  return picklable<VelocityField2D>(make_class_for<VelocityField2D>({
      .qualified_name = "builtins.VelocityField2D",
      .doc = "2D velocity field with numpy interop.",
      .methods = v_methods,
      .getset = grid_getset<VelocityField2D>(),
      .repr = v_repr,
  }));
}

}  // namespace lodestra_py
