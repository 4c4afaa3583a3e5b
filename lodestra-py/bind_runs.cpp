// The steppable runs behind lodestra.Simulation: the private class _Run, holding a
// 2D or 3D run state between calls, and _make_run, which starts one or resumes one
// from a checkpoint's parts. advance() releases the interpreter lock while it
// steps; the run polls back between steps, and the poll re-acquires the lock to
// handle signals (Ctrl-C) and to call the caller's progress function.

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include "bindings.hpp"
#include "frame/args.hpp"
#include "frame/guard.hpp"
#include "frame/members.hpp"
#include "frame/registry.hpp"
#include "lodestra_solver/noise_2d.hpp"
#include "lodestra_solver/run_2d.hpp"
#include "lodestra_solver/run_3d.hpp"
#include "lodestra_solver/snapshot.hpp"

namespace lodestra_py {

using lodestra_solver::Backflow;
using lodestra_solver::Model2D;
using lodestra_solver::Model3D;
using lodestra_solver::ModelOptions;
using lodestra_solver::Run2D;
using lodestra_solver::Run3D;
using lodestra_solver::RunState2D;
using lodestra_solver::RunState3D;

// A run and whether a thread is stepping it now.
struct SimRun {
  std::variant<Run2D, Run3D> run;
  bool busy = false;
};

namespace {

using lodestra_core::RidiParams;
using lodestra_core::RidiParams3D;
using lodestra_fields::QField2D;
using lodestra_fields::QField3D;
using lodestra_fields::ScalarField2D;
using lodestra_fields::ScalarField3D;
using lodestra_fields::VelocityField2D;
using lodestra_fields::VelocityField3D;
using lodestra_fields::Xoshiro256pp;
using tarnel_geo::DisclinationLine;

constexpr const char* kModels[] = {"dry", "hydro", "bech", "dry3d", "bech3d"};

int model_index(PyObject* obj) {
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
  if (text) {
    for (int i = 0; i < 5; ++i) {
      if (std::strcmp(text, kModels[i]) == 0) return i;
    }
  }
  PyErr_Clear();
  raise(PyExc_ValueError, "unknown model");
}

// Records travel as their raw 64-bit words: every record is a plain struct of
// doubles and unsigned counts, so any word pattern is a valid record.
template <class Record>
PyObject* record_bytes(const std::vector<Record>& records) {
  return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(records.data()),
                                         static_cast<Py_ssize_t>(records.size() * sizeof(Record))));
}

template <class Record>
std::vector<Record> records_from(PyObject* obj) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(obj) || PyBytes_AsStringAndSize(obj, &data, &size) < 0) {
    PyErr_Clear();
    raise(PyExc_TypeError, "argument 'records': expected bytes");
  }
  if (static_cast<std::size_t>(size) % sizeof(Record) != 0) {
    raise(PyExc_ValueError, "records: not a whole number of records");
  }
  std::vector<Record> records(static_cast<std::size_t>(size) / sizeof(Record));
  if (size > 0) std::memcpy(records.data(), data, static_cast<std::size_t>(size));
  return records;
}

// A field argument: an instance of its class (copied), or a float64 array of the
// checkpoint's layout on the parameter set's grid (its values taken over once copied).
template <class Field>
Field field_from(PyObject* obj, const char* name, int ndim, std::uint64_t width,
                 std::uint64_t vertices, const auto& params) {
  if (PyObject_TypeCheck(obj, class_of<Field>)) return unbox<Field>(obj);
  ArrayCopy a = to_array(obj, ndim, name);
  if (a.values.size() != vertices * width) {
    raise(PyExc_ValueError, std::string(name) + ": the array does not match the grid");
  }
  Field f;
  f.nx = params.nx;
  f.ny = params.ny;
  if constexpr (requires { f.nz; }) f.nz = params.nz;
  f.dx = params.dx;
  f.data = std::move(a.values);
  return f;
}

// The fields of a resumed run read from its checkpoint: the arrays write_fields appended,
// from `offset` on, read straight into engine storage.
struct FieldFile {
  int fd;
  std::uint64_t offset;
};

// A field from the checkpoint file when there is one (its array of `shape`), else from
// the argument as field_from takes it.
template <class Field>
Field field_in(std::optional<FieldFile>& file, PyObject* obj, const char* name, int ndim,
               std::vector<std::uint64_t> shape, std::uint64_t width, std::uint64_t vertices,
               const auto& params) {
  if (!file) return field_from<Field>(obj, name, ndim, width, vertices, params);
  auto values = lodestra_solver::read_npy_at(file->fd, file->offset, shape);
  if (!values) raise(PyExc_ValueError, std::string(name) + ": " + values.error().text);
  Field f;
  f.nx = params.nx;
  f.ny = params.ny;
  if constexpr (requires { f.nz; }) f.nz = params.nz;
  f.dx = params.dx;
  f.data = std::move(*values);
  return f;
}

// The checkpoint's file descriptor and the offset of its first field array.
std::optional<FieldFile> field_file(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  Ref seq(check(PySequence_Tuple(obj)));
  if (PyTuple_Size(seq.get()) != 2) raise(PyExc_ValueError, "fields_at: (fd, offset) expected");
  return FieldFile{static_cast<int>(to_count(PyTuple_GetItem(seq.get(), 0), "fields_at")),
                   to_count(PyTuple_GetItem(seq.get(), 1), "fields_at")};
}

// Nothing may follow the last field array.
void require_end(const std::optional<FieldFile>& file) {
  struct stat st {};
  if (file &&
      (::fstat(file->fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != file->offset)) {
    raise(PyExc_ValueError, "bytes after the last array");
  }
}

std::array<std::uint64_t, 4> generator_from(PyObject* obj) {
  Ref seq(check(PySequence_Tuple(obj)));
  if (PyTuple_Size(seq.get()) != 4) raise(PyExc_ValueError, "generator: four words expected");
  std::array<std::uint64_t, 4> words{};
  for (int i = 0; i < 4; ++i) words[i] = to_count(PyTuple_GetItem(seq.get(), i), "generator");
  return words;
}

// A new reference to None.
PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

SimRun& run_of(PyObject* self) { return unbox<SimRun>(self); }

PyObject* make_run(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"model",
                                          "q",
                                          "phi",
                                          "params",
                                          "seed",
                                          "out_dir",
                                          "track_defects",
                                          "friction",
                                          "flow_alignment",
                                          "backflow",
                                          "velocity",
                                          "step",
                                          "recorded",
                                          "generator",
                                          "records",
                                          "previous_lines",
                                          "first_non_finite",
                                          "max_courant",
                                          "fields_at"};
  return guard([&] {
    Args a("_make_run", names, 10, args, kwargs);
    const int model = model_index(a.raw(0));
    const std::uint64_t seed = a.count(4);
    ModelOptions options;
    options.friction = a.real(7);
    options.flow_alignment = a.real(8);
    const std::uint64_t backflow = a.count(9);
    if (backflow > 2) raise(PyExc_ValueError, "backflow: unknown kind");
    options.backflow = static_cast<Backflow>(backflow);
    const bool resumed = a.given(10);
    std::optional<FieldFile> file = field_file(a.given(18) ? a.raw(18) : nullptr);
    if (model < 3) {
      const RidiParams& params = a.object<RidiParams>(3);
      const std::uint64_t n = params.nx * params.ny;
      QField2D q = field_in<QField2D>(file, a.raw(1), names[1], 2, {n, 2}, 2, n, params);
      std::optional<ScalarField2D> phi;
      if (a.raw(2) != Py_None || (file && model == 2)) {
        phi = field_in<ScalarField2D>(file, a.raw(2), names[2], 1, {n}, 1, n, params);
      }
      RunState2D s =
          lodestra_solver::start_run_2d(static_cast<Model2D>(model), std::move(q), std::move(phi),
                                        params, lodestra_solver::seeded_noise_seed_2d(seed));
      s.options = options;
      if (resumed) {
        if (a.raw(10) != Py_None || (file && model != 0)) {
          s.velocity =
              field_in<VelocityField2D>(file, a.raw(10), names[10], 2, {n, 2}, 2, n, params);
        }
        s.step = a.count(11);
        s.recorded = to_flag(a.raw(12), names[12]);
        const auto words = generator_from(a.raw(13));
        std::copy(words.begin(), words.end(), s.noise.s);
        if (s.model == Model2D::bech) {
          s.bech_records = records_from<lodestra_solver::BechStats>(a.raw(14));
        } else {
          s.records = records_from<lodestra_solver::SnapStats>(a.raw(14));
        }
        if (a.raw(16) != Py_None) s.first_non_finite = a.count(16);
        s.max_courant = a.real(17);
      }
      require_end(file);
      return wrap(SimRun{Run2D(std::move(s))});
    }
    const RidiParams3D& params = a.object<RidiParams3D>(3);
    const std::uint64_t n = params.nx * params.ny * params.nz;
    const std::uint64_t nx = params.nx, ny = params.ny, nz = params.nz;
    QField3D q = field_in<QField3D>(file, a.raw(1), names[1], 4, {nx, ny, nz, 5}, 5, n, params);
    std::optional<ScalarField3D> phi;
    if (a.raw(2) != Py_None || (file && model == 4)) {
      phi = field_in<ScalarField3D>(file, a.raw(2), names[2], 3, {nx, ny, nz}, 1, n, params);
    }
    std::optional<std::string> out_dir;
    if (a.raw(5) != Py_None) out_dir = to_path(a.raw(5), names[5]);
    RunState3D s = lodestra_solver::start_run_3d(model == 3 ? Model3D::dry : Model3D::bech,
                                                 std::move(q), std::move(phi), params, out_dir,
                                                 to_flag(a.raw(6), names[6]), seed);
    s.options = options;
    if (resumed) {
      if (a.raw(10) != Py_None || (file && model == 4)) {
        s.velocity =
            field_in<VelocityField3D>(file, a.raw(10), names[10], 4, {nx, ny, nz, 3}, 3, n, params);
      }
      s.step = a.count(11);
      if (s.model == Model3D::bech) {
        s.bech_records = records_from<lodestra_solver::BechStats3D>(a.raw(14));
      } else {
        s.records = records_from<lodestra_solver::SnapStats3D>(a.raw(14));
      }
      if (a.raw(15) != Py_None) {
        Ref seq(check(PySequence_Tuple(a.raw(15))));
        std::vector<DisclinationLine> lines;
        for (Py_ssize_t i = 0; i < PyTuple_Size(seq.get()); ++i) {
          lines.push_back(to_object<DisclinationLine>(PyTuple_GetItem(seq.get(), i), names[15]));
        }
        s.previous_lines = std::move(lines);
      }
      if (a.raw(16) != Py_None) s.first_non_finite = a.count(16);
      s.max_courant = a.real(17);
    }
    require_end(file);
    return wrap(SimRun{Run3D(std::move(s))});
  });
}

// Marks a run busy for the length of a call; a second thread is refused.
class BusyGuard {
 public:
  explicit BusyGuard(SimRun& run) : run_(run) {
    if (run_.busy)
      raise(PyExc_RuntimeError, "this simulation is already running in another thread");
    run_.busy = true;
  }
  ~BusyGuard() { run_.busy = false; }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  SimRun& run_;
};

std::uint64_t step_of(const SimRun& r) {
  return std::visit([](const auto& run) { return run.state().step; }, r.run);
}

PyObject* run_advance(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"n_steps", "snap_every", "poll"};
  return guard([&] {
    Args a("_Run.advance", names, 3, args, kwargs);
    const std::uint64_t n_steps = a.count(0);
    const std::uint64_t snap_every = a.count(1);
    PyObject* poll = a.raw(2);
    SimRun& r = run_of(self);
    BusyGuard busy(r);
    lodestra_solver::RunControl control;
    control.stop_on_output_failure = true;
    control.stop_on_non_finite = true;
    bool python_error = false;
    PyThreadState* saved = nullptr;
    // Between steps, with the lock: pending signals first (Ctrl-C raises
    // KeyboardInterrupt here), then the caller's poll with the global step; an
    // exception or a False stops the run after the step just finished.
    control.poll = [&] {
      PyEval_RestoreThread(saved);
      bool go = PyErr_CheckSignals() == 0;
      if (go && poll != Py_None) {
        Ref step(PyLong_FromUnsignedLongLong(step_of(r)));
        Ref result(step.get() ? PyObject_CallFunctionObjArgs(poll, step.get(), nullptr) : nullptr);
        go = result.get() != nullptr && result.get() != Py_False;
      }
      python_error = PyErr_Occurred() != nullptr;
      saved = PyEval_SaveThread();
      return go;
    };
    lodestra_solver::RunOutcome outcome;
    saved = PyEval_SaveThread();
    try {
      outcome =
          std::visit([&](auto& run) { return run.advance(n_steps, snap_every, control); }, r.run);
    } catch (...) {
      PyEval_RestoreThread(saved);
      throw;
    }
    PyEval_RestoreThread(saved);
    if (python_error) throw PythonError{};
    const std::uint64_t bad =
        std::visit([](const auto& run) { return run.state().first_non_finite; }, r.run);
    const double courant =
        std::visit([](const auto& run) { return run.state().max_courant; }, r.run);
    Ref code(to_py(static_cast<std::uint64_t>(outcome.stop)));
    Ref step(to_py(bad));
    Ref path(unicode(outcome.failed_path));
    Ref text(unicode(outcome.failure_text));
    Ref top(to_py(courant));
    return check(PyTuple_Pack(5, code.get(), step.get(), path.get(), text.get(), top.get()));
  });
}

// (q, phi or None, velocity or None), new objects.
PyObject* run_fields(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("_Run.fields", args, kwargs);
    const SimRun& r = run_of(self);
    if (const Run2D* run = std::get_if<Run2D>(&r.run)) {
      const RunState2D& s = run->state();
      Ref q(wrap(s.q));
      Ref phi(s.model == Model2D::bech ? wrap(s.phi) : none());
      Ref v(s.model == Model2D::dry ? none() : wrap(s.velocity));
      return check(PyTuple_Pack(3, q.get(), phi.get(), v.get()));
    }
    const RunState3D& s = std::get<Run3D>(r.run).state();
    Ref q(wrap(s.q));
    Ref phi(s.model == Model3D::bech ? wrap(s.phi) : none());
    Ref v(s.model == Model3D::bech ? wrap(s.velocity) : none());
    return check(PyTuple_Pack(3, q.get(), phi.get(), v.get()));
  });
}

// The records from index `start` on, as new objects.
template <class Record>
PyObject* records_after(const std::vector<Record>& records, std::uint64_t start) {
  const auto first =
      records.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(start, records.size()));
  return list_of(std::vector<Record>(first, records.end()));
}

PyObject* run_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"start"};
  return guard([&] {
    Args a("_Run.records", names, 0, args, kwargs);
    const std::uint64_t start = a.given(0) ? a.count(0) : 0;
    const SimRun& r = run_of(self);
    if (const Run2D* run = std::get_if<Run2D>(&r.run)) {
      const RunState2D& s = run->state();
      return s.model == Model2D::bech ? records_after(s.bech_records, start)
                                      : records_after(s.records, start);
    }
    const RunState3D& s = std::get<Run3D>(r.run).state();
    return s.model == Model3D::bech ? records_after(s.bech_records, start)
                                    : records_after(s.records, start);
  });
}

// (global step, number of records), without copying either.
PyObject* run_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("_Run.counts", args, kwargs);
    const SimRun& r = run_of(self);
    const std::uint64_t n = std::visit(
        [](const auto& run) {
          const auto& s = run.state();
          return static_cast<std::uint64_t>(s.records.size() + s.bech_records.size());
        },
        r.run);
    Ref step(to_py(step_of(r)));
    Ref count(to_py(n));
    return check(PyTuple_Pack(2, step.get(), count.get()));
  });
}

// What a checkpoint needs beyond the fields and the parameter set:
// (step, recorded, generator words, records as bytes, previous lines or None,
//  first non-finite step or None, largest Courant number seen).
PyObject* run_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    no_args("_Run.state", args, kwargs);
    const SimRun& r = run_of(self);
    auto optional_step = [](std::uint64_t step) {
      return step == lodestra_solver::kNoStep ? none() : to_py(step);
    };
    if (const Run2D* run = std::get_if<Run2D>(&r.run)) {
      const RunState2D& s = run->state();
      Ref gen(check(PyTuple_New(4)));
      for (int i = 0; i < 4; ++i) PyTuple_SetItem(gen.get(), i, to_py(s.noise.s[i]));
      Ref step(to_py(s.step));
      Ref records(s.model == Model2D::bech ? record_bytes(s.bech_records)
                                           : record_bytes(s.records));
      Ref bad(optional_step(s.first_non_finite));
      Ref top(to_py(s.max_courant));
      return check(PyTuple_Pack(7, step.get(), s.recorded ? Py_True : Py_False, gen.get(),
                                records.get(), Py_None, bad.get(), top.get()));
    }
    const RunState3D& s = std::get<Run3D>(r.run).state();
    Ref step(to_py(s.step));
    Ref records(s.model == Model3D::bech ? record_bytes(s.bech_records) : record_bytes(s.records));
    Ref lines(s.previous_lines ? list_of(*s.previous_lines) : none());
    Ref bad(optional_step(s.first_non_finite));
    Ref top(to_py(s.max_courant));
    return check(PyTuple_Pack(7, step.get(), Py_False, Py_None, records.get(), lines.get(),
                              bad.get(), top.get()));
  });
}

// Appends the fields as consecutive NPY arrays at the file descriptor's position: Q, then
// phi and the velocity where the model has them, in the layouts of to_numpy (2D) and of
// the q, phi and u arrays (3D).
PyObject* run_write_fields(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"fd"};
  return guard([&] {
    Args a("_Run.write_fields", names, 1, args, kwargs);
    const int fd = static_cast<int>(a.count(0));
    const SimRun& r = run_of(self);
    auto put = [&](const std::vector<double>& values, std::vector<std::uint64_t> shape) {
      auto written = lodestra_solver::append_npy(fd, values, shape);
      if (!written) raise(PyExc_OSError, written.error().text);
    };
    if (const Run2D* run = std::get_if<Run2D>(&r.run)) {
      const RunState2D& s = run->state();
      const std::uint64_t n = s.q.len();
      put(s.q.data, {n, 2});
      if (s.model == Model2D::bech) put(s.phi.data, {n});
      if (s.model != Model2D::dry) put(s.velocity.data, {n, 2});
    } else {
      const RunState3D& s = std::get<Run3D>(r.run).state();
      put(s.q.data, {s.q.nx, s.q.ny, s.q.nz, 5});
      if (s.model == Model3D::bech) {
        put(s.phi.data, {s.q.nx, s.q.ny, s.q.nz});
        put(s.velocity.data, {s.q.nx, s.q.ny, s.q.nz, 3});
      }
    }
    return none();
  });
}

PyMethodDef run_methods[] = {
    {"advance", as_method(run_advance), kCallFlags,
     "advance($self, n_steps, snap_every, poll)\n--\n\n"
     "Steps the run; returns (stop, first_non_finite, path, text, max_courant)."},
    {"fields", as_method(run_fields), kCallFlags,
     "fields($self)\n--\n\n(q, phi or None, velocity or None)."},
    {"records", as_method(run_records), kCallFlags,
     "records($self, start=0)\n--\n\nThe records from index start on."},
    {"counts", as_method(run_counts), kCallFlags,
     "counts($self)\n--\n\n(global step, number of records)."},
    {"write_fields", as_method(run_write_fields), kCallFlags,
     "write_fields($self, fd)\n--\n\nAppends the fields as NPY arrays to an open file."},
    {"state", as_method(run_state), kCallFlags,
     "state($self)\n--\n\nThe run's state beyond its fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef make_run_def = {
    "_make_run", as_method(make_run), kCallFlags,
    "_make_run(model, q, phi, params, seed, out_dir, track_defects, friction, flow_alignment, "
    "backflow, velocity=None, step=0, recorded=False, generator=None, records=b'', "
    "previous_lines=None, first_non_finite=None, max_courant=0.0, fields_at=None)\n--\n\n"
    "A new run, or one resumed from a checkpoint's parts (from `velocity` on); with\n"
    "fields_at = (fd, offset) its fields are read from the checkpoint file."};

}  // namespace

void register_runs(PyObject* module) {
  PyTypeObject* type = make_class_for<SimRun>({
      .qualified_name = "builtins._Run",
      .doc = "The engine state of a lodestra.Simulation.",
      .methods = run_methods,
  });
  set_attribute(module, "_Run", reinterpret_cast<PyObject*>(type));
  set_attribute(module, "_make_run", check(PyCFunction_NewEx(&make_run_def, nullptr, nullptr)));
}

}  // namespace lodestra_py
